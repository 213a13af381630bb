"""kovar.bank.PIDBank: construction, attributes, arguments and refusals."""
import subprocess
import sys

import numpy as np
import pytest

import kovar
from conftest import assert_no_leak
from kovar.bank import PIDBank


def snapshot(bank):
    names = ["kp", "ki", "kd", "b", "c", "tf", "u_min", "u_max", "i_min", "i_max",
             "deadband", "tt", "rate_limit", "anti_windup", "on_nan"]
    params = {n: np.copy(getattr(bank, n)) if getattr(bank, n) is not None else None
              for n in names}
    state = [np.copy(a) for a in (bank.integral, bank.derivative, bank.output, bank.manual,
                                  *(bank.terms if bank.keep_terms else ()))]
    return params, state


def assert_unchanged(bank, before):
    params, state = snapshot(bank)
    for name, value in before[0].items():
        if value is None:
            assert params[name] is None, name
        else:
            np.testing.assert_array_equal(params[name], value, err_msg=name)
    for a, b in zip(state, before[1]):
        np.testing.assert_array_equal(a, b)


@pytest.fixture
def bank():
    b = PIDBank(3, kp=[1.0, 2.0, 3.0], ki=0.5, kd=0.1, u_min=-1.0, u_max=1.0)
    b.update([0.2, 0.5, 2.0], 0.0, 0.1)
    b.update([0.3, 0.5, 2.0], 0.1, 0.1)
    return b


def test_parameters_read_as_float_when_uniform_else_read_only_array():
    b = PIDBank((2, 2), kp=[[1.0, 1.0], [1.0, 1.0]], ki=[1.0, 2.0], tt=3)
    assert type(b.kp) is float and b.kp == 1.0  # all the same: one number
    assert type(b.tt) is float and b.tt == 3.0
    assert b.ki.shape == (2, 2) and b.ki.tolist() == [[1.0, 2.0], [1.0, 2.0]]
    with pytest.raises(ValueError):
        b.ki[0, 0] = 5.0
    assert b.kd == 0.0 and b.b == 1.0 and b.u_min == -np.inf and b.tt is not None
    assert PIDBank(1, kp=1).tt is None
    assert b.shape == (2, 2) and b.anti_windup == "back_calculation"
    assert kovar.PIDBank is PIDBank


def test_repr_reads_like_the_constructor_call():
    ki = np.array([0.1, 0.2, 0.3])
    b = PIDBank(3, kp=1.0, ki=ki, u_max=2, anti_windup="conditional", tt=0.5)
    assert repr(b) == (
        f"PIDBank((3,), kp=1.0, ki={ki!r}, kd=0.0, b=1.0, c=0.0, tf=0.0, u_min=-inf, u_max=2.0, "
        "i_min=-inf, i_max=inf, deadband=0.0, anti_windup='conditional', tt=0.5, rate_limit=inf, "
        "on_nan='nan')")
    namespace = {"PIDBank": PIDBank, "array": np.array, "inf": np.inf}
    for bank in [b, PIDBank((2, 2), kp=[[1, 2], [3, 4]], i_max=[1, 5]), PIDBank((), kp=2.0),
                 PIDBank(2, kp=1.0, rate_limit=[1.0, 2.0], on_nan="hold"), PIDBank.__new__(PIDBank)]:
        twin = eval(repr(bank), namespace)
        assert repr(twin) == repr(bank)
        assert_unchanged(twin, snapshot(bank))
    # Long arrays are abbreviated as NumPy abbreviates them.
    long = PIDBank(5000, kp=np.arange(5000.0))
    assert repr(long).startswith(f"PIDBank((5000,), kp={np.arange(5000.0)!r}, ki=0.0")
    assert "..." in repr(long)


@pytest.mark.parametrize("name", ["integral", "derivative", "output", "manual"])
def test_state_is_a_live_read_only_view(bank, name):
    view = getattr(bank, name)
    with pytest.raises(ValueError):
        view[...] = 0
    with pytest.raises(ValueError):
        view.setflags(write=True)
    with pytest.raises(AttributeError):
        setattr(bank, name, view)
    assert view.base is not None and not isinstance(view.base, np.ndarray)
    if name == "output":
        u = bank.update(1.0, 0.0, 0.1)
        np.testing.assert_array_equal(view, u)


