#include "kovar/kernels/adaptive_kernel.hpp"

#include <cstring>

#include "kovar/kernels/regulo_kernels.hpp"
#include "kovar/kernels/simd_path.hpp"
#include "kovar/kernels/stream_stores.hpp"
#include "kovar/kernels/thread_pool.hpp"
#include "kovar/kernels/undo_record.hpp"

namespace kovar::kernels {

namespace {

constexpr std::ptrdiff_t kRows = kHistoryRows;

// np.clip of one element as NumPy 2.x computes it: max with the lower bound,
// then min with the upper; a NaN bound is the result, a NaN element stays,
// ties keep the element. Quiet comparisons: no invalid flag for NaN.
double clip_element(double x, double lower, double upper) noexcept {
  double bounded = __builtin_isnan(lower) ? lower : (__builtin_isless(x, lower) ? lower : x);
  return __builtin_isnan(upper) ? upper : (__builtin_isgreater(bounded, upper) ? upper : bounded);
}

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
  mark_kept(c.kept, 0, 1);
  const double integral = c.integral[0] + error * c.dt;
  c.integral[0] = integral;
  const double derivative = kPositiveDt ? (error - c.previous_error[0]) / c.dt : 0.0;
  c.error[0] = error;
  c.control[0] = (kp * error + c.ki[0] * integral) + c.kd[0] * derivative;
}

}  // namespace

void adaptive_step(const AdaptiveChannels& channels) noexcept {
  AdaptiveChannels c = channels;
  // Rows of a history rolled apart are streamed too, a cache line at a
  // time: every row's lines must start on the same channels.
  // A window moved up one row writes row 0 alone, and needs no such care.
  const bool ring = c.new_history + c.n == c.history;
  c.stream = c.new_history != c.history && (ring || c.n % 8 == 0) &&
             streams(c.n, {c.error, c.control, c.new_history});
  const bool positive_dt = __builtin_isgreater(c.dt, 0.0);
  if (c.n == 1) {
    positive_dt ? single_channel<true>(c) : single_channel<false>(c);
  } else {
    const auto pass = pick(regulo_scalar, regulo_sse2, regulo_avx2, regulo_avx2).adaptive;
    // A channel moves 11 arrays' worth of history and state, so fewer
    // channels make a large call.
    for_ranges(c.n, kRows, [&](std::ptrdiff_t begin, std::ptrdiff_t end) { pass(c, begin, end); });
  }
}

void adaptive_undo(const AdaptiveChannels& c) noexcept {
  using L = lanes::Scalar;
  const std::ptrdiff_t n = c.n;
  const bool nan_bound = __builtin_isnan(c.lower) || __builtin_isnan(c.upper);
  // The steps are taken back before the history is: kp's comes from the
  // rolled history, summed as the pass summed it.
  for (std::ptrdiff_t i = 0; i < n; ++i) {
    if (is_kept(c.kept, i)) {
      c.kp[i] = c.undo[i];
      c.integral[i] = c.undo[n + i];
      continue;
    }
    const double e = c.error[i];
    double sum = 0.0 + e;
    for (std::ptrdiff_t k = 1; k < kRows; ++k) sum += c.new_history[k * n + i];
    const double unclipped = (c.learning_rate * (sum / 10.0)) * e;
    const double delta = nan_bound ? (__builtin_isnan(c.upper) ? c.upper : c.lower)
                                   : L::min_quiet(c.upper, L::max_quiet(c.lower, unclipped));
    c.kp[i] = taken_back<L>(c.kp[i], delta);
    c.integral[i] = taken_back<L>(c.integral[i], e * c.dt);
  }
  if (c.new_history == c.history) {
    // Rows 1..9 hold the old rows 0..8: move them back up, then the saved
    // last row.
    const std::size_t row_bytes = static_cast<std::size_t>(n) * sizeof(double);
    std::memmove(c.history, c.history + n, row_bytes * (kRows - 1));
    std::memcpy(c.history + (kRows - 1) * n, c.undo + 2 * n, row_bytes);
  }
}

}  // namespace kovar::kernels
