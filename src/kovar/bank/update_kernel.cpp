#include "kovar/bank/update_kernel.hpp"

#include <cmath>
#include <limits>

namespace kovar::bank {

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
  explicit UniformParams(const Param* params) noexcept {
    for (int id = 0; id < kParamCount; ++id) v[id] = params[id].value;
  }
  double operator()(int id, std::size_t) const noexcept { return v[id]; }
};

// Parameters of which some hold one value per channel.
struct ChannelParams {
  const double* data[kParamCount];
  std::size_t step[kParamCount];
  explicit ChannelParams(const Param* params) noexcept {
    for (int id = 0; id < kParamCount; ++id) {
      data[id] = params[id].data();
      step[id] = params[id].step();
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
void advance(const P& p, const UpdateArgs& a) noexcept {
  const double h = a.h;
  const Operand& rs = *a.setpoint;
  const Operand& ys = *a.measurement;
  for (std::size_t i = 0; i < a.n; ++i) {
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
  const Operand& rs = *a.setpoint;
  const Operand& ys = *a.measurement;
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

template <class P>
void dispatch(const P& p, const UpdateArgs& a) noexcept {
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
  bool uniform = true;
  for (int id = 0; id < kParamCount; ++id) uniform = uniform && args.params[id].uniform();
  if (uniform) {
    dispatch(UniformParams(args.params), args);
  } else {
    dispatch(ChannelParams(args.params), args);
  }
  if (!args.any_fresh || !__builtin_isgreater(args.h, 0.0)) return args.any_fresh;
  for (std::size_t i = 0; i < args.n; ++i) {
    if (args.fresh[i]) return true;
  }
  return false;
}

}  // namespace kovar::bank
