"""AdaptiveController: construction, the adaptive control law, numpy use,
partial updates on failure, threads and reference counts."""
import builtins
import contextlib
import itertools
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

from conftest import SOURCE, arr, assert_no_leak, kovar_entries
from kovar import regulo
from kovar.regulo import AdaptiveController
from reference import Adaptive

SOAK_CALLS = 100_000
FIELDS = ("error_history", "integral", "kd", "ki", "kp", "learning_rate", "max_adjustment",
          "previous_error")
INIT = "kovar.regulo.AdaptiveController.__init__"
CC = "kovar.regulo.AdaptiveController.compute_control"
K, I, D = arr(1.0, 2.0), arr(0.5, 0.5), arr(0.25, 0.25)
K2, I2, D2 = arr(3.0, 4.0), arr(0.75, 0.75), arr(0.125, 0.125)
T, Z = arr(20.0, 1.0), arr(0.0, 0.0)
NAN = float("nan")


def state_of(c):
    reduced = c.__reduce__()
    return reduced[2] if len(reduced) == 3 else reduced[1][2]


def fields(c):
    return dict(zip(FIELDS, state_of(c)))


def restore(c, **changes):
    f = fields(c)
    f.update(changes)
    c.__setstate__(tuple(f[name] for name in FIELDS))


def kept_fields(c):
    """The fields a successful call updates in place or leaves alone."""
    f = fields(c)
    return [f[n] for n in ("kp", "ki", "kd", "integral", "learning_rate", "max_adjustment")]


def snapshot(c):
    return {n: (v, v.copy() if isinstance(v, np.ndarray) else None) for n, v in fields(c).items()}


def changed(c, snap):
    """Fields re-bound to another object or modified in place since `snap`."""
    return {n for n, v in fields(c).items()
            if v is not snap[n][0]
            or (isinstance(v, np.ndarray) and not np.array_equal(v, snap[n][1], equal_nan=True))}


def assert_failures_do_not_leak(method, args, kwargs, exc, *objects):
    def call():
        with contextlib.suppress(exc):
            method(*args, **kwargs)
    objects = [o for o in (*args, *kwargs.values(), *objects) if o is not None]
    assert_no_leak(call, *objects, calls=300)


def live():
    c = AdaptiveController(K, I, D)
    c.compute_control(arr(3.0, -1.0), Z, 0.5)
    return c


class NumpySpy:
    """Stands in for numpy as `regulo.np`: replaces some functions and, given
    a log, records every attribute taken and every call made."""

    def __init__(self, log=None, **replace):
        self._log, self._replace = log, replace

    def __getattr__(self, name):
        value = self._replace.get(name) or getattr(np, name)
        if self._log is None:
            return value
        self._log.append(name)
        if isinstance(value, type):
            return value

        def call(*args, **kwargs):
            self._log.append((name, args, kwargs))
            return value(*args, **kwargs)
        return call


def steps(log):
    """The spy's log with every call shown as "()"."""
    return [e if isinstance(e, str) else "()" for e in log]


def rebind_np(monkeypatch, numpy):
    if numpy == "delete":
        monkeypatch.delattr(regulo, "np")
    elif numpy is not None:
        monkeypatch.setattr(regulo, "np", NumpySpy(**numpy()))


def refuse(*args, **kwargs):
    raise RuntimeError("refused")


def every_second(func):
    """func for odd-numbered calls; even-numbered ones are refused."""
    count = itertools.count()
    return lambda *a, **k: refuse() if next(count) % 2 else func(*a, **k)


Sub = type("Sub", (np.ndarray,), {})
Inert = type("Inert", (), {"__iadd__": lambda self, other: self})       # `+=` works, `*` fails
Product = type("Product", (), {"__mul__": lambda self, other: object()})  # unaddable product


class Minuend(np.ndarray):
    """An array whose subtraction yields a chosen object."""
    def __sub__(self, other):
        return self.difference


