"""The native passes on every SIMD path this machine has, and split over threads: the same bits
as the plain NumPy law (tests/reference.py) over lane tails, blocks, non-finite, signed-zero and
subnormal values, and the settings that choose them."""
import os, subprocess, sys

import numpy as np
import pytest

from kovar import kernel_settings
from test_fast_path import LAWS, NUMPY2, check_call, draw, hard_to_take_back, set_state, state

PATHS = ["scalar", "sse2", "avx2", "avx512"]
HERE = os.path.dirname(os.path.abspath(__file__))


def run_python(code, **env):
    return subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", code], env={**os.environ, **env}, capture_output=True,
                          text=True, timeout=300)


def best_path():
    return run_python("from kovar import kernel_settings as k; print(k.simd_path())",
                      KOVAR_SIMD="").stdout.strip()


@pytest.mark.parametrize("law", LAWS, ids=repr)
@pytest.mark.parametrize("n", [3, 7, 9, 13, 255, 263, 517])
def test_lane_tails_and_blocks_match_the_numpy_law(law, n):
    rng = np.random.default_rng([n, LAWS.index(law)])
    shape = law.shape(n)
    c, r = law.pair(*[draw(rng, shape, wild=True) for _ in range(3)])
    for learning_rate, max_adjustment in [(0.3, 0.5), (-2.0, -0.25), (1e300, np.inf), (0.5, np.nan)]:
        if law.cls is LAWS[2].cls:
            set_state(c, r, learning_rate=learning_rate, max_adjustment=max_adjustment)
        for call in range(6):
            wild = call % 2 == 1
            dt = [0.01, -0.0, 1e-310, 0.5, np.nan, 0.0][call]
            check_call(c, r, (draw(rng, shape, wild), draw(rng, shape, wild), dt), "warn")


@pytest.mark.skipif(not NUMPY2, reason="the native pass stands in for NumPy 2.x only")
def test_nan_and_infinite_channels_keep_the_native_pass():
    # NaN errors raise no flag in the scalar law (quiet comparisons in the clip), so the native
    # pass stands: the history is rolled in place, not replaced by np.roll's copy
    n = 9
    c, r = LAWS[2].pair(np.ones(n), np.ones(n), np.ones(n))
    set_state(c, r, learning_rate=0.5, max_adjustment=0.25)
    target = np.array([np.nan, 1.0, -np.nan, 3.0, -4.0, 2.0, np.nan, -0.0, 0.0])
    for dt in (0.1, 0.0, 0.1):
        check_call(c, r, (target, np.zeros(n), dt), "raise")
        kept = id(state(c)["error_history"])
        check_call(c, r, (target, np.zeros(n), dt), "raise")
        assert id(state(c)["error_history"]) == kept


@pytest.mark.parametrize("max_adjustment", [0.0, -0.0])
def test_the_clip_keeps_a_zero_that_ties_with_its_bound(max_adjustment):
    # every delta is clipped to a zero, and which zero shows in a kp of -0.0; the random gains
    # of the other tests rarely reach this in the native pass (their infinities raise)
    n = 37
    c, r = LAWS[2].pair(np.full(n, -0.0), np.ones(n), np.ones(n))
    set_state(c, r, learning_rate=1.0, max_adjustment=max_adjustment)
    target = np.resize([0.0, -0.0, 1.0, -1.0, 0.5], n)
    for dt in (0.1, 0.2, 0.0):
        check_call(c, r, (target, np.zeros(n), dt), "raise")


@pytest.mark.parametrize("law,n", [(LAWS[0], (1 << 20) + 13), (LAWS[0], 10_007), (LAWS[2], (1 << 17) + 5),
                                   (LAWS[2], 2_003)], ids=["pid", "pid_small", "adaptive", "adaptive_small"])
def test_large_calls_give_the_same_bits_on_any_number_of_threads(law, n):
    rng = np.random.default_rng(5)
    gains = [rng.uniform(0.5, 1.5, n) for _ in range(3)]
    t, x = rng.normal(size=n), rng.normal(size=n)
    x[::1001] = np.nan
    before = kernel_settings.threads()
    runs = []
    try:
        for count in (1, 2, 3):
            assert kernel_settings.set_threads(count) == count
            c = law.cls(*[g.copy() for g in gains])
            runs.append([c.compute_control(t, x, dt) for dt in (0.01, 0.0, 0.02)] + [state(c)])
    finally:
        kernel_settings.set_threads(before)
    r = law.ref(*[g.copy() for g in gains])
    with np.errstate(all="ignore"):
        expected = [r.compute_control(t, x, dt) for dt in (0.01, 0.0, 0.02)]
    for run in runs:
        for got, want in zip(run, expected):
            np.testing.assert_array_equal(got.view(np.uint64), want.view(np.uint64))
        for name, value in run[-1].items():
            theirs = getattr(r, name)
            if isinstance(value, np.ndarray):
                np.testing.assert_array_equal(value.view(np.uint64), theirs.view(np.uint64))


@pytest.mark.parametrize("law,n", [(LAWS[0], (1 << 18) + 3), (LAWS[1], (1 << 17) + 6), (LAWS[2], (1 << 18) + 24),
                                   (LAWS[2], (1 << 18) + 2)], ids=["pid", "pid_xd", "adaptive", "adaptive_uneven"])
