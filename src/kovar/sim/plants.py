"""Banks of linear plants with dead time, and their exact zero-order-hold
discretisation.

Every parameter is a real scalar or an array; the bank's shape is their
broadcast shape. A plant starts at rest (state 0, input 0 before the first
step), or at the steady state of an input (``discretize(dt).start(u0)``).
Its dead time becomes ``d = floor(delay/dt + 0.5)`` whole samples.
"""

from collections.abc import Callable
from typing import Any

import numpy as np

from kovar import _values
from kovar.sim.expm import pade_expm


# Dead times of more samples than this are longer than any run: they are held
# at it, where delay/dt would overflow the integer (or the float) instead.
MAX_DELAY_SAMPLES = 2**62


# A lag with dt/tau at least this large decays to exactly 0 in one sample
# (exp(-800) is below the smallest double): SOPDT plants with one take the
# closed-form model.
STIFF = 800.0


def delay_samples(delay, dt):
    """Dead times in whole samples, rounded half up: floor(delay/dt + 0.5)."""
    with np.errstate(over="ignore"):
        samples = np.floor(delay / dt + 0.5)
    return np.minimum(samples, MAX_DELAY_SAMPLES).astype(np.int64)


def _read_only(array, shape):
    array = np.broadcast_to(array, shape).copy()
    array.flags.writeable = False
    return array