def minuend(difference):
    m = T.view(Minuend)
    m.difference = difference
    return m


class NoCopy(np.ndarray):
    def copy(self, *args, **kwargs):
        raise RuntimeError("no copy")


class Bare(AdaptiveController):
    def __init__(self, *args):
        pass


# --------------------------------------------------------------------------- control law

@pytest.mark.parametrize("form", ["plain", "read-only", "strided", "subclass"])
def test_worked_example(form):
    gains = [g.copy() for g in (K, I, D)]
    if form == "read-only":
        for g in gains:
            g.flags.writeable = False
    elif form == "strided":
        gains = [np.repeat(g, 2)[::2] for g in gains]
    elif form == "subclass":
        gains = [g.view(Sub) for g in gains]
    c = AdaptiveController(*gains)
    assert_allclose(c.compute_control(T, Z, 0.5), [37.0, 2.751], rtol=1e-12)
    f = fields(c)
    assert_allclose(f["kp"], [1.1, 2.001], rtol=1e-12)
    assert_array_equal(f["integral"], [10.0, 0.5])
    assert_array_equal(f["previous_error"], [20.0, 1.0])
    assert_array_equal(f["error_history"], [[20.0, 1.0]] + [[0.0, 0.0]] * 9)
    for g, original in zip(gains, (K, I, D)):
        assert_array_equal(g, original)            # adaptation never touches the caller's arrays
        if form == "plain":
            g[:] = 100.0                           # ... and later changes don't reach the controller
    assert_allclose(c.compute_control(T, Z, 0.0), [29.0, 2.253], rtol=1e-12)
    assert_allclose(fields(c)["kp"], [1.2, 2.003], rtol=1e-12)
    assert_array_equal(fields(c)["integral"], [10.0, 0.5])


@pytest.mark.parametrize("n, m, e", [(4, 4, 4), (3, 1, 3), (3, 3, 1), (1, 1, 1)])
@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((0.5, 0.05), {}), ((0.0,), {}), ((-0.2, 0.3), {}), ((0.3, -0.05), {}),
    ((), {"max_adjustment": 0.0, "learning_rate": 2.0}), ((1e3, 1e-3), {}),
])
def test_matches_reference(n, m, e, args, kwargs):
    rng = np.random.default_rng(100 * n + 10 * m + e)
    gains = [rng.normal(size=n), rng.normal(size=m), rng.normal(size=m)]
    pristine = [g.copy() for g in gains]
    c, ref = AdaptiveController(*gains, *args, **kwargs), Adaptive(*gains, *args, **kwargs)
    for k in range(25):
        target, current = 10 * rng.normal(size=e), rng.normal(size=e)
        dt = (0.01, 0.0, -0.02, rng.uniform())[k % 4]
        assert_array_equal(c.compute_control(target, current, dt),
                           ref.compute_control(target, current, dt))
        for name, value in fields(c).items():
            assert_array_equal(value, getattr(ref, name), err_msg=name)
    for g, p in zip(gains, pristine):
        assert_array_equal(g, p)


@pytest.mark.parametrize("learning_rate, max_adjustment, step", [
    (0.5, -0.25, -0.25), (-3.0, -1.0, -1.0), (0.0, 0.1, 0.0), (0.7, 0.0, 0.0),
])
def test_kp_step_when_change_is_pinned(learning_rate, max_adjustment, step):
    rng = np.random.default_rng(7)
    c = AdaptiveController(arr(1.0, 2.0, 3.0), arr(0.5), arr(0.5), learning_rate, max_adjustment)
    kp = fields(c)["kp"]
    for _ in range(12):
        before = kp.copy()
        c.compute_control(rng.normal(size=3), rng.normal(size=3), 0.1)
        assert fields(c)["kp"] is kp
        assert_array_equal(kp, before + step)


