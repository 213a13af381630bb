"""PIDController and PIDControllerXd: control law, state, failures, ownership,
the global name np, re-entrancy, threads, garbage collection and reference counts."""
import builtins
import gc
import os
import sys
import threading
import tracemalloc
import weakref
from dataclasses import dataclass

import numpy as np
import pytest

from conftest import SOURCE, arr, assert_no_leak, kovar_entries
from kovar import regulo
from reference import PID

SOAK_CALLS = 100_000  # compute_control calls, and again constructions, of the soak test

STATE = ("integral", "kd", "ki", "kp", "previous_error")  # order of the reduced state
AFTER_INTEGRAL = {"i_term", "derivative_div", "derivative_zeros", "d_term", "control_signal"}
DIMS = "Buffer has wrong number of dimensions (expected {n}, got {m})"
FLOAT32 = "Buffer dtype mismatch, expected 'float64_t' but got 'float'"


@dataclass(frozen=True)
class Variant:
    cls: type
    ndim: int
    lines: dict
    wide: tuple    # shape of the channels
    narrow: tuple  # broadcasts onto `wide`, but `wide` cannot be added into it
    clash: tuple   # does not broadcast with `wide`
    other: tuple   # wrong number of dimensions

    def entry(self, method, key):
        return (f"kovar.regulo.{self.cls.__name__}.{method}", SOURCE, self.lines[key])

    def a(self, *values):
        return arr(*values, ndim=self.ndim)

    def full(self, value, shape=None):
        return np.full(shape or self.wide, value, dtype=np.float64)

    def fmt(self, message):
        return message.format(n=self.ndim, m=len(self.other))


LINE_KEYS = ("init", "init_integral", "init_previous", "compute", "dt", "error", "p_term", "integral",
             "i_term", "derivative_div", "derivative_zeros", "d_term", "control_signal")
VARIANTS = [
    Variant(regulo.PIDController, 1, dict(zip(LINE_KEYS, (8, 13, 14, 16, 16, 19, 20, 21, 22, 25, 27, 28, 31))),
            (3,), (1,), (2,), (1, 3)),
    Variant(regulo.PIDControllerXd, 2, dict(zip(LINE_KEYS, (38, 46, 47, 49, 52, 55, 56, 57, 58, 61, 63, 64, 67))),
            (2, 3), (1, 3), (3, 3), (3,)),
]


@pytest.fixture(params=VARIANTS, ids=lambda v: v.cls.__name__)
def v(request):
    return request.param


def fields(c):
    reduced = c.__reduce__()
    return dict(zip(STATE, reduced[2] if len(reduced) == 3 else reduced[1][2]))


def setup(v, **override):
    """A controller and its reference twin, both with integral 0.25 and previous
    error 0.75 everywhere, plus positions. `override` replaces gains or
    positions by None or by arrays of the variant's named shape."""
    rng = np.random.default_rng(3)
    made = {k: rng.uniform(0.5, 2.0, v.wide) for k in ("kp", "ki", "kd", "target", "current")}
    made.update({k: s and rng.uniform(0.5, 2.0, getattr(v, s)) for k, s in override.items()})
    kp, ki, kd = made["kp"], made["ki"], made["kd"]
    c, ref = v.cls(kp, ki, kd), PID(kp, ki, kd)
    integral0, prev0 = np.zeros_like(kp, dtype=np.float64), np.zeros_like(kp, dtype=np.float64)
    integral0[...], prev0[...] = 0.25, 0.75
    c.__setstate__((integral0, kd, ki, kp, prev0))
    ref.integral, ref.previous_error = integral0.copy(), prev0.copy()
    return c, ref, made["target"], made["current"], integral0, prev0


