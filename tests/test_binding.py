"""How every callable of kovar.regulo binds, converts and type-tests its
arguments: count and keyword errors, double and integer conversion, the
ndarray type test, calls through the class, signatures and traceback entries."""
import ctypes
import inspect
import pickle
import warnings

import numpy as np
import pytest

from conftest import PICKLE_SOURCE, SOURCE, arr, assert_no_leak, kovar_entries
from reference import PID, Adaptive
from kovar import regulo
from kovar.regulo import AdaptiveController, PIDController, PIDControllerXd

ALL = (PIDController, PIDControllerXd, AdaptiveController)
PID_LIKE = (PIDController, PIDControllerXd)
# __init__ definition, compute_control definition, line of its dt parameter
LINES = {PIDController: (8, 16, 16), PIDControllerXd: (38, 49, 52), AdaptiveController: (77, 92, 95)}
CHECKSUM = {PIDController: 53187086, PIDControllerXd: 53187086, AdaptiveController: 185867204}
GAINS = {PIDController: ("kp", "ki", "kd"), PIDControllerXd: ("kp", "ki", "kd"),
         AdaptiveController: ("initial_kp", "initial_ki", "initial_kd")}
POSITIONS = ("target_position", "current_position")
_ = None


def vec(cls, *values):
    return arr(*values, ndim=2 if cls is PIDControllerXd else 1)


def make(cls):
    return cls(vec(cls, 1.0, 2.0), vec(cls, 0.5, 0.25), vec(cls, 0.125, 0.75))


def twins(cls):
    """A native controller and its pure-Python reference, on equal gains."""
    gains = [vec(cls, *np.random.default_rng(7).uniform(-2, 2, 3)) for _ in range(3)]
    ref = (Adaptive if cls is AdaptiveController else PID)(*[g.copy() for g in gains])
    return cls(*gains), ref


def step(cls, seed):
    rng = np.random.default_rng(seed)
    return vec(cls, *rng.uniform(-5, 5, 3)), vec(cls, *rng.uniform(-5, 5, 3))


def entry(cls, method, line, filename=SOURCE):
    return [(f"kovar.regulo.{cls.__name__}.{method}", filename, line)]


def unpickler(cls):
    return getattr(regulo, f"__pyx_unpickle_{cls.__name__}")


def unpickle_entry(cls, line=1):
    return [(f"kovar.regulo.__pyx_unpickle_{cls.__name__}", PICKLE_SOURCE, line)]


def fails(exc_type, message, func, *args, kw=None):
    """Asserts the exact exception of func(*args, **kw); returns the module's
    traceback entries."""
    with pytest.raises(exc_type) as info:
        func(*args, **(kw or {}))
    assert str(info.value) == message
    return kovar_entries(info.value)


def target(kind, cls):
    """The callable of `kind` and the traceback entries its binding errors carry."""
    c = make(cls)
    return {
        "init": (cls, entry(cls, "__init__", LINES[cls][0])),
        "cc": (c.compute_control, entry(cls, "compute_control", LINES[cls][1])),
        "setstate": (c.__setstate__, entry(cls, "__kovar_setstate__", 16, PICKLE_SOURCE)),
        "setstate_fn": (c.__kovar_setstate__, entry(cls, "__kovar_setstate__", 16, PICKLE_SOURCE)),
        "reduce": (c.__reduce__, []),
        "reduce_fn": (c.__kovar_reduce__, []),
        "unpickle": (unpickler(cls), unpickle_entry(cls)),
    }[kind]


# ---------------------------------------------------------------- binding

def _count(name, how, n, given):
    return f"{name}() takes {how} {n} positional argument{'' if n == 1 else 's'} ({given} given)"


def _multiple(name, key):
    return f"{name}() got multiple values for keyword argument '{key}'"


def _unexpected(name, key):
    return f"{name}() got an unexpected keyword argument '{key}'"


