"""Per-call cost of compute_control, against the same control law written
in plain Python and NumPy (tests/reference.py), which makes the same NumPy
operations in the same order.

Run:  make bench   (or: python bench/bench_compute_control.py [--quick])
The module's own overhead is the difference between the two columns; at
small sizes it is the cost of argument checking and state handling, at
large sizes NumPy's work dominates both.
"""
import argparse
import pathlib
import sys
import timeit

import numpy as np

from kovar.regulo import AdaptiveController, PIDController, PIDControllerXd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from reference import PID, Adaptive  # noqa: E402


def per_call(*stmts, number):
    """Best time per call of each statement in microseconds. The statements
    are timed in turns, so that slow phases of the machine hit all alike."""
    best = [float("inf")] * len(stmts)
    for _ in range(5):
        for i, stmt in enumerate(stmts):
            best[i] = min(best[i], timeit.timeit(stmt, number=number) / number * 1e6)
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer calls")
    args = parser.parse_args()
    number = 2_000 if args.quick else 20_000

    print(f"{'channels':>9} {'class':>20} {'kovar us':>10} {'reference us':>13}")
    for n in (1, 100, 10_000):
        rng = np.random.default_rng(0)
        kp, ki, kd = (rng.uniform(0.1, 1.0, n) for _ in range(3))
        t, c = rng.normal(size=n), rng.normal(size=n)

        pid, ref = PIDController(kp, ki, kd), PID(kp, ki, kd)
        k2 = [g.reshape(1, -1) for g in (kp, ki, kd)]
        t2, c2 = t.reshape(1, -1), c.reshape(1, -1)
        xd = PIDControllerXd(*k2)
        native, python, native_xd = per_call(
            lambda: pid.compute_control(t, c, 0.01),
            lambda: ref.compute_control(t, c, 0.01),
            lambda: xd.compute_control(t2, c2, 0.01),
            number=number)
        print(f"{n:9d} {'PIDController':>20} {native:10.2f} {python:13.2f}")
        print(f"{n:9d} {'PIDControllerXd':>20} {native_xd:10.2f}")

        ada, aref = AdaptiveController(kp, ki, kd), Adaptive(kp, ki, kd)
        native, python = per_call(
            lambda: ada.compute_control(t, c, 0.01),
            lambda: aref.compute_control(t, c, 0.01),
            number=number // 4)
        print(f"{n:9d} {'AdaptiveController':>20} {native:10.2f} {python:13.2f}")

if __name__ == "__main__":
    main()
