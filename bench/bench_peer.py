"""kovar against a compiled peer: numba loops of each law exactly as kovar
computes it (same operations in the same order, no fastmath, so the same
bits), and a streaming floor: a numba loop over the same arrays, allocating
the same results, that reads and writes what the law reads and writes with
no floating-point arithmetic (integer xor of the bits, a plain copy for
the history).

Run:  make bench   (or: python bench/bench_peer.py [--quick] [--max-size N])

Every peer is checked bit for bit against kovar over a few calls (with NaN
channels) before it is timed. Candidates are timed in turns, several
rounds, and the median of the rounds is printed. kovar runs with its
chosen threads; from 10^5 channels on it is also timed on one thread
(below that, setting the threads through ctypes costs a visible share).
numba runs on one thread. The machine's load average is printed before
and after: other jobs on the two cores move the multi-thread numbers most.

Needs numba, which only the benchmark environment installs.
"""
import argparse
import itertools
import os
import statistics
import timeit

import numba
import numpy as np
from numba import njit

from kovar import kernel_settings
from kovar.bank import PIDBank
from kovar.regulo import AdaptiveController, PIDController, PIDControllerXd

SIZES = (1, 100, 10_000, 100_000, 1_000_000, 10_000_000)
DT = 0.01
ROWS = 10


# ---------------------------------------------------------------- regulo laws

@njit(fastmath=False)
def pid_1d(t, x, kp, ki, kd, integral, previous, dt, error, control):
    n = t.shape[0]
    positive = dt > 0.0
    for j in range(n):
        e = t[j] - x[j]
        s = integral[j] + e * dt
        integral[j] = s
        d = (e - previous[j]) / dt if positive else 0.0
        error[j] = e
        control[j] = (kp[j] * e + ki[j] * s) + kd[j] * d


@njit(fastmath=False)
def pid_2d(t, x, kp, ki, kd, integral, previous, dt, error, control):
    rows, cols = t.shape
    positive = dt > 0.0
    for i in range(rows):
        for j in range(cols):
            e = t[i, j] - x[i, j]
            s = integral[i, j] + e * dt
            integral[i, j] = s
            d = (e - previous[i, j]) / dt if positive else 0.0
            error[i, j] = e
            control[i, j] = (kp[i, j] * e + ki[i, j] * s) + kd[i, j] * d


@njit(fastmath=False)
def clip(x, lower, upper):
    # np.clip of NumPy 2.x: a NaN bound wins, ties and a NaN element stay
    if lower != lower:
        b = lower
    elif x < lower:
        b = lower
    else:
        b = x
    if upper != upper:
        return upper
    return upper if b > upper else b


@njit(fastmath=False)
def adaptive(t, x, kp, ki, kd, integral, previous, history, dt, rate, lower, upper, error,
             control):
    # the history rolled in place, as kovar does when nothing else sees it;
    # the mean summed as np.mean(axis=0) sums: pairwise for one channel,
    # row by row into +0.0 for more
    n = t.shape[0]
    positive = dt > 0.0
    for j in range(n):
        e = t[j] - x[j]
        if n == 1:
            h = history[:, 0]
            s = ((e + h[0]) + (h[1] + h[2])) + ((h[3] + h[4]) + (h[5] + h[6]))
            s = 0.0 + ((s + h[7]) + h[8])
        else:
            s = 0.0 + e
            for k in range(ROWS - 1):
                s += history[k, j]
        for k in range(ROWS - 1, 0, -1):
            history[k, j] = history[k - 1, j]
        history[0, j] = e
        delta = clip((rate * (s / 10.0)) * e, lower, upper)
        p = kp[j] + delta
        kp[j] = p
        i = integral[j] + e * dt
        integral[j] = i
        d = (e - previous[j]) / dt if positive else 0.0
        error[j] = e
        control[j] = (p * e + ki[j] * i) + kd[j] * d


# The floors: the same reads, writes and fresh results, bits moved with xor.

@njit
def pid_floor_1d(t, x, kp, ki, kd, integral, previous, error, control):
    n = t.shape[0]
    for j in range(n):
        error[j] = t[j] ^ x[j]
        control[j] = kp[j] ^ ki[j] ^ kd[j]
        integral[j] = integral[j] ^ previous[j]


@njit
def pid_floor_2d(t, x, kp, ki, kd, integral, previous, error, control):
    rows, cols = t.shape
    for i in range(rows):
        for j in range(cols):
            error[i, j] = t[i, j] ^ x[i, j]
            control[i, j] = kp[i, j] ^ ki[i, j] ^ kd[i, j]
            integral[i, j] = integral[i, j] ^ previous[i, j]