def test_broadcast_single_gains_and_single_error():
    c = AdaptiveController(arr(1.0, 2.0, 3.0), arr(0.5), arr(0.25))
    assert fields(c)["error_history"].shape == (10, 3)
    assert c.compute_control(arr(1.0, 2.0, 3.0), arr(0.0, 0.0, 0.0), 0.1).shape == (3,)
    out = c.compute_control(arr(2.0), arr(0.5), 0.1)
    f = fields(c)
    assert out.shape == (3,) and f["kp"].shape == (3,) and f["integral"].shape == (3,)
    assert_array_equal(f["previous_error"], [1.5])
    assert_array_equal(f["error_history"][:2], [[1.5] * 3, [1.0, 2.0, 3.0]])


def test_history_keeps_ten_newest_errors_and_results_are_new():
    c = AdaptiveController(arr(1.0, 1.0, 1.0), arr(0.0), arr(0.0))
    errors = []
    for k in range(1, 14):
        before = fields(c)
        out = c.compute_control(arr(k, -2.0 * k, 0.5 * k), arr(0.0, 0.0, 0.0), 0.1)
        errors.insert(0, [k, -2.0 * k, 0.5 * k])
        f = fields(c)
        expected = np.zeros((10, 3))
        expected[:min(k, 10)] = errors[:10]
        assert_array_equal(f["error_history"], expected)
        assert_array_equal(f["previous_error"], errors[0])
        for name in FIELDS:
            rebound = name in ("error_history", "previous_error")
            assert (f[name] is before[name]) is not rebound, name
        kept = snapshot(c)
        out[:] = 1e9
        assert changed(c, kept) == set()


@pytest.mark.parametrize("dt, integral", [
    (0.0, [0.0, 0.0]), (-0.0, [0.0, 0.0]), (-0.5, [-10.0, -0.5]), (NAN, [NAN, NAN]),
])
def test_dt_not_positive_gives_zero_derivative(dt, integral):
    c = AdaptiveController(K, I, D)
    out = c.compute_control(T, Z, dt)
    f = fields(c)
    assert_allclose(f["kp"], [1.1, 2.001], rtol=1e-12)
    assert_array_equal(f["integral"], integral)
    assert_array_equal(f["previous_error"], T)
    assert_array_equal(out, f["kp"] * T + I * f["integral"])


@pytest.mark.parametrize("dt", [1, True, np.float64(1.0), np.float32(1.0)])
def test_dt_conversions(dt):
    a, b = AdaptiveController(K, I, D), AdaptiveController(K, I, D)
    for _ in range(3):
        assert_array_equal(a.compute_control(T, Z, dt), b.compute_control(T, Z, 1.0))


# --------------------------------------------------------------------------- construction

@pytest.mark.parametrize("args, kwargs, expected", [
    ((K, I, D), {}, (0.01, 0.1)),
    ((K, I, D, 0.25), {}, (0.25, 0.1)),
    ((K, I, D, 0.25, 0.5), {}, (0.25, 0.5)),
    ((K, I, D), {"max_adjustment": 0.5}, (0.01, 0.5)),
    ((K, I, D), {"learning_rate": 0.25, "max_adjustment": 0.5}, (0.25, 0.5)),
    ((K, I, D), {"max_adjustment": 0.5, "learning_rate": 0.25}, (0.25, 0.5)),
    ((), {"initial_kd": D, "max_adjustment": -2.0, "initial_kp": K, "learning_rate": 1e9,
          "initial_ki": I}, (1e9, -2.0)),
    ((K, I, D, 2, np.float64(-3.5)), {}, (2.0, -3.5)),
    ((K, I, D, True, np.float32(0.75)), {}, (1.0, 0.75)),
])
def test_initial_state(args, kwargs, expected):
    c = AdaptiveController(*args, **kwargs)
    f = fields(c)
    assert (f["learning_rate"], f["max_adjustment"]) == expected
    assert type(f["learning_rate"]) is float and type(f["max_adjustment"]) is float
    for name, given in (("kp", K), ("ki", I), ("kd", D)):
        assert f[name] is not given
        assert_array_equal(f[name], given)
    for name, shape in (("integral", (2,)), ("previous_error", (2,)), ("error_history", (10, 2))):
        assert f[name].dtype == np.float64 and f[name].shape == shape and not f[name].any()
    assert f["integral"] is not f["previous_error"]