I, CC, SS, RD, UP = "__init__", "compute_control", "__kovar_setstate__", "__kovar_reduce__", "{u}"
BINDING_ERRORS = [
    # classes, kind, positional count, keywords (in call order), message
    (PID_LIKE, "init", 0, {}, _count(I, "exactly", 3, 0)),
    (PID_LIKE, "init", 2, {}, _count(I, "exactly", 3, 2)),
    (PID_LIKE, "init", 4, {}, _count(I, "exactly", 3, 4)),
    (PID_LIKE, "init", 4, {"kp": _}, _count(I, "exactly", 3, 4)),
    (PID_LIKE, "init", 1, {"kd": _}, _count(I, "exactly", 3, 1)),
    (PID_LIKE, "init", 0, {"kp": _, "kd": _}, _count(I, "exactly", 3, 1)),
    (PID_LIKE, "init", 0, {"ki": _, "kd": _}, _count(I, "exactly", 3, 0)),
    (PID_LIKE, "init", 3, {"kp": _}, _multiple(I, "kp")),
    (PID_LIKE, "init", 2, {"kx": _}, _unexpected(I, "kx")),
    (PID_LIKE, "init", 1, {"kx": _}, _unexpected(I, "kx")),
    (PID_LIKE, "init", 2, {"kz": _, "kd": _, "ky": _}, _unexpected(I, "kz")),
    (PID_LIKE, "init", 2, {"kd": _, "ky": _, "kz": _}, _unexpected(I, "ky")),
    (PID_LIKE, "init", 2, {"kp": _, "kx": _}, _multiple(I, "kp")),
    (PID_LIKE, "init", 2, {"kx": _, "kp": _}, _unexpected(I, "kx")),
    ((AdaptiveController,), "init", 0, {}, _count(I, "at least", 3, 0)),
    ((AdaptiveController,), "init", 1, {}, _count(I, "at least", 3, 1)),
    ((AdaptiveController,), "init", 6, {}, _count(I, "at most", 5, 6)),
    ((AdaptiveController,), "init", 6, {"learning_rate": _}, _count(I, "at most", 5, 6)),
    ((AdaptiveController,), "init", 1, {"initial_kd": _, "learning_rate": _}, _count(I, "at least", 3, 1)),
    ((AdaptiveController,), "init", 2, {"max_adjustment": _}, _count(I, "at least", 3, 2)),
    ((AdaptiveController,), "init", 4, {"learning_rate": _}, _multiple(I, "learning_rate")),
    ((AdaptiveController,), "init", 3, {"max_adjustment": _, "initial_ki": _}, _multiple(I, "initial_ki")),
    ((AdaptiveController,), "init", 3, {"rate": _}, _unexpected(I, "rate")),
    ((AdaptiveController,), "init", 2, {"x": _}, _unexpected(I, "x")),
    (ALL, "cc", 0, {}, _count(CC, "exactly", 3, 0)),
    (ALL, "cc", 2, {}, _count(CC, "exactly", 3, 2)),
    (ALL, "cc", 4, {}, _count(CC, "exactly", 3, 4)),
    (ALL, "cc", 4, {"dt": _}, _count(CC, "exactly", 3, 4)),
    (ALL, "cc", 1, {"dt": _}, _count(CC, "exactly", 3, 1)),
    (ALL, "cc", 0, {"current_position": _, "dt": _}, _count(CC, "exactly", 3, 0)),
    (ALL, "cc", 0, {"dt": _, "target_position": _}, _count(CC, "exactly", 3, 1)),
    (ALL, "cc", 3, {"dt": _}, _multiple(CC, "dt")),
    (ALL, "cc", 1, {"target_position": _, "kx": _}, _multiple(CC, "target_position")),
    (ALL, "cc", 1, {"kx": _, "target_position": _}, _unexpected(CC, "kx")),
    (ALL, "cc", 2, {"dt": _, "kx": _}, _unexpected(CC, "kx")),
    (ALL, "cc", 1, {"kx": _}, _unexpected(CC, "kx")),
    (ALL, "setstate", 0, {}, _count(SS, "exactly", 1, 0)),
    (ALL, "setstate", 2, {}, _count(SS, "exactly", 1, 2)),
    (ALL, "setstate", 2, {"state": _}, _count(SS, "exactly", 1, 2)),
    (ALL, "setstate", 1, {"__pyx_state": _}, _multiple(SS, "__pyx_state")),
    (ALL, "setstate", 0, {"state": _}, _unexpected(SS, "state")),
    (ALL, "reduce", 1, {}, _count(RD, "exactly", 0, 1)),
    (ALL, "reduce", 2, {}, _count(RD, "exactly", 0, 2)),
    (ALL, "reduce", 1, {"a": _}, _count(RD, "exactly", 0, 1)),
    (ALL, "reduce", 0, {"protocol": _}, _unexpected(RD, "protocol")),
    (ALL, "reduce", 0, {"b": _, "a": _}, _unexpected(RD, "b")),
    (ALL, "unpickle", 0, {}, _count(UP, "exactly", 3, 0)),
    (ALL, "unpickle", 2, {}, _count(UP, "exactly", 3, 2)),
    (ALL, "unpickle", 4, {}, _count(UP, "exactly", 3, 4)),
    (ALL, "unpickle", 1, {"__pyx_state": _}, _count(UP, "exactly", 3, 1)),
    (ALL, "unpickle", 3, {"__pyx_type": _}, _multiple(UP, "__pyx_type")),
    (ALL, "unpickle", 2, {"checksum": _}, _unexpected(UP, "checksum")),
]
_FN_TWIN = {"setstate": "setstate_fn", "reduce": "reduce_fn"}


