#include "kovar/kernels/bank_kernel.hpp"

#include <cmath>
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
// the left operand.
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

// The integral after an automatic step that advanced time by h.
template <AntiWindup kMode, class P>
inline double next_integral(const P& p, std::size_t i, bool tt_auto, double integral, double e,
                            double v, double u, double h) noexcept {
  const double ei = __builtin_islessequal(std::fabs(e), p(kDeadband, i)) ? 0.0 : e;
  const double ki = p(kKi, i);
  if constexpr (kMode == AntiWindup::kNone) {
    integral = integral + ki * h * ei;
  } else if constexpr (kMode == AntiWindup::kConditional) {
    const bool saturating = (__builtin_isgreater(v, p(kUMax, i)) && __builtin_isgreater(ei, 0.0)) ||
                            (__builtin_isless(v, p(kUMin, i)) && __builtin_isless(ei, 0.0));
    if (!saturating) integral = integral + ki * h * ei;
  } else {
    double tt = p(kTt, i);
    bool track = true;
    if (tt_auto) {
      const double kp = p(kKp, i);
      track = __builtin_isgreater(kp, 0.0) && __builtin_isgreater(ki, 0.0);
      tt = kp / ki;
    }
    if (track) {
      integral = integral + (ki * h * ei + h * (u - v) / tt);
    } else {
      integral = integral + ki * h * ei;
    }
  }
  return clip(integral, p(kIMin, i), p(kIMax, i));
}

// One call that advanced time (h > 0). kFlags: some channel is in manual
// mode or fresh, so the per-channel flags must be read.
template <AntiWindup kMode, bool kFlags, class P>
void advance(const P& p, const UpdateArgs& a, std::size_t begin = 0) noexcept {
  const double h = a.h;
  const Strided& rs = a.setpoint;
  const Strided& ys = a.measurement;
  for (std::size_t i = begin; i < a.n; ++i) {
    const double r = rs.at(i);
    const double y = ys.at(i);
    if (!(finite(r) && finite(y))) {
      a.out[i] = a.output[i] = kNaN;
      continue;
    }
    const double prop = p(kKp, i) * (p(kB, i) * r - y);
    const double x = p(kC, i) * r - y;
    const double tf = p(kTf, i);
    double d;
    if (kFlags && a.fresh[i]) {
      d = 0.0;
      a.fresh[i] = 0;
    } else {
      d = (tf * a.derivative[i] + p(kKd, i) * (x - a.x_prev[i])) / (tf + h);
    }
    const double u_min = p(kUMin, i);
    const double u_max = p(kUMax, i);
    double integral;
    double u;
    if (kFlags && a.manual[i]) {
      u = clip(a.manual_value[i], u_min, u_max);
      integral = clip(u - prop - d, p(kIMin, i), p(kIMax, i));
    } else {
      const double v = prop + a.integral[i] + d;
      u = clip(v, u_min, u_max);
      integral = next_integral<kMode>(p, i, a.tt_auto, a.integral[i], r - y, v, u, h);
    }
    a.integral[i] = integral;
    a.derivative[i] = d;
    a.x_prev[i] = x;
    a.out[i] = a.output[i] = u;
  }
}

// One call in which no time passed: the output from the held state.
template <class P>
void hold(const P& p, const UpdateArgs& a) noexcept {
  const Strided& rs = a.setpoint;
  const Strided& ys = a.measurement;
  const bool flags = a.manual_count > 0;
  for (std::size_t i = 0; i < a.n; ++i) {
    const double r = rs.at(i);
    const double y = ys.at(i);
    double u;
    if (!(finite(r) && finite(y))) {
      u = kNaN;
    } else if (flags && a.manual[i]) {
      u = clip(a.manual_value[i], p(kUMin, i), p(kUMax, i));
    } else {
      const double prop = p(kKp, i) * (p(kB, i) * r - y);
      u = clip(prop + a.integral[i] + a.derivative[i], p(kUMin, i), p(kUMax, i));
    }
    a.out[i] = a.output[i] = u;
  }
}

