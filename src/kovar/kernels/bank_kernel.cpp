#include "kovar/kernels/bank_kernel.hpp"

#include <cmath>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <limits>
#include <type_traits>

#include "kovar/kernels/fp_status.hpp"

namespace kovar::bank_kernel {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// min(max(x, lo), hi), with Python's min/max semantics: ties and NaN keep
// the left operand, so a NaN bound is no bound.
inline double clip(double x, double lo, double hi) noexcept {
  const double m = __builtin_isless(x, lo) ? lo : x;
  return __builtin_isgreater(m, hi) ? hi : m;
}

inline bool finite(double v) noexcept { return __builtin_isfinite(v); }

// Parameters that are the same for every channel, read once.
struct UniformParams {
  double v[kParamCount];
  explicit UniformParams(const Strided* params) noexcept {
    for (int id = 0; id < kParamCount; ++id) v[id] = params[id].data[0];
  }
  double operator()(int id, std::size_t) const noexcept { return v[id]; }
};

// Parameters of which some hold one value per channel.
struct ChannelParams {
  const double* data[kParamCount];
  std::size_t step[kParamCount];
  explicit ChannelParams(const Strided* params) noexcept {
    for (int id = 0; id < kParamCount; ++id) {
      data[id] = params[id].data;
      step[id] = params[id].step;
    }
  }
  double operator()(int id, std::size_t i) const noexcept { return data[id][i * step[id]]; }
};

// The tracking time of tt=None: max(|kp/ki|, h), or h where kp is 0 (the
// integral then puts v on the limit in one step); no tracking where ki is
// 0. Never below h: tracking faster than one step overshoots, and kp/ki
// may underflow to 0.
inline bool auto_tracking_time(double kp, double ki, double h, double& tt) noexcept {
  if (ki == 0.0) return false;
  if (kp == 0.0) {
    tt = h;
    return true;
  }
  const double ratio = std::fabs(kp / ki);
  tt = __builtin_isgreater(h, ratio) ? h : ratio;
  return true;
}

// The output for a wanted value v: within the rate window around the last
// output (when `rate` is set), then within the output limits, which win
// where the two do not meet.
template <class P>
inline double limit(const P& p, std::size_t i, double v, double u_prev, double h,
                    bool rate) noexcept {
  // An infinite limit leaves v as it is (the window is +-inf or NaN).
  if (rate && !std::isinf(p(kRateLimit, i))) {
    const double step = p(kRateLimit, i) * h;
    v = clip(v, u_prev - step, u_prev + step);
  }
  return clip(v, p(kUMin, i), p(kUMax, i));
}

// The integral after an automatic step that advanced time by h; `applied`
// is the output the actuator received (the bank's own or the tracked one).
template <AntiWindup kMode, class P>
inline double next_integral(const P& p, std::size_t i, bool tt_auto, double integral, double e,
                            double v, double applied, double h) noexcept {
  const double ei = __builtin_islessequal(std::fabs(e), p(kDeadband, i)) ? 0.0 : e;
  const double ki = p(kKi, i);
  if constexpr (kMode == AntiWindup::kNone) {
    integral = integral + ki * h * ei;
  } else if constexpr (kMode == AntiWindup::kConditional) {
    // Integration stops only where it would push v further past the
    // output that was applied, whatever the signs of the gains.
    const double push = ki * ei;
    const bool saturating = (__builtin_isless(applied, v) && __builtin_isgreater(push, 0.0)) ||
                            (__builtin_isgreater(applied, v) && __builtin_isless(push, 0.0));
    if (!saturating) integral = integral + ki * h * ei;
  } else {
    double tt = p(kTt, i);
    const bool track = tt_auto ? auto_tracking_time(p(kKp, i), ki, h, tt) : true;
    if (track) {
      integral = integral + (ki * h * ei + h * (applied - v) / tt);
    } else {
      integral = integral + ki * h * ei;
    }
  }
  return clip(integral, p(kIMin, i), p(kIMax, i));
}

// A channel whose input is not finite: its state stays, its derivative
// restarts at the next finite step. Manual mode outputs the manual value
// all the same.
template <class P>
inline void failed_input(const P& p, const UpdateArgs& a, std::size_t i, bool manual,
                         bool advancing) noexcept {
  const ChannelState& s = *a.state;
  s.gap[i] = 1;
  double u;
  if (manual) {
    u = limit(p, i, s.manual_value[i], s.output[i], a.h, advancing && !s.fresh[i]);
  } else {
    u = a.on_nan == OnNan::kHold ? s.output[i] : kNaN;
  }
  a.out[i] = s.output[i] = u;
}

// One call that advanced time (h > 0). kFlags: some channel is manual,
// fresh or gapped, so the per-channel flags must be read. kTerms: store p
// and d, kStoreFf: store ff (where they are not derived, see
// derive_terms). Returns whether an input was not finite.
template <AntiWindup kMode, bool kFlags, bool kFeedforward, bool kTrack, class P,
          bool kTerms = true, bool kStoreFf = true>
bool advance(const P& p, const UpdateArgs& a, std::size_t begin, std::size_t end) noexcept {
  const double h = a.h;
  const ChannelState& s = *a.state;
  // No channel has a rate limit when the one for all is infinite.
  const Strided& rate_limit = a.params[kRateLimit];
  const bool rated = !(rate_limit.step == 0 && std::isinf(rate_limit.data[0]));
  bool failed = false;
  for (std::size_t i = begin; i < end; ++i) {
    const double r = a.setpoint.at(i);
    const double y = a.measurement.at(i);
    const double ff = kFeedforward ? a.feedforward.at(i) : 0.0;
    const bool manual = kFlags && s.manual[i];
    if (!(finite(r) && finite(y) && (!kFeedforward || finite(ff)))) {
      failed_input(p, a, i, manual, true);
      failed = true;
      continue;
    }
    const double prop = p(kKp, i) * (p(kB, i) * r - y);
    const double x = p(kC, i) * r - y;
    const bool fresh = kFlags && s.fresh[i];
    double d;
    if (kFlags && (fresh || s.gap[i])) {
      d = 0.0;
      s.fresh[i] = 0;
      s.gap[i] = 0;
    } else {
      const double tf = p(kTf, i);
      d = (tf * s.derivative[i] + p(kKd, i) * (x - s.x_prev[i])) / (tf + h);
    }
    double integral;
    double u;
    if (manual) {
      u = limit(p, i, s.manual_value[i], s.output[i], h, rated && !fresh);
      integral = u - prop - d;
      if constexpr (kFeedforward) integral = integral - ff;
      integral = clip(integral, p(kIMin, i), p(kIMax, i));
    } else {
      double v = prop + s.integral[i] + d;
      if constexpr (kFeedforward) v = v + ff;
      u = limit(p, i, v, s.output[i], h, rated && !fresh);
      double applied = u;
      if constexpr (kTrack) {
        const double t = a.track.at(i);
        if (finite(t)) applied = t;
      }
      integral = next_integral<kMode>(p, i, a.tt_auto, s.integral[i], r - y, v, applied, h);
      s.term_i[i] = s.integral[i];
      if constexpr (kTerms) {
        s.term_p[i] = prop;
        s.term_d[i] = d;
      }
      if constexpr (kStoreFf) s.term_ff[i] = ff;
    }
    s.integral[i] = integral;
    s.derivative[i] = d;
    s.x_prev[i] = x;
    s.r_last[i] = r;
    s.y_last[i] = y;
    a.out[i] = s.output[i] = u;
  }
  return failed;
}

// One call in which no time passed: the output from the held state, with
// no rate limit (no time for one).
template <class P>
bool hold(const P& p, const UpdateArgs& a) noexcept {
  const ChannelState& s = *a.state;
  const bool flags = a.manual_count > 0;
  bool failed = false;
  for (std::size_t i = 0; i < a.n; ++i) {
    const double r = a.setpoint.at(i);
    const double y = a.measurement.at(i);
    const double ff = a.has_feedforward ? a.feedforward.at(i) : 0.0;
    const bool manual = flags && s.manual[i];
    if (!(finite(r) && finite(y) && finite(ff))) {
      failed_input(p, a, i, manual, false);
      failed = true;
      continue;
    }
    double u;
    if (manual) {
      u = clip(s.manual_value[i], p(kUMin, i), p(kUMax, i));
    } else {
      const double prop = p(kKp, i) * (p(kB, i) * r - y);
      double v = prop + s.integral[i] + s.derivative[i];
      if (a.has_feedforward) v = v + ff;
      u = clip(v, p(kUMin, i), p(kUMax, i));
      s.term_p[i] = prop;
      s.term_i[i] = s.integral[i];
      s.term_d[i] = s.derivative[i];
      s.term_ff[i] = ff;
    }
    s.r_last[i] = r;
    s.y_last[i] = y;
    a.out[i] = s.output[i] = u;
  }
  return failed;
}

template <AntiWindup kMode, bool kFlags, class P>
bool advance_inputs(const P& p, const UpdateArgs& a, std::size_t begin, std::size_t end) noexcept {
  if (a.has_feedforward) {
    return a.has_track ? advance<kMode, kFlags, true, true>(p, a, begin, end)
                       : advance<kMode, kFlags, true, false>(p, a, begin, end);
  }
  return a.has_track ? advance<kMode, kFlags, false, true>(p, a, begin, end)
                     : advance<kMode, kFlags, false, false>(p, a, begin, end);
}

template <bool kFlags, class P>
bool advance_modes(const P& p, const UpdateArgs& a, std::size_t begin, std::size_t end) noexcept {
  switch (a.anti_windup) {
    case AntiWindup::kBackCalculation:
      return advance_inputs<AntiWindup::kBackCalculation, kFlags>(p, a, begin, end);
    case AntiWindup::kConditional:
      return advance_inputs<AntiWindup::kConditional, kFlags>(p, a, begin, end);
    case AntiWindup::kNone:
      return advance_inputs<AntiWindup::kNone, kFlags>(p, a, begin, end);
  }
  return false;
}

// A plain call: time advancing, every channel automatic and neither fresh
// nor gapped, no tracking input. It stores p and d where they are not
// derived, ff where given and zeros where ff is not derived as 0 (see
// derive_terms). From `begin` on; returns whether an input was not finite.
template <bool kFeedforward, bool kTerms, bool kStoreFf, class P>
bool advance_plain(const P& p, const UpdateArgs& a, std::size_t begin) noexcept {
  switch (a.anti_windup) {
    case AntiWindup::kBackCalculation:
      return advance<AntiWindup::kBackCalculation, false, kFeedforward, false, P, kTerms, kStoreFf>(
          p, a, begin, a.n);
    case AntiWindup::kConditional:
      return advance<AntiWindup::kConditional, false, kFeedforward, false, P, kTerms, kStoreFf>(
          p, a, begin, a.n);
    case AntiWindup::kNone:
      return advance<AntiWindup::kNone, false, kFeedforward, false, P, kTerms, kStoreFf>(
          p, a, begin, a.n);
  }
  return false;
}

template <class P>
bool advance_plain(const P& p, const UpdateArgs& a) noexcept {
  const bool terms = !a.terms_derived;
  if (a.has_feedforward) {
    return terms ? advance_plain<true, true, true>(p, a, 0)
                 : advance_plain<true, false, true>(p, a, 0);
  }
  const bool store_ff = !a.feedforward_zero;
  if (terms) {
    return store_ff ? advance_plain<false, true, true>(p, a, 0)
                    : advance_plain<false, true, false>(p, a, 0);
  }
  return store_ff ? advance_plain<false, false, true>(p, a, 0)
                  : advance_plain<false, false, false>(p, a, 0);
}

#if defined(__SSE2__)
// The common case two channels at a time: every parameter uniform, no
// channel manual, fresh or gapped, no tracking input, time advancing. Each
// lane makes the scalar law's operations in the same order, so the bits are
// the same:
//  - max(x, lo) (x unless lo > x) is MAXPD(lo, x), and min(m, hi) (m unless
//    hi < m) is MINPD(hi, m), NaN operands included;
//  - products of uniform factors (ki*h, tf + h, rate_limit*h) are made once;
//  - selections are bit masks, so nothing branches on the data.
// A pair with a non-finite input goes through the scalar loop. The ordered
// comparisons may raise the invalid flag on a NaN lane; run_update
// restores the floating-point status. kTerms and kStoreFf as for advance.
// Returns the channels done; sets `failed` when an input was not finite.
enum class Uniform : int { kBackCalculation, kBackCalculationNoTrack, kConditional, kNone };

// From this many channels on, the state no longer stays in the cache
// between calls: arrays the pass only writes are written around the cache
// (MOVNTPD), which saves reading each line before writing it.
constexpr std::size_t kStreamFrom = std::size_t{1} << 18;

inline bool aligned16(const double* p) noexcept {
  return (reinterpret_cast<std::uintptr_t>(p) & 15) == 0;
}

constexpr AntiWindup scalar_mode(Uniform mode) {
  return mode == Uniform::kConditional ? AntiWindup::kConditional
         : mode == Uniform::kNone      ? AntiWindup::kNone
                                       : AntiWindup::kBackCalculation;
}

// Loads of an input that is one number for every channel or one per
// channel: a scalar is read from a pair of copies at index 0. kArray: the
// input is known to be one per channel.
template <bool kArray>
class PairSource {
 public:
  explicit PairSource(const Strided& input) noexcept
      : copies_{input.data[0], input.data[0]},
        data_(input.step == 0 ? copies_ : input.data),
        mask_(input.step == 0 ? 0 : ~std::size_t{0}) {}
  PairSource(const PairSource&) = delete;
  PairSource& operator=(const PairSource&) = delete;
  __m128d at(std::size_t i) const noexcept {
    return _mm_loadu_pd(data_ + (kArray ? i : i & mask_));
  }

