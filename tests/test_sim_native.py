"""simulate's native loop against the Python loop it replaces (run_loop over
bank.update, kept as the reference): the same bits for every plant, input
and bank feature, the same bank afterwards, the GIL released meanwhile."""
import sys
import threading
import time
import types

import numpy as np
import pytest

from kovar.bank import PIDBank
from kovar.sim import FOPDT, SOPDT, Integrating, simulate
from kovar.sim import _loop, loop
from kovar.sim.loop import _simulate

# More channels than one native block (1,024), an odd count.
N = 2 * 1024 + 37


def both(make_bank, plant, *, dt=0.05, steps=120, setpoint=1.0, load=0.0, load_step=None,
         noise=0.0, seed=7, record=True, prepare=None, **more):
    """The run and the bank after it, natively and through the Python loop."""
    out = []
    for native in (True, False):
        bank = make_bank()
        if prepare is not None:
            prepare(bank)
        result = _simulate(bank, plant, dt, steps, setpoint, load, load_step, noise, seed, record,
                           native=native, **more)
        out.append((result, bank))
    return out


def same_bits(a, b):
    a, b = np.ascontiguousarray(a), np.ascontiguousarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(
        a.reshape(-1).view(np.uint64), b.reshape(-1).view(np.uint64))


def assert_same_runs(native, python):
    (res_n, bank_n), (res_p, bank_p) = native, python
    if res_p.y is None:
        assert res_n.y is None and res_n.u is None
    else:
        assert same_bits(res_n.y, res_p.y)
        assert same_bits(res_n.u, res_p.u)
    for name, value in res_p.metrics.items():
        # NaN measures (an unstable or failed channel) may carry another
        # payload; everything else bit for bit.
        got = res_n.metrics[name]
        nan = np.isnan(value)
        assert np.array_equal(np.isnan(got), nan), name
        assert same_bits(np.where(nan, 0.0, got), np.where(nan, 0.0, value)), name
    assert_same_banks(bank_n, bank_p)


def assert_same_banks(a, b):
    state_a, state_b = a.__reduce__()[2], b.__reduce__()[2]
    assert state_a.keys() == state_b.keys()
    for key, value in state_b.items():
        if isinstance(value, np.ndarray):
            assert np.array_equal(state_a[key], value, equal_nan=True), key
        elif isinstance(value, dict):  # the relay's fields
            assert value.keys() == state_a[key].keys()
            for name, field in value.items():
                assert same_bits(state_a[key][name], field), name
        else:
            assert state_a[key] == value, key
    # The flags each bank keeps for its kernel lead later updates the same way.
    rng = np.random.default_rng(11)
    for _ in range(3):
        r, y = rng.uniform(-1, 1, a.shape), rng.uniform(-1, 1, a.shape)
        assert np.array_equal(a.update(r, y, 0.05), b.update(r, y, 0.05), equal_nan=True)
    assert a.keep_terms == b.keep_terms
    for x, y in zip(a.terms if a.keep_terms else (), b.terms if b.keep_terms else ()):
        assert np.array_equal(x, y, equal_nan=True)


rng = np.random.default_rng(2)
GAIN = rng.uniform(-2.0, 2.0, N)
TAU = rng.uniform(0.05, 4.0, N)
DELAY = rng.uniform(0.0, 0.6, N)
PLANTS = {
    "fopdt": FOPDT(GAIN, TAU, DELAY),
    "fopdt, one delay": FOPDT(GAIN, TAU, 0.3),
    "sopdt": SOPDT(GAIN, TAU, rng.uniform(0.05, 2.0, N), DELAY),
    "integrating": Integrating(GAIN, DELAY),
}
GAINS = dict(kp=rng.uniform(0.1, 2.0, N), ki=rng.uniform(0.0, 2.0, N), kd=0.05, tf=0.02,
             u_min=-2.0, u_max=2.5)


@pytest.mark.parametrize("record", [True, False])
@pytest.mark.parametrize("plant", PLANTS.values(), ids=PLANTS.keys())
def test_every_plant_gives_the_python_loops_bits(plant, record):
    runs = both(lambda: PIDBank(N, **GAINS), plant, setpoint=rng_setpoint(), load=0.3,
                load_step=50, noise=0.02, record=record)
    assert_same_runs(*runs)


