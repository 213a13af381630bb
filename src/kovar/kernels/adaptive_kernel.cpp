#include "kovar/kernels/adaptive_kernel.hpp"

#include <cstring>

namespace kovar::kernels {

namespace {

constexpr std::ptrdiff_t kRows = kHistoryRows;

// One channel: the history column is contiguous, and NumPy's mean(axis=0)
// runs its pairwise sum over it (8 partial sums, then the rest in order),
// added to +0.0.
template <bool kPositiveDt>
void single_channel(const AdaptiveChannels& c) noexcept {
  const double error = c.target[0] - c.current[0];
  double column[kRows];
  column[0] = error;
  for (std::ptrdiff_t k = 1; k < kRows; ++k) column[k] = c.history[k - 1];
  c.undo[2] = c.history[kRows - 1];
  for (std::ptrdiff_t k = 0; k < kRows; ++k) c.new_history[k] = column[k];

  double sum = ((column[0] + column[1]) + (column[2] + column[3])) +
               ((column[4] + column[5]) + (column[6] + column[7]));
  sum += column[8];
  sum += column[9];
  const double mean = (0.0 + sum) / 10.0;
  const double delta = clip_element((c.learning_rate * mean) * error, c.lower, c.upper);
  c.undo[0] = c.kp[0];
  const double kp = c.kp[0] + delta;
  c.kp[0] = kp;
  c.undo[1] = c.integral[0];
  const double integral = c.integral[0] + error * c.dt;
  c.integral[0] = integral;
  const double derivative = kPositiveDt ? (error - c.previous_error[0]) / c.dt : 0.0;
  c.error[0] = error;
  c.control[0] = (kp * error + c.ki[0] * integral) + c.kd[0] * derivative;
}

// Channels per block of the many-channel pass: the block's errors and sums
// stay in L1 while each history row is streamed through in order.
constexpr std::ptrdiff_t kBlock = 256;

// More than one channel: NumPy's mean(axis=0) adds the history rows one by
// one, in row order, into an output that starts at +0.0. The history is
// taken a block of channels at a time, each row of the block contiguous.
template <bool kPositiveDt>
void adaptive_blocks(const AdaptiveChannels& c) noexcept {
  const std::ptrdiff_t n = c.n;
  const std::size_t row_stride = static_cast<std::size_t>(n);
  const double dt = c.dt;
  const double learning_rate = c.learning_rate;
  for (std::ptrdiff_t start = 0; start < n; start += kBlock) {
    const std::ptrdiff_t m = n - start < kBlock ? n - start : kBlock;
    const std::size_t bytes = static_cast<std::size_t>(m) * sizeof(double);
    double error[kBlock];
    double sum[kBlock];
    const double* __restrict target = c.target + start;
    const double* __restrict current = c.current + start;
    for (std::ptrdiff_t i = 0; i < m; ++i) {
      error[i] = target[i] - current[i];
      sum[i] = 0.0 + error[i];
    }
    const double* old_rows = c.history + start;
    for (std::ptrdiff_t k = 0; k < kRows - 1; ++k) {
      const double* __restrict row = old_rows + k * row_stride;
      for (std::ptrdiff_t i = 0; i < m; ++i) sum[i] += row[i];
    }
    // Roll the block down one row (the last row kept for the undo record),
    // from the bottom up so that in place no row is overwritten unread.
    std::memcpy(c.undo + 2 * n + start, old_rows + (kRows - 1) * row_stride, bytes);
    double* new_rows = c.new_history + start;
    for (std::ptrdiff_t k = kRows - 2; k >= 0; --k) {
      std::memcpy(new_rows + (k + 1) * row_stride, old_rows + k * row_stride, bytes);
    }
    std::memcpy(new_rows, error, bytes);

    const double* __restrict ki = c.ki + start;
    const double* __restrict kd = c.kd + start;
    const double* __restrict previous = c.previous_error + start;
    double* __restrict kp = c.kp + start;
    double* __restrict integral = c.integral + start;
    double* __restrict undo_kp = c.undo + start;
    double* __restrict undo_integral = c.undo + n + start;
    double* __restrict error_out = c.error + start;
    double* __restrict control = c.control + start;
    for (std::ptrdiff_t i = 0; i < m; ++i) {
      const double e = error[i];
      const double mean = sum[i] / 10.0;
      const double delta = clip_element((learning_rate * mean) * e, c.lower, c.upper);
      const double old_kp = kp[i];
      undo_kp[i] = old_kp;
      const double new_kp = old_kp + delta;
      kp[i] = new_kp;
      const double old_integral = integral[i];
      undo_integral[i] = old_integral;
      const double new_integral = old_integral + e * dt;
      integral[i] = new_integral;
      const double derivative = kPositiveDt ? (e - previous[i]) / dt : 0.0;
      error_out[i] = e;
      control[i] = (new_kp * e + ki[i] * new_integral) + kd[i] * derivative;
    }
  }
}

}  // namespace

void adaptive_step(const AdaptiveChannels& c) noexcept {
  const bool positive_dt = __builtin_isgreater(c.dt, 0.0);
  if (c.n == 1) {
    positive_dt ? single_channel<true>(c) : single_channel<false>(c);
  } else {
    positive_dt ? adaptive_blocks<true>(c) : adaptive_blocks<false>(c);
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
