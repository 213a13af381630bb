"""compute_control against the plain NumPy law (tests/reference.py), bit for bit: results, warnings,
errors and state after every call, over random call sequences with non-finite, signed-zero,
subnormal and huge values under every np.errstate mode, and with each condition of the native
pass broken on purpose (the NumPy steps must then run, with everything they do)."""
import gc, math, os, pickle, sys, warnings

import numpy as np
import pytest

from kovar import regulo
from kovar.regulo import AdaptiveController, PIDController, PIDControllerXd
from reference import PID, Adaptive

NUMPY2 = np.lib.NumpyVersion(np.__version__) >= "2.0.0"
PID_FIELDS = ("integral", "kd", "ki", "kp", "previous_error")
ADAPTIVE_FIELDS = ("error_history", "integral", "kd", "ki", "kp", "learning_rate", "max_adjustment", "previous_error")
NAN, INF = float("nan"), float("inf")
WILD = np.array([0.0, -0.0, 1.0, -1.0, 0.5, -2.5, 3.0, 1e-310, -5e-324, 2.2250738585072014e-308, 1e-300, 1e300,
                 -1e300, 1e308, -1.7976931348623157e308, INF, -INF, NAN, 7.0, -0.1])
DTS = [0.01, 0.5, 1.0, 0.0, -0.0, -0.25, NAN, INF, -INF, 5e-324, 1e-310, 1e308]


class Law:
    """One controller class and its plain NumPy twin."""
    def __init__(self, name, cls, ref, ndim, fields):
        self.name, self.cls, self.ref, self.ndim, self.fields = name, cls, ref, ndim, fields

    def __repr__(self):
        return self.name

    def shape(self, n):
        return (n,) if self.ndim == 1 else (2, n)

    def pair(self, *gains):
        return self.cls(*[g.copy() for g in gains]), self.ref(*[g.copy() for g in gains])


LAWS = [Law("pid", PIDController, PID, 1, PID_FIELDS), Law("pid_xd", PIDControllerXd, PID, 2, PID_FIELDS),
        Law("adaptive", AdaptiveController, Adaptive, 1, ADAPTIVE_FIELDS)]
by_law = pytest.mark.parametrize("law", LAWS, ids=repr)
MODES = ["ignore", "warn", "raise", "call", "log"]


def state(c):
    r = c.__reduce__()
    return dict(zip(FIELDS_OF[type(c)], r[2] if len(r) == 3 else r[1][2]))


FIELDS_OF = {PIDController: PID_FIELDS, PIDControllerXd: PID_FIELDS, AdaptiveController: ADAPTIVE_FIELDS}


def set_state(c, r, make=None, **changes):
    """Replaces fields of the native controller and of its twin alike; make(fields) builds the
    changes from each one's own fields, so neither shares an array with the other."""
    mine = {**state(c), **changes, **(make(state(c)) if make else {})}
    c.__setstate__(tuple(mine[f] for f in FIELDS_OF[type(c)]))
    theirs = {**changes, **(make({f: getattr(r, f) for f in FIELDS_OF[type(c)]}) if make else {})}
    for name, value in theirs.items():
        setattr(r, name, value)


