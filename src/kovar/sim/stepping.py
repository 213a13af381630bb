"""A discretised plant bank advanced one sample at a time: its dead time as
a delay line, and its state update, each operation in the order of the
model's equations (NumPy's element-wise arithmetic is correctly rounded, so
the native loop, with the same operations in the same order, gives the same
bits)."""

import numpy as np

from kovar import _values


class DelayLine:
    """``w[k] = v[k - d]`` per channel (`fill` for ``k < d``), over a ring of
    ``max(d) + 1`` slots: slot ``k mod D`` is written before ``k - d mod D``
    is read, and a slot not yet written holds `fill`, the input before the
    first step."""

    def __init__(self, d, shape, fill):
        self.d = np.broadcast_to(d, shape)
        self.slots = int(self.d.max(initial=0)) + 1
        self.uniform = bool(np.all(self.d == self.d.flat[0])) if self.d.size else True
        self.ring = None
        if self.slots > 1:
            self.ring = np.empty((self.slots, *shape))
            self.ring[...] = fill
        if not self.uniform:
            self.gather = self.d[None, ...].astype(np.int64)
        self.k = 0

    def push(self, v):
        """Takes this step's input `v` and returns the delayed one."""
        k = self.k
        self.k += 1
        if self.ring is None:
            return v
        self.ring[k % self.slots] = v
        if self.uniform:
            return self.ring[(k - int(self.d.flat[0])) % self.slots]
        index = (k - self.gather) % self.slots
        return np.take_along_axis(self.ring, index, axis=0)[0]


class Stepper:
    """A discretised plant bank run one sample at a time, from the steady
    state of a constant input (made by ``Discrete.start``).

    Sample ``k`` has the output ``y[k]`` (:meth:`output`); :meth:`step`
    feeds the input ``u[k]`` into the dead time and returns ``y[k + 1]``.
    A closed loop is therefore::

        y = s.output()
        for k in range(steps):
            u = bank.update(r[k], y, dt)
            y = s.step(u)

    which is what :func:`kovar.sim.simulate` runs, with the same bits.

    Parameters
    ----------
    model : Discrete
        The plant bank's zero-order-hold model.
    u0 : float or array_like, optional
        The constant input the plants have seen before the first step (0,
        rest, by default), broadcast to the model's shape: every FOPDT and
        SOPDT plant starts at its steady state ``gain*u0`` (every state) and
        its dead time holds ``u0``. An integrating plant has no steady state
        but at ``u0 = 0``: its output starts at 0 and, from a ``u0`` in its
        dead time, ramps at ``gain*u0``.

    Notes
    -----
    The outputs are new arrays at every step, never changed afterwards, so
    they may be kept. The dead time's ring holds ``max(d) + 1`` inputs per
    channel.

    Examples
    --------
    A cascade of three loops: the outer PI sets the inner loop's setpoint,
    the inner plant's output drives the outer plant.

    >>> from kovar.bank import PIDBank
    >>> from kovar.sim import FOPDT
    >>> dt = 0.1
    >>> inner = FOPDT(gain=[1.0, 1.0, 1.0], tau=0.5).discretize(dt).start()
    >>> outer = FOPDT(1.0, [4.0, 5.0, 6.0]).discretize(dt).start()
    >>> inner_bank, outer_bank = PIDBank(3, kp=4.0, ki=2.0), PIDBank(3, kp=1.0, ki=0.2)
    >>> y_inner, y_outer = inner.output(), outer.output()
    >>> for k in range(1000):
    ...     r_inner = outer_bank.update(1.0, y_outer, dt)
    ...     y_inner = inner.step(inner_bank.update(r_inner, y_inner, dt))
    ...     y_outer = outer.step(y_inner)
    >>> y_outer.round(6).tolist()
    [1.0, 1.0, 1.0]
    """

    def __init__(self, model, u0=0.0):
        shape = model.shape
        u0 = _values.to_shape("u0", _values.finite("u0", u0), shape, "the plant's shape")
        self.model = model
        self.shape = shape
        self._line = DelayLine(model.d, shape, u0)
        self._x, self._x1 = steady_state(model, u0)
        self._x.flags.writeable = False
        self._bw = np.empty(shape)
        self._step = getattr(self, "_" + model.kind)

    def output(self):
        """The output ``y[k]`` of the current sample.

        Returns
        -------
        numpy.ndarray
            A read-only array of the plant's shape.
        """
        return self._x

    def step(self, u):
        """Feeds ``u[k]`` into the dead time and moves to sample ``k + 1``.

        Parameters
        ----------
        u : float or array_like
            The input of every plant at this sample, broadcastable to the
            plant's shape.

        Returns
        -------
        numpy.ndarray
            The output ``y[k + 1]``, as :meth:`output` then returns it.

        Raises
        ------
        ValueError
            Where `u` does not broadcast to the plant's shape.
        TypeError
            Where `u` is not real numbers.
        """
        if type(u) is not np.ndarray or u.dtype != np.float64 or u.shape != self.shape:
            u = _values.to_shape("u", _values.real_array("u", u), self.shape, "the plant's shape")
        self._step(self._line.push(u))
        return self._x

    # Each step writes a new array (never a 0-d result NumPy would make a
    # scalar of), so that outputs handed out stay as they were.
    def _fopdt(self, w):
        # x = a*x + b*w, b = (1 - a)*gain made once.
        m = self.model
        x = np.multiply(m.a, self._x, out=np.empty(self.shape))
        np.multiply(m.b, w, out=self._bw)
        np.add(x, self._bw, out=x)
        self._set(x)

    def _integrating(self, w):
        # x = x + (gain*dt)*w.
        np.multiply(self.model.b, w, out=self._bw)
        self._set(np.add(self._x, self._bw, out=np.empty(self.shape)))

    def _sopdt(self, w):
        # x1' = (a11*x1 + a12*x2) + b1*w;  x2' = (a21*x1 + a22*x2) + b2*w
        m, x1, x2 = self.model, self._x1, self._x
        self._x1 = np.add(m.a11 * x1 + m.a12 * x2, m.b1 * w, out=np.empty(self.shape))
        self._set(np.add(m.a21 * x1 + m.a22 * x2, m.b2 * w, out=np.empty(self.shape)))

    def _set(self, x):
        x.flags.writeable = False
        self._x = x


