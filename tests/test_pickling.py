"""Pickling, copying and restoring the controllers."""
import builtins
import copy
import json
import pickle
import sys
from collections import namedtuple
from contextlib import suppress
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import PICKLE_SOURCE, arr, assert_no_leak, kovar_entries
from kovar import regulo
from reference import PID, Adaptive

SOAK_ROUND_TRIPS = 100_000  # the one long leak soak of this file
GOLDEN = Path(__file__).resolve().parent / "golden"
PID_MISMATCH = "Incompatible checksums ({} vs (0x32b920e, 0xb0bfbfa, 0xa7b7f25) = (integral, kd, ki, kp, previous_error))"
ADAPTIVE_MISMATCH = ("Incompatible checksums ({} vs (0xb141bc4, 0xb4ff99b, 0x7e19bd2) = (error_history, integral, kd, ki, "
                     "kp, learning_rate, max_adjustment, previous_error))")
CLASSES = (regulo.PIDController, regulo.PIDControllerXd, regulo.AdaptiveController)
TAGGED = {c: type(f"Tagged{c.__name__}", (c,), {}) for c in CLASSES}  # module-level, so that pickle finds them by name
SLOTTED = {c: type(f"Slotted{c.__name__}", (c,), {"__slots__": ("tag", "limits")}) for c in CLASSES}
globals().update({t.__name__: t for t in (*TAGGED.values(), *SLOTTED.values())})

class Kind(namedtuple("Kind", "cls checksum n integral ndim extra accepted mismatch reference")):
    fname = property(lambda k: f"__pyx_unpickle_{k.cls.__name__}")
    unpickle = property(lambda k: getattr(regulo, k.fname))  # looked up at each use: tests rebind it
    sub = property(lambda k: TAGGED[k.cls])

PK, XK, AK = KINDS = [Kind(c, 53187086, 5, 0, d, (), (0x32B920E, 0xB0BFBFA, 0xA7B7F25), PID_MISMATCH, PID)
                      for c, d in zip(CLASSES, (1, 2))] + [Kind(CLASSES[2], 185867204, 8, 1, 1, (0.05, 0.2),
                                                                (0xB141BC4, 0xB4FF99B, 0x7E19BD2), ADAPTIVE_MISMATCH, Adaptive)]
by_class = pytest.mark.parametrize("kind", KINDS, ids=lambda k: k.cls.__name__)
GAINS = ((1.0, 2.0, -0.5), (0.5, 0.25, 1.0), (0.1, 0.0, 0.2))
EXPECTED = json.loads((GOLDEN / "expected.json").read_text())
GOLDEN_FILES = [(case, name) for case, data in sorted(EXPECTED.items()) for name in data["files"]]
ODD = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.complex_numbers(), st.text(max_size=3), st.sampled_from(
    [object, lambda: np.zeros((2, 3)), lambda: len, lambda: np.zeros(0), lambda: np.ones(3, np.float32), lambda: [1.0, 2.0, 3.0],
     lambda: np.array(["a", "b", "c"]), lambda: [[1.0] * 3] * 10]).map(lambda f: f()))
C, K, Point = object(), object(), namedtuple("Point", "a b")  # C, K: stand for the class and its checksum
ERRORS = [  # target, arguments, message (a refused checksum as it is shown), traceback entries
    *[("u", (None, s, [1]), shown, "U6") for s, shown in ((1, "0x1"), (True, "0x1"), (-5, "0x-5"),  # the checksum comes first
                                                        (2**63 - 1, "0x7fffffffffffffff"), (-2**63, "0x-8000000000000000"))],
    ("u", (C, "53187086", None), "TypeError: an integer is required", "U1"),
    ("u", (C, 2**70, None), "OverflowError: Python int too large to convert to C long", "U1"),
    ("u", (C, K, [1]), "TypeError: Expected tuple, got list", "U9"), ("s", ([1],), "TypeError: Expected tuple, got list", "S17"),
    ("u", (C, K, Point(1, 2)), "TypeError: Expected tuple, got Point", "U9"),
    ("s", (Point(1, 2),), "TypeError: Expected tuple, got Point", "S17"),
    ("u", (C, K, (1,)), "IndexError: tuple index out of range", "U9 R12"),
    ("s", ((),), "IndexError: tuple index out of range", "S17 R12"),
    ("s", (None,), "TypeError: 'NoneType' object is not subscriptable", "S17 R12"),
    ("r", (0,), "TypeError: __kovar_reduce__() takes exactly 0 positional arguments (1 given)", ""),
    ("r", {"protocol": 2}, "TypeError: __kovar_reduce__() got an unexpected keyword argument 'protocol'", "")]

