"""Random sequences of calls on all three controllers, checked against the
plain NumPy law of reference.py bit for bit.

Every controller lives next to a reference object holding its own copies of
the same field values. Each step (construction, compute_control under every
floating-point error mode, __setstate__ with hostile states, the unpickle
functions with wrong checksums, types and states, pickling, copy, deepcopy)
runs on both; a successful call must give the same bits (NaN payloads aside,
-0.0 and +0.0 told apart) and leave the same state, and a failure must be an
ordinary exception, the reference's own where the reference fails.

By default 100 sequences run, the same ones every time (well under a minute),
so that the suite is a gate that never passes or fails by chance. Setting
KOVAR_FUZZ_EXAMPLES to a number of sequences makes a long run that explores
new random sequences each time.
"""
import copy
import math
import os
import pickle
import re
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, event, settings, strategies as st
from hypothesis.extra import numpy as hnp
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from kovar import regulo
from reference import PID, Adaptive

pytestmark = pytest.mark.slow

EXAMPLES = int(os.environ.get("KOVAR_FUZZ_EXAMPLES", "100"))
EXPLORE = "KOVAR_FUZZ_EXAMPLES" in os.environ


class SubPID(regulo.PIDController):
    pass


class SubPIDXd(regulo.PIDControllerXd):
    pass


class SubAdaptive(regulo.AdaptiveController):
    pass


class Kind:
    def __init__(self, cls, sub, law, ndim, fields, checksum, accepted, params):
        self.cls, self.sub, self.law, self.ndim, self.fields = cls, sub, law, ndim, fields
        self.n, self.checksum, self.accepted, self.params = len(fields), checksum, accepted, params
        self.mismatch = "Incompatible checksums (0x%x vs ({}) = ({}))".format(
            ", ".join(map(hex, accepted)), ", ".join(fields))
        self.unpickle = getattr(regulo, f"__pyx_unpickle_{cls.__name__}")


PID_FIELDS = ("integral", "kd", "ki", "kp", "previous_error")  # state order: sorted names
PID_SUMS = (0x32B920E, 0xB0BFBFA, 0xA7B7F25)
KINDS = [
    Kind(regulo.PIDController, SubPID, PID, 1, PID_FIELDS, 53187086, PID_SUMS, ("kp", "ki", "kd")),
    Kind(regulo.PIDControllerXd, SubPIDXd, PID, 2, PID_FIELDS, 53187086, PID_SUMS, ("kp", "ki", "kd")),
    Kind(regulo.AdaptiveController, SubAdaptive, Adaptive, 1,
         ("error_history", "integral", "kd", "ki", "kp", "learning_rate", "max_adjustment", "previous_error"),
         185867204, (0xB141BC4, 0xB4FF99B, 0x7E19BD2), ("initial_kp", "initial_ki", "initial_kd")),
]

# Failures of the module's own argument and result checks, which the plain
# law does not make.
OWN_CHECK = re.compile(r"^(Buffer |Cannot convert |Item size of buffer |Big-endian buffer |Python does not define |"
                       r"Does not understand |Unexpected |Expected |cannot include dtype )")


class ArraySub(np.ndarray):
    pass


SPECIAL = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, -5e-324, 2.2250738585072014e-308,
           1e308, -1e308, 1.0, -1.0, 0.5, 3.0, 1e-300]
FLOAT64 = st.one_of(st.sampled_from(SPECIAL), st.floats(width=64))
DTYPES = st.sampled_from(["f8", "<f8", "=f8", ">f8", "f4", "f2", "i8", "i4", "u1", "?", "c16", "g", "M8[s]"])


