"""What a relay experiment found, per channel: the ultimate gain and period
and a FOPDT model, computed from the per-channel relay state that the
bank's relay mode keeps (the fields in FIELDS, as arrays of the bank's
shape).

The model is Berner's (2017) from the asymmetric relay: the static gain from
the integrals of the input and the output over whole periods, the
normalised time delay from the ratio of the half-periods, the time constant
from the on half-period of the exact FOPDT relay response, and the delay
from both; the delay the sampling adds to each switch, measured by the
relay, is taken off the delay.
"""

import math

import numpy as np

# State codes and failure reasons, as the relay state stores them.
STATES = ("off", "running", "done", "failed")
REASONS = ("", "max_time exceeded", "non-finite input", "stalled: no switch for 10 half-periods",
           "stopped by stop_relay()", "stopped by set_manual()", "stopped by reset()")

# The relay state of one channel, in the order the native state lays it
# out and pickles it: (name, kind), kind "int" (small integers) or "float".
FIELDS = (
    # The experiment's parameters.
    ("relay_state", "int"), ("reason", "int"), ("sign", "int"), ("estimate", "int"),
    ("cycles", "int"), ("bias", "float"), ("u_on", "float"), ("u_off", "float"),
    ("eps", "float"), ("max_time", "float"),
    # Where it is.
    ("on", "int"), ("calls", "int"), ("switches", "int"), ("noise_n", "int"), ("run", "int"),
    ("time", "float"), ("h_max", "float"), ("y0", "float"), ("e0", "float"),
    ("y1", "float"), ("y2", "float"), ("e1", "float"), ("noise_sum", "float"), ("sigma", "float"),
    ("t_cross", "float"), ("t_half_max", "float"),
    # The current period.
    ("t_on", "float"), ("lag_on", "float"), ("lag_off", "float"), ("y_start", "float"),
    ("iu", "float"), ("iu_on", "float"), ("iy", "float"), ("h_all", "float"), ("h_on", "float"),
    ("y_max", "float"), ("y_min", "float"),
    # The run of periods that agree.
    ("y_run", "float"), ("y_end", "float"),
    ("sum_t_on", "float"), ("sum_t_off", "float"), ("sum_amp", "float"), ("sum_iu", "float"),
    ("sum_iu_on", "float"), ("sum_iy", "float"), ("sum_h", "float"), ("sum_h_on", "float"), ("sum_lag_on", "float"), ("sum_lag_off", "float"),
    ("min_t_on", "float"), ("max_t_on", "float"), ("min_t_off", "float"), ("max_t_off", "float"),
    ("min_amp", "float"), ("max_amp", "float"),
)

# Where the input's integral over the run is below this fraction of the
# integral of |u - bias|, the gain Iy/Iu is 0/0 to rounding: a sampled
# cycle can lock with its input balanced (5 samples at +1 and 6 at -1/1.2).
MIN_NET_INPUT = 1e-4

# Below this ratio of the applied levels the relay is taken as symmetric:
# the input's integral over a period is then about 0 and the normalised
# delay's formula 0/0, so there is no model (ku and tu only).
MIN_ASYMMETRY = 1.05

# Why a done channel has no model.
NO_MODEL_SYMMETRIC = "no model: symmetric relay (ku and tu only)"
NO_MODEL_GAIN = "no model: the gain's sign does not match the controller's direction"
NO_MODEL_BALANCED = ("no model: the input's integral over the periods is about 0 (a larger asymmetry "
                     "or a shorter dt gives one)")
NO_MODEL_FIT = "no model: no FOPDT relay cycle has these half-periods"


def _text(codes, names):
    """The names of integer codes (an unknown code reads "unknown")."""
    table = np.array((*names, "unknown"))
    codes = np.asarray(codes, dtype=np.int64)
    index = np.where((codes >= 0) & (codes < len(names)), codes, len(names))
    return table[index.reshape(-1)].reshape(codes.shape)


