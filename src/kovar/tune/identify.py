"""Process models from step tests, per channel: first order, second order
and integrating, each plus dead time, by least squares on the sampled step
response."""

import textwrap

import numpy as np

from kovar import _values
from kovar.sim.plants import FOPDT, SOPDT, Integrating

__all__ = ["identify", "identify_fopdt", "identify_sopdt", "identify_integrating"]

# A FOPDT or SOPDT must rise this far (a FOPDT's first time constant past its
# delay) within the record: before that its gain is an extrapolation, and a
# ramp fits as a lag of a thousand records with a gain to match.
SETTLED = 1.0 - np.exp(-1.0)

# A model's output change must be this many times the residual's RMS for the
# channel to count as responding: noise alone, fitted with a delay near the
# end of the record, gives a change of one or two RMS.
RESPONDS = 3.0

# The parameter count of each model besides the baseline, for the criterion.
_PARAMETERS = {"fopdt": 3, "sopdt": 4, "integrating": 2}
_NAMES = {"fopdt": "FOPDT", "sopdt": "SOPDT", "integrating": "integrating model"}


def _where(shape, channel):
    if not shape:
        return ""
    return f" (index {tuple(int(i) for i in np.unravel_index(channel, shape))})"


def _refuse(bad, shape, message):
    """The message for the first channel in `bad`, naming it; None if none."""
    bad = np.flatnonzero(bad)
    return None if bad.size == 0 else message(int(bad[0])) + _where(shape, int(bad[0]))


def _is_table(value):
    # A pandas Series or DataFrame, without importing pandas: values with an index.
    return hasattr(value, "index") and hasattr(value, "to_numpy")


def _array(name, value):
    if _is_table(value):
        try:
            value = value.to_numpy(dtype=np.float64, na_value=np.nan)
        except (TypeError, ValueError):
            value = value.to_numpy()
    return _values.finite(name, value)


def _seconds(t):
    """Sample times as float seconds; datetimes and durations (NumPy's or
    pandas', time-zone aware or not) count from the first sample."""
    dtype = getattr(t, "dtype", None)
    if getattr(dtype, "kind", None) == "M" and getattr(dtype, "tz", None) is not None:
        # Zone-aware times to UTC, where no hour is skipped or repeated.
        t = t.dt.tz_convert(None) if hasattr(t, "dt") else t.tz_convert(None)
    if hasattr(t, "to_numpy"):
        t = t.to_numpy()
    elif isinstance(t, (list, tuple)):
        t = np.asarray(t)
    if isinstance(t, np.ndarray) and t.dtype.kind in "Mm" and t.ndim == 1 and t.size:
        return _values.finite("t", (t - t[0]) / np.timedelta64(1, "s"))
    return _values.finite("t", t)