def test_second_init_resets_everything():
    c = live()
    c.compute_control(T, Z, 0.5)
    restore(c, learning_rate=0.5, max_adjustment=0.7)
    old = fields(c)
    c.__init__(K2, I2, D2)
    f = fields(c)
    for name, given in (("kp", K2), ("ki", I2), ("kd", D2)):
        assert f[name] is not given and f[name] is not old[name]
        assert_array_equal(f[name], given)
    for name in ("integral", "previous_error", "error_history"):
        assert f[name] is not old[name] and not f[name].any()
    assert (f["learning_rate"], f["max_adjustment"]) == (0.01, 0.1)


# --------------------------------------------------------------------------- failures

H = {"error_history"}
HK = H | {"kp"}
HKI = HK | {"integral"}
Z3 = arr(0.0, 0.0, 0.0)
COMPUTE_FAILURES = [
    # id, field changes, call arguments, numpy, exception, message, line, fields changed
    ("count", {}, (T, Z), None, TypeError,
     "compute_control() takes exactly 3 positional arguments (2 given)", 92, set()),
    ("dt", {}, ([20.0, 1.0], Z, "x"), None, TypeError, "must be real number, not str", 95, set()),
    ("type-target", {}, ([20.0, 1.0], Z, 0.5), None, TypeError,
     "Argument 'target_position' has incorrect type (expected numpy.ndarray, got list)", None, set()),
    ("float32", {}, (T.astype(np.float32), Z, 0.5), None, ValueError,
     "Buffer dtype mismatch, expected 'float64_t' but got 'float'", 92, set()),
    ("2-d", {}, (T, Z.reshape(1, 2), 0.5), None, ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)", 92, set()),
    ("target-None", {}, (None, Z, 0.5), None, TypeError, None, 96, set()),
    ("current-None", {}, (T, None, 0.5), None, TypeError, None, 96, set()),
    ("no-broadcast", {}, (T, Z3, 0.5), None, ValueError, None, 96, set()),
    ("error-float", {}, (minuend(1.5), Z, 0.5), None, TypeError,
     "Cannot convert float to numpy.ndarray", 96, set()),
    ("error-int", {}, (minuend(np.array([20, 1])), Z, 0.5), None, ValueError,
     "Buffer dtype mismatch, expected 'float64_t' but got 'long'", 96, set()),
    ("np-missing", {}, (T, Z, 0.5), "delete", NameError, "name 'np' is not defined", 100, set()),
    ("history-None", {"error_history": None}, (T, Z, 0.5), None, ValueError, None, 100, set()),
    ("error-length", {}, (arr(20.0, 1.0, 5.0), Z3, 0.5), None, ValueError, None, 101, H),
    ("learning_rate", {"learning_rate": None}, (T, Z, 0.5), None, TypeError, None, 104, H),
    ("max_adjustment", {"max_adjustment": "x"}, (T, Z, 0.5), None, TypeError,
     "bad operand type for unary -: 'str'", 105, H),
    ("kp-tuple", {"kp": ("a", "b")}, (T, Z, 0.5), None, TypeError, None, 106, H),
    ("integral", {"integral": None}, (T, Z, 0.5), None, TypeError, None, 109, HK),
    ("previous_error", {"previous_error": None}, (T, Z, 0.5), None, TypeError, None, 111, HKI),
    ("derivative-2-d", {"previous_error": np.zeros((2, 2))}, (T, Z, 0.5), None, ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)", 111, HKI),
    ("zeros_like-list", {}, (T, Z, -0.5), lambda: {"zeros_like": lambda e: [0.0, 0.0]}, TypeError,
     "Cannot convert list to numpy.ndarray", 113, HKI),
    ("kp-term", {"kp": Inert()}, (T, Z, 0.5), None, TypeError, None, 116, H | {"integral"}),
    ("ki-None", {"ki": None}, (T, Z, 0.5), None, TypeError, None, 117, HKI),
    ("p-plus-i", {"ki": Product()}, (T, Z, 0.5), None, TypeError, None, 116, HKI),
    ("kd-None", {"kd": None}, (T, Z, 0.5), None, TypeError, None, 118, HKI),
    ("final-sum", {"kd": Product()}, (T, Z, 0.5), None, TypeError, None, 117, HKI),
    ("copy", {}, (T.view(NoCopy), Z, 0.5), None, RuntimeError, "no copy", 120, HKI),
]
COMPUTE_IDS = [case[0] for case in COMPUTE_FAILURES]
COMPUTE_CASES = [case[1:] for case in COMPUTE_FAILURES]