 private:
  double copies_[2];
  const double* data_;
  std::size_t mask_;
};

// kArrays: setpoint and measurement are one per channel.
template <Uniform kMode, bool kArrays, bool kFeedforward, bool kRate, bool kTerms, bool kStoreFf>
std::size_t advance_uniform(const UniformParams& p, const UpdateArgs& a, double tt,
                            bool& failed) noexcept {
  const ChannelState& s = *a.state;
  const __m128d h = _mm_set1_pd(a.h);
  const __m128d kp = _mm_set1_pd(p.v[kKp]), b = _mm_set1_pd(p.v[kB]);
  const __m128d c = _mm_set1_pd(p.v[kC]), kd = _mm_set1_pd(p.v[kKd]);
  const __m128d tf = _mm_set1_pd(p.v[kTf]), tf_h = _mm_set1_pd(p.v[kTf] + a.h);
  const __m128d u_min = _mm_set1_pd(p.v[kUMin]), u_max = _mm_set1_pd(p.v[kUMax]);
  const __m128d i_min = _mm_set1_pd(p.v[kIMin]), i_max = _mm_set1_pd(p.v[kIMax]);
  const __m128d deadband = _mm_set1_pd(p.v[kDeadband]);
  const __m128d ki = _mm_set1_pd(p.v[kKi]);
  const __m128d ki_h = _mm_set1_pd(p.v[kKi] * a.h);
  const __m128d rate_h = _mm_set1_pd(p.v[kRateLimit] * a.h);
  const __m128d tt_v = _mm_set1_pd(tt);
  const __m128d zero = _mm_setzero_pd();
  const __m128d sign = _mm_set1_pd(-0.0);
  const PairSource<kArrays> rs(a.setpoint);
  const PairSource<kArrays> ys(a.measurement);
  const double no_feedforward = 0.0;
  const PairSource<false> ffs(kFeedforward ? a.feedforward : Strided{&no_feedforward, 0});
  const auto select = [](__m128d mask, __m128d yes, __m128d no) {
    return _mm_or_pd(_mm_and_pd(mask, yes), _mm_andnot_pd(mask, no));
  };
  const bool stream = a.n >= kStreamFrom && aligned16(a.out) && aligned16(s.output) &&
                      aligned16(s.r_last) && aligned16(s.y_last) && aligned16(s.term_i) &&
                      aligned16(s.term_p) && aligned16(s.term_d) && aligned16(s.term_ff);
  const auto put = [stream](double* to, __m128d value) {
    if (stream) {
      _mm_stream_pd(to, value);
    } else {
      _mm_storeu_pd(to, value);
    }
  };
  std::size_t i = 0;
  for (; i + 2 <= a.n; i += 2) {
    const __m128d r = rs.at(i);
    const __m128d y = ys.at(i);
    const __m128d ff = kFeedforward ? ffs.at(i) : zero;
    // x - x is 0 for a finite x and NaN otherwise; CMPEQPD is quiet.
    __m128d finite_sum = _mm_add_pd(_mm_sub_pd(r, r), _mm_sub_pd(y, y));
    if constexpr (kFeedforward) finite_sum = _mm_add_pd(finite_sum, _mm_sub_pd(ff, ff));
    if (_mm_movemask_pd(_mm_cmpeq_pd(finite_sum, zero)) != 3) {
      failed =
          advance<scalar_mode(kMode), false, kFeedforward, false, UniformParams, kTerms, kStoreFf>(
              p, a, i, i + 2) ||
          failed;
      continue;
    }
    const __m128d prop = _mm_mul_pd(kp, _mm_sub_pd(_mm_mul_pd(b, r), y));
    const __m128d x = _mm_sub_pd(_mm_mul_pd(c, r), y);
    const __m128d d0 = _mm_loadu_pd(s.derivative + i);
    const __m128d xp = _mm_loadu_pd(s.x_prev + i);
    const __m128d d =
        _mm_div_pd(_mm_add_pd(_mm_mul_pd(tf, d0), _mm_mul_pd(kd, _mm_sub_pd(x, xp))), tf_h);
    const __m128d i0 = _mm_loadu_pd(s.integral + i);
    __m128d v = _mm_add_pd(_mm_add_pd(prop, i0), d);
    if constexpr (kFeedforward) v = _mm_add_pd(v, ff);
    __m128d u;
    if constexpr (kRate) {
      const __m128d u_prev = _mm_loadu_pd(s.output + i);
      const __m128d w =
          _mm_min_pd(_mm_add_pd(u_prev, rate_h), _mm_max_pd(_mm_sub_pd(u_prev, rate_h), v));
      u = _mm_min_pd(u_max, _mm_max_pd(u_min, w));
    } else {
      u = _mm_min_pd(u_max, _mm_max_pd(u_min, v));
    }
    const __m128d e = _mm_sub_pd(r, y);
    const __m128d ei = _mm_andnot_pd(_mm_cmple_pd(_mm_andnot_pd(sign, e), deadband), e);
    __m128d next;
    if constexpr (kMode == Uniform::kConditional) {
      const __m128d push = _mm_mul_pd(ki, ei);
      const __m128d saturating =
          _mm_or_pd(_mm_and_pd(_mm_cmplt_pd(u, v), _mm_cmpgt_pd(push, zero)),
                    _mm_and_pd(_mm_cmpgt_pd(u, v), _mm_cmplt_pd(push, zero)));
      next = select(saturating, i0, _mm_add_pd(i0, _mm_mul_pd(ki_h, ei)));
    } else if constexpr (kMode == Uniform::kBackCalculation) {
      next = _mm_add_pd(
          i0, _mm_add_pd(_mm_mul_pd(ki_h, ei), _mm_div_pd(_mm_mul_pd(h, _mm_sub_pd(u, v)), tt_v)));
    } else {
      next = _mm_add_pd(i0, _mm_mul_pd(ki_h, ei));
    }
    next = _mm_min_pd(i_max, _mm_max_pd(i_min, next));
    _mm_storeu_pd(s.integral + i, next);
    _mm_storeu_pd(s.derivative + i, d);
    _mm_storeu_pd(s.x_prev + i, x);
    put(s.output + i, u);
    put(a.out + i, u);
    put(s.r_last + i, r);
    put(s.y_last + i, y);
    put(s.term_i + i, i0);
    if constexpr (kTerms) {
      put(s.term_p + i, prop);
      put(s.term_d + i, d);
    }
    if constexpr (kStoreFf) put(s.term_ff + i, ff);
  }
  if (stream) _mm_sfence();
  return i;
}

template <Uniform kMode, bool kFeedforward, bool kRate, bool kTerms, bool kStoreFf>
std::size_t advance_uniform(const UniformParams& p, const UpdateArgs& a, double tt,
                            bool& failed) noexcept {
  if (a.setpoint.step != 0 && a.measurement.step != 0) {
    return advance_uniform<kMode, true, kFeedforward, kRate, kTerms, kStoreFf>(p, a, tt, failed);
  }
  return advance_uniform<kMode, false, kFeedforward, kRate, kTerms, kStoreFf>(p, a, tt, failed);
}

template <bool kFeedforward, bool kRate, bool kTerms, bool kStoreFf>
bool advance_uniform(const UniformParams& p, const UpdateArgs& a) noexcept {
  std::size_t done = 0;
  bool failed = false;
  switch (a.anti_windup) {
    case AntiWindup::kBackCalculation: {
      double tt = p.v[kTt];
      const bool track = a.tt_auto ? auto_tracking_time(p.v[kKp], p.v[kKi], a.h, tt) : true;
      done =
          track ? advance_uniform<Uniform::kBackCalculation, kFeedforward, kRate, kTerms, kStoreFf>(
                      p, a, tt, failed)
                : advance_uniform<Uniform::kBackCalculationNoTrack, kFeedforward, kRate, kTerms,
                                  kStoreFf>(p, a, tt, failed);
      break;
    }
    case AntiWindup::kConditional:
      done = advance_uniform<Uniform::kConditional, kFeedforward, kRate, kTerms, kStoreFf>(
          p, a, 0.0, failed);
      break;
    case AntiWindup::kNone:
      done =
          advance_uniform<Uniform::kNone, kFeedforward, kRate, kTerms, kStoreFf>(p, a, 0.0, failed);
      break;
  }
  // The odd channel left.
  const bool rest_failed = done < a.n && advance_plain<kFeedforward, kTerms, kStoreFf>(p, a, done);
  return rest_failed || failed;
}

// p and d are stored where they are not derived; ff where given, and
// zeros where the terms' ff is not derived as 0. Returns whether an input
// was not finite.
template <bool kFeedforward, bool kRate>
bool advance_uniform(const UniformParams& p, const UpdateArgs& a) noexcept {
  const bool terms = !a.terms_derived;
  if constexpr (kFeedforward) {
    return terms ? advance_uniform<true, kRate, true, true>(p, a)
                 : advance_uniform<true, kRate, false, true>(p, a);
  } else {
    const bool store_ff = !a.feedforward_zero;
    if (terms) {
      return store_ff ? advance_uniform<false, kRate, true, true>(p, a)
                      : advance_uniform<false, kRate, true, false>(p, a);
    }
    return store_ff ? advance_uniform<false, kRate, false, true>(p, a)
                    : advance_uniform<false, kRate, false, false>(p, a);
  }
}

bool advance_uniform(const UniformParams& p, const UpdateArgs& a) noexcept {
  // An infinite rate limit leaves v as it is, whatever the last output.
  const bool rate = !std::isinf(p.v[kRateLimit]);
  if (a.has_feedforward) {
    return rate ? advance_uniform<true, true>(p, a) : advance_uniform<true, false>(p, a);
  }
  return rate ? advance_uniform<false, true>(p, a) : advance_uniform<false, false>(p, a);
}
#endif

bool is_plain(const UpdateArgs& a) noexcept {
  return __builtin_isgreater(a.h, 0.0) && a.manual_count == 0 && !a.any_flagged && !a.has_track;
}

template <class P>
bool dispatch(const P& p, const UpdateArgs& a, bool plain) noexcept {
  if (plain) {
#if defined(__SSE2__)
    // Pairs of channels where every parameter is uniform; a single channel
    // goes straight to the scalar loop.
    if constexpr (std::is_same_v<P, UniformParams>) {
      if (a.n >= 2) return advance_uniform(p, a);
    }
#endif
    return advance_plain(p, a);
  }
  if (!__builtin_isgreater(a.h, 0.0)) return hold(p, a);
  return a.manual_count > 0 || a.any_flagged ? advance_modes<true>(p, a, 0, a.n)
                                             : advance_modes<false>(p, a, 0, a.n);
}

}  // namespace