class _StepTest:
    """A checked step test: times `t`, input `u` and output `y` as (steps,
    channels), the channels' `shape`, the input's steps `du` at rows
    `changes`, the first step's time `t_step` and the pre-step `baseline`
    per channel."""

    def __init__(self, t, u, y):
        if t is None:
            if not _is_table(y):
                raise TypeError("t is None, so y must be a pandas Series or DataFrame whose index holds the times")
            t = y.index
        if _is_table(u) and _is_table(y) and not u.index.equals(y.index):
            raise ValueError("u and y have different indexes: align them first")
        t = _seconds(t)
        table_u = _is_table(u) and u.ndim == 1
        u, y = _array("u", u), _array("y", y)
        if t.ndim != 1:
            raise ValueError(f"t must be one-dimensional, not of shape {t.shape}")
        steps = t.shape[0]
        if steps < 4:
            raise ValueError(f"a step test needs at least 4 samples, not {steps}")
        if not np.all(np.diff(t) > 0.0):
            raise ValueError("t must be increasing")
        if y.ndim == 0 or y.shape[0] != steps:
            raise ValueError(f"y has shape {y.shape}, but t has {steps} samples")
        if table_u and u.shape == (steps,):
            # A Series is one input in time, whatever the number of channels.
            u = u.reshape(steps, *(1,) * (y.ndim - 1))
        try:
            full = np.broadcast_shapes(u.shape, y.shape)
        except ValueError:
            full = None
        if full != y.shape:
            raise ValueError(f"u has shape {u.shape}, which does not broadcast to y's shape {y.shape}")
        self.shape = shape = y.shape[1:]
        self.t = t
        self.y = y.reshape(steps, -1)
        self.u = np.broadcast_to(u, y.shape).reshape(steps, -1)
        moved = np.diff(self.u, axis=0) != 0.0
        message = _refuse(~moved.any(axis=0), shape, lambda c: "u must change during the test")
        if message:
            raise ValueError(message)
        first = np.argmax(moved, axis=0) + 1
        net = self.u[-1] - self.u[0]
        excursion = np.abs(self.u - self.u[0]).max(axis=0)
        message = _refuse(
            np.abs(net) < 0.5 * excursion, shape,
            lambda c: f"u must be a step, not a pulse: it ends {float(net[c]):g} from where it started, "
            f"after moving {float(excursion[c]):g}",
        ) or _refuse(
            first > steps - 4, shape,
            lambda c: f"u steps at sample {int(first[c])} of {steps}: a step test needs at least "
            f"4 samples from the step on",
        ) or _refuse(
            np.ptp(self.y, axis=0) == 0.0, shape, lambda c: "y does not respond to u: it is constant"
        )
        if message:
            raise ValueError(message)
        self.changes = np.flatnonzero(moved.any(axis=1)) + 1
        self.du = np.diff(self.u, axis=0)[self.changes - 1]
        self.t_step = t[first]
        self.net = net
        # The output before the input first moves, at the step's own
        # instant included (a strictly proper plant has not moved yet),
        # fixes the baseline: fitted freely it trades against the gain
        # wherever the model's shape is not the process's.
        before = np.arange(steps)[:, None] <= first
        self.baseline = (self.y * before).sum(axis=0) / before.sum(axis=0)
        self.span = t[-1] - t[0]


def _rise(kind, s, p):
    """The unit step response of the model's lags `s` after its delay
    (s >= 0); `p` holds its shape parameters after the delay."""
    if kind == "integrating":
        return s
    if kind == "fopdt":
        return -np.expm1(-s / np.exp(p[0]))
    # 1 - (a e^(-s/a) - b e^(-s/b))/(a - b), with a the smaller lag, as
    # 1 - e^(-s/a) - e^(-s/b) (s/a) expm1(x)/x, x = s/b - s/a <= 0: no
    # cancellation as the lags meet, no overflow as they part.
    tau = np.exp(p[:2])
    a, b = tau.min(axis=0), tau.max(axis=0)
    x = s / b - s / a
    zero = x == 0.0
    phi = np.where(zero, 1.0, np.expm1(x) / np.where(zero, 1.0, x))
    return 1.0 - np.exp(-s / a) - np.exp(-s / b) * (s / a) * phi


def _basis(test, kind, p, cols=slice(None)):
    """The model's sampled response, for a unit gain, to the input's steps
    from the baseline (channels `cols`): exact at the samples for a held
    input."""
    out = np.zeros((test.t.shape[0], test.du[:, cols].shape[1]))
    for j, k in enumerate(test.changes):
        out = out + test.du[j, cols] * _rise(kind, np.maximum(test.t[:, None] - test.t[k] - p[0], 0.0), p[1:])
    return out


def _residual(test, kind, p, cols=slice(None)):
    """The residual and its sum of squares (channels `cols`) with the gain
    solved linearly, and the gain."""
    basis = _basis(test, kind, p, cols)
    rest = test.y[:, cols] - test.baseline[cols]
    spread = (basis * basis).sum(axis=0)
    some = spread > 0.0
    gain = np.where(some, (basis * rest).sum(axis=0) / np.where(some, spread, 1.0), 0.0)
    r = rest - gain * basis
    return r, (r * r).sum(axis=0), gain


