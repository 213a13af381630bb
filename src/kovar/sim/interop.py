"""Plant banks to and from python-control transfer functions.

python-control is imported here only when a conversion runs, so kovar
works without it. A bank converts channel by channel: python-control's
MIMO systems couple inputs and outputs, which independent channels are
not, so a bank of shape ``()`` gives one ``TransferFunction`` and any
other shape a NumPy object array of them, one per channel.
"""

import numpy as np

from kovar import _values
from kovar.sim.plants import FOPDT, SOPDT, Integrating

# z^-d is a polynomial of degree d to python-control, which realises it
# with d states: past this it would exhaust memory rather than help anyone.
MAX_DELAY_SAMPLES = 100_000

# Real double poles come out of the quadratic formula with a discriminant a
# few roundings below 0; complex pairs (underdamped) sit well below this.
_DISCRIMINANT_SLACK = 1e-12
# A discrete second-order system is a sampled SOPDT when its zero is the one
# the exact ZOH discretisation of its poles and gain gives, to this much.
_ZOH_ZERO_TOLERANCE = 1e-8


def import_control():
    """python-control, or an ImportError saying where it comes from."""
    try:
        import control  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise ImportError(
            "converting to or from python-control needs the 'control' package: pip install control"
        ) from None
    return control


def per_channel(shape, make):
    """``make(index)`` for a bank of shape ``()``, otherwise an object array
    of the shape holding ``make(index)`` for every channel (filled element by
    element: NumPy would take a transfer function apart as a sequence)."""
    if shape == ():
        return make(())
    out = np.empty(shape, dtype=object)
    for index in np.ndindex(*shape):
        out[index] = make(index)
    return out


def pade_order(pade):
    """`pade` checked: an int of at least 1."""
    if isinstance(pade, bool) or not isinstance(pade, (int, np.integer)):
        raise TypeError(f"pade must be an int, not {type(pade).__name__}")
    if pade < 1:
        raise ValueError(f"pade must be at least 1, not {int(pade)}")
    return int(pade)


def continuous(plant, pade):
    """The continuous transfer functions, the delay as a Padé approximant."""
    control = import_control()
    order = pade_order(pade)
    p = plant.params()

    def make(i):
        gain = float(p["gain"][i])
        if isinstance(plant, FOPDT):
            den = [float(p["tau"][i]), 1.0]
        elif isinstance(plant, SOPDT):
            den = np.polymul([float(p["tau1"][i]), 1.0], [float(p["tau2"][i]), 1.0])
        else:
            den = [1.0, 0.0]
        sys = control.tf([gain], den)
        delay = float(p["delay"][i])
        if delay > 0.0:
            sys = sys * control.tf(*control.pade(delay, order))
        return sys

    return per_channel(plant.shape, make)


def discrete_coefficients(model, i):
    """(num, den) of one channel of a discretised bank, without the delay:
    the state update's own coefficients, so python-control steps as kovar."""
    c = {n: float(v[i]) for n, v in model.coefficients.items()}
    if model.kind == "fopdt":
        return [c["b"]], [1.0, -c["a"]]
    if model.kind == "integrating":
        return [c["b"]], [1.0, -1.0]
    # y = x2 of x' = Ad x + Bd w: [0 1] adj(zI - Ad) Bd / det(zI - Ad).
    num = [c["b2"], c["a21"] * c["b1"] - c["a11"] * c["b2"]]
    den = [1.0, -(c["a11"] + c["a22"]), c["a11"] * c["a22"] - c["a12"] * c["a21"]]
    return num, den


def discrete(plant, dt):
    """The ZOH transfer functions for sample time `dt`, the dead time of d
    samples exact as z^-d."""
    control = import_control()
    model = plant.discretize(dt).broadcast(plant.shape)
    if model.d.size and model.d.max() > MAX_DELAY_SAMPLES:
        index = np.unravel_index(int(np.argmax(model.d)), model.shape)
        raise ValueError(
            f"delay is {int(model.d[index])} samples of dt={dt!r} (index {tuple(int(i) for i in index)}), "
            f"more than the {MAX_DELAY_SAMPLES} a transfer function in z takes: give a longer dt")

    def make(i):
        num, den = discrete_coefficients(model, i)
        return control.tf(num, list(den) + [0.0] * int(model.d[i]), dt)

    return per_channel(plant.shape, make)


