"""Closed-loop performance measures, accumulated one sample at a time so a
run that keeps no history gets exactly the numbers of one that does.

With ``e[k] = r[k] - y[k]``, the step ``s = r_last - y[0]`` and
``t[k] = k*dt``, per channel:

- ``iae = sum |e[k]|*dt``, ``ise = sum (e[k]*e[k])*dt``,
  ``itae = sum (t[k]*|e[k]|)*dt``, summed in step order from 0;
- ``overshoot = max(0, max_k (y[k] - r_last)/s)`` (0 where ``s == 0``);
- ``settling_time``: the first ``t[k]`` from which ``|e| <= 0.02*|s|`` holds
  to the end (``inf`` if it does not hold at the last step; a NaN error
  counts as outside the band);
- ``rise_time``: ``t[k90] - t[k10]``, the first steps where
  ``(y[k] - y[0])*sign(s)`` reaches ``0.1*|s|`` and ``0.9*|s|`` (``inf``
  if either is never reached);
- ``peak_u = max |u[k]|``, ``u_variation = sum_{k>=1} |u[k] - u[k-1]|``.
"""

import numpy as np

NAMES = ("iae", "ise", "itae", "overshoot", "settling_time", "rise_time", "peak_u", "u_variation")


class RunningMetrics:
    """The measures of one run, fed sample by sample through `step`."""

    def __init__(self, shape, dt, r_last, y0):
        self.dt = dt
        self.r_last = np.array(r_last, dtype=np.float64)
        self.s = self.r_last - y0
        self.y0 = np.array(y0, dtype=np.float64)
        self.sign = np.sign(self.s)
        self.band = 0.02 * np.abs(self.s)
        self.lo = 0.1 * np.abs(self.s)
        self.hi = 0.9 * np.abs(self.s)
        self.iae = np.zeros(shape)
        self.ise = np.zeros(shape)
        self.itae = np.zeros(shape)
        self.peak = np.full(shape, -np.inf)
        self.peak_u = np.zeros(shape)
        self.u_variation = np.zeros(shape)
        self.last_out = np.full(shape, -1, dtype=np.int64)
        self.k10 = np.full(shape, -1, dtype=np.int64)
        self.k90 = np.full(shape, -1, dtype=np.int64)
        self.u_prev = None
        self.steps = 0

    def step(self, k, t_k, r_k, y_k, u_k):
        """Adds sample k (time t_k = k*dt) with setpoint r_k, plant output
        y_k and controller output u_k."""
        dt = self.dt
        e = r_k - y_k
        abs_e = np.abs(e)
        self.iae += abs_e * dt
        self.ise += (e * e) * dt
        self.itae += (t_k * abs_e) * dt
        with np.errstate(divide="ignore", invalid="ignore"):
            np.maximum(self.peak, (y_k - self.r_last) / self.s, out=self.peak)
        # A NaN error is outside the band: the comparison below is false.
        np.putmask(self.last_out, ~(abs_e <= self.band), k)
        rise = (y_k - self.y0) * self.sign
        np.putmask(self.k10, (self.k10 < 0) & (rise >= self.lo), k)
        np.putmask(self.k90, (self.k90 < 0) & (rise >= self.hi), k)
        np.maximum(self.peak_u, np.abs(u_k), out=self.peak_u)
        if self.u_prev is not None:
            self.u_variation += np.abs(u_k - self.u_prev)
        self.u_prev = u_k
        self.steps = k + 1

    def finish(self):
        """The measures by name, arrays of the bank's shape."""
        dt, steps = self.dt, self.steps
        overshoot = np.where(self.s == 0.0, 0.0, np.maximum(0.0, self.peak))
        first_in = self.last_out + 1
        settling = np.where(first_in < steps, first_in * dt, np.inf)
        rise = np.where((self.k10 >= 0) & (self.k90 >= 0), self.k90 * dt - self.k10 * dt, np.inf)
        return {
            "iae": self.iae, "ise": self.ise, "itae": self.itae,
            "overshoot": overshoot, "settling_time": settling, "rise_time": rise,
            "peak_u": self.peak_u, "u_variation": self.u_variation,
        }


def response_metrics(dt, r, y, u):
    """The measures of a response recorded with sample time `dt`: `r`, `y`
    and `u` broadcastable to (steps, *shape); the same numbers as the run
    that produced them."""
    y = np.asarray(y, dtype=np.float64)
    u = np.asarray(u, dtype=np.float64)
    steps = y.shape[0]
    t = np.arange(steps) * dt
    shape = np.broadcast_shapes(y.shape, u.shape, np.shape(r))[1:]
    r = np.broadcast_to(np.asarray(r, dtype=np.float64), (steps, *shape))
    y = np.broadcast_to(y, (steps, *shape))
    u = np.broadcast_to(u, (steps, *shape))
    acc = RunningMetrics(shape, dt, r[-1], y[0])
    for k in range(steps):
        acc.step(k, t[k], r[k], y[k], u[k])
    return acc.finish()
