"""Per-call cost of compute_control against the same control law written as a
plain NumPy class (tests/reference.py), and the memory-traffic floor of one
call at the largest bank.

Run:  make bench   (or: python bench/bench_compute_control.py [--quick])

kovar and the NumPy class are timed in turns, best of several repeats, so a
busy phase of the (shared) machine hits both alike. The floor is the bytes a
single pass over the channels must move (PID: 7 arrays read, 3 written;
adaptive: 240 bytes per channel, the 10-row history included) over the copy
bandwidth measured in the same run, reads and writes counted.
"""
import argparse
import pathlib
import sys
import timeit

import numpy as np

from kovar.regulo import AdaptiveController, PIDController, PIDControllerXd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from reference import PID, Adaptive  # noqa: E402

BYTES_PER_CHANNEL = {"PIDController": 80, "PIDControllerXd": 80, "AdaptiveController": 240}
CASES = [  # class, its NumPy twin, shapes
    (PIDController, PID, [(1,), (100,), (10_000,), (1_000_000,)]),
    (PIDControllerXd, PID, [(1, 1), (10, 10), (100, 100), (1000, 1000)]),
    (AdaptiveController, Adaptive, [(1,), (100,), (10_000,), (1_000_000,)]),
]


def best_per_call(stmts, number, repeats):
    """Best time per call of each statement in microseconds, timed in turns."""
    best = [float("inf")] * len(stmts)
    for _ in range(repeats):
        for i, stmt in enumerate(stmts):
            best[i] = min(best[i], timeit.timeit(stmt, number=number) / number * 1e6)
    return best


def copy_bandwidth(repeats):
    """Bytes read plus bytes written per second by a large array copy."""
    src = np.random.default_rng(0).random(10_000_000)
    dst = np.empty_like(src)
    np.copyto(dst, src)
    (seconds,) = best_per_call([lambda: np.copyto(dst, src)], 5, repeats)
    return 2 * src.nbytes / (seconds * 1e-6)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer calls and repeats")
    args = parser.parse_args()
    budget = 0.01 if args.quick else 0.05  # seconds of calls per timing
    repeats = 3 if args.quick else 7

    bandwidth = copy_bandwidth(repeats)
    print(f"copy bandwidth: {bandwidth / 1e9:.1f} GB/s (read + write)")
    print(f"{'class':>20} {'shape':>12} {'kovar us':>10} {'numpy us':>10} {'ratio':>7} {'floor us':>9}")
    for cls, twin, shapes in CASES:
        for shape in shapes:
            rng = np.random.default_rng(0)
            gains = [rng.uniform(0.1, 1.0, shape) for _ in range(3)]
            t, c = rng.normal(size=shape), rng.normal(size=shape)
            native, plain = cls(*[g.copy() for g in gains]), twin(*[g.copy() for g in gains])
            stmts = [lambda: native.compute_control(t, c, 0.01), lambda: plain.compute_control(t, c, 0.01)]
            probe = min(timeit.timeit(s, number=3) / 3 for s in stmts)
            number = max(1, int(budget / max(probe, 1e-7)))
            kovar_us, numpy_us = best_per_call(stmts, number, repeats)
            floor = ""
            if shape is shapes[-1]:
                floor = f"{BYTES_PER_CHANNEL[cls.__name__] * t.size / bandwidth * 1e6:9.0f}"
            print(f"{cls.__name__:>20} {'x'.join(map(str, shape)):>12} {kovar_us:10.2f} {numpy_us:10.2f}"
                  f" {kovar_us / numpy_us:7.3f} {floor:>9}")


if __name__ == "__main__":
    main()