@pytest.mark.parametrize("route", [
    lambda v: v.base if isinstance(v.base, np.ndarray) else v,
    lambda v: v.view(),
    lambda v: v.reshape(-1),
    np.asarray,
    np.frombuffer,
    lambda v: np.ndarray(v.shape, v.dtype, buffer=v),
    lambda v: np.asarray(memoryview(v)),
    np.lib.stride_tricks.as_strided,
], ids=["base", "view", "reshape", "asarray", "frombuffer", "buffer", "memoryview", "as_strided"])
def test_no_public_route_makes_the_state_writeable(bank, route):
    view = bank.integral
    derived = route(view)
    with pytest.raises(ValueError, match="cannot set WRITEABLE flag to True of this array"):
        derived.flags.writeable = True
    # Replacing the view's memory leaves the bank's alone.
    view.__setstate__((1, (1,), np.dtype("f8"), False, b"\0" * 8))
    before = bank.integral.copy()
    assert bank.integral.shape == (3,) and bank.update(1.0, 0.0, 0.0).shape == (3,)
    np.testing.assert_array_equal(bank.integral, before)


@pytest.mark.parametrize("dtype", [np.int32, np.float32, np.int64, np.uint8, bool, np.float16])
def test_any_real_dtype_is_converted(dtype):
    values = np.array([1, 0, 1], dtype=dtype)
    a, b = PIDBank(3, kp=2.0, ki=1.0), PIDBank(3, kp=2.0, ki=1.0)
    np.testing.assert_array_equal(a.update(values, 0, 0.1), b.update(values.astype(float), 0.0, 0.1))
    np.testing.assert_array_equal(a.update(values[::-1], values, np.float32(0.1)),
                                  b.update(values[::-1].astype(float), values.astype(float), 0.1))


@pytest.mark.parametrize("which", ["setpoint", "measurement"])
@pytest.mark.parametrize("offset", [0, 1, -1])
def test_out_may_alias_or_overlap_an_input(which, offset):
    rng = np.random.default_rng(3)
    r, y = rng.normal(size=5), rng.normal(size=5)
    ref = PIDBank(4, kp=1.5, ki=0.3, kd=0.2)
    expected = ref.update(r[1:], y[1:], 0.1)
    bank = PIDBank(4, kp=1.5, ki=0.3, kd=0.2)
    buf = (r if which == "setpoint" else y).copy()
    src = buf[1:]
    out = buf[1 + offset:5 + offset] if offset <= 0 else buf[:4]
    if offset == 1:
        src = buf[1:]
        out = buf[:4]
    args = (src, y[1:]) if which == "setpoint" else (r[1:], src)
    result = bank.update(*args, 0.1, out=out)
    assert result is out
    np.testing.assert_array_equal(out, expected)


def test_where_selects_channels():
    b = PIDBank(4, kp=1.0, u_max=10)
    b.set_manual([5.0, 6.0, 7.0, 8.0], where=[True, False, True, False])
    assert b.manual.tolist() == [True, False, True, False]
    assert b.update(0.0, 0.0, 0.1).tolist() == [5.0, 0.0, 7.0, 0.0]
    b.set_manual(20.0, where=np.array([False, True, False, False]))
    assert b.update(0.0, 0.0, 0.1).tolist() == [5.0, 10.0, 7.0, 0.0]  # clipped to u_max
    b.set_auto(where=[True, True, False, False])
    assert b.manual.tolist() == [False, False, True, False]
    b.set_auto()
    assert not b.manual.any()


def test_reset_makes_channels_fresh():
    b = PIDBank(2, kp=1.0, ki=1.0, kd=1.0)
    b.update(1.0, 0.0, 0.1)
    b.update(1.0, 0.5, 0.1)
    b.reset(where=[True, False])
    assert b.integral[0] == 0.0 and b.integral[1] != 0.0 and b.output[0] == 0.0
    u = b.update(1.0, 0.7, 0.1)
    assert u[0] == pytest.approx(0.3) and b.derivative[0] == 0.0  # no derivative on a fresh step


def test_no_time_passed_holds_state(bank):
    before = snapshot(bank)
    for dt in (0.0, -1.0, float("nan")):
        u = bank.update([0.3, 0.5, 2.0], 0.1, dt)
        expected = np.clip(np.array([1.0, 2.0, 3.0]) * (np.array([0.3, 0.5, 2.0]) - 0.1)
                           + before[1][0] + before[1][1], -1, 1)
        np.testing.assert_allclose(u, expected, rtol=1e-15)
    np.testing.assert_array_equal(bank.integral, before[1][0])


