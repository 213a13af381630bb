"""Closed-loop simulation of a PID bank beside a plant bank."""

import numpy as np

from kovar import _values
from kovar.bank import PIDBank
from kovar.sim import _loop
from kovar.sim.inputs import Inputs
from kovar.sim.metrics import RunningMetrics
from kovar.sim.plants import Plant
from kovar.sim.result import Result
from kovar.sim.stepping import steady_state


def simulate(bank, plant, *, dt, steps, setpoint=1.0, load=0.0, load_step=None, load_time=None,
             feedforward=None, track=None, initial_input=None, noise=0.0, seed=None, record=True,
             progress=False):
    """Runs `bank` against `plant` for `steps` samples of `dt`.

    At step k: the plant's output ``y[k]`` is read; the bank sees
    ``y[k] + noise*z[k]`` and returns ``u[k] = bank.update(r[k], that, dt,
    feedforward=ff[k], track=trk[k])``; the plant advances with
    ``u[k] + load[k]`` (the load from `load_step` or `load_time` on)
    entering its dead time. This is, bit for bit, the loop written with
    the plant's own stepper, ``plant.discretize(dt).start(u0)``.

    Parameters
    ----------
    bank : kovar.bank.PIDBank
        Advanced in place from whatever state it holds (but see
        `initial_input`).
    plant : FOPDT, SOPDT or Integrating
        Its shape must broadcast to the bank's.
    dt : float
        The sample time, positive and finite.
    steps : int
        The number of samples, at least 1.
    setpoint, load : float or array_like, optional
        One value per channel for the whole run (a scalar or an array with
        no more dimensions than the bank), or a series of shape
        ``(steps, *shape)`` (or broadcastable to it), time first:
        ``series[:, None]`` gives every channel of a bank of shape ``(n,)``
        the same series. The load is added to the controller's output.
    load_step : int, optional
        The first sample with the load (0 before it); from the start when
        neither this nor `load_time` is given.
    load_time : float, optional
        The same in seconds: the load acts from the first sample with
        ``k*dt >= load_time``. Give one of the two at most.
    feedforward, track : float or array_like, optional
        The bank's feed-forward and tracking inputs (see
        :meth:`PIDBank.update`), in the forms `setpoint` takes; not passed
        when None (the default), which is not the same as 0 for either.
    initial_input : float or array_like, optional
        An operating point, per channel: the plants start at the steady
        state of this input (see ``Discrete.start``; integrating plants at
        output 0, this input in their dead time), and the bank is reset
        (as ``bank.reset()``) with its integral set to ``initial_input -
        P - ff`` at the first step's setpoint and plant output, ``P =
        kp*(b*r - y)``, so that its first output is the initial input to
        rounding (within the output and integral limits; a manual channel
        keeps its manual value). None (the default): plants at rest, the
        bank as it is.
    noise : float or array_like, optional
        Per channel, the scale of standard normal measurement noise
        ``z = default_rng(seed).standard_normal((steps, *shape))``, drawn
        once before the run (not at all when every scale is 0).
    seed : optional
        The seed of the noise's generator.
    record : bool, optional
        True (the default) keeps ``y`` and ``u``; false keeps only the
        measures, the same numbers as a recorded run's.
    progress : bool, optional
        Shows a tqdm bar (the extra ``kovar[progress]``), advanced after
        each chunk.

    Returns
    -------
    Result
        The response and its measures. An unstable loop gives infinite or
        NaN measures, without warnings.

    Raises
    ------
    ValueError
        Where `dt` is not a positive finite number, `steps` is below 1, a
        shape does not broadcast, `load_time` or `initial_input` is not
        finite.
    TypeError
        Where `bank` or `plant` is of the wrong type, an input is not real,
        or both `load_step` and `load_time` are given.
    KeyboardInterrupt
        On Ctrl-C, within about a chunk of steps.

    See Also
    --------
    Discrete.start : the plant's stepper, for loops of one's own.
    response_metrics : the same measures of a recorded response.

    Notes
    -----
    The loop runs in native code, without the GIL, in chunks of steps of
    about 20 ms, each holding the bank. Between chunks signals are handled:
    Ctrl-C (or any exception a signal handler raises) stops the run there,
    with the bank advanced by a whole number of steps on every channel and
    usable. A call on the bank from another thread or a signal handler
    waits at most for the chunk, and the run goes on from the bank as that
    call leaves it.

    Examples
    --------
    Two PI loops on one plant, a unit setpoint step from rest:

    >>> from kovar.bank import PIDBank
    >>> from kovar.sim import FOPDT, simulate
    >>> bank = PIDBank(2, kp=[0.5, 2.0], ki=0.5)
    >>> result = simulate(bank, FOPDT(1.0, 2.0, delay=0.5), dt=0.1, steps=400)
    >>> result
    <Result: 400 steps of shape (2,), recorded>
    >>> result.y.shape, result.settling_time.tolist()
    ((400, 2), [10.8, 12.8])

    From an operating point: the plant at the steady state of the input
    0.5, which the bank's first output repeats.

    >>> result = simulate(PIDBank((), kp=1.0, ki=0.5), FOPDT(2.0, 1.0, delay=0.2),
    ...                   dt=0.1, steps=50, initial_input=0.5)
    >>> result.y[:3].tolist(), result.u[:3].tolist()
    ([1.0, 1.0, 1.0], [0.5, 0.5, 0.5])
    """
    return _simulate(bank, plant, dt, steps, setpoint, load, load_step, noise, seed, record,
                     native=True, progress=progress, load_time=load_time, feedforward=feedforward,
                     track=track, initial_input=initial_input)