def same(a, b):
    """Equal bits, NaN payloads aside; for arrays also type, shape, dtype and its metadata."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        if type(a) is not type(b) or a.shape != b.shape or a.dtype != b.dtype or a.dtype.metadata != b.dtype.metadata:
            return False
        nan_a, nan_b = np.isnan(a), np.isnan(b)
        return bool((nan_a == nan_b).all() and (a.view(np.uint64)[~nan_a] == b.view(np.uint64)[~nan_b]).all())
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or math.copysign(1, a) == math.copysign(1, b) and a == b
    return type(a) is type(b) and a == b


def outcome(obj, args, mode):
    """What one call shows: result or error, warnings and np.errstate call/log reports."""
    reports = []
    class Log:
        def write(self, text):
            reports.append(text)
    handler = {"call": lambda kind, flag: reports.append(kind), "log": Log()}.get(mode)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with np.errstate(all=mode, call=handler):
            try:
                result = ("ok", obj.compute_control(*args))
            except Exception as exc:
                result = ("error", type(exc), str(exc))
    return result, [(w.category, str(w.message)) for w in caught], reports


def check_call(c, r, args, mode="ignore"):
    mine, theirs = outcome(c, args, mode), outcome(r, args, mode)
    assert mine[1:] == theirs[1:] and mine[0][0] == theirs[0][0]
    if mine[0][0] == "ok":
        assert same(mine[0][1], theirs[0][1])
        # the signal takes the dtype instance NumPy's product hands on (kp's)
        assert (mine[0][1].dtype is state(c)["kp"].dtype) == (theirs[0][1].dtype is r.kp.dtype)
    else:
        assert mine[0] == theirs[0]
    canonical = np.dtype(np.float64)
    for name, value in state(c).items():
        theirs_value = getattr(r, name)
        assert same(value, theirs_value), name
        if isinstance(value, np.ndarray):  # new state arrays take the dtype instances NumPy hands on
            assert (value.dtype is canonical, value.dtype is args[0].dtype) == \
                (theirs_value.dtype is canonical, theirs_value.dtype is args[0].dtype), name
    return mine


def draw(rng, shape, wild):
    if not wild:
        return rng.normal(size=shape) * 10.0 ** rng.integers(-3, 4)
    values = rng.choice(WILD, size=shape)
    mask = rng.random(shape) < 0.5
    values[mask] = rng.normal(size=shape)[mask]
    return values


@by_law
@pytest.mark.parametrize("n", [1, 2, 5, 80, 700])
@pytest.mark.parametrize("mode", MODES)
def test_random_sequences_match_the_numpy_law(law, n, mode):
    rng = np.random.default_rng([n, MODES.index(mode), LAWS.index(law)])
    shape = law.shape(n)
    for sequence in range(3):
        gains = [draw(rng, shape, sequence == 2) for _ in range(3)]
        extra = (float(rng.choice([0.01, 1.0, -0.3, 1e300])), float(rng.choice([0.1, 0.0, -0.05, 1e-310, INF]))) \
            if law.cls is AdaptiveController else ()
        c, r = law.pair(*gains)
        if extra:
            set_state(c, r, learning_rate=extra[0], max_adjustment=extra[1])
        for _ in range(25):
            wild = rng.random() < 0.3
            dt = float(rng.choice(DTS)) if wild else float(rng.uniform(0.001, 0.1))
            check_call(c, r, (draw(rng, shape, wild), draw(rng, shape, wild), dt), mode)


@pytest.mark.parametrize("n", [1, 3])
@pytest.mark.parametrize("kp", [0.0, -0.0])
@pytest.mark.parametrize("learning_rate,max_adjustment", [(1.0, INF), (-1.0, INF), (10.0, 0.0), (10.0, -0.0),
                                                          (-10.0, 0.0), (10.0, 0.1), (10.0, -0.2), (10.0, NAN)])
def test_signed_zeros_through_the_mean_and_the_bounds(n, kp, learning_rate, max_adjustment):
    # zero errors and zero bounds: the mean's starting +0.0 and clip's ties show in the sign of kp
    c, r = LAWS[2].pair(np.full(n, kp), np.zeros(n), np.zeros(n))
    set_state(c, r, learning_rate=learning_rate, max_adjustment=max_adjustment)
    for t in [-0.0] * 11 + [0.0] * 2 + [1e-3, -0.0, 0.0, -2.0, 0.05, -0.0, 0.0]:
        check_call(c, r, (np.full(n, t), np.zeros(n), 0.1))


@pytest.mark.parametrize("n", [1, 2, 300])
def test_mean_sums_as_numpy_does(n):
    # unbounded adaptation of zero gains makes kp the running sum of the means: one channel gets
    # NumPy's pairwise sum, more channels a row-by-row sum, and their roundings differ
    rng = np.random.default_rng(n)
    c, r = LAWS[2].pair(np.zeros(n), np.zeros(n), np.zeros(n))
    set_state(c, r, learning_rate=1.0, max_adjustment=INF)
    for _ in range(150):
        check_call(c, r, (rng.normal(size=n), np.full(n, -0.0), 0.01))


def test_a_small_history_rolls_in_place_only_when_nothing_else_sees_it():
    n = 3
    for held in (False, True):
        c, r = LAWS[2].pair(np.ones(n), np.ones(n), np.ones(n))
        check_call(c, r, (np.arange(float(n)), np.zeros(n), 0.1))
        before = state(c)["error_history"]
        kept, old_id = (before, before.copy()) if held else (None, None), id(before)
        del before
        check_call(c, r, (np.arange(float(n)) + 1, np.zeros(n), 0.1))
        after = state(c)["error_history"]
        if held:  # a new history; the one held keeps its rows
            assert after is not kept[0] and np.array_equal(kept[0], kept[1])
        else:  # NumPy 2: no fresh 10 x n history per call
            assert (id(after) == old_id) == NUMPY2


def window_of(history):
    """The id of the array a history is a window of, and the window's first row in it."""
    n = history.shape[1]
    return id(history.base), (history.ctypes.data - history.base.ctypes.data) // (8 * n)


