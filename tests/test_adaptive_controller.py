"""AdaptiveController: control law, state after failures, numpy use, threads and reference counts."""
import builtins, itertools, sys, threading, weakref
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

from conftest import SOURCE, arr, assert_no_leak, kovar_entries
from kovar import regulo
from kovar.regulo import AdaptiveController as AC
from reference import Adaptive

SOAK_CALLS = 100_000
FIELDS = ("error_history", "integral", "kd", "ki", "kp", "learning_rate", "max_adjustment", "previous_error")
KEPT = ("kp", "ki", "kd", "integral", "learning_rate", "max_adjustment")  # updated in place or left alone
CC, INIT = "kovar.regulo.AdaptiveController.compute_control", "kovar.regulo.AdaptiveController.__init__"
K, I, D, K2, I2, D2 = arr(1.0, 2.0), arr(0.5, 0.5), arr(0.25, 0.25), arr(3.0, 4.0), arr(0.75, 0.75), arr(0.125, 0.125)
T, Z, Z3, NAN = arr(20.0, 1.0), arr(0.0, 0.0), arr(0.0, 0.0, 0.0), float("nan")
A, G2, H, KID = (T, Z, 0.5), (K2, I2, D2), {"error_history"}, {"kp", "ki", "kd"}
HK, HKI, NONE_COPY = H | {"kp"}, H | {"kp", "integral"}, "'NoneType' object has no attribute 'copy'"

def fields(c):
    return dict(zip(FIELDS, r[1][2] if len(r := c.__reduce__()) == 2 else r[2]))

def restore(c, **changes):
    return c.__setstate__(tuple({**fields(c), **changes}[n] for n in FIELDS)) or c

def changed(c, snap):  # the fields re-bound or modified in place since snap = {name: (value, copy)}
    return {n for n, v in fields(c).items() if v is not snap[n][0] or not np.array_equal(v, snap[n][1])}

def live():
    (c := AC(K, I, D)).compute_control(arr(3.0, -1.0), Z, 0.5)
    return c

class Spy:  # numpy with some functions replaced; logs names taken and, given `calls`, "()" and (args, kwargs) per call
    def __init__(self, log=None, calls=None, **replace):
        self._log, self._calls, self._replace = [] if log is None else log, calls, replace
    def __getattr__(self, name):
        value = self._replace.get(name) or getattr(np, name)
        self._log.append(name)
        if self._calls is None or isinstance(value, type):
            return value
        return lambda *a, **k: self._log.append("()") or self._calls.append((a, k)) or value(*a, **k)

def refuse(*args, **kwargs):
    raise RuntimeError("refused")

def turns(*funcs):  # a function calling funcs in turn
    cycle = itertools.cycle(funcs)
    return lambda *a, **k: next(cycle)(*a, **k)

Sub, NoCopy = type("Sub", (np.ndarray,), {}), type("NoCopy", (np.ndarray,), {"copy": refuse})
Inert = type("Inert", (), {"__iadd__": lambda self, other: self})         # `+=` works, `*` fails
Product = type("Product", (), {"__mul__": lambda self, other: object()})   # unaddable product
FLOAT_DIFF = T.view(type("FloatDiff", (np.ndarray,), {"__sub__": lambda self, other: 1.5}))  # a - b is a float

def test_worked_example(monkeypatch):
    gains, log, calls = np.array([K, I, D]), [], []
    c = AC(*gains)
    monkeypatch.setattr(regulo, "np", Spy(log, calls))  # looked up at every use: first in the module ...
    for k, dt, out, kp, unbounded in [(0, 0.5, [37.0, 2.751], [1.1, 2.001], [0.4, 0.001]),
                                      (1, 0.0, [29.0, 2.253], [1.2, 2.003], [0.8, 0.002])]:
        before, log[:], calls[:] = fields(c), [], []
        assert_allclose(c.compute_control(T, Z, dt), out, rtol=1e-12)
        f, (roll_a, roll_k), (mean_a, mean_k), (clip_a, clip_k) = fields(c), *calls[:3]
        assert log == ["roll", "()", "mean", "()", "clip", "()"] + ["zeros_like", "()"] * k
        assert roll_a == (before["error_history"],) and [*roll_k.items()] == [("shift", 1), ("axis", 0)]
        assert mean_a == (f["error_history"],) and mean_k == {"axis": 0} and clip_k == {} and clip_a[1:] == (-0.1, 0.1)
        assert clip_a[2] is f["max_adjustment"] and (not k or np.array_equal(*calls[3][0], T) and not calls[3][1])
        for got, expected in zip((clip_a[0], f["kp"], f["integral"], f["previous_error"], f["error_history"]),
                                 (unbounded, kp, [10.0, 0.5], T, [T] * (k + 1) + [Z] * (9 - k))):
            assert_allclose(got, expected, rtol=1e-12)
        assert_array_equal(gains, [K, I, D] if k == 0 else 100.0)  # adaptation never touches the caller's arrays
        gains[:] = 100.0                                           # ... and their later changes don't reach it
        monkeypatch.delattr(regulo, "np", raising=False)   # ... then among the builtins
        monkeypatch.setattr(builtins, "np", Spy(log, calls), raising=False)

