"""Robustness of the loops a plant bank and a set of gains form, from the
frequency response of ``L(s) = C(s)*P(s)`` with the dead time exact.

``C(s) = kp + ki/s + kd*s/(tf*s + 1)`` is the controller seen by the
measurement in kovar.bank's law (the setpoint weights ``b`` and ``c`` act on
the setpoint only and do not enter the loop); ``P(s)`` is the plant with
``exp(-delay*s)``.
"""

import numpy as np

from kovar.sim.plants import FOPDT, SOPDT, Integrating
from kovar.tune.gains import Gains

# Grid points per decade on the first pass; the peak of |S| and every
# crossing are then refined inside their grid interval.
POINTS_PER_DECADE = 100
# Channels times grid points evaluated at once.
_BLOCK = 1 << 21


def _rational(model, s):
    """P(s) without its dead time; `s` has a trailing frequency axis."""
    p = model.params()
    if isinstance(model, FOPDT):
        return p["gain"][..., None] / (p["tau"][..., None] * s + 1.0)
    if isinstance(model, SOPDT):
        return p["gain"][..., None] / ((p["tau1"][..., None] * s + 1.0) * (p["tau2"][..., None] * s + 1.0))
    if isinstance(model, Integrating):
        return p["gain"][..., None] / s
    raise TypeError(f"model must be a FOPDT, SOPDT or Integrating bank, not {type(model).__name__}")


def _controller(gains, s):
    g = {n: gains[n][..., None] for n in ("kp", "ki", "kd", "tf")}
    return g["kp"] + g["ki"] / s + g["kd"] * s / (g["tf"] * s + 1.0)


def loop_response(model, gains, w):
    """L(jw) for frequencies `w` (rad per unit time) along the last axis,
    broadcast with the channels' shape."""
    s = 1j * np.asarray(w, dtype=np.float64)
    delay = model.params()["delay"][..., None]
    return _controller(gains, s) * _rational(model, s) * np.exp(-1j * (s.imag * delay))


def _loop_phase(model, gains, w):
    """The phase of L(jw) in radians, continuous in w (not wrapped)."""
    s = 1j * w
    p = model.params()
    gain = p["gain"][..., None]
    phase = np.angle(np.sign(gain) * _controller(gains, s)) - w * p["delay"][..., None]
    if isinstance(model, FOPDT):
        return phase - np.arctan(w * p["tau"][..., None])
    if isinstance(model, SOPDT):
        return phase - np.arctan(w * p["tau1"][..., None]) - np.arctan(w * p["tau2"][..., None])
    return phase - np.pi / 2.0


def _corners(model, gains):
    """Frequencies where the loop's behaviour changes, per channel (NaN
    where one does not apply): the grid spans two decades beyond them."""
    p = model.params()
    kp, ki, kd, tf = (np.abs(gains[n]) for n in ("kp", "ki", "kd", "tf"))
    g = np.abs(p["gain"])
    with np.errstate(divide="ignore", invalid="ignore"):
        found = [
            1.0 / p["delay"], ki / kp, kp / kd, 1.0 / tf,
        ]
        if isinstance(model, FOPDT):
            found += [1.0 / p["tau"], g * kp / p["tau"], g * ki, g * kd / (p["tau"] * tf)]
        elif isinstance(model, SOPDT):
            lag = p["tau1"] * p["tau2"]
            found += [1.0 / p["tau1"], 1.0 / p["tau2"], np.sqrt(g * kp / lag), g * ki, g * kd / p["tau1"]]
        else:
            found += [g * kp, np.sqrt(g * ki), g * kd / tf]
    shape = np.broadcast_shapes(model.shape, gains.shape)
    stack = np.stack([np.broadcast_to(f, shape) for f in found])
    stack = np.where(np.isfinite(stack) & (stack > 0.0), stack, np.nan)
    return stack