def raises(v, exc, message, method, key, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    assert kovar_entries(info.value) == ([v.entry(method, key)] if key else [])
    return info.value


class Rogue(np.ndarray):
    """An array whose hooked operators return a fixed value; arrays derived from it keep the hooks."""

    def __array_finalize__(self, obj):
        self.hooks = getattr(obj, "hooks", {})


def _hooked(name):
    def op(self, other):
        return self.hooks[name] if name in self.hooks else getattr(np.ndarray, name)(self, other)
    return op


for _name in ("__sub__", "__rsub__", "__mul__", "__truediv__", "__radd__", "__iadd__"):
    setattr(Rogue, _name, _hooked(_name))


def rogue(values, **hooks):
    r = np.array(values, dtype=np.float64).view(Rogue)
    r.hooks = hooks
    return r


# --- the control law --------------------------------------------------------

def test_worked_example(v):
    c = v.cls(v.a(1.0), v.a(0.5), v.a(0.1))
    first = c.compute_control(v.a(1.0), v.a(0.0), 0.1)
    assert type(first) is np.ndarray
    np.testing.assert_array_equal(first, v.a(2.05))
    np.testing.assert_array_equal(c.compute_control(v.a(1.0), v.a(0.0), 0.1), v.a(1.1))
    np.testing.assert_array_equal(fields(c)["integral"], v.a(0.2))
    np.testing.assert_array_equal(fields(c)["previous_error"], v.a(1.0))


@pytest.mark.parametrize("single_gains", [False, True], ids=["per-channel", "single-ki-kd"])
def test_matches_reference_over_many_calls(v, single_gains):
    rng = np.random.default_rng(11)
    shape = (5,) if v.ndim == 1 else (3, 4)
    kp = rng.standard_normal(shape)
    ki, kd = (rng.standard_normal((1,) * v.ndim if single_gains else shape) for _ in "ik")
    c, ref = v.cls(kp, ki, kd), PID(kp, ki, kd)
    dts = [0.01, 0.5, 0.0, -0.0, -0.2, 3, np.float64(0.25)]
    for n in range(80):
        t, cur = rng.standard_normal(shape), rng.standard_normal(shape)
        dt = dts[n % len(dts)] if n < 50 else rng.uniform(-1, 1)
        np.testing.assert_array_equal(c.compute_control(t, cur, dt), ref.compute_control(t, cur, dt))
        np.testing.assert_array_equal(fields(c)["integral"], ref.integral)
        np.testing.assert_array_equal(fields(c)["previous_error"], ref.previous_error)


@pytest.mark.parametrize("dt", [0.0, -0.0, -0.3, float("nan"), 2, np.float64(0.5)],
                         ids=["zero", "minus-zero", "negative", "nan", "int", "np.float64"])
def test_dt_forms(v, dt):
    c, ref, t, cur, integral0, prev0 = setup(v)
    t[...] = cur  # an error of zero: dividing it by a zero dt would be 0/0
    for _ in range(2):
        with np.errstate(all="raise"):
            out = c.compute_control(t, cur, dt)
        np.testing.assert_array_equal(out, ref.compute_control(t, cur, dt))
        np.testing.assert_array_equal(fields(c)["integral"], ref.integral)
        np.testing.assert_array_equal(fields(c)["previous_error"], ref.previous_error)
    assert fields(c)["integral"] is integral0
    assert np.isnan(integral0).all() == (dt != dt)


# --- ownership and lifecycle ------------------------------------------------

def test_gain_arrays_are_shared_with_the_caller(v):
    kp, ki, kd = v.a(1.0, 2.0), v.a(0.5, 0.25), v.a(0.1, 0.2)
    c, ref, stale = v.cls(kp, ki, kd), PID(kp, ki, kd), PID(kp.copy(), ki.copy(), kd.copy())
    assert fields(c)["kp"] is kp and fields(c)["ki"] is ki and fields(c)["kd"] is kd
    t, cur = v.a(1.0, -1.0), v.a(0.0, 0.5)
    for mutate in (None, lambda: kp.__imul__(3.0), lambda: ki.fill(-1.0), lambda: kd.fill(7.0)):
        if mutate:
            mutate()
        out = c.compute_control(t, cur, 0.2)
        np.testing.assert_array_equal(out, ref.compute_control(t, cur, 0.2))
        assert (mutate is None) == np.array_equal(out, stale.compute_control(t, cur, 0.2))


def test_result_is_new_and_detached(v):
    c, ref, t, cur, integral0, prev0 = setup(v)
    seen = []
    for _ in range(3):
        out = c.compute_control(t, cur, 0.1)
        np.testing.assert_array_equal(out, ref.compute_control(t, cur, 0.1))
        state = fields(c)
        assert state["integral"] is integral0  # updated in place
        assert all(out is not x for x in list(state.values()) + seen)
        assert all(state["previous_error"] is not x for x in seen)
        np.testing.assert_array_equal(state["previous_error"], t - cur)
        out[...] = 1e9
        seen += [out, state["previous_error"]]


def test_second_init_resets_state(v):
    c, ref, t, cur, integral0, prev0 = setup(v)
    c.compute_control(t, cur, 0.1)
    before = integral0.copy()
    kp2, ki2, kd2 = v.a(2.0, 3.0), v.a(1.0, 1.0), v.a(0.0, 0.5)
    assert c.__init__(kp2, ki2, kd2) is None
    state = fields(c)
    assert state["kp"] is kp2 and state["ki"] is ki2 and state["kd"] is kd2
    assert len({id(state["integral"]), id(state["previous_error"]), id(integral0), id(prev0)}) == 4
    for key in ("integral", "previous_error"):
        np.testing.assert_array_equal(state[key], np.zeros_like(kp2))
    np.testing.assert_array_equal(integral0, before)  # replaced, not zeroed in place
    t2, cur2 = v.a(1.0, 2.0), v.a(0.5, 0.5)
    np.testing.assert_array_equal(c.compute_control(t2, cur2, 0.1), PID(kp2, ki2, kd2).compute_control(t2, cur2, 0.1))


@pytest.mark.parametrize("how", ["__new__", "subclass-without-init"])
def test_uninitialised_controller_fails_at_p_term(v, how):
    class NoInit(v.cls):
        def __init__(self, *args):
            self.args = args

    c = v.cls.__new__(v.cls, 1, 2, three=3) if how == "__new__" else NoInit(1, 2)
    assert all(x is None for x in fields(c).values())
    t = v.a(1.0)
    raises(v, TypeError, "unsupported operand type(s) for *: 'NoneType' and 'float'",
           "compute_control", "p_term", c.compute_control, t, v.a(0.0), 0.1)
    assert all(x is None for x in fields(c).values())


def test_subclass_may_override_compute_control(v):
    class Own(v.cls):
        def compute_control(self, *args):
            return "own", super().compute_control(*args)

    own = Own(v.a(1.0), v.a(0.5), v.a(0.1))
    tag, out = own.compute_control(v.a(1.0), v.a(0.0), 0.1)
    assert tag == "own"
    np.testing.assert_array_equal(out, v.a(2.05))
    assert weakref.ref(own)() is own and own.__dict__ == {}


@pytest.mark.parametrize("name", ["kp", "ki", "kd", "integral", "previous_error", "__dict__"])
def test_no_attributes_dict_or_weakrefs(v, name):
    c = v.cls(v.a(1.0), v.a(1.0), v.a(1.0))
    typename = f"kovar.regulo.{v.cls.__name__}"
    for access in (getattr, lambda obj, attr: setattr(obj, attr, 1)):
        with pytest.raises(AttributeError) as info:
            access(c, name)
        assert str(info.value) == f"'{typename}' object has no attribute '{name}'"
    with pytest.raises(TypeError) as info:
        weakref.ref(c)
    assert str(info.value) == f"cannot create weak reference to '{typename}' object"


# --- failures: message, traceback entry, surviving state ---------------------

REFUSALS = [  # method, arguments made from (array, other-ndim array, float32 array), exception, message, line
    ("__init__", lambda a, o, f: ((a, a), {}), TypeError,
     "__init__() takes exactly 3 positional arguments (2 given)", "init"),
    ("__init__", lambda a, o, f: ((a, a, a), {"kp": a}), TypeError,
     "__init__() got multiple values for keyword argument 'kp'", "init"),
    ("__init__", lambda a, o, f: (([1.0], a, a), {}), TypeError,
     "Argument 'kp' has incorrect type (expected numpy.ndarray, got list)", None),
    ("__init__", lambda a, o, f: ((a, a, o), {}), ValueError, DIMS, "init"),
    ("__init__", lambda a, o, f: ((a, f, a), {}), ValueError, FLOAT32, "init"),
    ("compute_control", lambda a, o, f: ((a, a), {}), TypeError,
     "compute_control() takes exactly 3 positional arguments (2 given)", "compute"),
    ("compute_control", lambda a, o, f: ((a, a, 0.1), {"dtx": 1}), TypeError,
     "compute_control() got an unexpected keyword argument 'dtx'", "compute"),
    ("compute_control", lambda a, o, f: ((a, a, "x"), {}), TypeError, "must be real number, not str", "dt"),
    ("compute_control", lambda a, o, f: (([1.0], a, "x"), {}), TypeError, "must be real number, not str", "dt"),
    ("compute_control", lambda a, o, f: ((a, [1.0], 0.1), {}), TypeError,
     "Argument 'current_position' has incorrect type (expected numpy.ndarray, got list)", None),
    ("compute_control", lambda a, o, f: ((a, o, 0.1), {}), ValueError, DIMS, "compute"),
    ("compute_control", lambda a, o, f: ((f, a, 0.1), {}), ValueError, FLOAT32, "compute"),
]


@pytest.mark.parametrize("method, make, exc, message, key", REFUSALS,
                         ids=[f"{r[0]}-{i}" for i, r in enumerate(REFUSALS)])
def test_refused_arguments_change_nothing(v, method, make, exc, message, key):
    c, ref, t, cur, integral0, prev0 = setup(v)
    args, kwargs = make(t, np.zeros(v.other), v.full(1.0).astype(np.float32))
    before = fields(c)
    raises(v, exc, v.fmt(message), method, key, getattr(c, method), *args, **kwargs)
    assert all(fields(c)[k] is before[k] for k in STATE)
    np.testing.assert_array_equal(integral0, ref.integral)


STEP_FAILURES = [  # name, failing step, dt, what differs from the usual set-up
    ("target-None", "error", 0.1, {"target": None}),
    ("current-None", "error", 0.1, {"current": None}),
    ("positions-clash", "error", 0.1, {"current": "clash"}),
    ("kp-None", "p_term", 0.1, {"kp": None}),
    ("kp-narrow", "integral", 0.1, {"kp": "narrow"}),
    ("kp-clash", "p_term", -1.0, {"kp": "clash"}),
    ("ki-None", "i_term", 0.1, {"ki": None}),
    ("ki-clash", "i_term", -0.5, {"ki": "clash"}),
    ("kd-None", "d_term", 0.1, {"kd": None}),
    ("kd-None-dt-negative", "d_term", -2.0, {"kd": None}),
    ("kd-clash", "d_term", float("nan"), {"kd": "clash"}),
]


@pytest.mark.parametrize("name, step, dt, override", STEP_FAILURES, ids=[s[0] for s in STEP_FAILURES])
def test_failing_step_keeps_earlier_updates(v, name, step, dt, override):
    c, ref, t, cur, integral0, prev0 = setup(v, **override)
    with pytest.raises(Exception) as expected:  # the same operations in Python
        ref.compute_control(t, cur, dt)
    err = raises(v, type(expected.value), str(expected.value), "compute_control", step, c.compute_control, t, cur, dt)
    assert err.__context__ is None
    assert fields(c)["integral"] is integral0 and fields(c)["previous_error"] is prev0
    np.testing.assert_array_equal(integral0, ref.integral)
    assert (ref.integral != 0.25).all() == (step in AFTER_INTEGRAL)
    np.testing.assert_array_equal(prev0, 0.75)


RESULT_VALUES = [  # value returned by the hooked operator, exception, message
    (1.5, TypeError, "Cannot convert float to numpy.ndarray"),
    ([1.0], TypeError, "Cannot convert list to numpy.ndarray"),
    (np.float64(2.0), TypeError, "Cannot convert numpy.float64 to numpy.ndarray"),
    ("other-ndim", ValueError, DIMS),
    ("float32", ValueError, FLOAT32),
]
HOOKED_STEPS = {  # step: (the array that carries the hook, hooked operator)
    "error": ("target", "__sub__"),
    "p_term": ("kp", "__mul__"),
    "i_term": ("ki", "__mul__"),
    "derivative_div": ("previous_error", "__truediv__"),  # hook inherited by error - previous_error
    "d_term": ("kd", "__mul__"),
    "control_signal": ("kd", "__radd__"),  # (p_term + i_term) + d_term, d_term inherits the hook
}


@pytest.mark.parametrize("value, exc, message", RESULT_VALUES, ids=["float", "list", "np.float64", "ndim", "dtype"])
@pytest.mark.parametrize("step", list(HOOKED_STEPS))
def test_result_of_each_step_must_be_a_float64_array(v, step, value, exc, message):
    holder, op = HOOKED_STEPS[step]
    if isinstance(value, str):
        value = np.zeros(v.other) if value == "other-ndim" else v.full(1.0).astype(np.float32)
    c, ref, t, cur, integral0, prev0 = setup(v)
    made = dict(fields(c), target=t)
    made[holder] = rogue(made[holder], **{op: value})
    c.__setstate__(tuple(made[k] for k in STATE))
    raises(v, exc, v.fmt(message), "compute_control", step, c.compute_control, made["target"], cur, 0.1)
    assert fields(c)["integral"] is integral0
    np.testing.assert_array_equal(integral0, v.full(0.25) + (t - cur) * 0.1 if step in AFTER_INTEGRAL else 0.25)
    if step == "control_signal":
        np.testing.assert_array_equal(fields(c)["previous_error"], t - cur)
    else:
        assert fields(c)["previous_error"] is made["previous_error"]


def test_integral_update_has_no_array_test(v):
    c, ref, t, cur, integral0, prev0 = setup(v)
    s = fields(c)
    c.__setstate__((rogue(integral0, __iadd__=7.0), s["kd"], s["ki"], s["kp"], prev0))
    out = c.compute_control(t, cur, 0.1)
    assert fields(c)["integral"] == 7.0
    e = t - cur
    np.testing.assert_array_equal(out, s["kp"] * e + s["ki"] * 7.0 + s["kd"] * ((e - prev0) / 0.1))


# --- the module-global name np ----------------------------------------------

class Recorder:
    """Stands in for numpy: logs attribute reads and zeros_like calls."""

    def __init__(self, fail_on=None, result=None):
        self.log, self.calls, self.fail_on, self.result = [], [], fail_on, result

    def __getattr__(self, name):
        self.log.append(name)
        if name == "float64":
            return np.float64

        def zeros_like(*args, **kwargs):
            self.calls.append((args, kwargs))
            if len(self.calls) == self.fail_on:
                raise RuntimeError("boom")
            return np.zeros_like(*args, **kwargs) if self.result is None else self.result
        return zeros_like


def test_np_is_looked_up_at_every_use(v, monkeypatch):
    c, ref, t, cur, integral0, prev0 = setup(v)
    stand_in = Recorder()
    monkeypatch.setattr(regulo, "np", stand_in)
    kp = v.a(1.0, 2.0)
    c.__init__(kp, kp, kp)
    assert stand_in.log == ["zeros_like", "float64"] * 2
    assert [(a[0] is kp, len(a), k) for a, k in stand_in.calls] == [(True, 1, {"dtype": np.float64})] * 2
    c.compute_control(v.a(1.0, 1.0), v.a(0.0, 0.5), 0.1)
    assert len(stand_in.calls) == 2  # no np when dt > 0
    c.compute_control(v.a(1.0, 1.0), v.a(0.0, 0.5), 0.0)
    (args, kwargs) = stand_in.calls[2]
    assert len(args) == 1 and args[0] is fields(c)["previous_error"] and kwargs == {}
    np.testing.assert_array_equal(fields(c)["previous_error"], v.a(1.0, 0.5))
    monkeypatch.setattr(regulo, "np", np)
    c.compute_control(v.a(1.0, 1.0), v.a(0.0, 0.5), 0.0)
    assert len(stand_in.calls) == 3


def test_np_missing_then_found_in_builtins(v, monkeypatch):
    c, ref, t, cur, integral0, prev0 = setup(v)
    monkeypatch.delattr(regulo, "np")
    kp = v.a(1.0)
    raises(v, NameError, "name 'np' is not defined", "__init__", "init_integral", v.cls, kp, kp, kp)
    np.testing.assert_array_equal(c.compute_control(t, cur, 0.1), ref.compute_control(t, cur, 0.1))
    raises(v, NameError, "name 'np' is not defined", "compute_control", "derivative_zeros",
           c.compute_control, t, cur, 0.0)
    stand_in = Recorder()
    monkeypatch.setattr(builtins, "np", stand_in, raising=False)
    v.cls(kp, kp, kp)
    assert len(stand_in.calls) == 2
    monkeypatch.setattr(regulo, "np", np, raising=False)  # the module's own name wins again
    v.cls(kp, kp, kp)
    assert len(stand_in.calls) == 2


@pytest.mark.parametrize("fail_on, key", [(1, "init_integral"), (2, "init_previous")])
def test_init_failure_in_zeros_keeps_earlier_stores(v, monkeypatch, fail_on, key):
    c, ref, t, cur, integral0, prev0 = setup(v)
    monkeypatch.setattr(regulo, "np", Recorder(fail_on=fail_on))
    gains = v.a(1.0), v.a(2.0), v.a(3.0)
    raises(v, RuntimeError, "boom", "__init__", key, c.__init__, *gains)
    state = fields(c)
    assert all(state[n] is x for n, x in zip(("kp", "ki", "kd"), gains))
    assert (state["integral"] is integral0) == (fail_on == 1)
    assert state["previous_error"] is prev0


@pytest.mark.parametrize("result, exc, message", [([0.0], TypeError, "Cannot convert list to numpy.ndarray"),
                                                  ("other-ndim", ValueError, DIMS)])
def test_zeros_derivative_must_be_a_float64_array(v, monkeypatch, result, exc, message):
    c, ref, t, cur, integral0, prev0 = setup(v)
    monkeypatch.setattr(regulo, "np", Recorder(result=np.zeros(v.other) if result == "other-ndim" else result))
    raises(v, exc, v.fmt(message), "compute_control", "derivative_zeros", c.compute_control, t, cur, -1.0)
    np.testing.assert_array_equal(integral0, 0.25 - (t - cur))
    assert fields(c)["previous_error"] is prev0


# --- re-entrancy, threads, garbage collection -------------------------------

class Reenter(np.ndarray):
    """Runs `action` once, from inside its multiplication."""
    action = None

    def __mul__(self, other):
        action, type(self).action = type(self).action, None
        if action:
            action()
        return np.ndarray.__mul__(self, other)


@pytest.mark.parametrize("holder", ["kp", "ki", "kd"])
@pytest.mark.parametrize("action", ["init", "setstate-none", "setstate-ints", "setstate-arrays", "new-np"])
def test_reentrant_calls_do_not_crash(v, holder, action, monkeypatch):
    rng = np.random.default_rng(5)
    gains = {k: rng.standard_normal(v.wide) for k in ("kp", "ki", "kd")}
    t, cur = rng.standard_normal(v.wide), rng.standard_normal(v.wide)
    watched = [*gains.values(), t, cur]
    counts = [sys.getrefcount(x) for x in watched]
    used = dict(gains, **{holder: gains[holder].copy().view(Reenter)})
    c = v.cls(used["kp"], used["ki"], used["kd"])
    del used  # the hooked array is now held only by the controller
    fresh = [rng.standard_normal(v.wide) for _ in range(5)]
    Reenter.action = {
        "init": lambda: c.__init__(*fresh[:3]),
        "setstate-none": lambda: c.__setstate__((None,) * 5),
        "setstate-ints": lambda: c.__setstate__((1, 2, 3, 4, 5)),
        "setstate-arrays": lambda: c.__setstate__(tuple(fresh)),
        "new-np": lambda: monkeypatch.setattr(regulo, "np", Recorder()),
    }[action]
    try:
        assert isinstance(c.compute_control(t, cur, 0.1), np.ndarray)
    except (TypeError, ValueError) as exc:
        assert kovar_entries(exc)[0][0] == f"kovar.regulo.{v.cls.__name__}.compute_control"
    finally:
        Reenter.action = None
    c.__init__(*fresh[:3])
    np.testing.assert_array_equal(c.compute_control(t, cur, 0.1), PID(*fresh[:3]).compute_control(t, cur, 0.1))
    del c
    gc.collect()
    assert [sys.getrefcount(x) for x in watched] == counts


def test_reentrant_init_from_zeros_like(v, monkeypatch):
    kp, other = v.a(1.0, 2.0), v.a(3.0, 4.0)
    c = v.cls(kp, kp, kp)

    class Nested(Recorder):
        def __getattr__(self, name):
            if name == "zeros_like" and len(self.log) < 4:
                self.log.append(name)
                c.__init__(kp, kp, kp)  # a nested construction of the same object
            return super().__getattr__(name)

    monkeypatch.setattr(regulo, "np", Nested())
    c.__init__(other, kp, kp)
    state = fields(c)
    assert state["kp"] is kp or state["kp"] is other
    np.testing.assert_array_equal(state["integral"], v.a(0.0, 0.0))
    np.testing.assert_array_equal(state["previous_error"], v.a(0.0, 0.0))


def test_threads_hammering_one_controller(v):
    rng = np.random.default_rng(9)
    shape = (1000,) if v.ndim == 1 else (25, 40)  # large enough for NumPy to release the lock
    kp, ki, kd, t, cur = (rng.standard_normal(shape) for _ in range(5))
    c = v.cls(kp, ki, kd)
    counts = [sys.getrefcount(x) for x in (kp, ki, kd, t, cur)]
    errors = []

    def hammer(worker):
        try:
            for n in range(300):
                if worker == 0:
                    c.__init__(kp, ki, kd) if n % 2 else c.__setstate__((np.zeros(shape), kd, ki, kp, np.zeros(shape)))
                else:
                    assert c.compute_control(t, cur, 0.01 * (n % 3)).shape == shape
        except BaseException as exc:  # reported by the main thread
            errors.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=hammer, args=(i,)) for i in range(4)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
    gc.collect()
    assert [sys.getrefcount(x) for x in (kp, ki, kd, t, cur)] == counts


