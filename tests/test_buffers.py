"""Which arrays the controllers accept as gains and positions: float64 in the
class's number of dimensions, in any memory layout; everything else refused
with the exact buffer messages, without touching the controller's state."""
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from conftest import SOURCE, assert_no_leak, kovar_entries
from reference import PID, Adaptive
from kovar.regulo import AdaptiveController, PIDController, PIDControllerXd

ALL = (PIDController, PIDControllerXd, AdaptiveController)
NDIM = {PIDController: 1, PIDControllerXd: 2, AdaptiveController: 1}
SHAPE = {PIDController: (3,), PIDControllerXd: (2, 3), AdaptiveController: (3,)}
# lines of the __init__ and compute_control definitions, and of the error subtraction
LINES = {PIDController: (8, 16, 19), PIDControllerXd: (38, 49, 55), AdaptiveController: (77, 92, 96)}


def entry(cls, method):
    line = LINES[cls][0 if method == "__init__" else 1]
    return [(f"kovar.regulo.{cls.__name__}.{method}", SOURCE, line)]


def reference(cls, *gains):
    return (Adaptive if cls is AdaptiveController else PID)(*[np.array(g, dtype=np.float64) for g in gains])


def randoms(cls, count, seed):
    rng = np.random.default_rng(seed)
    return [rng.uniform(-3, 3, SHAPE[cls]) for _ in range(count)]


def make(cls):
    return cls(*randoms(cls, 3, 0))


def state(c):
    return c.__reduce__()[2]


class Sub(np.ndarray):
    pass


def _readonly(v):
    w = v.copy()
    w.flags.writeable = False
    return w


def _struct_field(v):
    s = np.zeros(v.shape, [("a", "f8"), ("b", "f8")])
    s["a"] = v
    return s["a"]


LAYOUTS = {
    "contiguous": lambda v: v,
    "read-only": _readonly,
    "read-only foreign buffer": lambda v: np.frombuffer(v.tobytes()).reshape(v.shape),
    "every second element": lambda v: np.repeat(v, 2, axis=-1)[..., ::2],
    "negative strides": lambda v: np.flip(np.flip(v).copy()),
    "fortran order": np.asfortranarray,
    "transposed": lambda v: np.ascontiguousarray(v.T).T,
    "field of a structure": _struct_field,
    "subclass": lambda v: v.view(Sub),
    "explicit byte order": lambda v: v.astype("=f8").astype("<f8"),
}


@pytest.mark.parametrize("layout", LAYOUTS, ids=list(LAYOUTS))
@pytest.mark.parametrize("cls", ALL)
def test_float64_arrays_in_any_layout_are_accepted(cls, layout):
    shape = LAYOUTS[layout]
    gains = randoms(cls, 3, 1)
    c, ref = cls(*map(shape, gains)), reference(cls, *gains)
    for seed in (2, 3, 4):
        t, p = randoms(cls, 2, seed)
        got = c.compute_control(shape(t), shape(p), 0.25)
        np.testing.assert_array_equal(np.asarray(got), ref.compute_control(t, p, 0.25))


