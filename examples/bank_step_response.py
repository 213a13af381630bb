"""Saturated step responses of a bank of plants under kovar.bank.PIDBank.

1. Anti-windup: three banks, one per anti-windup mode (none, conditional
   integration, back-calculation), each drive three first-order plants to
   a set-point step through an actuator that saturates; the channels differ
   in integral gain. Printed: overshoot and 2 % settling time per mode and
   integral gain.
2. Derivative kick: the same loop with c = 1 (derivative of the error) and
   c = 0 (derivative of the measurement only) on a set-point step.

Run:  make demo   (or: python examples/bank_step_response.py); main()
returns the panels that examples/figure.py draws.
"""
import numpy as np

from kovar.bank import PIDBank

DT = 0.01
TAU = 1.0  # plant time constant: dy/dt = (u - y) / TAU
SETPOINT = 1.0
U_MAX = 1.2  # the actuator's upper limit
KP = 2.0
KI = np.array([2.0, 4.0, 8.0])
MODES = ("none", "conditional", "back_calculation")
SETTLE_BAND = 0.02


def simulate(bank, steps, setpoint):
    """Plants from rest driven by the bank; returns time, outputs y, inputs u."""
    y = np.zeros(bank.shape)
    ys, us = np.empty((steps,) + bank.shape), np.empty((steps,) + bank.shape)
    out = np.empty(bank.shape)
    for k in range(steps):
        r = setpoint(k * DT)
        u = bank.update(r, y, DT, out=out)
        us[k] = u
        y = y + DT * (u - y) / TAU
        ys[k] = y
    return np.arange(steps) * DT, ys, us


def windup_runs(duration=8.0):
    steps = int(duration / DT)
    runs = {}
    for mode in MODES:
        bank = PIDBank(KI.size, kp=KP, ki=KI, u_min=0.0, u_max=U_MAX, anti_windup=mode)
        runs[mode] = simulate(bank, steps, lambda t: SETPOINT)
    return runs


def overshoot_and_settling(t, y):
    overshoot = (y.max(axis=0) - SETPOINT) / SETPOINT
    outside = np.abs(y - SETPOINT) > SETTLE_BAND * SETPOINT
    last = np.array([np.nonzero(col)[0].max() if col.any() else -1 for col in outside.T])
    settling = np.where(last + 1 < t.size, t[np.minimum(last + 1, t.size - 1)], np.inf)
    return overshoot, settling


def kick_runs(duration=2.0, step_at=0.5):
    steps = int(duration / DT)
    bank = PIDBank(2, kp=1.0, ki=1.0, kd=0.3, tf=0.02, c=[1.0, 0.0], u_min=-50, u_max=50)
    return simulate(bank, steps, lambda t: SETPOINT if t >= step_at else 0.0), step_at


def draw_windup(ax, runs):
    """The plant outputs of the middle integral gain under each mode."""
    styles = {"none": "-", "conditional": "--", "back_calculation": ":"}
    channel = 1
    for mode, (t, ys, _) in runs.items():
        ax.plot(t, ys[:, channel], styles[mode], label=mode)
    ax.axhline(SETPOINT, color="grey", lw=0.5, label="set-point")
    ax.set(xlabel="time [s]", ylabel="plant output")
    ax.legend()


def draw_kick(ax, kick):
    """The controller outputs with c = 1 and c = 0 around the set-point step."""
    (t, _, us), step_at = kick
    for i, label in enumerate(("c = 1", "c = 0")):
        ax.plot(t, us[:, i], label=label)
    ax.axvline(step_at, color="grey", lw=0.5, label=f"set-point step at t = {step_at:g} s")
    ax.set(xlabel="time [s]", ylabel="controller output")
    ax.legend()


def main():
    """Prints the overshoot, settling and kick tables; returns the panels
    of the demo's figure."""
    runs = windup_runs()
    print(f"Saturated step response: first-order plants (tau = {TAU} s), set-point "
          f"{SETPOINT}, actuator limited to [0, {U_MAX}], kp = {KP}")
    print(f"  {'anti-windup':>17} {'ki':>5} {'overshoot %':>12} {'settling s':>11}")
    for mode, (t, ys, _) in runs.items():
        overshoot, settling = overshoot_and_settling(t, ys)
        for ki, o, s in zip(KI, overshoot, settling):
            print(f"  {mode:>17} {ki:5.1f} {100 * max(o, 0.0):12.1f} {s:11.2f}")
    kick = kick_runs()
    (t, _, us), step_at = kick
    k = int(round(step_at / DT))
    print("\nDerivative kick on a set-point step (kp = 1, ki = 1, kd = 0.3, tf = 0.02):")
    for i, label in enumerate(("c = 1", "c = 0")):
        print(f"  {label}: output peak {us[k:, i].max():7.2f} right after the step "
              f"(output before it: {us[k - 1, i]:.2f})")
    return [
        (f"PIDBank: saturated step (u <= {U_MAX}, ki = {KI[1]}) by anti-windup mode",
         lambda ax: draw_windup(ax, runs)),
        ("PIDBank: derivative kick on a set-point step", lambda ax: draw_kick(ax, kick)),
    ]


if __name__ == "__main__":
    main()