def _binding_cases():
    for i, (classes, kind, nargs, kwargs, message) in enumerate(BINDING_ERRORS):
        for cls in classes:
            for k in (kind, _FN_TWIN.get(kind)):
                if k:
                    yield pytest.param(cls, k, nargs, kwargs, message, id=f"{i}-{cls.__name__}-{k}")


@pytest.mark.parametrize("cls, kind, nargs, kwargs, message", list(_binding_cases()))
def test_binding_errors(cls, kind, nargs, kwargs, message):
    func, entries = target(kind, cls)
    message = message.format(u=f"__pyx_unpickle_{cls.__name__}")
    assert fails(TypeError, message, func, *([None] * nargs), kw=kwargs) == entries


@pytest.mark.parametrize("cls", ALL)
def test_every_parameter_binds_by_keyword_in_any_order(cls):
    c, ref = twins(cls)
    gains = [vec(cls, 1.0, -2.0, 0.5)] * 3
    by_name = dict(zip(GAINS[cls], gains))
    extra = {"max_adjustment": 0.3, "learning_rate": 0.05} if cls is AdaptiveController else {}
    c2 = cls(**dict(reversed(list(by_name.items()))), **extra)
    c3 = cls(*gains, *reversed(extra.values()))
    for seed in range(3):
        t, p = step(cls, seed)
        expected = ref.compute_control(t, p, 0.1)
        np.testing.assert_array_equal(c.compute_control(dt=0.1, current_position=p, target_position=t), expected)
        np.testing.assert_array_equal(c2.compute_control(t, dt=0.1, current_position=p),
                                      c3.compute_control(t, p, 0.1))
    state = c.__reduce__()[2]
    fresh = unpickler(cls)(__pyx_state=None, __pyx_checksum=CHECKSUM[cls], __pyx_type=cls)
    fresh.__setstate__(__pyx_state=state)
    assert all(a is b for a, b in zip(fresh.__reduce__()[2], state))


class Named(str):
    pass


class Alias(str):
    """Equal to 'dt' whatever its own text."""

    def __eq__(self, other):
        return other == "dt" or str.__eq__(self, other)

    __hash__ = str.__hash__


