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
    """PID control of independent channels on one-dimensional arrays.

    Every element of the gain arrays is an independent channel. The
    controller keeps the very arrays given (changing their elements changes
    later results) and starts with an integral and a previous error of
    zeros, shaped as `kp`.

    Parameters
    ----------
    kp, ki, kd : ndarray
        The proportional, integral and derivative gains: one-dimensional
        native-order float64 arrays (None is taken, and fails at the first
        call that needs it).

    Notes
    -----
    Pickling, ``copy.copy`` and ``copy.deepcopy`` keep the whole state:
    ``__reduce__`` gives the fields sorted by name (``integral``, ``kd``,
    ``ki``, ``kp``, ``previous_error``) and a layout checksum, which
    loading checks. One call runs at a time on a controller; another
    thread's call waits.
    """

    def __init__(self, kp: _Array, ki: _Array, kd: _Array) -> None: ...
    def compute_control(
        self, target_position: _Array, current_position: _Array, dt: _Real
    ) -> _Signal:
        """One step of every channel: ``kp*e + ki*integral + kd*derivative``.

        ``e = target_position - current_position``; the integral
        accumulates ``e*dt`` in place (so a state taken earlier sees it
        change); the derivative is ``(e - previous_error)/dt`` for
        ``dt > 0``, zeros otherwise; ``e`` becomes the previous error.

        Parameters
        ----------
        target_position, current_position : ndarray
            The setpoints and the measurements: one-dimensional float64 arrays,
            combined with the gains under NumPy broadcasting.
        dt : float
            The time step. Where it is not greater than 0 (zero, negative, NaN)
            nothing divides by it: the derivative is zeros.

        Returns
        -------
        ndarray
            The control signal, a new array.

        Raises
        ------
        ValueError
            For an array of another dtype or number of dimensions:
            ``Buffer dtype mismatch, expected 'float64_t' but got 'float'``,
            ``Buffer has wrong number of dimensions (expected 1, got 2)``.
        TypeError
            For an argument that is not a ``numpy.ndarray`` (nor None).
        """
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

@disjoint_base
class PIDControllerXd:
    """PID control of independent channels on two-dimensional arrays.

    Every element of the gain arrays is an independent channel. The
    controller keeps the very arrays given (changing their elements changes
    later results) and starts with an integral and a previous error of
    zeros, shaped as `kp`.
    It is :class:`PIDController` on two-dimensional arrays.

    Parameters
    ----------
    kp, ki, kd : ndarray
        The proportional, integral and derivative gains: two-dimensional
        native-order float64 arrays (None is taken, and fails at the first
        call that needs it).

    Notes
    -----
    Pickling, ``copy.copy`` and ``copy.deepcopy`` keep the whole state:
    ``__reduce__`` gives the fields sorted by name (``integral``, ``kd``,
    ``ki``, ``kp``, ``previous_error``) and a layout checksum, which
    loading checks. One call runs at a time on a controller; another
    thread's call waits.
    """

    def __init__(self, kp: _Array, ki: _Array, kd: _Array) -> None: ...
    def compute_control(
        self, target_position: _Array, current_position: _Array, dt: _Real
    ) -> _Signal:
        """One step of every channel: ``kp*e + ki*integral + kd*derivative``.

        ``e = target_position - current_position``; the integral
        accumulates ``e*dt`` in place (so a state taken earlier sees it
        change); the derivative is ``(e - previous_error)/dt`` for
        ``dt > 0``, zeros otherwise; ``e`` becomes the previous error.

        Parameters
        ----------
        target_position, current_position : ndarray
            The setpoints and the measurements: two-dimensional float64 arrays,
            combined with the gains under NumPy broadcasting.
        dt : float
            The time step. Where it is not greater than 0 (zero, negative, NaN)
            nothing divides by it: the derivative is zeros.

        Returns
        -------
        ndarray
            The control signal, a new array.

        Raises
        ------
        ValueError
            For an array of another dtype or number of dimensions:
            ``Buffer dtype mismatch, expected 'float64_t' but got 'float'``,
            ``Buffer has wrong number of dimensions (expected 2, got 1)``.
        TypeError
            For an argument that is not a ``numpy.ndarray`` (nor None).
        """
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

@disjoint_base
class AdaptiveController:
    """PID control whose proportional gains follow the recent errors.

    Every element of the gain arrays is an independent channel. The
    controller copies the gains, so the caller's arrays never change, and
    keeps the errors of its last ten calls (``error_history``, shape
    ``(10, n)``, zeros at first). Each call first adds
    ``clip(learning_rate * mean(history) * e, -max_adjustment,
    max_adjustment)`` to ``kp``, the history taken with the new error in
    it, then computes the signal as :class:`PIDController` does.

    Parameters
    ----------
    initial_kp, initial_ki, initial_kd : ndarray
        The initial gains: one-dimensional native-order float64 arrays,
        copied.
    learning_rate : float, default 0.01
        How fast ``kp`` follows the mean recent error times the error.
    max_adjustment : float, default 0.1
        The largest change of ``kp`` in one call, either way.

    Notes
    -----
    Pickling, ``copy.copy`` and ``copy.deepcopy`` keep the whole state:
    ``__reduce__`` gives the fields sorted by name (``error_history``,
    ``integral``, ``kd``, ``ki``, ``kp``, ``learning_rate``,
    ``max_adjustment``, ``previous_error``) and a layout checksum. One call
    runs at a time on a controller; another thread's call waits.
    """

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
    ) -> _Signal:
        """One step of every channel, after ``kp`` has adapted.

        ``e = target_position - current_position`` enters the error history
        (the oldest row drops out); ``kp`` moves by ``clip(learning_rate *
        mean(history, axis=0) * e, -max_adjustment, max_adjustment)``; the
        signal is then ``kp*e + ki*integral + kd*derivative`` as for
        :class:`PIDController`.

        Parameters
        ----------
        target_position, current_position : ndarray
            The setpoints and the measurements: one-dimensional float64 arrays,
            combined with the gains under NumPy broadcasting.
        dt : float
            The time step. Where it is not greater than 0 (zero, negative, NaN)
            nothing divides by it: the derivative is zeros.

        Returns
        -------
        ndarray
            The control signal, a new array.

        Raises
        ------
        ValueError
            For an array of another dtype or number of dimensions:
            ``Buffer dtype mismatch, expected 'float64_t' but got 'float'``,
            ``Buffer has wrong number of dimensions (expected 1, got 2)``.
        TypeError
            For an argument that is not a ``numpy.ndarray`` (nor None).
        """
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
