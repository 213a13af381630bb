"""Tuning rules, vectorised over the channels of a plant bank.

Every rule returns :class:`Gains` in the bank's parallel form
``u = kp*(b*r - y) + ki*integral(e) + D``,
``D = kd*s/(tf*s + 1) * (c*r - y)``; a rule giving a controller gain
``K`` with integral time ``Ti`` and derivative time ``Td`` sets
``kp = K, ki = K/Ti, kd = K*Td``. PID rules filter the derivative with
``tf = Td/n`` (``n = 10`` unless given; ``n = inf`` for none) and act on
the measurement only (``c = 0``).

Models: K (``gain``), T (``tau``), L (``delay``) of a FOPDT; Kv (``gain``)
and L of an Integrating plant; a SOPDT with ``tau1 >= tau2`` (the two are
swapped where not).
"""

import numpy as np

from kovar import _values
from kovar.sim.plants import FOPDT, SOPDT, Integrating
from kovar.tune.gains import Gains


def _model_kind(model, rule, kinds):
    for cls in kinds:
        if isinstance(model, cls):
            return cls
    names = ", ".join(c.__name__ for c in kinds)
    raise TypeError(f"{rule} takes a {names} model, not {type(model).__name__}")


def _nonzero_gain(model):
    gain = model.gain
    zero = np.flatnonzero(gain == 0.0)
    if zero.size:
        index = tuple(int(i) for i in np.unravel_index(zero[0], gain.shape))
        where = f" (index {index})" if gain.ndim else ""
        raise ValueError(f"the model's gain must be non-zero, not 0.0{where}")
    return gain


def _lags(model):
    """tau1 >= tau2 of a SOPDT."""
    return np.maximum(model.tau1, model.tau2), np.minimum(model.tau1, model.tau2)


def _pid(k, ti, td, n, b=1.0):
    """Gains from the ideal form K, Ti, Td, the derivative filtered by Td/n."""
    if isinstance(n, bool) or not isinstance(n, (int, float, np.integer, np.floating)):
        raise TypeError(f"n must be a real number, not {type(n).__name__}")
    if not float(n) > 0.0:
        raise ValueError(f"n must be positive, not {float(n)!r}")
    return Gains(kp=k, ki=k / ti, kd=k * td, tf=td / float(n), b=b, c=0.0)


def half_rule(model):
    """A SOPDT reduced to a FOPDT by Skogestad's half rule: half of the
    smaller lag goes to the larger lag, half to the delay (the plant's own
    :meth:`~kovar.sim.Plant.half_rule`).

    Parameters
    ----------
    model : kovar.sim.SOPDT
        The second-order models.

    Returns
    -------
    kovar.sim.FOPDT
        Of the model's shape.

    Raises
    ------
    TypeError
        Where `model` is not a SOPDT bank.

    Examples
    --------
    >>> from kovar.sim import SOPDT
    >>> from kovar.tune import half_rule
    >>> half_rule(SOPDT(1.0, tau1=2.0, tau2=1.0, delay=0.5))
    FOPDT(gain=1.0, tau=2.5, delay=1.0)
    """
    _model_kind(model, "half_rule", (SOPDT,))
    return model.half_rule()


def simc(model, tc=None, *, n=10.0):
    """Skogestad's SIMC rules (2003).

    - FOPDT, PI: ``K = T/(Kp*(tc + L))``, ``Ti = min(T, 4*(tc + L))``.
    - Integrating, PI: ``K = 1/(Kv*(tc + L))``, ``Ti = 4*(tc + L)``.
    - SOPDT, PID in series form ``K = tau1/(Kp*(tc + L))``,
      ``Ti = min(tau1, 4*(tc + L))``, ``Td = tau2``, converted to the
      parallel form: ``kp = K*(1 + Td/Ti)``, ``ki = K/Ti``, ``kd = K*Td``.

    Parameters
    ----------
    model : kovar.sim.FOPDT, kovar.sim.SOPDT or kovar.sim.Integrating
        The process models, one per channel.
    tc : float or array_like, optional
        The closed-loop time constant, non-negative; the delay L when None
        (the default), which then must be positive everywhere.
    n : float, optional
        The derivative filter's ratio ``tf = Td/n`` of the SOPDT rule (10 by
        default; ``inf`` for no filter).

    Returns
    -------
    Gains
        Of the shape of `model` and `tc` broadcast; ``b = 1``, ``c = 0``.

    Raises
    ------
    ValueError
        Where a model's gain is 0, `tc` is negative, or ``tc + L`` is 0
        (`tc` not given, or 0, where the delay is 0), or, for a SOPDT, `n`
        is not positive.
    TypeError
        Where `model` is not one of the three plant banks.

    Examples
    --------
    >>> from kovar.sim import FOPDT
    >>> from kovar.tune import simc
    >>> simc(FOPDT(2.0, 10.0, delay=1.0))
    Gains(kp=2.5, ki=0.3125, kd=0.0, tf=0.0, b=1.0, c=0.0)
    """
    kind = _model_kind(model, "simc", (FOPDT, SOPDT, Integrating))
    gain = _nonzero_gain(model)
    delay = model.delay
    if tc is None:
        if np.any(delay == 0.0):
            raise ValueError("tc must be given where the delay is 0")
        tc = delay
    else:
        tc = _values.non_negative("tc", tc)
    closed = tc + delay
    if np.any(closed == 0.0):
        raise ValueError("tc must be positive where the delay is 0")
    if kind is Integrating:
        k = 1.0 / (gain * closed)
        return Gains(kp=k, ki=k / (4.0 * closed))
    if kind is FOPDT:
        k = model.tau / (gain * closed)
        ti = np.minimum(model.tau, 4.0 * closed)
        return Gains(kp=k, ki=k / ti)
    tau1, tau2 = _lags(model)
    k = tau1 / (gain * closed)
    ti = np.minimum(tau1, 4.0 * closed)
    td = tau2
    # Series (interacting) form to the bank's parallel form.
    return _pid(k * (1.0 + td / ti), ti + td, ti * td / (ti + td), n)