@pytest.mark.parametrize("threads", [1, 2])
def test_banks_too_large_to_stay_cached_match_the_numpy_law(law, n, threads):
    # past the cache, what the pass only writes goes around it; the history a line at a time
    rng = np.random.default_rng([n, threads])
    shape = law.shape(n)
    before = kernel_settings.threads()
    try:
        kernel_settings.set_threads(threads)
        c, r = law.pair(*[draw(rng, shape, wild=False) for _ in range(3)])
        for call, dt in enumerate((0.01, 0.0, 0.5, 0.02)):
            check_call(c, r, (draw(rng, shape, call == 2), draw(rng, shape, call == 2), dt), "ignore")
    finally:
        kernel_settings.set_threads(before)


@pytest.mark.parametrize("law,n", [(LAWS[0], (1 << 20) + 13), (LAWS[0], 10_007), (LAWS[2], (1 << 17) + 5),
                                   (LAWS[2], (1 << 18) + 24)], ids=["pid", "pid_small", "adaptive", "adaptive_streamed"])
@pytest.mark.parametrize("flagged", ["first", "last"])
def test_a_flag_in_any_threads_range_undoes_every_range(law, n, flagged):
    before = kernel_settings.threads()
    try:
        kernel_settings.set_threads(2)
        c, r, target, current = hard_to_take_back(law, n, flagged)
        check_call(c, r, (target, current, 0.01), "raise")
        check_call(c, r, (target, current, 0.01), "ignore")
    finally:
        kernel_settings.set_threads(before)


def test_a_forked_child_makes_its_own_threads():
    code = """if True:
        import os, numpy as np
        from kovar import kernel_settings
        from kovar.regulo import PIDController
        kernel_settings.set_threads(2)
        n = (1 << 20) + 1
        c = PIDController(np.ones(n), np.ones(n), np.ones(n))
        first = c.compute_control(np.ones(n), np.zeros(n), 0.1)
        pid = os.fork()
        if pid == 0:
            second = c.compute_control(np.ones(n), np.zeros(n), 0.1)
            os._exit(0 if second[0] == 1.0 + 0.2 + 0.0 and first[0] == 1.0 + 0.1 + 10.0 else 3)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
    """
    done = run_python(code)
    assert (done.returncode, done.stdout.strip(), done.stderr) == (0, "0", "")


@pytest.mark.parametrize("given,taken", [(1, 1), (4, 4), (0, 1), (-3, 1), (64, 64), (10**6, 64)])
def test_threads_are_settable_within_bounds(given, taken):
    before = kernel_settings.threads()
    try:
        assert kernel_settings.set_threads(given) == taken == kernel_settings.threads()
    finally:
        kernel_settings.set_threads(before)


def test_settings_name_their_modules():
    with pytest.raises(ValueError, match=r"^kovar.bogus has no kernel settings; choose from \('regulo', 'bank'\)$"):
        kernel_settings.simd_path("bogus")
    with pytest.raises(TypeError):
        kernel_settings.set_threads(2.5)


@pytest.mark.parametrize("env,expected", [("3", 3), ("1", 1), ("500", 64), ("0", None), ("x", None), ("", None)])
def test_threads_come_from_the_environment(env, expected):
    done = run_python("from kovar import kernel_settings as k; import os; print(k.threads(), len(os.sched_getaffinity(0)))",
                      KOVAR_THREADS=env)
    threads, cpus = map(int, done.stdout.split())
    assert threads == (expected if expected is not None else min(cpus, 8))
    unread = expected is None and env != ""
    assert (f"RuntimeWarning: KOVAR_THREADS='{env}' is not understood" in done.stderr) == unread, done.stderr


def test_an_unknown_path_is_reported_and_the_best_taken():
    done = run_python("from kovar import kernel_settings as k; print(k.simd_path())", KOVAR_SIMD="avx1024")
    assert done.stdout.strip() == best_path()
    assert "RuntimeWarning: KOVAR_SIMD='avx1024' is not understood" in done.stderr


def test_every_module_shares_one_set_of_kernel_threads():
    code = """if True:
        import os, numpy as np
        from kovar.bank import PIDBank
        from kovar.regulo import AdaptiveController, PIDController
        tasks = lambda: len(os.listdir("/proc/self/task"))
        before, n = tasks(), 1 << 20
        ones = np.ones(n)
        PIDController(ones, ones, ones).compute_control(ones, ones, 0.1)
        AdaptiveController(ones, ones, ones).compute_control(ones, ones, 0.1)
        PIDBank(n, kp=ones, ki=1.0).update(ones, 0.5 * ones, 0.1)
        print(tasks() - before)
    """
    done = run_python(code, KOVAR_THREADS="4")
    assert done.returncode == 0, done.stderr
    assert 0 < int(done.stdout) <= 3  # the caller takes a share of its own


@pytest.mark.slow
@pytest.mark.parametrize("path", PATHS)
def test_every_path_the_machine_has_matches_the_numpy_law(path):
    best = best_path()
    if PATHS.index(path) > PATHS.index(best):
        pytest.skip(f"this CPU has no {path}")
    forced = run_python("from kovar import kernel_settings as k; print(k.simd_path())", KOVAR_SIMD=path)
    assert forced.stdout.strip() == path
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", os.path.join(HERE, "test_fast_path.py"),
         __file__, "-k", "not every_path and not soak and not threads_come_from and not large_calls"],
        env={**os.environ, "KOVAR_SIMD": path}, capture_output=True, text=True, timeout=600, cwd=HERE)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
