"""How every kovar.regulo callable binds, converts and type-tests its arguments."""
import ctypes
import pickle
import warnings

import numpy as np
import pytest

from conftest import PICKLE_SOURCE, SOURCE, arr, assert_no_leak, kovar_entries
from reference import PID, Adaptive
from kovar import regulo
from kovar.regulo import AdaptiveController as A, PIDController as P, PIDControllerXd as X

ALL = (P, X, A)
LINES = {P: (8, 16, 16, 19), X: (38, 49, 52, 55), A: (77, 92, 95, 96)}  # __init__, compute_control, dt, error
CHECKSUM = {P: 53187086, X: 53187086, A: 185867204}
GAINS = {P: ("kp", "ki", "kd"), X: ("kp", "ki", "kd"), A: ("initial_kp", "initial_ki", "initial_kd")}
CC, SS, RD = "compute_control", "__kovar_setstate__", "__kovar_reduce__"
same = np.testing.assert_array_equal
vec = lambda cls, *values: arr(*values, ndim=2 if cls is X else 1)  # noqa: E731
at = lambda cls, method, line, file=SOURCE: [(f"kovar.regulo.{cls.__name__}.{method}", file, line)]  # noqa: E731


def setup(cls, seed=1):
    """A native controller, its pure-Python reference on equal random gains, and random positions."""
    gains = [vec(cls, *row) for row in np.random.default_rng(7).uniform(-2, 2, (3, 3))]
    t, p = [vec(cls, *row) for row in np.random.default_rng(seed).uniform(-5, 5, (2, 3))]
    return cls(*gains), (Adaptive if cls is A else PID)(*[g.copy() for g in gains]), t, p


def keeper(c):
    """A check that c still holds the very same field objects with the same contents."""
    state = c.__reduce__()[2]
    saved = [np.array(v, copy=True) for v in state]
    return lambda: all(a is b and np.array_equal(a, s) for a, b, s in zip(c.__reduce__()[2], state, saved))


def number_keyword(obj, name):
    """obj.name(*args) called with one keyword named by the number 1, as only C code can."""
    call = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object)(
        ("PyObject_VectorcallMethod", ctypes.pythonapi))
    return lambda *args: call(name, ctypes.cast((ctypes.py_object * (len(args) + 2))(obj, *args, None), ctypes.c_void_p),
                              1 + len(args), (1,))


def callables(cls):
    """kind: (callable, its name in messages, traceback entries of its binding errors)."""
    c, up, cc, ss = setup(cls)[0], f"__pyx_unpickle_{cls.__name__}", at(cls, CC, LINES[cls][1]), at(cls, SS, 16, PICKLE_SOURCE)
    methods = {"cc": (c, CC, CC, cc), "ss": (c, "__setstate__", SS, ss), "ss2": (c, SS, SS, ss), "rd": (c, "__reduce__", RD, []),
               "rd2": (c, RD, RD, []), "up": (regulo, up, up, [(f"kovar.regulo.{up}", PICKLE_SOURCE, 1)])}  # owner, attribute
    return {**{k: (getattr(o, a), n, w) for k, (o, a, n, w) in methods.items()},
            **{"v" + k: (number_keyword(o, a), n, w) for k, (o, a, n, w) in methods.items()},
            "init": (cls, "__init__", at(cls, "__init__", LINES[cls][0])), "ucc": (cls.compute_control, CC, cc),
            "urd": (cls.__dict__[RD], RD, []), "uss": (cls.__dict__[SS], SS, ss)}


def fails(exc, message, func, *args, kw=None):
    """Asserts func(*args, **kw) raises exactly this; returns the module's traceback entries."""
    with pytest.raises(exc) as info:
        func(*args, **(kw or {}))
    assert str(info.value) == message
    return kovar_entries(info.value)