class Plant:
    """A bank of linear plants with dead time: the base of :class:`FOPDT`,
    :class:`SOPDT` and :class:`Integrating`.

    Its parameters are checked, broadcast and kept as read-only arrays of
    the bank's shape. Each kind knows what the rest of kovar asks of it:
    its zero-order-hold model (:meth:`discretize`), its frequency response
    (:meth:`frequency_response`), its first-order reduction
    (:meth:`half_rule`) and its python-control form (:meth:`to_control`).
    Banks compare equal when they are of one class with equal parameters,
    and pickle by their parameters.

    The base is not a plant itself: what takes any plant bank
    (:func:`kovar.sim.simulate`, :func:`kovar.tune.robustness`, ...) checks
    ``isinstance(plant, Plant)``.

    Examples
    --------
    >>> from kovar.sim import FOPDT, Plant
    >>> plant = FOPDT(gain=2.0, tau=[1.0, 3.0], delay=0.5)
    >>> isinstance(plant, Plant), plant.shape
    (True, (2,))
    """

    _rules: tuple[tuple[str, Callable[[str, Any], np.ndarray]], ...] = ()  # (name, check) in the constructor's order

    def __init__(self, *values):
        checked = [(name, rule(name, value)) for (name, rule), value in zip(self._rules, values)]
        self._shape = _values.common_shape(checked)
        self._params = {name: _read_only(array, self._shape) for name, array in checked}

    @classmethod
    def _unchecked(cls, *values):
        """A bank of these parameters as they are, NaN included: results
        that mark channels with no model (a relay experiment's) hold them.
        Such a bank pickles only through the result holding it."""
        plant = cls.__new__(cls)
        arrays = [np.asarray(v, dtype=np.float64) for v in values]
        plant._shape = np.broadcast_shapes(*(a.shape for a in arrays))
        plant._params = {name: _read_only(a, plant._shape) for (name, _), a in zip(cls._rules, arrays)}
        return plant

    @property
    def shape(self):
        """The shape of the bank of plants."""
        return self._shape

    @property
    def gain(self):
        """The gain of every plant."""
        return self._params["gain"]

    @property
    def delay(self):
        """The dead time of every plant (continuous, before rounding to samples)."""
        return self._params["delay"]

    def params(self):
        """The parameters by name, in the constructor's order.

        Returns
        -------
        dict of str to numpy.ndarray
            Read-only arrays of the bank's shape: ``type(plant)(**params)``
            is the same bank.

        Examples
        --------
        >>> from kovar.sim import Integrating
        >>> {name: value.tolist() for name, value in Integrating(0.5, delay=1.0).params().items()}
        {'gain': 0.5, 'delay': 1.0}
        """
        return dict(self._params)

    def __repr__(self):
        inner = ", ".join(f"{name}={_short(array)}" for name, array in self._params.items())
        return f"{type(self).__name__}({inner})"

    def __reduce__(self):
        return (type(self), tuple(self._params.values()))

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self._shape == other._shape and all(
            np.array_equal(self._params[n], other._params[n]) for n in self._params
        )

    __hash__ = None  # type: ignore[assignment]

    def discretize(self, dt):
        """The bank's exact zero-order-hold model for the sample time `dt`.

        Parameters
        ----------
        dt : float
            The sample time.

        Returns
        -------
        Discrete
            The coefficients of every plant's state update (see the class
            of the bank), and its dead time in whole samples,
            ``d = floor(delay/dt + 0.5)``.

        Raises
        ------
        ValueError
            Where `dt` is not a positive finite number.
        TypeError
            Where `dt` is not a real number.

        Examples
        --------
        >>> from kovar.sim import FOPDT
        >>> model = FOPDT(2.0, 1.0, delay=0.3).discretize(0.1)
        >>> int(model.d), round(float(model.a), 6), round(float(model.b), 6)
        (3, 0.904837, 0.190325)
        """
        dt = _values.positive_scalar("dt", dt)
        return self._discretize(dt)

    def frequency_response(self, w):
        """The plants' frequency response ``P(jw)``, the dead time exact.

        Parameters
        ----------
        w : array_like
            Frequencies in radians per unit of time, along the last axis of
            the result.

        Returns
        -------
        numpy.ndarray
            Complex, of shape ``(*shape, len(w))`` (the bank's shape, then
            the frequencies).
        """
        s = 1j * np.asarray(w, dtype=np.float64)
        delay = self.delay[..., None]
        return self._rational(s) * np.exp(-1j * (s.imag * delay))

    def half_rule(self):
        """The bank as first-order models (Skogestad's half rule): half of a
        SOPDT's smaller lag goes to the larger lag, half to the dead time.
        FOPDT and integrating banks are their own reduction.

        Returns
        -------
        FOPDT or Integrating
            A FOPDT bank for a SOPDT, the bank itself otherwise.

        Examples
        --------
        >>> from kovar.sim import SOPDT
        >>> SOPDT(1.0, tau1=2.0, tau2=1.0, delay=0.5).half_rule()
        FOPDT(gain=1.0, tau=2.5, delay=1.0)
        """
        return self

    def _rational(self, s):
        """P(s) without its dead time; `s` along a trailing axis."""
        raise NotImplementedError

    def _lags(self):
        """The time constants of the lags (arrays of the bank's shape) and
        the number of integrators: what the robustness measures read of a
        plant."""
        raise NotImplementedError

    def response(self, u, dt, u0=0.0):
        """The open-loop response to the input series `u`, sample by sample
        (python-control's ``forced_response`` for a plant bank).

        Parameters
        ----------
        u : array_like
            The input over time, time first: ``u[k]`` is held over sample
            k, and ``u.shape[1:]`` broadcasts with the bank's shape (a 1-D
            series drives every channel).
        dt : float
            The sample time.
        u0 : float or array_like, optional
            The input before the first sample: the plants start at its
            steady state (see :meth:`Discrete.start`).

        Returns
        -------
        numpy.ndarray
            ``y`` of shape ``(steps, *shape)``, ``shape`` the broadcast of
            the bank's and ``u.shape[1:]``; ``y[0]`` is the initial output
            and ``y[k]`` follows from ``u[:k]``, the same bits as
            ``discretize(dt).start(u0)`` stepped by hand.

        Raises
        ------
        ValueError
            Where `dt` is not a positive finite number, `u` has no time
            axis or does not broadcast with the bank, or `u0` is not finite.
        TypeError
            Where `u` or `u0` is not real numbers.

        Examples
        --------
        >>> import numpy as np
        >>> from kovar.sim import Integrating
        >>> Integrating(0.5).response(np.ones(4), dt=1.0).tolist()
        [0.0, 0.5, 1.0, 1.5]
        """
        from kovar.sim import stepping

        model = self.discretize(dt)
        u = _values.real_array("u", u)
        if u.ndim == 0 or u.shape[0] == 0:
            raise ValueError(f"u must be a series of at least one sample, time first, not of shape {u.shape}")
        try:
            shape = np.broadcast_shapes(self._shape, u.shape[1:])
        except ValueError:
            raise ValueError(
                f"u has shape {u.shape}, whose channels {u.shape[1:]} do not broadcast to the "
                f"plant's shape {self._shape} (time comes first)"
            ) from None
        # Time stays the first axis, whatever the channels' dimensions.
        u = u.reshape(u.shape[0], *[1] * (len(shape) - (u.ndim - 1)), *u.shape[1:])
        u = np.broadcast_to(u, (u.shape[0], *shape))
        return stepping.response(model.broadcast(shape), u, u0)

    def to_control(self, dt=None, pade=5):
        """The plants as python-control transfer functions.

        Continuous, the dead time as the Padé approximant of order `pade`
        (``control.pade``); or, with `dt`, the exact zero-order-hold model
        kovar simulates, with the coefficients of :meth:`discretize` and the
        dead time exact as ``z^-d``, ``d = floor(delay/dt + 0.5)``: its step
        response is the plant's in :func:`kovar.sim.simulate`. A bank gives
        one system per channel, not a MIMO system (its channels do not
        couple).

        Parameters
        ----------
        dt : float, optional
            The sample time; None (the default) for the continuous model.
        pade : int, optional
            The order of the Padé approximant of a continuous dead time
            (5 by default; plants without dead time take none).

        Returns
        -------
        control.TransferFunction or numpy.ndarray
            One transfer function for a bank of shape ``()``, otherwise an
            object array of the bank's shape holding one per channel.

        Raises
        ------
        ImportError
            Where python-control is not installed.
        ValueError
            Where `dt` is not a positive finite number, `pade` is below 1,
            or a dead time is more than 100 000 samples of `dt`.
        TypeError
            Where `dt` is not a real number or `pade` not an int.

        Examples
        --------
        >>> from kovar.sim import FOPDT
        >>> FOPDT(2.0, 4.0, delay=0.5).to_control(dt=0.25)  # doctest: +SKIP
        TransferFunction(array([0.12...]), array([ 1., -0.93...,  0.,  0.]), 0.25)
        """
        from kovar.sim import interop

        if dt is None:
            return interop.continuous(self, pade)
        return interop.discrete(self, _values.positive_scalar("dt", dt))

    @classmethod
    def from_control(cls, sys, delay=0.0):
        """A bank of this class from python-control systems of its form.

        As :func:`kovar.sim.plant_from_control`, refusing systems of another
        of the three forms.

        Parameters
        ----------
        sys : control.TransferFunction or control.StateSpace, or a sequence or array of them
            One SISO system, or an array of them for a bank.
        delay : float or array_like, optional
            The dead time of continuous systems (python-control has none).

        Returns
        -------
        FOPDT, SOPDT or Integrating
            A bank of this class, of the shape of `sys`.

        Raises
        ------
        ValueError
            Where a system is not of this class's form.
        TypeError
            Where `sys` is not a python-control system.
        ImportError
            Where python-control is not installed.

        Examples
        --------
        >>> import control
        >>> from kovar.sim import SOPDT
        >>> SOPDT.from_control(control.tf([3.0], [2.0, 3.0, 1.0]))
        SOPDT(gain=3.0, tau1=2.0, tau2=1.0, delay=0.0)
        """
        from kovar.sim import interop

        return interop._from_control(sys, delay, cls)