@pytest.mark.skipif(not NUMPY2, reason="NumPy 1.x: the steps run")
@pytest.mark.parametrize("n", [51, 4099])  # 10 x 51 history elements: the native pass lets go of the GIL
def test_a_large_history_moves_up_an_array_nothing_else_sees(n):
    # each call moves the window up one row and writes that row alone; from the top it goes back
    # to the bottom, where the call rolls the rows
    c, r = LAWS[2].pair(np.ones(n), np.ones(n), np.ones(n))
    places = []
    for k in range(25):
        check_call(c, r, (np.full(n, float(k)), np.arange(float(n)), 0.1))
        history = state(c)["error_history"]
        assert history.shape == (10, n) and history.flags.c_contiguous and history.flags.writeable
        places.append(window_of(history))
        del history
    assert len({array for array, _ in places}) == 1
    assert [row for _, row in places] == [10 - k % 11 for k in range(25)]


@pytest.mark.skipif(not NUMPY2, reason="NumPy 1.x: the steps run")
@pytest.mark.parametrize("holder", ["window", "array", "row_view", "weakref", "copy"])
def test_a_history_anyone_else_sees_is_never_written_again(holder):
    import copy, weakref
    n = 300
    c, r = LAWS[2].pair(np.ones(n), np.ones(n), np.ones(n))
    for k in range(3):
        check_call(c, r, (np.full(n, float(k)), np.zeros(n), 0.1))
    window = state(c)["error_history"]
    rows, array = window.copy(), window.base.copy()
    held = {"window": window, "array": window.base, "row_view": window.base[1], "copy": copy.copy(c),
            "weakref": weakref.ref(window)}[holder]
    old = window_of(window)
    del window
    for k in range(3, 25):  # past the top of the array and back
        check_call(c, r, (np.full(n, float(k)), np.zeros(n), 0.1))
        assert window_of(state(c)["error_history"])[0] != old[0]
    if holder == "weakref":  # replaced, not written again, and nothing kept it alive
        assert held() is None
    elif holder == "copy":
        assert np.array_equal(state(held)["error_history"], rows)
    else:  # the array the window was in, and so every view of it, is as it was
        base = held if holder == "array" else held.base
        assert np.array_equal(base, array)


@by_law
@pytest.mark.parametrize("how", [None, "held", "view", "weakref", "read_only", "int64"])
def test_a_replaced_previous_error_is_written_again_only_when_nothing_can_see_it(law, how):
    shape = law.shape(700)
    rng = np.random.default_rng(3)
    c, r = law.pair(*[rng.uniform(0.5, 1.5, shape) for _ in range(3)])
    check_call(c, r, (rng.normal(size=shape), rng.normal(size=shape), 0.1))
    before = state(c)["previous_error"]
    values, old_id = before.copy(), id(before)
    holder = {"held": before, "view": before[..., 1:], "weakref": __import__("weakref").ref(before)}.get(how)
    for field in (before, r.previous_error):  # changed in both controllers while it is their state
        if how == "read_only":
            field.flags.writeable = False
        elif how == "int64":
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)  # NumPy 2.5 deprecates it
                field.dtype = np.int64
    del before
    ids = []
    for dt in (0.1, 0.2, 0.0, 0.3):
        check_call(c, r, (rng.normal(size=shape), rng.normal(size=shape), dt))
        now = state(c)["previous_error"]
        assert now.flags.writeable and now.flags.owndata and now.base is None
        ids.append(id(now))
        del now
    if how in ("held", "view"):
        assert np.array_equal(holder if how == "held" else holder.base, values)
    elif how == "weakref":
        assert holder() is None
    elif how is None and NUMPY2:  # the dropped error takes a later call's (NumPy 1.x has no native
        assert old_id in ids      # pass, and a freed array's id may come back there anyway)


