"""Closed-loop simulation of PID banks against banks of plants."""

from typing import Any, Generic, Literal, TypeVar, overload

import numpy
import numpy.typing

from kovar.bank import PIDBank

from kovar._typing import Values as _Values

_Floats = numpy.typing.NDArray[numpy.float64]
_Ints = numpy.typing.NDArray[numpy.int64]
_P = TypeVar("_P", bound="Plant")
# python-control ships no types: its systems, and object arrays of them for a bank.
_ControlSystem = Any

class Plant:
    def __init__(self, *values: _Values) -> None: ...
    @property
    def shape(self) -> tuple[int, ...]: ...
    @property
    def gain(self) -> _Floats: ...
    @property
    def delay(self) -> _Floats: ...
    def params(self) -> dict[str, _Floats]: ...
    def discretize(self, dt: float) -> Discrete: ...
    def frequency_response(self, w: _Values) -> numpy.typing.NDArray[numpy.complex128]: ...
    def half_rule(self) -> Plant: ...
    def response(self, u: _Values, dt: float, u0: _Values = 0.0) -> _Floats: ...
    def to_control(self, dt: float | None = None, pade: int = 5) -> _ControlSystem: ...
    @classmethod
    def from_control(cls: type[_P], sys: _ControlSystem, delay: _Values = 0.0) -> _P: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __eq__(self, other: object) -> bool: ...

class FOPDT(Plant):
    def __init__(self, gain: _Values, tau: _Values, delay: _Values = 0.0) -> None: ...
    @property
    def tau(self) -> _Floats: ...
    def half_rule(self) -> FOPDT: ...

class SOPDT(Plant):
    def __init__(self, gain: _Values, tau1: _Values, tau2: _Values, delay: _Values = 0.0) -> None: ...
    @property
    def tau1(self) -> _Floats: ...
    @property
    def tau2(self) -> _Floats: ...
    def half_rule(self) -> FOPDT: ...

class Integrating(Plant):
    def __init__(self, gain: _Values, delay: _Values = 0.0) -> None: ...
    def half_rule(self) -> Integrating: ...

class Discrete:
    kind: str
    shape: tuple[int, ...]
    dt: float
    d: _Ints
    gain: _Floats
    coefficients: dict[str, _Floats]
    def __init__(
        self, kind: str, shape: tuple[int, ...], dt: float, d: _Ints, *, gain: _Values = 1.0,
        **coefficients: _Floats,
    ) -> None: ...
    @property
    def order(self) -> int: ...
    def broadcast(self, shape: tuple[int, ...]) -> Discrete: ...
    def with_delays(self, d: _Ints) -> Discrete: ...
    def start(self, u0: _Values = 0.0) -> Stepper: ...
    def __getattr__(self, name: str) -> _Floats: ...

class Stepper:
    """A discretised plant bank run one sample at a time: ``output()`` is
    ``y[k]``; ``step(u)`` feeds ``u[k]`` into the dead time and returns
    ``y[k + 1]``. Made by ``Discrete.start(u0)``, from the steady state of
    the input ``u0``."""

    model: Discrete
    shape: tuple[int, ...]
    def __init__(self, model: Discrete, u0: _Values = 0.0) -> None: ...
    def output(self) -> _Floats: ...
    def step(self, u: _Values) -> _Floats: ...

def step_test(
    plant: FOPDT | SOPDT | Integrating,
    dt: float,
    steps: int,
    amplitude: _Values = 1.0,
    u0: _Values = 0.0,
    step_time: float | None = None,
) -> tuple[_Floats, _Floats, _Floats]: ...

# y and u: arrays in a recorded run, None in one that kept the measures only.
_Recorded = TypeVar("_Recorded", _Floats, None)

class Result(Generic[_Recorded]):
    t: _Floats
    r: _Floats
    y: _Recorded
    u: _Recorded
    iae: _Floats
    ise: _Floats
    itae: _Floats
    overshoot: _Floats
    settling_time: _Floats
    rise_time: _Floats
    peak_u: _Floats
    u_variation: _Floats
    def __init__(
        self, t: _Floats, r: _Floats, y: _Recorded, u: _Recorded, metrics: dict[str, _Floats]
    ) -> None: ...
    @property
    def shape(self) -> tuple[int, ...]: ...
    @property
    def metrics(self) -> dict[str, _Floats]: ...
    def plot(self, channels: numpy.typing.ArrayLike | None = None, ax: Any = None) -> tuple[Any, Any]: ...

@overload
def simulate(
    bank: PIDBank,
    plant: FOPDT | SOPDT | Integrating,
    *,
    dt: float,
    steps: int,
    setpoint: _Values = 1.0,
    load: _Values = 0.0,
    load_step: int | None = None,
    load_time: float | None = None,
    feedforward: _Values | None = None,
    track: _Values | None = None,
    initial_input: _Values | None = None,
    noise: _Values = 0.0,
    seed: Any = None,
    record: Literal[True] = True,
    progress: bool = False,
) -> Result[_Floats]: ...
@overload
def simulate(
    bank: PIDBank,
    plant: FOPDT | SOPDT | Integrating,
    *,
    dt: float,
    steps: int,
    setpoint: _Values = 1.0,
    load: _Values = 0.0,
    load_step: int | None = None,
    load_time: float | None = None,
    feedforward: _Values | None = None,
    track: _Values | None = None,
    initial_input: _Values | None = None,
    noise: _Values = 0.0,
    seed: Any = None,
    record: Literal[False],
    progress: bool = False,
) -> Result[None]: ...
@overload
def simulate(
    bank: PIDBank,
    plant: FOPDT | SOPDT | Integrating,
    *,
    dt: float,
    steps: int,
    setpoint: _Values = 1.0,
    load: _Values = 0.0,
    load_step: int | None = None,
    load_time: float | None = None,
    feedforward: _Values | None = None,
    track: _Values | None = None,
    initial_input: _Values | None = None,
    noise: _Values = 0.0,
    seed: Any = None,
    record: bool,
    progress: bool = False,
) -> Result[_Floats] | Result[None]: ...
def plant_from_control(sys: _ControlSystem, delay: _Values = 0.0) -> FOPDT | SOPDT | Integrating: ...
def response_metrics(
    dt: float, r: numpy.typing.ArrayLike, y: numpy.typing.ArrayLike, u: numpy.typing.ArrayLike
) -> dict[str, _Floats]: ...

__all__ = ["Plant", "FOPDT", "SOPDT", "Integrating", "Discrete", "Result", "simulate", "response_metrics", "plant_from_control",
           "Stepper", "step_test"]
