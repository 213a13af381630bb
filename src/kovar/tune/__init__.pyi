"""Tuning of PID banks: identification, tuning rules, robustness, search."""

from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any, Literal, TypedDict

import numpy
import numpy.typing

from kovar.bank import PIDBank
from kovar.sim import FOPDT, SOPDT, Integrating, Result

from kovar._typing import Values as _Values

_Floats = numpy.typing.NDArray[numpy.float64]
_Ints = numpy.typing.NDArray[numpy.int64]
_Bools = numpy.typing.NDArray[numpy.bool_]
_Model = FOPDT | SOPDT | Integrating
_GainName = Literal["kp", "ki", "kd", "tf", "b", "c"]

class Gains(Mapping[str, _Floats]):
    def __init__(
        self, kp: _Values, ki: _Values = 0.0, kd: _Values = 0.0, tf: _Values = 0.0, b: _Values = 1.0, c: _Values = 0.0
    ) -> None: ...
    @property
    def shape(self) -> tuple[int, ...]: ...
    def __getitem__(self, name: str) -> _Floats: ...
    def __iter__(self) -> Iterator[str]: ...
    def __len__(self) -> int: ...
    def __getattr__(self, name: str) -> _Floats: ...
    def replace(self, **changes: _Values) -> Gains: ...
    def reshape(self, *shape: int) -> Gains: ...
    # A python-control TransferFunction, or an object array of them (untyped).
    def to_control(self, dt: float | None = None) -> Any: ...
    def __getstate__(self) -> dict[str, _Floats]: ...
    def __setstate__(self, state: dict[str, _Floats]) -> None: ...
    def __eq__(self, other: object) -> bool: ...

class SearchResult:
    gains: Gains
    index: _Ints
    score: _Floats
    ms: _Floats
    metrics: dict[str, _Floats]
    candidates: int
    def __init__(
        self, gains: Gains, index: _Ints, score: _Floats, ms: _Floats, metrics: dict[str, _Floats], count: int
    ) -> None: ...

# Times: numbers, datetimes or durations (a pandas DatetimeIndex among them);
# None takes them from y's index (a pandas Series or DataFrame).
_Times = numpy.typing.ArrayLike | None
_ModelName = Literal["fopdt", "sopdt", "integrating"]

def identify_fopdt(
    t: _Times, u: numpy.typing.ArrayLike, y: numpy.typing.ArrayLike, *, iterations: int = 60
) -> tuple[FOPDT, _Floats]: ...
def identify_sopdt(
    t: _Times, u: numpy.typing.ArrayLike, y: numpy.typing.ArrayLike, *, iterations: int = 60
) -> tuple[SOPDT, _Floats]: ...
def identify_integrating(
    t: _Times, u: numpy.typing.ArrayLike, y: numpy.typing.ArrayLike, *, iterations: int = 60
) -> tuple[Integrating, _Floats]: ...
def identify(
    t: _Times,
    u: numpy.typing.ArrayLike,
    y: numpy.typing.ArrayLike,
    *,
    models: _ModelName | Sequence[_ModelName] = ("fopdt", "sopdt", "integrating"),
    iterations: int = 60,
) -> tuple[_Model, _Floats]: ...
def simc(model: _Model, tc: _Values | None = None, *, n: float = 10.0) -> Gains: ...
def amigo(model: _Model, kind: Literal["pi", "pid"] = "pi", *, n: float = 10.0) -> Gains: ...
def lambda_tuning(model: _Model, lam: _Values, *, n: float = 10.0) -> Gains: ...
def ziegler_nichols(ku: _Values, tu: _Values, kind: Literal["p", "pi", "pid"] = "pid", *, n: float = 10.0) -> Gains: ...
def half_rule(model: SOPDT) -> FOPDT: ...

_Strings = numpy.typing.NDArray[numpy.str_]

class RelayResult:
    state: _Strings
    reason: _Strings
    ku: _Floats
    tu: _Floats
    model: FOPDT
    t_on: _Floats
    t_off: _Floats
    amplitude: _Floats
    d_on: _Floats
    d_off: _Floats
    hysteresis: _Floats
    noise: _Floats
    periods: _Ints
    time: _Floats
    def __init__(self, fields: Mapping[str, numpy.typing.ArrayLike]) -> None: ...
    @property
    def shape(self) -> tuple[int, ...]: ...
    @property
    def done(self) -> _Bools: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

def relay_tune(
    result: RelayResult,
    rule: Literal["amigo", "simc", "ziegler_nichols", "astrom_hagglund"] = "amigo",
    kind: Literal["p", "pi", "pid"] = "pi",
    *,
    n: float = 10.0,
) -> Gains: ...
def astrom_hagglund(ku: _Values, tu: _Values, *, n: float = 10.0) -> Gains: ...
def autotune(
    bank: PIDBank,
    plant: _Model,
    *,
    dt: float,
    amplitude: _Values,
    asymmetry: _Values = 1.4,
    setpoint: _Values | None = None,
    hysteresis: _Values | None = None,
    cycles: _Values = 4,
    max_time: _Values | None = None,
    where: numpy.typing.ArrayLike | None = None,
    noise: _Values = 0.0,
    seed: Any = None,
    max_steps: int = 20000,
) -> RelayResult: ...
class _Robustness(TypedDict):
    stable: _Bools
    ms: _Floats
    gm: _Floats
    gm_lower: _Floats
    pm: _Floats

def robustness(model: _Model, gains: Mapping[str, _Values]) -> _Robustness: ...
def search(
    plant: _Model,
    grid: Gains | Mapping[str, numpy.typing.ArrayLike],
    *,
    dt: float,
    steps: int,
    objective: str | Callable[[Result[Any]], numpy.typing.ArrayLike] = "iae",
    max_ms: float | None = 1.6,
    chunk: int | None = None,
    client: Any = None,
    progress: bool = False,
    setpoint: _Values = 1.0,
    options: Mapping[str, Any] | None = None,
) -> SearchResult: ...

__all__ = [
    "identify", "identify_fopdt", "identify_sopdt", "identify_integrating", "Gains", "simc", "amigo", "lambda_tuning", "ziegler_nichols", "half_rule",
    "astrom_hagglund", "relay_tune", "autotune", "RelayResult", "robustness", "search", "SearchResult",
]
