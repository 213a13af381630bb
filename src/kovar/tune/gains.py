"""PID gains for a bank, as a mapping PIDBank's constructor takes."""

from collections.abc import Mapping

import numpy as np

from kovar import _values

NAMES = ("kp", "ki", "kd", "tf", "b", "c")


class Gains(Mapping):
    """The gains of a bank of PID controllers, in the form of kovar.bank's
    law: ``u = kp*(b*r - y) + ki*integral(r - y) + D``, the derivative
    ``D = kd*s/(tf*s + 1)*(c*r - y)``.

    A read-only mapping of the six names, in the order ``kp, ki, kd, tf, b,
    c``, to float64 arrays of one shape (each also an attribute), so that
    ``PIDBank(gains.shape, **gains)`` builds the bank they describe. Gains
    compare equal when every array is equal, and pickle.

    Parameters
    ----------
    kp : float or array_like
        The proportional gain.
    ki, kd : float or array_like, optional
        The integral and derivative gains (0 by default).
    tf : float or array_like, optional
        The derivative filter's time constant, non-negative (0 by default:
        no filter).
    b, c : float or array_like, optional
        The setpoint weights of the proportional (1 by default) and the
        derivative term (0 by default).

    Raises
    ------
    ValueError
        Naming the gain and the index of its first bad element, where a
        value is not finite (or `tf` is negative), or naming two gains
        whose shapes do not broadcast together.
    TypeError
        Where a gain is not real numbers.

    Examples
    --------
    >>> from kovar.bank import PIDBank
    >>> from kovar.tune import Gains
    >>> gains = Gains(kp=[1.0, 2.0], ki=0.5)
    >>> gains.shape, gains.kp.tolist(), gains["ki"].tolist()
    ((2,), [1.0, 2.0], [0.5, 0.5])
    >>> bank = PIDBank(gains.shape, **gains)
    """

    def __init__(self, kp, ki=0.0, kd=0.0, tf=0.0, b=1.0, c=0.0):
        # What PIDBank refuses for each, in its words.
        checked = [(name, (_values.finite_non_negative if name == "tf" else _values.finite)(name, value))
                   for name, value in zip(NAMES, (kp, ki, kd, tf, b, c))]
        shape = _values.common_shape(checked)
        self._values = {}
        for name, array in checked:
            array = np.broadcast_to(array, shape).copy()
            array.flags.writeable = False
            self._values[name] = array
        self._shape = shape

    @classmethod
    def _with_nan(cls, **values):
        """Gains in which NaN marks a channel with none (a relay experiment
        that did not finish); every other value checked as the constructor
        checks it."""
        arrays = {n: _values.real_array(n, v) for n, v in values.items()}
        gains = cls(**{n: np.where(np.isnan(a), 0.0, a) for n, a in arrays.items()})
        for name, array in arrays.items():
            missing = np.broadcast_to(np.isnan(array), gains.shape)
            if missing.any():
                kept = gains._values[name].copy()
                kept[missing] = np.nan
                kept.flags.writeable = False
                gains._values[name] = kept
        return gains

    @property
    def shape(self):
        """The shape of every gain array."""
        return self._shape

    def __getitem__(self, name):
        return self._values[name]

    def __iter__(self):
        return iter(NAMES)

    def __len__(self):
        return len(NAMES)

    def __getattr__(self, name):
        values = self.__dict__.get("_values")
        if values is not None and name in values:
            return values[name]
        raise AttributeError(f"'Gains' object has no attribute '{name}'")

    def replace(self, **changes):
        """A copy with some gains replaced.

        Parameters
        ----------
        **changes : float or array_like
            New values by name, broadcast with the others (which may make
            the shape larger).

        Returns
        -------
        Gains

        Raises
        ------
        TypeError
            Where a name is not one of the six gains, or a value is not
            real numbers.
        ValueError
            As the constructor.

        Examples
        --------
        >>> from kovar.tune import Gains
        >>> Gains(kp=2.0, ki=0.5).replace(kd=0.1, tf=0.01)
        Gains(kp=2.0, ki=0.5, kd=0.1, tf=0.01, b=1.0, c=0.0)
        """
        unknown = set(changes) - set(NAMES)
        if unknown:
            raise TypeError(f"Gains has no parameter '{sorted(unknown)[0]}'")
        return Gains(**{**self._values, **changes})

    def reshape(self, *shape):
        """Every gain reshaped, as ``numpy.ndarray.reshape`` takes the shape.

        Parameters
        ----------
        *shape : int or tuple of int
            The new shape, of the same size (one dimension may be -1).

        Returns
        -------
        Gains

        Raises
        ------
        ValueError
            Where the size differs.

        Examples
        --------
        >>> from kovar.tune import Gains
        >>> Gains(kp=[1.0, 2.0, 3.0, 4.0]).reshape(2, 2).shape
        (2, 2)
        """
        return Gains(**{n: v.reshape(*shape) for n, v in self._values.items()})

    def to_control(self, dt=None):
        """The controllers as python-control transfer functions, as the
        measurement sees them: ``u = -C*y`` plus the setpoint's terms, which
        the weights ``b`` and ``c`` shape and the feedback path does not see.

        Continuous, ``C(s) = kp + ki/s + kd*s/(tf*s + 1)`` (as
        :func:`kovar.tune.robustness` takes it; improper where ``tf = 0`` and
        ``kd != 0``). With `dt`, what kovar.bank's law computes with
        ``h = dt``: the integral by forward Euler (this step's error enters
        the next step's output), the filtered derivative by backward Euler,
        ``C(z) = kp + ki*h/(z - 1) + kd*(z - 1)/((tf + h)*z - tf)``. Without
        ``ki`` the pole at ``s = 0`` (``z = 1``) is left out rather than
        cancelled by a zero. Reverse-acting gains (negative) give ``C``
        negative: the sign stays in the controller. Limits, rate limit,
        deadband, anti-windup and the first step's ``D = 0`` are outside the
        linear model.

        Parameters
        ----------
        dt : float, optional
            The sample time of the bank's updates; None (the default) for
            the continuous controller.

        Returns
        -------
        control.TransferFunction or numpy.ndarray
            One transfer function for gains of shape ``()``, otherwise an
            object array of their shape holding one per channel (channels
            do not couple, so not a MIMO system).

        Raises
        ------
        ImportError
            Where python-control is not installed.
        ValueError
            Where `dt` is not a positive finite number.
        TypeError
            Where `dt` is not a real number.

        Examples
        --------
        >>> from kovar.tune import Gains
        >>> Gains(kp=2.0, ki=0.5).to_control()  # doctest: +SKIP
        TransferFunction(array([2. , 0.5]), array([1., 0.]))
        """
        from kovar.sim import interop

        control = interop.import_control()
        if dt is not None:
            dt = _values.positive_scalar("dt", dt)

        def make(i):
            kp, ki, kd, tf = (float(self._values[n][i]) for n in ("kp", "ki", "kd", "tf"))
            if dt is None:
                # kp + kd*s/(tf*s + 1), then + ki/s over s*(tf*s + 1)
                num, den = [kp * tf + kd, kp], [tf, 1.0]
                if ki != 0.0:
                    num, den = [kp * tf + kd, kp + ki * tf, ki], [tf, 1.0, 0.0]
                return control.tf(num, den)
            q = tf + dt
            # kp + kd*(z - 1)/(q*z - tf), then + ki*h/(z - 1) over (z - 1)*(q*z - tf)
            num, den = [kp * q + kd, -(kp * tf + kd)], [q, -tf]
            if ki != 0.0:
                num = [kp * q + kd, -kp * (tf + q) + ki * dt * q - 2.0 * kd, kp * tf - ki * dt * tf + kd]
                den = [q, -(q + tf), tf]
            return control.tf(num, den, dt)

        return interop.per_channel(self._shape, make)

    def __getstate__(self):
        return self._values

    def __setstate__(self, state):
        self.__dict__.update(Gains._with_nan(**state).__dict__)

    def __eq__(self, other):
        if not isinstance(other, Gains):
            return NotImplemented
        return all(np.array_equal(self[n], other[n], equal_nan=True) for n in NAMES)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self):
        inner = ", ".join(f"{n}={_short(v)}" for n, v in self._values.items())
        return f"Gains({inner})"


def _short(array):
    if array.ndim == 0:
        return repr(float(array))
    if array.size and np.all(array == array.flat[0]):
        return f"{float(array.flat[0])!r} (all of {array.shape})"
    return f"<array {array.shape}>"
