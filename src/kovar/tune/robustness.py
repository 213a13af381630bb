"""Robustness of the loops a plant bank and a set of gains form, from the
frequency response of ``L(s) = C(s)*P(s)`` with the dead time exact.

``C(s) = kp + ki/s + kd*s/(tf*s + 1)`` is the controller seen by the
measurement in kovar.bank's law (the setpoint weights ``b`` and ``c`` act on
the setpoint only and do not enter the loop); ``P(s)`` is the plant with
``exp(-delay*s)``.

Everything is computed from two real functions of the frequency: the
magnitude ``|L(jw)|``, which the dead time does not touch and which varies
slowly, and the phase ``phi(w) = arg R(jw) - w*delay``, continuous and in
closed form (``R`` the delay-free part). Writing the controller as
``N(s)/(s*(tf*s + 1))`` with ``N(s) = a2*s**2 + a1*s + a0`` makes ``arg N(jw)``
continuous: its imaginary part ``a1*w`` keeps one sign for ``w > 0``.
"""

import numpy as np

from kovar.sim.plants import Plant
from kovar.tune.gains import Gains

# Points per decade of the grid on which crossings of |L| = 1 and of the
# negative real axis are bracketed (then refined to rounding): |L| has no
# resonance (real poles), so a bracket never hides a pair of crossings of
# |L| = 1 but at a tangency.
POINTS_PER_DECADE = 6
# How far |L|**2 may rise above (or fall below) both ends of a bracket of
# that grid: ln|L| is smooth in ln w, with curvature at most about 1/2 per
# pole or zero, and a bracket is 0.38 wide.
_BULGE = 1.25
# Spacing of the grid the peak of |S| is searched on: steps of ``v = ln(w)
# + delay*w`` so that both the slow part and the dead time's rotation move
# by about 0.15 rad between points; at most _MAX_POINTS per loop.
_STEP = 0.15
_MAX_POINTS = 4000
# At most this many local maxima of |S| refined per loop: the dead time
# makes nearly equal peaks, and the grid's highest is not always the highest.
_PEAKS = 16
# Loops per pass, so that the grids stay within a few hundred megabytes.
_BLOCK = 1 << 15


def _controller(gains, s):
    g = {n: gains[n][..., None] for n in ("kp", "ki", "kd", "tf")}
    return g["kp"] + g["ki"] / s + g["kd"] * s / (g["tf"] * s + 1.0)


def loop_response(model, gains, w):
    """L(jw) for frequencies `w` (rad per unit time) along the last axis,
    broadcast with the channels' shape."""
    s = 1j * np.asarray(w, dtype=np.float64)
    delay = model.params()["delay"][..., None]
    return _controller(gains, s) * model._rational(s) * np.exp(-1j * (s.imag * delay))


