// The control laws of kovar.regulo's native passes, written once over a
// lane layer (lanes_*.hpp): each layer runs them a vector of channels at a
// time, with the same IEEE operations in the same order per lane, so every
// path gives the scalar law's bits. Included by one translation unit per
// path, each compiled for its instruction set.
#pragma once

#include "kovar/kernels/adaptive_kernel.hpp"
#include "kovar/kernels/pid_kernel.hpp"

namespace kovar::kernels::law {

// body.operator()<L>(i) over [begin, end): whole vectors of V, then the
// rest one lane at a time.
template <class V, class Body>
inline void over_lanes(std::ptrdiff_t begin, std::ptrdiff_t end, const Body& body) noexcept {
  std::ptrdiff_t i = begin;
  for (; i + V::kWidth <= end; i += V::kWidth) body.template operator()<V>(i);
  for (; i < end; ++i) body.template operator()<typename V::Lane>(i);
}

// PID, channels [begin, end):
//   error    = target - current
//   integral = integral + error * dt                  (in place)
//   deriv    = dt > 0 ? (error - previous_error) / dt : +0.0
//   control  = (kp * error + ki * integral) + kd * deriv
template <class V, bool kPositiveDt>
void pid_range(const PidChannels& c, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
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
  over_lanes<V>(begin, end, [=]<class L>(std::ptrdiff_t j) {
    const auto step = L::set1(dt);
    const auto error = L::sub(L::load(target + j), L::load(current + j));
    const auto old_integral = L::load(integral + j);
    L::store(undo + j, old_integral);
    const auto new_integral = L::add(old_integral, L::mul(error, step));
    L::store(integral + j, new_integral);
    const auto derivative = kPositiveDt ? L::div(L::sub(error, L::load(previous + j)), step)
                                        : L::set1(0.0);
    L::store(error_out + j, error);
    const auto p_and_i = L::add(L::mul(L::load(kp + j), error), L::mul(L::load(ki + j), new_integral));
    L::store(control + j, L::add(p_and_i, L::mul(L::load(kd + j), derivative)));
  });
}

template <class V>
void pid(const PidChannels& c, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
  if (__builtin_isgreater(c.dt, 0.0)) {
    pid_range<V, true>(c, begin, end);
  } else {
    pid_range<V, false>(c, begin, end);
  }
}

// Adaptive, channels [begin, end) of a pass over more than one channel:
//   error    = target - current
//   history  = history rolled down one row, error in row 0
//   mean     = sum of the column / 10: NumPy's mean(axis=0) of a C-ordered
//              history adds the rows one by one, in row order, into +0.0
//   delta    = clip((learning_rate * mean) * error, lower, upper)
//   kp       = kp + delta                               (in place)
//   integral = integral + error * dt                    (in place)
//   deriv    = dt > 0 ? (error - previous_error) / dt : +0.0
//   control  = (kp * error + ki * integral) + kd * deriv
// np.clip (NumPy 2.x): a NaN bound is the result; otherwise max with the
// lower bound, then min with the upper, ties and NaN keeping the element.
//
// The history is walked a vector of columns at a time, all ten rows
// together: every array then streams through once, in order. (Blocks of a
// few hundred channels, row after row, stalled the prefetchers on large
// histories: twice as slow from 10^5 channels on.) All ten rows of a column
// are read before any is written, so the history may be rolled in place.
template <class V, bool kPositiveDt, bool kNanBound>
void adaptive_range(const AdaptiveChannels& c, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
  constexpr std::ptrdiff_t kRows = kHistoryRows;
  const std::ptrdiff_t n = c.n;
  const double dt = c.dt;
  const double learning_rate = c.learning_rate;
  const double lower = c.lower;
  const double upper = c.upper;
  const double nan_bound = __builtin_isnan(upper) ? upper : lower;
  const bool in_place = c.new_history == c.history;
  const double* __restrict target = c.target;
  const double* __restrict current = c.current;
  const double* __restrict ki = c.ki;
  const double* __restrict kd = c.kd;
  const double* __restrict previous = c.previous_error;
  double* __restrict kp = c.kp;
  double* __restrict integral = c.integral;
  const double* history = c.history;  // may be new_history itself
  double* new_history = c.new_history;
  double* __restrict undo_kp = c.undo;
  double* __restrict undo_integral = c.undo + n;
  double* __restrict undo_row = c.undo + 2 * n;
  double* __restrict error_out = c.error;
  double* __restrict control = c.control;
  over_lanes<V>(begin, end, [=]<class L>(std::ptrdiff_t i) {
    const auto step = L::set1(dt);
    const auto e = L::sub(L::load(target + i), L::load(current + i));
    typename L::Reg rows[kRows];
    for (std::ptrdiff_t k = 0; k < kRows; ++k) rows[k] = L::load(history + k * n + i);
    auto sum = L::add(L::set1(0.0), e);
    for (std::ptrdiff_t k = 0; k < kRows - 1; ++k) sum = L::add(sum, rows[k]);
    if (in_place) L::store(undo_row + i, rows[kRows - 1]);
    L::store(new_history + i, e);
    for (std::ptrdiff_t k = 0; k < kRows - 1; ++k) L::store(new_history + (k + 1) * n + i, rows[k]);

    const auto mean = L::div(sum, L::set1(10.0));
    const auto unclipped = L::mul(L::mul(L::set1(learning_rate), mean), e);
    if constexpr (kNanBound) L::compute(unclipped);
    const auto delta = kNanBound ? L::set1(nan_bound)
                                 : L::min_quiet(L::set1(upper),
                                                L::max_quiet(L::set1(lower), unclipped));
    const auto old_kp = L::load(kp + i);
    L::store(undo_kp + i, old_kp);
    const auto new_kp = L::add(old_kp, delta);
    L::store(kp + i, new_kp);
    const auto old_integral = L::load(integral + i);
    L::store(undo_integral + i, old_integral);
    const auto new_integral = L::add(old_integral, L::mul(e, step));
    L::store(integral + i, new_integral);
    const auto derivative = kPositiveDt ? L::div(L::sub(e, L::load(previous + i)), step)
                                        : L::set1(0.0);
    L::store(error_out + i, e);
    const auto p_and_i = L::add(L::mul(new_kp, e), L::mul(L::load(ki + i), new_integral));
    L::store(control + i, L::add(p_and_i, L::mul(L::load(kd + i), derivative)));
  });
}

template <class V>
void adaptive(const AdaptiveChannels& c, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
  const bool positive_dt = __builtin_isgreater(c.dt, 0.0);
  if (__builtin_isnan(c.lower) || __builtin_isnan(c.upper)) {
    positive_dt ? adaptive_range<V, true, true>(c, begin, end)
                : adaptive_range<V, false, true>(c, begin, end);
  } else {
    positive_dt ? adaptive_range<V, true, false>(c, begin, end)
                : adaptive_range<V, false, false>(c, begin, end);
  }
}

}  // namespace kovar::kernels::law