@pytest.mark.parametrize("state, args, numpy, exc, message, line, expected", COMPUTE_CASES,
                         ids=COMPUTE_IDS)
def test_failed_call_keeps_earlier_updates(monkeypatch, state, args, numpy, exc, message, line,
                                           expected):
    c = live()
    restore(c, **state)
    rebind_np(monkeypatch, numpy)
    before = snapshot(c)
    with pytest.raises(exc) as info:
        c.compute_control(*args)
    if message is not None:
        assert str(info.value) == message
    assert kovar_entries(info.value) == ([(CC, SOURCE, line)] if line else [])
    assert changed(c, before) == expected
    if expected:
        history, old = fields(c)["error_history"], before["error_history"][1]
        assert_array_equal(history[1:], old[:-1])
        assert_array_equal(history[0], old[-1] if line == 101 else np.asarray(args[0]) - args[1])
    assert_failures_do_not_leak(c.compute_control, args, {}, exc, c, *kept_fields(c))


@pytest.mark.parametrize("make", [lambda: AdaptiveController.__new__(AdaptiveController),
                                  lambda: Bare(K, I, D)], ids=["new", "subclass"])
def test_uninitialised_controller_fails_in_roll(make):
    c = make()
    with pytest.raises(ValueError) as info:
        c.compute_control(T, Z, 0.5)
    assert kovar_entries(info.value) == [(CC, SOURCE, 100)]
    assert state_of(c)[:8] == (None,) * 8
    assert_failures_do_not_leak(c.compute_control, (T, Z, 0.5), {}, ValueError, c)


INIT_FAILURES = [
    # id, arguments, keyword arguments, numpy, exception, message, line, fields changed
    ("too-few", (K2,), {}, None, TypeError,
     "__init__() takes at least 3 positional arguments (1 given)", 77, set()),
    ("twice", (K2, I2, D2, 0.1), {"learning_rate": 0.2}, None, TypeError,
     "__init__() got multiple values for keyword argument 'learning_rate'", 77, set()),
    ("learning_rate", (K2, I2, D2, "x", None), {}, None, TypeError,
     "must be real number, not str", 81, set()),
    ("max_adjustment", ([3.0], I2, D2, 0.2, "x"), {}, None, TypeError,
     "must be real number, not str", 82, set()),
    ("type", (K2, I2, [0.125]), {}, None, TypeError,
     "Argument 'initial_kd' has incorrect type (expected numpy.ndarray, got list)", None, set()),
    ("float32", (K2, I2.astype(np.float32), D2), {}, None, ValueError,
     "Buffer dtype mismatch, expected 'float64_t' but got 'float'", 77, set()),
    ("2-d", (K2, I2, D2.reshape(1, 2)), {}, None, ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)", 77, set()),
    ("kp-None", (None, I2, D2), {}, None, AttributeError,
     "'NoneType' object has no attribute 'copy'", 83, set()),
    ("ki-None", (K2, None, D2), {}, None, AttributeError,
     "'NoneType' object has no attribute 'copy'", 84, {"kp"}),
    ("kd-None", (K2, I2, None), {}, None, AttributeError,
     "'NoneType' object has no attribute 'copy'", 85, {"kp", "ki"}),
    ("np-missing", (K2, I2, D2), {}, "delete", NameError, "name 'np' is not defined", 86,
     {"kp", "ki", "kd"}),
    ("integral", (K2, I2, D2), {}, lambda: {"zeros_like": refuse}, RuntimeError, "refused", 86,
     {"kp", "ki", "kd"}),
    ("previous_error", (K2, I2, D2), {}, lambda: {"zeros_like": every_second(np.zeros_like)},
     RuntimeError, "refused", 87, {"kp", "ki", "kd", "integral"}),
    ("history", (K2, I2, D2), {}, lambda: {"zeros": refuse}, RuntimeError, "refused", 88,
     {"kp", "ki", "kd", "integral", "previous_error"}),
]
INIT_IDS = [case[0] for case in INIT_FAILURES]
INIT_CASES = [case[1:] for case in INIT_FAILURES]