class _Loops:
    """The coefficients of a flat run of loops, as 1-D arrays (or columns,
    after `column`), with the magnitude and phase of L in real arithmetic."""

    def __init__(self, kind, values):
        self.kind = kind
        self.v = values
        self.filtered = "tf" in values

    @classmethod
    def of(cls, model, gains):
        kp, ki, kd, tf = (gains[n] for n in ("kp", "ki", "kd", "tf"))
        gain = model.gain
        # The loop's form, from what the plant says it is made of: one lag,
        # two lags, or an integrator.
        lags, integrators = model._lags()
        kind = "integrating" if integrators else ("fopdt", "sopdt")[len(lags) - 1]
        v = {"gain2": gain * gain, "sign": np.sign(gain), "delay": model.delay,
             "a0": ki, "a1": kp + ki * tf, "a2": kd + kp * tf}
        for name, lag in zip(("lag1", "lag2"), lags):
            v[name] = lag
        # Arrays every loop of the run would have as 0 are left out.
        if np.any(tf != 0.0):
            v["tf"] = tf
        return cls(kind, v)

    def take(self, rows):
        return _Loops(self.kind, {n: a[rows] for n, a in self.v.items()})

    def column(self):
        return _Loops(self.kind, {n: a[:, None] for n, a in self.v.items()})

    def mag2(self, w):
        """|L(jw)|**2."""
        v, x = self.v, w * w
        num = ((v["a0"] - v["a2"] * x) ** 2 / x + v["a1"] ** 2) * v["gain2"]
        if self.kind == "integrating":
            den = x
        else:
            den = 1.0 + v["lag1"] ** 2 * x
        if self.kind == "sopdt":
            den = den * (1.0 + v["lag2"] ** 2 * x)
        if self.filtered:
            den = den * (1.0 + v["tf"] ** 2 * x)
        return num / den

    def phase(self, w):
        """arg L(jw), continuous in w > 0 but where L(jw) = 0."""
        v = self.v
        sign = v["sign"]
        phi = np.arctan2(sign * v["a1"] * w, sign * (v["a0"] - v["a2"] * (w * w))) - v["delay"] * w
        if self.kind == "integrating":
            phi -= np.pi
        else:
            phi -= np.arctan(v["lag1"] * w) + np.pi / 2.0
        if self.kind == "sopdt":
            phi -= np.arctan(v["lag2"] * w)
        if self.filtered:
            phi -= np.arctan(v["tf"] * w)
        return phi

    def distance2(self, w):
        """|1 + L(jw)|**2."""
        # As components: 1 + m**2 + 2*m*cos(phi) would lose |L|/|1 + L| digits.
        m, phi = np.sqrt(self.mag2(w)), self.phase(w)
        return (1.0 + m * np.cos(phi)) ** 2 + (m * np.sin(phi)) ** 2


def _shape(model, gains):
    try:
        return np.broadcast_shapes(model.shape, gains.shape)
    except ValueError:
        raise ValueError(
            f"model has shape {model.shape} and gains has shape {gains.shape}, which do not broadcast together"
        ) from None


def robustness(model, gains):
    """Stability and robustness margins of the loops of `model` and `gains`.

    Parameters
    ----------
    model : FOPDT, SOPDT or Integrating
        The plant bank.
    gains : Gains or mapping
        The controllers' gains (``kp, ki, kd, tf``; ``b`` and ``c`` do not
        enter the loop), broadcast with `model`.

    Returns
    -------
    dict of str to ndarray
        Arrays of the broadcast shape of `model` and `gains`:

        ``stable``
            Whether the closed loop is stable, by the Nyquist criterion
            with the dead time exact (see Notes).
        ``ms``
            Maximum sensitivity ``max |1/(1 + L(jw))|``; ``inf`` for an
            unstable loop.
        ``gm``
            Upper gain margin: the factor the loop gain may grow by,
            ``1/|L|`` at the crossing of the negative real axis (at
            ``w >= 0``) where that is smallest above 1; ``inf`` if none.
        ``gm_lower``
            Lower gain margin: ``1/|L|`` at the crossing where that is
            largest below 1, finite and above 0 only where the loop is
            conditionally stable; ``0`` if none (the gain may fall to 0).
        ``pm``
            Phase margin in degrees, ``180 + arg L`` wrapped to (-180, 180]
            where ``|L| = 1``, the crossing with the smallest ``|pm|``;
            ``inf`` if none.

    Notes
    -----
    The margins are python-control's (``stability_margins(..., returnall=
    True)`` gives every crossing; its ``gm`` is the one nearest 1, which is
    ``gm`` or ``gm_lower`` here), with its conventions: ``inf`` where there
    is no crossing, crossings at ``w = 0`` counted. For an unstable loop
    they describe crossings, not margins.

    Stability: the plants have no poles in the right half-plane, so the
    loop is stable when ``1 + L`` winds zero times around the origin along
    the Nyquist contour (the imaginary axis, indented to the right of the
    ``n`` poles at the origin, closed at infinity): the count is
    ``n/2 - D/pi`` with ``D`` the change of ``arg(1 + L(jw))`` over
    ``w > 0``. Between crossings of ``|L| = 1`` that change is exact in
    closed form (``1 + L`` stays in the right half-plane where ``|L| < 1``,
    ``1 + 1/L`` where ``|L| > 1``, and ``arg L`` is continuous), so only
    the crossings of ``|L| = 1`` are searched, on a grid of 6 points per
    decade over two decades beyond the loop's corner frequencies, refined
    to rounding; the dead time's rotation needs no grid. A controller
    without proportional or integral action leaves an integrating plant's
    pole at the origin in the closed loop: not stable. With the dead time,
    a derivative without filter (``kd != 0``, ``tf = 0``) whose high
    frequency ``|L|`` is 1 or more is not stable either.

    ``ms`` is searched on a grid of about 0.15 rad of phase per point over
    the band where ``|L|`` lies within ``1 -+ 1/M``, ``M`` the largest
    ``|S|`` at the crossings (elsewhere ``|S| <= 1/|1 - |L|| < M``); the
    local maxima the grid may have underestimated to below the highest
    are refined by golden section, to about 1e-13.

    Raises
    ------
    ValueError
        Where the shapes of `model` and `gains` do not broadcast together,
        or a gain is refused as :class:`Gains` refuses it.
    TypeError
        Where `model` is not a plant bank, or `gains` is not a mapping of
        gain names.

    Examples
    --------
    SIMC's PI on a FOPDT, and a reverse-acting PI on a plant of positive
    gain (unstable: ``ms`` is ``inf``, the margins describe crossings):

    >>> from kovar.sim import FOPDT
    >>> from kovar.tune import Gains, robustness, simc
    >>> plant = FOPDT(2.0, 10.0, delay=1.0)
    >>> found = robustness(plant, simc(plant))
    >>> bool(found["stable"]), round(float(found["ms"]), 3), round(float(found["gm"]), 3), round(float(found["pm"]), 2)
    (True, 1.609, 3.106, 58.35)
    >>> robustness(plant, Gains(kp=[1.0, -1.0], ki=0.2))["stable"].tolist()
    [True, False]
    """
    if not isinstance(model, Plant):
        raise TypeError(f"model must be a FOPDT, SOPDT or Integrating bank, not {type(model).__name__}")
    if not isinstance(gains, Gains):
        gains = Gains(**gains)
    return _assess(model, gains, with_ms=True)