class Marker:
    pass


def test_gc_traversal_and_cycles(v):
    kp, ki, kd = v.a(1.0), v.a(2.0), v.a(3.0)
    c = v.cls(kp, ki, kd)
    s = fields(c)
    assert gc.is_tracked(c)
    assert [id(x) for x in gc.get_referents(c)] == [id(x) for x in (kp, ki, kd, s["integral"], s["previous_error"])]
    for index in range(5):  # a cycle through each field in turn
        c, marker = v.cls(kp, ki, kd), Marker()
        c.__setstate__(tuple([c, marker] if i == index else None for i in range(5)))
        alive = weakref.ref(marker)
        del c, marker
        gc.collect()
        assert alive() is None, STATE[index]


# --- reference counts and memory ---------------------------------------------

@pytest.mark.parametrize("case", ["compute", "compute-dt-zero", "construct", "reinit", "count", "keyword", "type",
                                  "dt", "buffer", "init-buffer", "numpy-step", "array-result", "none-gain"])
def test_no_leak(v, case):
    kp, ki, kd = v.full(1.0), v.full(0.5), v.full(0.1)
    t, cur, bad, dt = v.full(2.0), v.full(1.0), v.full(1.0).astype(np.float32), 0.125
    c = v.cls(kp, ki, kd)

    def attempt(fn, *args, **kwargs):
        try:
            fn(*args, **kwargs)
        except (TypeError, ValueError):
            pass

    call = {
        "compute": lambda: c.compute_control(t, cur, dt),
        "compute-dt-zero": lambda: c.compute_control(t, cur, 0.0),
        "construct": lambda: v.cls(kp, ki, kd),
        "reinit": lambda: c.__init__(kp, ki, kd),
        "count": lambda: attempt(c.compute_control, t, cur),
        "keyword": lambda: attempt(c.compute_control, t, cur, dt, dtx=1),
        "type": lambda: attempt(c.compute_control, [1.0], cur, dt),
        "dt": lambda: attempt(c.compute_control, t, cur, "x"),
        "buffer": lambda: attempt(c.compute_control, bad, cur, dt),
        "init-buffer": lambda: attempt(c.__init__, kp, ki, bad),
        "numpy-step": lambda: attempt(v.cls(v.full(1.0, v.narrow), ki, kd).compute_control, t, cur, dt),
        "array-result": lambda: attempt(v.cls(rogue(kp, __mul__=1.5), ki, kd).compute_control, t, cur, dt),
        "none-gain": lambda: attempt(v.cls(kp, ki, None).compute_control, t, cur, dt),
    }[case]
    assert_no_leak(call, kp, ki, kd, t, cur, bad, c, dt)


