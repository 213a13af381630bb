"""Closed-loop simulation of PID banks against banks of plants.

- :class:`FOPDT`, :class:`SOPDT`, :class:`Integrating`: plant banks with
  dead time, discretised exactly for a zero-order-hold input
  (``plant.discretize(dt)``), run sample by sample with
  ``plant.discretize(dt).start(u0)`` (a :class:`Stepper`, for cascades and
  loops of one's own), or open loop with ``plant.response(u, dt)`` and
  :func:`step_test`.
- :func:`simulate`: a bank against a plant bank, returning a
  :class:`Result` with the response and its measures.
- ``plant.to_control()``, :func:`plant_from_control`: plants to and from
  python-control transfer functions (python-control imported then only).
"""

from kovar.sim.metrics import response_metrics
from kovar.sim.plants import FOPDT, SOPDT, Discrete, Integrating, Plant
from kovar.sim.result import Result
from kovar.sim.loop import simulate
from kovar.sim.interop import plant_from_control
from kovar.sim.stepping import Stepper, step_test

__all__ = ["Plant", "FOPDT", "SOPDT", "Integrating", "Discrete", "Result", "simulate", "response_metrics", "plant_from_control",
           "Stepper", "step_test"]
