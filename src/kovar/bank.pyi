"""Banks of PID controllers with output limits, anti-windup, a filtered
derivative, setpoint weights, a deadband, feed-forward, an output rate limit,
external tracking and bumpless manual/automatic modes and parameter changes,
one independent channel per array element."""

from collections.abc import Sequence
from typing import Any, Literal, SupportsIndex, final

import numpy
import numpy.typing

from kovar._typing import Values as _Values
from kovar.tune import RelayResult

# A channel mask: None selects every channel.
_Where = numpy.typing.ArrayLike | None
_Floats = numpy.typing.NDArray[numpy.float64]
# An output array: float64 at run time, typed as any floating array because
# NumPy's stubs give some float64 results only as floating[Any].
_Out = numpy.typing.NDArray[numpy.floating[Any]]
# A real number: Python's float (int too) or any NumPy floating scalar.
_Real = float | numpy.floating[Any]
_Bools = numpy.typing.NDArray[numpy.bool_]
# A parameter as read: a float when it is the same for every channel,
# otherwise a read-only array of the bank's shape.
_Param = float | _Floats
_AntiWindup = Literal["back_calculation", "conditional", "none"]
_OnNan = Literal["nan", "hold"]

@final
class PIDBank:
    """A bank of independent PID controllers, one per element of `shape`."""

    def __init__(
        self,
        shape: SupportsIndex | Sequence[SupportsIndex],
        *,
        kp: _Values,
        ki: _Values = 0.0,
        kd: _Values = 0.0,
        b: _Values = 1.0,
        c: _Values = 0.0,
        tf: _Values = 0.0,
        u_min: _Values = ...,
        u_max: _Values = ...,
        i_min: _Values = ...,
        i_max: _Values = ...,
        deadband: _Values = 0.0,
        anti_windup: _AntiWindup = "back_calculation",
        tt: _Values | None = None,
        rate_limit: _Values = ...,
        on_nan: _OnNan = "nan",
        keep_terms: bool = False,
    ) -> None: ...
    def update(
        self,
        setpoint: _Values,
        measurement: _Values,
        dt: _Real,
        *,
        feedforward: _Values | None = None,
        track: _Values | None = None,
        out: _Out | None = None,
    ) -> _Floats: ...
    def set_manual(self, value: _Values | None = None, where: _Where = None) -> None: ...
    def set_integral(self, value: _Values, where: _Where = None) -> None: ...
    def set_params(
        self,
        where: _Where = None,
        *,
        kp: _Values = ...,
        ki: _Values = ...,
        kd: _Values = ...,
        b: _Values = ...,
        c: _Values = ...,
        tf: _Values = ...,
        u_min: _Values = ...,
        u_max: _Values = ...,
        i_min: _Values = ...,
        i_max: _Values = ...,
        deadband: _Values = ...,
        tt: _Values | None = ...,
        rate_limit: _Values = ...,
    ) -> None: ...
    def set_auto(self, where: _Where = None) -> None: ...
    def reset(self, where: _Where = None) -> None: ...
    def start_relay(
        self,
        amplitude: _Values,
        *,
        asymmetry: _Values = 1.0,
        hysteresis: _Values | None = None,
        bias: _Values | None = None,
        where: _Where = None,
        cycles: _Values = 4,
        max_time: _Values | None = None,
    ) -> None: ...
    def stop_relay(self, where: _Where = None) -> None: ...
    def relay_result(self) -> RelayResult: ...
    @property
    def relay_running(self) -> int: ...
    @property
    def kp(self) -> _Param: ...
    @kp.setter
    def kp(self, value: _Values) -> None: ...
    @property
    def ki(self) -> _Param: ...
    @ki.setter
    def ki(self, value: _Values) -> None: ...
    @property
    def kd(self) -> _Param: ...
    @kd.setter
    def kd(self, value: _Values) -> None: ...
    @property
    def b(self) -> _Param: ...
    @b.setter
    def b(self, value: _Values) -> None: ...
    @property
    def c(self) -> _Param: ...
    @c.setter
    def c(self, value: _Values) -> None: ...
    @property
    def tf(self) -> _Param: ...
    @tf.setter
    def tf(self, value: _Values) -> None: ...
    @property
    def u_min(self) -> _Param: ...
    @u_min.setter
    def u_min(self, value: _Values) -> None: ...
    @property
    def u_max(self) -> _Param: ...
    @u_max.setter
    def u_max(self, value: _Values) -> None: ...
    @property
    def i_min(self) -> _Param: ...
    @i_min.setter
    def i_min(self, value: _Values) -> None: ...
    @property
    def i_max(self) -> _Param: ...
    @i_max.setter
    def i_max(self, value: _Values) -> None: ...
    @property
    def deadband(self) -> _Param: ...
    @deadband.setter
    def deadband(self, value: _Values) -> None: ...
    @property
    def tt(self) -> _Param | None: ...
    @tt.setter
    def tt(self, value: _Values | None) -> None: ...
    @property
    def rate_limit(self) -> _Param: ...
    @rate_limit.setter
    def rate_limit(self, value: _Values) -> None: ...
    @property
    def anti_windup(self) -> _AntiWindup: ...
    @anti_windup.setter
    def anti_windup(self, value: _AntiWindup) -> None: ...
    @property
    def on_nan(self) -> _OnNan: ...
    @property
    def shape(self) -> tuple[int, ...]: ...
    @property
    def integral(self) -> _Floats: ...
    @property
    def derivative(self) -> _Floats: ...
    @property
    def output(self) -> _Floats: ...
    @property
    def manual(self) -> _Bools: ...
    @property
    def terms(self) -> tuple[_Floats, _Floats, _Floats, _Floats]:
        """(p, i, d, ff) of each channel's last automatic call with finite
        inputs; raises AttributeError unless the bank keeps its terms."""
    @property
    def keep_terms(self) -> bool: ...
    @keep_terms.setter
    def keep_terms(self, value: bool) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: dict[str, Any], /) -> None: ...
