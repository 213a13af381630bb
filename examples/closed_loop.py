"""Closed-loop simulation: banks of first-order plants driven to their
set-points by kovar's controllers.

Each plant obeys  dx/dt = (gain * u - x) / tau,  integrated with explicit
Euler steps of length dt. Every array element is an independent channel
with its own time constant, set-point and controller gains.

Run:  make demo   (or: python examples/closed_loop.py); main() also returns
the panels examples/figure.py draws.
"""
import numpy as np

from kovar.regulo import AdaptiveController, PIDController, PIDControllerXd

DT = 0.01
SETTLE_TOLERANCE = 0.02  # a channel has settled within 2 % of its set-point


def plant_step(x, u, tau, gain=1.0):
    return x + DT * (gain * u - x) / tau


def report(title, rows):
    print(title)
    print(f"  {'time s':>7} {'mean |error|':>13} {'max |error|':>12} {'settled':>12}")
    print(f"  (settled: channels within {SETTLE_TOLERANCE:.0%} of their set-point, "
          f"or within {SETTLE_TOLERANCE} where |set-point| < 1)")
    for t, err, total in rows:
        settled = int(np.count_nonzero(err <= SETTLE_TOLERANCE * np.maximum(1.0, total)))
        print(f"  {t:7.2f} {err.mean():13.5f} {err.max():12.5f} {settled:6d}/{err.size:<5d}")
    print()


def run(controller, x, setpoint, tau, steps, gain=lambda step: 1.0, every=50):
    """Runs the loop; returns the table rows and |error| per step (mean, max)."""
    rows, mean_err, max_err = [], [], []
    for step in range(steps + 1):
        err = np.abs(setpoint - x)
        mean_err.append(err.mean())
        max_err.append(err.max())
        if step % every == 0:
            rows.append((step * DT, err, np.abs(setpoint)))
        u = controller.compute_control(setpoint, x, DT)
        x = plant_step(x, u, tau, gain(step))
    return rows, np.array(mean_err), np.array(max_err)


def error_panel(mean_err, max_err):
    """Draws mean and max |error| of a bank against time, on a log scale."""
    def draw(ax):
        t = np.arange(mean_err.size) * DT
        ax.semilogy(t, max_err, label="max |error|", color="tab:red")
        ax.semilogy(t, mean_err, label="mean |error|", color="tab:blue")
        ax.set_xlabel("time [s]")
        ax.set_ylabel("|set-point - output|")
        ax.legend()
    return draw


def main():
    rng = np.random.default_rng(7)

    # 1. A bank of 10,000 independent channels under one PIDController.
    n = 10_000
    tau = rng.uniform(0.2, 1.0, n)
    setpoint = rng.uniform(-5.0, 5.0, n)
    controller = PIDController(
        np.full(n, 2.0) * tau,          # proportional gains scaled to each plant
        np.full(n, 1.5),                # integral gains
        np.full(n, 0.01),               # derivative gains
    )
    rows, mean1, max1 = run(controller, np.zeros(n), setpoint, tau, steps=400)
    report(f"PIDController: {n} first-order plants, dt = {DT} s", rows)

    # 2. A 2-D bank (a 100 x 50 grid of channels) under PIDControllerXd.
    shape = (100, 50)
    tau2 = rng.uniform(0.2, 1.0, shape)
    setpoint2 = rng.uniform(0.0, 10.0, shape)
    grid = PIDControllerXd(2.0 * tau2, np.full(shape, 1.5), np.full(shape, 0.01))
    rows, mean2, max2 = run(grid, np.zeros(shape), setpoint2, tau2, steps=400)
    report(f"PIDControllerXd: a {shape[0]} x {shape[1]} grid of plants", rows)

    # 3. Adaptive control: the plants lose 60 % of their gain at t = 2 s.
    m = 1_000
    tau3 = rng.uniform(0.2, 1.0, m)
    setpoint3 = rng.uniform(1.0, 5.0, m)
    kp0 = np.full(m, 0.5)
    adaptive = AdaptiveController(kp0, np.full(m, 0.5), np.full(m, 0.0),
                                  learning_rate=0.05, max_adjustment=0.02)
    fixed = PIDController(kp0.copy(), np.full(m, 0.5), np.full(m, 0.0))
    weakens = 2.0
    gain = lambda step: 1.0 if step * DT < weakens else 0.4
    x_adaptive, x_fixed = np.zeros(m), np.zeros(m)
    err_adaptive, err_fixed, mean_kp = [], [], []
    print(f"AdaptiveController vs. fixed gains: {m} plants, plant gain drops to 0.4 at t = {weakens:g} s")
    print(f"  {'time s':>7} {'adaptive |err|':>15} {'fixed |err|':>12} {'mean kp':>9}")
    for step in range(601):
        err_adaptive.append(np.abs(setpoint3 - x_adaptive).mean())
        err_fixed.append(np.abs(setpoint3 - x_fixed).mean())
        mean_kp.append(adaptive.__reduce__()[2][4].mean())
        if step % 50 == 0:
            print(f"  {step * DT:7.2f} {err_adaptive[-1]:15.5f} {err_fixed[-1]:12.5f} {mean_kp[-1]:9.4f}")
        u_a = adaptive.compute_control(setpoint3, x_adaptive, DT)
        u_f = fixed.compute_control(setpoint3, x_fixed, DT)
        x_adaptive = plant_step(x_adaptive, u_a, tau3, gain(step))
        x_fixed = plant_step(x_fixed, u_f, tau3, gain(step))
    print("  The adaptive controller raises its proportional gains while errors persist,")
    print("  so it recovers faster after the plants weaken.")

    def draw_adaptive(ax):
        t = np.arange(len(err_fixed)) * DT
        ax.plot(t, err_fixed, label="fixed gains (PIDController)", color="tab:gray")
        ax.plot(t, err_adaptive, label="adaptive gains (AdaptiveController)", color="tab:green")
        ax.axvline(weakens, color="tab:red", linestyle="--", label="plant gain drops to 0.4")
        ax.set_xlabel("time [s]")
        ax.set_ylabel("mean |set-point - output|")
        kp_ax = ax.twinx()
        kp_ax.plot(t, mean_kp, color="tab:green", linestyle=":", label="adaptive mean kp (right axis)")
        kp_ax.set_ylabel("mean kp")
        lines = ax.get_legend_handles_labels(), kp_ax.get_legend_handles_labels()
        # Below the axes: inside, the legend would hide the curves or the t = 2 s line.
        ax.legend(lines[0][0] + lines[1][0], lines[0][1] + lines[1][1], fontsize=8, ncol=2,
                  loc="upper center", bbox_to_anchor=(0.5, -0.15))

    return [
        (f"PIDController: {n} first-order plants", error_panel(mean1, max1)),
        (f"PIDControllerXd: {shape[0]} x {shape[1]} grid of plants", error_panel(mean2, max2)),
        (f"{m} plants weakening at t = {weakens:g} s: adaptive against fixed gains", draw_adaptive),
    ]


if __name__ == "__main__":
    main()
