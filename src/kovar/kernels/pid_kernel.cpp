#include "kovar/kernels/pid_kernel.hpp"

#include <cstring>

namespace kovar::kernels {

namespace {

// The loop body for one sign of dt, so the branch stays out of the loop.
template <bool kPositiveDt>
void pid_loop(const PidChannels& c) noexcept {
  const double* __restrict target = c.target;
  const double* __restrict current = c.current;
  const double* __restrict kp = c.kp;
  const double* __restrict ki = c.ki;
  const double* __restrict kd = c.kd;
  const double* __restrict previous = c.previous_error;
  double* __restrict integral = c.integral;
  double* __restrict error_out = c.error;
  double* __restrict control = c.control;
  double* __restrict undo = c.undo;
  const double dt = c.dt;
  for (std::ptrdiff_t j = 0; j < c.n; ++j) {
    const double error = target[j] - current[j];
    const double old_integral = integral[j];
    undo[j] = old_integral;
    const double new_integral = old_integral + error * dt;
    integral[j] = new_integral;
    const double derivative = kPositiveDt ? (error - previous[j]) / dt : 0.0;
    error_out[j] = error;
    control[j] = (kp[j] * error + ki[j] * new_integral) + kd[j] * derivative;
  }
}

}  // namespace

void pid_step(const PidChannels& c) noexcept {
  if (__builtin_isgreater(c.dt, 0.0)) {
    pid_loop<true>(c);
  } else {
    pid_loop<false>(c);
  }
}

void pid_undo(const PidChannels& c) noexcept {
  std::memcpy(c.integral, c.undo, static_cast<std::size_t>(c.n) * sizeof(double));
}

}  // namespace kovar::kernels
