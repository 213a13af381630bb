"""PIDController and PIDControllerXd: control law, ownership, failing steps, np, threads, GC and leaks."""
import builtins, gc, itertools, sys, threading, tracemalloc
from types import SimpleNamespace as NS
import numpy as np
import pytest
from conftest import SOURCE, arr, assert_no_leak, kovar_entries
from kovar import regulo
from reference import PID

SOAK_CALLS = 100_000  # compute_control calls of the soak
STATE = ("integral", "kd", "ki", "kp", "previous_error")  # order of the reduced state
KEYS = ("init_integral", "init_previous", "error", "p_term", "integral", "i_term", "derivative_div",
        "derivative_zeros", "d_term", "control_signal")
VARIANTS = [  # wide: channels; narrow: broadcasts onto wide, not wide into it; clash: doesn't broadcast
    NS(cls=regulo.PIDController, ndim=1, line=dict(zip(KEYS, (13, 14, 19, 20, 21, 22, 25, 27, 28, 31))),
       wide=(3,), narrow=(1,), clash=(2,), other=(1, 3), big=(1000,), a=lambda *x: arr(*x)),
    NS(cls=regulo.PIDControllerXd, ndim=2, line=dict(zip(KEYS, (46, 47, 55, 56, 57, 58, 61, 63, 64, 67))),
       wide=(2, 3), narrow=(1, 3), clash=(3, 3), other=(3,), big=(25, 40), a=lambda *x: arr(*x, ndim=2)),
]
pytestmark = pytest.mark.parametrize("v", VARIANTS, ids=lambda v: v.cls.__name__)

def fields(c):
    r = c.__reduce__()
    return dict(zip(STATE, r[2] if len(r) == 3 else r[1][2]))

def setup(v, **override):  # controller and reference twin, integral 0.25, previous error 0.75
    rng = np.random.default_rng(3)
    m = {k: rng.uniform(0.5, 2.0, v.wide) for k in ("kp", "ki", "kd", "target", "current")}
    m.update({k: s and rng.uniform(0.5, 2.0, getattr(v, s)) for k, s in override.items()})
    c, ref = v.cls(m["kp"], m["ki"], m["kd"]), PID(m["kp"], m["ki"], m["kd"])
    integral0, prev0 = np.full(np.shape(m["kp"]), 0.25), np.full(np.shape(m["kp"]), 0.75)
    c.__setstate__((integral0, m["kd"], m["ki"], m["kp"], prev0))
    ref.integral, ref.previous_error = integral0.copy(), prev0.copy()
    return c, ref, m["target"], m["current"], integral0, prev0

def raises(v, exc, message, method, key, fn, *args):
    with pytest.raises(exc) as info:
        fn(*args)
    assert str(info.value) == message and info.value.__context__ is None
    assert kovar_entries(info.value) == [(f"kovar.regulo.{v.cls.__name__}.{method}", SOURCE, v.line[key])]

class Rogue(np.ndarray):  # hooks[name](self, other) replaces an operator; derived arrays keep the hooks
    def __array_finalize__(self, obj):
        self.hooks = getattr(obj, "hooks", {})

for _n in ("__sub__", "__rsub__", "__mul__", "__truediv__", "__radd__", "__iadd__"):
    setattr(Rogue, _n, lambda self, o, _n=_n: self.hooks.get(_n, getattr(np.ndarray, _n))(self, o))

def rogue(values, **hooks):
    (r := np.array(values, dtype=np.float64).view(Rogue)).hooks = hooks
    return r

def recorder(fail_on=None, result=None):  # stands in for numpy, recording zeros_like calls
    def zeros_like(*args, **kwargs):
        calls.append((args, kwargs))
        if len(calls) == fail_on:
            raise RuntimeError("boom")
        return np.zeros_like(*args, **kwargs) if result is None else result
    calls = []
    return NS(zeros_like=zeros_like, float64=np.float64, calls=calls)

