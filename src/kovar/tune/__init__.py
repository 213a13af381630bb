"""Tuning of PID banks: models identified from step tests, tuning rules
vectorised over channels, robustness measures and a search over candidate
gains by simulation.

- :func:`identify_fopdt`, :func:`identify_sopdt`,
  :func:`identify_integrating`: a model per channel from a step test;
  :func:`identify`: the one of them that fits best.
- :func:`simc`, :func:`amigo`, :func:`lambda_tuning`,
  :func:`ziegler_nichols`: tuning rules returning :class:`Gains`, which
  ``PIDBank(shape, **gains)`` takes as they are.
- :func:`robustness`: closed-loop stability, maximum sensitivity, gain
  and phase margins.
- :func:`relay_tune`: gains from a relay experiment's
  :class:`RelayResult` (``PIDBank.relay_result()``); :func:`autotune`: the
  relay experiment run on simulated plants.
- :func:`search`: the best candidate gains per plant by simulation, among
  the stable ones, under a limit on the maximum sensitivity.
"""

from kovar._relay import RelayResult
from kovar.tune.gains import Gains
from kovar.tune.identify import identify, identify_fopdt, identify_integrating, identify_sopdt
from kovar.tune.robustness import robustness
from kovar.tune.search import SearchResult, search
from kovar.tune.relay import astrom_hagglund, relay_tune
from kovar.tune.autotune import autotune
from kovar.tune.rules import amigo, half_rule, lambda_tuning, simc, ziegler_nichols

__all__ = ["identify", "identify_fopdt", "identify_sopdt", "identify_integrating", "Gains", "simc", "amigo", "lambda_tuning", "ziegler_nichols", "half_rule", "astrom_hagglund", "relay_tune", "autotune", "RelayResult", "robustness", "search", "SearchResult"]