class Explosive(str):
    def __eq__(self, other):
        raise RuntimeError("no comparison")

    __hash__ = str.__hash__


@pytest.mark.parametrize("cls", ALL)
def test_keyword_names_compare_by_value(cls):
    c, ref = twins(cls)
    g = vec(cls, 1.0, 2.0)
    t, p = step(cls, 1)
    expected = ref.compute_control(t, p, 0.25)
    # A string made at run time is not the interned parameter name.
    np.testing.assert_array_equal(c.compute_control(t, **{"".join(["current_", "position"]): p, Named("dt"): 0.25}),
                                  expected)
    t, p = step(cls, 2)
    np.testing.assert_array_equal(c.compute_control(t, p, **{Alias("delta"): 0.5}), ref.compute_control(t, p, 0.5))
    cls(g, g, **{Named(GAINS[cls][2]): g})
    cc = entry(cls, "compute_control", LINES[cls][1])
    assert fails(TypeError, _unexpected(CC, "d\u00e9"), c.compute_control, t, p, kw={"d\u00e9": 1}) == cc
    assert fails(TypeError, _unexpected(CC, "dtt"), c.compute_control, t, p, kw={Named("dtt"): 1}) == cc
    assert fails(RuntimeError, "no comparison", c.compute_control, t, p, kw={Explosive("dt"): 1}) == cc


@pytest.mark.parametrize("cls", ALL)
def test_non_string_keywords(cls):
    init = entry(cls, "__init__", LINES[cls][0])
    assert fails(TypeError, "keywords must be strings", cls, kw={1: 2}) == init
    assert fails(TypeError, "keywords must be strings", cls, None, None, None, kw={1: 2}) == init
    for kind in ("cc", "setstate", "reduce", "unpickle"):
        # The interpreter refuses these before the method sees them.
        assert fails(TypeError, "keywords must be strings", target(kind, cls)[0], kw={1: 2}) == []


def _vectorcall_method(obj, name, args, kwnames, kwvalues):
    call = ctypes.pythonapi.PyObject_VectorcallMethod
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    items = (obj, *args, *kwvalues)
    vector = (ctypes.py_object * len(items))(*items)
    return call(name, ctypes.cast(vector, ctypes.c_void_p), 1 + len(args), kwnames)


@pytest.mark.skipif(not hasattr(ctypes.pythonapi, "PyObject_VectorcallMethod"), reason="no vectorcall API")
@pytest.mark.parametrize("cls", ALL)
def test_non_string_keyword_names_reaching_the_callable(cls):
    c = make(cls)
    g = vec(cls, 1.0, 2.0)
    n = cls.__name__
    cases = [
        (c, "compute_control", (g, g), "compute_control", entry(cls, "compute_control", LINES[cls][1])),
        (c, "__setstate__", (), SS, entry(cls, SS, 16, PICKLE_SOURCE)),
        (c, "__kovar_setstate__", (), SS, entry(cls, SS, 16, PICKLE_SOURCE)),
        (c, "__reduce__", (), RD, []),
        (regulo, f"__pyx_unpickle_{n}", (cls, CHECKSUM[cls]), f"__pyx_unpickle_{n}", unpickle_entry(cls)),
    ]
    for obj, name, args, shown, entries in cases:
        assert fails(TypeError, f"{shown}() keywords must be strings",
                     _vectorcall_method, obj, name, args, (1,), (None,)) == entries
    np.testing.assert_array_equal(_vectorcall_method(c, "compute_control", (g, g), ("dt",), (0.1,)),
                                  make(cls).compute_control(g, g, 0.1))


# ------------------------------------------------------------- conversions

class FloatSub(float):
    def __float__(self):  # never consulted: a float subclass gives its own value
        return 99.0


class HasFloat:
    def __float__(self):
        return 0.375


class HasIndex:
    def __index__(self):
        return 3


class FloatReturnsInt:
    def __float__(self):
        return 1


