"""The user's loops that bench/bench_user_loop.py times against the bank
give the bank's bits (run here as plain Python where numba is absent), so a
change to either order of operations fails here, not in a benchmark run."""
import importlib.util
import pathlib

import numpy as np
import pytest

_PATH = pathlib.Path(__file__).resolve().parent.parent / "bench" / "bench_user_loop.py"
_spec = importlib.util.spec_from_file_location("bench_user_loop", _PATH)
bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bench)

CASES = {
    "plain": lambda n, rng: bench.PlainCase(n, rng),
    "plain, own output": lambda n, rng: bench.PlainCase(n, rng, own_output=True),
    "per-channel": lambda n, rng: bench.PlainCase(n, rng, per_channel=True),
    "rich": lambda n, rng: bench.RichCase(n, rng),
}


# 1 and 3 channels run the bank's scalar law only; 37 also its vector
# lanes on every SIMD path, with a scalar tail.
@pytest.mark.parametrize("n", [1, 3, 37])
@pytest.mark.parametrize("kind", CASES)
def test_loops_give_the_banks_bits(kind, n):
    case = CASES[kind](n, np.random.default_rng(n))
    assert case.mismatches(case.check_steps()) is None


@pytest.mark.parametrize("kind", CASES)
def test_guard_holds_like_the_bank_then_differs_only_where_it_failed(kind):
    n = 37
    case = CASES[kind](n, np.random.default_rng(1))
    assert case.mismatches(case.check_steps()) is None
    failed = np.zeros(n, bool)
    failed[[0, 5, 36]] = True
    broken = [a.copy() for a in case.inputs[0]]
    broken[0][[0, 5]] = np.nan  # the setpoint
    broken[-1][36] = np.inf  # the measurement, or the feed-forward
    assert case.mismatches([(broken, bench.DT)]) is None
    # The bank restarts the derivative of the failed channels; the loop does
    # not, and every other channel stays the same.
    case.mismatches([(case.inputs[1], bench.DT)])
    for ours, theirs in case.states():
        assert bench.same_bits(np.asarray(ours)[~failed], np.asarray(theirs)[~failed])
    assert not bench.same_bits(case.bank.derivative[failed], case.derivative[failed])
