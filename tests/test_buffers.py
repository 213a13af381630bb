"""Which arrays the controllers accept as gains and positions, and the exact buffer messages for the rest."""
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from conftest import SOURCE, assert_no_leak, kovar_entries
from reference import PID, Adaptive
from kovar.regulo import AdaptiveController as A, PIDController as P, PIDControllerXd as X

ALL = (P, X, A)
NDIM, SHAPE = {P: 1, X: 2, A: 1}, {P: (3,), X: (2, 3), A: (3,)}
LINES = {P: (8, 16), X: (38, 49), A: (77, 92)}  # definitions of __init__ and compute_control
GAINS = {P: ("kp", "ki", "kd"), X: ("kp", "ki", "kd"), A: ("initial_kp", "initial_ki", "initial_kd")}
same = np.testing.assert_array_equal
entry = lambda cls, method: [(f"kovar.regulo.{cls.__name__}.{method}", SOURCE, LINES[cls][method == "compute_control"])]  # noqa
randoms = lambda cls, count, seed: list(np.random.default_rng(seed).uniform(-3, 3, (count,) + SHAPE[cls]))  # noqa: E731


def twins(cls, seed=0, layout=lambda v: v):
    """A native controller on random gains in the given layout, and its pure-Python reference."""
    gains = randoms(cls, 3, seed)
    return cls(*map(layout, gains)), (Adaptive if cls is A else PID)(*[np.array(layout(g)) for g in gains])