@njit
def adaptive_floor(t, x, kp, ki, kd, integral, previous, history, error, control):
    n = t.shape[0]
    for j in range(n):
        e = t[j] ^ x[j]
        for k in range(ROWS - 1, 0, -1):
            history[k, j] = history[k - 1, j]
        history[0, j] = e
        kp[j] = kp[j] ^ ki[j]
        integral[j] = integral[j] ^ kd[j] ^ previous[j]
        error[j] = e
        control[j] = kp[j]


# ---------------------------------------------------------------- the bank's law
# As src/kovar/kernels/bank_kernel.cpp computes an update that advances time
# on a bank that has run (no channel fresh or manual), back-calculation with
# tt=None (max(|kp/ki|, h), h where kp is 0, no tracking where ki is 0): NaN channels, the proportional on b * r, the derivative on
# c * r filtered by tf, output limits, integral clamp, deadband. Parameters
# are floats (uniform) or arrays (per channel); numba makes one loop of each.

@njit(inline="always")
def at(p, i):
    return p if isinstance(p, float) else p[i]


@njit(fastmath=False)
def bank(r, y, integral, derivative, x_prev, output, out, h,
         kp, ki, kd, b, c, tf, u_min, u_max, i_min, i_max, deadband):
    for i in range(r.shape[0]):
        ri, yi = r[i], y[i]
        if not (np.isfinite(ri) and np.isfinite(yi)):
            out[i] = output[i] = np.nan
            continue
        kpi, kii = at(kp, i), at(ki, i)
        prop = kpi * (at(b, i) * ri - yi)
        xi = at(c, i) * ri - yi
        tfi = at(tf, i)
        d = (tfi * derivative[i] + at(kd, i) * (xi - x_prev[i])) / (tfi + h)
        v = prop + integral[i] + d
        lo, hi = at(u_min, i), at(u_max, i)
        u = lo if v < lo else v
        u = hi if u > hi else u
        e = ri - yi
        ei = 0.0 if abs(e) <= at(deadband, i) else e
        if kii != 0.0:
            if kpi == 0.0:
                tt = h
            else:
                q = abs(kpi / kii)
                tt = h if h > q else q
            s = integral[i] + (kii * h * ei + h * (u - v) / tt)
        else:
            s = integral[i] + kii * h * ei
        lo, hi = at(i_min, i), at(i_max, i)
        s = lo if s < lo else s
        s = hi if s > hi else s
        integral[i] = s
        derivative[i] = d
        x_prev[i] = xi
        out[i] = output[i] = u
    return out


# The bank's floor moves what the bank's own pass moves: the law's arrays
# and its last output beside the caller's.

def bank_floor_of(per_channel):
    """The floor's loop; numba takes per_channel as a constant and drops the other branch."""
    @njit
    def floor(r, y, integral, derivative, x_prev, output, out, kp, ki, kd, tf, u_min, u_max):
        for i in range(r.shape[0]):
            v = r[i] ^ y[i]
            if per_channel:
                v ^= kp[i] ^ ki[i] ^ kd[i] ^ tf[i] ^ u_min[i] ^ u_max[i]
            integral[i] = integral[i] ^ v
            derivative[i] = derivative[i] ^ x_prev[i]
            x_prev[i] = v
            out[i] = output[i] = v
        return out
    return floor


BANK_FLOORS = {False: bank_floor_of(False), True: bank_floor_of(True)}


# ---------------------------------------------------------------- candidates

def bits(a):
    return np.ascontiguousarray(a).view(np.uint64)


def same_bits(a, b):
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    nan_a, nan_b = np.isnan(a), np.isnan(b)
    return a.shape == b.shape and bool((nan_a == nan_b).all()) and bool(
        (bits(a)[~nan_a] == bits(b)[~nan_b]).all())


