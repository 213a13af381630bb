"""Types the stubs of kovar's modules share (no module at run time)."""

from collections.abc import Sequence
from typing import Any, Protocol

import numpy

class _SupportsArray(Protocol):
    def __array__(self) -> numpy.ndarray[Any, numpy.dtype[Any]]: ...

# Where a real number or an array of them is accepted: Python and NumPy
# numbers, anything NumPy makes an array of (arrays, pandas objects), and
# nested sequences of numbers. NumPy's ArrayLike would admit str and bytes,
# which every kovar function refuses.
_Number = float | numpy.integer[Any] | numpy.floating[Any] | numpy.bool_
Values = (
    _Number
    | _SupportsArray
    | Sequence[_Number]
    | Sequence[Sequence[_Number]]
    | Sequence[Sequence[Sequence[_Number]]]
    | Sequence[_SupportsArray]
)
