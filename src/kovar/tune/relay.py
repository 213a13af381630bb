"""Gains from a relay experiment (:class:`kovar.tune.RelayResult`): the
model-based rules on the identified FOPDT, the frequency-response rules on
the ultimate gain and period."""

import math

import numpy as np

from kovar._relay import RelayResult
from kovar.sim.plants import FOPDT
from kovar.tune.gains import NAMES, Gains
from kovar.tune.rules import _pid, amigo, simc, ziegler_nichols

# The rules and the controller kinds each gives.
RULES = {"amigo": ("pi", "pid"), "simc": ("pi",), "ziegler_nichols": ("p", "pi", "pid"),
         "astrom_hagglund": ("pid",)}

# Astrom and Hagglund's relay design (1984): the loop through the ultimate
# point with this phase margin, and Ti = ALPHA*Td.
PHASE_MARGIN = math.radians(45.0)
ALPHA = 4.0


def astrom_hagglund(ku, tu, *, n=10.0):
    """Åström and Hägglund's phase-margin PID from the ultimate gain and
    period (1984): the controller moves the ultimate point to the unit
    circle at a phase margin of 45 degrees, with ``Ti = 4*Td``:
    ``K = ku*cos(pm)``, ``w*Td = (tan(pm) + sqrt(tan(pm)**2 + 4/4))/2``
    with ``w = 2*pi/tu``; about ``K = 0.71*ku``, ``Ti = 0.77*tu``,
    ``Td = 0.19*tu``.

    Examples
    --------
    >>> from kovar.tune import astrom_hagglund
    >>> g = astrom_hagglund(2.0, 10.0)
    >>> print(f"{g.kp:.3f} {g.kp / g.ki:.2f} {g.kd / g.kp:.2f}")
    1.414 7.68 1.92
    """
    tan = math.tan(PHASE_MARGIN)
    x = (tan + math.sqrt(tan * tan + 4.0 / ALPHA)) / 2.0
    td = x * tu / (2.0 * math.pi)
    return _pid(ku * math.cos(PHASE_MARGIN), ALPHA * td, td, n)


def relay_tune(result, rule="amigo", kind="pi", *, n=10.0):
    """Gains for the channels of a relay experiment.

    Parameters
    ----------
    result : RelayResult
        What ``PIDBank.relay_result()`` returned.
    rule : {"amigo", "simc", "ziegler_nichols", "astrom_hagglund"}
        AMIGO (PI or PID) and SIMC (PI, ``tc = L``) apply to the identified
        FOPDT model; Ziegler-Nichols (P, PI or PID) and Åström-Hägglund's
        phase-margin design (PID) to the ultimate gain and period.
    kind : str
        The controller: ``"p"``, ``"pi"`` or ``"pid"``, as the rule gives.
    n : float, optional
        PID rules filter the derivative with ``tf = Td/n``.

    Returns
    -------
    Gains
        Of the result's shape; NaN on the channels that are not done, or
        whose model the rule cannot use (no model, or no delay for AMIGO and
        SIMC). Apply them with ``bank.set_params(where=result.done & ~np.isnan(gains.kp), **gains)``.

    Raises
    ------
    TypeError
        Where `result` is not a RelayResult.
    ValueError
        Where `rule` is unknown or does not give `kind`.

    Examples
    --------
    >>> from kovar.bank import PIDBank
    >>> from kovar.sim import FOPDT
    >>> from kovar.tune import autotune, relay_tune
    >>> bank = PIDBank(2, kp=1.0, ki=0.5)
    >>> result = autotune(bank, FOPDT(gain=[1.0, 2.0], tau=[10.0, 5.0], delay=[2.0, 1.0]),
    ...                   dt=0.05, amplitude=0.5)
    >>> gains = relay_tune(result, "amigo", "pi")
    >>> gains.kp.round(3)
    array([1.206, 0.603])
    >>> bank.set_params(where=result.done, **gains)
    """
    if not isinstance(result, RelayResult):
        raise TypeError(f"result must be a RelayResult, not {type(result).__name__}")
    if not isinstance(rule, str) or rule not in RULES:
        raise ValueError(f"rule must be one of {', '.join(map(repr, RULES))}, not {rule!r}")
    if kind not in RULES[rule]:
        raise ValueError(f"kind must be {' or '.join(map(repr, RULES[rule]))} for rule {rule!r}, not {kind!r}")
    if rule in ("amigo", "simc"):
        model = result.model
        gain, tau, delay = model.gain, model.tau, model.delay
        usable = np.isfinite(gain) & (gain != 0.0) & np.isfinite(tau) & (tau > 0.0) & np.isfinite(delay) & (delay > 0.0)
        usable &= result.done
        fitted = FOPDT(gain[usable], tau[usable], delay[usable])
        gains = amigo(fitted, kind, n=n) if rule == "amigo" else simc(fitted)
    else:
        ku, tu = result.ku, result.tu
        usable = result.done & np.isfinite(ku) & (ku != 0.0) & np.isfinite(tu) & (tu > 0.0)
        if rule == "ziegler_nichols":
            gains = ziegler_nichols(ku[usable], tu[usable], kind, n=n)
        else:
            gains = astrom_hagglund(ku[usable], tu[usable], n=n)
    values = {}
    for name in NAMES:
        array = np.full(result.shape, np.nan)
        array[usable] = gains[name]
        values[name] = array
    return Gains._with_nan(**values)
