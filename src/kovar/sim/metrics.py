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
        # (y - r_last)/s rounds monotonically in y, so its maximum over the
        # run is that of the largest y (s > 0) or the smallest (s < 0).
        self.y_max = np.full(shape, -np.inf)
        self.y_min = np.full(shape, np.inf)
        self.peak_u = np.zeros(shape)
        self.u_variation = np.zeros(shape)
        self.last_out = np.full(shape, -1, dtype=np.int64)
        self.k10 = np.full(shape, -1, dtype=np.int64)
        self.k90 = np.full(shape, -1, dtype=np.int64)
        self.risen = False  # every channel past 90 %: nothing left to find
        self.u_prev = None
        self.steps = 0
        # Scratch arrays, so that a step allocates nothing.
        self._e = np.empty(shape)
        self._abs_e = np.empty(shape)
        self._tmp = np.empty(shape)
        self._mask = np.empty(shape, dtype=bool)
        self._open = np.empty(shape, dtype=bool)

    def step(self, k, t_k, r_k, y_k, u_k):
        """Adds sample k (time t_k = k*dt) with setpoint r_k, plant output
        y_k and controller output u_k."""
        dt, e, abs_e, tmp, mask = self.dt, self._e, self._abs_e, self._tmp, self._mask
        np.subtract(r_k, y_k, out=e)
        np.abs(e, out=abs_e)
        np.multiply(abs_e, dt, out=tmp)
        self.iae += tmp
        np.multiply(e, e, out=tmp)
        tmp *= dt
        self.ise += tmp
        np.multiply(t_k, abs_e, out=tmp)
        tmp *= dt
        self.itae += tmp
        np.maximum(self.y_max, y_k, out=self.y_max)
        np.minimum(self.y_min, y_k, out=self.y_min)
        # A NaN error is outside the band: the comparison is false.
        np.less_equal(abs_e, self.band, out=mask)
        np.logical_not(mask, out=mask)
        np.putmask(self.last_out, mask, k)
        if not self.risen:
            np.subtract(y_k, self.y0, out=tmp)
            tmp *= self.sign
            for first, level in ((self.k10, self.lo), (self.k90, self.hi)):
                np.less(first, 0, out=self._open)
                np.greater_equal(tmp, level, out=mask)
                mask &= self._open
                np.putmask(first, mask, k)
            if k % 16 == 15:
                self.risen = bool(np.all(self.k90 >= 0))
        np.abs(u_k, out=tmp)
        np.maximum(self.peak_u, tmp, out=self.peak_u)
        if self.u_prev is not None:
            np.subtract(u_k, self.u_prev, out=tmp)
            np.abs(tmp, out=tmp)
            self.u_variation += tmp
        self.u_prev = u_k
        self.steps = k + 1

    def finish(self):
        """The measures by name, arrays of the bank's shape."""
        dt, steps = self.dt, self.steps
        with np.errstate(divide="ignore", invalid="ignore"):
            extreme = np.where(self.s > 0.0, self.y_max, self.y_min)
            peak = (extreme - self.r_last) / self.s
        overshoot = np.where(self.s == 0.0, 0.0, np.maximum(0.0, peak))
        first_in = self.last_out + 1
        settling = np.where(first_in < steps, first_in * dt, np.inf)
        rise = np.where((self.k10 >= 0) & (self.k90 >= 0), self.k90 * dt - self.k10 * dt, np.inf)
        return {
            "iae": self.iae, "ise": self.ise, "itae": self.itae,
            "overshoot": overshoot, "settling_time": settling, "rise_time": rise,
            "peak_u": self.peak_u, "u_variation": self.u_variation,
        }


def response_metrics(dt, r, y, u):
    """The closed-loop measures of a recorded response.

    With ``e[k] = r[k] - y[k]``, the step ``s = r[-1] - y[0]`` and
    ``t[k] = k*dt``, per channel:

    - ``iae = sum |e[k]|*dt``, ``ise = sum (e[k]*e[k])*dt``,
      ``itae = sum (t[k]*|e[k]|)*dt``, summed in step order;
    - ``overshoot = max(0, max_k (y[k] - r[-1])/s)`` (0 where ``s == 0``);
    - ``settling_time``: the first ``t[k]`` from which
      ``|e| <= 0.02*|s|`` holds to the end (``inf`` if it does not hold at
      the last step; a NaN error counts as outside the band);
    - ``rise_time``: ``t[k90] - t[k10]``, the first steps where
      ``(y[k] - y[0])*sign(s)`` reaches ``0.1*|s|`` and ``0.9*|s|``
      (``inf`` if either is never reached);
    - ``peak_u = max |u[k]|``, ``u_variation = sum_{k>=1} |u[k] - u[k-1]|``.

    Parameters
    ----------
    dt : float
        The sample time.
    r, y, u : array_like
        The setpoint, the plant output and the controller output,
        broadcastable together to ``(steps, *shape)``, time first (`y`
        has the time axis).

    Returns
    -------
    dict of str to numpy.ndarray
        The measures by name, arrays of shape `shape`: for a run of
        :func:`kovar.sim.simulate`, the same numbers as its
        :class:`Result`'s.

    Raises
    ------
    ValueError
        Where the three do not broadcast together.

    Examples
    --------
    >>> from kovar.sim import response_metrics
    >>> measures = response_metrics(0.5, r=1.0, y=[0.0, 0.5, 1.0, 1.25, 1.0], u=[2.0, 1.0, 0.0, -0.5, 0.0])
    >>> {name: float(measures[name]) for name in ("iae", "overshoot", "settling_time", "peak_u")}
    {'iae': 0.875, 'overshoot': 0.25, 'settling_time': 2.0, 'peak_u': 2.0}
    """
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