# Dead times past the run (it is 400 samples of 0.05) among ordinary ones:
# those channels are fed 0 throughout, without a place in the delay line.
PAST = np.where(np.arange(N) % 3 == 0, 25.0, DELAY)
LONG_RUNS = {
    "fopdt, some dead times past the run": FOPDT(GAIN, TAU, PAST),
    "sopdt, every dead time past the run": SOPDT(GAIN, TAU, 0.5, 25.0),
    "integrating, dead times 0 or past the run": Integrating(GAIN, np.where(PAST == 25.0, 25.0, 0.0)),
}


@pytest.mark.parametrize("record", [True, False])
@pytest.mark.parametrize("plant", LONG_RUNS.values(), ids=LONG_RUNS.keys())
def test_runs_of_many_chunks_give_the_python_loops_bits(plant, record):
    # 400 steps of N channels are several of the native loop's chunks (the
    # first is 2**18 channel-steps), each taking the bank anew.
    runs = both(lambda: PIDBank(N, **GAINS), plant, steps=400, setpoint=rng_setpoint(),
                load=0.3, load_step=50, noise=0.02, record=record)
    assert_same_runs(*runs)


@pytest.mark.parametrize("plant", [PLANTS["fopdt"], PLANTS["sopdt"]], ids=["fopdt", "sopdt"])
def test_relay_experiments_give_the_python_loops_bits(plant):
    # Relays that end in the run (done, or failed on max_time) beside
    # channels that never run one, over many chunks, noise on some.
    def prepare(bank):
        bank.update(0.0, 0.0, 0.05)
        bank.start_relay(0.5, asymmetry=1.4, where=np.arange(N) % 5 != 0,
                         max_time=np.where(np.arange(N) % 7 == 0, 3.0, 60.0))
    sign = np.sign(GAIN)
    runs = both(lambda: PIDBank(N, kp=sign * GAINS["kp"], ki=sign * GAINS["ki"], kd=0.05, tf=0.02),
                plant, steps=600, setpoint=0.0, noise=np.where(np.arange(N) % 11 == 0, 0.01, 0.0),
                prepare=prepare)
    assert_same_runs(*runs)
    result = runs[0][1].relay_result()
    assert {"running", "done", "failed", "off"} <= set(result.state.tolist())


def rng_setpoint():
    return np.random.default_rng(4).uniform(-1.0, 2.0, N)


STEPS = 90
TIME_VARYING = np.where(np.arange(STEPS)[:, None] < 30, 0.0, np.linspace(-1.0, 1.0, N))

INPUTS = {
    "plain": dict(),
    "noise from a seed": dict(noise=np.linspace(0.0, 0.1, N), seed=3),
    "load from a step": dict(load=np.linspace(-0.5, 0.5, N), load_step=40),
    "load from the start": dict(load=0.2),
    "load step past the end": dict(load=0.2, load_step=STEPS),
    "setpoint over time": dict(setpoint=TIME_VARYING),
    "one setpoint over time": dict(setpoint=np.linspace(0.0, 1.0, STEPS)[:, None]),
    "load over time from a step": dict(load=TIME_VARYING[::-1], load_step=20),
    "one load over time, gathered": dict(load=np.sin(np.arange(STEPS * 2) * 0.1)[::2, None]),
    "load from a time": dict(load=0.3, load_time=1.0),
    "feedforward per channel": dict(feedforward=np.linspace(-0.2, 0.2, N)),
    "feedforward of zeros": dict(feedforward=0.0),
    "feedforward over time": dict(feedforward=TIME_VARYING * 0.5),
    "track over time, NaN in parts": dict(track=np.where(TIME_VARYING > 0.5, np.nan, TIME_VARYING)),
    "track and feedforward": dict(track=0.1, feedforward=np.linspace(0.0, 1.0, STEPS)[:, None]),
    "operating point": dict(initial_input=np.linspace(-1.0, 1.0, N), setpoint=0.5, load=0.1,
                            load_step=30),
}


@pytest.mark.parametrize("plant", ["fopdt", "sopdt"])
@pytest.mark.parametrize("inputs", INPUTS.values(), ids=INPUTS.keys())
def test_inputs_give_the_python_loops_bits(inputs, plant):
    runs = both(lambda: PIDBank(N, **GAINS), PLANTS[plant], steps=STEPS, **inputs)
    assert_same_runs(*runs)


