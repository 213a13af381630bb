"""Banks of linear plants with dead time, and their exact zero-order-hold
discretisation.

Every parameter is a real scalar or an array; the bank's shape is their
broadcast shape. A plant starts at rest: state 0, input 0 before the first
step. Its dead time becomes ``d = floor(delay/dt + 0.5)`` whole samples.
"""

from collections.abc import Callable
from typing import Any

import numpy as np

from kovar import _values
from kovar.sim.expm import expm


# Dead times of more samples than this are longer than any run: they are held
# at it, where delay/dt would overflow the integer (or the float) instead.
MAX_DELAY_SAMPLES = 2**62


def delay_samples(delay, dt):
    """Dead times in whole samples, rounded half up: floor(delay/dt + 0.5)."""
    with np.errstate(over="ignore"):
        samples = np.floor(delay / dt + 0.5)
    return np.minimum(samples, MAX_DELAY_SAMPLES).astype(np.int64)


def _read_only(array, shape):
    array = np.broadcast_to(array, shape).copy()
    array.flags.writeable = False
    return array


class _Plant:
    """What the three plant banks share: parameters checked, broadcast and
    kept as read-only arrays of the bank's shape."""

    _rules: tuple[tuple[str, Callable[[str, Any], np.ndarray]], ...] = ()  # (name, check) in the constructor's order

    def __init__(self, *values):
        checked = [(name, rule(name, value)) for (name, rule), value in zip(self._rules, values)]
        self._shape = _values.common_shape(checked)
        self._params = {name: _read_only(array, self._shape) for name, array in checked}

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
        """The parameters by name, as read-only arrays of the bank's shape."""
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
        """The bank's exact zero-order-hold model for sample time `dt`."""
        dt = _values.positive_scalar("dt", dt)
        return self._discretize(dt)


def _short(array):
    if array.size and np.all(array == array.flat[0]):
        return repr(float(array.flat[0]))
    return f"<array {array.shape}>"


class FOPDT(_Plant):
    """First order plus dead time, gain*exp(-delay*s)/(tau*s + 1).

    Discretised as ``x[k+1] = a*x[k] + ((1 - a)*gain)*w[k]``,
    ``a = numpy.exp(-dt/tau)``, ``y[k] = x[k]``, ``w[k] = u[k - d]``.
    (NumPy's exp gives the same bits for an element wherever it sits in
    an array, but not always the C library's: a native loop takes ``a``
    from here rather than computing it.)
    """

    _rules = (("gain", _values.finite), ("tau", _values.positive), ("delay", _values.non_negative))

    def __init__(self, gain, tau, delay=0.0):
        super().__init__(gain, tau, delay)

    @property
    def tau(self):
        """The time constant of every plant."""
        return self._params["tau"]

    def _discretize(self, dt):
        a = np.exp(-dt / self.tau)
        return Discrete(
            "fopdt", self._shape, dt, delay_samples(self.delay, dt),
            a=a, b=(1.0 - a) * self.gain,
        )


class SOPDT(_Plant):
    """Second order plus dead time, gain*exp(-delay*s)/((tau1*s + 1)*(tau2*s + 1)).

    States x1 (the lag tau1, driven by w) and x2 (the output); the pair is
    discretised as a whole from the exponential of the augmented matrix
    ``[[A, B], [0, 0]]*dt``, ``A = [[-1/tau1, 0], [1/tau2, -1/tau2]]``,
    ``B = [gain/tau1, 0]``: ``x[k+1] = Ad x[k] + Bd w[k]``, ``y[k] = x2[k]``.
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

    def _discretize(self, dt):
        m = np.zeros((*self._shape, 3, 3))
        m[..., 0, 0] = -1.0 / self.tau1
        m[..., 1, 0] = 1.0 / self.tau2
        m[..., 1, 1] = -1.0 / self.tau2
        m[..., 0, 2] = self.gain / self.tau1
        e = expm(m * dt)
        return Discrete(
            "sopdt", self._shape, dt, delay_samples(self.delay, dt),
            a11=e[..., 0, 0].copy(), a12=e[..., 0, 1].copy(),
            a21=e[..., 1, 0].copy(), a22=e[..., 1, 1].copy(),
            b1=e[..., 0, 2].copy(), b2=e[..., 1, 2].copy(),
        )


class Integrating(_Plant):
    """Integrator plus dead time, gain*exp(-delay*s)/s.

    Discretised as ``x[k+1] = x[k] + (gain*dt)*w[k]``, ``y[k] = x[k]``.
    """

    _rules = (("gain", _values.finite), ("delay", _values.non_negative))

    def __init__(self, gain, delay=0.0):
        super().__init__(gain, delay)

    def _discretize(self, dt):
        return Discrete("integrating", self._shape, dt, delay_samples(self.delay, dt), b=self.gain * dt)


class Discrete:
    """A plant bank's zero-order-hold model for one sample time: its kind
    ("fopdt", "sopdt" or "integrating"), shape, ``dt``, dead times ``d`` in
    samples, and the coefficients of its state update (arrays of the
    shape, by name)."""

    def __init__(self, kind, shape, dt, d, **coefficients):
        self.kind = kind
        self.shape = shape
        self.dt = dt
        self.d = d
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
        """The same model with every array broadcast to `shape`."""
        return Discrete(
            self.kind, shape, self.dt, np.broadcast_to(self.d, shape),
            **{n: np.broadcast_to(c, shape) for n, c in self.coefficients.items()},
        )

    def __repr__(self):
        return f"<Discrete {self.kind} model, shape {self.shape}, dt={self.dt!r}>"
