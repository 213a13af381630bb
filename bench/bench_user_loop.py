"""Is PIDBank faster than the loop a user would write instead? kovar against
a numba loop of the same job as a speed-minded user writes it: parameters
as scalars (a uniform fleet; also per-channel kp and ki), state in a few
arrays, a NaN guard that skips the channel, no manual mode, no first-step
or gap branches.

Run:  make bench   (or: python bench/bench_user_loop.py [--quick])

Two calls are compared:

- plain: P with setpoint weight b, a filtered derivative on c*r - y,
  output limits, back-calculation with a given tt and integral limits;
  PIDBank(..., anti_windup="back_calculation", on_nan="hold").update(
  setpoint=r, measurement=y, dt=h, out=out), and with out=bank.output (the
  bank keeps its last output anyway; given its own, it writes it once);
- feature-rich: the same plus feed-forward, an output rate limit and the
  terms (p, I before the update, d, ff) kept in four arrays; the bank with
  rate_limit= and keep_terms=True, update(..., feedforward=ff).

Each loop is checked bit for bit against the bank (outputs, state, terms)
over a few calls before it is timed. How it is timed: one thread on each
side; sizes 1 to 10^7 channels (--quick: up to 10^5, fewer rounds); a new
bank for each size; the caller's arrays plain NumPy arrays; inputs
alternating between two sets call by call, so the filtered derivative never
decays into subnormal numbers; kovar and numba timed in turns, round after
round, and the median of the rounds printed: ns per call for 1 and 100
channels, ns per channel above. From 10^5 channels on, kovar also runs on
the threads it takes by default, against the same one-thread loop.

numba compiles for the host CPU (AVX-512 where it has it), as kovar picks
its widest path; for the machines without AVX-512 the plain comparison is
run again in a subprocess with numba targeting haswell (AVX2 and FMA, no AVX-512) and KOVAR_SIMD=avx2. The
header gives the CPU, its SIMD features, kovar's path and threads, numba's
version, the width of numba's vector arithmetic (read from its assembly)
and the load average before and after: other jobs on the cores move every
number.

Needs numba, which only the benchmark environment installs; without it the
loops run as plain Python (the test suite checks them that way).
"""
import argparse
import datetime
import os
import re
import statistics
import subprocess
import sys
import time

import numpy as np

try:
    import numba
    from numba import njit
except ImportError:  # the loops then run as plain Python
    numba = None

    def njit(*args, **kwargs):
        return lambda func: func

from kovar import kernel_settings
from kovar.bank import PIDBank

SIZES = (1, 100, 10_000, 100_000, 1_000_000, 10_000_000)
QUICK_MAX = 100_000
PER_CALL_UP_TO = 100  # sizes reported in ns per call, not per channel
THREADS_FROM = 100_000  # sizes with a row for kovar on its default threads
DT = 0.01
LAW = dict(kp=1.2, ki=0.8, kd=0.05, b=0.7, c=0.3, tf=0.02, u_min=-1.0, u_max=1.0,
           i_min=-2.0, i_max=2.0, tt=0.5)
ORDER = ("kp", "ki", "kd", "b", "c", "tf", "u_min", "u_max", "i_min", "i_max", "tt")
RATE = 20.0  # per second: a window of 0.2 a step, which some channels hit
SIMD_FLAGS = ("sse2", "avx2", "fma", "avx512f", "avx512bw", "avx512vl", "avx512dq")
AVX2_ENV = {"NUMBA_CPU_NAME": "haswell",
            # numba adds the host's features (AVX-512 here) to any named CPU
            # unless it is given features; empty means the CPU's own.
            "NUMBA_CPU_FEATURES": "",
            "KOVAR_SIMD": "avx2"}


# ---------------------------------------------------------------- the loops
# The user's loops, in the bank's order of operations (so the same bits):
# clip is Python's min(max(x, lo), hi), which numba's min and max follow.
# A channel whose r, y (or ff) is not finite keeps its last output and
# state; the bank does the same with on_nan="hold", but it also restarts
# the derivative at the channel's next finite step, which these loops do
# not: after a NaN their outputs differ from the bank's.

@njit(inline="always")
def at(p, i):
    return p if isinstance(p, float) else p[i]