def test_a_setpoint_over_time_gathered_from_strided_channels():
    # Shape (2, 3) bank, setpoint of shape (steps, 1, 3) reversed along the
    # channels: neither one value for all nor contiguous per step.
    r = np.linspace(0.0, 2.0, STEPS * 3).reshape(STEPS, 1, 3)[:, :, ::-1]
    runs = both(lambda: PIDBank((2, 3), kp=1.0, ki=0.5), FOPDT(1.0, [[1.0, 2.0, 0.5]], 0.1),
                steps=STEPS, setpoint=r)
    assert_same_runs(*runs)
    assert np.array_equal(runs[0][0].r, np.broadcast_to(r, (STEPS, 2, 3)))


FEATURES = {
    "back-calculation, tt": dict(tt=0.5),
    "conditional": dict(anti_windup="conditional"),
    "no anti-windup": dict(anti_windup="none"),
    "rate limit": dict(rate_limit=3.0),
    "deadband and weights": dict(deadband=0.05, b=0.5, c=0.0),
    "integral limits": dict(i_min=-0.5, i_max=0.5),
    "uniform gains": dict(kp=0.9, ki=0.7),
    "reverse gains": dict(kp=-0.9, ki=-0.7),
}


@pytest.mark.parametrize("feature", FEATURES.values(), ids=FEATURES.keys())
def test_bank_features_give_the_python_loops_bits(feature):
    runs = both(lambda: PIDBank(N, **(GAINS | feature)), PLANTS["fopdt"], setpoint=1.5, load=-0.4,
                load_step=30)
    assert_same_runs(*runs)


def manual_channels(bank):
    bank.set_manual(0.4, where=np.arange(N) % 5 == 0)


def warmed_up(bank):
    # A running bank: no channel fresh.
    for k in range(4):
        bank.update(1.0, 0.1 * k, 0.05)


def failed_sensor(bank):
    warmed_up(bank)
    y = np.zeros(N)
    y[::7] = np.nan
    bank.update(1.0, y, 0.05)


@pytest.mark.parametrize("prepare", [manual_channels, warmed_up, failed_sensor])
@pytest.mark.parametrize("on_nan", ["nan", "hold"])
def test_bank_states_give_the_python_loops_bits(prepare, on_nan):
    runs = both(lambda: PIDBank(N, **GAINS, on_nan=on_nan), PLANTS["integrating"], prepare=prepare)
    assert_same_runs(*runs)


@pytest.mark.parametrize("on_nan", ["nan", "hold"])
@pytest.mark.parametrize("record", [True, False])
def test_non_finite_setpoints_give_the_python_loops_bits(on_nan, record):
    r = np.ones((STEPS, N))
    r[20:25, ::3] = np.nan
    r[40, 1::4] = np.inf
    runs = both(lambda: PIDBank(N, **GAINS, on_nan=on_nan), PLANTS["sopdt"], steps=STEPS, setpoint=r,
                record=record)
    assert_same_runs(*runs)


@pytest.mark.parametrize("threads", [2, 3])
def test_blocks_spread_over_the_kernel_threads_give_one_threads_bits(threads):
    # enough blocks of 1,024 channels for every thread to take some
    from kovar import kernel_settings
    n = 17 * 1024 + 5
    rng = np.random.default_rng(3)
    plant = FOPDT(rng.uniform(0.5, 2.0, n), rng.uniform(0.5, 3.0, n), rng.uniform(0.0, 0.4, n))
    kp = rng.uniform(0.5, 2.0, n)
    runs = []
    before = kernel_settings.threads()
    try:
        for count in (1, threads):
            kernel_settings.set_threads(count)
            bank = PIDBank(n, kp=kp, ki=0.5, kd=0.05, tf=0.02, u_max=1.5)
            runs.append((simulate(bank, plant, dt=0.05, steps=40, noise=0.01, seed=2, load=0.3,
                                  load_step=20), bank))
    finally:
        kernel_settings.set_threads(before)
    (one, bank_one), (many, bank_many) = runs
    for name in ("y", "u", "iae", "overshoot", "settling_time"):
        assert same_bits(getattr(one, name), getattr(many, name)), name
    assert all(same_bits(a, b) if isinstance(a, np.ndarray) else a == b
               for a, b in zip(bank_one.__reduce__()[2], bank_many.__reduce__()[2]))