class ReguloCase:
    """One regulo class at one size: kovar, its numba peer, the floor."""

    def __init__(self, name, shape, rng):
        self.name, self.shape = name, shape
        self.gains = [rng.uniform(0.1, 1.0, shape) for _ in range(3)]
        self.t, self.x = rng.normal(size=shape), rng.normal(size=shape)
        self.adaptive = name == "AdaptiveController"
        cls = {"PIDController": PIDController, "PIDControllerXd": PIDControllerXd,
               "AdaptiveController": AdaptiveController}[name]
        self.kovar = cls(*[g.copy() for g in self.gains])
        self.kp, self.ki, self.kd = [g.copy() for g in self.gains]
        self.integral = np.zeros(shape)
        self.previous = np.zeros(shape)
        self.history = np.zeros((ROWS,) + shape)
        self.rate, self.bound = 0.01, 0.1  # AdaptiveController's defaults
        u = lambda a: a.view(np.uint64)
        self.floor_args = [u(self.t), u(self.x), u(self.gains[0].copy()), u(self.gains[1]),
                           u(self.gains[2]), u(np.zeros(shape)), u(np.zeros(shape))]
        if self.adaptive:
            self.floor_args.append(u(np.zeros((ROWS,) + shape)))

    # Fresh results come from NumPy's allocator, as kovar's do (numba's own
    # np.empty gets no huge pages, and pays for that in page faults at 10^7).
    def peer(self, t, x, dt):
        error, control = np.empty(self.shape), np.empty(self.shape)
        if self.adaptive:
            adaptive(t, x, self.kp, self.ki, self.kd, self.integral, self.previous, self.history,
                     dt, self.rate, -self.bound, self.bound, error, control)
        else:
            law = pid_1d if len(self.shape) == 1 else pid_2d
            law(t, x, self.kp, self.ki, self.kd, self.integral, self.previous, dt, error, control)
        self.previous = error
        return control

    def floor(self):
        error, control = np.empty(self.shape, np.uint64), np.empty(self.shape, np.uint64)
        if self.adaptive:
            adaptive_floor(*self.floor_args, error, control)
        else:
            (pid_floor_1d if len(self.shape) == 1 else pid_floor_2d)(*self.floor_args, error, control)
        return control

    def check(self, rng):
        for dt in (DT, 0.0, 0.5):
            t, x = rng.normal(size=self.shape), rng.normal(size=self.shape)
            t.flat[::7] = np.nan
            a, b = self.kovar.compute_control(t, x, dt), self.peer(t, x, dt)
            reduced = self.kovar.__reduce__()
            fields = dict(zip(("integral", "kd", "ki", "kp", "previous_error") if not self.adaptive else
                              ("error_history", "integral", "kd", "ki", "kp", "learning_rate",
                               "max_adjustment", "previous_error"),
                              reduced[2] if len(reduced) == 3 else reduced[1][2]))
            assert same_bits(a, b), f"{self.name}: control differs from the peer"
            assert same_bits(fields["integral"], self.integral), f"{self.name}: integral differs"
            assert same_bits(fields["previous_error"], self.previous), f"{self.name}: error differs"
            if self.adaptive:
                assert same_bits(fields["kp"], self.kp), f"{self.name}: kp differs"
                assert same_bits(fields["error_history"], self.history), f"{self.name}: history differs"

    def candidates(self):
        t, x, kovar = self.t, self.x, self.kovar
        return [lambda: kovar.compute_control(t, x, DT), lambda: self.peer(t, x, DT), self.floor]


BANK_UNIFORM = dict(kp=1.2, ki=0.8, kd=0.05, tf=0.02, u_min=-1.0, u_max=1.0)
BANK_DEFAULTS = dict(b=1.0, c=0.0, i_min=-np.inf, i_max=np.inf, deadband=0.0)
BANK_ORDER = ("kp", "ki", "kd", "b", "c", "tf", "u_min", "u_max", "i_min", "i_max", "deadband")


