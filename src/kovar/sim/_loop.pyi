"""The native closed loop behind kovar.sim.simulate (internal: called by
kovar/sim/loop.py with arrays it has checked and prepared)."""

from typing import Any

def run(
    *,
    bank: Any,
    kind: int,
    dt: float,
    steps: int,
    d: Any,
    coefficients: tuple[Any, ...],
    r: Any,
    z: Any,
    noise: Any,
    load: Any,
    load_start: int,
    sums: tuple[Any, ...],
    marks: tuple[Any, ...],
    levels: tuple[Any, ...],
    y: Any,
    u: Any,
    progress: Any,
    feedforward: Any,
    track: Any,
    start: tuple[Any, Any, Any],
) -> None: ...