def _assess(model, gains, with_ms, ms_limit=None, margins=True):
    """robustness without the checks. What a screen needs, for less work:
    with `ms_limit`, ``ms`` is exact only where it is at most the limit,
    and otherwise a value above it; without `margins`, ``gm`` and
    ``gm_lower`` are NaN."""
    shape = _shape(model, gains)
    flat_model = type(model)(**{n: np.broadcast_to(v, shape).reshape(-1) for n, v in model.params().items()})
    flat_gains = {n: np.broadcast_to(gains[n], shape).reshape(-1) for n in ("kp", "ki", "kd", "tf")}
    loops = _Loops.of(flat_model, flat_gains)
    size = int(np.prod(shape))
    out = {n: np.empty(size) for n in ("ms", "gm", "gm_lower", "pm")}
    out["stable"] = np.empty(size, dtype=bool)
    for start in range(0, size, _BLOCK):
        part = slice(start, min(size, start + _BLOCK))
        piece = {n: a[part] for n, a in flat_gains.items()}
        found = _block(loops.take(part), piece, with_ms, ms_limit, margins)
        for n, a in found.items():
            out[n][part] = a
    return {n: a.reshape(shape) for n, a in out.items()}


def _span(loops, gains):
    """Per loop, the frequencies two decades beyond its corners: the lags,
    the dead time, the controller's and the crossings' estimates."""
    v = loops.v
    kp, ki, kd, tf = (np.abs(gains[n]) for n in ("kp", "ki", "kd", "tf"))
    g = np.sqrt(v["gain2"])
    lag1, lag2 = (v.get(n, np.zeros_like(g)) for n in ("lag1", "lag2"))
    lag = np.maximum(lag1, lag2)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        found = [1.0 / v["delay"], ki / kp, kp / kd, 1.0 / tf, 1.0 / lag1, 1.0 / lag2]
        if loops.kind == "integrating":
            found += [g * kp, np.sqrt(g * ki), g * kd / tf, g * kd]
        else:
            found += [g * kp / lag, np.sqrt(g * ki / lag), g * ki, g * kp, g * kd / (lag * tf), g * kd / lag]
    stack = np.stack([np.broadcast_to(f, v["delay"].shape) for f in found])
    stack = np.where(np.isfinite(stack) & (stack > 0.0), stack, np.nan)
    with np.errstate(all="ignore"):
        lo = np.nanmin(np.where(np.isnan(stack), np.inf, stack), axis=0) / 100.0
        hi = np.nanmax(np.where(np.isnan(stack), 0.0, stack), axis=0) * 100.0
    none = ~np.isfinite(lo) | ~(hi > 0.0)
    lo = np.where(none, 1.0, lo)
    hi = np.where(none, 10.0, np.maximum(hi, lo * 100.0))
    # At most 14 decades: wider spans come from corners far from the loop's.
    return np.log(np.maximum(lo, hi * 1e-14)), np.log(hi)