def calls(k):
    return [(arr(*t, ndim=k.ndim), arr(*c, ndim=k.ndim), dt) for t, c, dt in [
        ((1.0, 0.5, -2.0), (0.0, 0.25, 1.0), 0.1), ((1.5, 0.5, -1.0), (0.5, 0.0, 0.0), 0.05),
        ((1.0, 1.0, 1.0), (2.0, -1.0, 0.5), 0.0), ((3.0, -1.0, 0.0), (1.0, 1.0, 1.0), 0.25)]]

def build(k, variant="init", ran=0, factory=None):  # variants: init, sub (with a dict), slot, bare (__new__), bare_sub
    cls = {"sub": k.sub, "bare_sub": k.sub, "slot": SLOTTED[k.cls]}.get(variant, k.cls)
    obj = cls.__new__(cls) if variant.startswith("bare") else (factory or cls)(*[arr(*g, ndim=k.ndim) for g in GAINS], *k.extra)
    if cls is not k.cls:
        obj.tag, obj.limits = "arm", [-1.0, 1.0]
    for call in calls(k)[:ran]:
        obj.compute_control(*call)
    return obj

def state_of(c):
    r = c.__reduce__()
    return r[2] if len(r) == 3 else r[1][2]

def same(xs, ys):
    return len(xs) == len(ys) and all(x is y for x, y in zip(xs, ys))

def fails(message, tb, k, func, *args, **kwargs):  # message "Type: text"; tb "U9 R12": Unpickle, Restore, Setter, reDucer
    with pytest.raises(Exception) as info:
        func(*args, **kwargs)
    names = dict(U=k.fname, R=k.fname + "__set_state", S=k.cls.__name__ + ".__kovar_setstate__", D=k.cls.__name__ + ".__kovar_reduce__")
    tb = [(f"kovar.regulo.{names[e[0]]}", PICKLE_SOURCE, int(e[1:])) for e in tb.split()]
    assert (f"{type(info.value).__name__}: {info.value}", kovar_entries(info.value)) == (message, tb)

COPIERS = {**{f"pickle{p}": (lambda o, p=p: pickle.loads(pickle.dumps(o, p))) for p in range(6)},
           "deepcopy": copy.deepcopy, "copy": copy.copy}

@by_class
@pytest.mark.parametrize("variant, ran", [("init", 0), ("init", 2), ("sub", 0), ("slot", 1), ("bare", 0), ("bare_sub", 0)])
@pytest.mark.parametrize("copier", COPIERS)
def test_restored_controller_matches_source(kind, variant, ran, copier):
    src, ref, shallow = build(kind, variant, ran), build(kind, "init", ran, kind.reference), copier == "copy"
    out = COPIERS[copier](src)
    assert type(out) is type(src) and out is not src and getattr(out, "__dict__", 0) == getattr(src, "__dict__", 0)
    assert not hasattr(out, "tag") if variant == "slot" else "sub" not in variant or (
        out.__dict__ is not src.__dict__ and (out.limits is src.limits) == shallow)
    for i, step in enumerate([None] if variant.startswith("bare") else [None, *calls(kind)]):
        if step and shallow:  # shared fields: both accumulate into one integral
            (src, out)[i % 2].compute_control(*step), ref.compute_control(*step)
            np.testing.assert_array_equal(state_of(out)[kind.integral], ref.integral)
        elif step:
            np.testing.assert_array_equal(out.compute_control(*step), src.compute_control(*step))
        before, after = state_of(src), state_of(out)
        assert len(after) == len(before) and (not shallow or same(before[:kind.n], after[:kind.n]) or i)
        for x, y in zip(before[:kind.n], after[:kind.n]) if not shallow else ():
            assert type(y) is type(x) and (not isinstance(x, np.ndarray) or y is not x)
            np.testing.assert_array_equal(y, x)

