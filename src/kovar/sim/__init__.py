"""Closed-loop simulation of PID banks against banks of plants.

- :class:`FOPDT`, :class:`SOPDT`, :class:`Integrating`: plant banks with
  dead time, discretised exactly for a zero-order-hold input
  (``plant.discretize(dt)``).
- :func:`simulate`: a bank against a plant bank, returning a
  :class:`Result` with the response and its measures.
"""

from kovar.sim.metrics import response_metrics
from kovar.sim.plants import FOPDT, SOPDT, Discrete, Integrating
from kovar.sim.result import Result
from kovar.sim.loop import simulate

__all__ = ["FOPDT", "SOPDT", "Integrating", "Discrete", "Result", "simulate", "response_metrics"]
