"""A scalar, pure-Python PID channel with the bank's law, written from the
law's statement: one object per channel, plain floats, Python's min/max.
The bank must agree with it channel by channel."""
import math


def clip(x, lo, hi):
    return min(max(x, lo), hi)


class Channel:
    def __init__(self, kp, ki=0.0, kd=0.0, b=1.0, c=0.0, tf=0.0, u_min=-math.inf,
                 u_max=math.inf, i_min=-math.inf, i_max=math.inf, deadband=0.0,
                 anti_windup="back_calculation", tt=None):
        self.kp, self.ki, self.kd, self.b, self.c, self.tf = kp, ki, kd, b, c, tf
        self.u_min, self.u_max, self.i_min, self.i_max = u_min, u_max, i_min, i_max
        self.deadband, self.anti_windup, self.tt = deadband, anti_windup, tt
        self.manual = False
        self.manual_value = 0.0
        self.output = 0.0
        self.reset()

    def reset(self):
        self.integral = 0.0
        self.derivative = 0.0
        self.x_prev = 0.0
        self.output = 0.0
        self.fresh = True

    def update(self, r, y, h):
        if not (math.isfinite(r) and math.isfinite(y)):
            self.output = math.nan
            return self.output
        p = self.kp * (self.b * r - y)
        if not h > 0:
            if self.manual:
                u = clip(self.manual_value, self.u_min, self.u_max)
            else:
                u = clip(p + self.integral + self.derivative, self.u_min, self.u_max)
            self.output = u
            return u
        x = self.c * r - y
        if self.fresh:
            d = 0.0
        else:
            d = (self.tf * self.derivative + self.kd * (x - self.x_prev)) / (self.tf + h)
        if self.manual:
            u = clip(self.manual_value, self.u_min, self.u_max)
            i = clip(u - p - d, self.i_min, self.i_max)
        else:
            v = p + self.integral + d
            u = clip(v, self.u_min, self.u_max)
            e = r - y
            ei = 0.0 if abs(e) <= self.deadband else e
            i = self.integral
            if self.anti_windup == "none":
                i += self.ki * h * ei
            elif self.anti_windup == "conditional":
                if not ((v > self.u_max and ei > 0) or (v < self.u_min and ei < 0)):
                    i += self.ki * h * ei
            else:
                tt = self.tt
                if tt is None:
                    tt = self.kp / self.ki if self.kp > 0 and self.ki > 0 else None
                if tt is None:
                    i += self.ki * h * ei
                else:
                    i += self.ki * h * ei + h * (u - v) / tt
            i = clip(i, self.i_min, self.i_max)
        self.integral, self.derivative, self.x_prev, self.fresh = i, d, x, False
        self.output = u
        return u