@by_class
def test_reduced_forms_and_installed_methods(kind):
    own, names = kind.cls.__dict__, ("__kovar_reduce__", "__kovar_setstate__")
    assert (own["__reduce__"].__name__, own["__setstate__"].__name__) == names and "__getstate__" not in own
    assert "__reduce_ex__" not in own and kind.cls.__reduce_ex__ is object.__reduce_ex__ and [
        (type(own[n]).__name__, own[n].__module__, own[n].__qualname__) for n in names] == [
        ("kovar_function", "kovar.regulo", f"{kind.cls.__name__}.{n}") for n in names]
    kp, ki, kd = g = [arr(*v, ndim=kind.ndim) for v in GAINS]
    r = (c := kind.cls(*g, *kind.extra)).__reduce__()
    assert r[:2] == (kind.unpickle, (kind.cls, kind.checksum, None)) and r[1][0] is kind.cls and type(r[1][1]) is int
    assert type(r[2]) is tuple and same(r[2], c.__reduce__()[2]) and all(c.__reduce_ex__(p) == r for p in range(6))
    integral, held, extra, prev = r[2][kind.integral], r[2][kind.integral + 1:][:3], r[2][kind.integral + 4:-1], r[2][-1]
    assert integral is not prev and not integral.any() and not prev.any() and extra == kind.extra and len(r[2]) == kind.n
    assert all(type(x) is float for x in extra) and (kind is not AK or (r[2][0].shape == (10, 3) and not r[2][0].any()))
    assert same(held, [kd, ki, kp]) if kind is not AK else not any(x is y for x, y in zip(held, g[::-1]))  # adaptive copies
    np.testing.assert_array_equal(held, [kd, ki, kp])
    for cls in (kind.cls, SLOTTED[kind.cls]):  # the two-element form
        assert cls.__new__(cls).__reduce__() == (kind.unpickle, (cls, kind.checksum, (None,) * kind.n))
    for s in (kind.sub.__new__(kind.sub), build(kind, "bare_sub")):  # an instance dict always gives the three-element form
        assert s.__reduce__() == (kind.unpickle, (kind.sub, kind.checksum, None), (None,) * kind.n + (s.__dict__,))
        assert s.__reduce__()[1][0] is kind.sub and s.__reduce__()[2][-1] is s.__dict__

@by_class
def test_lookups_made_at_each_call(kind, monkeypatch):
    c, bare, new, unpickle = build(kind), build(kind, "bare"), tuple(range(kind.n)), kind.unpickle
    refusing, absent, odd = (t.__new__(t) for t in (type("Odd", (kind.cls,), {"__dict__": property(get)}) for get in (
        lambda self: 1 / 0, lambda self: {}.missing, lambda self: 5)))
    fails("ZeroDivisionError: division by zero", "D6", kind, refusing.__reduce__)
    fails("ZeroDivisionError: division by zero", "S17 R13", kind, refusing.__setstate__, new + ({},))
    absent.__setstate__(new + ({"x": 1},))  # AttributeError counts as no __dict__
    assert absent.__reduce__() == (kind.unpickle, (type(absent), kind.checksum, None), new)
    assert odd.__reduce__()[2] == (None,) * kind.n + (5,)
    fails("AttributeError: 'int' object has no attribute 'update'", "S17 R14", kind, odd.__setstate__, new + ({},))
    monkeypatch.setattr(regulo, kind.fname, slice)  # the unpickle function, by name: module, then builtins
    assert c.__reduce__()[0] is slice and pickle.loads(pickle.dumps(bare)) == slice(kind.cls, kind.checksum, (None,) * kind.n)
    monkeypatch.delattr(regulo, kind.fname)
    monkeypatch.setattr(builtins, kind.fname, len, raising=False)
    assert c.__reduce__()[0] is len and bare.__reduce__()[0] is len
    monkeypatch.delattr(builtins, kind.fname)
    fails(f"NameError: name '{kind.fname}' is not defined", "D13", kind, c.__reduce__)
    fails(f"NameError: name '{kind.fname}' is not defined", "D15", kind, bare.__reduce__)
    monkeypatch.setitem(sys.modules, "pickle", None)  # PickleError is imported at each mismatch
    fails("ModuleNotFoundError: import of pickle halted; None in sys.modules", "U5", kind, unpickle, kind.cls, 1, None)