class FloatRaises:
    def __float__(self):
        raise ZeroDivisionError("float failed")


DOUBLES = [(0.25, 0.25), (FloatSub(0.5), 0.5), (2, 2.0), (True, 1.0), (np.float64(0.125), 0.125),
           (np.float32(0.5), 0.5), (HasFloat(), 0.375), (HasIndex(), 3.0), (-1.0, -1.0), (-1, -1.0)]
BAD_DOUBLES = [
    ("x", TypeError, "must be real number, not str"),
    (None, TypeError, "must be real number, not NoneType"),
    ([0.1], TypeError, "must be real number, not list"),
    (FloatReturnsInt(), TypeError, "FloatReturnsInt.__float__ returned non-float (type int)"),
    (FloatRaises(), ZeroDivisionError, "float failed"),
    (2 ** 1100, OverflowError, "int too large to convert to float"),
]


@pytest.mark.parametrize("value, expected", DOUBLES, ids=lambda v: type(v).__name__)
def test_double_conversion(value, expected):
    g = arr(1.0, -0.5)
    for c in (AdaptiveController(g, g, g, value, value), AdaptiveController(g, g, g, max_adjustment=value,
                                                                           learning_rate=value)):
        lr, bound = c.__reduce__()[2][5:7]
        assert (type(lr), lr, type(bound), bound) == (float, expected, float, expected)
    for cls in ALL:
        c, ref = twins(cls)
        for seed in range(2):
            t, p = step(cls, seed)
            np.testing.assert_array_equal(c.compute_control(t, p, value), ref.compute_control(t, p, expected))


@pytest.mark.parametrize("value, exc_type, message", BAD_DOUBLES, ids=lambda v: type(v).__name__)
def test_double_conversion_errors_come_before_array_type_tests(value, exc_type, message):
    for cls in ALL:
        entries = fails(exc_type, message, make(cls).compute_control, [1.0], "not an array", value)
        assert entries == entry(cls, "compute_control", LINES[cls][2])
    a = AdaptiveController
    assert fails(exc_type, message, a, [], [], [], value, "y") == entry(a, "__init__", 81)
    assert fails(exc_type, message, a, [], [], [], 0.5, value) == entry(a, "__init__", 82)
    assert fails(exc_type, message, a, arr(1.0), arr(1.0), arr(1.0), kw={"max_adjustment": value}) == \
        entry(a, "__init__", 82)


class IntSub(int):
    def __int__(self):  # never consulted: an int subclass gives its own value
        return 0


class HasInt:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IntReturnsFloat:
    def __int__(self):
        return 1.5


class IntRaises:
    def __int__(self):
        raise LookupError("int failed")


def _mismatch(cls, shown):
    if cls is AdaptiveController:
        return (f"Incompatible checksums ({shown} vs (0xb141bc4, 0xb4ff99b, 0x7e19bd2) = (error_history, integral, "
                "kd, ki, kp, learning_rate, max_adjustment, previous_error))")
    return f"Incompatible checksums ({shown} vs (0x32b920e, 0xb0bfbfa, 0xa7b7f25) = (integral, kd, ki, kp, previous_error))"


