"""PID gains for a bank, as a mapping PIDBank's constructor takes."""

from collections.abc import Mapping

import numpy as np

from kovar import _values

NAMES = ("kp", "ki", "kd", "tf", "b", "c")
DEFAULTS = {"ki": 0.0, "kd": 0.0, "tf": 0.0, "b": 1.0, "c": 0.0}


class Gains(Mapping):
    """``kp, ki, kd, tf, b, c`` as float64 arrays of one shape, in the form
    of kovar.bank's law (parallel gains, derivative filter time constant
    ``tf``, setpoint weights ``b`` and ``c``), so that
    ``PIDBank(gains.shape, **gains)`` builds the bank they describe."""

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
        """A copy with some gains replaced (broadcast with the others)."""
        unknown = set(changes) - set(NAMES)
        if unknown:
            raise TypeError(f"Gains has no parameter '{sorted(unknown)[0]}'")
        return Gains(**{**self._values, **changes})

    def reshape(self, *shape):
        """Every gain reshaped."""
        return Gains(**{n: v.reshape(*shape) for n, v in self._values.items()})

    def __getstate__(self):
        return self._values

    def __setstate__(self, state):
        self.__init__(**state)

    def __eq__(self, other):
        if not isinstance(other, Gains):
            return NotImplemented
        return all(np.array_equal(self[n], other[n]) for n in NAMES)

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