def _root(f, a, b, iterations=60):
    """Roots of f(x, rows) (one per row) in the brackets [a, b] where f
    changes sign, by regula falsi with the Illinois rule; rows leave the
    iteration once their bracket is down to rounding."""
    a, b = a.copy(), b.copy()
    every = np.arange(a.size)
    fa, fb = f(a, every), f(b, every)
    side = np.zeros(a.size, dtype=np.int8)
    live = every
    for _ in range(iterations):
        if live.size == 0:
            break
        la, lb, lfa, lfb = a[live], b[live], fa[live], fb[live]
        with np.errstate(all="ignore"):
            c = lb - lfb * (lb - la) / (lfb - lfa)
        inside = np.isfinite(c) & (c > np.minimum(la, lb)) & (c < np.maximum(la, lb))
        c = np.where(inside, c, 0.5 * (la + lb))
        fc = f(c, live)
        keep_a = (fc > 0.0) == (lfb > 0.0)
        # The end kept twice in a row has its value halved, so it moves too.
        kept = side[live]
        lfa = np.where(keep_a & (kept == 1), 0.5 * lfa, lfa)
        lfb = np.where(~keep_a & (kept == -1), 0.5 * lfb, lfb)
        a[live] = np.where(keep_a, la, c)
        fa[live] = np.where(keep_a, lfa, fc)
        b[live] = np.where(keep_a, c, lb)
        fb[live] = np.where(keep_a, fc, lfb)
        side[live] = np.where(keep_a, 1, -1)
        done = (fc == 0.0) | (np.abs(b[live] - a[live]) <= 1e-15 * np.maximum(np.abs(c), 1.0))
        a[live[fc == 0.0]] = c[fc == 0.0]
        b[live[fc == 0.0]] = c[fc == 0.0]
        live = live[~done]
    return np.where(np.abs(fa) <= np.abs(fb), a, b)