Alias = type("Alias", (str,), {"__eq__": lambda s, o: o == "dt" or str.__eq__(s, o), "__hash__": str.__hash__})
Named, Explosive = type("Named", (str,), {}), type("Explosive", (str,), {"__eq__": lambda s, o: 1 / 0, "__hash__": str.__hash__})
C = lambda how, n, given: f"{{}}() takes {how} {n} positional argument{'s' * (n != 1)} ({given} given)"  # noqa: E731
M, U = "{{}}() got multiple values for keyword argument '{}'".format, "{{}}() got an unexpected keyword argument '{}'".format
BINDING = [  # callables, positional count, keywords in call order, message. pid, ada: __init__ of the PID-like classes
    # and of AdaptiveController; u...: called through the class; v...: with a keyword named 1 in the keyword-name vector
    ("pid cc up", 0, "", C("exactly", 3, 0)), ("pid cc up", 4, "", C("exactly", 3, 4)), ("pid cc up", 2, "", C("exactly", 3, 2)),
    ("pid", 4, "kp", C("exactly", 3, 4)), ("pid", 1, "kd", C("exactly", 3, 1)), ("pid", 0, "kp kd", C("exactly", 3, 1)),
    ("pid", 0, "ki kd", C("exactly", 3, 0)), ("pid", 3, "kp", M("kp")), ("pid", 1, "kx", U("kx")),
    ("pid", 2, "kz kd ky", U("kz")), ("pid", 2, "kd ky kz", U("ky")), ("pid", 2, "kp kx", M("kp")), ("pid", 2, "kx kp", U("kx")),
    ("ada", 0, "", C("at least", 3, 0)), ("ada", 1, "", C("at least", 3, 1)), ("ada", 6, "", C("at most", 5, 6)),
    ("ada", 6, "learning_rate", C("at most", 5, 6)), ("ada", 1, "initial_kd learning_rate", C("at least", 3, 1)),
    ("ada", 2, "max_adjustment", C("at least", 3, 2)), ("ada", 4, "learning_rate", M("learning_rate")),
    ("ada", 3, "max_adjustment initial_ki", M("initial_ki")), ("ada", 3, "rate", U("rate")), ("cc", 4, "dt", C("exactly", 3, 4)),
    ("cc", 1, "dt", C("exactly", 3, 1)), ("cc", 0, "current_position dt", C("exactly", 3, 0)),
    ("cc", 0, "dt target_position", C("exactly", 3, 1)), ("cc", 3, "dt", M("dt")), ("cc", 1, "kx", U("kx")),
    ("cc", 1, "target_position kx", M("target_position")), ("cc", 1, "kx target_position", U("kx")), ("cc", 2, "dt kx", U("kx")),
    ("cc", 2, ("d\u00e9",), U("d\u00e9")), ("cc", 2, (Named("dtt"),), U("dtt")), ("cc", 2, ("dt", Alias("delta")), M("delta")),
    ("cc", 2, (Explosive("dt"),), (ZeroDivisionError, "division by zero")), ("pid ada", 0, (1,), "keywords must be strings"),
    ("pid ada", 3, (1,), "keywords must be strings"), ("vcc vss vss2 vrd vrd2 vup", 0, (), "{}() keywords must be strings"),
    ("ss ss2", 0, "", C("exactly", 1, 0)), ("ss ss2", 2, "", C("exactly", 1, 2)), ("ss ss2", 2, "state", C("exactly", 1, 2)),
    ("ss ss2", 1, "__pyx_state", M("__pyx_state")), ("ss ss2", 0, "state", U("state")), ("rd rd2", 1, "", C("exactly", 0, 1)),
    ("rd rd2", 2, "", C("exactly", 0, 2)), ("rd rd2", 1, "a", C("exactly", 0, 1)), ("rd rd2", 0, "protocol", U("protocol")),
    ("rd rd2", 0, "b a", U("b")), ("up", 1, "__pyx_state", C("exactly", 3, 1)), ("up", 3, "__pyx_type", M("__pyx_type")),
    ("up", 2, "checksum", U("checksum")),
    ("ucc urd uss", 0, "", "{}() needs an argument"), ("ucc", 0, "dt", "{}() needs an argument"),
]
BINDING_CASES = [(cls, "init" if kind in ("pid", "ada") else kind, n, keys.split() if isinstance(keys, str) else keys,
                  message if isinstance(message, tuple) else (TypeError, message)) for kinds, n, keys, message in BINDING
                 for kind in kinds.split() for cls in {"pid": (P, X), "ada": (A,)}.get(kind, ALL)]


@pytest.mark.parametrize("cls, kind, nargs, keys, message", BINDING_CASES, ids=lambda v: getattr(v, "__name__", str(v)))
def test_binding_errors(cls, kind, nargs, keys, message):
    kinds = callables(cls)
    (func, name, where), kept, g = kinds[kind], keeper(kinds["cc"][0].__self__), vec(cls, 1.0)
    assert fails(message[0], message[1].format(name), func, *[g] * nargs, kw=dict.fromkeys(keys, g)) == where
    assert kept()


