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
  double* new_history;  // the rolled history: a fresh array, `history` itself, or
                        // `history - n` (a window one row up in a taller
                        // array: its rows 1..9 are the old rows 0..8 already)
  double* error;        // out: a fresh array
  double* control;      // out: a fresh array
  double* undo;         // out, 3n: the old kp and integral where adaptive_undo cannot
                        // take the step back (see undo_record.hpp), and the
                        // last row of a history rolled in place
  unsigned char* kept;  // a bit per channel, clear: set where undo holds kp and integral
  std::ptrdiff_t n;
  double dt;
  double learning_rate;
  double lower;  // clip bounds, as given (not ordered)
  double upper;
  bool stream = false;  // set by adaptive_step: what the pass only writes goes around the cache
};

// On the active SIMD path, split over the kernel threads when large.
void adaptive_step(const AdaptiveChannels& c) noexcept;

// Puts back kp, integral and (when rolled in place) the history that
// adaptive_step overwrote. error and the rolled history must still hold
// what adaptive_step wrote.
void adaptive_undo(const AdaptiveChannels& c) noexcept;

}  // namespace kovar::kernels