@pytest.mark.slow
@pytest.mark.skipif(not NUMPY2, reason="NumPy 1.x: the steps run, and they write row 0 of a history they have stored")
def test_a_history_taken_during_a_large_call_is_whole_and_stays_so():
    # another thread takes the history (__reduce__, copy.copy) while the native pass works without
    # the GIL: what it gets is a history of whole rows that no later call changes
    import copy, threading
    n, sample = 2 * 10**6, slice(None, None, 4099)
    c = AdaptiveController(np.ones(n), np.ones(n), np.ones(n))
    stop, taken, torn, kept = threading.Event(), [0], [], []

    def take():
        while not stop.is_set():
            for history in (c.__reduce__()[2][0], state(copy.copy(c))["error_history"]):
                rows = history[:, sample].copy()
                taken[0] += 1
                torn.extend(k for k, row in enumerate(rows) if row.min() != row.max())
                if len(kept) < 3 and all(h is not history for h, _ in kept):
                    kept.append((history, rows))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    thread = threading.Thread(target=take)
    thread.start()
    try:
        for k in range(12):  # every row of a history is one call's error, the same in every channel
            c.compute_control(np.full(n, float(k + 1)), np.zeros(n), 0.1)
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
    assert taken[0] > 0 and torn == []
    for history, rows in kept:
        assert np.array_equal(history[:, sample], rows)
    assert np.array_equal(state(c)["error_history"][:, 0], np.arange(12.0, 2.0, -1.0))


class Sub(np.ndarray):
    pass


MD = np.dtype(np.float64, metadata={"unit": "s"})
OPERANDS = {  # how an argument is made unlike a plain C-ordered float64 array
    "subclass": lambda a: a.view(Sub),
    "strided": lambda a: np.repeat(a, 2, axis=-1)[..., ::2],
    "fortran": np.asfortranarray,
    "metadata": lambda a: a.astype(MD),
    "unpickled_dtype": lambda a: pickle.loads(pickle.dumps(a)),
    "unaligned": lambda a: np.frombuffer(bytearray(b"\0" + a.tobytes()), dtype=np.float64, offset=1).reshape(a.shape),
    "readonly": lambda a: np.frombuffer(a.tobytes(), dtype=np.float64).reshape(a.shape),
    "big_endian": lambda a: a.astype(">f8"),
}


@by_law
@pytest.mark.parametrize("how", list(OPERANDS))
@pytest.mark.parametrize("where", ["target", "kp", "integral", "previous_error", "ki", "error_history"])
def test_unusual_operands_and_state_behave_as_numpy(law, how, where):
    if where == "error_history" and law.cls is not AdaptiveController or where == "target" and how == "big_endian":
        pytest.skip("no such field; or refused by the argument checks")
    shape = law.shape(4)
    rng = np.random.default_rng(3)
    c, r = law.pair(*[rng.uniform(0.5, 2, shape) for _ in range(3)])
    t, x = rng.normal(size=shape), rng.normal(size=shape)
    check_call(c, r, (t, x, 0.1))
    if how == "fortran" and law.ndim == 1 and where != "error_history":
        pytest.skip("one-dimensional arrays are C- and Fortran-ordered alike")
    if where == "target":
        t = OPERANDS[how](t)
    else:
        set_state(c, r, lambda fields: {where: OPERANDS[how](fields[where])})
    for dt in (0.1, 0.0, NAN):
        check_call(c, r, (t, x, dt))


ALIASES = {"same": (0, 0), "overlap": (0, 1), "disjoint": (0, None), "behind": (1, 0)}