@pytest.mark.parametrize("cls", ALL)
def test_empty_and_absorbed_subarray_shapes(cls):
    empty = np.zeros((2, 0) if NDIM[cls] == 2 else (0,))
    assert cls(empty, empty, empty).compute_control(empty, empty, 0.1).shape == empty.shape
    # A sub-array dtype becomes part of the shape: two dimensions of float64.
    absorbed = np.ones(2, dtype=("f8", (3,)))
    if NDIM[cls] == 2:
        np.testing.assert_array_equal(cls(absorbed, absorbed, absorbed).compute_control(absorbed, 0 * absorbed, 1.0),
                                      np.full((2, 3), 3.0))
    else:
        with pytest.raises(ValueError, match=r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"):
            cls(absorbed, None, None)


@pytest.mark.parametrize("dtype", [[("a", "f8")], [("a", "<f8")], [("a", [("b", "f8")])]], ids=str)
@pytest.mark.parametrize("cls", ALL)
def test_structure_of_one_double_is_accepted(cls, dtype):
    one = np.zeros(SHAPE[cls], dtype)
    c = cls(one, one, one)
    # The positions pass the buffer check too; NumPy then has no subtraction for them.
    with pytest.raises(TypeError) as info:
        c.compute_control(one, one, 0.1)
    assert kovar_entries(info.value) == [(f"kovar.regulo.{cls.__name__}.compute_control", SOURCE, LINES[cls][2])]


def _mismatch(got):
    return f"Buffer dtype mismatch, expected 'float64_t' but got {got}"


def _zeros(dtype):
    return lambda shape: np.zeros(shape, dtype)


REFUSED = [
    ("float32", _zeros("f4"), _mismatch("'float'")),
    ("float16", _zeros("f2"), "Unexpected format string character: 'e'"),
    ("complex128", _zeros("c16"), _mismatch("'complex double'")),
    ("complex64", _zeros("c8"), _mismatch("'complex float'")),
    ("bool", _zeros("?"), _mismatch("'bool'")),
    ("int8", _zeros("i1"), _mismatch("'signed char'")),
    ("uint8", _zeros("u1"), _mismatch("'unsigned char'")),
    ("int16", _zeros("i2"), _mismatch("'short'")),
    ("uint16", _zeros("u2"), _mismatch("'unsigned short'")),
    ("int32", _zeros("i4"), _mismatch("'int'")),
    ("uint32", _zeros("u4"), _mismatch("'unsigned int'")),
    ("int64", _zeros("i8"), _mismatch("'long'")),
    ("uint64", _zeros("u8"), _mismatch("'unsigned long'")),
    ("longlong", _zeros(np.longlong), _mismatch("'long long'")),
    ("ulonglong", _zeros(np.ulonglong), _mismatch("'unsigned long long'")),
    ("object", _zeros(object), _mismatch("Python object")),
    ("bytes", _zeros("S5"), _mismatch("a string")),
    ("str", _zeros("U3"), "Does not understand character buffer dtype format string ('w')"),
    ("void", _zeros("V8"), _mismatch("end")),
    ("big-endian", _zeros(">f8"), "Big-endian buffer not supported on little-endian compiler"),
    ("big-endian member", _zeros([("a", ">f8")]), "Big-endian buffer not supported on little-endian compiler"),
    ("two doubles", _zeros([("a", "f8"), ("b", "f8")]), "Buffer dtype mismatch, expected end but got 'double'"),
    ("two floats", _zeros([("a", "f4"), ("b", "f4")]), _mismatch("'float'")),
    ("packed u1 then f8", _zeros([("a", "u1"), ("b", "f8")]), _mismatch("'unsigned char'")),
    ("aligned u1 then f8", _zeros(np.dtype([("a", "u1"), ("b", "f8")], align=True)), _mismatch("'unsigned char'")),
    ("sub-array of one", _zeros([("a", "f8", (1,))]), "Expected 0 dimension(s), got 1"),
    ("sub-array of two", _zeros([("a", "f8", (2,))]), "Expected 0 dimension(s), got 1"),
    ("padded after", _zeros(np.dtype({"names": ["a"], "formats": ["f8"], "itemsize": 16})),
     "Item size of buffer (16 bytes) does not match size of 'float64_t' (8 bytes)"),
    ("padded before", _zeros(np.dtype({"names": ["a"], "formats": ["f8"], "offsets": [8], "itemsize": 16})),
     "Buffer dtype mismatch; next field is at offset 8 but 0 expected"),
    ("datetime64", _zeros("M8[s]"), "cannot include dtype 'M' in a buffer"),
    ("timedelta64", _zeros("m8[s]"), "cannot include dtype 'm' in a buffer"),
]
if np.dtype(np.longdouble).itemsize != 8:
    REFUSED += [("longdouble", _zeros(np.longdouble), _mismatch("'long double'")),
                ("clongdouble", _zeros(np.clongdouble), _mismatch("'complex long double'"))]


def _each_parameter(cls, bad):
    """(callable, arguments, method) with `bad` in each array parameter in turn."""
    good = randoms(cls, 3, 5)
    for i in range(3):
        args = list(good)
        args[i] = bad
        yield cls, args, "__init__"
    for i in range(2):
        args = good[:2] + [0.1]
        args[i] = bad
        yield make(cls).compute_control, args, "compute_control"


@pytest.mark.parametrize("make_bad, message", [r[1:] for r in REFUSED], ids=[r[0] for r in REFUSED])
@pytest.mark.parametrize("cls", ALL)
def test_refused_element_types(cls, make_bad, message):
    bad = make_bad(SHAPE[cls])
    for func, args, method in _each_parameter(cls, bad):
        with pytest.raises(ValueError) as info:
            func(*args)
        assert str(info.value) == message
        assert kovar_entries(info.value) == entry(cls, method)


WRONG_NDIM = [(cls, shape, dtype) for cls in ALL for dtype in ("f8", "f4", ">f8")
              for shape in [(), (2,), (2, 3), (2, 2, 2)] if len(shape) != NDIM[cls]]


@pytest.mark.parametrize("cls, shape, dtype", WRONG_NDIM, ids=lambda v: getattr(v, "__name__", str(v)))
def test_refused_numbers_of_dimensions(cls, shape, dtype):
    # The number of dimensions is checked before the element type.
    message = f"Buffer has wrong number of dimensions (expected {NDIM[cls]}, got {len(shape)})"
    for func, args, method in _each_parameter(cls, np.zeros(shape, dtype)):
        with pytest.raises(ValueError) as info:
            func(*args)
        assert str(info.value) == message
        assert kovar_entries(info.value) == entry(cls, method)


@pytest.mark.parametrize("cls", ALL)
def test_buffers_are_checked_in_declaration_order_before_anything_else(cls):
    shape = SHAPE[cls]
    f4, i8, c16 = (np.zeros(shape, d) for d in ("f4", "i8", "c16"))
    one = np.zeros(shape, [("a", "f8")])
    with pytest.raises(ValueError, match=r"but got 'float'$"):
        cls(f4, i8, c16)
    with pytest.raises(ValueError, match=r"but got 'long'$"):
        cls(one, i8, c16)
    with pytest.raises(ValueError, match=r"but got 'complex double'$"):
        cls(kd=c16, ki=one, kp=None) if cls is not AdaptiveController else cls(one, None, c16)
    c = make(cls)
    with pytest.raises(ValueError, match=r"but got 'long'$"):
        c.compute_control(i8, f4, 0.1)
    # None passes without a buffer; the refusal comes before the subtraction.
    with pytest.raises(ValueError, match=r"but got 'float'$"):
        c.compute_control(None, f4, 0.1)


@pytest.mark.parametrize("cls", ALL)
def test_refusals_leave_the_controller_untouched(cls):
    c, ref = cls(*randoms(cls, 3, 6)), reference(cls, *randoms(cls, 3, 6))
    shape = SHAPE[cls]
    t, p = randoms(cls, 2, 7)
    np.testing.assert_array_equal(c.compute_control(t, p, 0.1), ref.compute_control(t, p, 0.1))
    before = state(c)
    snapshot = [np.array(v, copy=True) for v in before]
    one = np.zeros(shape, [("a", "f8")])
    f4, wrong_ndim, swapped = np.zeros(shape, "f4"), np.zeros(shape + (1,)), np.zeros(shape, ">f8")
    refused = [(f4, p), (t, f4), (one, f4), (wrong_ndim, p), (t, swapped), (None, np.zeros(shape, "M8[s]"))]
    for target, current in refused:
        with pytest.raises(ValueError):
            c.compute_control(target, current, 0.1)
    for gains in [(t, p, f4), (one, one, wrong_ndim), (swapped, None, None)]:
        with pytest.raises(ValueError):
            c.__init__(*gains)
    after = state(c)
    assert all(a is b for a, b in zip(after, before))
    for value, saved in zip(after, snapshot):
        np.testing.assert_array_equal(value, saved)
    for seed in (8, 9):
        t, p = randoms(cls, 2, seed)
        np.testing.assert_array_equal(c.compute_control(t, p, 0.1), ref.compute_control(t, p, 0.1))


@pytest.mark.parametrize("cls", ALL)
def test_checked_buffers_are_released(cls):
    shape = SHAPE[cls]
    c = make(cls)
    good = np.ones(shape)
    one = np.zeros(shape, [("a", "f8")])
    f4, wrong_ndim, swapped, when = (np.zeros(shape, "f4"), np.zeros(shape + (1,)), np.zeros(shape, ">f8"),
                                     np.zeros(shape, "M8[s]"))
    refused = [lambda: cls(one, one, f4), lambda: cls(one, wrong_ndim, None), lambda: cls(swapped, one, one),
               lambda: c.compute_control(one, f4, 0.1), lambda: c.compute_control(good, wrong_ndim, 0.1),
               lambda: c.compute_control(when, good, 0.1)]

    def calls():
        cls(one, one, one)  # accepted through the buffer
        for call in refused:
            try:
                call()
            except ValueError:
                pass
            else:
                raise AssertionError("array was not refused")

    assert_no_leak(calls, c, good, one, f4, wrong_ndim, swapped, when)


def _views(x):
    return st.sampled_from([x, np.flip(x), x[..., ::2], x.T] if x.ndim else [x])


DTYPES = st.one_of(
    hnp.scalar_dtypes(),
    hnp.floating_dtypes(endianness="?"),
    hnp.integer_dtypes(endianness="?"),
    hnp.complex_number_dtypes(endianness="?"),
    hnp.byte_string_dtypes(max_len=4),
    hnp.unicode_string_dtypes(max_len=4),
    hnp.array_dtypes(allow_subarrays=True, max_size=3),
)


@settings(max_examples=200, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_any_array_is_accepted_or_refused_cleanly(data):
    cls = data.draw(st.sampled_from(ALL))
    dtype = data.draw(DTYPES, label="dtype")
    x = data.draw(hnp.arrays(dtype, hnp.array_shapes(min_dims=0, max_dims=3, min_side=1, max_side=3)))
    x = data.draw(_views(x), label="view")
    plain = dtype.fields is None
    expect_ok = x.ndim == NDIM[cls] and dtype.kind == "f" and dtype.itemsize == 8 and dtype.isnative
    with np.errstate(all="ignore"):
        try:
            c = cls(x, x, x)
        except ValueError as error:
            assert not expect_ok, error
            assert kovar_entries(error) == entry(cls, "__init__")
        else:
            assert expect_ok or not plain
            if plain:
                assert c.compute_control(x, x, 0.5).shape == x.shape
        try:
            make(cls).compute_control(x, x, 0.5)
        except ValueError as error:
            assert not expect_ok, error
            assert kovar_entries(error) == entry(cls, "compute_control") or not plain
        except TypeError:
            assert not plain  # a structure that passed: NumPy refuses to subtract it
        else:
            assert expect_ok or not plain
