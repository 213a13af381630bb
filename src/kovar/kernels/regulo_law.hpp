// The control laws of kovar.regulo's native passes, written once over a
// lane layer (lanes_*.hpp): each layer runs them a vector of channels at a
// time, with the same IEEE operations in the same order per lane, so every
// path gives the scalar law's bits. Included by one translation unit per
// path, each compiled for its instruction set.
#pragma once

#include <algorithm>
#include <cstdint>

#include "kovar/kernels/adaptive_kernel.hpp"
#include "kovar/kernels/pid_kernel.hpp"
#include "kovar/kernels/undo_record.hpp"

namespace kovar::kernels::law {

// body.operator()<L>(i) over [begin, end): whole vectors of V, then the
// rest one lane at a time.
template <class V, class Body>
inline void over_lanes(std::ptrdiff_t begin, std::ptrdiff_t end, const Body& body) noexcept {
  std::ptrdiff_t i = begin;
  for (; i + V::kWidth <= end; i += V::kWidth) body.template operator()<V>(i);
  for (; i < end; ++i) body.template operator()<typename V::Lane>(i);
}

// A store of an array the pass only writes: around the cache when the pass
// streams (its arrays too large to stay cached between calls), which saves
// reading each line before writing it.
template <class L, bool kStream>
inline void put(double* to, typename L::Reg value) noexcept {
  if constexpr (kStream) {
    L::stream(to, value);
  } else {
    L::store(to, value);
  }
}

// PID, channels [begin, end):
//   error    = target - current
//   integral = integral + error * dt                  (in place)
//   deriv    = dt > 0 ? (error - previous_error) / dt : +0.0
//   control  = (kp * error + ki * integral) + kd * deriv
template <class V, bool kPositiveDt, bool kStream>
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
  unsigned char* __restrict kept = c.kept;
  const double dt = c.dt;
  over_lanes<V>(begin, end, [=]<class L>(std::ptrdiff_t j) {
    const auto step = L::set1(dt);
    const auto error = L::sub(L::load(target + j), L::load(current + j));
    const auto old_integral = L::load(integral + j);
    const auto increment = L::mul(error, step);
    const auto new_integral = L::add(old_integral, increment);
    L::store(integral + j, new_integral);
    if (!L::same_bits(taken_back<L>(new_integral, increment), old_integral)) [[unlikely]] {
      L::store(undo + j, old_integral);
      mark_kept(kept, j, L::kWidth);
    }
    const auto derivative = kPositiveDt ? L::div(L::sub(error, L::load(previous + j)), step)
                                        : L::set1(0.0);
    put<L, kStream>(error_out + j, error);
    const auto p_and_i =
        L::add(L::mul(L::load(kp + j), error), L::mul(L::load(ki + j), new_integral));
    put<L, kStream>(control + j, L::add(p_and_i, L::mul(L::load(kd + j), derivative)));
  });
  if constexpr (kStream) V::fence();
}