@pytest.mark.parametrize("shape", [(), (1,), (0,), (3, 4)])
def test_small_and_empty_banks(shape):
    runs = both(lambda: PIDBank(shape, kp=1.0, ki=0.3), FOPDT(1.0, 1.0, 0.2), steps=40, noise=0.1)
    assert_same_runs(*runs)


def test_an_unstable_loop_gives_the_python_loops_numbers():
    runs = both(lambda: PIDBank(4, kp=-50.0), FOPDT(1.0, [1.0, 0.5, 2.0, 3.0]), dt=0.1, steps=600)
    assert_same_runs(*runs)
    assert not np.all(np.isfinite(runs[0][0].iae))


def test_a_dead_time_longer_than_the_run_feeds_nothing():
    res = simulate(PIDBank(2, kp=1.0), FOPDT(1.0, 1.0, [1e9, 0.0]), dt=0.1, steps=20)
    assert np.all(res.y[:, 0] == 0.0) and np.any(res.y[:, 1] != 0.0)


def test_the_gil_is_released_during_a_run():
    # Another thread notes the time at every turn while a long run goes on.
    # Holding the GIL, the run would leave one gap about as long as itself;
    # without it, the thread turns all along.
    bank, plant = PIDBank(50_000, kp=1.0, ki=0.5), FOPDT(1.0, 1.0, 0.1)
    marks = []
    done = threading.Event()

    def note():
        while not done.is_set():
            marks.append(time.perf_counter())

    thread = threading.Thread(target=note)
    thread.start()
    try:
        while not marks:
            time.sleep(0.001)
        start = time.perf_counter()
        simulate(bank, plant, dt=0.01, steps=1000, record=False)
        took = time.perf_counter() - start
    finally:
        done.set()
        thread.join()
    inside = np.array([m for m in marks if start <= m <= start + took])
    gaps = np.diff(np.concatenate([[start], inside, [start + took]]))
    assert gaps.max() < 0.5 * took


def test_updates_from_another_thread_run_between_chunks(monkeypatch):
    # The thread starts once the first chunk is done and notes how far the
    # run was when each of its updates returned: they take the bank between
    # chunks instead of waiting for the whole run.
    bank, plant = PIDBank(20_000, kp=1.0, ki=0.5), FOPDT(1.0, 1.0, 0.1)
    twin = PIDBank(20_000, kp=1.0, ki=0.5)
    steps, errors, seen, started = 2000, [], [], threading.Event()
    bar = FakeBar(on_update=started.set)
    monkeypatch.setattr(loop, "_progress_bar", lambda total: bar)

    def hammer():
        started.wait()
        try:
            for _ in range(20):
                bank.update(0.0, 0.0, 0.0)  # no time passes: the state stays
                seen.append(bar.n)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    thread = threading.Thread(target=hammer)
    thread.start()
    res = simulate(bank, plant, dt=0.01, steps=steps, record=False, progress=True)
    started.set()
    thread.join()
    ref = _simulate(twin, plant, 0.01, steps, 1.0, 0.0, None, 0.0, None, False, native=False)
    assert not errors
    assert min(seen) < steps
    assert np.array_equal(res.iae, ref.iae)


class FakeBar:
    """tqdm's part in simulate: counts the steps reported."""

    def __init__(self, on_update=None):
        self.n, self.updates, self.closed, self.on_update = 0, [], False, on_update

    def update(self, k):
        self.n += k
        self.updates.append(k)
        if self.on_update is not None:
            self.on_update()

    def close(self):
        self.closed = True


def test_progress_counts_every_step_and_changes_no_result(monkeypatch):
    bar, made = FakeBar(), []
    tqdm_auto = types.ModuleType("tqdm.auto")
    tqdm_auto.tqdm = lambda total, unit: made.append((total, unit)) or bar
    monkeypatch.setitem(sys.modules, "tqdm.auto", tqdm_auto)
    plant, steps = PLANTS["sopdt"], 500
    shown = simulate(PIDBank(N, **GAINS), plant, dt=0.05, steps=steps, progress=True)
    plain = simulate(PIDBank(N, **GAINS), plant, dt=0.05, steps=steps)
    assert made == [(steps, "step")] and bar.closed
    assert bar.n == steps and len(bar.updates) > 1 and min(bar.updates) > 0
    assert same_bits(shown.y, plain.y) and same_bits(shown.u, plain.u)