INVALID = [
    (dict(kp=np.nan), ValueError, "kp must be finite, not nan"),
    (dict(kp=1, ki=[0.0, np.inf, 1.0]), ValueError, "ki must be finite, not inf (index (1,))"),
    (dict(kp=1, tf=-0.1), ValueError, "tf must be finite and non-negative, not -0.1"),
    (dict(kp=1, deadband=[0, 0, -1]), ValueError, "deadband must be non-negative, not -1.0 (index (2,))"),
    (dict(kp=1, tt=0.0), ValueError, "tt must be positive, not 0.0"),
    (dict(kp=1, u_min=2.0, u_max=1.0), ValueError, "u_min must not exceed u_max, but 2.0 > 1.0"),
    (dict(kp=1, i_min=[0, 3, 0], i_max=2), ValueError,
     "i_min must not exceed i_max, but 3.0 > 2.0 (index (1,))"),
    (dict(kp=1, u_max=np.nan), ValueError, "u_max must be a number, not nan"),
    (dict(kp=[1, 2]), ValueError, "kp has shape (2,), which does not broadcast to the bank's shape (3,)"),
    (dict(kp=1j), TypeError, "kp must be a real number or an array of real numbers"),
    (dict(kp="1"), TypeError, "kp must be a real number or an array of real numbers"),
    (dict(kp=2**2000), ValueError, "kp is an int too large to convert to float"),
    (dict(kp=1, u_max=-2**1100), ValueError, "u_max is an int too large to convert to float"),
    (dict(kp=1, anti_windup="clamp"), ValueError,
     "anti_windup must be 'back_calculation', 'conditional' or 'none', not 'clamp'"),
    (dict(), TypeError, "PIDBank() missing required keyword-only argument: 'kp'"),
    (dict(kp=1, rate_limit=[1.0, -1.0, 1.0]), ValueError,
     "rate_limit must be non-negative, not -1.0 (index (1,))"),
    (dict(kp=1, rate_limit=np.nan), ValueError, "rate_limit must be non-negative, not nan"),
    (dict(kp=1, on_nan="zero"), ValueError, "on_nan must be 'nan' or 'hold', not 'zero'"),
    (dict(kp=1, on_nan=None), ValueError, "on_nan must be 'nan' or 'hold', not None"),
]