def _short(array):
    if array.size and np.all(array == array.flat[0]):
        return repr(float(array.flat[0]))
    return f"<array {array.shape}>"


class FOPDT(Plant):
    """A bank of first-order plants plus dead time,
    ``gain*exp(-delay*s)/(tau*s + 1)``.

    Discretised as ``x[k+1] = a*x[k] + ((1 - a)*gain)*w[k]``,
    ``a = numpy.exp(-dt/tau)``, ``y[k] = x[k]``, ``w[k] = u[k - d]``.
    (NumPy's exp gives the same bits for an element wherever it sits in
    an array, but not always the C library's: a native loop takes ``a``
    from here rather than computing it.)

    Parameters
    ----------
    gain : float or array_like
        The static gain, finite (negative for a reverse-acting plant).
    tau : float or array_like
        The time constant, positive.
    delay : float or array_like, optional
        The dead time, non-negative (0 by default).

    Raises
    ------
    ValueError
        Naming the parameter and the index of its first bad element, where
        a value is out of its range, or naming two parameters whose shapes
        do not broadcast together.
    TypeError
        Where a parameter is not real numbers.

    Examples
    --------
    >>> from kovar.sim import FOPDT
    >>> FOPDT(2.0, tau=[1.0, 3.0], delay=0.5).shape
    (2,)
    >>> FOPDT(2.0, tau=0.0)
    Traceback (most recent call last):
      ...
    ValueError: tau must be positive, not 0.0
    """

    _rules = (("gain", _values.finite), ("tau", _values.positive), ("delay", _values.non_negative))

    def __init__(self, gain, tau, delay=0.0):
        super().__init__(gain, tau, delay)

    @property
    def tau(self):
        """The time constant of every plant."""
        return self._params["tau"]

    def _rational(self, s):
        return self.gain[..., None] / (self.tau[..., None] * s + 1.0)

    def _lags(self):
        return (self.tau,), 0

    def _discretize(self, dt):
        # dt/tau beyond the largest double (a subnormal tau) is -inf, and
        # exp(-inf) = 0 is the exact limit: no overflow to report.
        with np.errstate(over="ignore"):
            a = np.exp(-dt / self.tau)
        return Discrete(
            "fopdt", self._shape, dt, delay_samples(self.delay, dt), gain=self.gain,
            a=a, b=(1.0 - a) * self.gain,
        )