def _block(loops, gains, with_ms, ms_limit, margins):
    size = loops.v["delay"].shape[0]
    lo, hi = _span(loops, gains)
    step = np.log(10.0) / POINTS_PER_DECADE
    points = int(np.ceil((hi - lo).max(initial=2.0 * np.log(10.0)) / step)) + 2
    # The same points for a loop whatever the others need: from its own
    # lowest frequency on, repeated at its highest past its own span.
    w = np.minimum(np.exp(lo)[:, None] * np.exp(np.arange(points) * step), np.exp(hi)[:, None])
    col = loops.column()
    with np.errstate(all="ignore"):
        m2 = col.mag2(w)
        # The phase over the whole grid serves the gain margins; the
        # stability count needs it at the ends only.
        phi = col.phase(w) if margins else np.stack([col.phase(w[:, :1])[:, 0], col.phase(w[:, -1:])[:, 0]], axis=1)
    zero = (loops.v["gain2"] == 0.0) | ((gains["kp"] == 0.0) & (gains["ki"] == 0.0) & (gains["kd"] == 0.0))
    m2[zero] = 0.0

    # Crossings of |L| = 1, refined on ln|L|**2 against ln w: where the
    # grid sees them, and pairs inside a bracket whose ends come near 1 from
    # one side, at a peak (or dip) of |L| between them.
    above = m2 > 1.0
    rows, cols = np.nonzero(above[:, :-1] != above[:, 1:])
    ua, ub = np.log(w[rows, cols]), np.log(w[rows, cols + 1])
    rising = above[rows, cols + 1]
    # Such a bracket has a local peak (dip) of the grid's |L| at an end.
    inner = m2[:, 1:-1]
    peak = np.pad((inner >= m2[:, :-2]) & (inner >= m2[:, 2:]), ((0, 0), (1, 1)))
    dip = np.pad((inner <= m2[:, :-2]) & (inner <= m2[:, 2:]), ((0, 0), (1, 1)))
    big, small = np.maximum(m2[:, :-1], m2[:, 1:]), np.minimum(m2[:, :-1], m2[:, 1:])
    near_r, near_c = np.nonzero(((big < 1.0) & (big * _BULGE > 1.0) & (peak[:, :-1] | peak[:, 1:]))
                                | ((small > 1.0) & (small < _BULGE) & (dip[:, :-1] | dip[:, 1:])))
    if near_r.size:
        part = loops.take(near_r)
        dip = above[near_r, near_c]
        flip = np.where(dip, 1.0, -1.0)
        with np.errstate(all="ignore"):
            x, f = _golden(lambda x: flip * np.log(part.mag2(np.exp(x))), np.log(w[near_r, near_c]),
                           np.log(w[near_r, near_c + 1]), 30)
        pair = f < 0.0
        r, x, dip = near_r[pair], x[pair], dip[pair]
        rows = np.concatenate([rows, r, r])
        ua = np.concatenate([ua, np.log(w[r, near_c[pair]]), x])
        ub = np.concatenate([ub, x, np.log(w[r, near_c[pair] + 1])])
        rising = np.concatenate([rising, ~dip, dip])
    part = loops.take(rows)
    with np.errstate(all="ignore"):
        uc = _root(lambda x, r: np.log(part.take(r).mag2(np.exp(x))), ua, ub)
    phi_c = part.phase(np.exp(uc))

    stable = _stable(loops, gains, rows, rising, phi_c, above, phi, m2, zero)
    pm_all = 180.0 + np.degrees(phi_c)
    pm_all = pm_all - 360.0 * np.ceil((pm_all - 180.0) / 360.0)
    pm = np.full(size, np.inf)
    np.minimum.at(pm, rows, np.abs(pm_all))
    nearest = np.abs(pm_all) == pm[rows]
    pm[rows[nearest]] = pm_all[nearest]

    if margins:
        gm, gm_lower, crossing_s = _gain_margins(loops, gains, w, phi, m2)
    else:
        gm, gm_lower, crossing_s = np.full(size, np.nan), np.full(size, np.nan), np.zeros(size)
    result = {"stable": stable, "gm": gm, "gm_lower": gm_lower, "pm": pm}
    if not with_ms:
        return result
    # A value |S| takes, from the crossings: the peak is at least this.
    with np.errstate(all="ignore"):
        cross_s = 1.0 / np.sqrt(2.0 + 2.0 * np.cos(phi_c))
    # |S| at w = 0 too, where it is finite.
    with np.errstate(divide="ignore", invalid="ignore"):
        at_zero = np.nan_to_num(1.0 / np.abs(1.0 + _static(loops, gains)), nan=0.0)
    peak = np.maximum(np.maximum(_high_frequency_s(loops, gains), crossing_s), at_zero)
    np.maximum.at(peak, rows, np.where(np.isfinite(cross_s), cross_s, 0.0))
    ms = np.full(size, np.inf)
    live = stable & ~zero
    ms[stable & zero] = 1.0
    band = peak
    if ms_limit is not None:
        # Above the limit already: that is all a screen needs to know.
        ms[live & (peak > ms_limit)] = peak[live & (peak > ms_limit)]
        live &= peak <= ms_limit
        band = np.full(size, float(ms_limit))
    if np.any(live):
        ms[live] = _peak(loops.take(live), w[live], m2[live], peak[live], band[live], ms_limit is not None)
    result["ms"] = ms
    return result