@by_law
@pytest.mark.parametrize("alias", list(ALIASES))
@pytest.mark.parametrize("other", ["kp", "previous_error", "ki"])
def test_aliased_state_arrays_behave_as_numpy(law, alias, other):
    # state restored from a pickle may share memory between gains and state
    shape = law.shape(4)
    size = int(np.prod(shape))
    first, second = ALIASES[alias]
    def make(fields):
        buf = np.arange(1.0, 2 * size + 3) / 8
        view = lambda at: buf[at:at + size].reshape(shape)
        return {other: view(first), "integral": view(size + 1 if second is None else second)}
    c, r = law.pair(*[np.full(shape, v) for v in (1.5, 0.5, 0.25)])
    set_state(c, r, make)
    for dt in (0.1, 0.25, 0.0):
        check_call(c, r, (np.full(shape, 2.0), np.full(shape, -1.0), dt))


def test_history_aliasing_state_or_shared_through_a_base_behaves_as_numpy():
    c, r = LAWS[2].pair(np.ones(3), np.ones(3), np.ones(3))
    bases = []
    set_state(c, r, lambda fields: {"error_history": bases.append(np.zeros((11, 3))) or bases[-1][1:]})
    check_call(c, r, (np.arange(3.0), np.zeros(3), 0.1))
    assert not any(base.any() for base in bases)  # the base of the old history is never written
    set_state(c, r, lambda fields: {"error_history": (big := np.ones((10, 3))), "integral": big[4]})
    for dt in (0.1, 0.0):
        check_call(c, r, (np.arange(3.0), np.zeros(3), dt))


@pytest.mark.parametrize("name,value", [("learning_rate", type("F", (float,), {})(0.5)), ("max_adjustment", 1),
                                        ("learning_rate", np.float64(0.25)), ("max_adjustment", np.array([0.1, 0.2, 0.3]))])
def test_adaptive_rates_other_than_float_behave_as_numpy(name, value):
    c, r = LAWS[2].pair(np.ones(3), np.ones(3), np.ones(3))
    set_state(c, r, **{name: value})
    for dt in (0.1, 0.0):
        check_call(c, r, (np.array([1.0, -2.0, 3.0]), np.zeros(3), dt))


class Recorder:
    """Wraps a NumPy function and counts its calls."""
    def __init__(self, function):
        self.function, self.calls = function, 0

    def __call__(self, *args, **kwargs):
        self.calls += 1
        return self.function(*args, **kwargs)


@pytest.mark.parametrize("law,name,dt", [(LAWS[0], "zeros_like", 0.0), (LAWS[1], "zeros_like", -1.0),
                                         (LAWS[2], "roll", 0.1), (LAWS[2], "mean", 0.1), (LAWS[2], "clip", 0.1),
                                         (LAWS[2], "zeros_like", 0.0)])
@pytest.mark.parametrize("how", ["numpy_attribute", "np_rebound"])
def test_replaced_numpy_functions_get_called(monkeypatch, law, name, dt, how):
    shape = law.shape(3)
    c, r = law.pair(np.ones(shape), np.ones(shape), np.ones(shape))
    recorder = Recorder(getattr(np, name))
    if how == "numpy_attribute":
        monkeypatch.setattr(np, name, recorder)
    else:
        fake = type(sys)("fake_numpy")
        fake.__dict__.update({k: getattr(np, k) for k in ("zeros_like", "roll", "mean", "clip", "float64")})
        setattr(fake, name, recorder)
        monkeypatch.setattr(regulo, "np", fake, raising=False)
    for _ in range(3):  # the reference sees a replacement in numpy too, not one in the module
        check_call(c, r, (np.full(shape, 2.0), np.zeros(shape), dt))
    assert recorder.calls == (6 if how == "numpy_attribute" else 3)


@by_law
def test_a_profiler_sees_the_numpy_functions_of_the_steps(law):
    shape = law.shape(3)
    c, r = law.pair(np.ones(shape), np.ones(shape), np.ones(shape))
    seen = []
    sys.setprofile(lambda frame, event, arg: seen.append(frame.f_code.co_name) if event == "call" else None)
    try:
        c.compute_control(np.full(shape, 2.0), np.zeros(shape), 0.0)
    finally:
        sys.setprofile(None)
    r.compute_control(np.full(shape, 2.0), np.zeros(shape), 0.0)
    assert "zeros_like" in seen and ("roll" in seen) == (law.cls is AdaptiveController)
    check_call(c, r, (np.full(shape, 2.0), np.zeros(shape), 0.0))


