"""A fleet of plants identified, tuned and checked with kovar.sim and kovar.tune.

1. 1,000 random first-order plants with dead time get a step test each (a
   unit input step, output noise of 1 % of the step), are identified as
   FOPDT models and tuned by SIMC and by AMIGO (PI); the gains then run
   against the true plants. Printed: identification errors, and IAE and
   Ms per rule; drawn: the spread (median and 10-90 % band) of the 1,000
   closed-loop setpoint responses per rule.
2. A search over 10,000 PI candidates per plant (100 x 100 multiples of
   SIMC's gains) for three plants, under SIMC's own maximum sensitivity
   (at least 1.6): the best response against SIMC's.

Run:  make demo   (or: python examples/tuning_fleet.py); main() returns the
panels that examples/figure.py draws.
"""
import numpy as np

from kovar.bank import PIDBank
from kovar.sim import FOPDT, simulate, step_test
from kovar.tune import amigo, identify_fopdt, robustness, search, simc

DT = 0.05
PLANTS = 1000
STEP_TEST = 800  # samples of the open-loop step test
CLOSED = 600  # samples of the closed-loop runs


def random_plants(n, seed=0):
    rng = np.random.default_rng(seed)
    return FOPDT(rng.uniform(0.5, 3.0, n), rng.uniform(0.5, 5.0, n), rng.uniform(0.3, 2.0, n))


def noisy_step_test(plant, noise=0.01, seed=1):
    """The plant's response to a unit input step at sample 20, measured with
    noise."""
    t, u, y = step_test(plant, DT, STEP_TEST, step_time=20 * DT)
    return t, u, y + noise * np.random.default_rng(seed).standard_normal(y.shape)


def fleet():
    plant = random_plants(PLANTS)
    t, u, y = noisy_step_test(plant)
    model, fit = identify_fopdt(t, u, y)
    for name in ("gain", "tau", "delay"):
        error = np.abs(getattr(model, name) / getattr(plant, name) - 1.0)
        print(f"  {name:5s} identified within {100 * np.median(error):5.2f} % (median), "
              f"{100 * error.max():5.2f} % (worst)")
    runs = {}
    for rule, gains in (("SIMC", simc(model)), ("AMIGO", amigo(model, "pi"))):
        result = simulate(PIDBank(PLANTS, **gains), plant, dt=DT, steps=CLOSED)
        ms = robustness(plant, gains)["ms"]
        print(f"  {rule:5s}: IAE median {np.median(result.iae):.3f}, Ms median {np.median(ms):.2f}, "
              f"worst {ms.max():.2f}")
        runs[rule] = result
    return runs


def searched(n=3):
    plant = FOPDT([1.0, 2.0, 0.8], [1.0, 4.0, 0.5], [0.5, 1.0, 1.0])
    reference = simc(plant)
    limit = float(np.maximum(1.6, robustness(plant, reference)["ms"]).max())
    grid = {"kp": np.outer(reference["kp"], np.linspace(0.3, 2.0, 100)),
            "ki": np.outer(reference["ki"], np.linspace(0.3, 2.0, 100))}
    results = []
    for i in range(n):
        one = FOPDT(plant.gain[i], plant.tau[i], plant.delay[i])
        best = search(one, {"kp": grid["kp"][i], "ki": grid["ki"][i]}, dt=DT, steps=CLOSED, max_ms=limit)
        own = {k: v[i] for k, v in reference.items()}
        base = simulate(PIDBank((), **own), one, dt=DT, steps=CLOSED)
        tuned = simulate(PIDBank((), **best.gains), one, dt=DT, steps=CLOSED)
        print(f"  plant {i}: SIMC IAE {float(base.iae):.3f}, best of {best.candidates} "
              f"{float(best.score):.3f} (Ms {float(best.ms):.2f} <= {limit:.2f})")
        results.append((base, tuned))
    return results


def main():
    print(f"{PLANTS} plants identified from a step test and tuned:")
    runs = fleet()
    print("Search over 10,000 candidates per plant:")
    pairs = searched()

    def draw_spread(ax):
        for (rule, result), color in zip(runs.items(), ("tab:blue", "tab:orange")):
            lo, mid, hi = np.percentile(result.y, [10, 50, 90], axis=1)
            ax.fill_between(result.t, lo, hi, color=color, alpha=0.25)
            ax.plot(result.t, mid, color=color, label=f"{rule} (median, 10-90 %)")
        ax.axhline(1.0, color="grey", linewidth=0.5, label="set-point")
        ax.set_xlabel("time [s]")
        ax.set_ylabel("plant output")
        ax.legend(fontsize="small")

    def draw_search(ax):
        for i, ((base, tuned), color) in enumerate(zip(pairs, ("tab:blue", "tab:orange", "tab:green"))):
            ax.plot(base.t, base.y, color=color, linestyle="--", label=f"plant {i}: SIMC")
            ax.plot(tuned.t, tuned.y, color=color, label=f"plant {i}: searched")
        ax.axhline(1.0, color="grey", linewidth=0.5, label="set-point")
        ax.set_xlim(0.0, 12.0)
        ax.set_xlabel("time [s]")
        ax.set_ylabel("plant output")
        ax.legend(fontsize="small", ncol=2, loc="lower right")

    return [
        (f"{PLANTS} identified plants under SIMC and AMIGO PI", draw_spread),
        ("Best of 10,000 PI candidates (Ms limited) against SIMC", draw_search),
    ]


if __name__ == "__main__":
    main()
