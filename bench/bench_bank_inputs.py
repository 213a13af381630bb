"""The bank's cost with and without its optional inputs, side by side in one
run, and against another build of kovar (the one before a change).

Cases, each a uniform bank that has run (no fresh channels), updated with
`out` given:
  plain   no feed-forward, no rate limit, no tracking;
  ff+rate feed-forward (one value per channel) and a finite rate limit.
Every case runs in its own child process, the processes in turns (a round
is one of each). Printed: the best time of all rounds, and the median over
the rounds of each round's ratio (cases of one round run back to back, so
a slow phase of a shared machine hits both sides of a ratio alike).

Run:  python bench/bench_bank_inputs.py [--baseline DIR] [--rounds N]
where DIR holds another build's `kovar` package (for example a copy of the
installed package made before a change): its plain case is timed in the
same turns and the ratios printed.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import timeit

SIZES = (1, 100, 10_000, 1_000_000)

CHILD = r"""
import json, sys, timeit
import numpy as np
from kovar.bank import PIDBank
case, sizes = sys.argv[1], json.loads(sys.argv[2])
best = []
for n in sizes:
    rng = np.random.default_rng(1)
    kw = dict(kp=1.2, ki=0.8, kd=0.05, tf=0.02, u_min=-1.0, u_max=1.0)
    if case == "ff+rate":
        kw["rate_limit"] = 5.0
    bank = PIDBank(n, **kw)
    r, y, ff, out = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n), rng.uniform(-.1, .1, n), np.empty(n)
    if n == 1:
        r, y, ff = float(r[0]), float(y[0]), float(ff[0])
    bank.update(r, y, 0.01)
    if case == "ff+rate":
        call = lambda: bank.update(r, y, 0.01, feedforward=ff, out=out)
    else:
        call = lambda: bank.update(r, y, 0.01, out=out)
    number = max(3, 100_000 // n) if n < 10_000 else max(3, 1000 // (n // 10_000))
    best.append(min(timeit.repeat(call, number=number, repeat=5)) / number * 1e6)
print(json.dumps(best))
"""


def run(case, pythonpath):
    env = dict(os.environ)
    if pythonpath:
        env["PYTHONPATH"] = pythonpath + os.pathsep + env.get("PYTHONPATH", "")
    out = subprocess.run([sys.executable, "-c", CHILD, case, json.dumps(SIZES)], env=env,
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--baseline", help="a directory holding another build's kovar package")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="three rounds, for a smoke run")
    args = parser.parse_args()
    if args.quick:
        args.rounds = 3
    cases = [("plain", None), ("ff+rate", None)]
    if args.baseline:
        cases.insert(0, ("baseline plain", args.baseline))
    rounds = []
    for _ in range(args.rounds):
        rounds.append({name: run(name.split()[-1], path) for name, path in cases})
    best = {name: [min(r[name][k] for r in rounds) for k in range(len(SIZES))] for name, _ in cases}

    def ratio(top, bottom, k):
        return statistics.median(r[top][k] / r[bottom][k] for r in rounds)

    ratios = [("ff+rate", "plain")]
    if args.baseline:
        ratios = [("plain", "baseline plain"), ("ff+rate", "baseline plain")] + ratios
    print(f"{'channels':>9} " + " ".join(f"{name + ' us':>18}" for name, _ in cases)
          + " " + " ".join(f"{top.split()[-1] + '/' + bottom.split()[0]:>16}" for top, bottom in ratios))
    for k, n in enumerate(SIZES):
        print(f"{n:>9} " + " ".join(f"{best[name][k]:18.3f}" for name, _ in cases) + " "
              + " ".join(f"{ratio(top, bottom, k):16.3f}" for top, bottom in ratios))
    print("(times: best of all rounds; ratios: median of the rounds' ratios)")


if __name__ == "__main__":
    main()