def _least_squares(test, kind, p, iterations):
    """Levenberg-Marquardt on the shape parameters `p` (delay first, then
    log time constants), per channel, within bounds. A channel stops once
    four iterations in a row have not lowered its cost by a relative 1e-12;
    the others go on without it."""
    low = np.log(np.diff(test.t).min() * 1e-3)  # time constants from a thousandth of a sample
    high = np.log(test.span * 1e3)  # to a thousand records
    n = len(p)
    lower = np.array([0.0] + [low] * (n - 1))[:, None]
    upper = np.array([test.span] + [high] * (n - 1))[:, None]
    scale = np.array([1e-6 * test.span] + [1e-6] * (n - 1))
    p = np.clip(p, lower, upper)
    cost = _residual(test, kind, p)[1]
    damping = np.full(p.shape[1], 1e-3)
    idle = np.zeros(p.shape[1], dtype=np.int64)
    eye = np.eye(n)
    for _ in range(iterations):
        cols = np.flatnonzero(idle < 4)
        if cols.size == 0:
            break
        q = p[:, cols]
        r = _residual(test, kind, q, cols)[0]
        jac = np.empty((n, *r.shape))
        for i in range(n):
            moved = q.copy()
            moved[i] += scale[i]
            jac[i] = (_residual(test, kind, moved, cols)[0] - r) / scale[i]
        a = np.einsum("isn,jsn->nij", jac, jac)
        g = np.einsum("isn,sn->ni", jac, r)
        diagonal = np.einsum("nii->ni", a)
        damped = a + (damping[cols, None] * diagonal + np.finfo(float).tiny)[:, :, None] * eye
        try:
            step = -np.linalg.solve(damped, g[..., None])[..., 0].T
        except np.linalg.LinAlgError:
            step = -np.einsum("nij,nj->in", np.linalg.pinv(damped), g)
        trial = np.clip(q + np.where(np.isfinite(step), step, 0.0), lower, upper)
        cost_trial = _residual(test, kind, trial, cols)[1]
        better = cost_trial < cost[cols]
        idle[cols] = np.where(cost_trial < cost[cols] * (1.0 - 1e-12), 0, idle[cols] + 1)
        p[:, cols] = np.where(better, trial, q)
        cost[cols] = np.where(better, cost_trial, cost[cols])
        # Kept off 0 so that equal lags (identical columns) stay solvable.
        damping[cols] = np.clip(np.where(better, damping[cols] / 3.0, damping[cols] * 4.0), 1e-12, 1e12)
    return p, cost


def _crossing(t, z, level):
    """The first time z reaches `level`, interpolated between samples (NaN
    if never)."""
    above = z >= level
    k = np.argmax(above, axis=0)
    cols = np.arange(z.shape[1])
    found = above[k, cols]
    k0 = np.maximum(k - 1, 0)
    z0, z1 = z[k0, cols], z[k, cols]
    with np.errstate(divide="ignore", invalid="ignore"):
        frac = np.where((k > 0) & (z1 != z0), (level - z0) / (z1 - z0), 1.0)
    at = t[k0] + np.clip(frac, 0.0, 1.0) * (t[k] - t[k0])
    return np.where(found, at, np.nan)


