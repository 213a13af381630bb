"""A fleet of loops auto-tuned by the relay experiment (kovar.tune.autotune)
against the step-test SIMC tuning of the same plants.

1. 500 FOPDT and 500 SOPDT plants, measured with noise of 0.2 % of the
   relay's output swing, run the asymmetric relay experiment at once, in
   closed loop, natively; the identified FOPDT models are tuned by SIMC
   and AMIGO (PI). Printed: the outcome, the identification errors on the
   FOPDT plants, and the time the experiments took; drawn: the experiment
   on four of the loops (the relay's output and the measurement).
2. The same plants get an open-loop step test (noise of 1 % of the step),
   an identified FOPDT model and SIMC gains. Every tuning then runs a
   setpoint step and a load step against the true plants. Printed: Ms and
   the load step's IAE per tuning; drawn: the spread (median and 10-90 %
   band) of the setpoint responses, relay SIMC against step-test SIMC.

The relay's model takes the operating point and the error at rest from
its first sample, so its noise moves the identified gain and time
constant: at 1 % of the swing, by some 25 % (median) on these plants.

Run:  make demo   (or: python examples/relay_fleet.py); main() returns the
panels that examples/figure.py draws.
"""
import time

import numpy as np

from kovar.bank import PIDBank
from kovar.sim import FOPDT, SOPDT, simulate, step_test
from kovar.tune import autotune, identify_fopdt, relay_tune, robustness, simc

DT = 0.05
EACH = 500  # plants of each kind
AMPLITUDE = 1.0
ASYMMETRY = 1.4
CLOSED = 800  # samples of the closed-loop runs
LOAD = -0.5  # the load step, added to the controller's output


def random_plants(seed=0):
    rng = np.random.default_rng(seed)
    gain = rng.uniform(0.5, 3.0, EACH)
    fopdt = FOPDT(gain, rng.uniform(0.5, 5.0, EACH), rng.uniform(0.3, 2.0, EACH))
    tau1 = rng.uniform(1.0, 5.0, EACH)
    sopdt = SOPDT(rng.uniform(0.5, 3.0, EACH), tau1, tau1 * rng.uniform(0.1, 0.5, EACH),
                  rng.uniform(0.3, 2.0, EACH))
    return {"FOPDT": fopdt, "SOPDT": sopdt}


def relay_tuned(plant):
    """The relay experiment on every plant at once; SIMC and AMIGO PI gains
    from it."""
    noise = 0.002 * np.abs(plant.gain) * AMPLITUDE * (1.0 + 1.0 / ASYMMETRY)
    bank = PIDBank(EACH, kp=0.2, ki=0.05)
    start = time.perf_counter()
    result = autotune(bank, plant, dt=DT, amplitude=AMPLITUDE, asymmetry=ASYMMETRY, noise=noise,
                      seed=2, max_steps=8000)
    took = time.perf_counter() - start
    counts = {s: int(np.count_nonzero(result.state == s)) for s in ("done", "failed", "running")}
    print(f"    relay experiments: {counts['done']} done, {counts['failed']} failed "
          f"in {took:.2f} s; {int(np.count_nonzero(np.isfinite(result.model.gain)))} models")
    return result, {"relay SIMC": relay_tune(result, "simc"),
                    "relay AMIGO": relay_tune(result, "amigo", "pi")}


def step_tuned(plant):
    """SIMC from a FOPDT model identified from a noisy open-loop step test."""
    t, u, y = step_test(plant, DT, 1200, step_time=20 * DT)
    y = y + 0.01 * np.random.default_rng(3).standard_normal(y.shape)
    model, _ = identify_fopdt(t, u, y)
    return simc(model)


def closed_loops(plant, gains):
    """Setpoint and load steps against the true plants; where the gains
    are NaN (no model) the channel is left out."""
    ok = np.isfinite(gains["kp"])
    safe = {k: np.where(ok, v, 0.0 if k != "b" else 1.0) for k, v in gains.items()}
    setpoint = simulate(PIDBank(EACH, **safe), plant, dt=DT, steps=CLOSED)
    load = simulate(PIDBank(EACH, **safe), plant, dt=DT, steps=CLOSED, setpoint=0.0, load=LOAD,
                    load_time=1.0, record=False)
    ms = np.where(ok, robustness(plant, safe)["ms"], np.nan)
    return ok, setpoint, load.iae, ms