@st.composite
def arrays(draw, ndim, shape=None, float64=False):
    """Arrays of every kind the module meets: float64 mostly (special values
    included), other dtypes and byte orders, strided and reversed views,
    Fortran order, read-only, a subclass."""
    shape = shape or tuple(draw(st.integers(1, 3)) for _ in range(ndim))
    if not float64 and draw(st.integers(0, 3)) == 0:
        dtype = np.dtype(draw(DTYPES))
        a = draw(hnp.arrays(dtype, shape)) if dtype.kind != "M" else np.zeros(shape, dtype)
    else:
        a = draw(hnp.arrays(np.float64, shape, elements=FLOAT64))
    view = draw(st.sampled_from(["plain", "strided", "reversed", "readonly", "sub", "fortran"]))
    if view == "strided":
        a = np.repeat(a, 2, axis=-1)[..., ::2]
    elif view == "reversed":
        a = a[..., ::-1]
    elif view == "readonly":
        a = a.copy()
        a.setflags(write=False)
    elif view == "sub":
        a = a.view(ArraySub)
    elif view == "fortran":
        a = np.asfortranarray(a)
    return a


def operands(ndim):
    """Array arguments: arrays of the right and the wrong number of
    dimensions, None, and things that are not arrays."""
    return st.one_of(arrays(ndim), arrays(ndim), arrays(ndim), arrays(3 - ndim), st.just(None),
                     st.sampled_from([[1.0, 2.0], 1.5, "x", (1.0,)]))


DTS = st.one_of(st.sampled_from([0, 0.0, -0.0, -0.1, math.nan, math.inf, -math.inf, 1, True, 5e-324, 1e308,
                                 np.float64(0.25), np.float32(0.5), np.int64(2), "0.1", None, 1j, 2**1100]),
                st.floats(width=64))

# Field values a hostile state may carry: anything picklable and comparable.
ELEMENTS = st.one_of(st.none(), FLOAT64, st.integers(-3, 3), st.sampled_from(["s", (0.5,)]),
                     st.builds(lambda: [1.0, 2.0]), st.builds(lambda: {"x": 1}),
                     arrays(1), arrays(2), st.builds(lambda: np.float64(2.0)), st.builds(lambda: np.zeros(0)))


