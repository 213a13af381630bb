"""Pure-Python reference implementations of the three control laws.

Same operations in the same order as the native classes, so results can be
compared exactly (bit for bit) on the same inputs.
"""
import numpy as np


class PID:
    def __init__(self, kp, ki, kd):
        self.kp, self.ki, self.kd = kp, ki, kd
        self.integral = np.zeros_like(kp, dtype=np.float64)
        self.previous_error = np.zeros_like(kp, dtype=np.float64)

    def compute_control(self, target_position, current_position, dt):
        dt = float(dt)
        error = target_position - current_position
        p_term = self.kp * error
        self.integral += error * dt
        i_term = self.ki * self.integral
        if dt > 0.0:
            derivative = (error - self.previous_error) / dt
        else:
            derivative = np.zeros_like(error)
        d_term = self.kd * derivative
        self.previous_error = error
        return p_term + i_term + d_term


class Adaptive:
    def __init__(self, initial_kp, initial_ki, initial_kd, learning_rate=0.01,
                 max_adjustment=0.1):
        self.kp = initial_kp.copy()
        self.ki = initial_ki.copy()
        self.kd = initial_kd.copy()
        self.integral = np.zeros_like(initial_kp, dtype=np.float64)
        self.previous_error = np.zeros_like(initial_kp, dtype=np.float64)
        self.error_history = np.zeros((10, initial_kp.shape[0]))
        self.learning_rate = float(learning_rate)
        self.max_adjustment = float(max_adjustment)

    def compute_control(self, target_position, current_position, dt):
        dt = float(dt)
        error = target_position - current_position
        self.error_history = np.roll(self.error_history, shift=1, axis=0)
        self.error_history[0] = error
        delta_kp = self.learning_rate * np.mean(self.error_history, axis=0) * error
        delta_kp = np.clip(delta_kp, -self.max_adjustment, self.max_adjustment)
        self.kp += delta_kp
        self.integral += error * dt
        if dt > 0.0:
            derivative = (error - self.previous_error) / dt
        else:
            derivative = np.zeros_like(error)
        control_signal = self.kp * error + self.ki * self.integral + self.kd * derivative
        self.previous_error = error.copy()
        return control_signal