def test_worked_example(v):
    c = v.cls(v.a(1.0), v.a(0.5), v.a(0.1))
    for expected, integral in ((2.05, 0.1), (1.1, 0.2)):
        out = c.compute_control(v.a(1.0), v.a(0.0), 0.1)
        np.testing.assert_array_equal(out, v.a(expected))
        np.testing.assert_array_equal(fields(c)["integral"], v.a(integral))
    c.__setstate__((rogue(v.a(0.2), __iadd__=lambda *_: 7.0), v.a(0.1), v.a(0.5), v.a(1.0), v.a(1.0)))
    np.testing.assert_array_equal(c.compute_control(v.a(1.0), v.a(0.0), 0.1), v.a(4.5))  # integral 7.0, untested
    assert fields(c)["integral"] == 7.0

def test_matches_reference_for_every_dt(v):
    rng, shape = np.random.default_rng(11), (5,) if v.ndim == 1 else (3, 4)
    kp, ki, kd = rng.standard_normal(shape), rng.standard_normal(shape), rng.standard_normal((1,) * v.ndim)
    ref, integral = PID(kp, ki, kd), fields(c := v.cls(kp, ki, kd))["integral"]  # updated in place
    for dt in [0.01, 0.0, 0.5, -0.0, -0.2, 3, np.float64(0.25), *rng.uniform(-1, 1, 40), float("nan")]:
        t, cur = rng.standard_normal(shape), rng.standard_normal(shape)
        with np.errstate(all="raise"):  # no division by a dt that is not positive
            out = c.compute_control(t, cur, dt)
        np.testing.assert_array_equal(out, ref.compute_control(t, cur, dt))
        assert type(out) is np.ndarray and fields(c)["integral"] is integral and out is not fields(c)["previous_error"]
        out[...] = 1e9  # the result is the caller's own: later calls must not notice

def test_gains_are_shared_and_second_init_resets_state(v):
    kp, ki, kd = v.a(1.0, 2.0), v.a(0.5, 0.25), v.a(0.1, 0.2)
    c, ref, t, cur = v.cls(kp, ki, kd), PID(kp, ki, kd), v.a(1.0, -1.0), v.a(0.0, 0.5)
    for mutate in (kp.__imul__, ki.__iadd__, kd.__isub__):  # the caller's arrays, read at every call
        mutate(3.0)
        np.testing.assert_array_equal(c.compute_control(t, cur, 0.2), ref.compute_control(t, cur, 0.2))
    old, gains = fields(c), (v.a(2.0, 3.0), v.a(1.0, 1.0), v.a(0.0, 0.5))
    assert c.__init__(*gains) is None
    s = fields(c)
    assert all(s[k] is g for k, g in zip(("kp", "ki", "kd"), gains)) and s["integral"] is not s["previous_error"]
    assert all(s[k] is not old[k] and np.array_equal(s[k], 0 * gains[0]) for k in ("integral", "previous_error"))
    np.testing.assert_array_equal(c.compute_control(t, cur, 0.1), PID(*gains).compute_control(t, cur, 0.1))

FAILURES = {"target-None": ("error", 0.1, {"target": None}), "kp-narrow": ("integral", 0.1, {"kp": "narrow"}),
            "ki-None": ("i_term", 0.1, {"ki": None}), "kd-clash": ("d_term", float("nan"), {"kd": "clash"})}
HOOKS = {"error": ("target", "__sub__"), "p_term": ("kp", "__mul__"), "i_term": ("ki", "__mul__"), "derivative_zeros":
         ("np", None), "derivative_div": ("previous_error", "__truediv__"), "d_term": ("kd", "__mul__"),
         "control_signal": ("kd", "__radd__")}  # error - previous_error and d_term inherit the hooks
RESULTS = {"float": (1.5, TypeError, "Cannot convert float to numpy.ndarray"),
           "np.float64": (np.float64(2.0), TypeError, "Cannot convert numpy.float64 to numpy.ndarray"),
           "ndim": (None, ValueError, "Buffer has wrong number of dimensions (expected {n}, got {m})"),
           "f4": (None, ValueError, "Buffer dtype mismatch, expected 'float64_t' but got 'float'")}
CASES = [pytest.param(*row, None, id=k) for k, row in FAILURES.items()] + [
    pytest.param(s, -1.0 if s == "derivative_zeros" else 0.1, {}, r, id=f"{s}-{r}") for s in HOOKS for r in RESULTS]