#if defined(__SSE2__)
// The common case two channels at a time: every parameter uniform, no
// channel manual or fresh, time advancing. Each lane makes the scalar law's
// operations in the same order, so the bits are the same:
//  - max(x, lo) (x unless lo > x) is MAXPD(lo, x), and min(m, hi) (m unless
//    hi < m) is MINPD(hi, m), NaN operands included;
//  - products of uniform factors (ki*h, tf + h, kp/ki) are made once;
//  - selections are bit masks, so nothing branches on the data.
// The ordered comparisons may raise the invalid flag on a NaN lane;
// run_update restores the floating-point status.
template <AntiWindup kMode, bool kTrack, bool kScalarSetpoint, bool kScalarMeasurement>
std::size_t advance_uniform(const UniformParams& p, const UpdateArgs& a, double tt) noexcept {
  const __m128d h = _mm_set1_pd(a.h);
  const __m128d kp = _mm_set1_pd(p.v[kKp]), b = _mm_set1_pd(p.v[kB]);
  const __m128d c = _mm_set1_pd(p.v[kC]), kd = _mm_set1_pd(p.v[kKd]);
  const __m128d tf = _mm_set1_pd(p.v[kTf]), tf_h = _mm_set1_pd(p.v[kTf] + a.h);
  const __m128d u_min = _mm_set1_pd(p.v[kUMin]), u_max = _mm_set1_pd(p.v[kUMax]);
  const __m128d i_min = _mm_set1_pd(p.v[kIMin]), i_max = _mm_set1_pd(p.v[kIMax]);
  const __m128d deadband = _mm_set1_pd(p.v[kDeadband]);
  const __m128d ki_h = _mm_set1_pd(p.v[kKi] * a.h);
  const __m128d tt_v = _mm_set1_pd(tt);
  const __m128d zero = _mm_setzero_pd();
  const __m128d nan = _mm_set1_pd(kNaN);
  const __m128d sign = _mm_set1_pd(-0.0);
  const double* rs = a.setpoint.data;
  const double* ys = a.measurement.data;
  const __m128d r_scalar = _mm_set1_pd(rs[0]);
  const __m128d y_scalar = _mm_set1_pd(ys[0]);
  const auto select = [](__m128d mask, __m128d yes, __m128d no) {
    return _mm_or_pd(_mm_and_pd(mask, yes), _mm_andnot_pd(mask, no));
  };
  std::size_t i = 0;
  for (; i + 2 <= a.n; i += 2) {
    const __m128d r = kScalarSetpoint ? r_scalar : _mm_loadu_pd(rs + i);
    const __m128d y = kScalarMeasurement ? y_scalar : _mm_loadu_pd(ys + i);
    // x - x is 0 for a finite x and NaN otherwise; CMPEQPD is quiet.
    const __m128d ok = _mm_cmpeq_pd(_mm_add_pd(_mm_sub_pd(r, r), _mm_sub_pd(y, y)), zero);
    const __m128d prop = _mm_mul_pd(kp, _mm_sub_pd(_mm_mul_pd(b, r), y));
    const __m128d x = _mm_sub_pd(_mm_mul_pd(c, r), y);
    const __m128d d0 = _mm_loadu_pd(a.derivative + i);
    const __m128d xp = _mm_loadu_pd(a.x_prev + i);
    const __m128d d =
        _mm_div_pd(_mm_add_pd(_mm_mul_pd(tf, d0), _mm_mul_pd(kd, _mm_sub_pd(x, xp))), tf_h);
    const __m128d i0 = _mm_loadu_pd(a.integral + i);
    const __m128d v = _mm_add_pd(_mm_add_pd(prop, i0), d);
    const __m128d u = _mm_min_pd(u_max, _mm_max_pd(u_min, v));
    const __m128d e = _mm_sub_pd(r, y);
    const __m128d ei = _mm_andnot_pd(_mm_cmple_pd(_mm_andnot_pd(sign, e), deadband), e);
    __m128d next;
    if constexpr (kMode == AntiWindup::kNone) {
      next = _mm_add_pd(i0, _mm_mul_pd(ki_h, ei));
    } else if constexpr (kMode == AntiWindup::kConditional) {
      const __m128d saturating =
          _mm_or_pd(_mm_and_pd(_mm_cmpgt_pd(v, u_max), _mm_cmpgt_pd(ei, zero)),
                    _mm_and_pd(_mm_cmplt_pd(v, u_min), _mm_cmplt_pd(ei, zero)));
      next = select(saturating, i0, _mm_add_pd(i0, _mm_mul_pd(ki_h, ei)));
    } else if constexpr (kTrack) {
      next = _mm_add_pd(i0, _mm_add_pd(_mm_mul_pd(ki_h, ei),
                                       _mm_div_pd(_mm_mul_pd(h, _mm_sub_pd(u, v)), tt_v)));
    } else {
      next = _mm_add_pd(i0, _mm_mul_pd(ki_h, ei));
    }
    next = _mm_min_pd(i_max, _mm_max_pd(i_min, next));
    _mm_storeu_pd(a.integral + i, select(ok, next, i0));
    _mm_storeu_pd(a.derivative + i, select(ok, d, d0));
    _mm_storeu_pd(a.x_prev + i, select(ok, x, xp));
    const __m128d result = select(ok, u, nan);
    _mm_storeu_pd(a.output + i, result);
    _mm_storeu_pd(a.out + i, result);
  }
  return i;
}