def _high_frequency_s(loops, gains):
    """|S| as w -> infinity: 1 for a strictly proper loop; for a derivative
    without filter on a first-order or integrating plant L tends to
    c = kd*gain/tau (kd*gain), and the dead time turns it round the
    circle of that radius."""
    v = loops.v
    if loops.kind == "sopdt":
        return np.ones_like(v["delay"])
    lag = v["lag1"] if loops.kind == "fopdt" else 1.0
    c = np.where(gains["tf"] == 0.0, v["sign"] * np.sqrt(v["gain2"]) * v["a2"] / lag, 0.0)
    with np.errstate(divide="ignore"):
        return np.where(v["delay"] > 0.0, 1.0 / np.abs(1.0 - np.abs(c)), 1.0 / np.abs(1.0 + c))


def _stable(loops, gains, rows, rising, phi_c, above, phi, m2, zero):
    """The Nyquist count of closed-loop poles in the right half-plane is 0."""
    v = loops.v
    kp, ki = gains["kp"], gains["ki"]
    # Poles of L at the origin: the controller's integrator and the plant's,
    # less a controller zero there (no kp, no ki).
    n = np.where(ki != 0.0, 1, np.where(kp != 0.0, 0, -1)) + (1 if loops.kind == "integrating" else 0)
    # The change of arg(1 + L) from the grid's lowest frequency...
    s0, c0, m0 = np.sin(phi[:, 0]), np.cos(phi[:, 0]), np.sqrt(m2[:, 0])
    with np.errstate(all="ignore"):
        change = np.where(above[:, 0], -(phi[:, 0] + np.arctan2(-s0, m0 + c0)), -np.arctan2(m0 * s0, 1.0 + m0 * c0))
    # ...through each crossing of |L| = 1, where arg(1 + L) - arg(1 + 1/L) - arg L
    # = wrap(arg L) - arg L, a whole number of turns...
    turns = np.round(phi_c / (2.0 * np.pi))
    np.add.at(change, rows, np.where(rising, -2.0 * np.pi * turns, 2.0 * np.pi * turns))
    # ...to the highest, beyond which arg(1 + L) tends to 0 (strictly proper).
    sl, cl, ml = np.sin(phi[:, -1]), np.cos(phi[:, -1]), np.sqrt(m2[:, -1])
    with np.errstate(all="ignore"):
        change += np.where(above[:, -1], phi[:, -1] + np.arctan2(-sl, ml + cl), np.arctan2(ml * sl, 1.0 + ml * cl))
    count = np.maximum(n, 0) / 2.0 - change / np.pi
    stable = np.abs(count) < 0.5
    # |L| >= 1 to the end with a dead time: L circles -1 ever faster.
    stable &= ~(above[:, -1] & (v["delay"] > 0.0))
    if loops.kind == "integrating":
        stable &= (kp != 0.0) | (ki != 0.0)
        stable &= ~zero
    else:
        stable |= zero
    return stable


def _crossings(loops, w, level, r, c):
    """|L| at the first and the last odd multiple of pi that arg L crosses
    in the brackets (r, c) of the grid: the extremes of |L| over the
    bracket's crossings, |L| being monotonic in it."""
    ka, kb = level[r, c], level[r, c + 1]
    down = kb < ka
    first = np.where(down, 2.0 * ka - 1.0, 2.0 * ka + 1.0) * np.pi
    last = np.where(down, 2.0 * kb + 1.0, 2.0 * kb - 1.0) * np.pi
    two = first != last
    r = np.concatenate([r, r[two]])
    c = np.concatenate([c, c[two]])
    lev = np.concatenate([first, last[two]])
    part = loops.take(r)
    with np.errstate(all="ignore"):
        uc = _root(lambda x, k: part.take(k).phase(np.exp(x)) - lev[k], np.log(w[r, c]), np.log(w[r, c + 1]))
        return r, np.sqrt(part.mag2(np.exp(uc)))


