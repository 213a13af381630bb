"""The targets of kovar.sim and kovar.tune at full size.

1. Closed-loop FOPDT simulation without recording: 10^5 channels x 2,000
   steps (target: 1.5 s on one core, about 7 ns per channel-step including
   the bank). The loop runs natively (kovar.sim._loop); the time per
   channel-step is printed beside the target.
2. identify_fopdt on 1,000 step tests: gain, tau and delay within 2 % on
   noise-free ZOH data of the same model, within 10 % with noise of 1 % of
   the step (delays of at least 5 samples).
3. search on a batch of test processes (lags, dead time, second order,
   integrating): its best IAE against the optimum of a ten times finer grid
   around it, and against SIMC's IAE under the same Ms limit.

Run:  python bench/bench_sim.py [--quick]
"""
import argparse
import time

import numpy as np

from kovar.bank import PIDBank
from kovar.sim import FOPDT, SOPDT, Integrating, simulate, step_test
from kovar.tune import identify_fopdt, robustness, search, simc


def closed_loop(channels, steps):
    rng = np.random.default_rng(0)
    plant = FOPDT(rng.uniform(0.5, 2.0, channels), rng.uniform(0.5, 5.0, channels), 0.5)
    bank = PIDBank(channels, kp=0.8, ki=0.4, u_min=-5.0, u_max=5.0)
    start = time.perf_counter()
    simulate(bank, plant, dt=0.05, steps=steps, record=False)
    took = time.perf_counter() - start
    per = took / (channels * steps) * 1e9
    print(f"closed loop, {channels} channels x {steps} steps, record=False: {took:.2f} s "
          f"({per:.1f} ns per channel-step; target 1.5 s at 10^5 x 2,000, about 7 ns)")


def identification(n):
    rng = np.random.default_rng(1)
    dt, steps = 0.1, 600
    plant = FOPDT(rng.uniform(0.5, 3.0, n) * rng.choice([-1.0, 1.0], n), rng.uniform(0.5, 8.0, n),
                  rng.integers(5, 40, n) * dt)
    t, u, clean = step_test(plant, dt, steps, step_time=20 * dt)
    for noise in (0.0, 0.01):
        y = clean + noise * np.abs(plant.gain) * rng.standard_normal(clean.shape)
        start = time.perf_counter()
        model, _ = identify_fopdt(t, u, y)
        took = time.perf_counter() - start
        worst = {name: np.abs(getattr(model, name) / getattr(plant, name) - 1.0).max()
                 for name in ("gain", "tau", "delay")}
        text = ", ".join(f"{k} {100 * v:.2f} %" for k, v in worst.items())
        print(f"identify_fopdt, {n} step tests, noise {100 * noise:.0f} %: worst {text} ({took:.2f} s)")


def test_batch():
    return [
        ("lag, T/L = 10", FOPDT(1.0, 10.0, 1.0)),
        ("balanced, T/L = 1", FOPDT(1.0, 1.0, 1.0)),
        ("dead time, T/L = 0.1", FOPDT(1.0, 0.1, 1.0)),
        ("two lags", SOPDT(1.0, 1.0, 0.5, 0.2)),
        ("equal lags", SOPDT(1.0, 1.0, 1.0, 0.1)),
        ("integrating", Integrating(1.0, 1.0)),
        ("integrating, long dead time", Integrating(0.2, 3.0)),
    ]


def tuning_search(points):
    for name, plant in test_batch():
        ref = simc(plant)
        scale = float(plant.delay) + float(getattr(plant, "tau", getattr(plant, "tau1", 1.0)))
        dt, steps = scale / 100.0, 1500
        limit = max(1.6, float(robustness(plant, ref)["ms"])) * (1.0 + 1e-9)
        base = float(simulate(PIDBank((), **ref), plant, dt=dt, steps=steps, record=False).iae)
        fixed = {"kd": [float(ref["kd"])], "tf": [float(ref["tf"])]}
        kp0, ki0 = float(ref["kp"]), float(ref["ki"])
        kp_axis = kp0 * np.append(np.linspace(0.3, 2.0, points), 1.0)
        ki_axis = ki0 * np.append(np.linspace(0.3, 2.0, points), 1.0)
        start = time.perf_counter()
        best = search(plant, {"kp": kp_axis, "ki": ki_axis, **fixed}, dt=dt, steps=steps, max_ms=limit)
        took = time.perf_counter() - start
        kp, ki = float(best.gains["kp"]), float(best.gains["ki"])
        dk, di = 1.7 * kp0 / (points - 1), 1.7 * ki0 / (points - 1)
        fine = search(plant, {"kp": kp + dk * np.linspace(-1, 1, 21), "ki": ki + di * np.linspace(-1, 1, 21),
                              **fixed}, dt=dt, steps=steps, max_ms=limit)
        gap = float(best.score) / float(fine.score) - 1.0
        print(f"search, {name:28s}: best IAE {float(best.score):.4f} of {best.candidates} ({took:.1f} s); "
              f"finer grid {float(fine.score):.4f} ({100 * gap:+.2f} %); SIMC {base:.4f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a smoke run")
    quick = parser.parse_args().quick
    closed_loop(10_000 if quick else 100_000, 200 if quick else 2_000)
    identification(100 if quick else 1_000)
    tuning_search(20 if quick else 100)


if __name__ == "__main__":
    main()