@pytest.mark.parametrize("kwargs, error, message", INVALID)
def test_construction_refuses_bad_parameters(kwargs, error, message):
    with pytest.raises(error) as info:
        PIDBank(3, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("kwargs, error, message", [
    c for c in INVALID if len(c[0]) == 1 or "kp" in c[0] and len(c[0]) == 2
    and not {"u_min", "i_min", "anti_windup", "on_nan"} & set(c[0])])
def test_assignment_refuses_bad_values_and_changes_nothing(bank, kwargs, error, message):
    name, value = [(k, v) for k, v in kwargs.items() if k != "kp" or len(kwargs) == 1][0]
    before = snapshot(bank)
    with pytest.raises(error) as info:
        setattr(bank, name, value)
    assert str(info.value) == message
    assert_unchanged(bank, before)


@pytest.mark.parametrize("name, value, message", [
    ("u_min", [0.0, 2.0, 0.0], "u_min must not exceed u_max, but 2.0 > 1.0 (index (1,))"),
    ("u_max", -2.0, "u_min must not exceed u_max, but -1.0 > -2.0"),
    ("anti_windup", None, "anti_windup must be 'back_calculation', 'conditional' or 'none', not None"),
])
def test_assignment_keeps_limits_ordered(bank, name, value, message):
    before = snapshot(bank)
    with pytest.raises(ValueError) as info:
        setattr(bank, name, value)
    assert str(info.value) == message
    assert_unchanged(bank, before)
    with pytest.raises(AttributeError, match=f"cannot delete {name}"):
        delattr(bank, name)


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((1.0, 0.0, "0.1"), {}, TypeError, "dt must be a real number, not str"),
    ((1.0, 0.0, None), {}, TypeError, "dt must be a real number, not NoneType"),
    ((1.0, 0.0, 1j), {}, TypeError, "dt must be a real number, not complex"),
    ((1.0, 0.0, np.array([0.1, 0.2])), {}, TypeError, "dt must be a real number, not numpy.ndarray"),
    ((1.0, 0.0, float("inf")), {}, ValueError, "dt must not be infinite"),
    ((1.0, 0.0, 2**2000), {}, ValueError, "dt is an int too large to convert to float"),
    ((1.0, 0.0, type("Big", (int,), {})(2**2000)), {}, ValueError,
     "dt is an int too large to convert to float"),
    ((2**2000, 0.0, 0.1), {}, ValueError, "setpoint is an int too large to convert to float"),
    ((1.0, -2**2000, 0.1), {}, ValueError, "measurement is an int too large to convert to float"),
    (([1.0, 2.0], 0.0, 0.1), {}, ValueError,
     "setpoint has shape (2,), which does not broadcast to the bank's shape (3,)"),
    ((1.0, np.zeros((2, 3)), 0.1), {}, ValueError,
     "measurement has shape (2, 3), which does not broadcast to the bank's shape (3,)"),
    ((1.0, ["a"], 0.1), {}, TypeError, "measurement must be a real number or an array of real numbers"),
    ((np.ones(3, complex), 0.0, 0.1), {}, TypeError,
     "setpoint must be a real number or an array of real numbers"),
    ((1.0, 0.0, 0.1), {"out": [0.0] * 3}, TypeError, "out must be a numpy.ndarray of float64, not list"),
    ((1.0, 0.0, 0.1), {"out": np.zeros(3, np.float32)}, TypeError, "out must have dtype float64, not float32"),
    ((1.0, 0.0, 0.1), {"out": np.zeros(3, ">f8")}, TypeError, "out must have dtype float64, not >f8"),
    ((1.0, 0.0, 0.1), {"out": np.zeros(4)}, ValueError, "out has shape (4,), but the bank has shape (3,)"),
    ((1.0, 0.0, 0.1), {"out": np.zeros(6)[::2]}, ValueError,
     "out must be a writeable, aligned, C-contiguous array, or the bank's own output"),
    ((1.0, 0.0), {}, TypeError, "update() missing required argument 'dt'"),
    ((1.0, 0.0, 0.1, None), {}, TypeError, "update() takes 3 positional arguments but 4 were given"),
    ((1.0, 0.0, 0.1), {"setpoint": 1.0}, TypeError, "update() got multiple values for argument 'setpoint'"),
    ((1.0, 0.0, 0.1), {"where": 1.0}, TypeError, "update() got an unexpected keyword argument 'where'"),
    ((1.0, 0.0, 0.1), {"feedforward": [1.0, 2.0]}, ValueError,
     "feedforward has shape (2,), which does not broadcast to the bank's shape (3,)"),
    ((1.0, 0.0, 0.1), {"feedforward": "x"}, TypeError,
     "feedforward must be a real number or an array of real numbers"),
    ((1.0, 0.0, 0.1), {"track": np.zeros((2, 3))}, ValueError,
     "track has shape (2, 3), which does not broadcast to the bank's shape (3,)"),
    ((1.0, 0.0, 0.1), {"track": 1j}, TypeError, "track must be a real number or an array of real numbers"),
])
def test_update_refuses_bad_arguments_and_changes_nothing(bank, args, kwargs, error, message):
    before = snapshot(bank)
    with pytest.raises(error) as info:
        bank.update(*args, **kwargs)
    assert str(info.value) == message
    assert_unchanged(bank, before)


def test_update_takes_keywords_and_read_only_out_is_refused(bank):
    a = bank.update(setpoint=1.0, measurement=0.0, dt=0.0, out=None)
    out = np.zeros(3)
    out.setflags(write=False)
    twin = PIDBank(3, kp=1.0)
    for read_only in (out, twin.output, bank.integral):
        with pytest.raises(ValueError, match="writeable"):
            bank.update(1.0, 0.0, 0.0, out=read_only)
    np.testing.assert_array_equal(a, bank.update(1.0, 0.0, 0.0))
    # The bank's own output is written once, and returned as given.
    own = bank.output
    assert bank.update(1.0, 0.0, 0.0, out=own) is own
    np.testing.assert_array_equal(own, a)