@pytest.mark.parametrize("cls", ALL)
def test_checksum_conversion(cls):
    good = CHECKSUM[cls]
    for value in (good, IntSub(good), good + 0.9, np.int64(good), np.float64(good + 0.5), HasInt(good)):
        assert type(unpickler(cls)(cls, value, None)) is cls
    other = CHECKSUM[PIDController if cls is AdaptiveController else AdaptiveController]
    for value, shown in [(True, "0x1"), (-1, "0x-1"), (-2 ** 63, "0x-8000000000000000"),
                         (2 ** 63 - 1, "0x7fffffffffffffff"), (HasInt(-1), "0x-1"), (other, hex(other))]:
        assert fails(pickle.PickleError, _mismatch(cls, shown), unpickler(cls), cls, value, None)
    for value, exc_type, message in [
        ("53187086", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (HasIndex(), TypeError, "an integer is required"),
        (IntReturnsFloat(), TypeError, "__int__ returned non-int (type float)"),
        (HasInt(None), TypeError, "__int__ returned non-int (type NoneType)"),
        (IntRaises(), LookupError, "int failed"),
        (2 ** 63, OverflowError, "Python int too large to convert to C long"),
        (-2 ** 63 - 1, OverflowError, "Python int too large to convert to C long"),
        (1e300, OverflowError, "Python int too large to convert to C long"),
        (HasInt(2 ** 64), OverflowError, "Python int too large to convert to C long"),
    ]:
        # The conversion is reported although the type argument is wrong too.
        assert fails(exc_type, message, unpickler(cls), "not a type", value, None) == unpickle_entry(cls)


DEPRECATED = ("__int__ returned non-int (type IntSub).  The ability to return an instance of a strict subclass of int "
              "is deprecated, and may be removed in a future version of Python.")


@pytest.mark.parametrize("cls", ALL)
def test_checksum_from_int_subclass_warns(cls):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert type(unpickler(cls)(cls, HasInt(IntSub(CHECKSUM[cls])), None)) is cls
    assert [(w.category, str(w.message), w.filename) for w in caught] == [(DeprecationWarning, DEPRECATED, __file__)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert fails(DeprecationWarning, DEPRECATED, unpickler(cls), cls, HasInt(IntSub(1)), None) == unpickle_entry(cls)


# ------------------------------------------------------------ array type test

class ArrayLike:
    def __array__(self, dtype=None, copy=None):
        return np.zeros(2)


NOT_ARRAYS = [([1.0, 2.0], "list"), ((1.0,), "tuple"), (1.0, "float"), (np.float64(1.0), "numpy.float64"),
              (memoryview(b"12345678"), "memoryview"), (ArrayLike(), "ArrayLike")]


def _array_params(cls):
    return [("init", i, name) for i, name in enumerate(GAINS[cls])] + [("cc", i, name) for i, name in enumerate(POSITIONS)]


@pytest.mark.parametrize("value, shown", NOT_ARRAYS, ids=[s for _, s in NOT_ARRAYS])
@pytest.mark.parametrize("cls", ALL)
def test_array_type_test(cls, value, shown):
    g = vec(cls, 1.0, 2.0)
    for kind, index, name in _array_params(cls):
        func = cls if kind == "init" else make(cls).compute_control
        args = [g] * (3 if kind == "init" else 2)
        args[index] = value
        dt = {} if kind == "init" else {"dt": 0.1}
        message = f"Argument '{name}' has incorrect type (expected numpy.ndarray, got {shown})"
        assert fails(TypeError, message, func, *args, kw=dt) == []
        by_name = dict(zip(GAINS[cls] if kind == "init" else POSITIONS, args))
        assert fails(TypeError, message, func, kw={**dt, **by_name}) == []


@pytest.mark.parametrize("cls", ALL)
def test_array_type_tests_run_in_declaration_order(cls):
    first, second = GAINS[cls][0], GAINS[cls][1]
    assert fails(TypeError, f"Argument '{first}' has incorrect type (expected numpy.ndarray, got tuple)",
                 cls, (), [], {}) == []
    assert fails(TypeError, f"Argument '{second}' has incorrect type (expected numpy.ndarray, got int)",
                 cls, kw={GAINS[cls][2]: "s", second: 1, first: None}) == []
    assert fails(TypeError, "Argument 'target_position' has incorrect type (expected numpy.ndarray, got dict)",
                 make(cls).compute_control, kw={"current_position": [], "target_position": {}, "dt": 0.5}) == []
    long_named = type("Q" * 300, (), {})()
    assert fails(TypeError, f"Argument '{first}' has incorrect type (expected numpy.ndarray, got {'Q' * 200})",
                 cls, long_named, None, None) == []


class Sub(np.ndarray):
    pass


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
@pytest.mark.parametrize("cls", ALL)
def test_none_and_ndarray_subclasses_pass_the_type_test(cls, tmp_path):
    g = vec(cls, 1.0, 2.0)
    t, p = step(cls, 3)
    if cls is AdaptiveController:
        # Binding passes; the body then fails copying the missing gain.
        assert fails(AttributeError, "'NoneType' object has no attribute 'copy'", cls, g, None, g) == \
            entry(cls, "__init__", 84)
    else:
        cls(None, None, None)
    c, ref = twins(cls)
    step2 = {PIDController: 19, PIDControllerXd: 55, AdaptiveController: 96}[cls]
    for args in [(None, p), (t, None)]:
        with pytest.raises(TypeError) as info:  # binding passed: the subtraction fails
            c.compute_control(*args, 0.1)
        assert kovar_entries(info.value) == entry(cls, "compute_control", step2)
    np.testing.assert_array_equal(c.compute_control(t, p, 0.1), ref.compute_control(t, p, 0.1))
    mapped = np.memmap(tmp_path / "gain", dtype=np.float64, mode="w+", shape=g.shape)
    mapped[...] = g
    for gain in [mapped, g.view(Sub)] + ([np.matrix([[1.5]])] if cls is PIDControllerXd else []):
        t, p = np.full_like(gain, 3.0), np.full_like(gain, 1.0)
        got = cls(gain, gain, gain).compute_control(t, p, 0.5)
        x = np.array(gain)
        ref = (Adaptive if cls is AdaptiveController else PID)(x, x.copy(), x.copy())
        np.testing.assert_array_equal(np.asarray(got), ref.compute_control(np.asarray(t), np.asarray(p), 0.5))


# --------------------------------------------------------- through the class

@pytest.mark.parametrize("cls", ALL)
def test_compute_control_called_through_the_class(cls):
    c, ref = twins(cls)
    t, p = step(cls, 4)
    np.testing.assert_array_equal(cls.compute_control(c, t, p, 0.2), ref.compute_control(t, p, 0.2))
    t, p = step(cls, 5)
    np.testing.assert_array_equal(cls.compute_control(c, t, dt=0.2, current_position=p), ref.compute_control(t, p, 0.2))
    sub_instance = type("Derived", (cls,), {})(*[vec(cls, 1.0)] * 3)
    assert cls.compute_control(sub_instance, vec(cls, 1.0), vec(cls, 0.0), 0.1).shape == vec(cls, 1.0).shape
    cc = entry(cls, "compute_control", LINES[cls][1])
    assert fails(TypeError, "compute_control() needs an argument", cls.compute_control) == cc
    assert fails(TypeError, "compute_control() needs an argument", cls.compute_control, kw={"dt": 0.1}) == cc
    assert fails(TypeError, _count(CC, "exactly", 3, 1), cls.compute_control, c, t) == cc


@pytest.mark.parametrize("cls", ALL)
def test_foreign_first_argument_is_refused_before_any_field_is_read(cls):
    for other in ALL:
        if other is cls:
            continue
        victim = make(other)
        before = victim.__reduce__()[2]
        snapshot = [np.array(v, copy=True) for v in before]
        g = vec(other, 1.0, 2.0)
        with pytest.raises(TypeError):
            cls.compute_control(victim, g, g, 0.1)
        after = victim.__reduce__()[2]
        assert all(a is b for a, b in zip(after, before))
        for value, saved in zip(after, snapshot):
            np.testing.assert_array_equal(value, saved)
    for foreign in (1, None, "self", np.zeros(3)):
        with pytest.raises(TypeError):
            cls.compute_control(foreign, None, None, 0.1)


@pytest.mark.parametrize("cls", ALL)
def test_pickling_functions_called_through_the_class(cls):
    reducer = cls.__dict__["__kovar_reduce__"]
    setter = cls.__dict__["__kovar_setstate__"]
    c = make(cls)
    assert reducer(c) == c.__reduce__()
    assert fails(TypeError, "__kovar_reduce__() needs an argument", reducer) == []
    assert fails(TypeError, _count(RD, "exactly", 0, 1), reducer, c, 0) == []
    assert fails(TypeError, "__kovar_setstate__() needs an argument", setter) == entry(cls, SS, 16, PICKLE_SOURCE)
    assert fails(TypeError, _count(SS, "exactly", 1, 0), setter, c) == entry(cls, SS, 16, PICKLE_SOURCE)
    with pytest.raises(TypeError):
        setter(object(), ())


# ----------------------------------------------------- signatures, stability

def _signature_cases():
    for cls in ALL:
        c = make(cls)
        n = cls.__name__
        yield pytest.param(cls.compute_control, "(self, target_position, current_position, dt)", id=f"{n}-cc")
        yield pytest.param(c.compute_control, "(target_position, current_position, dt)", id=f"{n}-bound-cc")
        yield pytest.param(cls.__dict__["__kovar_reduce__"], "(self)", id=f"{n}-reduce")
        yield pytest.param(c.__kovar_reduce__, "()", id=f"{n}-bound-reduce")
        yield pytest.param(cls.__dict__["__kovar_setstate__"], "(self, __pyx_state)", id=f"{n}-setstate")
        yield pytest.param(c.__kovar_setstate__, "(__pyx_state)", id=f"{n}-bound-setstate")
        yield pytest.param(unpickler(cls), "(__pyx_type, __pyx_checksum, __pyx_state)", id=f"{n}-unpickle")


@pytest.mark.parametrize("func, expected", list(_signature_cases()))
def test_signatures(func, expected):
    signature = inspect.signature(func)
    assert str(signature) == expected
    assert {p.kind for p in signature.parameters.values()} <= {inspect.Parameter.POSITIONAL_OR_KEYWORD}


@pytest.mark.parametrize("cls", ALL)
def test_refused_calls_change_nothing(cls):
    c, ref = twins(cls)
    t, p = step(cls, 6)
    np.testing.assert_array_equal(c.compute_control(t, p, 0.1), ref.compute_control(t, p, 0.1))
    state = c.__reduce__()[2]
    refused = [
        lambda: c.compute_control(t, p), lambda: c.compute_control(t, p, 0.1, 0.1),
        lambda: c.compute_control(t, p, dt=0.1, kx=1), lambda: c.compute_control(t, p, "dt"),
        lambda: c.compute_control(t, [1.0], 0.1), lambda: c.compute_control([1.0], p, 0.1),
        lambda: c.__init__(t, p), lambda: c.__init__(t, p, [1.0]), lambda: c.__setstate__(),
        lambda: c.__setstate__((), x=1), lambda: c.__reduce__(1),
    ]
    for call in refused:
        with pytest.raises(TypeError):
            call()
    assert all(a is b for a, b in zip(c.__reduce__()[2], state))
    for seed in (7, 8):
        t, p = step(cls, seed)
        np.testing.assert_array_equal(c.compute_control(t, p, 0.1), ref.compute_control(t, p, 0.1))


@pytest.mark.parametrize("cls", ALL)
def test_refused_bindings_leak_nothing(cls):
    c = make(cls)
    g = vec(cls, 1.0, 2.0)
    key = "".join(["k", "x"])
    bad = [1.0]

    def refuse():
        for call in (lambda: cls(g, g, **{key: g}), lambda: c.compute_control(g, g, **{key: g}),
                     lambda: c.compute_control(g, bad, 0.1), lambda: c.compute_control(g, g, bad),
                     lambda: c.compute_control(g, g, g, g), lambda: unpickler(cls)(cls, bad, g),
                     lambda: c.__setstate__(g, __pyx_state=g)):
            try:
                call()
            except TypeError:
                pass
            else:
                raise AssertionError("call was not refused")

    assert_no_leak(refuse, c, g, key, bad)