def _fopdt_start(test):
    """The two-point method: ``T = 1.5*(t63 - t28)``, ``L = t63 - T - t_step``."""
    tail = max(1, test.t.shape[0] // 20)
    dy = test.y[-tail:].mean(axis=0) - test.baseline
    with np.errstate(divide="ignore", invalid="ignore"):
        z = (test.y - test.baseline) / dy
    t28, t63 = _crossing(test.t, z, 0.283), _crossing(test.t, z, 0.632)
    after = test.t[-1] - test.t_step
    tau = 1.5 * (t63 - t28)
    tau = np.where(np.isfinite(tau) & (tau > 0.0), tau, after / 5.0)
    delay = np.clip(np.nan_to_num(t63 - tau - test.t_step, nan=0.0), 0.0, after)
    return np.stack([delay, np.log(tau)])


def _fit(test, kind, iterations):
    """The fitted parameters, sum of squares, gain, fit error and the
    refusal of a channel (None if every channel fits)."""
    if kind == "fopdt":
        p, cost = _least_squares(test, kind, _fopdt_start(test), iterations)
    elif kind == "sopdt":
        # From the FOPDT by the half rule read backwards, for a short and a
        # long second lag; the better fit per channel. Never equal lags:
        # there the two columns are one and the pair cannot separate.
        delay, log_tau = _least_squares(test, "fopdt", _fopdt_start(test), iterations)[0]
        tau = np.exp(log_tau)
        best = None
        for ratio in (0.1, 0.6):
            tau1 = tau / (1.0 + ratio / 2.0)
            start = np.stack([np.maximum(delay - ratio * tau1 / 2.0, 0.0), np.log(tau1), np.log(ratio * tau1)])
            p, cost = _least_squares(test, kind, start, iterations)
            if best is not None:
                keep = best[1] <= cost
                p, cost = np.where(keep, best[0], p), np.where(keep, best[1], cost)
            best = p, cost
        p, cost = best
    else:
        # A line through the second half of the response, back to the baseline.
        late = test.t[:, None] >= (test.t_step + test.t[-1]) / 2.0
        count = late.sum(axis=0)
        tm = (test.t[:, None] * late).sum(axis=0) / count
        ym = (test.y * late).sum(axis=0) / count
        dt = (test.t[:, None] - tm) * late
        with np.errstate(divide="ignore", invalid="ignore"):  # one late sample, or a flat end
            slope = (dt * (test.y - ym)).sum(axis=0) / (dt * dt).sum(axis=0)
            cross = tm - (ym - test.baseline) / slope
        delay = np.clip(np.nan_to_num(cross - test.t_step, nan=0.0), 0.0, test.t[-1] - test.t_step)
        p, cost = _least_squares(test, kind, delay[None, :], iterations)
    _, cost, gain = _residual(test, kind, p)
    rms = np.sqrt(cost / test.y.shape[0])
    if kind == "integrating":
        change = np.abs(gain * _basis(test, kind, p)[-1])  # over the record
    else:
        change = np.abs(gain * test.net)  # to the final steady state
    with np.errstate(divide="ignore", invalid="ignore"):
        error = rms / change
    refusal = _refuse(
        ~(change > RESPONDS * rms), test.shape,
        lambda c: f"y does not respond to u: the fitted {_NAMES[kind]} changes by {float(change[c]):.3g}, "
        f"less than {RESPONDS:g} times the residual's RMS {float(rms[c]):.3g}",
    )
    if refusal is None and kind != "integrating":
        reached = _rise(kind, np.maximum(test.t[-1] - test.t_step - p[0], 0.0), p[1:])
        refusal = _refuse(
            reached < SETTLED, test.shape,
            lambda c: f"y has not settled: the fitted {_NAMES[kind]} reaches only {100 * float(reached[c]):.0f} % "
            f"of its change by the end of the record (an integrating process? see identify_integrating)",
        )
    return p, cost, gain, error, refusal


def _model(kind, test, p, gain):
    shape = test.shape
    if kind == "fopdt":
        return FOPDT(gain.reshape(shape), np.exp(p[1]).reshape(shape), p[0].reshape(shape))
    if kind == "sopdt":
        tau = np.exp(p[1:3])
        return SOPDT(gain.reshape(shape), tau.max(axis=0).reshape(shape), tau.min(axis=0).reshape(shape),
                     p[0].reshape(shape))
    return Integrating(gain.reshape(shape), p[0].reshape(shape))


def _one(kind, t, u, y, iterations):
    test = _StepTest(t, u, y)
    p, _, gain, error, refusal = _fit(test, kind, _values.count("iterations", iterations, 0))
    if refusal is not None:
        raise ValueError(refusal)
    return _model(kind, test, p, gain), error.reshape(test.shape)


# The parts the identify_* docstrings share, put in where a line says {name}.
_SHARED = {
    "parameters": """
        Parameters
        ----------
        t : array_like or None
            The sample times, increasing: seconds, or datetimes or durations
            (NumPy's or pandas', a ``DatetimeIndex`` among them), counted in
            seconds from the first sample. None takes them from `y`'s index.
        u : array_like
            The input, broadcastable to `y`'s shape; ``u[0]`` is the input
            before the step, and it is held between samples.
        y : array_like
            The plant output, of shape ``(steps,)`` or ``(steps, *shape)``.
            Any of `t`, `u`, `y` may be a pandas ``Series`` or ``DataFrame``
            (columns as channels, in their order; a ``Series`` `u` drives
            every channel), without pandas being needed otherwise.
        iterations : int, optional
            The most Levenberg-Marquardt iterations per channel.
    """,
    "raises": """
        Raises
        ------
        ValueError
            Naming the first channel (its index) where the input does not
            change, is not a step (it ends less than half its largest move
            away from ``u[0]``: a pulse) or steps less than 4 samples before
            the end, or where the output does not respond (the fitted change
            is below 3 times the residual's RMS){settled}
    """,
    "fit": """
        The baseline is anchored on the output before the input first moves
        (``y[0]`` up to the step's own sample, averaged), so the gain does not
        depend on how much record precedes the step. The fit is least squares
        on the sampled response to the held input, exact at the samples,
        ``y0 + K*sum_j du_j*r(t - t_j - L)`` over the input's steps ``du_j`` at
        ``t_j`` (``r`` the model's unit step response, 0 before its delay
        ``L``): Levenberg-Marquardt on the delay and the log time constants,
        with ``K`` solved linearly at each point.
    """,
}

_SETTLED = """,
    or where it has not settled: the fitted model reaches less than 63.2 %
    of its change by the end of the record, as a ramp or a process too slow
    for the record does."""


def identify_fopdt(t, u, y, *, iterations=60):
    """A FOPDT model per channel from a step test.

    {parameters}

    Returns
    -------
    model : kovar.sim.FOPDT
        Parameters of the channels' shape (0-d for a 1-D `y`).
    fit_error : numpy.ndarray
        The root-mean-square residual relative to the model's output change
        ``|K*(u[-1] - u[0])|``.

    {raises}

    Notes
    -----
    {fit}

    The fit starts from the two-point method: with the output change
    normalised to 0..1, ``T = 1.5*(t63 - t28)`` and ``L = t63 - T - t_step``
    from the times it first reaches 28.3% and 63.2%.

    Examples
    --------
    >>> from kovar.sim import FOPDT, step_test
    >>> from kovar.tune import identify_fopdt
    >>> t, u, y = step_test(FOPDT([2.0, -1.0], tau=4.0, delay=0.5), dt=0.1, steps=600)
    >>> model, fit_error = identify_fopdt(t, u, y)
    >>> model.gain.round(4).tolist(), model.tau.round(4).tolist(), model.delay.round(4).tolist()
    ([2.0, -1.0], [4.0, 4.0], [0.5, 0.5])
    """
    return _one("fopdt", t, u, y, iterations)


def identify_sopdt(t, u, y, *, iterations=60):
    """A SOPDT model per channel from a step test,
    ``K*exp(-L*s)/((tau1*s + 1)*(tau2*s + 1))`` with ``tau1 >= tau2``.

    {parameters}

    Returns
    -------
    model : kovar.sim.SOPDT
        Parameters of the channels' shape (0-d for a 1-D `y`).
    fit_error : numpy.ndarray
        The root-mean-square residual relative to the model's output change
        ``|K*(u[-1] - u[0])|``.

    {raises}

    Notes
    -----
    {fit}

    The fit starts from the FOPDT fit, split into two lags by the half rule
    read backwards, once with a short second lag (a tenth of the first) and
    once with a long one (0.6 of it); the better fit is kept per channel.
    A first-order process gives a ``tau2`` near its lower bound, a
    thousandth of a sample. The delay and ``tau2`` trade against each other
    under noise: their sum is better determined than either.

    Examples
    --------
    >>> from kovar.sim import SOPDT, step_test
    >>> from kovar.tune import identify_sopdt
    >>> t, u, y = step_test(SOPDT(2.0, tau1=4.0, tau2=1.0, delay=0.5), dt=0.1, steps=600)
    >>> model, fit_error = identify_sopdt(t, u, y)
    >>> [round(float(v), 4) for v in (model.gain, model.tau1, model.tau2, model.delay)]
    [2.0, 4.0, 1.0, 0.5]
    """
    return _one("sopdt", t, u, y, iterations)


def identify_integrating(t, u, y, *, iterations=60):
    """An integrating model per channel from a step test,
    ``Kv*exp(-L*s)/s``: the output ramps at ``Kv`` per unit of input step.

    {parameters}

    Returns
    -------
    model : kovar.sim.Integrating
        Parameters of the channels' shape (0-d for a 1-D `y`).
    fit_error : numpy.ndarray
        The root-mean-square residual relative to the model's output change
        over the record.

    {raises}

    Notes
    -----
    {fit}

    The fit starts from a line through the second half of the response
    after the step, ``L`` where it meets the baseline.

    Examples
    --------
    A level that ramps after the step, which no FOPDT fits:

    >>> from kovar.sim import Integrating, step_test
    >>> from kovar.tune import identify_fopdt, identify_integrating
    >>> t, u, y = step_test(Integrating(0.5, delay=1.0), dt=0.1, steps=200)
    >>> model, fit_error = identify_integrating(t, u, y)
    >>> round(float(model.gain), 4), round(float(model.delay), 4)
    (0.5, 1.0)
    >>> identify_fopdt(t, u, y)
    Traceback (most recent call last):
      ...
    ValueError: y has not settled: the fitted FOPDT reaches only 0 % of its change by the end of the record (an integrating process? see identify_integrating)
    """
    return _one("integrating", t, u, y, iterations)


def identify(t, u, y, *, models=("fopdt", "sopdt", "integrating"), iterations=60):
    """The model that fits a step test best, among `models`.

    Each of `models` ("fopdt", "sopdt", "integrating") is fitted as by its
    ``identify_*`` function; a kind refused on some channel is left out.
    A plant bank has one kind, so the kind is chosen for all channels at
    once: the lowest Akaike criterion summed over channels,
    ``sum(n*log(rss/n) + 2*k)``, over the ``n`` samples with ``k`` the
    model's parameters (3, 4 and 2), the residual's RMS taken as at least
    a millionth of the output's range (so that noise-free fits of the
    process's own kind tie, and the fewer parameters win). To choose per
    channel, call it per channel.

    {parameters}
    models : sequence of str, optional
        The kinds to try, among "fopdt", "sopdt" and "integrating" (all
        three by default; one name alone is taken as a sequence of one).

    Returns
    -------
    model : kovar.sim.FOPDT, kovar.sim.SOPDT or kovar.sim.Integrating
        Parameters of the channels' shape (0-d for a 1-D `y`).
    fit_error : numpy.ndarray
        As the chosen kind's ``identify_*`` function gives it.

    Raises
    ------
    ValueError
        As the ``identify_*`` functions; where every kind is refused on
        some channel, with each kind's reason; where `models` is empty or
        names another kind.

    Examples
    --------
    >>> from kovar.sim import SOPDT, step_test
    >>> from kovar.tune import identify
    >>> t, u, y = step_test(SOPDT(2.0, tau1=4.0, tau2=1.0, delay=0.5), dt=0.1, steps=600)
    >>> type(identify(t, u, y)[0]).__name__, type(identify(t, u, y, models="fopdt")[0]).__name__
    ('SOPDT', 'FOPDT')
    """
    if isinstance(models, str):
        models = (models,)
    models = tuple(models)
    for kind in models:
        if kind not in _PARAMETERS:
            raise ValueError(f"models must name 'fopdt', 'sopdt' or 'integrating', not {kind!r}")
    if not models:
        raise ValueError("models must name at least one model")
    iterations = _values.count("iterations", iterations, 0)
    test = _StepTest(t, u, y)
    steps = test.y.shape[0]
    floor = (1e-6 * np.ptp(test.y, axis=0)) ** 2
    best, refusals = None, []
    for kind in dict.fromkeys(models):
        p, cost, gain, error, refusal = _fit(test, kind, iterations)
        if refusal is not None:
            refusals.append(f"{kind}: {refusal}")
            continue
        score = (steps * np.log(np.maximum(cost / steps, floor)) + 2 * _PARAMETERS[kind]).sum()
        if best is None or score < best[0]:
            best = score, _model(kind, test, p, gain), error.reshape(test.shape)
    if best is None:
        raise ValueError("no model fits every channel; " + "; ".join(refusals))
    return best[1], best[2]


def _with_shared(doc, settled):
    # At the docstring's own indentation (none where the compiler strips it).
    for line in doc.splitlines():
        name = line.strip()[1:-1]
        if line.strip().startswith("{") and name in _SHARED:
            text = textwrap.dedent(_SHARED[name]).strip("\n").format(settled=settled)
            doc = doc.replace(line, textwrap.indent(text, line[: line.index("{")]))
    return doc


for _function in (identify_fopdt, identify_sopdt, identify_integrating, identify):
    if _function.__doc__:  # None under -OO
        _function.__doc__ = _with_shared(_function.__doc__, _SETTLED if _function in (identify_fopdt, identify_sopdt) else ".")