@pytest.mark.parametrize("args, kwargs, numpy, exc, message, line, expected", INIT_CASES,
                         ids=INIT_IDS)
def test_failed_init_keeps_earlier_updates(monkeypatch, args, kwargs, numpy, exc, message, line,
                                           expected):
    c = live()
    rebind_np(monkeypatch, numpy)
    before = snapshot(c)
    with pytest.raises(exc) as info:
        c.__init__(*args, **kwargs)
    assert str(info.value) == message
    assert kovar_entries(info.value) == ([(INIT, SOURCE, line)] if line else [])
    assert changed(c, before) == expected
    f = fields(c)
    for name, given in (("kp", K2), ("ki", I2), ("kd", D2)):
        if name in expected:
            assert f[name] is not given
            assert_array_equal(f[name], given)
    for name in {"integral", "previous_error"} & expected:
        assert_array_equal(f[name], Z)
    assert_failures_do_not_leak(c.__init__, args, kwargs, exc, c)


# --------------------------------------------------------------------------- numpy use

def test_init_numpy_calls(monkeypatch):
    log = []
    monkeypatch.setattr(regulo, "np", NumpySpy(log))
    kp = arr(1.0, 2.0, 3.0)
    AdaptiveController(kp, I, D)
    assert steps(log) == [
        "zeros_like", "float64", "()", "zeros_like", "float64", "()", "zeros", "()"]
    for name, args, kwargs in (log[2], log[5]):
        assert len(args) == 1 and args[0] is kp and kwargs == {"dtype": np.float64}
    assert log[7][1:] == (((10, 3),), {}) and all(type(x) is int for x in log[7][1][0])


@pytest.mark.parametrize("dt", [0.5, 0.0, -1.0, NAN])
def test_compute_numpy_calls(monkeypatch, dt):
    c, plain = live(), live()
    before, log = fields(c), []
    monkeypatch.setattr(regulo, "np", NumpySpy(log))
    out = c.compute_control(T, Z, dt)
    monkeypatch.undo()
    assert_array_equal(out, plain.compute_control(T, Z, dt))
    after = fields(c)
    zeros = [] if dt > 0 else ["zeros_like", "()"]
    assert steps(log) == [
        "roll", "()", "mean", "()", "clip", "()", *zeros]
    (_, roll_args, roll_kw), (_, mean_args, mean_kw), (_, clip_args, clip_kw) = log[1], log[3], log[5]
    assert len(roll_args) == 1 and roll_args[0] is before["error_history"]
    assert list(roll_kw.items()) == [("shift", 1), ("axis", 0)]
    assert len(mean_args) == 1 and mean_args[0] is after["error_history"] and mean_kw == {"axis": 0}
    assert len(clip_args) == 3 and clip_kw == {}
    assert clip_args[1] == -0.1 and clip_args[2] is after["max_adjustment"]
    if zeros:
        assert len(log[7][1]) == 1 and log[7][2] == {}
        assert_array_equal(log[7][1][0], T)