@pytest.mark.parametrize("step, dt, override, result", CASES)
def test_failing_step_keeps_earlier_updates(v, monkeypatch, step, dt, override, result):
    c, ref, t, cur, integral0, prev0 = setup(v, **override)
    if result is None:
        with pytest.raises(Exception) as expected:  # the same operations in Python
            ref.compute_control(t, cur, dt)
        exc, message = type(expected.value), str(expected.value)
    else:  # the step's result is not a float64 array of the right number of dimensions
        value, exc, message = RESULTS[result]
        value = {"ndim": np.zeros(v.other), "f4": np.ones(v.wide, np.float32)}.get(result, value)
        message, (holder, op), s = message.format(n=v.ndim, m=len(v.other)), HOOKS[step], dict(fields(c), target=t)
        if holder == "np":
            monkeypatch.setattr(regulo, "np", recorder(result=value))
        else:
            s[holder] = rogue(s[holder], **{op: lambda *_: value})
            c.__setstate__(tuple(s[k] for k in STATE))
            t, prev0 = s["target"], s["previous_error"]
    raises(v, exc, message, "compute_control", step, c.compute_control, t, cur, dt)
    s, last = fields(c), step == "control_signal"
    assert s["integral"] is integral0 and (s["previous_error"] is prev0) != last
    updated = KEYS.index(step) > KEYS.index("integral")
    np.testing.assert_array_equal(integral0, 0.25 + (t - cur) * dt if updated else 0.25)
    np.testing.assert_array_equal(s["previous_error"], t - cur if last else 0.75)

def test_np_is_looked_up_at_every_use(v, monkeypatch):
    rec, kp, t, cur, gone = recorder(), v.a(1.0, 2.0), v.a(1.0, 1.0), v.a(0.0, 0.5), "name 'np' is not defined"
    monkeypatch.setattr(regulo, "np", rec)
    c = v.cls(kp, kp, kp)
    assert [(x[0] is kp, len(x), kw) for x, kw in rec.calls] == [(True, 1, {"dtype": np.float64})] * 2
    for dt in (0.1, 0.0, 5.0, -0.0, -1.0, float("nan")):  # zeros_like(error) only when dt is not > 0
        n, zeros = len(rec.calls), [(1, True, {})] * (not dt > 0)
        c.compute_control(t, cur, dt)
        assert [(len(x), x[0] is fields(c)["previous_error"], k) for x, k in rec.calls[n:]] == zeros
    monkeypatch.setattr(regulo, "np", gc)  # zeros_like is read before float64
    raises(v, AttributeError, "module 'gc' has no attribute 'zeros_like'", "__init__", "init_integral", v.cls, kp, t, t)
    monkeypatch.delattr(regulo, "np")
    raises(v, NameError, gone, "__init__", "init_integral", v.cls, kp, kp, kp)
    assert c.compute_control(t, cur, 0.1).shape == kp.shape  # a positive dt needs no np
    raises(v, NameError, gone, "compute_control", "derivative_zeros", c.compute_control, t, cur, 0.0)
    for where, fail_on, key in ((builtins, 1, "init_integral"), (regulo, 2, "init_previous")):
        old, gains = fields(c), (v.a(1.0), v.a(2.0), v.a(3.0))  # np of the builtins, then the module's own first
        monkeypatch.setattr(where, "np", recorder(fail_on=fail_on), raising=False)
        raises(v, RuntimeError, "boom", "__init__", key, c.__init__, *gains)
        s = fields(c)
        assert all(s[k] is x for k, x in zip(("kp", "ki", "kd", "previous_error"), (*gains, old["previous_error"])))
        assert (s["integral"] is old["integral"]) == (fail_on == 1)