@njit(fastmath=False, cache=False)
def plain_loop(r, y, out, integral, derivative, x_prev, h,
               kp, ki, kd, b, c, tf, u_min, u_max, i_min, i_max, tt):
    for i in range(r.shape[0]):
        ri, yi = r[i], y[i]
        if not (np.isfinite(ri) and np.isfinite(yi)):
            continue
        kpi, kii = at(kp, i), at(ki, i)
        p = kpi * (b * ri - yi)
        x = c * ri - yi
        d = (tf * derivative[i] + kd * (x - x_prev[i])) / (tf + h)
        v = (p + integral[i]) + d
        u = min(max(v, u_min), u_max)
        s = integral[i] + (kii * h * (ri - yi) + h * (u - v) / tt)
        integral[i] = min(max(s, i_min), i_max)
        derivative[i] = d
        x_prev[i] = x
        out[i] = u


@njit(fastmath=False, cache=False)
def rich_loop(r, y, ff, out, integral, derivative, x_prev, u_prev, term_p, term_i, term_d,
              term_ff, h, rate, kp, ki, kd, b, c, tf, u_min, u_max, i_min, i_max, tt):
    step = rate * h
    for i in range(r.shape[0]):
        ri, yi, fi = r[i], y[i], ff[i]
        if not (np.isfinite(ri) and np.isfinite(yi) and np.isfinite(fi)):
            continue
        p = kp * (b * ri - yi)
        x = c * ri - yi
        d = (tf * derivative[i] + kd * (x - x_prev[i])) / (tf + h)
        i0 = integral[i]
        v = ((p + i0) + d) + fi
        last = u_prev[i]
        u = min(max(v, last - step), last + step)
        u = min(max(u, u_min), u_max)
        s = i0 + (ki * h * (ri - yi) + h * (u - v) / tt)
        integral[i] = min(max(s, i_min), i_max)
        derivative[i] = d
        x_prev[i] = x
        u_prev[i] = u
        term_p[i], term_i[i], term_d[i], term_ff[i] = p, i0, d, fi
        out[i] = u


# ---------------------------------------------------------------- the cases

STATES = ("out", "integral", "derivative", "term p", "term i", "term d", "term ff")


def same_bits(a, b):
    a, b = np.ascontiguousarray(a, np.float64), np.ascontiguousarray(b, np.float64)
    return a.shape == b.shape and bool((a.view(np.uint64) == b.view(np.uint64)).all())


class Case:
    """One bank and the loop that does its job, at one size. Both start
    past the bank's first step (which has no derivative and no rate
    window): one update of the bank, whose state the loop then takes.
    bank_call and loop_call bind a call to its arguments, as a program
    calls it in its own loop, so timing adds one bare Python call to each."""

    def __init__(self, name, n, rng, params, bank_options):
        self.name, self.n = name, n
        self.bank = PIDBank(n, **params, anti_windup="back_calculation", on_nan="hold",
                            **bank_options)
        self.inputs = [self.make_inputs(n, rng) for _ in range(2)]
        self.out, self.loop_out = np.empty(n), np.empty(n)
        first = self.inputs[1]
        self.bank_call(first, DT)()
        self.integral = self.bank.integral.copy()
        self.derivative = self.bank.derivative.copy()
        self.x_prev = params["c"] * first[0] - first[1]
        self.loop_out[:] = self.out
        self.law = tuple(params[k] for k in ORDER)

    own_output = False  # update(..., out=bank.output)

    def bank_out(self):
        return self.bank.output if self.own_output else self.out

    def bank_call(self, inputs, h):
        update, out = self.bank.update, self.bank_out()
        r, y = inputs
        return lambda: update(setpoint=r, measurement=y, dt=h, out=out)

    @staticmethod
    def make_inputs(n, rng):
        """Setpoint and measurement."""
        return [rng.uniform(-1.0, 1.0, n), rng.uniform(-1.0, 1.0, n)]

    def states(self):
        """(what the bank holds, what the loop holds), in the order of STATES."""
        b = self.bank
        return [(self.bank_out(), self.loop_out), (b.integral, self.integral),
                (b.derivative, self.derivative)]

    def check_steps(self):
        """(inputs, dt) of the calls that check the loop before it is timed."""
        return [(self.inputs[k % 2], h) for k, h in enumerate((DT, 0.5, DT, DT))]

    def mismatches(self, steps):
        """Runs the bank and the loop through steps, (inputs, dt) each; None
        where they agree bit for bit after every step, else the first
        step's index and what differs after it."""
        for k, (inputs, h) in enumerate(steps):
            self.bank_call(inputs, h)()
            self.loop_call(inputs, h)()
            bad = [which for which, (ours, theirs) in zip(STATES, self.states())
                   if not same_bits(ours, theirs)]
            if bad:
                return k, bad
        return None

    def calls(self):
        """The bank's calls and the loop's, one on each input set."""
        return ([self.bank_call(inputs, DT) for inputs in self.inputs],
                [self.loop_call(inputs, DT) for inputs in self.inputs])