def _siso_polynomials(sys, name):
    """(num, den, dt) of a SISO transfer function (or anything python-control
    turns into one), leading zeros removed, common factors s (or z) cancelled."""
    control = import_control()
    try:
        tf = control.tf(sys)
    except Exception as error:
        raise TypeError(f"{name} must be a python-control system, not {type(sys).__name__} ({error})") from None
    if tf.ninputs != 1 or tf.noutputs != 1:
        raise ValueError(f"{name} must have one input and one output, not {tf.ninputs} and {tf.noutputs}")
    num = np.trim_zeros(np.asarray(tf.num[0][0], dtype=np.float64), "f")
    den = np.trim_zeros(np.asarray(tf.den[0][0], dtype=np.float64), "f")
    if not (np.all(np.isfinite(num)) and np.all(np.isfinite(den))) or den.size == 0:
        raise ValueError(f"{name} must have finite coefficients and a non-zero denominator")
    if num.size == 0:
        num = np.zeros(1)
    # A pole and a zero at the origin cancel: z/(z(z - a)) is b/(z - a).
    while num.size > 1 and den.size > 1 and num[-1] == 0.0 and den[-1] == 0.0:
        num, den = num[:-1], den[:-1]
    return num / den[0], den / den[0], tf.dt


def _not_form(name, num, den, why):
    return ValueError(
        f"{name} is not a first- or second-order plant kovar models ({why}): "
        f"numerator {num.tolist()}, denominator {den.tolist()}"
    )


def _from_continuous(name, num, den, delay):
    if num.size != 1:
        raise _not_form(name, num, den, "it has zeros")
    k = num[0]
    if den.size == 2:
        if den[1] == 0.0:
            return Integrating(k, delay)
        if den[1] < 0.0:
            raise _not_form(name, num, den, "its pole is unstable")
        return FOPDT(k / den[1], 1.0 / den[1], delay)
    if den.size == 3:
        _, a1, a0 = den
        if a0 == 0.0:
            raise _not_form(name, num, den, "an integrator with a lag")
        # (tau1 s + 1)(tau2 s + 1) = (1/a0) s^2 + (a1/a0) s + 1
        total, product = a1 / a0, 1.0 / a0
        disc = total * total - 4.0 * product
        if total <= 0.0 or product <= 0.0:
            raise _not_form(name, num, den, "a pole is not stable")
        if disc < 0.0:
            if disc < -_DISCRIMINANT_SLACK * total * total:
                raise _not_form(name, num, den, "its poles are complex")
            disc = 0.0
        tau1 = 0.5 * (total + np.sqrt(disc))
        return SOPDT(k / a0, tau1, product / tau1, delay)
    raise _not_form(name, num, den, f"order {den.size - 1}")


def _from_discrete(name, num, den, dt, delay):
    if delay != 0.0:
        raise ValueError(f"{name} is discrete: its dead time is its poles at z = 0, not delay={delay!r}")
    # Poles at z = 0 beyond the relative degree of one are z^-d.
    stripped = np.trim_zeros(den, "b")
    d = den.size - stripped.size
    den, delay = stripped, d * dt
    if den.size - 1 - (num.size - 1) != 1:
        raise _not_form(name, num, den, "a sampled plant with a zero-order hold has relative degree 1")
    if den.size == 2:
        a = -den[1]
        if a == 1.0:
            return Integrating(num[0] / dt, delay)
        if not 0.0 < a < 1.0:
            raise _not_form(name, num, den, f"its pole {a!r} is not in (0, 1)")
        return FOPDT(num[0] / (1.0 - a), -dt / np.log(a), delay)
    if den.size == 3:
        total, product = -den[1], den[2]
        disc = total * total - 4.0 * product
        if -_DISCRIMINANT_SLACK * total * total < disc < 0.0:
            disc = 0.0
        if disc < 0.0:
            raise _not_form(name, num, den, "its poles are complex")
        e1 = 0.5 * (total + np.sqrt(disc))
        e2 = product / e1 if e1 != 0.0 else 0.0
        if not (0.0 < e2 <= e1 < 1.0):
            raise _not_form(name, num, den, "a pole is not in (0, 1)")
        plant = SOPDT(np.sum(num) / np.sum(den), -dt / np.log(e1), -dt / np.log(e2), delay)
        # The zero is not free: it must be the one sampling these lags gives.
        expected, _ = discrete_coefficients(plant.discretize(dt), ())
        if not np.allclose(num, expected, rtol=_ZOH_ZERO_TOLERANCE, atol=_ZOH_ZERO_TOLERANCE * np.abs(num).max()):
            raise _not_form(name, num, den, f"its zero is not the one a zero-order hold of SOPDT gives, {expected}")
        return plant
    raise _not_form(name, num, den, f"order {den.size - 1}")


