"""What a simulation feeds the loop at each step: the setpoint, the load
added to the controller's output, the bank's feed-forward and tracking
inputs, and the measurement noise."""

import numpy as np

from kovar import _values


def series(name, value, shape, steps):
    """`value` as a read-only (steps, *shape) view: with no more dimensions
    than the bank, one value per channel for the whole run; with more, time
    first."""
    v = _values.real_array(name, value)
    if v.ndim > len(shape):
        return _values.to_shape(name, v, (steps, *shape), "the run's shape (steps, *shape)")
    try:
        per_channel = _values.to_shape(name, v, shape)
    except ValueError as refused:
        if v.ndim and v.shape[0] == steps:  # a series over time, one per channel?
            raise ValueError(f"{refused}; a series over time has time first and one more "
                             f"dimension than the bank: {name}[:, None] gives every "
                             f"channel the same series") from None
        raise
    return np.broadcast_to(per_channel, (steps, *shape))


class Inputs:
    """The input sequence of one run over `steps` samples of `dt` of a bank
    of `shape`.

    `setpoint`, `load`, `feedforward` and `track` are each one value per
    channel for the whole run or, with one more leading dimension than the
    bank, a series with time first, broadcast to ``(steps, *shape)``.
    `load` is added to the controller output from step `load_step` (or the
    first step at or after `load_time` seconds) on, from the start when
    both are None. `feedforward` and `track`, when not None, go to the
    bank's update as they are. `noise` (per channel) scales standard normal
    draws made once, before the run, as
    ``default_rng(seed).standard_normal((steps, *shape))``; nothing is drawn
    when every channel's noise is 0.
    """

    def __init__(self, shape, steps, dt, setpoint, load, load_step, load_time, feedforward, track,
                 noise, seed):
        self.shape = shape
        self.steps = steps
        self.r = series("setpoint", setpoint, shape, steps)
        self.r_last = self.r[steps - 1]
        self.load = series("load", load, shape, steps)
        if load_step is not None and load_time is not None:
            raise TypeError("give load_step (samples) or load_time (seconds), not both")
        if load_time is not None:
            at = _values.finite_scalar("load_time", load_time)
            # The first sample whose t[k] = k*dt (as Result.t has it) is at or past load_time.
            self.load_step = int(np.searchsorted(np.arange(steps) * dt, at, side="left"))
        elif load_step is not None:
            self.load_step = _values.count("load_step", load_step, minimum=0)
        else:
            self.load_step = 0
        # A load of zeros is no load: the plant sees u itself, not u + 0.0
        # (which would turn a -0.0 into 0.0). Checked before broadcasting,
        # which would make it steps times the work.
        self.has_load = self.load_step < steps and bool(np.any(_values.real_array("load", load) != 0.0))
        self.feedforward = None if feedforward is None else series("feedforward", feedforward, shape, steps)
        self.track = None if track is None else series("track", track, shape, steps)
        scale = _values.to_shape("noise", _values.non_negative("noise", noise), shape)
        self.noise = scale
        self.z = np.random.default_rng(seed).standard_normal((steps, *shape)) if np.any(scale != 0.0) else None

    def setpoint(self, k):
        """r[k], of the bank's shape."""
        return self.r[k]

    def bank_inputs(self, k):
        """The feed-forward and tracking inputs of step k, by keyword (a
        keyword left out where not given)."""
        extra = {}
        if self.feedforward is not None:
            extra["feedforward"] = self.feedforward[k]
        if self.track is not None:
            extra["track"] = self.track[k]
        return extra

    def measurement(self, k, y):
        """What the bank sees at step k: y + noise*z[k]."""
        if self.z is None:
            return y
        return y + self.noise * self.z[k]

    def plant_input(self, k, u):
        """What enters the plant's dead time at step k: u + load[k] once the
        load has started, else u."""
        if self.has_load and k >= self.load_step:
            return u + self.load[k]
        return u
