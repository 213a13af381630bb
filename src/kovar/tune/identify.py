"""FOPDT models from step tests, per channel."""

import numpy as np

from kovar import _values
from kovar.sim.plants import FOPDT

__all__ = ["identify_fopdt"]


def _step_basis(t, changes, du, tau, delay):
    """The sampled response of ``exp(-delay*s)/(tau*s + 1)`` to the
    piecewise-constant input whose steps `du` (changes x channels) occur at
    times ``t[changes]``, from rest; exact at the samples for a
    zero-order-hold input. tau and delay: one per channel."""
    out = np.zeros((t.shape[0], tau.shape[0]))
    for j, k in enumerate(changes):
        since = t[:, None] - t[k] - delay
        with np.errstate(over="ignore"):
            rise = -np.expm1(-np.maximum(since, 0.0) / tau)
        out += du[j] * rise
    return out


def _project(y, basis):
    """The least-squares y0 and K of ``y0 + K*basis`` per channel, and the
    residual."""
    m = basis.mean(axis=0)
    ym = y.mean(axis=0)
    centred = basis - m
    spread = (centred * centred).sum(axis=0)
    with np.errstate(divide="ignore", invalid="ignore"):
        gain = np.where(spread > 0.0, (centred * (y - ym)).sum(axis=0) / spread, 0.0)
    y0 = ym - gain * m
    return y0, gain, y - y0 - gain * basis


def _cost(t, changes, du, y, log_tau, delay):
    _, _, r = _project(y, _step_basis(t, changes, du, np.exp(log_tau), np.maximum(delay, 0.0)))
    return r, (r * r).sum(axis=0)


def _crossing(t, z, level):
    """The first time z reaches `level`, interpolated between samples (NaN
    if never)."""
    above = z >= level
    k = np.argmax(above, axis=0)
    found = above[k, np.arange(z.shape[1])]
    k0 = np.maximum(k - 1, 0)
    cols = np.arange(z.shape[1])
    z0, z1 = z[k0, cols], z[k, cols]
    with np.errstate(divide="ignore", invalid="ignore"):
        frac = np.where((k > 0) & (z1 != z0), (level - z0) / (z1 - z0), 1.0)
    at = t[k0] + np.clip(frac, 0.0, 1.0) * (t[k] - t[k0])
    return np.where(found, at, np.nan)


