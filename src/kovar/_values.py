"""Checks of the numbers the Python-side modules (kovar.sim, kovar.tune)
accept, with the messages they refuse them with, in the wording kovar.bank
uses for its parameters."""

import operator

import numpy as np


def _describe(index):
    return f" (index {index})" if index is not None else ""


def real_array(name, value):
    """`value` as a float64 array (0-d for a scalar); TypeError for anything
    that is not real numbers (strings, complex, objects, None)."""
    if isinstance(value, (str, bytes)) or value is None:
        raise TypeError(f"{name} must be a real number or array, not {type(value).__name__}")
    try:
        raw = np.asarray(value)
    except Exception:
        raise TypeError(f"{name} must be a real number or array, not {type(value).__name__}") from None
    if raw.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be a real number or array, not {type(value).__name__}")
    return raw.astype(np.float64)


def _first_bad(name, array, bad, requirement):
    if not bad.any():
        return
    flat = int(np.flatnonzero(bad)[0])
    index = np.unravel_index(flat, array.shape) if array.ndim else None
    where = tuple(int(i) for i in index) if index is not None else None
    raise ValueError(f"{name} must be {requirement}, not {float(array.flat[flat])!r}{_describe(where)}")


def finite(name, value):
    """A real array whose every element is finite."""
    array = real_array(name, value)
    _first_bad(name, array, ~np.isfinite(array), "finite")
    return array


def positive(name, value):
    """A real array whose every element is finite and greater than zero."""
    array = finite(name, value)
    _first_bad(name, array, ~(array > 0.0), "positive")
    return array


def non_negative(name, value):
    """A real array whose every element is finite and not negative."""
    array = finite(name, value)
    _first_bad(name, array, array < 0.0, "non-negative")
    return array


def finite_non_negative(name, value):
    """A real array whose every element is finite and not negative, refused
    in one message as PIDBank refuses its tf."""
    array = real_array(name, value)
    with np.errstate(invalid="ignore"):
        bad = ~(np.isfinite(array) & (array >= 0.0))
    _first_bad(name, array, bad, "finite and non-negative")
    return array


def positive_scalar(name, value):
    """A positive finite real number, as a float."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    number = float(value)
    if not (np.isfinite(number) and number > 0.0):
        raise ValueError(f"{name} must be a positive finite number, not {number!r}")
    return number


def finite_scalar(name, value):
    """A finite real number, as a float."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    number = float(value)
    if not np.isfinite(number):
        raise ValueError(f"{name} must be finite, not {number!r}")
    return number


def count(name, value, minimum=1):
    """An integer of at least `minimum`."""
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if number < minimum:
        raise ValueError(f"{name} must be at least {minimum}, not {number}")
    return number


def common_shape(named):
    """The broadcast shape of the named arrays; ValueError naming the first
    two that do not broadcast together."""
    shape = ()
    seen = []
    for name, array in named:
        try:
            shape = np.broadcast_shapes(shape, array.shape)
        except ValueError:
            other = next((n for n, a in seen if not _broadcasts(a.shape, array.shape)), None)
            if other is None:
                raise ValueError(
                    f"{name} has shape {array.shape}, which does not broadcast to the shape "
                    f"{shape} of the parameters before it"
                ) from None
            raise ValueError(
                f"{other} has shape {dict(seen)[other].shape} and {name} has shape "
                f"{array.shape}, which do not broadcast together"
            ) from None
        seen.append((name, array))
    return shape


def _broadcasts(a, b):
    try:
        np.broadcast_shapes(a, b)
    except ValueError:
        return False
    return True


def to_shape(name, array, shape, whose="the bank's shape"):
    """`array` broadcast to `shape` (a read-only view)."""
    try:
        return np.broadcast_to(array, shape)
    except ValueError:
        raise ValueError(f"{name} has shape {array.shape}, which does not broadcast to {whose} {shape}") from None
