"""Banks of element-wise PID controllers on NumPy float64 arrays."""

from typing import Any

import numpy
import numpy.typing
from typing_extensions import disjoint_base

# An argument in the place of an array: a float64 array (or a subclass of
# ndarray), or None, which fails at the first operation that needs it.
# Typed as any floating array because NumPy's stubs give several of its
# float64 results (np.linspace, arithmetic) only as floating[Any]; the
# dtype itself is checked at run time.
_Array = numpy.typing.NDArray[numpy.floating[Any]] | None
_Signal = numpy.typing.NDArray[numpy.float64]
# A real number: Python's float (int too) or any NumPy floating scalar.
_Real = float | numpy.floating[Any]

@disjoint_base
class PIDController:
    """PID control of independent channels on one-dimensional arrays."""

    def __init__(self, kp: _Array, ki: _Array, kd: _Array) -> None: ...
    def compute_control(
        self, target_position: _Array, current_position: _Array, dt: _Real
    ) -> _Signal: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

@disjoint_base
class PIDControllerXd:
    """PID control of independent channels on two-dimensional arrays."""

    def __init__(self, kp: _Array, ki: _Array, kd: _Array) -> None: ...
    def compute_control(
        self, target_position: _Array, current_position: _Array, dt: _Real
    ) -> _Signal: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

@disjoint_base
class AdaptiveController:
    """PID control whose proportional gains follow the recent errors."""

    def __init__(
        self,
        initial_kp: _Array,
        initial_ki: _Array,
        initial_kd: _Array,
        learning_rate: _Real = 0.01,
        max_adjustment: _Real = 0.1,
    ) -> None: ...
    def compute_control(
        self, target_position: _Array, current_position: _Array, dt: _Real
    ) -> _Signal: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

# Rebuild pickled controllers: the class, its layout checksum and the state.
def __pyx_unpickle_PIDController(
    __pyx_type: type[PIDController], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> PIDController: ...
def __pyx_unpickle_PIDControllerXd(
    __pyx_type: type[PIDControllerXd], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> PIDControllerXd: ...
def __pyx_unpickle_AdaptiveController(
    __pyx_type: type[AdaptiveController], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> AdaptiveController: ...