def _gain_margins(loops, gains, w, phi, m2):
    """Upper and lower gain margins from the crossings of arg L through odd
    multiples of pi, bracketed on the grid. On each side of |L| = 1 the
    bracket whose ends come nearest to it is refined first; then every
    bracket that could still hold a crossing nearer. Also the largest
    |S| at the crossings."""
    size = m2.shape[0]
    level = np.floor(phi * (0.5 / np.pi) + 0.5)
    crossed = level[:, :-1] != level[:, 1:]
    big, small = np.maximum(m2[:, :-1], m2[:, 1:]), np.minimum(m2[:, :-1], m2[:, 1:])
    # The nearest |L|**2 to 1 a bracket may hold a crossing at, below 1
    # (upper margin) and above (lower margin), as far as its ends tell.
    up = np.where(crossed & (small < 1.0), np.minimum(big, 1.0), -np.inf)
    low = np.where(crossed & (big > 1.0), np.maximum(small, 1.0), np.inf)
    every = np.arange(size)
    cu, cl = np.argmax(up, axis=1), np.argmin(low, axis=1)
    ru, rl = np.flatnonzero(up[every, cu] > -np.inf), np.flatnonzero(low[every, cl] < np.inf)
    best_up, best_low = np.zeros(size), np.full(size, np.inf)

    def refine(r, c):
        r, m = _crossings(loops, w, level, r, c)
        np.maximum.at(best_up, r, np.where(m < 1.0, m, 0.0))
        np.minimum.at(best_low, r, np.where(m > 1.0, m, np.inf))

    refine(np.concatenate([ru, rl]), np.concatenate([cu[ru], cl[rl]]))
    up[ru, cu[ru]] = -np.inf
    low[rl, cl[rl]] = np.inf
    refine(*np.nonzero((up * _BULGE > best_up[:, None] ** 2) | (low < best_low[:, None] ** 2 * _BULGE)))
    with np.errstate(divide="ignore"):
        gm, gm_lower = 1.0 / best_up, 1.0 / best_low
    with np.errstate(divide="ignore"):
        s_at = np.maximum(np.where(best_up > 0.0, 1.0 / (1.0 - best_up), 0.0),
                          np.where(np.isfinite(best_low), 1.0 / (best_low - 1.0), 0.0))
    # A crossing at w = 0, where L(0) is finite and negative (no pole at
    # the origin): python-control counts it.
    static = _static(loops, gains)
    with np.errstate(divide="ignore", invalid="ignore"):
        g = np.where(static < 0.0, -1.0 / static, np.nan)
        gm = np.where(g > 1.0, np.minimum(gm, g), gm)
        gm_lower = np.where(g < 1.0, np.maximum(gm_lower, g), gm_lower)
    return gm, gm_lower, s_at


def _static(loops, gains):
    """L(0) where it is finite (no pole at the origin), NaN elsewhere."""
    v = loops.v
    kp, ki, kd = gains["kp"], gains["ki"], gains["kd"]
    gain = v["sign"] * np.sqrt(v["gain2"])
    if loops.kind == "integrating":
        return np.where((ki == 0.0) & (kp == 0.0), gain * kd, np.nan)
    return np.where(ki == 0.0, gain * kp, np.nan)


