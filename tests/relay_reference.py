"""The bank's relay mode in plain Python, one object per channel: a
bank_reference.Channel (the bank's law, used as it is where the channel is
not in relay mode) with the relay experiment added.

Every arithmetic step is written in the order a C++ loop takes it (IEEE
double, no FMA contraction, Python's min/max), so that a native relay gives
the same bits. The per-channel state is the fixed set of fields in
kovar._relay.FIELDS: doubles and small ints, no arrays, nothing allocated
per call.

The experiment, per channel (times are sums of the calls' dt; calls with
dt <= 0 advance nothing):

- start(amplitude, asymmetry, hysteresis, bias, cycles, max_time): the
  relay levels are ``u_on = bias + amplitude`` and ``u_off = bias -
  amplitude/asymmetry``, ``bias`` the current output when None (refused where
  the channel has none yet), the relay on. The direction ``sign`` is -1 for
  a reverse-acting channel (``kp < 0``, or ``kp == 0`` and ``ki < 0``), +1
  otherwise; the relay works on ``es = sign*(r - y)``.
- Each call in relay mode is a manual call of the bank's law whose manual
  value is the relay's level (output limits, rate window, the integral
  tracking the output), so leaving the relay is as bumpless as leaving
  manual mode.
- The first call with finite inputs and dt > 0 is time 0: it takes the
  operating point ``y0 = y`` and the offset ``e0 = es`` (the error at
  rest: 0 for a loop settled at its setpoint).
- The relay switches off when ``es < -eps`` and on when ``es > eps``. With
  hysteresis None, ``eps = HYSTERESIS_MULTIPLE*sigma`` where ``sigma`` is
  the measurement noise estimated, until the first switch, from the mean
  absolute second difference of the measurement (blind to a linear trend:
  ``E|y[k] - 2y[k-1] + y[k-2]| = sqrt(12/pi)*sigma`` for white Gaussian
  noise); the relay may not switch before NOISE_SAMPLES second differences
  are in, the first switch needs ``es < -FIRST_SWITCH*eps`` (a young
  estimate may be low), and eps is frozen at the first switch.
- Half-periods run from threshold crossing to threshold crossing: at a
  switch, the crossing is placed by linear interpolation between the last
  two calls, ``lag`` (the delay the sampling adds) before the switch.
- A period runs from a switch on to the next one, from the second switch
  on (the first switch ends the start's transient half-period). Over each
  period, between the switches: the integrals of ``u - bias`` (the output
  held since the last call, exactly) and of ``y - y0`` (trapezoid), the
  integral of ``u - bias`` and the time while on (the applied levels, after
  the limits), the measurement's extremes, and the lags of the switch on
  that starts it and of its switch off; the measurement at the switches
  that start and end a run of periods.
- Convergence: a run of consecutive periods whose on half-periods, off
  half-periods and amplitudes ``(max - min)/2`` each spread (max - min of
  the run) by at most ``TOLERANCE*max`` plus allowances: one sample (the
  longest dt of the experiment) and ``NOISE_ALLOWANCE*sigma*t/a`` for
  half-periods (the time noise shifts a switch by on a slope of about
  ``a/t``); ``NOISE_ALLOWANCE*sigma`` and ``2*a*dt/t`` (a switch one sample
  later) for amplitudes. A period that breaks the run starts a new one.
  After ``cycles`` periods in a run the channel is done.
- Failure: a non-finite r, y or ff ("non-finite input": the call is then
  the automatic mode's, which handles the failed input); the time past
  max_time; a half-period longer than STALL times the longest one since
  the first switch ("stalled": the loop stopped oscillating).
- Done or failed, the channel is back in automatic mode after that call,
  its integral having tracked the relay's output (the next call's output
  does not jump), with its gains as they were.
"""
import math

from bank_reference import Channel, clip
from kovar._relay import FIELDS

# States and reasons, as the native state stores them.
OFF, RUNNING, DONE, FAILED = 0, 1, 2, 3
NO_REASON, REASON_MAX_TIME, REASON_NON_FINITE, REASON_STALLED = 0, 1, 2, 3

HYSTERESIS_MULTIPLE = 4.0
NOISE_SAMPLES = 32
FIRST_SWITCH = 2.0
NOISE_SCALE = 1.9544100476116797  # sqrt(12/pi): E|second difference| over sigma
TOLERANCE = 0.05
NOISE_ALLOWANCE = 2.0
STALL = 10.0