def check_loop(bank, plant, dt):
    """The closed loop's bank, plant and sample time, refused as simulate
    refuses them; returns dt as a float."""
    if type(bank) is not PIDBank:
        raise TypeError(f"bank must be a kovar.bank.PIDBank, not {type(bank).__name__}")
    if not isinstance(plant, Plant):
        raise TypeError(f"plant must be a FOPDT, SOPDT or Integrating bank, not {type(plant).__name__}")
    dt = _values.positive_scalar("dt", dt)
    try:
        np.broadcast_to(np.empty(plant.shape), bank.shape)
    except ValueError:
        raise ValueError(
            f"plant has shape {plant.shape}, which does not broadcast to the bank's shape {bank.shape}"
        ) from None
    return dt


def _simulate(bank, plant, dt, steps, setpoint, load, load_step, noise, seed, record, *, native,
              progress=False, load_time=None, feedforward=None, track=None, initial_input=None):
    """simulate, in native code or (native false) through `run_loop`, the
    reference the native loop is tested against."""
    dt = check_loop(bank, plant, dt)
    steps = _values.count("steps", steps)
    shape = bank.shape
    inputs = Inputs(shape, steps, dt, setpoint, load, load_step, load_time, feedforward, track,
                    noise, seed)
    # A dead time of `steps` samples or more feeds the run only the input
    # before it: held there, its delay line is no longer than the run.
    model = plant.discretize(dt).broadcast(shape)
    model = model.with_delays(np.minimum(model.d, steps))
    u0 = np.zeros(shape)
    if initial_input is not None:
        u0 = _values.to_shape("initial_input", _values.finite("initial_input", initial_input), shape)
    y0 = steady_state(model, u0)[0]
    if initial_input is not None:
        _operating_point(bank, u0, inputs, y0)
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
                run_native(bank, model, u0, inputs, metrics, y, u,
                           None if bar is None else (lambda done: bar.update(done - bar.n)))
            finally:
                if bar is not None:
                    bar.close()
        else:
            run_loop(bank, model.start(u0), inputs, metrics, t, y, u)
        measures = metrics.finish()
    return Result(t, inputs.r, y, u, measures)