def call(kind, c, target, args):
    func = {"u": kind.unpickle, "s": c.__setstate__, "r": c.__reduce__}[target]
    return func(**args) if type(args) is dict else func(*[kind.cls if a is C else kind.checksum if a is K else a for a in args])

@pytest.mark.parametrize("target, args, message, tb", ERRORS, ids=[f"{r[0]}{i}" for i, r in enumerate(ERRORS)])
@by_class
def test_errors_leave_the_controller_unchanged(kind, target, args, message, tb):
    before = state_of(c := build(kind, "init", 2))
    fails(f"PickleError: {kind.mismatch.format(message)}" if message[:2] == "0x" else message, tb, kind, call, kind, c, target, args)
    assert same(state_of(c), before)

@pytest.mark.parametrize("kind, cls, checksum, shown", [
    *[(k, k.cls, c, None) for k in KINDS for c in (*k.accepted, k.checksum + 0.99)], (XK, XK.cls, 0xB0BFBFA + 0.5, None),
    (PK, None, 185867204, "0xb141bc4"), (XK, None, 0x7E19BD2, "0x7e19bd2"), (AK, None, 53187086, "0x32b920e"),
    (AK, None, 0xB0BFBFA, "0xb0bfbfa"), (AK, None, 185867205.9, "0xb141bc5"), (PK, None, 53187086 + 2**32, "0x1032b920e"),
    (XK, CLASSES[0], 53187086, "kovar.regulo.PIDControllerXd.__new__(kovar.regulo.PIDController): "
     "kovar.regulo.PIDController is not a subtype of kovar.regulo.PIDControllerXd"),
    (AK, TAGGED[CLASSES[0]], 185867204, "kovar.regulo.AdaptiveController.__new__(TaggedPIDController): "
     "TaggedPIDController is not a subtype of kovar.regulo.AdaptiveController")])
def test_checksums_and_classes_of_the_unpickle_functions(kind, cls, checksum, shown):
    if shown is None:  # accepted: a float is truncated
        assert kind.unpickle(cls, checksum, None).__reduce__() == (kind.unpickle, (cls, kind.checksum, (None,) * kind.n))
        out = kind.unpickle(__pyx_state=tuple(range(kind.n)) + ({"y": 2},), __pyx_checksum=checksum, __pyx_type=kind.sub)
        assert type(out) is kind.sub and out.y == 2 and state_of(out) == tuple(range(kind.n)) + ({"y": 2},)
    else:
        fails(f"PickleError: {kind.mismatch.format(shown)}" if cls is None else f"TypeError: {shown}", "U7" if cls else "U6",
              kind, kind.unpickle, cls, checksum, [1])

@by_class
def test_short_and_long_states(kind):
    new, c, s = tuple(range(kind.n)), build(kind, "init", 2), build(kind, "sub")
    for k in (1, 3, -1):  # a short state keeps the leading stores
        old, objs = state_of(c), tuple(object() for _ in range(kind.n))
        fails("IndexError: tuple index out of range", "S17 R12", kind, c.__setstate__, objs[:k])
        assert same(state_of(c), objs[:k] + old[k % kind.n:])
    assert c.__setstate__(new + ({"x": 1}, "ignored", None)) is None and c.__reduce__()[2] == new  # no __dict__
    assert state_of(kind.unpickle(kind.cls, kind.checksum, new + ({"x": 1},))) == new
    s.__setstate__(__pyx_state=new + ({"x": 1}, "ignored"))
    assert (s.x, s.tag) == (1, "arm") and s.__reduce__()[2] == new + (s.__dict__,)
    fails("TypeError: 'int' object is not iterable", "S17 R14", kind, s.__setstate__, new[::-1] + (7,))
    assert s.__reduce__()[2][:kind.n] == new[::-1]  # the fields are stored before the update fails
    fails("TypeError: 'int' object is not iterable", "U9 R14", kind, kind.unpickle, kind.sub, kind.checksum, new + (7,))

@by_class
@pytest.mark.filterwarnings("ignore")
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_arbitrary_state_objects_never_crash(kind, data):
    state, c = data.draw(st.tuples(*[ODD] * kind.n)), build(kind)
    c.__setstate__(state)
    assert same(state_of(kind.unpickle(kind.cls, kind.checksum, state)), state) and same(state_of(c), state)
    with suppress(Exception):
        c.compute_control(*calls(kind)[0])
    assert len(state_of(c)) == kind.n