template <AntiWindup kMode, bool kTrack>
std::size_t advance_uniform(const UniformParams& p, const UpdateArgs& a, double tt) noexcept {
  const bool scalar_r = a.setpoint.step == 0;
  const bool scalar_y = a.measurement.step == 0;
  if (scalar_r && scalar_y) return advance_uniform<kMode, kTrack, true, true>(p, a, tt);
  if (scalar_r) return advance_uniform<kMode, kTrack, true, false>(p, a, tt);
  if (scalar_y) return advance_uniform<kMode, kTrack, false, true>(p, a, tt);
  return advance_uniform<kMode, kTrack, false, false>(p, a, tt);
}

void advance_uniform(const UniformParams& p, const UpdateArgs& a) noexcept {
  std::size_t done = 0;
  switch (a.anti_windup) {
    case AntiWindup::kBackCalculation: {
      double tt = p.v[kTt];
      bool track = true;
      if (a.tt_auto) {
        const double kp = p.v[kKp], ki = p.v[kKi];
        track = __builtin_isgreater(kp, 0.0) && __builtin_isgreater(ki, 0.0);
        tt = kp / ki;
      }
      done = track ? advance_uniform<AntiWindup::kBackCalculation, true>(p, a, tt)
                   : advance_uniform<AntiWindup::kBackCalculation, false>(p, a, tt);
      return advance<AntiWindup::kBackCalculation, false>(p, a, done);
    }
    case AntiWindup::kConditional:
      done = advance_uniform<AntiWindup::kConditional, false>(p, a, 0.0);
      return advance<AntiWindup::kConditional, false>(p, a, done);
    case AntiWindup::kNone:
      done = advance_uniform<AntiWindup::kNone, false>(p, a, 0.0);
      return advance<AntiWindup::kNone, false>(p, a, done);
  }
}
#endif

template <class P>
void dispatch(const P& p, const UpdateArgs& a) noexcept {
#if defined(__SSE2__)
  if constexpr (std::is_same_v<P, UniformParams>) {
    if (__builtin_isgreater(a.h, 0.0) && a.manual_count == 0 && !a.any_fresh) {
      return advance_uniform(p, a);
    }
  }
#endif
  if (!__builtin_isgreater(a.h, 0.0)) return hold(p, a);
  const bool flags = a.manual_count > 0 || a.any_fresh;
  switch (a.anti_windup) {
    case AntiWindup::kBackCalculation:
      return flags ? advance<AntiWindup::kBackCalculation, true>(p, a)
                   : advance<AntiWindup::kBackCalculation, false>(p, a);
    case AntiWindup::kConditional:
      return flags ? advance<AntiWindup::kConditional, true>(p, a)
                   : advance<AntiWindup::kConditional, false>(p, a);
    case AntiWindup::kNone:
      return flags ? advance<AntiWindup::kNone, true>(p, a)
                   : advance<AntiWindup::kNone, false>(p, a);
  }
}

}  // namespace

bool run_update(const UpdateArgs& args) noexcept {
  // No channels: nothing to read, not even the first operand element.
  if (args.n == 0) return args.any_fresh;
  {
    // The bank reports no floating-point conditions: the flags its
    // arithmetic raises (inexact, overflow, invalid on a NaN input) are not
    // left behind.
    const kernels::FpStatusKeeper keep_status;
    bool uniform = true;
    for (int id = 0; id < kParamCount; ++id) uniform = uniform && args.params[id].uniform();
    if (uniform) {
      dispatch(UniformParams(args.params), args);
    } else {
      dispatch(ChannelParams(args.params), args);
    }
  }
  if (!args.any_fresh || !__builtin_isgreater(args.h, 0.0)) return args.any_fresh;
  for (std::size_t i = 0; i < args.n; ++i) {
    if (args.fresh[i]) return true;
  }
  return false;
}

}  // namespace kovar::bank_kernel