class SOPDT(Plant):
    """A bank of second-order plants (two real lags) plus dead time,
    ``gain*exp(-delay*s)/((tau1*s + 1)*(tau2*s + 1))``.

    States x1 (the lag tau1, driven by w) and x2 (the output); the pair is
    discretised as a whole from the exponential of the augmented matrix
    ``[[A, B], [0, 0]]*dt``, ``A = [[-1/tau1, 0], [1/tau2, -1/tau2]]``,
    ``B = [gain/tau1, 0]``: ``x[k+1] = Ad x[k] + Bd w[k]``, ``y[k] = x2[k]``.

    Parameters
    ----------
    gain : float or array_like
        The static gain, finite.
    tau1, tau2 : float or array_like
        The two time constants, positive, in either order (the tuning
        rules take the larger as ``tau1``); equal ones are allowed.
    delay : float or array_like, optional
        The dead time, non-negative (0 by default).

    Raises
    ------
    ValueError
        Naming the parameter and the index of its first bad element, where
        a value is out of its range, or naming two parameters whose shapes
        do not broadcast together.
    TypeError
        Where a parameter is not real numbers.

    Examples
    --------
    >>> import numpy as np
    >>> from kovar.sim import SOPDT
    >>> plant = SOPDT(1.0, tau1=2.0, tau2=1.0)
    >>> y = plant.response(np.ones(2001), dt=0.01)
    >>> round(float(y[-1]), 3)  # the step response after 20 s, 1 - 2*exp(-10) + exp(-20)
    1.0
    """

    _rules = (
        ("gain", _values.finite), ("tau1", _values.positive),
        ("tau2", _values.positive), ("delay", _values.non_negative),
    )

    def __init__(self, gain, tau1, tau2, delay=0.0):
        super().__init__(gain, tau1, tau2, delay)

    @property
    def tau1(self):
        """The time constant of the first lag (driven by the input)."""
        return self._params["tau1"]

    @property
    def tau2(self):
        """The time constant of the second lag (the output)."""
        return self._params["tau2"]

    def _rational(self, s):
        return self.gain[..., None] / ((self.tau1[..., None] * s + 1.0) * (self.tau2[..., None] * s + 1.0))

    def _lags(self):
        return (self.tau1, self.tau2), 0

    def half_rule(self):
        larger, smaller = np.maximum(self.tau1, self.tau2), np.minimum(self.tau1, self.tau2)
        return FOPDT(self.gain, larger + smaller / 2.0, self.delay + smaller / 2.0)

    def _discretize(self, dt):
        tau1, tau2, gain = (np.broadcast_to(v, self._shape) for v in (self.tau1, self.tau2, self.gain))
        with np.errstate(over="ignore"):
            stiff = (dt / tau1 >= STIFF) | (dt / tau2 >= STIFF)
        # Scaling and squaring halves a stiff matrix so often that the slow
        # lag's exp(-dt/tau) rounds to 1 (and past 1/tau ~ 1e300, to NaN):
        # those plants get the closed form instead, and a harmless matrix.
        t1, t2 = np.where(stiff, 1.0, tau1), np.where(stiff, 1.0, tau2)
        m = np.zeros((*self._shape, 3, 3))
        with np.errstate(over="ignore", invalid="ignore"):
            m[..., 0, 0] = -1.0 / t1
            m[..., 1, 0] = 1.0 / t2
            m[..., 1, 1] = -1.0 / t2
            m[..., 0, 2] = gain / t1
            m *= dt
        # 1/tau overflows for a subnormal tau, and gain/tau1 for a large gain
        # over a small tau, where dt/tau (below STIFF) does not: those plants
        # take their matrix from dt/tau, with unit gain, the gain applied to
        # the input coefficients after (as FOPDT's b = (1 - a)*gain).
        rescaled = ~np.isfinite(m).all(axis=(-2, -1))
        if np.any(rescaled):
            r1, r2 = dt / t1[rescaled], dt / t2[rescaled]
            m[rescaled] = 0.0
            m[rescaled, 0, 0] = -r1
            m[rescaled, 1, 0] = r2
            m[rescaled, 1, 1] = -r2
            m[rescaled, 0, 2] = r1
        e = pade_expm(m)
        coefficients = {
            "a11": e[..., 0, 0].copy(), "a12": e[..., 0, 1].copy(),
            "a21": e[..., 1, 0].copy(), "a22": e[..., 1, 1].copy(),
            "b1": e[..., 0, 2].copy(), "b2": e[..., 1, 2].copy(),
        }
        if np.any(rescaled):
            for name in ("b1", "b2"):
                coefficients[name][rescaled] *= gain[rescaled]
        if np.any(stiff):
            for name, value in _stiff_sopdt(gain, tau1, tau2, dt).items():
                coefficients[name] = np.where(stiff, value, coefficients[name])
        return Discrete("sopdt", self._shape, dt, delay_samples(self.delay, dt), gain=self.gain,
                        **coefficients)


