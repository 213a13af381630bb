// The bank's law, written once over a lane layer (lanes_*.hpp) and included
// by one translation unit per SIMD path.
//
// `step` is the law of a call that advances time. A pass runs it a vector
// of channels at a time where every channel of the vector is regular
// (automatic, past its first step, no gap, no pending change, finite
// inputs); any other channel, and the channels of a range's tail, run it
// one channel at a time with the scalar lane and the irregular cases on.
// Both make the same IEEE operations in the same order (the build forbids
// FMA contraction), so every path gives the scalar law's bits:
//  - clip(x, lo, hi) is min_of(hi, max_of(lo, x)): Python's min(max(x, lo),
//    hi), where ties and a NaN keep the left operand, so a NaN bound is no
//    bound;
//  - a product of uniform factors (ki*h, tf + h, rate_limit*h) is the same
//    number made once or per lane;
//  - an infinite rate limit makes a window of +-inf (or NaN bounds), which
//    leaves v as it is: no lane needs to ask whether it has one;
//  - selections are masks, so no lane branches on its data.
// The comparisons may raise invalid on a NaN; run_update restores the
// floating-point status.
//
// The template parameters a pass is compiled for are the ones that pay:
// uniform parameters (made into vectors once, where per-channel ones are
// a dozen more streams to gather), the anti-windup mode (each is its own
// arithmetic, and back-calculation divides), and the rich pass (feed-forward,
// track, rate limit and terms, each a stream of its own, chosen at run
// time within it). Everything else is read from the call.
//
// Everything here is a template on the lane layer, whose scalar type is its
// own per path: nothing instantiated in the AVX2 unit is shared with
// another (see lanes_scalar.hpp).
#pragma once

#include <cstddef>
#include <limits>

#include "kovar/kernels/bank_kernels.hpp"
#include "kovar/kernels/relay_law.hpp"

namespace kovar::bank_kernel::law {

// The call as a pass uses it, copied into a local object: the build lets
// any store alias any memory, so fields read through the call's own
// structures would be read again after every store. S: the path's scalar
// lane, which makes the type the path's own.
template <class S>
struct Call {
  ChannelState s;
  double* out;
  bool out_is_output;  // the call writes the bank's own output: one store
  const unsigned char* manual;  // s.manual, or null when no channel is manual
  unsigned char* relay;         // s.relay, or null when no channel is in relay mode
  AntiWindup mode;
  OnNan on_nan;
  bool feedforward;
  bool track;
  bool keep_terms;
  bool rated;
  bool flagged;
  bool stream;
  bool tt_auto;

  relay::Channel relay_channel(std::size_t i) const noexcept {
    return {s.relay_fields + i, s.relay_stride};
  }

  explicit Call(const Pass& pass) noexcept
      : s(*pass.args->state),
        out(pass.args->out),
        out_is_output(out == s.output),
        manual(pass.args->manual_count > 0 ? s.manual : nullptr),
        relay(pass.args->relay_count > 0 ? s.relay : nullptr),
        mode(pass.mode),
        on_nan(pass.args->on_nan),
        feedforward(pass.args->has_feedforward),
        track(pass.args->has_track),
        keep_terms(pass.args->keep_terms),
        rated(pass.rated),
        flagged(pass.flagged),
        stream(pass.stream),
        tt_auto(pass.args->tt_auto) {}
};

// What a pass is compiled for. kMode: the pass's anti-windup mode.
template <class S, bool kUniformParams, AntiWindup kPassMode, bool kRichPass>
struct Compiled {
  static constexpr bool kUniform = kUniformParams;
  static constexpr bool kRich = kRichPass;
  static constexpr bool kIrregular = false;
  static AntiWindup mode(const Call<S>&) noexcept { return kPassMode; }
};

// One channel with every case on, everything read from the call.
template <class S>
struct Irregular {
  static constexpr bool kUniform = false;
  static constexpr bool kRich = true;
  static constexpr bool kIrregular = true;
  static AntiWindup mode(const Call<S>& call) noexcept { return call.mode; }
};

// The parameters and inputs of the channels from i, as vectors of V.
template <class V, bool kUniform>
struct VectorSource {
  using R = typename V::Reg;
  const double* lanes[kSourceCount];
  std::size_t mask[kSourceCount];
  R uniform[kParamCount];
  R h, ki_h, tf_h, rate_h, tt;

