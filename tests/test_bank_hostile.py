"""kovar.bank.PIDBank against callers who run code inside a conversion: values
that empty the dict holding them (a state dict, the keyword dict of a call)
while they are converted, and conversions that use the bank itself. Each ends
in a correct result or an ordinary exception, never a crash (the sanitizer
run checks that nothing freed is read)."""
import gc

import numpy as np
import pytest

from kovar.bank import PIDBank


def empty_holders(obj, own_key_only):
    """Drops the references that dicts hold to `obj`: its own entry only, or
    every entry of the dict (the other values with it)."""
    for holder in gc.get_referrers(obj):
        if type(holder) is dict and any(v is obj for v in holder.values()):
            if own_key_only:
                del holder[next(k for k, v in holder.items() if v is obj)]
            else:
                holder.clear()


class ClearingArray:
    """An array-like (through __array_interface__) that, when converted, is
    dropped by the dicts holding it."""

    def __init__(self, values, dtype=float, own_key_only=False):
        self.values, self.own_key_only = np.array(values, dtype=dtype), own_key_only

    @property
    def __array_interface__(self):
        empty_holders(self, self.own_key_only)
        return self.values.__array_interface__


class ClearingSequence:
    """A plain sequence that is dropped by the dicts holding it when its
    length is asked or its first item read (a conversion may skip the
    length: CPython 3.14's tuple() of a sequence does)."""

    def __init__(self, values, own_key_only=False):
        self.values, self.own_key_only = list(values), own_key_only

    def __len__(self):
        empty_holders(self, self.own_key_only)
        return len(self.values)

    def __getitem__(self, i):
        if i == 0:
            empty_holders(self, self.own_key_only)
        return self.values[i]


KINDS = [ClearingArray, ClearingSequence]
by_kind = pytest.mark.parametrize("kind", KINDS, ids=lambda k: k.__name__)


def running_bank():
    bank = PIDBank(3, kp=[1.0, 2.0, 3.0], ki=0.5, kd=0.1, tf=0.05, u_min=-2.0, u_max=2.0)
    bank.update([0.2, 0.5, 2.0], 0.0, 0.1)
    bank.set_manual(0.5, where=[False, True, False])
    bank.update([0.3, 0.5, 2.0], 0.1, 0.1)
    return bank


def assert_same(a, b):
    for name in ["kp", "ki", "kd", "u_max", "tt", "shape", "integral", "derivative", "output", "manual"]:
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)
    for step in [([1.0, -1.0, 0.5], 0.2, 0.1), (0.0, [0.1, 0.2, 0.3], 0.05)]:
        np.testing.assert_array_equal(a.update(*step), b.update(*step))


# An __array_interface__ is no shape, for NumPy either.
STATE_CASES = [(kind, key) for kind in KINDS
               for key in ["shape", "kp", "u_max", "integral", "manual", "fresh", "b_old"]
               if not (kind is ClearingArray and key == "shape")]


@pytest.mark.parametrize("kind, key", STATE_CASES, ids=lambda x: getattr(x, "__name__", x))
@pytest.mark.parametrize("own_key_only", [True, False], ids=["pops_itself", "clears_dict"])
def test_state_value_dropped_by_the_state_dict_while_converted(kind, key, own_key_only):
    state = dict(running_bank().__reduce__()[2])
    if key == "shape":
        value = kind(state[key], own_key_only=own_key_only)
    elif kind is ClearingSequence:
        value = kind(np.broadcast_to(state[key], (3,)).tolist(), own_key_only=own_key_only)
    else:
        value = kind(np.broadcast_to(state[key], (3,)), np.asarray(state[key]).dtype, own_key_only)
    state[key] = value
    del value  # the dict holds the only reference
    restored = PIDBank.__new__(PIDBank)
    if own_key_only or key == "b_old":  # "b_old" is read last
        # Held while in use: the restore is correct.
        restored.__setstate__(state)
        assert_same(restored, running_bank())
    else:
        # The entries read after it are gone: refused, the bank untouched.
        with pytest.raises(ValueError, match=r"^PIDBank state lacks '\w+'$"):
            restored.__setstate__(state)
        assert restored.shape == (0,) and restored.update(1.0, 0.0, 0.1).shape == (0,)


@by_kind
def test_constructor_keyword_that_empties_the_keyword_dict(kind):
    kwargs = dict(kp=[1.0, 2.0, 3.0], ki=kind([0.5, 0.5, 0.5]), kd=np.array([0.1, 0.1, 0.1]),
                  u_min=-2.0, u_max=[2.0, 2.0, 2.0], tf=0.05, anti_windup="back_calculation")
    bank = PIDBank(3, **kwargs)
    expected = PIDBank(3, kp=[1.0, 2.0, 3.0], ki=0.5, kd=0.1, tf=0.05, u_min=-2.0, u_max=2.0)
    assert repr(bank) == repr(expected)