def _stiff_sopdt(gain, tau1, tau2, dt):
    """The exact ZOH model of SOPDT plants of which at least one lag is
    stiff (dt/tau >= STIFF, its exp(-dt/tau) exactly 0). The other lag's
    decay e then stands alone; where it is not 0 either, the lags differ
    by more than 7 %, so tau1 - tau2 cancels nothing."""
    with np.errstate(over="ignore", under="ignore", divide="ignore", invalid="ignore"):
        e1, e2 = np.exp(-dt / tau1), np.exp(-dt / tau2)
        # x2 after a sample, from x1 = 1: tau1 (e1 - e2) / (tau1 - tau2); and
        # the step response of x2 over a sample: 1 - (tau1 e1 - tau2 e2) / (tau1 - tau2).
        # Both decays 0 (equal lags among them): both are 0 whatever divides them.
        spread = np.where((e1 == 0.0) & (e2 == 0.0), 1.0, tau1 - tau2)
        a21 = tau1 * (e1 - e2) / spread
        rest = (tau1 * e1 - tau2 * e2) / spread
    zero = np.zeros_like(e1)
    return {"a11": e1, "a12": zero, "a21": a21, "a22": e2,
            "b1": (1.0 - e1) * gain, "b2": (1.0 - rest) * gain}


class Integrating(Plant):
    """A bank of integrating plants plus dead time, ``gain*exp(-delay*s)/s``:
    the output ramps at ``gain`` per unit of input.

    Discretised as ``x[k+1] = x[k] + (gain*dt)*w[k]``, ``y[k] = x[k]``.

    Parameters
    ----------
    gain : float or array_like
        The velocity gain, finite.
    delay : float or array_like, optional
        The dead time, non-negative (0 by default).

    Raises
    ------
    ValueError
        Naming the parameter and the index of its first bad element, where
        a value is out of its range, or where the two do not broadcast
        together.
    TypeError
        Where a parameter is not real numbers.

    Examples
    --------
    >>> from kovar.sim import Integrating
    >>> Integrating(0.5, delay=1.0).response([1.0] * 5, dt=0.5).tolist()
    [0.0, 0.0, 0.0, 0.25, 0.5]
    """

    _rules = (("gain", _values.finite), ("delay", _values.non_negative))

    def __init__(self, gain, delay=0.0):
        super().__init__(gain, delay)

    def _rational(self, s):
        return self.gain[..., None] / s

    def _lags(self):
        return (), 1

    def _discretize(self, dt):
        return Discrete("integrating", self._shape, dt, delay_samples(self.delay, dt), gain=self.gain,
                        b=self.gain * dt)