def amigo(model, kind="pi", *, n=10.0):
    """Åström and Hägglund's AMIGO rules (2004), with ``tau = L/(L + T)``.

    FOPDT, PI: ``K = 0.15/Kp + (0.35 - L*T/(L + T)**2)*T/(Kp*L)``,
    ``Ti = 0.35*L + 13*L*T**2/(T**2 + 12*L*T + 7*L**2)``.
    FOPDT, PID: ``K = (0.2 + 0.45*T/L)/Kp``,
    ``Ti = (0.4*L + 0.8*T)/(L + 0.1*T)*L``, ``Td = 0.5*L*T/(0.3*L + T)``.
    Integrating, PI: ``K = 0.35/(Kv*L)``, ``Ti = 13.4*L``; PID:
    ``K = 0.45/(Kv*L)``, ``Ti = 8*L``, ``Td = 0.5*L``.
    A SOPDT is first reduced by the half rule. Setpoint weight ``b = 0``
    where ``tau <= 0.5``, ``b = 1`` above (integrating plants: ``b = 0``).

    Parameters
    ----------
    model : kovar.sim.FOPDT, kovar.sim.SOPDT or kovar.sim.Integrating
        The process models, one per channel; the delay must be positive.
    kind : {"pi", "pid"}, optional
        The controller ("pi" by default).
    n : float, optional
        The derivative filter's ratio ``tf = Td/n`` of a PID (10 by
        default; ``inf`` for no filter).

    Returns
    -------
    Gains
        Of the model's shape; ``c = 0``.

    Raises
    ------
    ValueError
        Where a delay or a model's gain is 0, `kind` is not "pi" or "pid",
        or, for a PID, `n` is not positive.
    TypeError
        Where `model` is not one of the three plant banks.

    Examples
    --------
    >>> from kovar.sim import FOPDT
    >>> from kovar.tune import amigo
    >>> gains = amigo(FOPDT(2.0, 10.0, delay=1.0))
    >>> round(float(gains.kp), 4), round(float(gains.ki), 4), float(gains.b)
    (1.4118, 0.2323, 0.0)
    """
    cls = _model_kind(model, "amigo", (FOPDT, SOPDT, Integrating))
    if kind not in ("pi", "pid"):
        raise ValueError(f"kind must be 'pi' or 'pid', not {kind!r}")
    if cls is SOPDT:
        model = half_rule(model)
    gain = _nonzero_gain(model)
    big_l = model.delay
    if np.any(big_l == 0.0):
        raise ValueError("amigo needs a positive delay")
    if cls is Integrating:
        if kind == "pi":
            return Gains(kp=0.35 / (gain * big_l), ki=0.35 / (gain * big_l) / (13.4 * big_l), b=0.0)
        k = 0.45 / (gain * big_l)
        return _pid(k, 8.0 * big_l, 0.5 * big_l, n, b=0.0)
    t = model.tau
    b = np.where(big_l / (big_l + t) <= 0.5, 0.0, 1.0)
    if kind == "pi":
        k = 0.15 / gain + (0.35 - big_l * t / (big_l + t) ** 2) * t / (gain * big_l)
        ti = 0.35 * big_l + 13.0 * big_l * t**2 / (t**2 + 12.0 * big_l * t + 7.0 * big_l**2)
        return Gains(kp=k, ki=k / ti, b=b)
    k = (0.2 + 0.45 * t / big_l) / gain
    ti = (0.4 * big_l + 0.8 * t) / (big_l + 0.1 * t) * big_l
    td = 0.5 * big_l * t / (0.3 * big_l + t)
    return _pid(k, ti, td, n, b=b)