def _one_from_control(sys, delay, name):
    num, den, dt = _siso_polynomials(sys, name)
    if dt is True:
        raise ValueError(f"{name} is discrete with an unspecified sample time (dt=True): give it one")
    if dt:
        return _from_discrete(name, num, den, float(dt), delay)
    return _from_continuous(name, num, den, delay)


def plant_from_control(sys, delay=0.0):
    """A plant bank from python-control transfer functions of that form.

    Continuous systems ``K/(T*s + 1)``, ``K/((T1*s + 1)*(T2*s + 1))`` (real
    poles) and ``K/s`` give :class:`FOPDT`, :class:`SOPDT` (``tau1 >= tau2``)
    and :class:`Integrating`, any scaling of numerator and denominator
    allowed; python-control has no dead time, so it is `delay`. Discrete
    systems are taken as the exact zero-order-hold model of one of them
    (as ``plant.to_control(dt)`` gives): a pole in (0, 1) or at 1, two
    real poles in (0, 1) with the zero sampling gives them, and the dead
    time as poles at ``z = 0`` (``z^-d``, ``delay = d*dt``).

    Parameters
    ----------
    sys : control.TransferFunction or control.StateSpace, or a sequence or array of them
        One SISO system, or an array of them for a bank (all of one kind).
    delay : float or array_like, optional
        The dead time of continuous systems, broadcast with the bank.

    Returns
    -------
    FOPDT, SOPDT or Integrating
        A bank of the shape of `sys` (``()`` for one system).

    Raises
    ------
    ValueError
        Where a system is not of one of these forms (zeros, complex or
        unstable poles, a higher order, a zero a ZOH model cannot have), a
        discrete system is given a `delay`, or the systems of a bank are
        not all of one kind.
    TypeError
        Where `sys` is not a python-control system.
    ImportError
        Where python-control is not installed.

    Examples
    --------
    >>> import control
    >>> from kovar.sim import plant_from_control
    >>> plant_from_control(control.tf([2.0], [4.0, 1.0]), delay=0.5)
    FOPDT(gain=2.0, tau=4.0, delay=0.5)
    """
    return _from_control(sys, delay, None)


def _from_control(sys, delay, wanted):
    """The bank of `sys`, of the class `wanted` (None: whichever the first
    system is)."""
    kind = wanted
    systems = _system_array(sys)
    delay = _values.non_negative("delay", delay)
    shape = np.broadcast_shapes(systems.shape, delay.shape)
    systems, delay = np.broadcast_to(systems, shape), np.broadcast_to(delay, shape)
    plants = []
    for index in np.ndindex(*shape):
        label = f"sys{list(index)}" if index else "sys"
        plants.append(_one_from_control(systems[index], float(delay[index]), label))
        if kind is not None and type(plants[-1]) is not kind:
            raise ValueError(f"{label} is a {type(plants[-1]).__name__} plant, not a {kind.__name__}"
                             + (": a bank is of one kind" if wanted is None else ""))
        kind = type(plants[-1])
    if kind is None:
        raise ValueError("sys holds no system: the kind of plant is unknown")
    if shape == ():
        return plants[0]
    names = list(plants[0].params()) if plants else list(_PARAMETERS[kind])
    values = [np.reshape([float(p.params()[n]) for p in plants], shape) for n in names]
    return kind(*values)


_PARAMETERS = {FOPDT: ("gain", "tau", "delay"), SOPDT: ("gain", "tau1", "tau2", "delay"),
               Integrating: ("gain", "delay")}


def _system_array(sys):
    """`sys` as an object array, a system kept whole (not iterated)."""
    if isinstance(sys, np.ndarray) and sys.dtype == object:
        return sys
    if isinstance(sys, (list, tuple)):
        items = [_system_array(item) for item in sys]
        return np.stack(items) if items else np.empty(0, dtype=object)
    out = np.empty((), dtype=object)
    out[()] = sys
    return out


__all__ = ["plant_from_control"]