@pytest.mark.parametrize("holder", ["kp", "ki", "kd"])
@pytest.mark.parametrize("what", ["init", "setstate-none", "setstate-arrays"])
def test_reentrant_calls_do_not_crash(v, holder, what):
    kp, ki, kd, t, cur, *fresh = watched = list(np.random.default_rng(5).standard_normal((10, *v.wide)))
    gains, counts = dict(kp=kp, ki=ki, kd=kd), [sys.getrefcount(x) for x in watched]
    once = lambda s, o: s.hooks.clear() or action() or np.ndarray.__mul__(s, o)
    c = v.cls(**{**gains, holder: rogue(gains[holder], __mul__=once)})  # only c holds the hooked array
    action = {"init": lambda: c.__init__(*fresh[:3]), "setstate-none": lambda: c.__setstate__((None,) * 5),
              "setstate-arrays": lambda: c.__setstate__(tuple(fresh))}[what]
    try:
        assert isinstance(c.compute_control(t, cur, 0.1), np.ndarray)
    except (TypeError, ValueError) as exc:
        assert kovar_entries(exc)[0][0] == f"kovar.regulo.{v.cls.__name__}.compute_control"
    del c
    gc.collect()
    assert [sys.getrefcount(x) for x in watched] == counts

def test_threads_hammering_one_controller(v):  # arrays large enough for NumPy to release the lock
    kp, ki, kd, t, cur = watched = list(np.random.default_rng(9).standard_normal((5, *v.big)))
    c, errors, counts = v.cls(kp, ki, kd), [], [sys.getrefcount(x) for x in watched]

    def hammer(worker):
        try:
            for n in range(300):
                (c.compute_control(t, cur, 0.01 * (n % 3)) if worker else c.__init__(kp, ki, kd) if n % 2
                 else c.__setstate__((t * 0, kd, ki, kp, t * 0)))
        except BaseException as exc:  # reported by the main thread
            errors.append(exc)

    threads = [threading.Thread(target=hammer, args=(i,)) for i in range(4)]
    [th.start() for th in threads] and [th.join() for th in threads]
    assert errors == [] and [sys.getrefcount(x) for x in watched] == counts

def test_allocation_traversal_and_cycles(v):
    kp, ki, kd = v.a(1.0), v.a(2.0), v.a(3.0)
    s, bare = fields(c := v.cls(kp, ki, kd)), v.cls.__new__(v.cls, 1, k=3)  # allocation ignores its arguments
    assert gc.is_tracked(c) and gc.get_referents(bare) == [None] * 5
    assert [id(x) for x in gc.get_referents(c)] == [id(x) for x in (kp, ki, kd, s["integral"], s["previous_error"])]
    raises(v, TypeError, "unsupported operand type(s) for *: 'NoneType' and 'float'", "compute_control", "p_term",
           bare.compute_control, v.a(1.0), v.a(0.0), 0.1)
    for index in range(5):  # a controller holding itself in one field, freed by clearing that field
        (c := v.cls(kp, ki, kd)).__setstate__(tuple(c if i == index else None for i in range(5)))
        key = id(c)
        del c
        gc.collect()
        assert not [o for o in gc.get_objects() if type(o) is v.cls and id(o) == key], STATE[index]

@pytest.mark.parametrize("case, calls", [(k, 2000) for k in ("compute", "construct", "reinit", "numpy-step",
                                                             "array-result", "none-gain")] + [("compute", SOAK_CALLS), ("construct", SOAK_CALLS)])
def test_no_leak(v, case, calls):
    kp, ki, kd, t, cur = (np.full(v.wide, x) for x in (1.0, 0.5, 0.1, 2.0, 1.0))
    c, dts, hooked = v.cls(kp, ki, kd), itertools.cycle((0.125, 0.0)), rogue(t, __sub__=lambda *_: [1.5])
    g = {"numpy-step": (np.ones(v.narrow), kd, t), "array-result": (kp, kd, hooked), "none-gain": (kp, None, t)}
    call = {"compute": lambda: c.compute_control(t, cur, next(dts)), "construct": lambda: v.cls(kp, ki, kd),
            "reinit": lambda: c.__init__(kp, ki, kd)}.get(case, lambda: pytest.raises(
                (TypeError, ValueError), v.cls(g[case][0], ki, g[case][1]).compute_control, g[case][2], cur, 0.1))
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        assert_no_leak(call, kp, ki, kd, t, cur, c, hooked, calls=calls)
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024