template <class V>
void pid(const PidChannels& c, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
  const bool positive_dt = __builtin_isgreater(c.dt, 0.0);
  if (c.stream) {
    positive_dt ? pid_range<V, true, true>(c, begin, end)
                : pid_range<V, false, true>(c, begin, end);
  } else {
    positive_dt ? pid_range<V, true, false>(c, begin, end)
                : pid_range<V, false, false>(c, begin, end);
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
// Rolled in place (small histories only), the history is walked a vector
// of columns at a time, all ten rows together, and all ten rows of a column
// are read before any is written; the last one is kept for the undo.
// Rolled into another array, the last row is never read. Histories that
// stay cached are walked a vector of columns at a time too (blocks of a few
// hundred channels, row after row, stalled the prefetchers). One too large
// to stay cached (kApartStreamed) is walked a cache line of channels at a
// time, each row's line written whole around the cache before the next
// row's: a vector of columns at a time leaves ten rows' lines half written
// in the write-combining buffers at once, which ran at half speed, and
// stores through the cache read every line before writing it.
//
// A history that is a window of a taller array (kRing) rolls by moving the
// window up one row: rows 1..9 of the new window are rows 0..8 of the old
// one already, and only row 0 is written (around the cache when streamed).
enum class Roll { kInPlace, kApart, kApartStreamed, kRing, kRingStreamed };

template <class V, bool kPositiveDt, bool kNanBound, Roll kRoll>
void adaptive_range(const AdaptiveChannels& c, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
  constexpr std::ptrdiff_t kRows = kHistoryRows;
  constexpr bool kInPlace = kRoll == Roll::kInPlace;
  constexpr bool kRing = kRoll == Roll::kRing || kRoll == Roll::kRingStreamed;
  constexpr bool kStream = kRoll == Roll::kApartStreamed || kRoll == Roll::kRingStreamed;
  constexpr std::ptrdiff_t kRowsRead = kInPlace ? kRows : kRows - 1;
  const std::ptrdiff_t n = c.n;
  const double dt = c.dt;
  const double learning_rate = c.learning_rate;
  const double lower = c.lower;
  const double upper = c.upper;
  const double nan_bound = __builtin_isnan(upper) ? upper : lower;
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
  unsigned char* __restrict kept = c.kept;
  double* __restrict error_out = c.error;
  double* __restrict control = c.control;

  // Channels i.. of a vector, from their error and history sum on: the
  // gain, the integral and the signal.
  const auto finish = [=]<class L>(std::ptrdiff_t i, typename L::Reg e, typename L::Reg sum) {
    const auto step = L::set1(dt);
    const auto mean = L::div(sum, L::set1(10.0));
    const auto unclipped = L::mul(L::mul(L::set1(learning_rate), mean), e);
    if constexpr (kNanBound) L::compute(unclipped);
    const auto delta = kNanBound ? L::set1(nan_bound)
                                 : L::min_quiet(L::set1(upper),
                                                L::max_quiet(L::set1(lower), unclipped));
    const auto old_kp = L::load(kp + i);
    const auto new_kp = L::add(old_kp, delta);
    L::store(kp + i, new_kp);
    const auto old_integral = L::load(integral + i);
    const auto increment = L::mul(e, step);
    const auto new_integral = L::add(old_integral, increment);
    L::store(integral + i, new_integral);
    if (!(L::same_bits(taken_back<L>(new_kp, delta), old_kp) &&
          L::same_bits(taken_back<L>(new_integral, increment), old_integral))) [[unlikely]] {
      L::store(undo_kp + i, old_kp);
      L::store(undo_integral + i, old_integral);
      mark_kept(kept, i, L::kWidth);
    }
    const auto derivative = kPositiveDt ? L::div(L::sub(e, L::load(previous + i)), step)
                                        : L::set1(0.0);
    put<L, kStream>(error_out + i, e);
    const auto p_and_i = L::add(L::mul(new_kp, e), L::mul(L::load(ki + i), new_integral));
    put<L, kStream>(control + i, L::add(p_and_i, L::mul(L::load(kd + i), derivative)));
  };

  // Channels [from, to), a vector of columns at a time, the history's rows
  // stored through the cache.
  const auto by_columns = [=](std::ptrdiff_t from, std::ptrdiff_t to) {
    over_lanes<V>(from, to, [=]<class L>(std::ptrdiff_t i) {
      const auto e = L::sub(L::load(target + i), L::load(current + i));
      typename L::Reg rows[kRows];
      for (std::ptrdiff_t k = 0; k < kRowsRead; ++k) rows[k] = L::load(history + k * n + i);
      auto sum = L::add(L::set1(0.0), e);
      for (std::ptrdiff_t k = 0; k < kRows - 1; ++k) sum = L::add(sum, rows[k]);
      if constexpr (kInPlace) L::store(undo_row + i, rows[kRows - 1]);
      if constexpr (kRing) {
        put<L, kStream>(new_history + i, e);
      } else {
        L::store(new_history + i, e);
        for (std::ptrdiff_t k = 0; k < kRows - 1; ++k) {
          L::store(new_history + (k + 1) * n + i, rows[k]);
        }
      }
      finish.template operator()<L>(i, e, sum);
    });
  };
  if constexpr (kRoll != Roll::kApartStreamed) {
    by_columns(begin, end);
    if constexpr (kStream) V::fence();
  } else {
    // A cache line of channels at a time, each row's line written whole
    // before the next row's, so that no more than one line of the history
    // is open in the write-combining buffers. The lines of every row start
    // on the same channels (n is a multiple of 8).
    constexpr std::ptrdiff_t kLine = 8;
    constexpr std::ptrdiff_t kParts = kLine / V::kWidth;
    const auto offset = static_cast<std::ptrdiff_t>(
        (reinterpret_cast<std::uintptr_t>(new_history + begin) & 63) / sizeof(double));
    const std::ptrdiff_t first = offset == 0 ? begin : std::min(end, begin + kLine - offset);
    by_columns(begin, first);
    std::ptrdiff_t i = first;
    for (; i + kLine <= end; i += kLine) {
      typename V::Reg e[kParts], sum[kParts];
      for (std::ptrdiff_t p = 0; p < kParts; ++p) {
        e[p] = V::sub(V::load(target + i + p * V::kWidth), V::load(current + i + p * V::kWidth));
        sum[p] = V::add(V::set1(0.0), e[p]);
        V::stream(new_history + i + p * V::kWidth, e[p]);
      }
      for (std::ptrdiff_t k = 0; k < kRows - 1; ++k) {
        for (std::ptrdiff_t p = 0; p < kParts; ++p) {
          const auto value = V::load(history + k * n + i + p * V::kWidth);
          sum[p] = V::add(sum[p], value);
          V::stream(new_history + (k + 1) * n + i + p * V::kWidth, value);
        }
      }
      for (std::ptrdiff_t p = 0; p < kParts; ++p) {
        finish.template operator()<V>(i + p * V::kWidth, e[p], sum[p]);
      }
    }
    by_columns(i, end);
    V::fence();
  }
}

template <class V, Roll kRoll>
void adaptive_rolled(const AdaptiveChannels& c, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
  const bool positive_dt = __builtin_isgreater(c.dt, 0.0);
  if (__builtin_isnan(c.lower) || __builtin_isnan(c.upper)) {
    positive_dt ? adaptive_range<V, true, true, kRoll>(c, begin, end)
                : adaptive_range<V, false, true, kRoll>(c, begin, end);
  } else {
    positive_dt ? adaptive_range<V, true, false, kRoll>(c, begin, end)
                : adaptive_range<V, false, false, kRoll>(c, begin, end);
  }
}

template <class V>
void adaptive(const AdaptiveChannels& c, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
  if (c.new_history == c.history) {
    adaptive_rolled<V, Roll::kInPlace>(c, begin, end);
  } else if (c.new_history + c.n == c.history) {
    c.stream ? adaptive_rolled<V, Roll::kRingStreamed>(c, begin, end)
             : adaptive_rolled<V, Roll::kRing>(c, begin, end);
  } else if (c.stream) {
    adaptive_rolled<V, Roll::kApartStreamed>(c, begin, end);
  } else {
    adaptive_rolled<V, Roll::kApart>(c, begin, end);
  }
}

}  // namespace kovar::kernels::law