# A sys.monitoring tool sees NumPy's Python-level functions in the steps; the native pass steps
# aside for it where the interpreter tells cheaply whether one is active (3.13 on), not on 3.12.
MONITORED = sys.version_info >= (3, 13) or not NUMPY2


@pytest.fixture
def monitoring_tool():
    if sys.version_info < (3, 12):
        pytest.skip("sys.monitoring comes with 3.12")
    mon = sys.monitoring
    tool = next(i for i in range(6) if mon.get_tool(i) is None)
    mon.use_tool_id(tool, "kovar-test")

    def watch(callback):
        mon.register_callback(tool, mon.events.PY_START, callback)
        mon.set_events(tool, mon.events.PY_START)
    yield watch
    mon.set_events(tool, 0)
    mon.register_callback(tool, mon.events.PY_START, None)
    mon.free_tool_id(tool)


@by_law
@pytest.mark.parametrize("dt", [0.1, 0.0])
def test_a_monitoring_tool_sees_the_numpy_functions_of_the_steps(law, dt, monitoring_tool):
    shape = law.shape(3)
    c, r = law.pair(np.ones(shape), np.ones(shape), np.ones(shape))
    seen = []
    monitoring_tool(lambda code, offset: seen.append(code.co_name))
    for _ in range(2):
        seen.clear()
        c.compute_control(np.full(shape, 2.0), np.zeros(shape), dt)
        steps = {"roll", "mean", "clip"} if law.cls is AdaptiveController else set()
        steps |= {"zeros_like"} if dt == 0.0 else set()
        assert steps <= set(seen) if MONITORED else set(seen) & steps == set()
        r.compute_control(np.full(shape, 2.0), np.zeros(shape), dt)
    check_call(c, r, (np.full(shape, 3.0), np.ones(shape), dt))  # the same bits either way


@pytest.mark.skipif(not MONITORED, reason="3.12 has no cheap check for monitoring tools: the native pass runs")
def test_a_monitoring_callback_raising_inside_the_steps_stops_the_call(monitoring_tool):
    c, r = LAWS[2].pair(np.ones(3), np.ones(3), np.ones(3))
    check_call(c, r, (np.full(3, 2.0), np.zeros(3), 0.1))

    def stop(code, offset):
        if code.co_name == "roll":
            raise LookupError("stopped in roll")
    monitoring_tool(stop)
    assert check_call(c, r, (np.full(3, 5.0), np.zeros(3), 0.1))[0] == ("error", LookupError, "stopped in roll")


@by_law
@pytest.mark.parametrize("mode", ["raise", "call"])
def test_floating_point_errors_leave_the_partial_state_of_the_steps(law, mode):
    shape = law.shape(2)
    c, r = law.pair(np.full(shape, 1e300), np.full(shape, 1e300), np.full(shape, 1e-300))
    for t, dt in ((1e300, 1e10), (1.0, 0.0), (-INF, 0.5), (NAN, 0.1), (1e-320, 1e-10), (0.0, 0.1)):
        check_call(c, r, (np.full(shape, t), np.zeros(shape), dt), mode)


def hard_to_take_back(law, n, flagged):
    """A controller pair and the inputs of one call whose in-place updates mix channels where
    subtracting the step gives the old value back and channels where it does not: an integral
    (and kp) tiny next to its step, -0.0 under a +0.0 step, a finite value under an infinite
    step. The channel `flagged` ("first", "last" or None) overflows in target - current."""
    shape = law.shape(n)
    kinds = np.arange(n) % 4
    integral = np.choose(kinds, [1e-20, -0.0, 0.3, 5.0])
    error = np.choose(kinds, [1.0, 0.0, 0.7, INF])
    kp = np.choose(kinds, [1e-20, -0.0, 2.0, 0.5])
    c, r = law.pair(*[np.broadcast_to(g, shape).copy() for g in (kp, np.full(n, 0.5), np.full(n, 0.25))])
    set_state(c, r, make=lambda f: {"integral": np.broadcast_to(integral, shape).copy()})
    if law.cls is AdaptiveController:
        set_state(c, r, learning_rate=1.0, max_adjustment=INF)
    target, current = np.broadcast_to(error, shape).copy(), np.zeros(shape)
    if flagged:
        at = (..., 0) if flagged == "first" else (..., -1)
        target[at], current[at] = 1e308, -1e308
    return c, r, target, current