@pytest.mark.parametrize("call, error, message", [
    (lambda b: b.set_manual(np.nan), ValueError, "value must be finite, not nan"),
    (lambda b: b.set_manual(2**2000), ValueError, "value is an int too large to convert to float"),
    (lambda b: b.set_manual([1, 2]), ValueError,
     "value has shape (2,), which does not broadcast to the bank's shape (3,)"),
    (lambda b: b.set_manual(1.0, where=[1.5, 0, 0]), TypeError, "where must be None or an array of booleans"),
    (lambda b: b.set_auto(where=[True, False]), ValueError,
     "where has shape (2,), which does not broadcast to the bank's shape (3,)"),
    (lambda b: b.reset(where="all"), TypeError, "where must be None or an array of booleans"),
    (lambda b: b.__init__(4, kp=1.0), ValueError, "the bank has shape (3,) and keeps it; got shape (4,)"),
    (lambda b: b.set_integral(np.nan), ValueError, "value must be finite, not nan"),
    (lambda b: b.set_integral([0, np.inf, 0]), ValueError, "value must be finite, not inf (index (1,))"),
    (lambda b: b.set_integral(), TypeError, "set_integral() missing required argument 'value'"),
    (lambda b: b.set_integral(1.0, where=[1, 0, 0]), TypeError, "where must be None or an array of booleans"),
    (lambda b: b.set_params(anti_windup="none"), TypeError,
     "set_params() got an unexpected keyword argument 'anti_windup'"),
    (lambda b: b.set_params(None, None), TypeError, "set_params() takes at most 1 positional argument (2 given)"),
    (lambda b: b.set_params(None, where=None), TypeError, "set_params() got multiple values for argument 'where'"),
    (lambda b: b.set_params(kp=2.0, ki=[0.0, np.nan, 1.0]), ValueError, "ki must be finite, not nan (index (1,))"),
    (lambda b: b.set_params(where=[False, True, False], u_min=2.0, kp=5.0), ValueError,
     "u_min must not exceed u_max, but 2.0 > 1.0 (index (1,))"),
    (lambda b: b.set_params(u_min=0.5, u_max=0.25), ValueError, "u_min must not exceed u_max, but 0.5 > 0.25"),
    (lambda b: b.set_params(kp=1.0, i_max=[1.0, 2.0]), ValueError,
     "i_max has shape (2,), which does not broadcast to the bank's shape (3,)"),
    (lambda b: b.set_params(where=[True, False, False], tt=None), ValueError,
     "set_params(): tt=None is for every channel at once; where must be None"),
    (lambda b: b.set_params(where=[True, False, False], tt=1.0), ValueError,
     "set_params(): tt is None for every channel; set it with where=None first"),
])
def test_mode_calls_refuse_bad_arguments_and_change_nothing(bank, call, error, message):
    before = snapshot(bank)
    with pytest.raises(error) as info:
        call(bank)
    assert str(info.value) == message
    assert_unchanged(bank, before)


def test_set_params_selects_channels_and_changes_together():
    b = PIDBank(3, kp=1.0, ki=0.5, tt=2.0)
    b.set_params(where=[False, True, False], kp=3.0, tt=[0.5, 0.5, 0.5], deadband=0.1)
    assert b.kp.tolist() == [1.0, 3.0, 1.0] and b.tt.tolist() == [2.0, 0.5, 2.0]
    assert b.deadband.tolist() == [0.0, 0.1, 0.0]
    b.set_params(kp=2.0)  # every channel: one number again
    assert type(b.kp) is float and b.kp == 2.0
    b.set_params(tt=None)
    assert b.tt is None
    b.set_params()  # nothing to change
    assert b.kp == 2.0


def test_new_entry_points_leak_nothing():
    b = PIDBank(3, kp=[1.0, 2.0, 3.0], ki=0.5, rate_limit=4.0, on_nan="hold", keep_terms=True)
    ff, track, mask, out = np.array([0.1, 0.2, 0.3]), np.array([np.nan, 0.5, 1.0]), np.array([True, False, True]), np.empty(3)
    b.update(1.0, 0.0, 0.1)

    def work():
        b.update(1.0, [0.0, np.nan, 0.2], 0.1, feedforward=ff, track=track, out=out)
        b.set_params(where=mask, kp=2.0, u_min=-1.0, u_max=1.0)
        with pytest.raises(ValueError):
            b.set_params(where=mask, u_min=2.0)
        b.set_integral(0.25, where=mask)
        b.set_manual(where=mask)
        b.set_manual(None)
        b.set_auto()
        b.terms
        b.keep_terms = not b.keep_terms
        b.keep_terms = True
        b.kp = [1.0, 2.0, 3.0]

    assert_no_leak(work, b, ff, track, mask, out, calls=500)


