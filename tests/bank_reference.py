"""A scalar, pure-Python PID channel with the bank's law, written from the
law's statement: one object per channel, plain floats, Python's min/max.
The bank must agree with it channel by channel."""
import math


def clip(x, lo, hi):
    return min(max(x, lo), hi)


class Channel:
    def __init__(self, kp, ki=0.0, kd=0.0, b=1.0, c=0.0, tf=0.0, u_min=-math.inf,
                 u_max=math.inf, i_min=-math.inf, i_max=math.inf, deadband=0.0,
                 anti_windup="back_calculation", tt=None, rate_limit=math.inf, on_nan="nan"):
        self.kp, self.ki, self.kd, self.b, self.c, self.tf = kp, ki, kd, b, c, tf
        self.u_min, self.u_max, self.i_min, self.i_max = u_min, u_max, i_min, i_max
        self.deadband, self.anti_windup, self.tt = deadband, anti_windup, tt
        self.rate_limit, self.on_nan = rate_limit, on_nan
        self.manual = False
        self.manual_value = 0.0
        self.reset()

    def reset(self):
        self.integral = 0.0
        self.derivative = 0.0
        self.x_prev = 0.0
        self.output = 0.0
        self.terms = (0.0, 0.0, 0.0, 0.0)
        self.fresh = True   # no step advanced time since construction/reset
        self.gap = False    # a non-finite input came since the last step
        self.pending = None  # (kp, b) of the last output, after a change of either

    # ------------------------------------------------------------ pieces

    def limit(self, v, h, rate):
        """The output for a wanted v: the rate window around the last
        output, then the output limits."""
        if rate:
            step = self.rate_limit * h
            v = clip(v, self.output - step, self.output + step)
        return clip(v, self.u_min, self.u_max)

    def tracking_time(self, h):
        """tt, or None for no tracking (an infinite tt is none)."""
        if self.tt is not None:
            tt = self.tt
        elif self.ki == 0:
            return None
        elif self.kp == 0:
            tt = h
        else:
            tt = max(abs(self.kp / self.ki), h)
        return None if math.isinf(tt) else tt

    def next_integral(self, e, v, applied, h):
        ei = 0.0 if abs(e) <= self.deadband else e
        i = self.integral
        if self.anti_windup == "none":
            i = i + self.ki * h * ei
        elif self.anti_windup == "conditional":
            push = self.ki * ei
            if not ((applied < v and push > 0) or (applied > v and push < 0)):
                i = i + self.ki * h * ei
        else:
            tt = self.tracking_time(h)
            if tt is None:
                i = i + self.ki * h * ei
            else:
                i = i + (self.ki * h * ei + h * (applied - v) / tt)
        return clip(i, self.i_min, self.i_max)

    # ------------------------------------------------------------ the call

    def update(self, r, y, h, ff=None, track=None):
        advancing = h > 0
        ffv = 0.0 if ff is None else ff
        if not (math.isfinite(r) and math.isfinite(y) and math.isfinite(ffv)):
            self.gap = True
            if self.manual:
                u = self.limit(self.manual_value, h, advancing and not self.fresh)
            elif self.on_nan == "hold":
                u = self.output
            else:
                u = math.nan
            self.output = u
            return u
        p = self.kp * (self.b * r - y)
        if self.pending is not None and not self.manual:
            self.settle_change(r, y, p)
        if advancing:
            self.pending = None  # manual mode makes the integral anew
        if not advancing:
            if self.manual:
                u = clip(self.manual_value, self.u_min, self.u_max)
            else:
                v = p + self.integral + self.derivative
                if ff is not None:
                    v = v + ff
                u = clip(v, self.u_min, self.u_max)
                self.terms = (p, self.integral, self.derivative, ffv)
            self.output = u
            return u
        x = self.c * r - y
        fresh = self.fresh
        if fresh or self.gap:
            d = 0.0
        else:
            d = (self.tf * self.derivative + self.kd * (x - self.x_prev)) / (self.tf + h)
        if self.manual:
            u = self.limit(self.manual_value, h, not fresh)
            i = u - p - d
            if ff is not None:
                i = i - ff
            i = clip(i, self.i_min, self.i_max)
        else:
            v = p + self.integral + d
            if ff is not None:
                v = v + ff
            u = self.limit(v, h, not fresh)
            applied = track if track is not None and math.isfinite(track) else u
            i = self.next_integral(r - y, v, applied, h)
            self.terms = (p, self.integral, d, ffv)
        self.integral, self.derivative, self.x_prev = i, d, x
        self.fresh = self.gap = False
        self.output = u
        return u

    # ------------------------------------------------------------ changes

    def settle_change(self, r, y, p):
        """The bumpless move of a kp or b change, at the first call after it
        with finite inputs: the integral moves by the change of P at that
        call's inputs, where that change is finite."""
        kp, b = self.pending
        self.pending = None
        before = kp * (b * r - y)
        if before != p and math.isfinite(before - p):
            self.integral = clip(self.integral + (before - p), self.i_min, self.i_max)

    def set_params(self, **params):
        """Bumpless in automatic mode, for channels that have an output: the
        kp and b of the last output are kept for the next call."""
        old = (self.kp, self.b)
        for name, value in params.items():
            setattr(self, name, value)
        if (not self.manual and not self.fresh and self.pending is None
                and (self.kp, self.b) != old):
            self.pending = old

    def set_integral(self, value):
        self.integral = clip(value, self.i_min, self.i_max)
        self.pending = None
