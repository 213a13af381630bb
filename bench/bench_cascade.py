"""A cascade written in Python with the public plant stepper, against
simulate's native loop.

Target: 10^4 cascades (per step two PIDBank.update calls and two plant
steps through Stepper) take at most 3x the time simulate takes for
2 x 10^4 single loops over the same number of steps.

Run:  python bench/bench_cascade.py [--quick] [--steps N]
"""
import argparse
import time

import numpy as np

from kovar.bank import PIDBank
from kovar.sim import FOPDT, simulate


def cascade(n, steps, dt=0.05):
    rng = np.random.default_rng(0)
    # The inner loop (a valve's flow, fast) drives the outer plant (a
    # temperature, slow) through the inner plant's output.
    inner = FOPDT(rng.uniform(0.8, 1.2, n), 0.2, 0.05).discretize(dt).start()
    outer = FOPDT(rng.uniform(0.5, 2.0, n), rng.uniform(2.0, 5.0, n), 0.5).discretize(dt).start()
    primary = PIDBank(n, kp=0.5, ki=0.1, u_min=-2.0, u_max=2.0)
    secondary = PIDBank(n, kp=1.0, ki=2.0, u_min=-1.0, u_max=1.0)
    r = np.ones(n)
    flow_sp, valve = np.empty(n), np.empty(n)
    flow, temperature = inner.output(), outer.output()
    start = time.perf_counter()
    for _ in range(steps):
        # The primary's integral tracks the flow actually reached, so a
        # saturated inner loop does not wind it up.
        primary.update(r, temperature, dt, track=flow, out=flow_sp)
        secondary.update(flow_sp, flow, dt, out=valve)
        flow = inner.step(valve)
        temperature = outer.step(flow)
    return time.perf_counter() - start


def single_loops(n, steps, dt=0.05, record=False):
    rng = np.random.default_rng(0)
    plant = FOPDT(rng.uniform(0.5, 2.0, n), rng.uniform(2.0, 5.0, n), 0.5)
    bank = PIDBank(n, kp=0.5, ki=0.1, u_min=-2.0, u_max=2.0)
    start = time.perf_counter()
    simulate(bank, plant, dt=dt, steps=steps, record=record)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--steps", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="200 steps, once")
    args = parser.parse_args()
    steps, repeat = (200, 1) if args.quick else (args.steps, args.repeat)
    loops = min(single_loops(20_000, steps) for _ in range(repeat))
    recorded = min(single_loops(20_000, steps, record=True) for _ in range(repeat))
    cascades = min(cascade(10_000, steps) for _ in range(repeat))
    print(f"simulate, 2 x 10^4 loops x {steps} steps: {loops:.3f} s (record=False), "
          f"{recorded:.3f} s (recorded)")
    print(f"Python cascade with Stepper, 10^4 cascades x {steps} steps: {cascades:.3f} s, "
          f"{cascades / loops:.2f}x simulate without recording, {cascades / recorded:.2f}x recorded "
          f"(target: at most 3x)")


if __name__ == "__main__":
    main()