class Discrete:
    """A plant bank's zero-order-hold model for one sample time, made by
    :meth:`Plant.discretize`; :meth:`start` runs it.

    Parameters
    ----------
    kind : {"fopdt", "sopdt", "integrating"}
        The kind of plant.
    shape : tuple of int
        The bank's shape.
    dt : float
        The sample time.
    d : numpy.ndarray
        The dead times in whole samples (int64), broadcastable to `shape`.
    gain : float or array_like, optional
        The steady-state gain (1 by default), broadcast to `shape`.
    **coefficients : numpy.ndarray
        The coefficients of the state update by name, as the plant's class
        gives them: ``a`` and ``b`` (FOPDT), ``a11``, ``a12``, ``a21``,
        ``a22``, ``b1`` and ``b2`` (SOPDT), ``b`` (integrating). Each is
        also an attribute.

    Attributes
    ----------
    kind, shape, dt, d, gain, coefficients
        As given (`gain` broadcast to the shape, `coefficients` a dict).

    Examples
    --------
    >>> from kovar.sim import Integrating
    >>> model = Integrating(2.0, delay=0.3).discretize(0.1)
    >>> model.kind, int(model.d), float(model.b), model.order
    ('integrating', 3, 0.2, 1)
    """

    def __init__(self, kind, shape, dt, d, *, gain=1.0, **coefficients):
        self.kind = kind
        self.shape = shape
        self.dt = dt
        self.d = d
        self.gain = np.broadcast_to(gain, shape)
        self.coefficients = coefficients

    def __getattr__(self, name):
        coefficients = self.__dict__.get("coefficients")
        if coefficients is not None and name in coefficients:
            return coefficients[name]
        raise AttributeError(f"'Discrete' object has no attribute '{name}'")

    @property
    def order(self):
        """The number of states per channel."""
        return 2 if self.kind == "sopdt" else 1

    def broadcast(self, shape):
        """The same model with every array broadcast to `shape`.

        Parameters
        ----------
        shape : tuple of int
            A shape the model's broadcasts to.

        Returns
        -------
        Discrete
            A model of that shape, its arrays read-only views of this one's.

        Raises
        ------
        ValueError
            Where the model's arrays do not broadcast to `shape`.
        """
        return Discrete(
            self.kind, shape, self.dt, np.broadcast_to(self.d, shape),
            gain=np.broadcast_to(self.gain, shape),
            **{n: np.broadcast_to(c, shape) for n, c in self.coefficients.items()},
        )

    def with_delays(self, d):
        """The same model with other dead times.

        Parameters
        ----------
        d : numpy.ndarray
            The dead times in whole samples (int64), broadcastable to the
            model's shape.

        Returns
        -------
        Discrete
            A model sharing this one's coefficients.
        """
        return Discrete(self.kind, self.shape, self.dt, d, gain=self.gain, **self.coefficients)

    def start(self, u0=0.0):
        """A :class:`~kovar.sim.stepping.Stepper` running this model from the
        steady state of the constant input `u0`.

        Parameters
        ----------
        u0 : float or array_like, optional
            The input before the first step, broadcastable to the model's
            shape (0, rest, by default). FOPDT and SOPDT plants start at
            their steady state ``gain*u0``, their dead time full of ``u0``;
            integrating plants (no steady state but at 0) start at output 0
            with ``u0`` in their dead time.

        Returns
        -------
        Stepper
            ``output()`` gives ``y[k]``, ``step(u)`` feeds ``u[k]`` and
            returns ``y[k + 1]``: ``y = s.output(); u = bank.update(r, y,
            dt); y = s.step(u)`` is one step of :func:`kovar.sim.simulate`,
            bit for bit.

        Raises
        ------
        ValueError
            Where `u0` is not finite or does not broadcast to the shape.
        TypeError
            Where `u0` is not real numbers.

        Examples
        --------
        >>> from kovar.sim import FOPDT
        >>> s = FOPDT(2.0, 1.0, delay=0.2).discretize(0.1).start(u0=0.5)
        >>> float(s.output()), float(s.step(1.0)), float(s.step(1.0))
        (1.0, 1.0, 1.0)
        """
        from kovar.sim.stepping import Stepper

        return Stepper(self, u0)

    def __repr__(self):
        return f"<Discrete {self.kind} model, shape {self.shape}, dt={self.dt!r}>"


# The name the base had before it was public.
_Plant = Plant