  explicit VectorSource(const Pass& pass) noexcept {
    const UpdateArgs& a = *pass.args;
    // The sources the pass bound: the parameters where they differ between
    // channels, the inputs, the track where given.
    const int end = a.has_track ? kTrackInput + 1 : kFeedforwardInput + 1;
    for (int id = kUniform ? kSetpointInput : 0; id < end; ++id) {
      lanes[id] = pass.lanes[id];
      mask[id] = pass.mask[id];
    }
    const Strided* p = a.params;
    h = V::set1(a.h);
    if constexpr (kUniform) {
      for (int id = 0; id < kParamCount; ++id) uniform[id] = V::set1(p[id].data[0]);
      ki_h = V::set1(p[kKi].data[0] * a.h);
      tf_h = V::set1(p[kTf].data[0] + a.h);
      rate_h = V::set1(p[kRateLimit].data[0] * a.h);
      tt = V::set1(pass.tt);
    }
  }
  R input(int id, std::size_t i) const noexcept { return V::load(lanes[id] + (i & mask[id])); }
  R param(int id, std::size_t i) const noexcept {
    if constexpr (kUniform) {
      return uniform[id];
    } else {
      return input(id, i);
    }
  }
  R times_h(int id, std::size_t i) const noexcept {
    if constexpr (kUniform) {
      return id == kKi ? ki_h : rate_h;
    } else {
      return V::mul(param(id, i), h);
    }
  }
  R plus_h(int id, std::size_t i) const noexcept {
    if constexpr (kUniform) {
      return tf_h;
    } else {
      return V::add(param(id, i), h);
    }
  }
};

// The same for one channel, read where it lies (one channel's worth of
// rereads costs less than copying the sources).
template <class S>
struct ChannelSource {
  using R = double;
  const Pass& pass;
  R h;

