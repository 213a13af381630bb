#include "kovar/kernels/adaptive_kernel.hpp"

#include <cstring>

namespace kovar::kernels {

namespace {

constexpr std::ptrdiff_t kRows = kHistoryRows;

// The column sum of the rolled history, `column` holding its 10 values from
// row 0 down. With more than one channel NumPy adds the rows one by one into
// an output that starts at +0.0; with one channel the column is contiguous
// and NumPy's pairwise sum (8 partial sums) runs, added to +0.0.
template <bool kSingleChannel>
inline double column_sum(const double (&column)[kRows]) noexcept {
  if constexpr (kSingleChannel) {
    double sum = ((column[0] + column[1]) + (column[2] + column[3])) +
                 ((column[4] + column[5]) + (column[6] + column[7]));
    sum += column[8];
    sum += column[9];
    return 0.0 + sum;
  } else {
    double sum = 0.0;
    for (std::ptrdiff_t k = 0; k < kRows; ++k) sum += column[k];
    return sum;
  }
}

template <bool kPositiveDt, bool kSingleChannel>
void adaptive_loop(const AdaptiveChannels& c) noexcept {
  const std::ptrdiff_t n = c.n;
  const double* __restrict target = c.target;
  const double* __restrict current = c.current;
  const double* __restrict ki = c.ki;
  const double* __restrict kd = c.kd;
  const double* __restrict previous = c.previous_error;
  double* __restrict kp = c.kp;
  double* __restrict integral = c.integral;
  double* __restrict error_out = c.error;
  double* __restrict control = c.control;
  double* __restrict undo_kp = c.undo;
  double* __restrict undo_integral = c.undo + n;
  double* __restrict undo_last_row = c.undo + 2 * n;
  // Not restrict: the roll may write the very rows it reads (each column
  // is read in full before it is written).
  double* history = c.history;
  double* new_history = c.new_history;
  const double dt = c.dt;
  const double learning_rate = c.learning_rate;
  const double lower = c.lower;
  const double upper = c.upper;

  for (std::ptrdiff_t j = 0; j < n; ++j) {
    const double error = target[j] - current[j];
    double column[kRows];
    column[0] = error;
    for (std::ptrdiff_t k = 1; k < kRows; ++k) column[k] = history[(k - 1) * n + j];
    undo_last_row[j] = history[(kRows - 1) * n + j];
    for (std::ptrdiff_t k = 0; k < kRows; ++k) new_history[k * n + j] = column[k];

    const double mean = column_sum<kSingleChannel>(column) / 10.0;
    const double delta = clip_element((learning_rate * mean) * error, lower, upper);
    const double old_kp = kp[j];
    undo_kp[j] = old_kp;
    const double new_kp = old_kp + delta;
    kp[j] = new_kp;
    const double old_integral = integral[j];
    undo_integral[j] = old_integral;
    const double new_integral = old_integral + error * dt;
    integral[j] = new_integral;
    const double derivative = kPositiveDt ? (error - previous[j]) / dt : 0.0;
    error_out[j] = error;
    control[j] = (new_kp * error + ki[j] * new_integral) + kd[j] * derivative;
  }
}

}  // namespace

void adaptive_step(const AdaptiveChannels& c) noexcept {
  const bool positive_dt = __builtin_isgreater(c.dt, 0.0);
  if (c.n == 1) {
    positive_dt ? adaptive_loop<true, true>(c) : adaptive_loop<false, true>(c);
  } else {
    positive_dt ? adaptive_loop<true, false>(c) : adaptive_loop<false, false>(c);
  }
}

void adaptive_undo(const AdaptiveChannels& c) noexcept {
  const std::size_t row_bytes = static_cast<std::size_t>(c.n) * sizeof(double);
  std::memcpy(c.kp, c.undo, row_bytes);
  std::memcpy(c.integral, c.undo + c.n, row_bytes);
  if (c.new_history == c.history) {
    // Rows 1..9 hold the old rows 0..8: move them back up, then the saved
    // last row.
    std::memmove(c.history, c.history + c.n, row_bytes * (kRows - 1));
    std::memcpy(c.history + (kRows - 1) * c.n, c.undo + 2 * c.n, row_bytes);
  }
}

}  // namespace kovar::kernels