@by_law
@pytest.mark.parametrize("n", [1, 6, 37, 1000])
@pytest.mark.parametrize("flagged", ["first", "last", None])
@pytest.mark.parametrize("mode", ["raise", "warn", "ignore"])
def test_updates_stopped_by_a_flag_are_undone_whether_or_not_they_take_back(law, n, flagged, mode):
    c, r, target, current = hard_to_take_back(law, n, flagged)
    check_call(c, r, (target, current, 0.01), mode)
    target[np.isclose(target, 1e308)] = 1.0
    check_call(c, r, (target, current, 0.01), mode)
    check_call(c, r, (target, current, 0.5), mode)


@by_law
def test_empty_banks(law):
    c, r = law.pair(*[np.zeros(law.shape(0))] * 3)
    for dt in (0.1, 0.0):
        check_call(c, r, (np.zeros(law.shape(0)), np.zeros(law.shape(0)), dt))


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def under_sanitizer():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


@pytest.mark.slow
def test_soak_fast_and_fallback_calls_keep_memory_and_refcounts_flat():
    n = 4
    gains = [np.full(n, v) for v in (1.0, 0.5, 0.25)]
    t, x, inf = np.linspace(-1, 1, n), np.zeros(n), np.full(n, INF)
    square = lambda a: a.reshape(2, 2)
    make = lambda: [PIDController(*gains), PIDControllerXd(*map(square, gains)), AdaptiveController(*gains)]
    fast = list(zip(make(), [(t, x, 0.01), (square(t), square(x), 0.0), (t, x, NAN)]))
    slow = list(zip(make(), [(t.view(Sub), x, 0.01),  # an array subclass
                             (np.asfortranarray(square(t)).T, square(x), 0.01),  # not C-ordered
                             (inf, inf, 0.01)]))  # invalid raised: kp and integral undone
    watched = [t, x, inf, *gains, NAN]
    def loop(calls, pairs):
        for c, args in pairs:
            compute = c.compute_control
            for _ in range(calls):
                compute(*args)
    with np.errstate(all="ignore"):
        loop(100, fast), loop(100, slow)
        gc.collect()
        before, live, rss = [sys.getrefcount(o) for o in watched], len(gc.get_objects()), resident()
        loop(340_000, fast)  # about 10^6 native passes
        loop(34_000, slow)   # about 10^5 calls of the NumPy steps
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before and len(gc.get_objects()) - live < 10
    if not under_sanitizer():  # whose quarantine holds freed memory back
        assert resident() - rss < 16 << 20  # a result or state array leaked per call would be 100+ MB


@pytest.mark.parametrize("law", [LAWS[0], LAWS[2]], ids=repr)
def test_threads_on_one_large_bank_leave_a_consistent_controller(law):
    # the native pass lets go of the GIL on large banks; racing calls may interleave their
    # updates, but every field stays a whole array the next call works on as NumPy would
    from concurrent.futures import ThreadPoolExecutor
    n = 5000
    rng = np.random.default_rng(11)
    c = law.cls(*[rng.uniform(0.5, 1.5, n) for _ in range(3)])
    t, x = rng.normal(size=n), rng.normal(size=n)
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda i: c.compute_control(t, x, 0.01 * (i % 3)), range(400)))
    assert all(type(s) is np.ndarray and s.shape == (n,) for s in results)
    r = law.ref(np.zeros(n), np.zeros(n), np.zeros(n))
    for name, value in state(c).items():
        setattr(r, name, value.copy() if isinstance(value, np.ndarray) else value)
    check_call(c, r, (t, x, 0.01))
