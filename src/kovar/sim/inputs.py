"""What a simulation feeds the loop at each step: the setpoint, the load
added to the controller's output, and the measurement noise."""

import numpy as np

from kovar import _values


class Inputs:
    """The input sequence of one run over `steps` samples of a bank of
    `shape`.

    `setpoint` with no more dimensions than the bank is one value per
    channel for the whole run; with more, its first axis is time and it
    broadcasts to ``(steps, *shape)``. `load` (per channel) is added to the
    controller output from step `load_step` on (from the start when None).
    `noise` (per channel) scales standard normal draws made once, before the
    run, as ``default_rng(seed).standard_normal((steps, *shape))``; nothing
    is drawn when every channel's noise is 0.
    """

    def __init__(self, shape, steps, setpoint, load, load_step, noise, seed):
        self.shape = shape
        self.steps = steps
        r = _values.real_array("setpoint", setpoint)
        if r.ndim > len(shape):
            self.r = _values.to_shape("setpoint", r, (steps, *shape), "the run's shape (steps, *shape)")
        else:
            try:
                per_channel = _values.to_shape("setpoint", r, shape)
            except ValueError as refused:
                if r.ndim and r.shape[0] == steps:  # a series over time, one per channel?
                    raise ValueError(f"{refused}; a series over time has time first and one more "
                                     f"dimension than the bank: setpoint[:, None] gives every "
                                     f"channel the same series") from None
                raise
            self.r = np.broadcast_to(per_channel, (steps, *shape))
        self.r_last = self.r[steps - 1]
        self.load = _values.to_shape("load", _values.real_array("load", load), shape)
        if load_step is None:
            self.load_step = 0
        else:
            self.load_step = _values.count("load_step", load_step, minimum=0)
        self.has_load = bool(np.any(self.load != 0.0)) and self.load_step < steps
        scale = _values.to_shape("noise", _values.non_negative("noise", noise), shape)
        self.noise = scale
        self.z = np.random.default_rng(seed).standard_normal((steps, *shape)) if np.any(scale != 0.0) else None

    def setpoint(self, k):
        """r[k], of the bank's shape."""
        return self.r[k]

    def measurement(self, k, y):
        """What the bank sees at step k: y + noise*z[k]."""
        if self.z is None:
            return y
        return y + self.noise * self.z[k]

    def plant_input(self, k, u):
        """What enters the plant's dead time at step k: u + load once the
        load has started, else u."""
        if self.has_load and k >= self.load_step:
            return u + self.load
        return u