@by_kind
@pytest.mark.parametrize("call", ["set_manual", "set_auto", "reset"])
def test_mode_call_keyword_that_empties_the_keyword_dict(kind, call):
    bank, expected = running_bank(), running_bank()
    mask = [True, False, True]
    if call == "set_manual":
        # The value is converted first; the mask is then only held by the call.
        bank.set_manual(**{"value": kind([1.0, 1.5, -1.0]), "where": np.array(mask)})
        expected.set_manual([1.0, 1.5, -1.0], where=mask)
    else:
        getattr(bank, call)(**{"where": kind(mask) if kind is ClearingSequence else ClearingArray(mask, bool)})
        getattr(expected, call)(where=mask)
    assert_same(bank, expected)


class Reentrant:
    """An array-like whose conversion first runs `action(bank)`."""

    def __init__(self, bank, action, values, dtype=float):
        self.bank, self.action, self.values = bank, action, np.asarray(values, dtype=dtype)

    @property
    def __array_interface__(self):
        action, self.action = self.action, None  # once
        if action is not None:
            action(self.bank)
        return self.values.__array_interface__


@pytest.mark.parametrize("action", [
    lambda b: b.update(1.0, 0.0, 0.1),
    lambda b: setattr(b, "ki", [0.1, 0.2, 0.3]),
    lambda b: setattr(b, "u_min", -1.5),
    lambda b: b.set_manual(0.3),
    lambda b: b.__setstate__(running_bank().__reduce__()[2]),
    lambda b: b.reset(),
], ids=["update", "other_param", "limit", "set_manual", "setstate", "reset"])
@pytest.mark.parametrize("entry", ["assignment", "set_manual", "where"])
def test_conversion_that_uses_the_bank(action, entry):
    bank, expected = running_bank(), running_bank()
    action(expected)
    values = [0.4, 0.6, 0.8]
    if entry == "assignment":
        bank.kd = Reentrant(bank, action, values)
        expected.kd = values
    elif entry == "set_manual":
        bank.set_manual(Reentrant(bank, action, values))
        expected.set_manual(values)
    else:
        bank.set_manual(1.0, where=Reentrant(bank, action, [True, False, True], dtype=bool))
        expected.set_manual(1.0, where=[True, False, True])
    assert_same(bank, expected)


@pytest.mark.parametrize("call, message", [
    (lambda b, v: setattr(b, "kp", v), "the bank was configured during the assignment"),
    (lambda b, v: b.set_manual(v), "the bank was configured during the call"),
])
def test_configuring_an_empty_bank_during_a_conversion_is_refused(call, message):
    bank = PIDBank.__new__(PIDBank)
    with pytest.raises(RuntimeError, match=message):
        call(bank, Reentrant(bank, lambda b: b.__init__(2, kp=1.0), [2.0]))
    assert bank.shape == (2,) and bank.kp == 1.0 and not bank.manual.any()


class Resizing:
    """A value whose conversion (NumPy's __array__, or __float__ for dt)
    resizes an earlier argument in place, freeing the memory it had."""

    def __init__(self, victim, size, value):
        self.victim, self.size, self.value = victim, size, value

    def resize(self):
        self.victim.resize(self.size, refcheck=False)
        self.victim[:] = np.arange(self.size) + 0.5  # what the update must read, if anything

    def __array__(self, dtype=None, copy=None):
        self.resize()
        return np.full(7, self.value)

    def __float__(self):
        self.resize()
        return self.value


@pytest.mark.parametrize("size", [1, 7, 100_000], ids=["to_one", "same_size", "grown"])
@pytest.mark.parametrize("victim, by", [("setpoint", "measurement"), ("setpoint", "dt"),
                                        ("measurement", "feedforward"), ("feedforward", "track")])
def test_later_conversion_that_resizes_an_earlier_argument(victim, by, size):
    # Arrays that own their data (linspace's do not), so they can be resized.
    args = {"setpoint": np.linspace(-1, 1, 7).copy(), "measurement": np.full(7, 0.25), "dt": 0.1,
            "feedforward": np.linspace(0, 0.5, 7).copy(), "track": np.full(7, 0.3)}
    args[by] = Resizing(args[victim], size, args[by] if by == "dt" else 0.75)
    bank = PIDBank(7, kp=1.5, ki=0.5)
    if size == 100_000:
        with pytest.raises(ValueError, match=f"{victim} has shape \\(100000,\\), which does not broadcast"):
            bank.update(**args)
        return
    u = bank.update(**args)
    # The values the arguments hold after every conversion.
    after = {k: (float(v) if k == "dt" else np.asarray(v)) for k, v in args.items()}
    expected = PIDBank(7, kp=1.5, ki=0.5).update(**after)
    np.testing.assert_array_equal(u, expected)
