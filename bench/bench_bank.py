"""Per-update cost of kovar.bank.PIDBank, side by side with
(a) one scalar PID object per channel in plain Python with the same law
    (tests/bank_reference.py), and
(b) simple-pid from PyPI (output limits and its own anti-windup), one
    object per channel,
plus, from 10^4 channels on, the memory-traffic floor of an update.

Run:  make bench   (or: python bench/bench_bank.py [--quick])

The floor: an update with uniform parameters must read setpoint and
measurement, read and write integral, derivative and previous input, and
write the result and the stored last output: 80 bytes per channel; with
per-channel parameters (six of them here) it also reads 48 more. Divided
by the copy bandwidth measured in the same run, in turns with the update
(bytes read plus bytes written per second by numpy.copyto on 80 MB arrays),
it is the least time an update of that size can take on this machine. For large banks the
per-object baselines time a subset of the objects and scale to n.
"""
import argparse
import math
import pathlib
import sys
import timeit

import numpy as np

from kovar.bank import PIDBank

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from bank_reference import Channel  # noqa: E402

try:
    from simple_pid import PID as SimplePID
except ImportError:  # make bench installs it; a bare run may lack it
    SimplePID = None

DT = 0.01
BYTES_PER_CHANNEL = {True: 80, False: 80 + 6 * 8}  # uniform, per-channel parameters
SIZES = (1, 100, 10_000, 1_000_000)
SUBSET = 1000  # objects timed for the per-object baselines


def best_per_call(func, number, repeat=5):
    return min(timeit.repeat(func, number=number, repeat=repeat)) / number * 1e6


def in_turns(funcs, numbers, rounds=5):
    """Best microseconds per call of each function, timed in turns so that
    slow phases of a shared machine hit all alike."""
    best = [math.inf] * len(funcs)
    for _ in range(rounds):
        for i, (func, number) in enumerate(zip(funcs, numbers)):
            best[i] = min(best[i], timeit.timeit(func, number=number) / number * 1e6)
    return best


class CopyBandwidth:
    """Bytes read plus written per microsecond by a large copy (80 MB)."""

    def __init__(self):
        self.src = np.random.default_rng(0).random(10_000_000)
        self.dst = np.empty_like(self.src)
        np.copyto(self.dst, self.src)

    def copy(self):
        np.copyto(self.dst, self.src)

    def per_us(self, us_per_copy):
        return 2 * self.src.nbytes / us_per_copy


def params(n, uniform, rng):
    if uniform:
        return dict(kp=1.2, ki=0.8, kd=0.05, tf=0.02, u_min=-1.0, u_max=1.0)
    return dict(kp=rng.uniform(0.5, 2, n), ki=rng.uniform(0.1, 1, n), kd=rng.uniform(0, 0.1, n),
                tf=rng.uniform(0, 0.05, n), u_min=-rng.uniform(0.5, 1, n),
                u_max=rng.uniform(0.5, 1, n))


def kovar_update(n, uniform, with_out):
    """A call of update on a bank that has run (no fresh channels)."""
    rng = np.random.default_rng(1)
    bank = PIDBank(n, **params(n, uniform, rng))
    r, y, out = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n), np.empty(n)
    if n == 1:  # the common scalar call shape
        r, y = float(r[0]), float(y[0])
    bank.update(r, y, DT)
    if with_out:
        return lambda: bank.update(r, y, DT, out=out)
    return lambda: bank.update(r, y, DT)


def per_object_cost(n, make, call):
    """Cost of one update of n channels through n scalar objects, timed on
    at most SUBSET of them and scaled."""
    m = min(n, SUBSET)
    objects = [make() for _ in range(m)]
    rs, ys = list(np.random.default_rng(2).uniform(-1, 1, (2, m)))
    rs, ys = [float(v) for v in rs], [float(v) for v in ys]

    def step():
        for obj, r, y in zip(objects, rs, ys):
            call(obj, r, y)

    return best_per_call(step, max(1, 2000 // m)) * n / m


def reference_cost(n):
    return per_object_cost(n, lambda: Channel(kp=1.2, ki=0.8, kd=0.05, tf=0.02, u_min=-1.0,
                                               u_max=1.0),
                           lambda c, r, y: c.update(r, y, DT))


def simple_pid_cost(n):
    if SimplePID is None:
        return float("nan")

    def make():
        return SimplePID(1.2, 0.8, 0.05, setpoint=0.5, sample_time=None, output_limits=(-1.0, 1.0))

    return per_object_cost(n, make, lambda p, r, y: p(y, dt=DT))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer calls")
    args = parser.parse_args()
    scale = 10 if args.quick else 1
    copier = CopyBandwidth()
    if SimplePID is None:
        print("simple-pid is not installed: its column shows nan")
    print(f"{'channels':>9} {'params':>8} {'out':>4} {'kovar us':>10} {'python us':>11} "
          f"{'simple-pid us':>14} {'floor us':>9} {'x floor':>8} {'copy GB/s':>10}")
    for n in SIZES:
        calls = max(3, 200_000 // (n * scale) if n < 10_000 else 300 // (n // 10_000) // scale)
        baselines = (reference_cost(n), simple_pid_cost(n))
        for uniform in (True, False):
            for with_out in (False, True):
                update = kovar_update(n, uniform, with_out)
                if n < 10_000:
                    cost = in_turns([update], [calls])[0]
                    floor, bandwidth = math.nan, math.nan
                else:
                    cost, copy_us = in_turns([update, copier.copy], [calls, 3])
                    bandwidth = copier.per_us(copy_us)
                    floor = BYTES_PER_CHANNEL[uniform] * n / bandwidth
                ratio = f"{cost / floor:8.2f}" if floor == floor else f"{'':>8}"
                print(f"{n:>9} {'uniform' if uniform else 'channel':>8} "
                      f"{'yes' if with_out else 'no':>4} {cost:10.3f} {baselines[0]:11.1f} "
                      f"{baselines[1]:14.1f} {floor:9.1f} {ratio} {bandwidth / 1e3:10.1f}")
    print(f"(python and simple-pid columns at n > {SUBSET}: {SUBSET} objects timed, scaled to n;")
    print(" floor: bytes an update must move over the copy bandwidth timed in turns with it)")


if __name__ == "__main__":
    main()
