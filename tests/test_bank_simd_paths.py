"""PIDBank's kernel on every SIMD path this machine has, and split over threads: the bits of the
scalar reference (tests/bank_reference.py), signed zeros included, over random call sequences
with non-finite, signed-zero and subnormal inputs and parameters, every anti-windup mode, manual
and automatic channels, feed-forward, tracking and rate limits, at sizes that leave lane tails."""
import math
import os
import subprocess
import sys

import numpy as np
import pytest

from kovar import kernel_settings
from kovar.bank import PIDBank
from test_bank_law import MODES, apply_mode_event, at, channels_for, random_params

PATHS = ["scalar", "sse2", "avx2", "avx512"]
HERE = os.path.dirname(os.path.abspath(__file__))
WILD = [np.nan, np.inf, -np.inf, 0.0, -0.0, 5e-324, -1e-310, 1e300]


def same_bits(actual, expected, what):
    """Bit for bit, signed zeros included; any NaN matches any NaN (payloads are not kept)."""
    a = np.ascontiguousarray(actual, dtype=np.float64).ravel()
    e = np.asarray(expected, dtype=np.float64).ravel()
    nan = np.isnan(e)
    assert (np.isnan(a) == nan).all(), f"{what}: NaN channels differ"
    bad = np.flatnonzero(a[~nan].view(np.uint64) != e[~nan].view(np.uint64))
    assert bad.size == 0, f"{what}: {a[~nan][bad[:4]]} against {e[~nan][bad[:4]]}"


def wild_values(rng, n, low, high, share):
    v = rng.uniform(low, high, n)
    hit = rng.random(n) < share
    v[hit] = rng.choice(WILD, hit.sum())
    return v


def run_python(code, **env):
    return subprocess.run([sys.executable, "-c", code], env={**os.environ, **env},
                          capture_output=True, text=True, timeout=300)


# Every size below a vector (the scalar law alone), one vector and every tail on each path;
# 2,085 reaches the eight-lane rich and per-channel passes, which run from 2,048 channels on
# (the plain one with uniform parameters from 2^18: test_large_banks).
@pytest.mark.parametrize("n", [*range(1, 10), 37, 2085])
@pytest.mark.parametrize("uniform", [False, True], ids=["per-channel", "uniform"])
@pytest.mark.parametrize("anti_windup", MODES)
def test_every_call_gives_the_scalar_laws_bits(anti_windup, uniform, n):
    rng = np.random.default_rng([n, MODES.index(anti_windup), uniform])
    params = random_params(rng, n, uniform)
    if not uniform:  # signed zeros and subnormal numbers among the gains
        for name, values in (("kp", [-0.0, 1e-310]), ("kd", [-0.0, 5e-324]), ("c", [1e-320])):
            if isinstance(params[name], np.ndarray):
                params[name][rng.random(n) < 0.2] = rng.choice(values)
    tt = [None, 0.3, None if uniform else rng.uniform(0.05, 1.0, n)][n % 3]
    on_nan = ["nan", "hold"][n % 2]
    bank = PIDBank(n, **params, anti_windup=anti_windup, tt=tt, on_nan=on_nan,
                   keep_terms=n % 2 == 1)
    refs = channels_for(params, n, anti_windup, tt, on_nan)
    for step in range(50):
        # Long plain stretches (the vector pass) broken by switches, resets and gaps.
        event = rng.integers(0, 12)
        mask = rng.random(n) < 0.3
        if event == 0:
            value = wild_values(rng, n, -3, 3, 0.2)
            value[~np.isfinite(value)] = 0.5
            apply_mode_event(bank, refs, event, mask, value)
        elif event <= 2:
            apply_mode_event(bank, refs, event, mask, None)
        share = 0.1 if step % 3 == 0 else 0.0
        r = wild_values(rng, n, -3, 3, share)
        y = wild_values(rng, n, -3, 3, share)
        if rng.random() < 0.2:
            r = float(r[0])
        h = [0.01, 0.1, 1e-310, 0.0, math.nan, 0.05][rng.integers(6)] if step % 4 == 3 else 0.02
        ff = track = None
        if step % 5 in (1, 2):
            ff = wild_values(rng, n, -1, 1, share) if rng.random() < 0.7 else 0.25
        if step % 7 in (3, 4):
            track = wild_values(rng, n, -2, 2, 0.3)
        # every other call writes the bank's own output only
        u = bank.update(r, y, h, feedforward=ff, track=track,
                        out=bank.output if step % 2 else None).copy()
        expected = [c.update(at(r, i), at(y, i), h, at(ff, i), at(track, i)) for i, c in enumerate(refs)]
        same_bits(u, expected, f"step {step}: output")
        for name in ("integral", "derivative", "output"):
            same_bits(getattr(bank, name), [getattr(c, name) for c in refs], f"step {step}: {name}")
        if step % 6 == 5 and bank.keep_terms:
            for k, term in enumerate(bank.terms):
                same_bits(term, [c.terms[k] for c in refs], f"step {step}: term {k}")