@pytest.mark.parametrize("cls", ALL)
def test_refused_calls_leak_nothing(cls):
    kinds, g, bad = callables(cls), vec(cls, 1.0), [1.0]
    calls = [(kinds[kind][0], [g] * n, dict.fromkeys(keys, g)) for k, kind, n, keys, _ in BINDING_CASES if k is cls]
    calls += [(kinds["cc"][0], [g, bad, 0.1], {}), (kinds["cc"][0], [g, g, bad], {}), (kinds["up"][0], [cls, bad, g], {})]
    assert_no_leak(lambda: [pytest.raises(Exception, lambda: func(*args, **kw)) for func, args, kw in calls], g, bad,
                   kinds["cc"][0].__self__, calls=300)


@pytest.mark.parametrize("cls", ALL)
def test_accepted_bindings(cls):
    (c, ref, t, p), gains = setup(cls), [vec(cls, 1.0, -2.0, 0.5) * k for k in (1, 2, 3)]
    extra = {"max_adjustment": 0.3, "learning_rate": 0.05} if cls is A else {}
    by_name = cls(**{Named(k): g for k, g in reversed(list(zip(GAINS[cls], gains)))}, **extra)
    by_position = cls(*gains, *reversed(extra.values()))
    for key in ["".join(["current_", "position"]), Named("current_position")]:  # not the interned parameter name
        same(c.compute_control(**{"dt": 0.25, key: p, Named("target_position"): t}), ref.compute_control(t, p, 0.25))
        same(by_name.compute_control(t, dt=0.1, current_position=p), by_position.compute_control(t, p, 0.1))
    same(c.compute_control(t, p, **{Alias("delta"): 0.5}), ref.compute_control(t, p, 0.5))
    same(cls.compute_control(c, t, p, 0.2), ref.compute_control(t, p, 0.2))
    same(cls.compute_control(c, t, dt=0.2, current_position=p), ref.compute_control(t, p, 0.2))
    same(cls.compute_control(type("Derived", (cls,), {})(*gains), t, p, 0.1), cls(*gains).compute_control(t, p, 0.1))
    assert cls.__dict__[RD](c) == c.__reduce__()
    for foreign in [setup(other)[0] for other in ALL if other is not cls] + [1, None, "self", np.zeros(3)]:
        kept = keeper(foreign) if isinstance(foreign, ALL) else lambda: True  # refused before any field is read:
        pytest.raises(TypeError, cls.compute_control, foreign, None, None, 0.1)
        pytest.raises(TypeError, cls.__dict__[SS], foreign, ())
        assert kept()
    if cls is not A:  # None passes every check of binding (AdaptiveController copies its gains in its body)
        cls(None, None, None)
    for args in [(None, p), (t, None)]:  # binding passes; the subtraction fails
        assert kovar_entries(pytest.raises(TypeError, c.compute_control, *args, 0.1).value) == at(cls, CC, LINES[cls][3])
    sub = [g.view(np.recarray) for g in gains]  # a subclass of numpy.ndarray
    same(cls(*sub).compute_control(sub[0] * 3, sub[1], 0.5), cls(*gains).compute_control(gains[0] * 3, gains[1], 0.5))


HasInt = type("HasInt", (), {"__init__": lambda s, v: setattr(s, "v", v), "__int__": lambda s: s.v})
IntSub, HasIndex = type("IntSub", (int,), {"__int__": lambda s: 0}), type("HasIndex", (), {"__index__": lambda s: 3})
DOUBLES = [  # value, converted value or (exception, message)
    (0.25, 0.25), (type("FloatSub", (float,), {"__float__": lambda s: 99.0})(0.5), 0.5), (2, 2.0), (True, 1.0), (-1.0, -1.0),
    (-1, -1.0), (np.float64(0.125), 0.125), (np.float32(0.5), 0.5), (HasIndex(), 3.0),
    (type("HasFloat", (), {"__float__": lambda s: 0.375})(), 0.375), ("x", (TypeError, "must be real number, not str")),
    (None, (TypeError, "must be real number, not NoneType")), ([0.1], (TypeError, "must be real number, not list")),
    (2 ** 1100, (OverflowError, "int too large to convert to float")),
    (type("FloatReturnsInt", (), {"__float__": lambda s: 1})(),
     (TypeError, "FloatReturnsInt.__float__ returned non-float (type int)")),
    (type("FloatRaises", (), {"__float__": lambda s: 1 / 0})(), (ZeroDivisionError, "division by zero")),
]
BAD_INTS = [("53187086", TypeError, "an integer is required"), (HasIndex(), TypeError, "an integer is required"),
            (HasInt(1.5), TypeError, "__int__ returned non-int (type float)"),
            (type("IntRaises", (), {"__int__": lambda s: {}["int"]})(), KeyError, "'int'")] + [
            (v, OverflowError, "Python int too large to convert to C long") for v in (2 ** 63, -2 ** 63 - 1, HasInt(2 ** 64))]