@pytest.mark.parametrize("n, m, e", [(4, 4, 4), (3, 1, 3), (3, 3, 1), (1, 1, 1)], ids=["n", "1-gain", "1-error", "1"])
@pytest.mark.parametrize("args, kwargs", [((), {}), ((0.5, 0.05), {}), ((0.0,), {}), ((-0.2, 0.3), {}),
                                          ((0.3, -0.05), {}), ((), {"max_adjustment": 0.0, "learning_rate": 2.0})])
def test_matches_reference(monkeypatch, n, m, e, args, kwargs):
    rng, log = np.random.default_rng(100 * n + 10 * m + e), []
    gains = [rng.normal(size=size) for size in (n, m, m)]
    c, ref = AC(*gains, *args, **kwargs), Adaptive(*gains, *args, **kwargs)
    last = fields(c)
    monkeypatch.setattr(regulo, "np", Spy(log))
    for k in range(25):
        target, current, log[:] = 10 * rng.normal(size=e), rng.normal(size=e), []
        dt = (0.01, 0.0, -0.02, -0.0, rng.uniform())[k % 5] if k < 24 else NAN
        out = c.compute_control(target, current, dt)
        assert out.shape == (n,) and ("zeros_like" in log) is not (dt > 0)  # no division by a dt <= 0 or NaN
        assert_array_equal(out, ref.compute_control(target, current, dt))
        for name, value in fields(c).items():
            assert_array_equal(value, getattr(ref, name), err_msg=name)
            assert (value is last[name]) is (name not in ("error_history", "previous_error")), name
        last, out[:] = fields(c), 1e9                  # the result is the caller's own

def test_init_numpy_calls_and_reinit(monkeypatch):
    c, log, calls, kp = restore(live(), learning_rate=0.5, max_adjustment=0.7), [], [], arr(1.0, 2.0, 3.0)
    old = fields(c)
    monkeypatch.setattr(regulo, "np", Spy(log, calls))
    c.__init__(kp, I, D)
    assert log == ["zeros_like", "float64", "()"] * 2 + ["zeros", "()"] and calls[2] == (((10, 3),), {})
    assert calls[0] == calls[1] == ((kp,), {"dtype": np.float64})
    f = fields(c)
    assert [(type(f[n]), f[n]) for n in ("learning_rate", "max_adjustment")] == [(float, 0.01), (float, 0.1)]
    for name, given in zip(("kp", "ki", "kd", "integral", "previous_error", "error_history"),
                           (kp, I, D, 0 * kp, 0 * kp, np.zeros((10, 3)))):
        assert f[name] is not given and f[name] is not old[name] and f[name].dtype == np.float64
        assert_array_equal(f[name], given)             # fails on a wrong shape too
    monkeypatch.undo()
    assert_no_leak(lambda: AC(K, I, D), K, I, D)
    assert_no_leak(lambda: c.__init__(K, I, D, 0.25, max_adjustment=0.5), c, K, I, D)

FAILURES = [  # id, field changes or maker, arguments, numpy, exception, message, line, fields changed
    ("target-None", {}, (None, Z, 0.5), None, TypeError, None, 96, set()),
    ("no-broadcast", {}, (T, Z3, 0.5), None, ValueError, None, 96, set()),
    ("error-float", {}, (FLOAT_DIFF, Z, 0.5), None, TypeError, "Cannot convert float to numpy.ndarray", 96, set()),
    ("np-missing", {}, A, "delete", NameError, "name 'np' is not defined", 100, set()),
    ("new", lambda: AC.__new__(AC), A, None, ValueError, None, 100, set()),
    ("error-length", {}, (arr(20.0, 1.0, 5.0), Z3, 0.5), None, ValueError, None, 101, H),
    ("learning_rate", {"learning_rate": None}, A, None, TypeError, None, 104, H),
    ("max_adjustment", {"max_adjustment": "x"}, A, None, TypeError, "bad operand type for unary -: 'str'", 105, H),
    ("kp-tuple", {"kp": ("a", "b")}, A, None, TypeError, None, 106, H),
    ("integral", {"integral": None}, A, None, TypeError, None, 109, HK),
    ("derivative-2-d", {"previous_error": np.zeros((2, 2))}, A, None, ValueError, None, 111, HKI),
    ("zeros_like", {}, (T, Z, -0.5), {"zeros_like": list}, TypeError, "Cannot convert list to numpy.ndarray", 113, HKI),
    ("kp-term", {"kp": Inert()}, A, None, TypeError, None, 116, H | {"integral"}),
    ("ki-None", {"ki": None}, A, None, TypeError, None, 117, HKI),
    ("p-plus-i", {"ki": Product()}, A, None, TypeError, None, 116, HKI),
    ("kd-None", {"kd": None}, A, None, TypeError, None, 118, HKI),
    ("final-sum", {"kd": Product()}, A, None, TypeError, None, 117, HKI),
    ("copy", {}, (T.view(NoCopy), Z, 0.5), None, RuntimeError, "refused", 120, HKI),
    ("init-kp-None", {}, (None, I2, D2), None, AttributeError, NONE_COPY, 83, set()),
    ("init-ki-None", {}, (K2, None, D2), None, AttributeError, NONE_COPY, 84, {"kp"}),
    ("init-kd-None", {}, (K2, I2, None), None, AttributeError, NONE_COPY, 85, {"kp", "ki"}),
    ("init-np-missing", {}, G2, "delete", NameError, "name 'np' is not defined", 86, KID),
    ("init-previous", {}, G2, {"zeros_like": turns(np.zeros_like, refuse)}, RuntimeError, "refused", 87,
     KID | {"integral"}),
    ("init-history", {}, G2, {"zeros": refuse}, RuntimeError, "refused", 88, KID | {"integral", "previous_error"}),
]