def encode(v):
    if isinstance(v, np.ndarray):
        return b"cnumpy\narray\n(" + encode(v.tolist()) + b"tR"
    if isinstance(v, (list, tuple)):
        return b"(" + b"".join(map(encode, v)) + (b"l" if type(v) is list else b"t")
    return b"N" if v is None else b"F%r\n" % v if isinstance(v, float) else b"I%d\n" % v

def handmade(k, checksum, state, p):  # unpickle(cls, checksum, None), then BUILD(state)
    fn, args = (f"ckovar.regulo\n{name}\n".encode() for name in (k.fname, k.cls.__name__))
    args += encode(checksum) + b"N"
    return (b"\x80\x02" + fn + args + b"\x87R" if p else fn + b"(" + args + b"tR") + encode(state) + b"b."

@by_class
@pytest.mark.parametrize("protocol", [0, 2])
@pytest.mark.parametrize("accepted", [0, 1, 2])
def test_handmade_pickles_load(kind, protocol, accepted):
    ref = build(kind, "init", 1, kind.reference)
    state = tuple(getattr(ref, name) for name in sorted(vars(ref)))  # state order: field names sorted
    out = pickle.loads(handmade(kind, kind.accepted[accepted], state, protocol))
    assert type(out) is kind.cls and [type(x) for x in state_of(out)] == [type(x) for x in state] and len(state) == kind.n
    np.testing.assert_equal(state_of(out), state)
    for call in calls(kind)[1:]:
        np.testing.assert_array_equal(out.compute_control(*call), ref.compute_control(*call))

@pytest.mark.parametrize("case, name", GOLDEN_FILES, ids=[n for _, n in GOLDEN_FILES])
@pytest.mark.filterwarnings("ignore:numpy.core:DeprecationWarning")  # NumPy 1.x wrote numpy.core for protocol 5
def test_golden_pickle_loads_with_its_recorded_state(case, name, monkeypatch):
    want, _ = EXPECTED[case], monkeypatch.syspath_prepend(str(GOLDEN))  # subclass pickles refer to make_golden
    assert sorted(p.name for p in GOLDEN.glob("*.pickle")) == sorted(n for _, n in GOLDEN_FILES)
    (_, args, state), n = (out := pickle.loads((GOLDEN / name).read_bytes())).__reduce__(), len(want["state"])
    assert f"{type(out).__module__}.{type(out).__qualname__}" == want["class"] and args == (type(out), want["checksum"], None)
    assert same(state[n:], (out.__dict__,) if want["attributes"] is not None else ())
    assert getattr(out, "__dict__", None) == want["attributes"] and all(np.asarray(v).dtype == np.float64 for v in state[:n])
    assert [type(v) for v in state[:n]] == [np.ndarray if isinstance(r, list) else float for r in want["state"]]
    np.testing.assert_equal(list(state[:n]), want["state"])
    for c in want["next_calls"]:
        np.testing.assert_array_equal(out.compute_control(np.array(c["target"]), np.array(c["current"]), c["dt"]), c["result"])

@by_class
def test_pickling_paths_do_not_leak(kind):
    c, s, scratch = build(kind, "init", 2), build(kind, "sub"), build(kind, "bare")
    def work():
        pickle.loads(pickle.dumps(c, 2)), pickle.loads(pickle.dumps(s, 5)), copy.copy(c), copy.deepcopy(s)
        for target, args, *_ in ERRORS + [("u", (kind.sub, K, state_of(c) + (7,)))]:
            with pytest.raises(Exception):
                call(kind, scratch, target, args)
    assert_no_leak(work, *state_of(c), kind.cls, kind.sub, kind.unpickle)

@pytest.mark.slow
def test_round_trip_soak():
    c = build(PK, "init", 2)
    assert_no_leak(lambda: pickle.loads(pickle.dumps(c)), *state_of(c), calls=SOAK_ROUND_TRIPS)