DEPRECATED = ("__int__ returned non-int (type IntSub).  The ability to return an instance of a strict subclass of int "
              "is deprecated, and may be removed in a future version of Python.")


@pytest.mark.parametrize("value, expected", DOUBLES, ids=[type(v).__name__ for v, _ in DOUBLES])
def test_double_conversion(value, expected):
    if isinstance(expected, tuple):  # refused, before the array type tests
        for cls in ALL:
            assert fails(*expected, setup(cls)[0].compute_control, [1.0], "no array", value) == at(cls, CC, LINES[cls][2])
        assert fails(*expected, A, [], [], [], value, "y") == at(A, "__init__", 81)
        assert fails(*expected, A, [], [], [], 0.5, value) == at(A, "__init__", 82)
        assert fails(*expected, A, [], [], [], kw={"max_adjustment": value}) == at(A, "__init__", 82)
        return
    for c in (A(*[arr(1.0, -0.5)] * 3, value, value), A(*[arr(1.0)] * 3, max_adjustment=value, learning_rate=value)):
        assert [(type(v), v) for v in c.__reduce__()[2][5:7]] == [(float, expected)] * 2
    for c, ref, t, p in map(setup, ALL):
        same(c.compute_control(t, p, value), ref.compute_control(t, p, expected))


@pytest.mark.parametrize("cls", ALL)
def test_integer_conversion_of_the_checksum(cls):
    (up, _, where), good = callables(cls)["up"], CHECKSUM[cls]
    for value in (good, IntSub(good), good + 0.9, np.int64(good), np.float64(good + 0.5), HasInt(good)):
        assert type(up(cls, value, None)) is cls
    for value in (True, -1, -2 ** 63, 2 ** 63 - 1, HasInt(-1), CHECKSUM[A] + CHECKSUM[P] - good):  # shown as converted
        with pytest.raises(pickle.PickleError, match=rf"^Incompatible checksums \(0x{int(value):x} vs "):
            up(cls, value, None)
    for value, exc, message in BAD_INTS:  # reported although the type argument is wrong too
        assert fails(exc, message, up, "not a type", value, None) == where
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert type(up(cls, HasInt(IntSub(good)), None)) is cls
        warnings.simplefilter("error")
        assert fails(DeprecationWarning, DEPRECATED, up, cls, HasInt(IntSub(1)), None) == where
    assert [(w.category, str(w.message), w.filename) for w in caught] == [(DeprecationWarning, DEPRECATED, __file__)]


NOT_ARRAYS = [([1.0, 2.0], "list"), ((1.0,), "tuple"), (1.0, "float"), (np.float64(1.0), "numpy.float64"),
              (memoryview(b"12345678"), "memoryview"), (type("Q" * 300, (), {})(), "Q" * 200),
              (type("ArrayLike", (), {"__array__": lambda s, *a, **k: np.zeros(2)})(), "ArrayLike")]


@pytest.mark.parametrize("value, shown", NOT_ARRAYS, ids=[s[:9] for _, s in NOT_ARRAYS])
@pytest.mark.parametrize("cls", ALL)
def test_array_type_tests_in_declaration_order(cls, value, shown):
    c = setup(cls)[0]
    for func, names, dt in [(cls, GAINS[cls], {}), (c.compute_control, ("target_position", "current_position"), {"dt": 0.1})]:
        for i, name in enumerate(names):
            args, kept = [vec(cls, 1.0)] * i + [value] + [{}] * (len(names) - i - 1), keeper(c)  # later arrays are wrong too
            message = f"Argument '{name}' has incorrect type (expected numpy.ndarray, got {shown})"
            assert fails(TypeError, message, func, *args, kw=dt) == []
            assert fails(TypeError, message, func, kw={**dt, **dict(reversed(list(zip(names, args))))}) == []
            assert kept()