@pytest.mark.parametrize("shape, error, message", [
    (-1, ValueError, "shape must not be negative, got -1"),
    ((2, -1), ValueError, "shape must not be negative, got (2, -1)"),
    ([2, -1], ValueError, "shape must not be negative, got [2, -1]"),
    (-2**64, ValueError, "shape must not be negative, got -18446744073709551616"),
    (2.0, TypeError, "shape must be an integer or a sequence of integers, not float"),
    ((2, "3"), TypeError, "shape must be an integer or a sequence of integers, not str"),
    ("3", TypeError, "shape must be an integer or a sequence of integers, not str"),
    ([2, [3]], TypeError, "shape must be an integer or a sequence of integers, not list"),
    (None, TypeError, "shape must be an integer or a sequence of integers, not NoneType"),
    (True, TypeError, "shape must be an integer or a sequence of integers, not bool"),
    ([2, np.bool_(True)], TypeError, "shape must be an integer or a sequence of integers, not numpy." + np.bool_.__name__),
    ({2: 3}, TypeError, "shape must be an integer or a sequence of integers, not dict"),
    (np.array([2.0]), TypeError, "shape must be an integer or a sequence of integers, not numpy.float64"),
    (np.array(2.0), TypeError, "shape must be an integer or a sequence of integers, not numpy.ndarray"),
    ((1 << 40, 1 << 30), ValueError, "shape (1099511627776, 1073741824) is too large"),
    (2**64, ValueError, "shape 18446744073709551616 is too large"),
    ((0, 2**64), ValueError, "shape (0, 18446744073709551616) is too large"),
    ([1] * 65, ValueError, "shape has 65 dimensions, at most 64 are supported"),
])
def test_bad_shapes_are_refused(shape, error, message):
    with pytest.raises(error) as info:
        PIDBank(shape, kp=1.0)
    assert str(info.value) == message


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


@pytest.mark.parametrize("shape, expected", [
    (0, (0,)), ((), ()), ((0, 3), (0, 3)), ((2, 1, 2), (2, 1, 2)),
    # Whatever NumPy takes as a shape: integers with __index__, sequences of them.
    (np.int64(3), (3,)), (np.array(3), (3,)), (Index(2), (2,)),
    ([2, 3], (2, 3)), ([], ()), (range(1, 4), (1, 2, 3)), ((np.uint8(2), Index(3)), (2, 3)),
    (np.array([2, 3]), (2, 3)), (np.array([], dtype=int), ()),
])
def test_odd_shapes_work(shape, expected):
    assert np.empty(shape).shape == expected
    b = PIDBank(shape, kp=1.0, ki=1.0)
    u = b.update(1.0, 0.0, 0.1)
    assert u.shape == b.shape == expected


def test_unconfigured_bank_is_an_empty_bank():
    b = PIDBank.__new__(PIDBank)
    assert b.shape == (0,) and b.update(1.0, 0.0, 0.1).shape == (0,)
    b.__init__(2, kp=1.0)
    assert b.update(1.0, 0.0, 0.1).tolist() == [1.0, 1.0]


def test_signatures_are_introspectable():
    import inspect

    params = inspect.signature(PIDBank).parameters
    assert list(params)[:2] == ["shape", "kp"] and params["u_min"].default == -np.inf
    assert str(inspect.signature(PIDBank.update)) == (
        "(self, /, setpoint, measurement, dt, *, feedforward=None, track=None, out=None)")
    assert str(inspect.signature(PIDBank.set_manual)) == "(self, /, value=None, where=None)"
    assert str(inspect.signature(PIDBank.set_params)) == "(self, /, where=None, **params)"


def test_importing_regulo_does_not_import_bank():
    code = ("import sys, kovar.regulo; assert 'kovar.bank' not in sys.modules; "
            "import kovar; kovar.PIDBank; assert 'kovar.bank' in sys.modules")
    subprocess.run([sys.executable, "-c", code], check=True)
    with pytest.raises(AttributeError, match="module 'kovar' has no attribute 'Nope'"):
        kovar.Nope
