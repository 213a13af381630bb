// One pass over the channels of an adaptive control step, with exactly the
// IEEE operations of the NumPy step sequence, in its order, per element:
//   error    = target - current
//   history  = history rolled down one row, error in row 0
//   mean     = sum of the column / 10, summed as NumPy's mean(axis=0) sums
//   delta    = clip((learning_rate * mean) * error, lower, upper)
//   kp       = kp + delta                               (in place)
//   integral = integral + error * dt                    (in place)
//   deriv    = dt > 0 ? (error - previous_error) / dt : +0.0
//   control  = (kp * error + ki * integral) + kd * deriv
#pragma once

#include <cstddef>

namespace kovar::kernels {

inline constexpr std::ptrdiff_t kHistoryRows = 10;

struct AdaptiveChannels {
  const double* target;
  const double* current;
  const double* ki;
  const double* kd;
  const double* previous_error;
  double* kp;           // updated in place
  double* integral;     // updated in place
  double* history;      // the C-ordered (10, n) history before the step
  double* new_history;  // the rolled history: a fresh array, or `history` itself
  double* error;        // out: a fresh array
  double* control;      // out: a fresh array
  double* undo;         // out, 3n: the old kp, integral and (rolled in place) last row
  std::ptrdiff_t n;
  double dt;
  double learning_rate;
  double lower;  // clip bounds, as given (not ordered)
  double upper;
};

// On the active SIMD path, split over the kernel threads when large.
void adaptive_step(const AdaptiveChannels& c) noexcept;

// Puts back kp, integral and (when rolled in place) the history that
// adaptive_step overwrote.
void adaptive_undo(const AdaptiveChannels& c) noexcept;

}  // namespace kovar::kernels