LAYOUTS = {
    "contiguous": lambda v: v, "read-only": lambda v: np.broadcast_to(v, v.shape),
    "read-only foreign buffer": lambda v: np.frombuffer(v.tobytes()).reshape(v.shape),
    "every second element": lambda v: np.repeat(v, 2, axis=-1)[..., ::2], "fortran order": np.asfortranarray,
    "negative strides": lambda v: np.flip(np.flip(v).copy()), "transposed": lambda v: np.ascontiguousarray(v.T).T,
    "field of a structure": lambda v: np.rec.fromarrays([v, v])["f1"], "subclass": lambda v: v.view(np.recarray),
    "empty": lambda v: v[..., :0],
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("cls", ALL)
def test_float64_arrays_in_any_layout_are_accepted(cls, layout):
    (c, ref), layout = twins(cls, 1, LAYOUTS[layout]), LAYOUTS[layout]
    for seed in (2, 3):
        t, p = map(layout, randoms(cls, 2, seed))
        same(np.asarray(c.compute_control(t, p, 0.25)), ref.compute_control(np.array(t), np.array(p), 0.25))


got = "Buffer dtype mismatch, expected 'float64_t' but got {}".format
BIG = "Big-endian buffer not supported on little-endian compiler"
QUOTED = {"f4": "float", "c16": "complex double", "c8": "complex float", "?": "bool", "i1": "signed char", "u1": "unsigned char",
          "i2": "short", "u2": "unsigned short", "i4": "int", "u4": "unsigned int", "i8": "long", "u8": "unsigned long",
          np.longlong: "long long", np.ulonglong: "unsigned long long", np.longdouble: "long double",
          np.clongdouble: "complex long double"}
REFUSED = [(dtype, got(f"'{name}'")) for dtype, name in QUOTED.items()  # long double is refused where it has more than 8 bytes
           if np.dtype("g").itemsize != 8 or dtype not in (np.longdouble, np.clongdouble)] + [
    ("f2", "Unexpected format string character: 'e'"), ("U3", "Does not understand character buffer dtype format string ('w')"),
    (object, got("Python object")), ("S5", got("a string")), ("V8", got("end")), (">f8", BIG), ([("a", ">f8")], BIG),
    ("M8[s]", "cannot include dtype 'M' in a buffer"), ("m8[s]", "cannot include dtype 'm' in a buffer"),
    ([("a", "f8"), ("b", "f8")], "Buffer dtype mismatch, expected end but got 'double'"),
    ([("a", "f4"), ("b", "f4")], got("'float'")), ([("a", "u1"), ("b", "f8")], got("'unsigned char'")),
    ([("a", "f8", (1,))], "Expected 0 dimension(s), got 1"),
    ({"names": ["a"], "formats": ["f8"], "itemsize": 16},
     "Item size of buffer (16 bytes) does not match size of 'float64_t' (8 bytes)"),
    ({"names": ["a"], "formats": ["f8"], "offsets": [8], "itemsize": 16},
     "Buffer dtype mismatch; next field is at offset 8 but 0 expected"),
]
CASES = [(cls, SHAPE[cls], dtype, message) for cls in ALL for dtype, message in REFUSED] + [  # dimensions come before the type
    (cls, shape, dtype, f"Buffer has wrong number of dimensions (expected {NDIM[cls]}, got {len(shape)})")
    for cls in ALL for dtype in ("f8", "f4", ">f8") for shape in [(), (2,), (2, 3), (2, 2, 2)] if len(shape) != NDIM[cls]]


@pytest.mark.parametrize("cls, shape, dtype, message", CASES, ids=lambda v: getattr(v, "__name__", str(v).replace(" ", "")))
def test_refused_arrays(cls, shape, dtype, message):
    bad, later = np.zeros(shape, dtype), np.zeros(SHAPE[cls], "c16")  # later parameters are refused too, after this one
    (c, ref), (t, p) = twins(cls), randoms(cls, 2, 1)
    same(c.compute_control(t, p, 0.1), ref.compute_control(t, p, 0.1))
    state = c.__reduce__()[2]
    for method, names, dt in [("__init__", GAINS[cls], []), ("compute_control", ("target_position", "current_position"), [0.1])]:
        for i in range(len(names)):
            args = [None] * i + [bad] + [later] * (len(names) - i - 1) + dt  # None needs no buffer
            for kw in ({}, dict(reversed(list(zip(names + ("dt",), args))))):  # declaration order, not keyword order
                with pytest.raises(ValueError) as info:
                    getattr(c, method)(*([] if kw else args), **kw)
                assert (str(info.value), kovar_entries(info.value)) == (message, entry(cls, method))
    assert all(a is b for a, b in zip(c.__reduce__()[2], state))  # the controller is untouched
    t, p = randoms(cls, 2, 2)
    same(c.compute_control(t, p, 0.1), ref.compute_control(t, p, 0.1))


@pytest.mark.parametrize("cls", ALL)
def test_checked_buffers_are_released(cls):
    c, one, nested = twins(cls)[0], *(np.zeros(SHAPE[cls], d) for d in ([("a", "f8")], [("a", [("b", "<f8")])]))
    refused = [np.zeros(SHAPE[cls], d) for d in ("f4", ">f8", "M8[s]")] + [np.zeros(SHAPE[cls] + (1,))]
    calls = [(func, one, bad, x) for bad in refused for func, x in ((cls, one), (c.compute_control, 0.1))]
    # A structure of one double passes the check through its buffer, also read-only or with negative strides.
    accept = lambda: cls(one, np.broadcast_to(one, one.shape), nested[..., ::-1])  # noqa: E731
    assert_no_leak(lambda: [accept()] + [pytest.raises(ValueError, *call) for call in calls], c, one, nested, *refused)


DTYPES = st.one_of(hnp.scalar_dtypes(), hnp.byte_string_dtypes(max_len=4), hnp.unicode_string_dtypes(max_len=4),
                   hnp.array_dtypes(allow_subarrays=True, max_size=3),
                   *[s(endianness="?") for s in (hnp.floating_dtypes, hnp.integer_dtypes, hnp.complex_number_dtypes)])


@settings(max_examples=200, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.sampled_from(ALL), DTYPES.flatmap(lambda d: hnp.arrays(d, hnp.array_shapes(min_dims=0, max_dims=3, max_side=3))),
       st.sampled_from([lambda x: x, np.flip, lambda x: x[..., ::2], np.transpose]))
def test_any_array_is_accepted_or_refused_cleanly(cls, x, view):
    x, dtype = view(x) if x.ndim else x, x.dtype
    plain, ok = dtype.fields is None, x.ndim == NDIM[cls] and dtype.kind == "f" and dtype.itemsize == 8 and dtype.isnative
    gains = [np.ones(x.shape if x.ndim == NDIM[cls] else SHAPE[cls])] * 3
    for method, call in [("__init__", lambda: cls(x, x, x)), ("compute_control", lambda: cls(*gains).compute_control(x, x, 0.5))]:
        try:
            with np.errstate(all="ignore"):
                call()
        except ValueError as error:
            assert not ok, error
            assert kovar_entries(error) == entry(cls, method) or (method == "compute_control" and not plain)
        except TypeError:
            assert not plain and method == "compute_control"  # a structure that passed: NumPy cannot subtract it
        else:
            assert ok or not plain