class BankCase:
    """PIDBank.update(r, y, dt, out=out) at one size, uniform or per-channel
    parameters (kp, ki, kd, tf, u_min, u_max), kovar against its peer."""

    def __init__(self, uniform, n, rng):
        self.name = "PIDBank " + ("uniform" if uniform else "per-channel")
        self.shape = (n,)
        params = dict(BANK_UNIFORM) if uniform else dict(
            kp=rng.uniform(0.5, 2, n), ki=rng.uniform(0.1, 1, n), kd=rng.uniform(0, 0.1, n),
            tf=rng.uniform(0, 0.05, n), u_min=-rng.uniform(0.5, 1, n), u_max=rng.uniform(0.5, 1, n))
        self.kovar = PIDBank(n, **params)
        every = {**BANK_DEFAULTS, **params}
        self.params = [every[k] for k in BANK_ORDER]
        self.r, self.y = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
        self.out = np.empty(n)
        # One update takes both past the fresh first call; the peer starts
        # from the state it leaves.
        self.kovar.update(self.r, self.y, DT)
        self.integral = self.kovar.integral.copy()
        self.derivative = self.kovar.derivative.copy()
        self.output = self.kovar.output.copy()
        c = every["c"]
        self.x_prev = c * self.r - self.y
        self.peer_out = np.empty(n)
        u = lambda a: a.view(np.uint64)
        # kp, ki, kd, tf, u_min and u_max, read by the floor where they are per channel
        arrays = [u(np.atleast_1d(np.array(params[k], dtype=float)))
                  for k in ("kp", "ki", "kd", "tf", "u_min", "u_max")]
        self.floor_law = BANK_FLOORS[not uniform]
        self.floor_args = [u(self.r), u(self.y), *[u(np.zeros(n)) for _ in range(5)], *arrays]

    def peer(self, r, y, h, out):
        return bank(r, y, self.integral, self.derivative, self.x_prev, self.output, out, h,
                    *self.params)

    def floor(self):
        return self.floor_law(*self.floor_args)

    def check(self, rng):
        n = self.shape[0]
        for h in (DT, 0.5, DT):
            r, y = rng.uniform(-2, 2, n), rng.uniform(-2, 2, n)
            y[::5] = np.nan
            a = self.kovar.update(r, y, h, out=np.empty(n))
            b = self.peer(r, y, h, np.empty(n))
            assert same_bits(a, b), f"{self.name}: output differs from the peer"
            for name in ("integral", "derivative", "output"):
                assert same_bits(getattr(self.kovar, name), getattr(self, name)), f"{self.name}: {name}"

    def candidates(self):
        # Two measurements in turn: with one, the filtered derivative decays
        # call after call into subnormal numbers, whose arithmetic is slow.
        out, kovar, peer_out = self.out, self.kovar, self.peer_out
        inputs = [(self.r, self.y), (self.r, self.y[::-1].copy())]
        turns = [itertools.cycle(inputs), itertools.cycle(inputs)]

        def kovar_update():
            r, y = next(turns[0])
            return kovar.update(r, y, DT, out=out)

        def peer_update():
            r, y = next(turns[1])
            return self.peer(r, y, DT, peer_out)

        return [kovar_update, peer_update, self.floor]


def on_one_thread(func, threads, module):
    def run():
        kernel_settings.set_threads(1, module)
        try:
            return func()
        finally:
            kernel_settings.set_threads(threads, module)
    return run


def median_in_turns(funcs, rounds, budget):
    """Median over rounds of the microseconds per call of each function,
    the functions timed in turns within each round."""
    numbers = []
    for func in funcs:
        func()
        once = timeit.timeit(func, number=1)
        numbers.append(max(1, int(budget / max(once, 1e-7))))
    samples = [[] for _ in funcs]
    for _ in range(rounds):
        for i, func in enumerate(funcs):
            samples[i].append(timeit.timeit(func, number=numbers[i]) / numbers[i] * 1e6)
    return [statistics.median(s) for s in samples]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer rounds, shorter timings")
    parser.add_argument("--max-size", type=int, default=SIZES[-1], help="largest bank timed")
    args = parser.parse_args()
    rounds, budget = (3, 0.02) if args.quick else (7, 0.1)
    threads = kernel_settings.threads()
    print(f"SIMD path: kovar.regulo {kernel_settings.simd_path()}, kovar.bank "
          f"{kernel_settings.simd_path('bank')}; {threads} thread(s) for large calls; "
          f"numba {numba.__version__}, one thread")
    print("load average before: %.2f %.2f %.2f" % os.getloadavg())
    print(f"{'class':>22} {'n':>9} {'kovar us':>11} {'1 thread':>10} {'numba us':>11} "
          f"{'floor us':>11} {'k/numba':>8} {'k/floor':>8} {'1t/numba':>9}")
    rng = np.random.default_rng(0)
    for n in (s for s in SIZES if s <= args.max_size):
        cases = [ReguloCase("PIDController", (n,), rng),
                 ReguloCase("PIDControllerXd", (n // 100, 100) if n >= 100 else (1, n), rng),
                 ReguloCase("AdaptiveController", (n,), rng),
                 BankCase(True, n, rng), BankCase(False, n, rng)]
        for case in cases:
            case.check(rng)
            funcs = case.candidates()
            if n >= 100_000 and threads > 1:
                module = "regulo" if isinstance(case, ReguloCase) else "bank"
                funcs.append(on_one_thread(funcs[0], threads, module))
            times = median_in_turns(funcs, rounds, budget)
            kovar_us, numba_us, floor_us = times[:3]
            one = times[3] if len(times) > 3 else None
            print(f"{case.name:>22} {n:>9} {kovar_us:11.2f} "
                  f"{(f'{one:10.2f}' if one else ''):>10} {numba_us:11.2f} {floor_us:11.2f} "
                  f"{kovar_us / numba_us:8.2f} {kovar_us / floor_us:8.2f} "
                  f"{(f'{one / numba_us:9.2f}' if one else ''):>9}")
        del cases
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