def test_np_rebinding_takes_effect_at_next_call(monkeypatch):
    c, log = live(), []
    c.compute_control(T, Z, 0.5)
    monkeypatch.setattr(regulo, "np", NumpySpy(log))
    c.compute_control(T, Z, 0.5)
    assert log[0] == "roll"
    monkeypatch.delattr(regulo, "np")
    monkeypatch.setattr(builtins, "np", NumpySpy(log), raising=False)
    del log[:]
    c.compute_control(T, Z, 0.5)
    assert log[0] == "roll"
    monkeypatch.undo()
    assert regulo.np is np
    del log[:]
    c.compute_control(T, Z, 0.5)
    assert log == []


# --------------------------------------------------------------------------- the method object

def test_compute_control_function_object():
    f = AdaptiveController.compute_control
    assert f.__qualname__ == "AdaptiveController.compute_control"
    assert f.__name__ == "compute_control" and f.__module__ == "kovar.regulo"
    assert f.__code__.co_firstlineno == 92
    assert f.__code__.co_varnames == ("self", "target_position", "current_position", "dt",
                                      "error", "derivative", "delta_kp", "control_signal")
    a, b = live(), live()
    assert a.compute_control.__self__ is a
    assert_array_equal(f(a, T, Z, 0.5), b.compute_control(T, Z, 0.5))
    with pytest.raises(TypeError, match=r"^compute_control\(\) needs an argument$"):
        f()


# --------------------------------------------------------------------------- threads, leaks

def test_threads_sharing_one_controller():
    c, ones, zeros = AdaptiveController(np.ones(3), np.ones(3), np.ones(3)), np.ones(3), np.zeros(3)
    barrier = threading.Barrier(4)

    def work():
        barrier.wait()
        for _ in range(500):
            assert np.isfinite(c.compute_control(ones, zeros, 1.0)).all()
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        with ThreadPoolExecutor(4) as pool:
            for future in [pool.submit(work) for _ in range(4)]:
                future.result()
    finally:
        sys.setswitchinterval(interval)
    f = fields(c)
    assert_array_equal(f["integral"], [2000.0] * 3)    # in-place updates are never lost
    assert_array_equal(f["error_history"], np.ones((10, 3)))
    assert_array_equal(f["previous_error"], ones)


@pytest.mark.parametrize("args, kwargs", [
    ((T, Z, 0.5), {}), ((T, Z, 0.0), {}), ((T, Z, NAN), {}), ((T, Z, 12345), {}),
    ((arr(3.0), arr(1.0), 0.5), {}), ((T.view(Sub), Z, 0.5), {}),
    ((), {"dt": 0.5, "current_position": Z, "target_position": T}),
], ids=["dt", "dt-zero", "dt-nan", "dt-int", "single-error", "subclass", "keywords"])
def test_successful_calls_do_not_leak(args, kwargs):
    c = live()
    assert_no_leak(lambda: c.compute_control(*args, **kwargs), c, *args, *kwargs.values(),
                   *kept_fields(c))


def test_construction_does_not_leak():
    c, rate = live(), 0.25
    assert_no_leak(lambda: AdaptiveController(K, I, D), K, I, D)
    assert_no_leak(lambda: c.__init__(K, I, D, rate, max_adjustment=0.5), c, K, I, D, rate)


def test_soak_keeps_refcounts_steady():
    c, target, dt = AdaptiveController(K, I, D), arr(1e-3, -1e-3), 1e-3
    assert_no_leak(lambda: c.compute_control(target, Z, dt), c, target, Z, dt, *kept_fields(c),
                   calls=SOAK_CALLS)