def test_progress_without_tqdm_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    with pytest.raises(ImportError, match=r"kovar\[progress\]"):
        simulate(PIDBank(2, kp=1.0), FOPDT(1.0, 1.0), dt=0.1, steps=5, progress=True)


def test_runs_leak_no_references():
    bank, plant = PIDBank(3, kp=1.0), FOPDT(1.0, 1.0, 0.2)
    simulate(bank, plant, dt=0.1, steps=5)
    before = sys.getrefcount(bank), sys.getrefcount(plant)
    for _ in range(50):
        simulate(bank, plant, dt=0.1, steps=5, noise=0.1, record=False)
    assert (sys.getrefcount(bank), sys.getrefcount(plant)) == before


def _run_args(n=2, steps=3):
    f = lambda: np.zeros(n)  # noqa: E731
    i = lambda: np.full(n, -1, dtype=np.int64)  # noqa: E731
    return dict(bank=PIDBank(n, kp=1.0), kind=0, dt=0.1, steps=steps,
                d=np.zeros(n, dtype=np.int64), coefficients=(f(), f()), r=np.ones((steps, n)),
                z=None, noise=f(), load=np.zeros((steps, n)), load_start=steps,
                sums=tuple(f() for _ in range(7)), marks=(i(), i(), i()),
                levels=tuple(f() for _ in range(5)), y=None, u=None, progress=None,
                feedforward=None, track=None, start=(f(), None, f()))


@pytest.mark.parametrize("name, value, error", [
    ("bank", object(), TypeError),
    ("kind", 3, ValueError),
    ("dt", 0.0, ValueError),
    ("steps", 0, ValueError),
    ("d", np.zeros(2), TypeError),
    ("d", np.array([0, -1]), ValueError),
    ("coefficients", (np.zeros(2),), TypeError),
    ("coefficients", (np.zeros(2), np.zeros(3)), ValueError),
    ("r", np.ones((4, 2)), ValueError),
    ("r", np.ones((3, 2), dtype=">f8"), TypeError),
    ("z", np.zeros(5), ValueError),
    ("noise", [0.0, 0.0], TypeError),
    ("sums", (np.zeros(2),) * 6, TypeError),
    ("marks", (np.zeros(2),) * 3, TypeError),
    ("y", np.zeros(6)[::2], TypeError),
    ("u", np.zeros(6)[::2], TypeError),
    ("u", np.broadcast_to(0.0, 6), TypeError),
    ("load", np.zeros(2), ValueError),
    ("feedforward", np.ones((3, 3)), ValueError),
    ("track", np.ones((3, 2), dtype=">f8"), TypeError),
    ("start", (np.zeros(2), None), TypeError),
    ("start", (np.zeros(2), None, np.zeros(3)), ValueError),
])
def test_the_native_entry_checks_every_argument(name, value, error):
    args = _run_args()
    args[name] = value
    with pytest.raises(error):
        _loop.run(**args)
    del args["start"]
    with pytest.raises(TypeError, match="missing required keyword argument 'start'"):
        _loop.run(**args)


class Resizing:
    """A step number whose conversion resizes an array given before it."""

    def __init__(self, array, value):
        self.array, self.value = array, value

    def __index__(self):
        self.array.resize(0, refcheck=False)  # frees the array's data
        return self.value


@pytest.mark.parametrize("key, name", [
    ("d", "a coefficient"),  # d gives the channel count: 0 now
    ("coefficients", "a coefficient"), ("noise", "noise"), ("load", "load"),
    ("sums", "a measure"), ("y", "y"),
])
def test_arrays_are_checked_after_the_numbers_convert(key, name):
    args = _run_args()
    args["y"] = np.zeros((3, 2))
    array = args[key][0] if isinstance(args[key], tuple) else args[key]
    args["load_start"] = Resizing(array, 3)
    with pytest.raises((ValueError, TypeError), match=f"^{name} has the wrong"):
        _loop.run(**args)


def test_the_native_entry_refuses_a_bank_of_another_size():
    args = _run_args()
    args["bank"] = PIDBank(3, kp=1.0)
    with pytest.raises(RuntimeError, match="the bank was configured during the call"):
        _loop.run(**args)