def lambda_tuning(model, lam, *, n=10.0):
    """Lambda tuning with the closed-loop time constant `lam`.

    - FOPDT, PI: ``K = T/(Kp*(lam + L))``, ``Ti = T``.
    - Integrating, PI: ``K = (2*lam + L)/(Kv*(lam + L)**2)``, ``Ti = 2*lam + L``.
    - SOPDT, PID cancelling both lags: ``K = (tau1 + tau2)/(Kp*(lam + L))``,
      ``Ti = tau1 + tau2``, ``Td = tau1*tau2/(tau1 + tau2)``.

    Parameters
    ----------
    model : kovar.sim.FOPDT, kovar.sim.SOPDT or kovar.sim.Integrating
        The process models, one per channel.
    lam : float or array_like
        The closed-loop time constant, positive.
    n : float, optional
        The derivative filter's ratio ``tf = Td/n`` of the SOPDT rule (10 by
        default; ``inf`` for no filter).

    Returns
    -------
    Gains
        Of the shape of `model` and `lam` broadcast; ``b = 1``, ``c = 0``.

    Raises
    ------
    ValueError
        Where `lam` is not positive, a model's gain is 0, or, for a SOPDT,
        `n` is not positive.
    TypeError
        Where `model` is not one of the three plant banks.

    Examples
    --------
    >>> from kovar.sim import FOPDT
    >>> from kovar.tune import lambda_tuning
    >>> gains = lambda_tuning(FOPDT(2.0, 10.0, delay=1.0), lam=5.0)
    >>> round(float(gains.kp), 6), round(float(gains.ki), 6)
    (0.833333, 0.083333)
    """
    cls = _model_kind(model, "lambda_tuning", (FOPDT, SOPDT, Integrating))
    lam = _values.positive("lam", lam)
    gain = _nonzero_gain(model)
    big_l = model.delay
    if cls is FOPDT:
        k = model.tau / (gain * (lam + big_l))
        return Gains(kp=k, ki=k / model.tau)
    if cls is Integrating:
        ti = 2.0 * lam + big_l
        k = ti / (gain * (lam + big_l) ** 2)
        return Gains(kp=k, ki=k / ti)
    tau1, tau2 = model.tau1, model.tau2
    ti = tau1 + tau2
    return _pid(ti / (gain * (lam + big_l)), ti, tau1 * tau2 / ti, n)


def ziegler_nichols(ku, tu, kind="pid", *, n=10.0):
    """Ziegler and Nichols' frequency-response rules from the ultimate gain
    `ku` and period `tu`: P ``K = 0.5*ku``; PI ``K = 0.45*ku``,
    ``Ti = tu/1.2``; PID ``K = 0.6*ku``, ``Ti = tu/2``, ``Td = tu/8``.

    Parameters
    ----------
    ku : float or array_like
        The ultimate gain, finite (from a relay test, ``4*d/(pi*a)``).
    tu : float or array_like
        The ultimate period, positive.
    kind : {"p", "pi", "pid"}, optional
        The controller ("pid" by default).
    n : float, optional
        The derivative filter's ratio ``tf = Td/n`` of a PID (10 by
        default; ``inf`` for no filter).

    Returns
    -------
    Gains
        Of the shape of `ku` and `tu` broadcast; ``b = 1``, ``c = 0``.

    Raises
    ------
    ValueError
        Where `ku` is not finite, `tu` not positive, `kind` none of the
        three, or, for a PID, `n` not positive.
    TypeError
        Where `ku` or `tu` is not real numbers.

    Examples
    --------
    >>> from kovar.tune import ziegler_nichols
    >>> ziegler_nichols(ku=4.0, tu=10.0)
    Gains(kp=2.4, ki=0.48, kd=3.0, tf=0.125, b=1.0, c=0.0)
    """
    ku = _values.finite("ku", ku)
    tu = _values.positive("tu", tu)
    if kind == "p":
        return Gains(kp=0.5 * ku + 0.0 * tu)
    if kind == "pi":
        k = 0.45 * ku
        return Gains(kp=k, ki=k / (tu / 1.2))
    if kind == "pid":
        return _pid(0.6 * ku, tu / 2.0, tu / 8.0, n)
    raise ValueError(f"kind must be 'p', 'pi' or 'pid', not {kind!r}")