@by_class
def test_restore_reads_dict_again_for_the_update(kind):
    new, reads = tuple(range(kind.n)), []
    def flip(self):  # a different dict at each read: update goes to the second
        reads.append({})
        return reads[-1]
    none_dict, flipping = (t.__new__(t) for t in (type("Odd", (kind.cls,), {"__dict__": v}) for v in (None, property(flip))))
    for target, tb in ((none_dict.__setstate__, "S17 R14"), (lambda s: kind.unpickle(type(none_dict), kind.checksum, s), "U9 R14")):
        fails("AttributeError: 'NoneType' object has no attribute 'update'", tb, kind, target, new + ({"x": 1},))
    assert state_of(none_dict)[:kind.n] == new and none_dict.__dict__ is None  # the fields were stored first
    flipping.__setstate__(new + ({"x": 1},))
    assert reads == [{}, {"x": 1}]

@by_class
@pytest.mark.parametrize("start, set_to", [(None, 1), (1, None)])
def test_reduced_form_follows_fields_after_dict_lookup(kind, start, set_to):
    def getattr_(self, name):  # reached for __dict__ only: the subclass has no instance dict
        if name == "__dict__":
            self.__setstate__((set_to,) * kind.n)
        raise AttributeError(name)
    cls = type("Lazy", (kind.cls,), {"__slots__": (), "__getattr__": getattr_})
    (c := cls.__new__(cls)).__setstate__((start,) * kind.n)
    reduced = c.__reduce__()
    assert reduced == ((kind.unpickle, (cls, kind.checksum, None), (start,) * kind.n) if set_to else
                       (kind.unpickle, (cls, kind.checksum, (start,) * kind.n)))
    assert state_of(c) == (set_to,) * kind.n


def replaced_pickles(tmp_path):
    """Stand-ins for sys.modules["pickle"] that lack PickleError, as (name, module, extra
    sys.modules entries)."""
    import types
    bare = types.ModuleType("pickle")
    located = types.ModuleType("pickle")
    located.__file__ = str(tmp_path / "pickle.py")
    module_spec = type("ModuleSpec", (), {"_initializing": True, "origin": located.__file__, "has_location": True})()
    loading = types.ModuleType("pickle")
    loading.__file__, loading.__spec__ = located.__file__, module_spec
    odd = types.ModuleType("pickle")
    del odd.__name__
    nameless = type("NotAModule", (), {"__name__": 7})()
    refusing = types.ModuleType("pickle")
    def refuse(name):  # a KeyError for the name imported, not an AttributeError
        if name == "PickleError":
            raise KeyError(name)
        raise AttributeError(name)
    refusing.__getattr__ = refuse
    found = types.ModuleType("pickle")
    submodule = type("PickleError", (Exception,), {})
    return [("bare", bare, {}), ("located", located, {}), ("initializing", loading, {}), ("no_name", odd, {}),
            ("not_a_module", nameless, {}), ("refusing", refusing, {}),
            ("submodule", found, {"pickle.PickleError": submodule})]


@pytest.mark.parametrize("case", range(7), ids=["bare", "located", "initializing", "no_name", "not_a_module",
                                                 "refusing", "submodule"])
def test_pickle_error_import_fails_as_the_from_import_does(case, monkeypatch, tmp_path):
    _, module, extra = replaced_pickles(tmp_path)[case]
    monkeypatch.setitem(sys.modules, "pickle", module)
    for name, value in extra.items():
        monkeypatch.setitem(sys.modules, name, value)

    def from_import():
        try:
            from pickle import PickleError
        except BaseException as exc:
            return exc
        return PickleError

    def shown(exc):  # what a caller can see of an import failure
        return (type(exc), str(exc), *(getattr(exc, a, None) for a in ("name", "path", "name_from")))

    expected = from_import()
    for kind in KINDS:
        with pytest.raises(BaseException) as info:
            kind.unpickle(kind.cls, 1, None)
        if isinstance(expected, type):  # the import found a PickleError after all
            assert type(info.value) is expected and str(info.value) == kind.mismatch.format("0x1")
            assert kovar_entries(info.value) == [(f"kovar.regulo.{kind.fname}", PICKLE_SOURCE, 6)]
            continue
        assert shown(info.value) == shown(expected)
        assert kovar_entries(info.value) == [(f"kovar.regulo.{kind.fname}", PICKLE_SOURCE, 5)]
        assert info.value.__cause__ is None and info.value.__context__ is None