  explicit ChannelSource(const Pass& p) noexcept : pass(p), h(p.args->h) {}
  R input(int id, std::size_t i) const noexcept { return pass.data[id][i & pass.mask[id]]; }
  R param(int id, std::size_t i) const noexcept { return pass.args->params[id].at(i); }
  R times_h(int id, std::size_t i) const noexcept { return param(id, i) * h; }
  R plus_h(int id, std::size_t i) const noexcept { return param(id, i) + h; }
};

template <class V>
inline typename V::Reg clip(typename V::Reg x, typename V::Reg lo, typename V::Reg hi) noexcept {
  return V::min_of(hi, V::max_of(lo, x));
}

// The rate window around the last output (where the pass has one and the
// channel's step is not its first), then the output limits.
template <class V, class Src>
inline typename V::Reg limit(const Src& in, const double* output, std::size_t i,
                             typename V::Reg w, bool rated) noexcept {
  if (rated) {
    const auto u_prev = V::load(output + i);
    const auto window = in.times_h(kRateLimit, i);
    w = clip<V>(w, V::sub(u_prev, window), V::add(u_prev, window));
  }
  return clip<V>(w, in.param(kUMin, i), in.param(kUMax, i));
}

// The integral after a step of automatic mode, within its limits.
template <class V, class F, class Src>
inline typename V::Reg integrate(const Call<typename V::Lane>& call, const Src& in, std::size_t i,
                                 typename V::Reg i0, typename V::Reg e, typename V::Reg v,
                                 typename V::Reg applied) noexcept {
  using R = typename V::Reg;
  using M = typename V::Mask;
  const R zero = V::set1(0.0);
  const R ei = V::select(V::less_equal(V::abs(e), in.param(kDeadband, i)), zero, e);
  const R ki = in.param(kKi, i);
  const R integrated = V::add(i0, V::mul(in.times_h(kKi, i), ei));
  R next = integrated;
  const AntiWindup mode = F::mode(call);
  if (mode == AntiWindup::kConditional) {
    // Integration stops only where it would push v further past the
    // output that was applied, whatever the signs of the gains.
    const R push = V::mul(ki, ei);
    const M saturating = V::either(V::both(V::less(applied, v), V::greater(push, zero)),
                                   V::both(V::greater(applied, v), V::less(push, zero)));
    next = V::select(saturating, i0, integrated);
  } else if (mode == AntiWindup::kBackCalculation) {
    const R h = in.h;
    if constexpr (F::kUniform) {
      // Uniform parameters come here only where every channel tracks with
      // a finite tt (see make_pass).
      next = V::add(i0, V::add(V::mul(in.ki_h, ei), V::div(V::mul(h, V::sub(applied, v)), in.tt)));
    } else {
      // tt=None: max(|kp/ki|, h), or h where kp is 0 (the integral then
      // puts v on the limit in one step); no tracking where ki is 0. Never
      // below h: tracking faster than one step overshoots, and kp/ki may
      // underflow to 0. An infinite tt (given, or |kp/ki| overflowing) is
      // no tracking: its term would be 0, but NaN where a - v overflows.
      R tt = in.param(kTt, i);
      M tracking = V::equal(zero, zero);
      if (call.tt_auto) {
        const R kp = in.param(kKp, i);
        tracking = V::negate(V::equal(ki, zero));
        tt = V::select(V::equal(kp, zero), h, V::max_of(h, V::abs(V::div(kp, ki))));
      }
      tracking = V::both(tracking, V::finite(tt));
      const R tracked = V::add(
          i0, V::add(V::mul(in.times_h(kKi, i), ei), V::div(V::mul(h, V::sub(applied, v)), tt)));
      next = V::select(tracking, tracked, integrated);
    }
  }
  return clip<V>(next, in.param(kIMin, i), in.param(kIMax, i));
}

// A channel whose setpoint, measurement or feed-forward is not finite: the
// state stays, the derivative restarts at the next finite step, and manual
// mode outputs the manual value all the same.
template <class S>
inline void fail_channel(const Call<S>& c, const ChannelSource<S>& in, std::size_t i, bool manual,
                         bool rated) noexcept {
  c.s.gap[i] = 1;
  double u;
  if (manual) {
    u = limit<S>(in, c.s.output, i, c.s.manual_value[i], rated);
  } else {
    u = c.on_nan == OnNan::kHold ? c.s.output[i] : std::numeric_limits<double>::quiet_NaN();
  }
  c.out[i] = c.s.output[i] = u;
}

// Moves the integral of a pending channel by P_old - P_new at this call's
// inputs (within its limits), where that change is finite: its output
// stays where the last one was made, to rounding. An inf or NaN move would
// only end the channel's integral for good.
template <class S>
inline double settle_change(const ChannelSource<S>& in, const Call<S>& c, std::size_t i,
                            double integral, double r, double y, double prop) noexcept {
  const double before = c.s.kp_old[i] * (c.s.b_old[i] * r - y);
  const double change = before - prop;
  if (before == prop || !__builtin_isfinite(change)) return integral;
  return clip<S>(integral + change, in.param(kIMin, i), in.param(kIMax, i));
}

// The law of a call that advances time, for the channels from i: a vector
// of regular ones (F compiled), or one channel of any kind (F Irregular,
// V the scalar lane). Returns whether an input was not finite.
template <class V, class F, class Src>
[[gnu::always_inline]] inline bool step(const Call<typename V::Lane>& c, const Src& in,
                                        std::size_t i) noexcept {
  using R = typename V::Reg;
  const bool feedforward = F::kRich && c.feedforward;
  const bool stream = !F::kIrregular && c.stream;
  const auto put = [stream](double* to, R value) {
    if (stream) {
      V::stream(to, value);
    } else {
      V::store(to, value);
    }
  };
  const R r = in.input(kSetpointInput, i);
  const R y = in.input(kMeasurementInput, i);
  const R ff = feedforward ? in.input(kFeedforwardInput, i) : V::set1(0.0);
  const R prop = V::mul(in.param(kKp, i), V::sub(V::mul(in.param(kB, i), r), y));
  const R x = V::sub(V::mul(in.param(kC, i), r), y);
  R i0 = V::load(c.s.integral + i);
  bool manual = false;
  bool restart = false;
  bool rated = F::kRich && c.rated;
  [[maybe_unused]] double held = 0.0;  // the manual value of a manual call
  if constexpr (F::kIrregular) {
    manual = c.manual != nullptr && c.manual[i];
    const bool fresh = c.s.fresh[i];
    rated = rated && !fresh;
    const bool finite = __builtin_isfinite(r) && __builtin_isfinite(y) && __builtin_isfinite(ff);
    if (manual) held = c.s.manual_value[i];
    if (c.relay != nullptr && c.relay[i]) {
      // The relay's call is the manual call at its level; a non-finite
      // input ends the experiment, and the automatic mode's law handles
      // that input.
      const relay::Channel f = c.relay_channel(i);
      if (finite) {
        relay::advance<V>(f, r, y, in.h, c.s.output[i]);
        manual = true;
        held = relay::level<V>(f);
      } else {
        relay::finish<V>(f, relay::kFailed, relay::kNonFinite);
      }
      // Done or failed, the channel is automatic from the next call.
      if (f[relay::kRelayState] != relay::kRunning) c.relay[i] = 0;
    }
    if (!finite) {
      fail_channel(c, in, i, manual, rated);
      return true;
    }
    if (c.s.pending[i]) {
      // Manual mode makes the integral anew.
      if (!manual) i0 = settle_change(in, c, i, i0, r, y, prop);
      c.s.pending[i] = 0;
    }
    restart = fresh || c.s.gap[i];
    c.s.fresh[i] = 0;
    c.s.gap[i] = 0;
  }
  const R d = restart ? V::set1(0.0)
                      : V::div(V::add(V::mul(in.param(kTf, i), V::load(c.s.derivative + i)),
                                      V::mul(in.param(kKd, i), V::sub(x, V::load(c.s.x_prev + i)))),
                               in.plus_h(kTf, i));
  R integral = i0;
  R u = i0;
  if (manual) {
    if constexpr (F::kIrregular) {
      u = limit<V>(in, c.s.output, i, held, rated);
      integral = V::sub(V::sub(u, prop), d);
      if (feedforward) integral = V::sub(integral, ff);
      integral = clip<V>(integral, in.param(kIMin, i), in.param(kIMax, i));
    }
  } else {
    R v = V::add(V::add(prop, i0), d);
    // An absent feed-forward is left out, not added as +0.0 (which would
    // turn a v of -0.0 into +0.0).
    if (feedforward) v = V::add(v, ff);
    u = limit<V>(in, c.s.output, i, v, rated);
    R applied = u;
    if (F::kRich && c.track) {
      const R t = in.input(kTrackInput, i);
      applied = V::select(V::finite(t), t, u);
    }
    integral = integrate<V, F>(c, in, i, i0, V::sub(r, y), v, applied);
    if (F::kRich && c.keep_terms) {
      put(c.s.term_p + i, prop);
      put(c.s.term_i + i, i0);
      put(c.s.term_d + i, d);
      put(c.s.term_ff + i, ff);
    }
  }
  V::store(c.s.integral + i, integral);
  V::store(c.s.derivative + i, d);
  V::store(c.s.x_prev + i, x);
  // With a rate limit the last output was just read: its line is cached.
  if (rated) {
    V::store(c.s.output + i, u);
  } else {
    put(c.s.output + i, u);
  }
  if (!c.out_is_output) put(c.out + i, u);
  return false;
}

// One channel of any kind.
template <class S>
[[gnu::noinline]] bool irregular(const Pass& pass, std::size_t i) noexcept {
  return step<S, Irregular<S>>(Call<S>(pass), ChannelSource<S>(pass), i);
}

// Whether any of the channels [i, i + width) is manual, fresh, gapped,
// pending or in relay mode.
template <std::size_t kWidth, class S>
inline bool flagged(const Call<S>& c, std::size_t i) noexcept {
  unsigned flags = 0;
  for (std::size_t k = 0; k < kWidth; ++k) {
    flags |= c.s.fresh[i + k] | c.s.gap[i + k] | c.s.pending[i + k] |
             (c.manual != nullptr ? c.manual[i + k] : 0) |
             (c.relay != nullptr ? c.relay[i + k] : 0);
  }
  return flags != 0;
}

// Channels [begin, end) of a call that advances time, a vector at a time
// where the vector is regular.
template <class V, class F>
bool advance_range(const Pass& pass, std::size_t begin, std::size_t end) noexcept {
  using S = typename V::Lane;
  constexpr std::size_t kWidth = static_cast<std::size_t>(V::kWidth);
  const Call<S> c(pass);
  const VectorSource<V, F::kUniform> in(pass);
  const bool check_flags = F::kRich && c.flagged;
  const bool feedforward = F::kRich && c.feedforward;
  bool failed = false;
  std::size_t i = begin;
  while (i + kWidth <= end) {
    // The regular vectors from i, in a loop that calls nothing.
    for (; i + kWidth <= end; i += kWidth) {
      auto finite = V::both(V::finite(in.input(kSetpointInput, i)),
                            V::finite(in.input(kMeasurementInput, i)));
      if (feedforward) finite = V::both(finite, V::finite(in.input(kFeedforwardInput, i)));
      if (!V::all(finite) || (check_flags && flagged<kWidth>(c, i))) break;
      step<V, F>(c, in, i);
    }
    if (i + kWidth > end) break;
    for (std::size_t k = 0; k < kWidth; ++k) failed = irregular<S>(pass, i + k) || failed;
    i += kWidth;
  }
  for (; i < end; ++i) failed = irregular<S>(pass, i) || failed;
  if (c.stream) V::fence();
  return failed;
}

template <class V, bool kUniform, AntiWindup kMode>
bool advance_mode(const Pass& pass, std::size_t begin, std::size_t end) noexcept {
  using S = typename V::Lane;
  return pass.rich ? advance_range<V, Compiled<S, kUniform, kMode, true>>(pass, begin, end)
                   : advance_range<V, Compiled<S, kUniform, kMode, false>>(pass, begin, end);
}

template <class V, bool kUniform>
bool advance_params(const Pass& pass, std::size_t begin, std::size_t end) noexcept {
  switch (pass.mode) {
    case AntiWindup::kBackCalculation:
      return advance_mode<V, kUniform, AntiWindup::kBackCalculation>(pass, begin, end);
    case AntiWindup::kConditional:
      return advance_mode<V, kUniform, AntiWindup::kConditional>(pass, begin, end);
    case AntiWindup::kNone:
      return advance_mode<V, kUniform, AntiWindup::kNone>(pass, begin, end);
  }
  return false;
}

// Channels [begin, end) of a call that advances time. A range shorter than
// a vector needs none of the vector pass's setup.
template <class V>
bool advance(const Pass& pass, std::size_t begin, std::size_t end) noexcept {
  using S = typename V::Lane;
  if (end - begin < static_cast<std::size_t>(V::kWidth)) {
    bool failed = false;
    for (std::size_t i = begin; i < end; ++i) failed = irregular<S>(pass, i) || failed;
    return failed;
  }
  return pass.args->params_uniform ? advance_params<V, true>(pass, begin, end)
                                   : advance_params<V, false>(pass, begin, end);
}

// Channels [begin, end) of a call in which no time passed: the output from
// the held state, with no rate limit (no time for one).
template <class V>
bool hold(const Pass& pass, std::size_t begin, std::size_t end) noexcept {
  using S = typename V::Lane;
  const Call<S> c(pass);
  const ChannelSource<S> in(pass);
  bool failed = false;
  for (std::size_t i = begin; i < end; ++i) {
    const double r = in.input(kSetpointInput, i);
    const double y = in.input(kMeasurementInput, i);
    const double ff = c.feedforward ? in.input(kFeedforwardInput, i) : 0.0;
    const bool manual = c.manual != nullptr && c.manual[i];
    const bool relay = c.relay != nullptr && c.relay[i];
    if (!(__builtin_isfinite(r) && __builtin_isfinite(y) && __builtin_isfinite(ff))) {
      if (relay) {
        relay::finish<S>(c.relay_channel(i), relay::kFailed, relay::kNonFinite);
        c.relay[i] = 0;
      }
      failed = true;
      fail_channel(c, in, i, manual, false);
      continue;
    }
    double u;
    if (manual || relay) {
      // A relay's call with no time passing measures nothing: the manual
      // call at its level.
      const double held = relay ? relay::level<S>(c.relay_channel(i)) : c.s.manual_value[i];
      u = clip<S>(held, in.param(kUMin, i), in.param(kUMax, i));
    } else {
      const double prop = in.param(kKp, i) * (in.param(kB, i) * r - y);
      if (c.s.pending[i]) {
        c.s.integral[i] = settle_change(in, c, i, c.s.integral[i], r, y, prop);
        c.s.pending[i] = 0;
      }
      double v = prop + c.s.integral[i] + c.s.derivative[i];
      if (c.feedforward) v = v + ff;
      u = clip<S>(v, in.param(kUMin, i), in.param(kUMax, i));
      if (c.keep_terms) {
        c.s.term_p[i] = prop;
        c.s.term_i[i] = c.s.integral[i];
        c.s.term_d[i] = c.s.derivative[i];
        c.s.term_ff[i] = ff;
      }
    }
    c.out[i] = c.s.output[i] = u;
  }
  return failed;
}

}  // namespace kovar::bank_kernel::law