def _operating_point(bank, u0, inputs, y0):
    """Resets `bank` with the integral that makes its first output `u0` at
    the first step's setpoint and plant output: P + I + ff = u0, D being 0
    on a first step. Refuses before it changes the bank."""
    with np.errstate(over="ignore", invalid="ignore"):
        p = np.multiply(bank.kp, np.multiply(bank.b, inputs.r[0]) - y0)
        integral = u0 - p
        if inputs.feedforward is not None:
            integral = integral - inputs.feedforward[0]
    bad = ~np.isfinite(integral)
    if np.any(bad):
        index = tuple(int(i) for i in np.argwhere(bad)[0])
        raise ValueError(f"initial_input gives no finite integral at the first step's setpoint "
                         f"and feed-forward (index {index})")
    bank.reset()
    bank.set_integral(integral)


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


def run_native(bank, model, u0, inputs, metrics, y_out, u_out, progress=None):
    """`run_loop` in native code (kovar.sim._loop), in chunks of steps each
    holding the bank's lock with the GIL released, from the steady state of
    `u0` (``model.start(u0)``); fills `metrics` as its `step` would have, and
    `y_out` and `u_out` when given. `progress`, when given, is called with
    the steps done after each chunk."""
    shape, steps = model.shape, inputs.steps
    coefficients = tuple(_channels(model.coefficients[name], shape)
                         for name in _COEFFICIENTS[model.kind])
    z = None if inputs.z is None else np.ascontiguousarray(inputs.z)
    x, x1 = steady_state(model, u0)
    m = metrics
    _loop.run(
        bank=bank, kind=_KINDS[model.kind], dt=model.dt, steps=steps,
        d=_channels(model.d, shape, np.int64), coefficients=coefficients,
        r=inputs.r, z=z, noise=_channels(inputs.noise, shape), load=inputs.load,
        load_start=inputs.load_step if inputs.has_load else steps,
        sums=(m.iae, m.ise, m.itae, m.y_max, m.y_min, m.peak_u, m.u_variation),
        marks=(m.last_out, m.k10, m.k90),
        levels=tuple(_channels(v, shape) for v in (m.band, m.lo, m.hi, m.sign, m.y0)),
        y=y_out, u=u_out, progress=progress, feedforward=inputs.feedforward, track=inputs.track,
        start=(_channels(x, shape), None if x1 is None else _channels(x1, shape),
               _channels(u0, shape)),
    )
    m.steps = steps


def run_loop(bank, stepper, inputs, metrics, t, y_out, u_out):
    """The closed loop, one sample at a time, with the plant's public
    stepper; fills `y_out` and `u_out` when given.

    `run_native` gives the same bits, from the coefficients `Discrete`
    holds (never recomputed: ``a`` is NumPy's exp). Per step k it must:
    read ``y = x`` (``x2`` for SOPDT); show the bank ``y + noise*z[k]``;
    run the bank's law on ``r[k]`` (and ``feedforward[k]``, ``track[k]``
    where given); feed `RunningMetrics.step` in its operation order, with
    ``t[k] = k*dt``; put ``u + load[k]`` (from `load_step` on, when some
    load is non-zero; ``u`` otherwise) in ring slot ``k mod D`` and read
    slot ``(k - d) mod D`` of a ring of ``D = max(d) + 1`` slots filled with
    the input before the run; then apply `Stepper`'s update in its
    order."""
    dt = stepper.model.dt
    spare = None if u_out is not None else (np.empty(stepper.shape), np.empty(stepper.shape))
    y_k = stepper.output()
    for k in range(t.shape[0]):
        r_k = inputs.setpoint(k)
        out = u_out[k, ...] if u_out is not None else spare[k & 1]
        u_k = bank.update(r_k, inputs.measurement(k, y_k), dt, out=out, **inputs.bank_inputs(k))
        metrics.step(k, t[k], r_k, y_k, u_k)
        if y_out is not None:
            y_out[k] = y_k
        y_k = stepper.step(inputs.plant_input(k, u_k))