@pytest.mark.parametrize("state, args, numpy, exc, message, line, expected", [r[1:] for r in FAILURES],
                         ids=[r[0] for r in FAILURES])
def test_failure_keeps_earlier_updates(monkeypatch, state, args, numpy, exc, message, line, expected):
    c = state() if callable(state) else restore(live(), **state)
    method, where = (c.__init__, INIT) if line < 92 else (c.compute_control, CC)
    if numpy:
        monkeypatch.delattr(regulo, "np") if numpy == "delete" else monkeypatch.setattr(regulo, "np", Spy(**numpy))
    before = {n: (v, v.copy() if isinstance(v, np.ndarray) else v) for n, v in fields(c).items()}
    info = pytest.raises(exc, method, *args)
    assert (message is None or str(info.value) == message) and kovar_entries(info.value) == [(where, SOURCE, line)]
    assert changed(c, before) == expected
    f, old = fields(c), before["error_history"][1]
    if "error_history" in expected:                    # rolled by one row; row 0 holds the error from line 104 on
        assert_array_equal(f["error_history"], [old[-1] if line == 101 else args[0] - args[1], *old[:-1]])
    objects = [o for o in (c, *args, *([f[n] for n in KEPT] if line > 90 else [])) if o is not None]
    assert_no_leak(lambda: pytest.raises(exc, method, *args), *objects, calls=300)

def test_compute_control_function_object():
    f, code = AC.compute_control, AC.compute_control.__code__
    assert (f.__qualname__, code.co_firstlineno, code.co_varnames) == ("AdaptiveController.compute_control", 92, (
        "self", "target_position", "current_position", "dt", "error", "derivative", "delta_kp", "control_signal"))

def test_threads_sharing_one_controller():  # in-place updates are never lost
    c, ones, barrier, interval = AC(*[np.ones(3)] * 3), np.ones(3), threading.Barrier(4), sys.getswitchinterval()
    def work(_):
        barrier.wait()
        return all(np.isfinite(c.compute_control(ones, 0 * ones, 1.0)).all() for _ in range(500))
    sys.setswitchinterval(1e-5)
    try:
        with ThreadPoolExecutor(4) as pool:
            assert all(pool.map(work, range(4)))
    finally:
        sys.setswitchinterval(interval)
    assert_array_equal([(f := fields(c))["integral"] / 2000, f["previous_error"], *f["error_history"]], [ones] * 12)

@pytest.mark.parametrize("args, kwargs", [
    (A, {}), ((T, Z, 0.0), {}), ((arr(3.0), arr(1.0), 0.5), {}), ((T.view(Sub), Z, 0.5), {}),
    ((), {"dt": 0.5, "current_position": Z, "target_position": T})])
def test_successful_calls_do_not_leak(args, kwargs, calls=2000):
    c = live()
    kept, call = [fields(c)[n] for n in KEPT], lambda: c.compute_control(*args, **kwargs)
    gone = [weakref.ref(x) for x in (fields(c)["error_history"], fields(c)["previous_error"], call())]
    assert_no_leak(call, c, *args, *kwargs.values(), *kept, calls=calls)
    assert [r() for r in gone] == [None] * 3           # the replaced fields and the results are freed

def test_soak_keeps_refcounts_steady():
    test_successful_calls_do_not_leak((arr(1e-3, -1e-3), Z, 1e-3), {}, SOAK_CALLS)
