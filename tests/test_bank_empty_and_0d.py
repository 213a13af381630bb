"""kovar.bank.PIDBank with no channels (shape (0,), (0, 3), an unconfigured
bank) and with one channel of shape (): every entry point. A 0-d bank gives
what a one-channel bank gives; an empty bank gives empty results. Run by the
sanitizer build too, which reports any read outside the (empty) arrays."""
import copy
import pickle

import numpy as np
import pytest

from kovar.bank import PIDBank

PARAMS = ["kp", "ki", "kd", "b", "c", "tf", "u_min", "u_max", "i_min", "i_max", "deadband", "tt",
          "rate_limit"]
STATE = ["integral", "derivative", "output", "manual"]


def make(shape):
    if shape is None:
        return PIDBank.__new__(PIDBank)  # unconfigured: shape (0,)
    # An array broadcast to the shape (with no channels, it stays an array).
    ki = 1.0 if shape == () else np.array([1.0])
    return PIDBank(shape, kp=2.0, ki=ki, kd=0.1, tf=0.05, u_min=-1.0, u_max=1.0)


def ones(shape, dtype=float):
    return np.ones(shape, dtype)


def prime(bank, shape):
    """Brings a configured bank into a state where every path has work."""
    if shape is not None:
        bank.update(0.3, 0.0, 0.1)
        bank.update(ones(shape) * 0.5, 0.1, 0.1)
    return bank


def reloaded(bank, shape):
    return [pickle.loads(pickle.dumps(bank, p)).update(1.0, 0.2, 0.1) for p in range(pickle.HIGHEST_PROTOCOL + 1)]


def restored(bank, shape):
    twin = PIDBank.__new__(PIDBank)
    twin.__setstate__(bank.__reduce__()[2])
    bank.__setstate__(bank.__reduce__()[2])  # onto itself: same shape
    return [twin.update(1.0, 0.2, 0.1), bank.update(1.0, 0.2, 0.1)]


def out_of(shape):
    return np.empty(shape if shape is not None else (0,))


def own(shape):
    return shape if shape is not None else (0,)


ENTRIES = {
    # name: call(bank, shape) -> results (arrays or numbers)
    "update_scalars": lambda b, s: [b.update(1.0, 0.25, 0.1), b.update(0, 1, 0.05)],
    "update_arrays": lambda b, s: [b.update(ones(own(s)), np.zeros(own(s)), np.float64(0.1))],
    "update_0d_arrays": lambda b, s: [b.update(np.array(1.0), np.array(0.0), 0.1)],
    "update_out": lambda b, s: [b.update(1.0, 0.5, 0.1, out=out_of(s)).copy()],
    "update_out_is_input": lambda b, s: [b.update(x := ones(own(s)), 0.25, 0.1, out=x).copy()],
    "update_held": lambda b, s: [b.update(1.0, 0.0, dt) for dt in (0.0, -1.0, np.nan)],
    "update_not_finite": lambda b, s: [b.update(np.inf, 0.0, 0.1), b.update(1.0, np.nan, 0.1)],
    "set_manual": lambda b, s: [b.set_manual(0.7), b.update(1.0, 0.0, 0.1), b.set_auto(),
                                b.update(1.0, 0.0, 0.1)],
    "masks": lambda b, s: [b.set_manual(ones(own(s)) * 0.4, where=ones(own(s), bool)), b.manual.copy(),
                           b.update(1.0, 0.0, 0.1), b.set_auto(where=np.ones((), bool)),
                           b.reset(where=ones(own(s), bool)), b.update(1.0, 0.0, 0.1)],
    "reset": lambda b, s: [b.reset(), b.integral.copy(), b.update(1.0, 0.0, 0.1)],
    "parameters": lambda b, s: [getattr(b, n) for n in PARAMS] + [b.anti_windup, b.shape],
    "assignment": lambda b, s: [setattr(b, "kp", ones(own(s)) * 3), setattr(b, "u_max", 0.5),
                                setattr(b, "tt", ones(own(s))), setattr(b, "anti_windup", "conditional"),
                                b.update(1.0, 0.0, 0.1), setattr(b, "tt", None), b.update(1.0, 0.0, 0.1)],
    "state_views": lambda b, s: [getattr(b, n).copy() for n in STATE],
    "pickle": reloaded,
    "setstate": restored,
    "copies": lambda b, s: [copy.copy(b).update(1.0, 0.0, 0.1), copy.deepcopy(b).update(1.0, 0.0, 0.1)],
    "repr": lambda b, s: [repr(b).split(", kp=")[1]],
    "feedforward_track": lambda b, s: [b.update(1.0, 0.0, 0.1, feedforward=0.2, track=np.nan),
                                       b.update(ones(own(s)), 0.0, 0.1, feedforward=ones(own(s)),
                                                track=ones(own(s)) * 0.3),
                                       b.update(1.0, 0.0, 0.0, feedforward=np.array(0.1))],
    "set_params": lambda b, s: [b.set_params(kp=ones(own(s)), u_min=-2.0, u_max=2.0, rate_limit=4.0, tt=1.0),
                                b.set_params(where=ones(own(s), bool), b=0.5, tt=2.0),
                                b.update(1.0, 0.0, 0.1), b.set_params(tt=None),
                                b.update(1.0, 0.0, 0.1)],
    "set_integral_and_hold": lambda b, s: [b.set_integral(0.25), b.integral.copy(),
                                           b.update(1.0, 0.0, 0.1), b.set_manual(),
                                           b.update(5.0, 0.0, 0.1), b.set_auto()],
    "terms": lambda b, s: [setattr(b, "keep_terms", True), b.update(1.0, 0.0, 0.1),
                           *[t.copy() for t in b.terms]],
}
SHAPES = {"empty": (0,), "empty_2d": (0, 3), "unconfigured": None, "0d": ()}


@pytest.mark.parametrize("entry", sorted(ENTRIES))
@pytest.mark.parametrize("kind", sorted(SHAPES))
def test_every_entry_point(kind, entry):
    shape = SHAPES[kind]
    results = ENTRIES[entry](prime(make(shape), shape), shape)
    if shape == ():
        # The same calls on a one-channel bank, whose results reshaped to ().
        twin = ENTRIES[entry](prime(make((1,)), (1,)), (1,))
        for got, expected in zip(results, twin):
            if isinstance(got, np.ndarray) and got.shape == ():
                assert isinstance(expected, np.ndarray) and expected.shape == (1,)
                np.testing.assert_array_equal(got, expected.reshape(()))
            elif isinstance(got, tuple):
                assert got == () and expected == (1,)
            else:
                assert got == expected or got != got and expected != expected
    else:
        arrays = [got for got in results if isinstance(got, np.ndarray)]
        assert all(a.shape == own(shape) for a in arrays)
        if entry.startswith("update"):
            assert arrays


@pytest.mark.parametrize("kind", sorted(SHAPES))
def test_refusals_name_the_shape(kind):
    shape = SHAPES[kind]
    bank = make(shape)
    with pytest.raises(ValueError, match=r"out has shape \(2,\), but the bank has shape \("):
        bank.update(1.0, 0.0, 0.1, out=np.empty(2))
    with pytest.raises(ValueError, match="setpoint has shape \\(2,\\), which does not broadcast"):
        bank.update(np.ones(2), 0.0, 0.1)
    with pytest.raises(ValueError, match=r"value must be finite, not inf"):
        bank.set_manual(np.inf)