def steady_state(model, u0):
    """The states x (the output) and x1 (SOPDT's first, else None) of the
    plants after a constant input `u0` (of the model's shape): gain*u0,
    and 0 for integrating plants."""
    x = np.zeros(model.shape) if model.kind == "integrating" else np.multiply(model.gain, u0, out=np.empty(model.shape))
    return x, (x.copy() if model.kind == "sopdt" else None)


def response(model, u, u0):
    """The outputs of `model` (already of the run's shape) driven by the
    series `u` of shape (steps, *model.shape), from the steady state of `u0`."""
    steps = u.shape[0]
    # A dead time of `steps` samples or more feeds the run only u0: held
    # there, it takes no longer a ring than the run.
    model = model.with_delays(np.minimum(model.d, steps))
    stepper = Stepper(model, u0)
    y = np.empty(u.shape)
    y[0] = stepper.output()
    for k in range(steps - 1):
        y[k + 1] = stepper.step(u[k])
    return y


def step_test(plant, dt, steps, amplitude=1.0, u0=0.0, step_time=None):
    """An open-loop step test of a plant bank, ready for
    :func:`kovar.tune.identify` and its kin.

    The plants start at the steady state of `u0` (see
    :meth:`Discrete.start`); the input steps to ``u0 + amplitude`` at the
    first sample ``k`` with ``k*dt >= step_time``.

    Parameters
    ----------
    plant : FOPDT, SOPDT or Integrating
        The plant bank.
    dt : float
        The sample time.
    steps : int
        The number of samples.
    amplitude : float or array_like, optional
        The step's size, per channel or one for all (1 by default).
    u0 : float or array_like, optional
        The input before the step (0 by default).
    step_time : float, optional
        When the step comes, in seconds from the first sample; a tenth of
        the run (at least one sample) by default, so that the output's
        baseline is seen before it.

    Returns
    -------
    t, u, y : numpy.ndarray
        ``t = k*dt`` of shape ``(steps,)``; the input ``u`` and the output
        ``y``, both of shape ``(steps, *shape)``.

    Raises
    ------
    ValueError
        Where `dt` is not positive, `steps` is below 1, `amplitude`, `u0`
        or `step_time` is not finite, or they do not broadcast to the bank.
    TypeError
        Where a number is not real, or `plant` not a plant bank.

    Examples
    --------
    >>> from kovar.sim import FOPDT, step_test
    >>> from kovar.tune import identify_fopdt
    >>> t, u, y = step_test(FOPDT(2.0, 3.0, delay=0.5), dt=0.1, steps=400)
    >>> model, fit_error = identify_fopdt(t, u, y)
    >>> round(float(model.gain), 6), round(float(model.tau), 6), round(float(model.delay), 6)
    (2.0, 3.0, 0.5)
    """
    from kovar.sim.plants import Plant

    if not isinstance(plant, Plant):
        raise TypeError(f"plant must be a FOPDT, SOPDT or Integrating bank, not {type(plant).__name__}")
    dt = _values.positive_scalar("dt", dt)
    steps = _values.count("steps", steps)
    shape = plant.shape
    amplitude = _values.to_shape("amplitude", _values.finite("amplitude", amplitude), shape, "the plant's shape")
    u0 = _values.to_shape("u0", _values.finite("u0", u0), shape, "the plant's shape")
    t = np.arange(steps) * dt
    if step_time is None:
        at = max(1, steps // 10)
    else:
        at = int(np.searchsorted(t, _values.finite_scalar("step_time", step_time), side="left"))
    u = np.empty((steps, *shape))
    u[:at] = u0
    u[at:] = u0 + amplitude
    return t, u, plant.response(u, dt, u0)
