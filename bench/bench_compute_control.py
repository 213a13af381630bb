"""Per-call cost of compute_control, against the same control law written
in plain NumPy (tests/reference.py) and against the bare NumPy operations.

Run:  make bench   (or: python bench/bench_compute_control.py [--quick])
The module's own overhead is the difference between a kovar call and the
NumPy operations it is made of.
"""
import argparse
import pathlib
import sys
import timeit

import numpy as np

from kovar.regulo import AdaptiveController, PIDController, PIDControllerXd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from reference import PID, Adaptive  # noqa: E402


def numpy_ops_pid(kp, ki, kd, integral, previous_error, t, c, dt):
    error = t - c
    p_term = kp * error
    integral += error * dt
    i_term = ki * integral
    derivative = (error - previous_error) / dt
    d_term = kd * derivative
    return p_term + i_term + d_term


def per_call(stmt, number):
    best = min(timeit.repeat(stmt, number=number, repeat=5))
    return best / number * 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer calls")
    args = parser.parse_args()
    number = 2_000 if args.quick else 20_000

    print(f"{'channels':>9} {'class':>20} {'kovar us':>10} {'reference us':>13} {'numpy ops us':>13}")
    for n in (1, 100, 10_000):
        rng = np.random.default_rng(0)
        kp, ki, kd = (rng.uniform(0.1, 1.0, n) for _ in range(3))
        t, c = rng.normal(size=n), rng.normal(size=n)
        integral, prev = np.zeros(n), np.zeros(n)

        pid, ref = PIDController(kp, ki, kd), PID(kp, ki, kd)
        ops = per_call(lambda: numpy_ops_pid(kp, ki, kd, integral, prev, t, c, 0.01), number)
        print(f"{n:9d} {'PIDController':>20} "
              f"{per_call(lambda: pid.compute_control(t, c, 0.01), number):10.2f} "
              f"{per_call(lambda: ref.compute_control(t, c, 0.01), number):13.2f} {ops:13.2f}")

        k2 = [g.reshape(1, -1) for g in (kp, ki, kd)]
        t2, c2 = t.reshape(1, -1), c.reshape(1, -1)
        xd = PIDControllerXd(*k2)
        print(f"{n:9d} {'PIDControllerXd':>20} "
              f"{per_call(lambda: xd.compute_control(t2, c2, 0.01), number):10.2f}")

        ada, aref = AdaptiveController(kp, ki, kd), Adaptive(kp, ki, kd)
        print(f"{n:9d} {'AdaptiveController':>20} "
              f"{per_call(lambda: ada.compute_control(t, c, 0.01), number // 4):10.2f} "
              f"{per_call(lambda: aref.compute_control(t, c, 0.01), number // 4):13.2f}")


if __name__ == "__main__":
    main()