void derive_terms(const Strided* params, const ChannelState& s, std::size_t n, bool terms_derived,
                  bool feedforward_zero) noexcept {
  const Strided& kp = params[kKp];
  const Strided& b = params[kB];
  if (terms_derived) {
    for (std::size_t i = 0; i < n; ++i) {
      s.term_p[i] = kp.at(i) * (b.at(i) * s.r_last[i] - s.y_last[i]);
      s.term_d[i] = s.derivative[i];
    }
  }
  if (feedforward_zero) {
    for (std::size_t i = 0; i < n; ++i) s.term_ff[i] = 0.0;
  }
}

UpdateResult run_update(const UpdateArgs& args) noexcept {
  // No channel: nothing to read (the uniform pass reads element 0 of its
  // inputs up front).
  if (args.n == 0) return {false, args.terms_derived, args.feedforward_zero};
  const bool plain = is_plain(args);
  UpdateResult result{false, false, false};
  bool failed;
  {
    // The bank reports no floating-point conditions: the flags its
    // arithmetic raises (inexact, overflow, invalid on a NaN input) are not
    // left behind.
    const kernels::FpStatusKeeper keep_status;
    // Only a plain call keeps terms derived; any other call, and a
    // feed-forward that replaces derived zeros, stores them first (a plain
    // call reads feedforward_zero only without feed-forward, other calls
    // store every term and read neither flag). A failed channel keeps its
    // terms, so they stay derivable only if they were, or if no channel
    // failed.
    if (!plain || args.has_feedforward) {
      derive_terms(args.params, *args.state, args.n, args.terms_derived && !plain,
                   args.feedforward_zero);
    }
    failed = args.params_uniform ? dispatch(UniformParams(args.params), args, plain)
                                 : dispatch(ChannelParams(args.params), args, plain);
    if (plain) {
      result.terms_derived = args.terms_derived || !failed;
      result.feedforward_zero = !args.has_feedforward && (args.feedforward_zero || !failed);
    }
  }
  if (!args.any_flagged && !failed) return result;
  for (std::size_t i = 0; i < args.n; ++i) {
    if (args.state->fresh[i] || args.state->gap[i]) {
      result.any_flagged = true;
      break;
    }
  }
  return result;
}

}  // namespace kovar::bank_kernel