def _rss():
    try:
        with open("/proc/self/maps") as f:
            if "libasan" in f.read():
                return None  # AddressSanitizer keeps freed memory resident in its quarantine
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError):
        return None


def test_soak_steady_refcounts_and_memory():
    args = [(x.cls, x.full(1.0), x.full(0.5), x.full(0.1), x.full(2.0), x.full(1.0)) for x in VARIANTS]
    made = [(cls(kp, ki, kd), t, cur) for cls, kp, ki, kd, t, cur in args]
    dts = (float("0.01"), float("0.0"))
    for c, t, cur in made:
        c.compute_control(t, cur, 0.01)
    integrals = [fields(c)["integral"] for c, _, _ in made]
    watched = [x for row in args + made for x in row] + integrals + list(dts)
    gc.collect()
    counts = [sys.getrefcount(x) for x in watched]
    rss = _rss()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for n in range(SOAK_CALLS):
            c, t, cur = made[n & 1]
            c.compute_control(t, cur, dts[(n >> 1) & 1])
        for n in range(SOAK_CALLS):
            cls, kp, ki, kd = args[n & 1][:4]
            cls(kp, ki, kd)
        del cls, kp, ki, kd
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert grown < 256 * 1024
    assert [sys.getrefcount(x) for x in watched] == counts
    assert all(fields(c)["integral"] is i for (c, _, _), i in zip(made, integrals))
    if rss is not None:
        assert _rss() - rss < 16 * 1024 * 1024