class RelayResult:
    """The outcome of a relay experiment, per channel (arrays of the bank's
    shape), as ``PIDBank.relay_result()`` returns it.

    Attributes
    ----------
    state : numpy.ndarray of str
        ``"off"`` (never in relay mode), ``"running"``, ``"done"`` or
        ``"failed"``.
    reason : numpy.ndarray of str
        Why a channel failed (``"max_time exceeded"``, ``"non-finite
        input"``, ``"stalled: ..."``, ``"stopped by stop_relay()"`` and the
        like), or why a done channel has no model;
        ``""`` otherwise.
    ku, tu : numpy.ndarray
        The ultimate gain (by the describing function, ``4*d/(pi*a)``,
        with the sign of the controller's direction) and period; NaN where
        not done.
    model : kovar.sim.FOPDT
        The identified model, NaN where not done or where no model came out
        (see `reason`).
    t_on, t_off, amplitude : numpy.ndarray
        The measured half-periods and the measurement's half peak-to-peak
        amplitude, averaged over the periods that agreed; NaN where not done.
    d_on, d_off : numpy.ndarray
        The relay's applied levels (after the output limits) as deviations
        from the bias, both positive; NaN where not done.
    hysteresis, noise : numpy.ndarray
        The hysteresis in force and the measurement noise estimated before
        the first switch (standard deviation); NaN where off.
    periods : numpy.ndarray of int
        The periods in the run that agreed (``cycles`` where done).
    time : numpy.ndarray
        The experiment's time so far (the sum of the relay calls' dt).

    Examples
    --------
    A live loop: the relay runs inside ``update``, once per period.

    >>> import numpy as np
    >>> from kovar.bank import PIDBank
    >>> from kovar.sim import FOPDT
    >>> bank = PIDBank(1, kp=1.0, ki=0.5)
    >>> plant = FOPDT(gain=[1.0], tau=[10.0], delay=[2.0]).discretize(0.05).start(0.0)
    >>> y = plant.step(bank.update(0.0, 0.0, 0.05))  # at rest: the output to start from
    >>> bank.start_relay(0.5, asymmetry=1.4)
    >>> for _ in range(4000):
    ...     y = plant.step(bank.update(0.0, y, 0.05))
    >>> result = bank.relay_result()
    >>> result.state, result.model.tau.round(1)
    (array(['done'], dtype='<U...'), array([10.]))
    """

    def __init__(self, fields):
        self._fields = {name: np.array(fields[name], dtype=np.int64 if kind == "int" else np.float64)
                        for name, kind in FIELDS}
        self._compute()

    @property
    def shape(self):
        """The bank's shape."""
        return self.state.shape

    @property
    def done(self):
        """Where the experiment is done: ``bank.set_params(where=result.done, **gains)``."""
        return self.state == "done"

    def __reduce__(self):
        return (RelayResult, (self._fields,))

    def __repr__(self):
        counts = {s: int(np.count_nonzero(self.state == s)) for s in STATES}
        inner = ", ".join(f"{n} {s}" for s, n in counts.items() if n)
        return f"<RelayResult, shape {self.shape}: {inner or 'no channel'}>"

    def _compute(self):
        f = self._fields
        state = f["relay_state"]
        shape = state.shape
        done = state == 2
        self.state = _text(state, STATES)
        reason = _text(np.where(state == 3, f["reason"], 0), REASONS).astype("<U80")

        nan = np.full(shape, np.nan)
        n = np.where(done, f["run"], 1).astype(np.float64)
        sign = np.where(f["sign"] < 0, -1.0, 1.0)
        with np.errstate(all="ignore"):
            t_on = np.where(done, f["sum_t_on"] / n, nan)
            t_off = np.where(done, f["sum_t_off"] / n, nan)
            amp = np.where(done, f["sum_amp"] / n, nan)
            d_on = np.where(done, f["sum_iu_on"] / f["sum_h_on"], nan)
            d_off = np.where(done, (f["sum_iu_on"] - f["sum_iu"]) / (f["sum_h"] - f["sum_h_on"]), nan)
            # The describing function of a relay swinging d_on + d_off:
            # d = (d_on + d_off)/2 against the measurement's a.
            ku = sign * (4.0 * ((d_on + d_off) * 0.5) / (math.pi * amp))
            tu = t_on + t_off
            gamma = np.maximum(d_on, d_off) / np.minimum(d_on, d_off)
            gain, t, big_l = fopdt_from_relay(
                t_on, t_off, d_on, d_off, sign, f["e0"] - f["eps"], f["e0"] + f["eps"],
                f["sum_iu"], f["sum_iy"], f["y_end"] - f["y_run"],
                f["sum_lag_on"] / n, f["sum_lag_off"] / n)
            kw = sign * gain
            # |Iu| against the integral of |u - bias| (on part plus off part).
            net = np.abs(f["sum_iu"]) / (2.0 * f["sum_iu_on"] - f["sum_iu"])

        # Why a done channel has no model, the first that applies.
        left = done.copy()
        for bad, text in ((~(gamma >= MIN_ASYMMETRY), NO_MODEL_SYMMETRIC),
                          (~(net >= MIN_NET_INPUT), NO_MODEL_BALANCED),
                          (~(kw > 0.0), NO_MODEL_GAIN),
                          (~(np.isfinite(t) & (t > 0.0) & np.isfinite(big_l)), NO_MODEL_FIT)):
            reason[left & bad] = text
            left &= ~bad
        modelled = left

        from kovar.sim.plants import FOPDT

        self.reason = reason
        self.ku, self.tu = np.where(done, ku, nan), np.where(done, tu, nan)
        self.model = FOPDT._unchecked(np.where(modelled, gain, nan), np.where(modelled, t, nan),
                                      np.where(modelled, big_l, nan))
        self.t_on, self.t_off, self.amplitude = t_on, t_off, amp
        self.d_on, self.d_off = d_on, d_off
        running = state != 0
        self.hysteresis = np.where(running, f["eps"], nan)
        self.noise = np.where(running, f["sigma"], nan)
        self.periods = np.where(done, f["run"], 0)
        self.time = f["time"].copy()
        for value in (self.state, self.reason, self.ku, self.tu, self.t_on, self.t_off, self.amplitude,
                      self.d_on, self.d_off, self.hysteresis, self.noise, self.periods, self.time):
            value.flags.writeable = False


