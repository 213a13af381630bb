"""Closed-loop simulation of a PID bank beside a plant bank."""

import numpy as np

from kovar import _values
from kovar.bank import PIDBank
from kovar.sim.inputs import Inputs
from kovar.sim.metrics import RunningMetrics
from kovar.sim.plants import _Plant
from kovar.sim.result import Result
from kovar.sim.stepping import PlantState


def simulate(bank, plant, *, dt, steps, setpoint=1.0, load=0.0, load_step=None, noise=0.0,
             seed=None, record=True):
    """Runs `bank` against `plant` for `steps` samples of `dt`.

    At step k: the plant's output ``y[k]`` is read; the bank sees
    ``y[k] + noise*z[k]`` and returns ``u[k] = bank.update(r[k], that, dt)``;
    the plant advances with ``u[k] + load`` (the load from `load_step` on)
    entering its dead time. The bank is advanced in place from whatever
    state it holds; the plant starts at rest. With `record` false only the
    measures are kept, the same numbers as a recorded run's. An unstable
    loop gives infinite or NaN measures, without warnings.
    """
    if type(bank) is not PIDBank:
        raise TypeError(f"bank must be a kovar.bank.PIDBank, not {type(bank).__name__}")
    if not isinstance(plant, _Plant):
        raise TypeError(f"plant must be a FOPDT, SOPDT or Integrating bank, not {type(plant).__name__}")
    dt = _values.positive_scalar("dt", dt)
    steps = _values.count("steps", steps)
    shape = bank.shape
    try:
        np.broadcast_to(np.empty(plant.shape), shape)
    except ValueError:
        raise ValueError(
            f"plant has shape {plant.shape}, which does not broadcast to the bank's shape {shape}"
        ) from None
    model = plant.discretize(dt).broadcast(shape)
    inputs = Inputs(shape, steps, setpoint, load, load_step, noise, seed)
    state = PlantState(model)
    metrics = RunningMetrics(shape, dt, inputs.r_last, state.output())
    t = np.arange(steps) * dt
    y = np.empty((steps, *shape)) if record else None
    u = np.empty((steps, *shape)) if record else None
    # An unstable loop overflows to inf and NaN, which the measures carry
    # through; that is a result, not a reason to warn at every step.
    with np.errstate(over="ignore", invalid="ignore"):
        run_loop(bank, state, inputs, metrics, t, y, u)
        measures = metrics.finish()
    return Result(t, inputs.r, y, u, measures)


def run_loop(bank, state, inputs, metrics, t, y_out, u_out):
    """The closed loop, one sample at a time; fills `y_out` and `u_out`
    when given.

    A native loop may replace this one behind `simulate`, given the
    coefficients `Discrete` holds (never recomputed: ``a`` is NumPy's exp).
    Per step k it must: read ``y = x`` (``x2`` for SOPDT); show the bank
    ``y + noise*z[k]``; run the bank's law on ``r[k]``; feed
    `RunningMetrics.step` in its operation order, with ``t[k] = k*dt``;
    put ``u + load`` (from `load_step` on, when some load is non-zero;
    ``u`` otherwise) in ring slot ``k mod D`` and read slot
    ``(k - d) mod D`` of a zeroed ring of ``D = max(d) + 1`` slots; then
    apply `PlantState`'s update in its order."""
    dt = state.model.dt
    spare = None if u_out is not None else (np.empty(state.model.shape), np.empty(state.model.shape))
    for k in range(t.shape[0]):
        y_k = state.output()
        r_k = inputs.setpoint(k)
        out = u_out[k, ...] if u_out is not None else spare[k & 1]
        u_k = bank.update(r_k, inputs.measurement(k, y_k), dt, out=out)
        metrics.step(k, t[k], r_k, y_k, u_k)
        if y_out is not None:
            y_out[k] = y_k
        state.advance(inputs.plant_input(k, u_k))
