"""Closed-loop simulation of a PID bank beside a plant bank."""

import numpy as np

from kovar import _values
from kovar.bank import PIDBank
from kovar.sim import _loop
from kovar.sim.inputs import Inputs
from kovar.sim.metrics import RunningMetrics
from kovar.sim.plants import _Plant
from kovar.sim.result import Result
from kovar.sim.stepping import PlantState


def simulate(bank, plant, *, dt, steps, setpoint=1.0, load=0.0, load_step=None, noise=0.0,
             seed=None, record=True, progress=False):
    """Runs `bank` against `plant` for `steps` samples of `dt`.

    At step k: the plant's output ``y[k]`` is read; the bank sees
    ``y[k] + noise*z[k]`` and returns ``u[k] = bank.update(r[k], that, dt)``;
    the plant advances with ``u[k] + load`` (the load from `load_step` on)
    entering its dead time. The bank is advanced in place from whatever
    state it holds; the plant starts at rest. With `record` false only the
    measures are kept, the same numbers as a recorded run's. An unstable
    loop gives infinite or NaN measures, without warnings.

    The loop runs in native code, without the GIL, in chunks of steps of
    about 20 ms, each holding the bank. Between chunks signals are handled:
    Ctrl-C (or any exception a signal handler raises) stops the run there,
    with the bank advanced by a whole number of steps on every channel and
    usable. A call on the bank from another thread or a signal handler
    waits at most for the chunk, and the run goes on from the bank as that
    call leaves it. `progress` shows a tqdm bar (the extra
    ``kovar[progress]``) advanced after each chunk.
    """
    return _simulate(bank, plant, dt, steps, setpoint, load, load_step, noise, seed, record,
                     native=True, progress=progress)


def _simulate(bank, plant, dt, steps, setpoint, load, load_step, noise, seed, record, *, native,
              progress=False):
    """simulate, in native code or (native false) through `run_loop`, the
    reference the native loop is tested against."""
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
    y0 = np.zeros(shape)  # at rest
    metrics = RunningMetrics(shape, dt, inputs.r_last, y0)
    t = np.arange(steps) * dt
    y = np.empty((steps, *shape)) if record else None
    u = np.empty((steps, *shape)) if record else None
    bar = _progress_bar(steps) if progress else None
    # An unstable loop overflows to inf and NaN, which the measures carry
    # through; that is a result, not a reason to warn at every step.
    with np.errstate(over="ignore", invalid="ignore"):
        if native:
            try:
                run_native(bank, model, inputs, metrics, y, u,
                           None if bar is None else (lambda done: bar.update(done - bar.n)))
            finally:
                if bar is not None:
                    bar.close()
        else:
            run_loop(bank, PlantState(model), inputs, metrics, t, y, u)
        measures = metrics.finish()
    return Result(t, inputs.r, y, u, measures)


def _progress_bar(steps):
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise ImportError("progress=True needs tqdm (pip install 'kovar[progress]')") from None
    return tqdm(total=steps, unit="step")


_KINDS = {"fopdt": 0, "sopdt": 1, "integrating": 2}
_COEFFICIENTS = {"fopdt": ("a", "b"), "sopdt": ("a11", "a12", "a21", "a22", "b1", "b2"),
                 "integrating": ("b",)}


def _channels(array, shape, dtype=np.float64):
    return np.ascontiguousarray(np.broadcast_to(array, shape), dtype=dtype)


def run_native(bank, model, inputs, metrics, y_out, u_out, progress=None):
    """`run_loop` in native code (kovar.sim._loop), in chunks of steps each
    holding the bank's lock with the GIL released; fills `metrics` as its
    `step` would have, and `y_out` and `u_out` when given. `progress`, when
    given, is called with the steps done after each chunk."""
    shape, steps = model.shape, inputs.steps
    coefficients = tuple(_channels(model.coefficients[name], shape)
                         for name in _COEFFICIENTS[model.kind])
    z = None if inputs.z is None else np.ascontiguousarray(inputs.z)
    m = metrics
    _loop.run(
        bank, _KINDS[model.kind], model.dt, steps, _channels(model.d, shape, np.int64), coefficients,
        inputs.r, z, _channels(inputs.noise, shape), _channels(inputs.load, shape),
        inputs.load_step if inputs.has_load else steps,
        (m.iae, m.ise, m.itae, m.y_max, m.y_min, m.peak_u, m.u_variation),
        (m.last_out, m.k10, m.k90),
        tuple(_channels(v, shape) for v in (m.band, m.lo, m.hi, m.sign, m.y0)),
        y_out, u_out, progress,
    )
    m.steps = steps


def run_loop(bank, state, inputs, metrics, t, y_out, u_out):
    """The closed loop, one sample at a time; fills `y_out` and `u_out`
    when given.

    `run_native` gives the same bits, from the coefficients `Discrete`
    holds (never recomputed: ``a`` is NumPy's exp). Per step k it must: read ``y = x`` (``x2`` for SOPDT); show the bank
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