class PlainCase(Case):
    def __init__(self, n, rng, per_channel=False, own_output=False):
        params = dict(LAW)
        if per_channel:
            params.update(kp=rng.uniform(0.5, 2.0, n), ki=rng.uniform(0.1, 1.0, n))
        self.own_output = own_output
        name = "plain, per-channel kp ki" if per_channel else "plain"
        super().__init__(name + (", out=bank.output" if own_output else ""), n, rng, params, {})

    def loop_call(self, inputs, h):
        r, y = inputs
        out, integral, derivative, x_prev, law = (self.loop_out, self.integral, self.derivative,
                                                  self.x_prev, self.law)
        return lambda: plain_loop(r, y, out, integral, derivative, x_prev, h, *law)


def rich_bank_options():
    """A rate limit, and the terms kept."""
    return {"rate_limit": RATE, "keep_terms": True}


class RichCase(Case):
    def __init__(self, n, rng):
        super().__init__("feed-forward, rate, terms", n, rng, dict(LAW), rich_bank_options())
        self.u_prev = self.bank.output.copy()
        self.terms = [np.empty(n) for _ in range(4)]

    def bank_call(self, inputs, h):
        update, out = self.bank.update, self.bank_out()
        r, y, ff = inputs
        return lambda: update(setpoint=r, measurement=y, dt=h, out=out, feedforward=ff)

    @staticmethod
    def make_inputs(n, rng):
        """Setpoint, measurement and feed-forward."""
        return [*Case.make_inputs(n, rng), rng.uniform(-0.2, 0.2, n)]

    def loop_call(self, inputs, h):
        r, y, ff = inputs
        out, integral, derivative, x_prev, u_prev, law = (
            self.loop_out, self.integral, self.derivative, self.x_prev, self.u_prev, self.law)
        term_p, term_i, term_d, term_ff = self.terms
        return lambda: rich_loop(r, y, ff, out, integral, derivative, x_prev, u_prev, term_p,
                                 term_i, term_d, term_ff, h, RATE, *law)

    def states(self):
        return super().states() + list(zip(self.bank.terms, self.terms))


# ---------------------------------------------------------------- timing

def in_turns(candidates, rounds, budget):
    """Median over rounds of the seconds per call of each ((call on one
    input set, call on the other), kovar threads): in each round every
    candidate in turn runs a batch of calls that takes about `budget`
    seconds, alternating its input sets."""
    pairs = []
    for (first, second), threads in candidates:
        kernel_settings.set_threads(threads)
        first()
        second()
        start = time.perf_counter()
        first()
        second()
        twice = time.perf_counter() - start
        pairs.append(max(1, int(budget / max(twice, 1e-7))))
    samples = [[] for _ in candidates]
    for _ in range(rounds):
        for ((first, second), threads), number, times in zip(candidates, pairs, samples):
            kernel_settings.set_threads(threads)
            start = time.perf_counter()
            for _ in range(number):
                first()
                second()
            times.append((time.perf_counter() - start) / (2 * number))
    kernel_settings.set_threads(1)
    return [statistics.median(s) for s in samples]


def cpu_line():
    model, flags = "unknown CPU", set()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                key, _, value = line.partition(":")
                if key.strip() == "model name" and model == "unknown CPU":
                    model = value.strip()
                elif key.strip() == "flags" and not flags:
                    flags = set(value.split())
    except OSError:
        pass
    return f"{model}; " + " ".join(f if f in flags else f"(no {f})" for f in SIMD_FLAGS)


