"""The relay experiment run in simulation: a bank auto-tuned against plant
models, as it would be on the live loops."""

import numpy as np

from kovar import _values
from kovar.sim.inputs import Inputs
from kovar.sim.loop import check_loop, run_native
from kovar.sim.metrics import RunningMetrics
from kovar.sim.stepping import steady_state


class _Finished(Exception):
    """Raised between chunks of the native loop once no relay runs."""


def autotune(bank, plant, *, dt, amplitude, asymmetry=1.4, setpoint=None, hysteresis=None,
             cycles=4, max_time=None, where=None, noise=0.0, seed=None, max_steps=20_000):
    """Runs a relay experiment on `bank` against the simulated `plant` until
    every selected channel is done or failed, and returns what it found.

    The plants start at rest at the bank's outputs (the steady state of
    each channel's last output; of 0 where a channel has none yet), the
    setpoint at the plants' outputs unless given. A bank with channels
    that have no output yet first takes one step there (``bank.update(r,
    y, dt)``), so that each relay starts from the output the loop holds
    (its bias). Then ``bank.start_relay(amplitude, asymmetry=...,
    hysteresis=..., where=..., cycles=..., max_time=...)`` and the closed
    loop runs natively (as :func:`kovar.sim.simulate`, the same bits as
    calling ``update`` each period), at most `max_steps` samples: channels
    still running then are stopped (``bank.stop_relay()``).

    Parameters
    ----------
    bank : kovar.bank.PIDBank
        Its gains give each channel's direction; left as the experiment
        leaves it (every channel automatic again, its gains unchanged).
    plant : FOPDT, SOPDT or Integrating
        Broadcastable to the bank's shape.
    dt : float
        The sample time.
    amplitude, asymmetry, hysteresis, cycles, max_time, where
        As :meth:`PIDBank.start_relay` takes them; `asymmetry` 1.4 by
        default, so that a model is identified.
    setpoint : float or array_like, optional
        Per channel; the plants' outputs at rest when None.
    noise : float or array_like, optional
        Per channel, the scale of normal measurement noise, drawn before
        the run for `max_steps` samples (``(max_steps, *shape)`` doubles).
    seed : optional
        The seed of the noise's generator.
    max_steps : int, optional
        The longest run, in samples.

    Returns
    -------
    RelayResult
        ``bank.relay_result()`` after the run; tune with
        :func:`kovar.tune.relay_tune`.

    Raises
    ------
    TypeError, ValueError
        As :func:`kovar.sim.simulate` and :meth:`PIDBank.start_relay` refuse
        their arguments, before the bank changes.

    Examples
    --------
    >>> from kovar.bank import PIDBank
    >>> from kovar.sim import FOPDT
    >>> from kovar.tune import autotune
    >>> bank = PIDBank(2, kp=1.0, ki=0.5)
    >>> result = autotune(bank, FOPDT(gain=[1.0, 2.0], tau=[10.0, 5.0], delay=[2.0, 1.0]),
    ...                   dt=0.05, amplitude=0.5)
    >>> result.state
    array(['done', 'done'], dtype='<U...')
    >>> result.model.gain.round(3), result.model.tau.round(2), result.model.delay.round(2)
    (array([1., 2.]), array([10.,  5.]), array([2., 1.]))
    >>> result.tu.round(2)
    array([7.56, 3.84])
    """
    dt = check_loop(bank, plant, dt)
    steps = _values.count("max_steps", max_steps)
    shape = bank.shape
    model = plant.discretize(dt).broadcast(shape)
    model = model.with_delays(np.minimum(model.d, steps))
    state = bank.__reduce__()[2]
    output = np.array(state["output"], dtype=np.float64)
    fresh = np.asarray(state["fresh"]) | ~np.isfinite(output)
    u0 = np.where(fresh, 0.0, output)
    r = None
    if setpoint is not None:
        r = _values.to_shape("setpoint", _values.finite("setpoint", setpoint), shape)
    relay = dict(asymmetry=asymmetry, hysteresis=hysteresis, where=where, cycles=cycles,
                 max_time=max_time)
    Inputs(shape, 1, dt, 0.0, 0.0, None, None, None, None, noise, seed)  # checks noise
    if np.any(fresh):
        # Every argument is checked before the bank takes its first step:
        # the same call on a copy.
        y_rest = steady_state(model, u0)[0]
        probe = bank.__class__.__new__(bank.__class__)
        probe.__setstate__(state)
        r_first = y_rest if r is None else r
        probe.update(r_first, y_rest, dt)
        probe.start_relay(amplitude, **relay)
        bank.update(r_first, y_rest, dt)
        u0 = np.array(bank.output)
    y0 = steady_state(model, u0)[0]
    if r is None:
        r = y0.copy()
    inputs = Inputs(shape, steps, dt, r, 0.0, None, None, None, None, noise, seed)
    bank.start_relay(amplitude, **relay)

    def check(done):
        if bank.relay_running == 0:
            raise _Finished

    metrics = RunningMetrics(shape, dt, inputs.r_last, y0)
    with np.errstate(over="ignore", invalid="ignore"):
        try:
            run_native(bank, model, u0, inputs, metrics, None, None, check)
        except _Finished:
            pass
    bank.stop_relay()
    return bank.relay_result()