def _berner_tau(t_on, t_off, d_on, d_off):
    """Berner's normalised delay L/(L + T) from the asymmetry gamma and the
    half-period ratio rho (both max/min), at least 0 (rho above gamma: no
    delay seen)."""
    gamma = np.maximum(d_on, d_off) / np.minimum(d_on, d_off)
    rho = np.maximum(t_on, t_off) / np.minimum(t_on, t_off)
    return np.maximum((gamma - rho) / ((gamma - 1.0) * (0.35 * rho + 0.65)), 0.0)


def _half_periods(t, big_l, k, d_on, d_off, lo, hi, lag_on, lag_off):
    """The exact FOPDT relay half-periods for time constant t, delay big_l
    and gain k > 0 (in w = sign*(y - y0), the relay on below lo and off
    above hi), each switch `lag` after its crossing; and their derivatives
    in t and big_l.

    On from the crossing of lo: the off level acts for lo_on = big_l + lag_on
    more, w reaching w1 = -k*d_off + (lo + k*d_off)*exp(-lo_on/t), then rises
    towards k*d_on and crosses hi: t_on = lo_on + t*ln((k*d_on - w1)/(k*d_on - hi)).
    The off half is its mirror."""
    swing = k * (d_on + d_off)
    out = []
    for delay, start, end in ((big_l + lag_on, lo + k * d_off, k * d_on - hi),
                              (big_l + lag_off, k * d_on - hi, k * d_off + lo)):
        lam = delay / t
        decay = start * np.exp(-lam)
        log_r = np.log((swing - decay) / end)
        q = decay / (swing - decay)
        out.append((delay + t * log_r, log_r - q * lam, 1.0 + q))
    return out


def fopdt_from_relay(t_on, t_off, d_on, d_off, sign, lo, hi, iu, iy, dy, lag_on, lag_off, iterations=3):
    """Gain, time constant and delay of the FOPDT whose relay cycle has the
    measured half-periods (arrays; NaN where there is none).

    The gain is Iy/Iu over whole periods, corrected by T*dy for the
    measurement's change between the first and the last switch (exact for a
    FOPDT: T*y' = K*u(t - L) - y integrates to Iy = K*Iu - T*dy, the input
    before each switch on being the off level for the whole delay). Berner's
    normalised delay gives the start; then T and L solve the exact half-period
    equations (Newton's method), and the gain is corrected again with the new
    T, `iterations` times."""
    tau = _berner_tau(t_on, t_off, d_on, d_off)
    lam = tau / (1.0 - tau)
    gain = iy / iu
    t = big_l = None
    for _ in range(iterations):
        k = sign * gain
        if t is None:
            # Berner: T from the on half-period with L = T*lam.
            swing = k * (d_on + d_off)
            ratio = (swing - (lo + k * d_off) * np.exp(-lam)) / (k * d_on - hi)
            t = t_on / (lam + np.log(ratio))
            big_l = np.maximum(t * lam - lag_on, 0.0)
        for _ in range(12):
            (g_on, dt_on, dl_on), (g_off, dt_off, dl_off) = _half_periods(
                t, big_l, k, d_on, d_off, lo, hi, lag_on, lag_off)
            g_on, g_off = g_on - t_on, g_off - t_off
            det = dt_on * dl_off - dl_on * dt_off
            step_t = (g_on * dl_off - dl_on * g_off) / det
            step_l = (dt_on * g_off - g_on * dt_off) / det
            new_t = t - step_t
            t = np.where(new_t > 0.0, new_t, 0.5 * t)
            big_l = np.maximum(big_l - step_l, -np.minimum(lag_on, lag_off))
        gain = (iy + t * dy) / iu
    return gain, t, np.maximum(big_l, 0.0)


def relay_result(fields):
    """The RelayResult of the relay state `fields`: a mapping from each name
    in FIELDS to an array of the bank's shape (what the bank's relay state
    holds). ``PIDBank.relay_result()`` calls this."""
    missing = [name for name, _ in FIELDS if name not in fields]
    if missing:
        raise ValueError(f"the relay state has no field '{missing[0]}'")
    return RelayResult(fields)