def experiment_traces(plants, steps=700):
    """The experiment on two loops of each kind, one update per period,
    as on live loops: (t, u, y) per loop, until its experiment ends."""
    traces = []
    for kind, plant in plants.items():
        two = type(plant)(**{name: value[:2] for name, value in plant.params().items()})
        loops = two.discretize(DT).start(0.0)
        bank = PIDBank(2, kp=0.2, ki=0.05)
        setpoint = loops.output()
        bank.update(setpoint, loops.output(), DT)
        bank.start_relay(AMPLITUDE, asymmetry=ASYMMETRY)
        y, u = np.empty((steps, 2)), np.empty((steps, 2))
        for k in range(steps):
            y[k] = loops.output()
            running = bank.relay_result().state == "running"
            u[k] = bank.update(setpoint, y[k], DT)
            loops.step(u[k])
            y[k, ~running] = u[k, ~running] = np.nan
        traces += [(f"{kind} {i}", np.arange(steps) * DT, u[:, i], y[:, i]) for i in range(2)]
    return traces


def main():
    plants = random_plants()
    runs = {}
    for kind, plant in plants.items():
        print(f"{EACH} {kind} plants auto-tuned by the relay and by a step test:")
        result, tunings = relay_tuned(plant)
        if kind == "FOPDT":
            ok = np.isfinite(result.model.gain)
            for name in ("gain", "tau", "delay"):
                error = np.abs(getattr(result.model, name)[ok] / getattr(plant, name)[ok] - 1.0)
                print(f"    {name:5s} identified within {100 * np.median(error):5.2f} % (median), "
                      f"{100 * error.max():5.2f} % (worst)")
        tunings["step SIMC"] = step_tuned(plant)
        for rule, gains in tunings.items():
            ok, setpoint, iae, ms = closed_loops(plant, gains)
            print(f"    {rule:11s}: Ms median {np.nanmedian(ms):.2f}, worst {np.nanmax(ms):.2f}; "
                  f"load-step IAE median {np.median(iae[ok]):.3f}")
            runs[kind, rule] = (ok, setpoint, iae)
        both = runs[kind, "relay SIMC"][0] & runs[kind, "step SIMC"][0]
        ratio = runs[kind, "relay SIMC"][2][both] / runs[kind, "step SIMC"][2][both]
        print(f"    load-step IAE of SIMC, relay over step test: median {np.median(ratio):.2f}, "
              f"10-90 % {np.percentile(ratio, 10):.2f}-{np.percentile(ratio, 90):.2f}")
    traces = experiment_traces(plants)

    def draw_experiment(ax):
        colors = ("tab:blue", "tab:orange", "tab:green", "tab:red")
        for (name, t, u, y), color in zip(traces, colors):
            ax.plot(t, y, color=color, label=f"{name}: measurement")
            ax.plot(t, u, color=color, linestyle=":", linewidth=0.8)
        ax.set_xlabel("time [s] (dotted: the relay's output)")
        ax.set_ylabel("measurement")
        ax.legend(fontsize="small", ncol=2)

    def draw_closed(ax):
        styles = {"relay SIMC": "-", "step SIMC": "--"}
        for (kind, rule), (ok, result, _) in runs.items():
            if rule not in styles:
                continue
            color = "tab:blue" if kind == "FOPDT" else "tab:orange"
            lo, mid, hi = np.percentile(result.y[:, ok], [10, 50, 90], axis=1)
            if rule == "relay SIMC":
                ax.fill_between(result.t, lo, hi, color=color, alpha=0.2)
            ax.plot(result.t, mid, color=color, linestyle=styles[rule], label=f"{kind}, {rule}")
        ax.axhline(1.0, color="grey", linewidth=0.5)
        ax.set_xlabel("time [s]")
        ax.set_ylabel("plant output (median; band: relay, 10-90 %)")
        ax.legend(fontsize="small")

    return [
        ("Relay experiments on four of the loops, at once with the fleet", draw_experiment),
        (f"{2 * EACH} loops tuned by SIMC from the relay and from a step test", draw_closed),
    ]


if __name__ == "__main__":
    main()