def numba_vectors(func):
    """The widest registers numba's loop does packed double arithmetic in,
    and whether it uses AVX-512's mask registers (for the guard's skipped
    stores, which AVX2 code does with vmaskmovpd)."""
    asm = "\n".join(func.inspect_asm().values())
    masks = " with AVX-512 mask registers" if re.search(r"%k[1-7]\b", asm) else ""
    for reg, bits in (("zmm", 512), ("ymm", 256), ("xmm", 128)):
        if re.search(rf"\bv?(add|sub|mul|div)pd\b[^\n]*%{reg}", asm):
            return f"{bits}-bit packed{masks}"
    return f"scalar{masks}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help=f"sizes up to {QUICK_MAX}, fewer rounds")
    parser.add_argument("--plain-only", action="store_true",
                        help="only the plain calls (as the AVX2 run does)")
    parser.add_argument("--label", default="numba for the host CPU", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if numba is None:
        sys.exit("bench_user_loop.py needs numba (make bench installs it)")
    rounds, budget = (3, 0.02) if args.quick else (9, 0.1)
    sizes = [n for n in SIZES if n <= QUICK_MAX or not args.quick]
    default_threads = kernel_settings.threads()
    kernel_settings.set_threads(1)

    print(f"== kovar against a user's numba loop: {args.label} ==")
    print(f"{datetime.date.today()}, CPU: {cpu_line()}")
    also = f" (and on {default_threads} where marked)" if default_threads > 1 else ""
    print(f"kovar: SIMD path {kernel_settings.simd_path('bank')}, {default_threads} thread(s) by "
          f"default, timed on 1{also}; numba {numba.__version__}"
          f" (NUMBA_CPU_NAME={os.environ.get('NUMBA_CPU_NAME', 'host')}), one thread; "
          f"NumPy {np.__version__}, Python {sys.version.split()[0]}")
    print("load average before: %.2f %.2f %.2f" % os.getloadavg())
    print(f"{'call':>46} {'n':>9} {'unit':>10} {'kovar':>10} {'numba':>10} {'kovar/numba':>12}")
    rng = np.random.default_rng(0)
    page_offset = None
    kept = {}  # (case name, n): [kovar, numba] on one thread
    for n in sizes:
        cases = [PlainCase(n, rng), PlainCase(n, rng, own_output=True),
                 PlainCase(n, rng, per_channel=True)]
        if not args.plain_only:
            cases.append(RichCase(n, rng))
        page_offset = (n, cases[0].inputs[0][0].ctypes.data % 4096)
        per_call = n <= PER_CALL_UP_TO
        scale, unit = (1e9, "ns/call") if per_call else (1e9 / n, "ns/chan")
        for case in cases:
            failed = case.mismatches(case.check_steps())
            if failed:
                sys.exit(f"{case.name}, n = {n}: {', '.join(failed[1])} differ from the bank's "
                         f"after call {failed[0]}")
            bank_call, loop_call = case.calls()
            candidates = [(bank_call, 1), (loop_call, 1)]
            threaded = n >= THREADS_FROM and default_threads > 1 and isinstance(case, PlainCase)
            if threaded:
                candidates.append((bank_call, default_threads))
            times = [t * scale for t in in_turns(candidates, rounds, budget)]
            kept[case.name, n] = times[:2]
            print(f"{case.name:>46} {n:>9} {unit:>10} {times[0]:10.2f} {times[1]:10.2f} "
                  f"{times[0] / times[1]:12.2f}")
            if threaded:
                label = f"{case.name}, kovar on {default_threads} threads"
                print(f"{label:>46} {n:>9} {unit:>10} {times[2]:10.2f} {times[1]:10.2f} "
                      f"{times[2] / times[1]:12.2f}")
        del cases
    if not args.plain_only:
        # What the features cost each side: the rich call's time over the plain one's.
        for n in sizes:
            if n > PER_CALL_UP_TO:
                (k_rich, n_rich), (k_plain, n_plain) = (kept["feed-forward, rate, terms", n],
                                                        kept["plain", n])
                print(f"{'feed-forward, rate, terms over plain':>46} {n:>9} {'ratio':>10} "
                      f"{k_rich / k_plain:10.2f} {n_rich / n_plain:10.2f}")
    print("numba's arithmetic: plain loop " + numba_vectors(plain_loop)
          + ("" if args.plain_only else ", feature-rich loop " + numba_vectors(rich_loop)))
    print(f"the caller's setpoint array at n = {page_offset[0]} starts at byte {page_offset[1]} of its page")
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())

    if not args.plain_only:
        print(flush=True)
        command = [sys.executable, __file__, "--plain-only", "--label",
                   "numba for haswell (AVX2, no AVX-512), KOVAR_SIMD=avx2"]
        subprocess.run(command + (["--quick"] if args.quick else []),
                       env={**os.environ, **AVX2_ENV}, check=True)


if __name__ == "__main__":
    main()