def same_bits(a, b):
    """Equal as the same bits: types, dtypes and shapes match, floats are
    compared by their representation (NaNs match any NaN)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, (np.ndarray, np.generic)):
        a, b = np.asarray(a), np.asarray(b)
        if a.dtype != b.dtype or a.shape != b.shape:
            return False
        if a.dtype.kind in "fc":  # equal values of equal sign have equal bits
            x, y = (np.stack([z.real, z.imag]) if z.dtype.kind == "c" else z for z in (a, b))
            nan = np.isnan(x)
            return bool((nan == np.isnan(y)).all() and (x == y)[~nan].all()
                        and (np.signbit(x) == np.signbit(y))[~nan].all())
        if a.dtype.kind == "O":
            return all(same_bits(x, y) for x, y in zip(a.ravel(), b.ravel()))
        if a.dtype.kind in "mM":  # NaT never equals itself: compare the integers
            a, b = a.view(np.int64), b.view(np.int64)
        return bool((a == b).all()) if a.size else True
    if isinstance(a, float):
        return same_bits(np.float64(a), np.float64(b))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same_bits(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same_bits(a[k], b[k]) for k in a)
    return a == b


def outcome(func, *args, fp=None):
    """(result, exception, warnings) of one call under np.errstate(all=fp)."""
    with warnings.catch_warnings(record=True) as caught, np.errstate(**({"all": fp} if fp else {})):
        warnings.simplefilter("always")
        try:
            result, error = func(*args), None
        except Exception as e:  # anything else (a crash, SystemExit) ends the test
            result, error = None, e
    return result, error, [(w.category, str(w.message)) for w in caught]


def clone(values):
    """A deep copy that keeps arrays read-only where they were."""
    copies = copy.deepcopy(values)

    def lock(original, duplicate):
        if isinstance(original, np.ndarray) and not original.flags.writeable:
            duplicate.setflags(write=False)
        elif isinstance(original, (list, tuple)):
            for x, y in zip(original, duplicate):
                lock(x, y)
    lock(values, copies)
    return copies


def same_error(a, b):
    return type(a) is type(b) and str(a) == str(b)


def as_float(x):
    """float(x) as a double parameter converts: strings and None refused."""
    if isinstance(x, (str, bytes, complex)) or x is None:
        raise TypeError(f"must be real number, not {type(x).__name__}")
    return float(x)


def array_error(name, x, ndim):
    """The refusal of an array argument the module checks, as (type, message
    or None when the message is not modelled here), or None."""
    if x is None:
        return None
    if not isinstance(x, np.ndarray):
        return TypeError, f"Argument '{name}' has incorrect type (expected numpy.ndarray, got {type(x).__name__})"
    if x.dtype.kind == "M":
        return ValueError, None
    if x.ndim != ndim:
        return ValueError, f"Buffer has wrong number of dimensions (expected {ndim}, got {x.ndim})"
    if x.dtype == np.dtype(">f8"):
        return ValueError, "Big-endian buffer not supported on little-endian compiler"
    if x.dtype != np.float64:
        return ValueError, None
    return None


def refusal(doubles, named_arrays, ndim):
    """The module's own refusal of a call, in its order (double conversions,
    then the type tests, then the buffers) as (type, message or None), or
    None; with the converted doubles."""
    try:
        converted = [as_float(x) for x in doubles]
    except Exception as e:
        return (type(e), None if isinstance(e, OverflowError) else str(e)), None
    errors = [e for e in (array_error(n, x, ndim) for n, x in named_arrays) if e]
    return next((e for e in errors if e[0] is TypeError), errors[0] if errors else None), converted


class Pair:
    """A controller and its reference."""

    def __init__(self, kind, native, ref):
        self.kind, self.native, self.ref = kind, native, ref

    def native_state(self):
        reduced = self.native.__reduce__()
        return (reduced[2] if len(reduced) == 3 else reduced[1][2])[:self.kind.n]

    def ref_state(self):
        return tuple(getattr(self.ref, name, None) for name in self.kind.fields)

    def resync(self):
        """After a failure only the module's checks make: the reference takes
        copies of the state the controller was left in."""
        for name, value in zip(self.kind.fields, clone(self.native_state())):
            setattr(self.ref, name, value)


def bare_reference(kind, values=None):
    ref = kind.law.__new__(kind.law)
    for name, value in zip(kind.fields, clone(values) if values is not None else [None] * kind.n):
        setattr(ref, name, value)
    return ref


class Controllers(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.pairs = []

    def expect_refusal(self, error, expected, state_before, pair):
        assert error is not None, f"accepted; expected {expected}"
        assert type(error) is expected[0] and (expected[1] is None or str(error) == expected[1]), (error, expected)
        if pair is not None:
            assert all(x is y for x, y in zip(pair.native_state(), state_before))

    @initialize(kind=st.sampled_from(KINDS), data=st.data())
    def first(self, kind, data):
        """One controller built from float64 gains of one shape, so that
        control calls succeed from the start."""
        shape = data.draw(hnp.array_shapes(min_dims=kind.ndim, max_dims=kind.ndim, max_side=3), label="shape")
        gains = [data.draw(hnp.arrays(np.float64, shape, elements=FLOAT64), label=n) for n in kind.params]
        self.pairs.append(Pair(kind, kind.cls(*gains), kind.law(*clone(gains))))

    @rule(kind=st.sampled_from(KINDS), sub=st.booleans(), data=st.data())
    def construct(self, kind, sub, data):
        gains = [data.draw(operands(kind.ndim), label=name) for name in kind.params]
        extra = data.draw(st.lists(DTS, max_size=2), label="rates") if kind.cls is regulo.AdaptiveController else []
        cls = kind.sub if sub else kind.cls
        native, error, _ = outcome(cls, *gains, *extra)
        refused, converted = refusal(extra, zip(kind.params, gains), kind.ndim)
        if refused:
            return self.expect_refusal(error, refused, (), None)
        ref, ref_error, _ = outcome(kind.law, *[clone(g) for g in gains], *converted)
        if ref_error is not None:
            assert same_error(error, ref_error), (error, ref_error)
            return
        assert error is None, error
        self.pairs.append(pair := Pair(kind, native, ref))
        self.check(pair)

    @precondition(lambda self: self.pairs)
    @rule(data=st.data(), fp=st.sampled_from([None, "raise", "warn", "ignore"]))
    def compute(self, data, fp):
        pair = data.draw(st.sampled_from(self.pairs), label="controller")
        ndim = pair.kind.ndim
        if data.draw(st.integers(0, 2), label="fitting") > 0:
            target, current = self.fitting(pair, data)
        else:
            target, current = (data.draw(operands(ndim), label=n) for n in ("target", "current"))
        self.step(pair, target, current, data.draw(DTS, label="dt"), fp)

    @precondition(lambda self: self.pairs)
    @rule(data=st.data(), fp=st.sampled_from([None, "raise", "warn", "ignore"]),
          dts=st.lists(st.one_of(st.floats(-1, 1), st.sampled_from([0.0, -0.0, 0.1])), min_size=1, max_size=6))
    def run(self, data, fp, dts):
        """Several control periods of one controller on fitting arrays."""
        pair = data.draw(st.sampled_from(self.pairs), label="controller")
        for dt in dts:
            self.step(pair, *self.fitting(pair, data), dt, fp)

    @staticmethod
    def fitting(pair, data):
        """Target and current positions: float64 arrays shaped like kp."""
        kp, ndim = pair.native_state()[pair.kind.fields.index("kp")], pair.kind.ndim
        shape = kp.shape if isinstance(kp, np.ndarray) and kp.ndim == ndim and kp.size else None
        return [data.draw(arrays(ndim, shape, float64=True), label=n) for n in ("target", "current")]

    def step(self, pair, target, current, dt, fp):
        before = pair.native_state()
        result, error, caught = outcome(pair.native.compute_control, target, current, dt, fp=fp)
        refused, converted = refusal([dt], (("target_position", target), ("current_position", current)), pair.kind.ndim)
        event(f"compute: {'refused' if refused else 'failed' if error else 'ok'}")
        if refused:
            return self.expect_refusal(error, refused, before, pair)
        expected, ref_error, ref_caught = outcome(pair.ref.compute_control, *clone((target, current)), *converted, fp=fp)
        if error is not None and OWN_CHECK.match(str(error)) and not same_error(error, ref_error):
            self.resync(pair)
            return
        assert same_error(error, ref_error), (error, ref_error)
        assert caught == ref_caught
        assert error is not None or same_bits(result, expected), (result, expected)
        self.check(pair)

    @precondition(lambda self: self.pairs)
    @rule(data=st.data())
    def set_state(self, data):
        pair = data.draw(st.sampled_from(self.pairs), label="controller")
        n = pair.kind.n
        state = data.draw(st.one_of(
            st.lists(ELEMENTS, min_size=n, max_size=n + 2).map(tuple),
            st.lists(ELEMENTS, max_size=n - 1).map(tuple),
            st.sampled_from([None, [None] * n, "state", 1.5])), label="state")
        before = pair.native_state()
        _, error, _ = outcome(pair.native.__setstate__, state)
        if state is not None and type(state) is not tuple:
            return self.expect_refusal(error, (TypeError, f"Expected tuple, got {type(state).__name__}"), before, pair)
        if state is None:
            return self.expect_refusal(error, (TypeError, "'NoneType' object is not subscriptable"), before, pair)
        for name, value in zip(pair.kind.fields, clone(state)):  # stores take effect one by one
            setattr(pair.ref, name, value)
        if len(state) < n:
            assert type(error) is IndexError and str(error) == "tuple index out of range"
        elif len(state) > n and type(pair.native) is pair.kind.sub:
            _, update_error, _ = outcome({}.update, state[n])
            assert same_error(error, update_error) if update_error else error is None
        else:
            assert error is None, error
        self.check(pair)

    @rule(kind=st.sampled_from(KINDS), data=st.data())
    def unpickle(self, kind, data):
        cls = data.draw(st.sampled_from([kind.cls, kind.sub, *(k.cls for k in KINDS if k is not kind), int, None]), label="type")
        checksum = data.draw(st.one_of(st.sampled_from([*kind.accepted, kind.checksum + 0.5, True, -5, 2**70, "1"]),
                                       st.integers(-2**63, 2**63 - 1)), label="checksum")
        state = data.draw(st.one_of(st.none(), st.lists(ELEMENTS, min_size=kind.n, max_size=kind.n).map(tuple),
                                    st.lists(ELEMENTS, max_size=kind.n + 1).map(tuple), st.just([None] * kind.n)),
                          label="state")
        native, error, _ = outcome(kind.unpickle, cls, checksum, state)
        if isinstance(checksum, str):
            return self.expect_refusal(error, (TypeError, "an integer is required"), (), None)
        if isinstance(checksum, int) and not -2**63 <= checksum < 2**63:
            return self.expect_refusal(error, (OverflowError, "Python int too large to convert to C long"), (), None)
        if int(checksum) not in kind.accepted:
            return self.expect_refusal(error, (pickle.PickleError, kind.mismatch % int(checksum)), (), None)
        if not (isinstance(cls, type) and issubclass(cls, kind.cls)):
            return self.expect_refusal(error, (TypeError, None), (), None)
        if state is not None and type(state) is not tuple:
            return self.expect_refusal(error, (TypeError, f"Expected tuple, got {type(state).__name__}"), (), None)
        if state is not None and len(state) < kind.n:
            return self.expect_refusal(error, (IndexError, "tuple index out of range"), (), None)
        if state is not None and len(state) > kind.n and cls is kind.sub:
            _, update_error, _ = outcome({}.update, state[kind.n])
            if update_error:
                return self.expect_refusal(error, (type(update_error), str(update_error)), (), None)
        assert error is None and type(native) is cls, error
        self.pairs.append(pair := Pair(kind, native, bare_reference(kind, state)))
        self.check(pair)

    @precondition(lambda self: self.pairs)
    @rule(data=st.data(), how=st.sampled_from(["copy", "deepcopy", *range(pickle.HIGHEST_PROTOCOL + 1)]))
    def duplicate(self, data, how):
        pair = data.draw(st.sampled_from(self.pairs), label="controller")
        if how == "copy":
            dup = lambda o: copy.copy(o)
        elif how == "deepcopy":
            dup = copy.deepcopy
        else:
            dup = lambda o: pickle.loads(pickle.dumps(o, how))
        native, error, _ = outcome(dup, pair.native)
        assert error is None, error
        assert type(native) is type(pair.native)
        self.pairs.append(new := Pair(pair.kind, native, dup(pair.ref)))
        self.check(new)
        if how == "copy":  # a shallow copy shares every field object
            assert all(x is y for x, y in zip(new.native_state(), pair.native_state()))

    def resync(self, pair):
        """The reference takes copies of the controller's state; controllers
        sharing field objects with it (shallow copies) no longer have
        references that share, so they leave the run."""
        pair.resync()
        shared = {id(x) for x in pair.native_state() if isinstance(x, (np.ndarray, list, dict))}
        self.pairs = [p for p in self.pairs if p is pair or not shared & {id(x) for x in p.native_state()}]

    def check(self, pair):
        native, ref = pair.native_state(), pair.ref_state()
        assert len(native) == len(ref)
        for name, x, y in zip(pair.kind.fields, native, ref):
            assert same_bits(x, y), (name, x, y)

    @invariant()
    def states_match(self):
        for pair in self.pairs:
            self.check(pair)
        del self.pairs[:-6]  # a few controllers at a time keep the steps short



TestControllers = Controllers.TestCase
TestControllers.settings = settings(max_examples=EXAMPLES, stateful_step_count=25, deadline=None,
                                    derandomize=not EXPLORE, database=None,
                                    suppress_health_check=list(HealthCheck), report_multiple_bugs=False)