def _peak(loops, w, m2, floor, band, screen=False):
    """max |S| per loop, at least `floor` (a value |S| takes): searched
    where |S| can exceed `band` (``floor`` or more), |L| within
    1 -+ 1/band; below `band` the result is only a value below it. With
    `screen`, peaks the grid already places above `band`, or surely below,
    are not refined."""
    with np.errstate(divide="ignore"):
        low, high = (1.0 - 1.0 / band) ** 2, (1.0 + 1.0 / band) ** 2
    low = np.where(band > 1.0, low, 0.0)
    # |L| may bulge past the ends of a bracket.
    touch = ((np.maximum(m2[:, :-1], m2[:, 1:]) * _BULGE >= low[:, None])
             & (np.minimum(m2[:, :-1], m2[:, 1:]) <= high[:, None] * _BULGE))
    some = touch.any(axis=1)
    first = np.argmax(touch, axis=1)
    last = touch.shape[1] - 1 - np.argmax(touch[:, ::-1], axis=1)
    rows = np.flatnonzero(some)
    ua, ub = np.log(w[rows, first[rows]]), np.log(w[rows, last[rows] + 1])
    if rows.size == 0:
        return floor
    part = loops.take(rows)
    delay = part.v["delay"]
    va, vb = ua + delay * np.exp(ua), ub + delay * np.exp(ub)
    count = np.clip(np.ceil((vb - va) / _STEP).astype(np.int64) + 1, 3, _MAX_POINTS)
    owner = np.repeat(np.arange(rows.size), count)
    starts = np.cumsum(count) - count
    frac = (np.arange(owner.size) - starts[owner]) / (count - 1)[owner]
    # Points evenly spaced in v = u + delay*e**u: Newton from the chord in u.
    lo_u, hi_u, d = ua[owner], ub[owner], delay[owner]
    target = va[owner] + frac * (vb - va)[owner]
    x = lo_u + frac * (hi_u - lo_u)
    for _ in range(3):
        e = d * np.exp(x)
        x = np.clip(x - (x + e - target) / (1.0 + e), lo_u, hi_u)
    flat = part.take(owner)
    with np.errstate(all="ignore"):
        h = flat.distance2(np.exp(x))
    h = np.where(np.isnan(h), np.inf, h)
    # Local minima of |1 + L| within each loop's run of points.
    end = starts + count - 1
    is_start = np.zeros(owner.size, dtype=bool)
    is_start[starts] = True
    is_end = np.zeros(owner.size, dtype=bool)
    is_end[end] = True
    prev = np.where(is_start, np.inf, np.roll(h, 1))
    nxt = np.where(is_end, np.inf, np.roll(h, -1))
    local = np.flatnonzero((h <= prev) & (h <= nxt))
    # A grid point is within about |L|*_STEP/2 of a minimum of |1 + L| (in
    # L), so it misses its depth by at most (|L|*_STEP)**2/4 or so: every
    # local minimum within four times that of the deepest may be deeper.
    deepest = np.full(rows.size, np.inf)
    np.minimum.at(deepest, owner[local], h[local])
    with np.errstate(all="ignore"):
        slack = flat.take(local).mag2(np.exp(x[local])) * _STEP**2
    keep = h[local] <= deepest[owner[local]] + slack
    if screen:
        limit = band[rows[owner[local]]] ** -2.0
        keep &= (deepest[owner[local]] >= limit) & (h[local] - slack < limit)
    local = local[keep]
    order = local[np.lexsort((h[local], owner[local]))]
    rank = np.arange(order.size) - np.searchsorted(owner[order], owner[order])
    top = order[rank < _PEAKS]
    a = x[np.where(is_start[top], top, top - 1)]
    b = x[np.where(is_end[top], top, top + 1)]
    best = np.full(rows.size, np.inf)
    np.minimum.at(best, owner, h)
    near = part.take(owner[top])
    np.minimum.at(best, owner[top], _golden_min(near, a, b))
    out = floor.copy()
    with np.errstate(divide="ignore"):
        out[rows] = np.maximum(floor[rows], 1.0 / np.sqrt(np.maximum(best, 0.0)))
    return out


def _golden_min(loops, a, b, iterations=40):
    """min |1 + L|**2 over [a, b] (ln w)."""
    def value(x):
        with np.errstate(all="ignore"):
            h = loops.distance2(np.exp(x))
        return np.where(np.isnan(h), np.inf, h)

    return _golden(value, a, b, iterations)[1]


def _golden(f, a, b, iterations):
    """(x, f(x)) at a minimum of f over each [a, b], by golden section."""
    ratio = (np.sqrt(5.0) - 1.0) / 2.0
    c, d = b - ratio * (b - a), a + ratio * (b - a)
    fc, fd = f(c), f(d)
    for _ in range(iterations):
        left = fc < fd
        b = np.where(left, d, b)
        a = np.where(left, a, c)
        c_new = np.where(left, b - ratio * (b - a), d)
        d_new = np.where(left, c, a + ratio * (b - a))
        fc_new = np.where(left, np.nan, fd)
        fd_new = np.where(left, fc, np.nan)
        c, d = c_new, d_new
        # One new point per step: the other is the kept inner point.
        x_new = np.where(left, c, d)
        f_new = f(x_new)
        fc = np.where(left, f_new, fc_new)
        fd = np.where(left, fd_new, f_new)
    left = fc < fd
    return np.where(left, c, d), np.where(left, fc, fd)