class RelayChannel(Channel):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        for name, kind in FIELDS:
            setattr(self, name, 0 if kind == "int" else 0.0)

    def state(self):
        """The relay's fields, by name."""
        return {name: getattr(self, name) for name, _ in FIELDS}

    # ------------------------------------------------------------ start

    def start(self, amplitude, asymmetry=1.0, hysteresis=None, bias=None, cycles=4, max_time=None):
        if not (math.isfinite(amplitude) and amplitude > 0):
            raise ValueError(f"amplitude must be positive and finite, not {amplitude!r}")
        if not (math.isfinite(asymmetry) and asymmetry >= 1):
            raise ValueError(f"asymmetry must be at least 1 and finite, not {asymmetry!r}")
        if hysteresis is not None and not (math.isfinite(hysteresis) and hysteresis >= 0):
            raise ValueError(f"hysteresis must be non-negative and finite, not {hysteresis!r}")
        if bias is not None and not math.isfinite(bias):
            raise ValueError(f"bias must be finite, not {bias!r}")
        if cycles < 1:
            raise ValueError(f"cycles must be at least 1, not {cycles}")
        if max_time is not None and not max_time > 0:
            raise ValueError(f"max_time must be positive, not {max_time!r}")
        if bias is None:
            if self.fresh or not math.isfinite(self.output):
                raise ValueError("start_relay() without a bias starts from the current output, "
                                 "but the channel has none yet")
            bias = self.output
        for name, kind in FIELDS:
            setattr(self, name, 0 if kind == "int" else 0.0)
        self.relay_state, self.reason = RUNNING, NO_REASON
        self.sign = -1 if (self.kp < 0 or (self.kp == 0 and self.ki < 0)) else 1
        self.estimate = 1 if hysteresis is None else 0
        self.eps = 0.0 if hysteresis is None else hysteresis
        self.cycles = cycles
        self.max_time = math.inf if max_time is None else max_time
        self.bias = bias
        self.u_on = bias + amplitude
        self.u_off = bias - amplitude / asymmetry
        self.on = 1
        self.manual = False

    def stop(self):
        """Ends a running experiment (failed, no reason given: the caller's)."""
        if self.relay_state == RUNNING:
            self.relay_state = FAILED

    # ------------------------------------------------------------ the call

    def update(self, r, y, h, ff=None, track=None):
        if self.relay_state != RUNNING:
            return super().update(r, y, h, ff, track)
        ffv = 0.0 if ff is None else ff
        if not (math.isfinite(r) and math.isfinite(y) and math.isfinite(ffv)):
            self._finish(FAILED, REASON_NON_FINITE)
            return super().update(r, y, h, ff, track)
        if h > 0:
            self._advance(r, y, h)
        return self._manual_call(self.u_on if self.on else self.u_off, r, y, h, ff)

    def _manual_call(self, level, r, y, h, ff):
        """The bank's manual call with the relay's level as manual value
        (the channel's own manual value untouched)."""
        kept = self.manual_value
        self.manual, self.manual_value = True, level
        u = Channel.update(self, r, y, h, ff, None)
        self.manual, self.manual_value = False, kept
        return u

    def _finish(self, state, reason):
        self.relay_state, self.reason = state, reason

    def _advance(self, r, y, h):
        es = (r - y) if self.sign > 0 else -(r - y)
        if self.calls == 0:
            # Time 0: the operating point. The interval this call closes was
            # held at the output before the relay.
            self.calls = 1
            self.y0, self.e0 = y, es
            self.y1 = self.y2 = y
            self.e1 = es
            self.y_max = self.y_min = y
            return
        self.calls += 1
        t_prev = self.time
        t = t_prev + h
        self.time = t
        self.h_max = max(self.h_max, h)

        # The integrals over [t_prev, t]: u held at the last output, y by
        # the trapezoid.
        du = self.output - self.bias
        self.iu = self.iu + du * h
        self.h_all = self.h_all + h
        if self.on:
            self.iu_on = self.iu_on + du * h
            self.h_on = self.h_on + h
        self.iy = self.iy + (0.5 * h) * ((self.y1 - self.y0) + (y - self.y0))
        self.y_max = max(self.y_max, y)
        self.y_min = min(self.y_min, y)

        if self.switches == 0:
            if self.calls >= 3:
                d2 = (y - self.y1) - (self.y1 - self.y2)
                self.noise_sum = self.noise_sum + abs(d2)
                self.noise_n += 1
            if self.noise_n > 0:
                self.sigma = (self.noise_sum / self.noise_n) / NOISE_SCALE
            if self.estimate:
                self.eps = HYSTERESIS_MULTIPLE * self.sigma

        eps = self.eps
        first = self.switches == 0
        blocked = first and self.estimate and self.noise_n < NOISE_SAMPLES
        e1 = self.e1
        if self.on and es < -(FIRST_SWITCH * eps if first and self.estimate else eps) and not blocked:
            # Where between the last two calls es crossed -eps: the switch
            # comes `lag` after the crossing.
            f = (e1 + eps) / (e1 - es) if e1 - es > 0 else 0.0
            self._switch(t, h * (1.0 - clip(f, 0.0, 1.0)), y)
        elif not self.on and es > eps:
            f = (eps - e1) / (es - e1) if es - e1 > 0 else 0.0
            self._switch(t, h * (1.0 - clip(f, 0.0, 1.0)), y)
        elif self.switches >= 2 and t - self.t_cross > STALL * self.t_half_max:
            self._finish(FAILED, REASON_STALLED)
        if self.relay_state == RUNNING and t > self.max_time:
            self._finish(FAILED, REASON_MAX_TIME)
        self.y2, self.y1, self.e1 = self.y1, y, es

    def _switch(self, t, lag, y):
        """A switch at the call at time t, the threshold crossed `lag`
        before: half-periods run from crossing to crossing, the integrals
        from switch to switch."""
        t_cross = t - lag
        half = t_cross - self.t_cross
        self.t_cross = t_cross
        self.switches += 1
        if self.switches >= 2:
            self.t_half_max = max(self.t_half_max, half)
        if self.on:
            self.on = 0
            self.t_on, self.lag_off = half, lag
            return
        self.on = 1
        if self.switches >= 4:
            self._period(half, y)
        # A period starts.
        self.iu = self.iu_on = self.iy = self.h_all = self.h_on = 0.0
        self.y_max = self.y_min = self.y_start = y
        self.lag_on = lag

    def _period(self, t_off, y):
        t_on, amp = self.t_on, (self.y_max - self.y_min) * 0.5
        if self.run > 0:
            lo_on, hi_on = min(self.min_t_on, t_on), max(self.max_t_on, t_on)
            lo_off, hi_off = min(self.min_t_off, t_off), max(self.max_t_off, t_off)
            lo_a, hi_a = min(self.min_amp, amp), max(self.max_amp, amp)
            lo_t = min(lo_on, lo_off)
            noise = NOISE_ALLOWANCE * self.sigma
            step = self.h_max
            # Spreads within TOLERANCE*max plus allowances, multiplied out
            # (no division): one sample and noise*t/a for half-periods; for
            # amplitudes the noise and what a switch one sample later adds,
            # about 2*a*step/t.
            agree = (
                (hi_on - lo_on) * lo_a <= (TOLERANCE * hi_on + step) * lo_a + noise * hi_on
                and (hi_off - lo_off) * lo_a <= (TOLERANCE * hi_off + step) * lo_a + noise * hi_off
                and (hi_a - lo_a) * lo_t <= (TOLERANCE * lo_t + 2.0 * step) * hi_a + noise * lo_t
            )
        else:
            agree = False
        if agree:
            self.run += 1
            self.min_t_on, self.max_t_on = lo_on, hi_on
            self.min_t_off, self.max_t_off = lo_off, hi_off
            self.min_amp, self.max_amp = lo_a, hi_a
            self.sum_t_on = self.sum_t_on + t_on
            self.sum_t_off = self.sum_t_off + t_off
            self.sum_amp = self.sum_amp + amp
            self.sum_iu = self.sum_iu + self.iu
            self.sum_iu_on = self.sum_iu_on + self.iu_on
            self.sum_h = self.sum_h + self.h_all
            self.sum_h_on = self.sum_h_on + self.h_on
            self.sum_iy = self.sum_iy + self.iy
            self.sum_lag_on = self.sum_lag_on + self.lag_on
            self.sum_lag_off = self.sum_lag_off + self.lag_off
        else:
            self.run = 1
            self.min_t_on = self.max_t_on = self.sum_t_on = t_on
            self.min_t_off = self.max_t_off = self.sum_t_off = t_off
            self.min_amp = self.max_amp = self.sum_amp = amp
            self.sum_iu, self.sum_iu_on, self.sum_iy = self.iu, self.iu_on, self.iy
            self.sum_h, self.sum_h_on = self.h_all, self.h_on
            self.sum_lag_on, self.sum_lag_off = self.lag_on, self.lag_off
            self.y_run = self.y_start
        self.y_end = y
        if self.run >= self.cycles:
            self._finish(DONE, NO_REASON)