def robustness(model, gains):
    """``ms`` (maximum sensitivity ``max |1/(1 + L(jw))|``), ``gm`` (gain
    margin, absolute: ``1/|L|`` where L crosses the negative real axis,
    the smallest over crossings; ``inf`` if none) and ``pm`` (phase margin
    in degrees, ``180 + arg L`` where ``|L| = 1`` with the phase continuous
    from low frequency, the smallest over crossings; ``inf`` if none), as
    arrays of the broadcast shape of `model` and `gains`.

    The response is evaluated on a logarithmic grid of 100 points per
    decade spanning two decades beyond the loop's corner frequencies; the
    peak of ``|S|`` and each crossing are then refined within their grid
    interval (golden section, bisection)."""
    if not isinstance(gains, Gains):
        gains = Gains(**gains)
    shape = np.broadcast_shapes(model.shape, gains.shape)
    flat_model = _flatten_model(model, shape)
    flat_gains = gains.reshape(-1) if gains.shape == shape else Gains(
        **{n: np.broadcast_to(v, shape) for n, v in gains.items()}
    ).reshape(-1)
    corners = _corners(flat_model, flat_gains)
    with np.errstate(all="ignore"):
        lo = np.nanmin(np.where(np.isnan(corners), np.inf, corners), axis=0) / 100.0
        hi = np.nanmax(np.where(np.isnan(corners), 0.0, corners), axis=0) * 100.0
    none = ~np.isfinite(lo) | ~(hi > 0.0)
    lo = np.where(none, 1.0, lo)
    hi = np.where(none, 10.0, np.maximum(hi, lo * 100.0))
    # At most 14 decades: wider spans come from corners far from the loop's.
    lo = np.maximum(lo, hi * 1e-14)
    size = lo.shape[0]
    ms, gm, pm = np.empty(size), np.empty(size), np.empty(size)
    points = int(np.ceil(np.log10(hi / lo).max(initial=2.0) * POINTS_PER_DECADE)) + 2
    step = max(1, _BLOCK // points)
    for start in range(0, size, step):
        part = slice(start, min(size, start + step))
        m, g = _take(flat_model, part), _take_gains(flat_gains, part)
        ms[part], gm[part], pm[part] = _margins(m, g, lo[part], hi[part], points)
    return {"ms": ms.reshape(shape), "gm": gm.reshape(shape), "pm": pm.reshape(shape)}


def _flatten_model(model, shape):
    params = {n: np.broadcast_to(v, shape).reshape(-1) for n, v in model.params().items()}
    return type(model)(**params)


def _take(model, part):
    return type(model)(**{n: v[part] for n, v in model.params().items()})


def _take_gains(gains, part):
    return Gains(**{n: v[part] for n, v in gains.items()})


def _margins(model, gains, lo, hi, points):
    # The same points for a channel whatever the others need: from its own
    # lowest frequency on, repeated at its highest past its own span.
    log_lo, log_hi = np.log(lo)[:, None], np.log(hi)[:, None]
    w = np.exp(np.minimum(log_lo + np.arange(points) * (np.log(10.0) / POINTS_PER_DECADE), log_hi))
    with np.errstate(all="ignore"):
        loop = loop_response(model, gains, w)
        sens = np.abs(1.0 / (1.0 + loop))
    ms = _peak(model, gains, w, np.where(np.isnan(sens), -np.inf, sens))
    # A strictly proper loop has |S| -> 1 at high frequency, beyond the grid.
    proper = (gains["kd"] == 0.0) | (gains["tf"] > 0.0)
    ms = np.where(proper, np.maximum(ms, 1.0), ms)
    gm = _gain_margin(model, gains, w, loop)
    pm = _phase_margin(model, gains, w, loop)
    return ms, gm, pm


def _peak(model, gains, w, sens, count=4):
    """max |S|: the `count` highest local maxima of the grid, each refined
    between its neighbours. The dead time makes |S| ripple with nearly
    equal peaks at high frequency, and the grid's highest is not always
    the highest."""
    n, points = sens.shape
    padded = np.pad(sens, ((0, 0), (1, 1)), constant_values=-np.inf)
    local = (sens >= padded[:, :-2]) & (sens >= padded[:, 2:])
    ranked = np.where(local, sens, -np.inf)
    count = min(count, points)
    top = np.argpartition(-ranked, count - 1, axis=1)[:, :count]
    rows = np.repeat(np.arange(n), count)
    cols = top.reshape(-1)
    keep = np.isfinite(ranked[rows, cols])
    rows, cols = rows[keep], cols[keep]
    left = np.log(w[rows, np.maximum(cols - 1, 0)])
    right = np.log(w[rows, np.minimum(cols + 1, points - 1)])
    refined = np.maximum(sens[rows, cols], _golden_max(_take(model, rows), _take_gains(gains, rows), left, right))
    ms = np.max(sens, axis=1)
    np.maximum.at(ms, rows, refined)
    return ms


def _at(model, gains, rows, logw):
    """L at one frequency per selected row."""
    m = _take(model, rows)
    g = _take_gains(gains, rows)
    return loop_response(m, g, np.exp(logw)[:, None])[:, 0]


def _golden_max(model, gains, a, b, iterations=40):
    rows = np.arange(a.shape[0])
    ratio = (np.sqrt(5.0) - 1.0) / 2.0

    def value(x):
        with np.errstate(all="ignore"):
            v = np.abs(1.0 / (1.0 + _at(model, gains, rows, x)))
        return np.where(np.isnan(v), -np.inf, v)

    c, d = b - ratio * (b - a), a + ratio * (b - a)
    fc, fd = value(c), value(d)
    for _ in range(iterations):
        left = fc > fd
        b = np.where(left, d, b)
        a = np.where(left, a, c)
        c, d = b - ratio * (b - a), a + ratio * (b - a)
        fc, fd = value(c), value(d)
    return np.maximum(fc, fd)


def _bisect(model, gains, rows, a, b, sign_of, iterations=50):
    """Refines brackets [a, b] (log frequencies) where sign_of(L) changes."""
    fa = sign_of(_at(model, gains, rows, a))
    for _ in range(iterations):
        mid = 0.5 * (a + b)
        fm = sign_of(_at(model, gains, rows, mid))
        same = fm == fa
        a = np.where(same, mid, a)
        b = np.where(same, b, mid)
    return 0.5 * (a + b)


def _gain_margin(model, gains, w, loop):
    im_pos = loop.imag > 0.0
    changes = (im_pos[:, :-1] != im_pos[:, 1:]) & ((loop.real[:, :-1] < 0.0) | (loop.real[:, 1:] < 0.0))
    # The dead time makes L circle the origin ever faster and smaller: the
    # smallest margin is at the crossing where |L| is largest, so only the
    # two brackets with the largest |L| per channel are refined.
    size = np.maximum(np.abs(loop[:, :-1]), np.abs(loop[:, 1:]))
    score = np.where(changes, np.nan_to_num(size, nan=-1.0), -np.inf)
    rows_all = np.arange(w.shape[0])
    picked = []
    for _ in range(2):
        col = np.argmax(score, axis=1)
        hit = score[rows_all, col] > -np.inf
        picked.append((rows_all[hit], col[hit]))
        score[rows_all, col] = -np.inf
    rows = np.concatenate([r for r, _ in picked])
    cols = np.concatenate([c for _, c in picked])
    gm = np.full(w.shape[0], np.inf)
    if rows.size:
        logw = _bisect(model, gains, rows, np.log(w[rows, cols]), np.log(w[rows, cols + 1]),
                       lambda v: v.imag > 0.0)
        at = _at(model, gains, rows, logw)
        with np.errstate(divide="ignore"):
            margin = np.where(at.real < 0.0, 1.0 / np.abs(at), np.inf)
        np.minimum.at(gm, rows, margin)
    return gm


def _phase_margin(model, gains, w, loop):
    above = np.abs(loop) > 1.0
    rows, cols = np.nonzero(above[:, :-1] != above[:, 1:])
    pm = np.full(w.shape[0], np.inf)
    if rows.size:
        logw = _bisect(model, gains, rows, np.log(w[rows, cols]), np.log(w[rows, cols + 1]),
                       lambda v: np.abs(v) > 1.0)
        m, g = _take(model, rows), _take_gains(gains, rows)
        phase = _loop_phase(m, g, np.exp(logw)[:, None])[:, 0]
        np.minimum.at(pm, rows, 180.0 + np.degrees(phase))
    return pm
