// The bank's law, written once over a lane layer (lanes_*.hpp) and included
// by one translation unit per SIMD path. A vector of channels that are all
// automatic, past their first step and gap, with finite inputs, runs the
// law lane-wise; any other vector, and the channels of the tail, run the
// scalar law one channel at a time. Both make the same IEEE operations in
// the same order (the build forbids FMA contraction), so every path gives
// the scalar law's bits:
//  - clip(x, lo, hi) is min_of(hi, max_of(lo, x)): Python's min(max(x, lo),
//    hi), where ties and a NaN keep the left operand, so a NaN bound is no
//    bound;
//  - a product of uniform factors (ki*h, tf + h, rate_limit*h) is the same
//    number made once or per lane;
//  - selections are masks, so no lane branches on its data.
// The comparisons may raise invalid on a NaN; run_update restores the
// floating-point status.
//
// Everything here is a template on the lane layer, whose scalar type is its
// own per path: nothing instantiated in the AVX2 unit is shared with
// another (see lanes_scalar.hpp).
#pragma once

#include <cstddef>
#include <limits>

#include "kovar/kernels/bank_kernels.hpp"

namespace kovar::bank_kernel::law {

template <class S>
inline double clip(double x, double lo, double hi) noexcept {
  return S::min_of(hi, S::max_of(lo, x));
}

// The tracking time of tt=None: max(|kp/ki|, h), or h where kp is 0 (the
// integral then puts v on the limit in one step); no tracking where ki is
// 0 (nor where kp/ki overflows, as for any infinite tt). Never below h:
// tracking faster than one step overshoots, and kp/ki may underflow to 0.
template <class S>
inline bool auto_tracking_time(double kp, double ki, double h, double& tt) noexcept {
  if (ki == 0.0) return false;
  if (kp == 0.0) {
    tt = h;
    return true;
  }
  tt = S::max_of(h, __builtin_fabs(kp / ki));
  return true;
}

// Channel i's value of a parameter or an input. kUniform: every parameter
// is one number for all channels.
template <class S, bool kUniform = false>
inline double source(const Pass& pass, int id, std::size_t i) noexcept {
  if (id < kParamCount) {
    const Strided& param = pass.args->params[id];
    return kUniform ? param.data[0] : param.data[i * param.step];
  }
  return pass.data[id][i & pass.mask[id]];
}

// One channel of a call that advances time, the whole law: manual, fresh,
// gapped or failed channels included. kFlags: the manual, fresh and gap
// flags may be set. kTerms: store p and d, kStoreFf: store ff (where they
// are not derived, see derive_terms). Returns whether an input was not
// finite. kUniform as for source.
template <class S, AntiWindup kMode, bool kFlags, bool kFeedforward, bool kTrack, bool kTerms,
          bool kStoreFf, bool kUniform = false>
bool channel(const Pass& pass, std::size_t i) noexcept {
  const UpdateArgs& a = *pass.args;
  const ChannelState& s = *a.state;
  const double h = a.h;
  const auto p = [&pass, i](int id) { return source<S, kUniform>(pass, id, i); };
  const auto limit = [&](double v, bool rate) {
    // An infinite rate limit leaves v as it is (the window is +-inf or NaN).
    if (rate && !__builtin_isinf(p(kRateLimit))) {
      const double step = p(kRateLimit) * h;
      v = clip<S>(v, s.output[i] - step, s.output[i] + step);
    }
    return clip<S>(v, p(kUMin), p(kUMax));
  };
  const double r = p(kSetpointInput);
  const double y = p(kMeasurementInput);
  const double ff = kFeedforward ? p(kFeedforwardInput) : 0.0;
  const bool manual = kFlags && a.manual_count > 0 && s.manual[i];
  const bool fresh = kFlags && s.fresh[i];
  if (!(__builtin_isfinite(r) && __builtin_isfinite(y) &&
        (!kFeedforward || __builtin_isfinite(ff)))) {
    // The state stays; the derivative restarts at the next finite step.
    // Manual mode outputs the manual value all the same.
    s.gap[i] = 1;
    double u;
    if (manual) {
      u = limit(s.manual_value[i], pass.rated && !fresh);
    } else {
      u = a.on_nan == OnNan::kHold ? s.output[i] : std::numeric_limits<double>::quiet_NaN();
    }
    a.out[i] = s.output[i] = u;
    return true;
  }
  const double prop = p(kKp) * (p(kB) * r - y);
  const double x = p(kC) * r - y;
  double d;
  if (kFlags && (fresh || s.gap[i])) {
    d = 0.0;
    s.fresh[i] = 0;
    s.gap[i] = 0;
  } else {
    const double tf = p(kTf);
    d = (tf * s.derivative[i] + p(kKd) * (x - s.x_prev[i])) / (tf + h);
  }
  double integral;
  double u;
  if (manual) {
    u = limit(s.manual_value[i], pass.rated && !fresh);
    integral = u - prop - d;
    if constexpr (kFeedforward) integral = integral - ff;
    integral = clip<S>(integral, p(kIMin), p(kIMax));
  } else {
    double v = prop + s.integral[i] + d;
    // An absent feed-forward is left out, not added as +0.0 (which would
    // turn a v of -0.0 into +0.0): the plain pass does no work for it.
    if constexpr (kFeedforward) v = v + ff;
    u = limit(v, pass.rated && !fresh);
    double applied = u;
    if constexpr (kTrack) {
      const double t = p(kTrackInput);
      if (__builtin_isfinite(t)) applied = t;
    }
    const double e = r - y;
    const double ei = __builtin_islessequal(__builtin_fabs(e), p(kDeadband)) ? 0.0 : e;
    const double ki = p(kKi);
    integral = s.integral[i];
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
      double tt = p(kTt);
      const bool track = a.tt_auto ? auto_tracking_time<S>(p(kKp), ki, h, tt) : true;
      // An infinite tt (given, or |kp/ki| overflowing) is no tracking: its
      // term would be 0, but NaN where a - v overflows.
      if (track && !__builtin_isinf(tt)) {
        integral = integral + (ki * h * ei + h * (applied - v) / tt);
      } else {
        integral = integral + ki * h * ei;
      }
    }
    integral = clip<S>(integral, p(kIMin), p(kIMax));
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
  return false;
}

// Channels [begin, end) of a call that advances time, one at a time: a
// range shorter than a vector, which needs none of the vector pass's setup.
// Not inlined, so that advance, which picks it, needs no frame of its own;
// the law is inlined into its loop.
template <class S, bool kUniform, AntiWindup kMode, bool kFlags, bool kFeedforward, bool kTrack,
          bool kTerms, bool kStoreFf>
[[gnu::noinline, gnu::flatten]] bool advance_channels(const Pass& pass, std::size_t begin,
                                                     std::size_t end) noexcept {
  bool failed = false;
  for (std::size_t i = begin; i < end; ++i) {
    failed = channel<S, kMode, kFlags, kFeedforward, kTrack, kTerms, kStoreFf, kUniform>(pass, i) ||
             failed;
  }
  return failed;
}

// Channels [begin, end) of a call that advances time. kUniform: every
// parameter is one number for all channels (made into vectors once).
// kRate: some channel's rate limit is finite. kArrays: setpoint and
// measurement are one per channel. kFlags, kTerms, kStoreFf as for channel.
template <class V, bool kUniform, AntiWindup kMode, bool kFlags, bool kFeedforward, bool kTrack,
          bool kRate, bool kTerms, bool kStoreFf, bool kArrays = false>
bool advance_range(const Pass& pass, std::size_t begin, std::size_t end) noexcept {
  using S = typename V::Lane;
  using R = typename V::Reg;
  using M = typename V::Mask;
  constexpr std::size_t kWidth = static_cast<std::size_t>(V::kWidth);
  constexpr auto one = channel<S, kMode, kFlags, kFeedforward, kTrack, kTerms, kStoreFf, kUniform>;
  if (end - begin < kWidth) {
    return advance_channels<S, kUniform, kMode, kFlags, kFeedforward, kTrack, kTerms, kStoreFf>(
        pass, begin, end);
  }
  bool failed = false;
  const UpdateArgs& a = *pass.args;
  const ChannelState& st = *a.state;
  // Locals, so the stores below cannot be taken to change them.
  double* __restrict integral = st.integral;
  double* __restrict derivative = st.derivative;
  double* __restrict x_prev = st.x_prev;
  double* __restrict output = st.output;
  double* __restrict out = a.out;
  double* __restrict r_last = st.r_last;
  double* __restrict y_last = st.y_last;
  double* __restrict term_p = st.term_p;
  double* __restrict term_i = st.term_i;
  double* __restrict term_d = st.term_d;
  double* __restrict term_ff = st.term_ff;
  const unsigned char* manual = kFlags && a.manual_count > 0 ? st.manual : nullptr;
  const unsigned char* fresh = st.fresh;
  const unsigned char* gap = st.gap;
  // The vector sources the pass reads: the inputs it was given and the
  // parameters that differ between channels.
  constexpr int kFirst = kUniform ? kSetpointInput : 0;
  constexpr int kEnd = kTrack ? kTrackInput + 1 : kFeedforward ? kFeedforwardInput + 1
                                                               : kMeasurementInput + 1;
  const double* lanes[kSourceCount];
  std::size_t mask[kSourceCount];
  for (int id = kFirst; id < kEnd; ++id) {
    lanes[id] = pass.lanes[id];
    mask[id] = pass.mask[id];
  }
  const bool stream = pass.stream;
  const double step = a.h;
  const R h = V::set1(step);
  const R zero = V::set1(0.0);
  // Uniform parameters and their products, once.
  const Strided* params = a.params;
  R uniform[kParamCount];
  if constexpr (kUniform) {
    for (int id = 0; id < kParamCount; ++id) uniform[id] = V::set1(params[id].data[0]);
  }
  const R ki_h_uniform = V::set1(params[kKi].data[0] * step);
  const R tf_h_uniform = V::set1(params[kTf].data[0] + step);
  const R rate_h_uniform = V::set1(params[kRateLimit].data[0] * step);
  const R tt_uniform =
      V::set1(kUniform && kMode == AntiWindup::kBackCalculation ? pass.tt : 0.0);
  const bool tt_auto = a.tt_auto;

  const auto load = [&](int id, std::size_t i) -> R { return V::load(lanes[id] + (i & mask[id])); };
  const auto param = [&](int id, std::size_t i) -> R {
    if constexpr (kUniform) {
      return uniform[id];
    } else {
      return load(id, i);
    }
  };
  const auto put = [stream](double* to, R value) {
    if (stream) {
      V::stream(to, value);
    } else {
      V::store(to, value);
    }
  };
  const auto clip_v = [](R x, R lo, R hi) { return V::min_of(hi, V::max_of(lo, x)); };

  std::size_t i = begin;
  for (; i + kWidth <= end; i += kWidth) {
    const R r = kArrays ? V::load(lanes[kSetpointInput] + i) : load(kSetpointInput, i);
    const R y = kArrays ? V::load(lanes[kMeasurementInput] + i) : load(kMeasurementInput, i);
    const R ff = kFeedforward ? load(kFeedforwardInput, i) : zero;
    M finite = V::both(V::finite(r), V::finite(y));
    if constexpr (kFeedforward) finite = V::both(finite, V::finite(ff));
    bool whole = V::all(finite);
    if constexpr (kFlags) {
      unsigned flags = 0;
      for (std::size_t k = 0; k < kWidth; ++k) {
        flags |= fresh[i + k] | gap[i + k] | (manual != nullptr ? manual[i + k] : 0);
      }
      whole = whole && flags == 0;
    }
    if (!whole) {
      for (std::size_t k = 0; k < kWidth; ++k) failed = one(pass, i + k) || failed;
      continue;
    }
    const R prop = V::mul(param(kKp, i), V::sub(V::mul(param(kB, i), r), y));
    const R x = V::sub(V::mul(param(kC, i), r), y);
    const R tf = param(kTf, i);
    const R tf_h = kUniform ? tf_h_uniform : V::add(tf, h);
    const R d = V::div(V::add(V::mul(tf, V::load(derivative + i)),
                              V::mul(param(kKd, i), V::sub(x, V::load(x_prev + i)))),
                       tf_h);
    const R i0 = V::load(integral + i);
    R v = V::add(V::add(prop, i0), d);
    if constexpr (kFeedforward) v = V::add(v, ff);
    R u = v;
    if constexpr (kRate) {
      // rate_limit*h is inf for an infinite limit, whose window then
      // leaves v as it is (its bounds are +-inf or NaN).
      const R u_prev = V::load(output + i);
      const R window = kUniform ? rate_h_uniform : V::mul(param(kRateLimit, i), h);
      u = clip_v(u, V::sub(u_prev, window), V::add(u_prev, window));
    }
    u = clip_v(u, param(kUMin, i), param(kUMax, i));
    R applied = u;
    if constexpr (kTrack) {
      const R t = load(kTrackInput, i);
      applied = V::select(V::finite(t), t, u);
    }
    const R e = V::sub(r, y);
    const R ei = V::select(V::less_equal(V::abs(e), param(kDeadband, i)), zero, e);
    const R ki = param(kKi, i);
    const R ki_h = kUniform ? ki_h_uniform : V::mul(ki, h);
    const R integrated = V::add(i0, V::mul(ki_h, ei));
    R next;
    if constexpr (kMode == AntiWindup::kNone) {
      next = integrated;
    } else if constexpr (kMode == AntiWindup::kConditional) {
      const R push = V::mul(ki, ei);
      const M saturating = V::either(V::both(V::less(applied, v), V::greater(push, zero)),
                                     V::both(V::greater(applied, v), V::less(push, zero)));
      next = V::select(saturating, i0, integrated);
    } else if constexpr (kUniform) {
      // Uniform parameters come here only where every channel tracks with
      // a finite tt.
      next = V::add(i0, V::add(V::mul(ki_h, ei), V::div(V::mul(h, V::sub(applied, v)), tt_uniform)));
    } else {
      R tt = param(kTt, i);
      M tracking = V::equal(zero, zero);
      if (tt_auto) {
        // As auto_tracking_time, lane by lane.
        const R kp = param(kKp, i);
        tracking = V::negate(V::equal(ki, zero));
        tt = V::select(V::equal(kp, zero), h, V::max_of(h, V::abs(V::div(kp, ki))));
      }
      // As channel: an infinite tt is no tracking (tt is never NaN).
      tracking = V::both(tracking, V::finite(tt));
      const R tracked =
          V::add(i0, V::add(V::mul(ki_h, ei), V::div(V::mul(h, V::sub(applied, v)), tt)));
      next = V::select(tracking, tracked, integrated);
    }
    next = clip_v(next, param(kIMin, i), param(kIMax, i));
    V::store(integral + i, next);
    V::store(derivative + i, d);
    V::store(x_prev + i, x);
    // With a rate limit the last output was just read: its line is cached.
    if constexpr (kRate) {
      V::store(output + i, u);
    } else {
      put(output + i, u);
    }
    put(out + i, u);
    put(r_last + i, r);
    put(y_last + i, y);
    put(term_i + i, i0);
    if constexpr (kTerms) {
      put(term_p + i, prop);
      put(term_d + i, d);
    }
    if constexpr (kStoreFf) put(term_ff + i, ff);
  }
  for (; i < end; ++i) failed = one(pass, i) || failed;
  if (stream) V::fence();
  return failed;
}

// A call that is not plain stores every term (derive_terms ran first). A
// plain one stores p and d where they are not derived, ff where given, and
// zeros where the terms' ff is not derived as 0. A range shorter than a
// vector goes to the scalar law straight.
//
// The steps from advance down to here are inlined into advance: one
// function picks the pass for the call's case.
template <class V, bool kUniform, AntiWindup kMode, bool kFlags, bool kFeedforward, bool kTrack,
          bool kRate>
[[gnu::always_inline]] inline bool advance_terms(const Pass& pass, std::size_t begin,
                                                 std::size_t end) noexcept {
  using S = typename V::Lane;
  constexpr std::size_t kWidth = static_cast<std::size_t>(V::kWidth);
  if constexpr (kFlags) {
    if (end - begin < kWidth) {
      return advance_channels<S, kUniform, kMode, true, kFeedforward, kTrack, true, true>(
          pass, begin, end);
    }
    return advance_range<V, kUniform, kMode, true, kFeedforward, kTrack, kRate, true, true>(
        pass, begin, end);
  } else {
    constexpr auto range = []<bool kTerms, bool kStoreFf>(const Pass& p, std::size_t b,
                                                          std::size_t e) {
      if (e - b < kWidth) {
        return advance_channels<S, kUniform, kMode, false, kFeedforward, false, kTerms, kStoreFf>(
            p, b, e);
      }
      if (p.mask[kSetpointInput] != 0 && p.mask[kMeasurementInput] != 0) {
        return advance_range<V, kUniform, kMode, false, kFeedforward, false, kRate, kTerms,
                             kStoreFf, true>(p, b, e);
      }
      return advance_range<V, kUniform, kMode, false, kFeedforward, false, kRate, kTerms,
                           kStoreFf>(p, b, e);
    };
    const bool terms = !pass.args->terms_derived;
    if constexpr (kFeedforward) {
      return terms ? range.template operator()<true, true>(pass, begin, end)
                   : range.template operator()<false, true>(pass, begin, end);
    } else {
      const bool store_ff = !pass.args->feedforward_zero;
      if (terms) {
        return store_ff ? range.template operator()<true, true>(pass, begin, end)
                        : range.template operator()<true, false>(pass, begin, end);
      }
      return store_ff ? range.template operator()<false, true>(pass, begin, end)
                      : range.template operator()<false, false>(pass, begin, end);
    }
  }
}

template <class V, bool kUniform, AntiWindup kMode, bool kFlags>
[[gnu::always_inline]] inline bool advance_inputs(const Pass& pass, std::size_t begin,
                                                  std::size_t end) noexcept {
  const UpdateArgs& a = *pass.args;
  if (a.has_feedforward) {
    if (kFlags && a.has_track) {
      return advance_terms<V, kUniform, kMode, kFlags, true, kFlags, true>(pass, begin, end);
    }
    return pass.rated ? advance_terms<V, kUniform, kMode, kFlags, true, false, true>(pass, begin, end)
                      : advance_terms<V, kUniform, kMode, kFlags, true, false, false>(pass, begin,
                                                                                      end);
  }
  if (kFlags && a.has_track) {
    return advance_terms<V, kUniform, kMode, kFlags, false, kFlags, true>(pass, begin, end);
  }
  return pass.rated ? advance_terms<V, kUniform, kMode, kFlags, false, false, true>(pass, begin, end)
                    : advance_terms<V, kUniform, kMode, kFlags, false, false, false>(pass, begin,
                                                                                     end);
}

template <class V, bool kUniform, bool kFlags>
[[gnu::always_inline]] inline bool advance_modes(const Pass& pass, std::size_t begin,
                                                 std::size_t end) noexcept {
  switch (pass.mode) {
    case AntiWindup::kBackCalculation:
      return advance_inputs<V, kUniform, AntiWindup::kBackCalculation, kFlags>(pass, begin, end);
    case AntiWindup::kConditional:
      return advance_inputs<V, kUniform, AntiWindup::kConditional, kFlags>(pass, begin, end);
    case AntiWindup::kNone:
      return advance_inputs<V, kUniform, AntiWindup::kNone, kFlags>(pass, begin, end);
  }
  return false;
}

template <class V>
bool advance(const Pass& pass, std::size_t begin, std::size_t end) noexcept {
  if (pass.args->params_uniform) {
    return pass.plain ? advance_modes<V, true, false>(pass, begin, end)
                      : advance_modes<V, true, true>(pass, begin, end);
  }
  return pass.plain ? advance_modes<V, false, false>(pass, begin, end)
                    : advance_modes<V, false, true>(pass, begin, end);
}

// Channels [begin, end) of a call in which no time passed: the output from
// the held state, with no rate limit (no time for one). kUniform as for
// source.
template <class S, bool kUniform>
bool hold_channels(const Pass& pass, std::size_t begin, std::size_t end) noexcept {
  const UpdateArgs& a = *pass.args;
  const ChannelState& s = *a.state;
  const bool flags = a.manual_count > 0;
  // The parameters this reads, when uniform: once, not after every store.
  constexpr int kRead[] = {kKp, kB, kUMin, kUMax};
  double uniform[kParamCount];
  if constexpr (kUniform) {
    for (const int id : kRead) uniform[id] = a.params[id].data[0];
  }
  bool failed = false;
  for (std::size_t i = begin; i < end; ++i) {
    const auto p = [&pass, &uniform, i](int id) {
      if constexpr (kUniform) {
        if (id < kParamCount) return uniform[id];
      }
      return source<S>(pass, id, i);
    };
    const double r = p(kSetpointInput);
    const double y = p(kMeasurementInput);
    const double ff = a.has_feedforward ? p(kFeedforwardInput) : 0.0;
    const bool manual = flags && s.manual[i];
    double u;
    if (!(__builtin_isfinite(r) && __builtin_isfinite(y) && __builtin_isfinite(ff))) {
      s.gap[i] = 1;
      failed = true;
      if (manual) {
        u = clip<S>(s.manual_value[i], p(kUMin), p(kUMax));
      } else {
        u = a.on_nan == OnNan::kHold ? s.output[i] : std::numeric_limits<double>::quiet_NaN();
      }
      a.out[i] = s.output[i] = u;
      continue;
    }
    if (manual) {
      u = clip<S>(s.manual_value[i], p(kUMin), p(kUMax));
    } else {
      const double prop = p(kKp) * (p(kB) * r - y);
      double v = prop + s.integral[i] + s.derivative[i];
      if (a.has_feedforward) v = v + ff;
      u = clip<S>(v, p(kUMin), p(kUMax));
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

template <class V>
bool hold(const Pass& pass, std::size_t begin, std::size_t end) noexcept {
  using S = typename V::Lane;
  return pass.args->params_uniform ? hold_channels<S, true>(pass, begin, end)
                                   : hold_channels<S, false>(pass, begin, end);
}

}  // namespace kovar::bank_kernel::law
