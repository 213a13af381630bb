// One pass over the channels of a PID control step, with exactly the IEEE
// operations of the NumPy step sequence, in its order, per element:
//   error    = target - current
//   integral = integral + error * dt                  (in place)
//   deriv    = dt > 0 ? (error - previous_error) / dt : +0.0
//   control  = (kp * error + ki * integral) + kd * deriv
// Built without FMA contraction, so every product and sum is rounded on its
// own as NumPy's loops round it.
#pragma once

#include <cstddef>

namespace kovar::kernels {

struct PidChannels {
  const double* target;
  const double* current;
  const double* kp;
  const double* ki;
  const double* kd;
  const double* previous_error;
  double* integral;  // updated in place; overlaps nothing else
  double* error;     // out: a fresh array
  double* control;   // out: a fresh array
  double* undo;      // out: the integral before the step where pid_undo cannot
                     // take the step back (see undo_record.hpp)
  unsigned char* kept;  // a bit per channel, clear: set where undo holds the old integral
  std::ptrdiff_t n;
  double dt;
  bool stream = false;  // set by pid_step: error and control written around the cache
};

// On the active SIMD path, split over the kernel threads when large.
void pid_step(const PidChannels& c) noexcept;

// Puts back the integral that pid_step overwrote. error must still hold
// what pid_step wrote.
void pid_undo(const PidChannels& c) noexcept;

}  // namespace kovar::kernels