@pytest.mark.parametrize("rich", [True, False], ids=["rich", "plain"])
@pytest.mark.parametrize("n", [(1 << 19) + 13, 5_003], ids=["large", "small"])
@pytest.mark.parametrize("uniform", [False, True], ids=["per-channel", "uniform"])
def test_large_banks_give_the_same_bits_on_any_number_of_threads(uniform, n, rich):
    rng = np.random.default_rng(11)
    params = dict(kp=1.2, ki=0.8, kd=0.05, tf=0.02, u_min=-1.0, u_max=1.0)
    if rich:
        params.update(rate_limit=40.0)
    if not uniform:
        params.update(kp=rng.uniform(-2, 2, n), u_max=rng.uniform(0.5, 1.5, n))
    r, y, ff = rng.normal(size=n), rng.normal(size=n), rng.normal(size=n) if rich else None
    y[::1001] = np.nan
    calls = [(r, y, 0.01, None), (r, y[::-1].copy(), 0.02, ff), (r, y, 0.0, None), (r, y, 0.01, ff)]
    before = kernel_settings.threads("bank")
    runs = []
    try:
        for count in (1, 2, 3):
            assert kernel_settings.set_threads(count, "bank") == count
            bank = PIDBank(n, **params, keep_terms=rich)
            outs = [bank.update(a, b, h, feedforward=f).copy() for a, b, h, f in calls]
            runs.append(outs + [bank.integral, bank.derivative, *(bank.terms if rich else ())])
    finally:
        kernel_settings.set_threads(before, "bank")
    for run in runs[1:]:
        for got, want in zip(run, runs[0]):
            np.testing.assert_array_equal(got.view(np.uint64), want.view(np.uint64))
    # and the scalar law's, on a sample of the channels
    picks = rng.choice(n, 200, replace=False)
    for i in picks:
        c = channels_for({k: at(v, i) for k, v in params.items()}, 1, "back_calculation", None)[0]
        got = [c.update(float(a[i]), float(b[i]), h, at(f, i)) for a, b, h, f in calls]
        same_bits([o[i] for o in runs[0][:4]], got, f"channel {i}")


@pytest.mark.slow
@pytest.mark.parametrize("path", PATHS)
def test_every_path_the_machine_has_matches_the_scalar_law(path):
    best = run_python("from kovar import kernel_settings as k; print(k.simd_path('bank'))",
                      KOVAR_SIMD="").stdout.strip()
    if PATHS.index(path) > PATHS.index(best):
        pytest.skip(f"this CPU has no {path}")
    forced = run_python("from kovar import kernel_settings as k; print(k.simd_path('bank'))",
                        KOVAR_SIMD=path)
    assert forced.stdout.strip() == path
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", __file__,
         os.path.join(HERE, "test_bank_law.py"), os.path.join(HERE, "test_bank_relay.py"),
         "-k", "not every_path and not large_banks"],
        env={**os.environ, "KOVAR_SIMD": path}, capture_output=True, text=True, timeout=600, cwd=HERE)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