def identify_fopdt(t, u, y, *, iterations=60):
    """A FOPDT model per channel from a step test.

    `t` holds the sample times (increasing), `y` the plant output of shape
    ``(steps,)`` or ``(steps, *shape)``, `u` the input, broadcastable to
    ``y``'s shape (``u[0]`` is the input before the step; it is held
    between samples). The start is the two-point method: with the output
    change normalised to 0..1, ``T = 1.5*(t63 - t28)`` and
    ``L = t63 - T - t_step`` from the times it first reaches 28.3% and
    63.2%. It is refined by least squares on the sampled zero-order-hold
    response ``y0 + K*sum_j du_j*(1 - exp(-(t - t_j - L)/T))`` (over the
    input's steps ``du_j`` at ``t_j``, for ``t > t_j + L``): Levenberg-
    Marquardt on ``(log T, L)``, with ``y0`` and ``K`` solved linearly at
    each point. Returns ``(model, fit_error)``: a :class:`kovar.sim.FOPDT`
    with parameters of the channels' shape (0-d for a 1-D `y`), and the
    root-mean-square residual relative to the model's output change.
    """
    t = _values.finite("t", t)
    y = _values.finite("y", y)
    u = _values.finite("u", u)
    if t.ndim != 1:
        raise ValueError(f"t must be one-dimensional, not of shape {t.shape}")
    steps = t.shape[0]
    if steps < 4:
        raise ValueError(f"a step test needs at least 4 samples, not {steps}")
    if not np.all(np.diff(t) > 0.0):
        raise ValueError("t must be increasing")
    if y.ndim == 0 or y.shape[0] != steps:
        raise ValueError(f"y has shape {y.shape}, but t has {steps} samples")
    try:
        full = np.broadcast_shapes(u.shape, y.shape)
    except ValueError:
        raise ValueError(f"u has shape {u.shape}, which does not broadcast to y's shape {y.shape}") from None
    if full != y.shape:
        raise ValueError(f"u has shape {u.shape}, which does not broadcast to y's shape {y.shape}")
    shape = y.shape[1:]
    y2 = y.reshape(steps, -1)
    u2 = np.broadcast_to(u, y.shape).reshape(steps, -1)
    du_all = np.diff(u2, axis=0)
    moved = du_all != 0.0
    still = ~moved.any(axis=0)
    if still.any():
        index = np.unravel_index(int(np.flatnonzero(still)[0]), shape) if shape else ()
        where = f" (index {tuple(int(i) for i in index)})" if shape else ""
        raise ValueError(f"u must change during the test{where}")
    changes = np.flatnonzero(moved.any(axis=1)) + 1
    du = du_all[changes - 1]

    # Two-point start from the whole change of input and output.
    first = np.argmax(moved, axis=0) + 1
    t_step = t[first]
    tail = max(1, steps // 20)
    y0 = y2[0]
    dy = y2[-tail:].mean(axis=0) - y0
    with np.errstate(divide="ignore", invalid="ignore"):
        z = (y2 - y0) / dy
    t28, t63 = _crossing(t, z, 0.283), _crossing(t, z, 0.632)
    span = t[-1] - t_step
    tau = 1.5 * (t63 - t28)
    tau = np.where(np.isfinite(tau) & (tau > 0.0), tau, span / 5.0)
    delay = np.clip(np.nan_to_num(t63 - tau - t_step, nan=0.0), 0.0, span)

    # Time constants from a thousandth of a sample to a thousand records.
    log_tau_range = (np.log(np.diff(t).min() * 1e-3), np.log((t[-1] - t[0]) * 1e3))
    params = np.stack([np.clip(np.log(tau), *log_tau_range), delay])
    r, cost = _cost(t, changes, du, y2, params[0], params[1])
    damping = np.full(y2.shape[1], 1e-3)
    scale = np.array([1e-6, 1e-6 * max(float(t[-1] - t[0]), 1e-300)])
    for _ in range(iterations):
        jac = np.empty((2, *r.shape))
        for i in range(2):
            moved_params = params.copy()
            moved_params[i] += scale[i]
            r_i, _ = _cost(t, changes, du, y2, moved_params[0], moved_params[1])
            jac[i] = (r_i - r) / scale[i]
        a = np.einsum("isn,jsn->ijn", jac, jac)
        g = np.einsum("isn,sn->in", jac, r)
        a00 = a[0, 0] * (1.0 + damping)
        a11 = a[1, 1] * (1.0 + damping)
        det = a00 * a11 - a[0, 1] * a[1, 0]
        with np.errstate(divide="ignore", invalid="ignore"):
            step = np.stack([(-a11 * g[0] + a[0, 1] * g[1]) / det, (a[1, 0] * g[0] - a00 * g[1]) / det])
        step = np.where(np.isfinite(step), step, 0.0)
        trial = params + step
        trial[0] = np.clip(trial[0], log_tau_range[0], log_tau_range[1])
        trial[1] = np.clip(trial[1], 0.0, t[-1] - t[0])
        r_trial, cost_trial = _cost(t, changes, du, y2, trial[0], trial[1])
        better = cost_trial < cost
        params = np.where(better, trial, params)
        r = np.where(better, r_trial, r)
        cost = np.where(better, cost_trial, cost)
        damping = np.where(better, damping / 3.0, damping * 4.0)

    tau, delay = np.exp(params[0]), np.maximum(params[1], 0.0)
    y0_fit, gain, r = _project(y2, _step_basis(t, changes, du, tau, delay))
    change = np.abs(gain * (u2[-1] - u2[0]))
    with np.errstate(divide="ignore", invalid="ignore"):
        error = np.sqrt((r * r).mean(axis=0)) / change
    model = FOPDT(gain.reshape(shape), tau.reshape(shape), delay.reshape(shape))
    return model, error.reshape(shape)
