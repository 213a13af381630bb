#include "kovar/kernels/bank_kernel.hpp"

#include <atomic>

#include "kovar/kernels/bank_kernels.hpp"
#include "kovar/kernels/fp_status.hpp"
#include "kovar/kernels/simd_path.hpp"
#include "kovar/kernels/stream_stores.hpp"
#include "kovar/kernels/thread_pool.hpp"

namespace kovar::bank_kernel {

namespace {

// A channel's work for the kernel threads (a regulo PID channel's is 2):
// the law over about 13 arrays of doubles, and twice that with a
// parameter per channel, which the pass gathers as it goes.
constexpr std::ptrdiff_t kUniformWeight = 4;
constexpr std::ptrdiff_t kPerChannelWeight = 8;

// Channel i of the source reads data[id][i & mask[id]].
void point(Pass& pass, int id, const Strided& source) noexcept {
  pass.data[id] = source.data;
  pass.mask[id] = source.step == 0 ? 0 : ~std::size_t{0};
}

// As point, and a vector of channels loads from lanes[id]: a row of copies
// of a source that is one number.
void bind(Pass& pass, int id, const Strided& source) noexcept {
  point(pass, id, source);
  pass.lanes[id] = source.data;
  if (source.step == 0) {
    for (double& copy : pass.copies[id]) copy = source.data[0];
    pass.lanes[id] = pass.copies[id];
  }
}

// The tracking time of tt=None for uniform parameters, as the law's
// auto_tracking_time (one channel's worth).
bool uniform_tracking_time(double kp, double ki, double h, double& tt) noexcept {
  if (ki == 0.0) return false;
  if (kp == 0.0) {
    tt = h;
    return true;
  }
  const double ratio = __builtin_fabs(kp / ki);
  tt = __builtin_isgreater(h, ratio) ? h : ratio;
  return true;
}

// `width`: the channels per vector of the passes that will run.
void make_pass(const UpdateArgs& a, bool plain, std::size_t width, Pass& pass) noexcept {
  static constexpr double kNoInput = 0.0;
  static constexpr Strided kNoFeedforward{&kNoInput, 0};
  pass.args = &a;
  pass.plain = plain;
  pass.mode = a.anti_windup;
  // No channel has a rate limit when the one for all is infinite.
  const Strided& rate_limit = a.params[kRateLimit];
  pass.rated = !(rate_limit.step == 0 && __builtin_isinf(rate_limit.data[0]));
  pass.stream = false;
  // The passes read the feed-forward and the track only where given (a
  // tracked pass reads the feed-forward's zeros where it is not).
  const bool feedforward = a.has_feedforward || a.has_track;
  const Strided& ff = a.has_feedforward ? a.feedforward : kNoFeedforward;
  if (a.n < width) {
    // Fewer channels than a vector: the scalar law alone, which reads the
    // parameters through args and the inputs through data and mask.
    point(pass, kSetpointInput, a.setpoint);
    point(pass, kMeasurementInput, a.measurement);
    if (feedforward) point(pass, kFeedforwardInput, ff);
    if (a.has_track) point(pass, kTrackInput, a.track);
    return;
  }
  // The parameters are read as vectors only where they differ between
  // channels.
  if (!a.params_uniform) {
    for (int id = 0; id < kParamCount; ++id) bind(pass, id, a.params[id]);
  }
  bind(pass, kSetpointInput, a.setpoint);
  bind(pass, kMeasurementInput, a.measurement);
  if (feedforward) bind(pass, kFeedforwardInput, ff);
  if (a.has_track) bind(pass, kTrackInput, a.track);
  if (a.params_uniform && a.anti_windup == AntiWindup::kBackCalculation) {
    pass.tt = a.params[kTt].data[0];
    // No tracking (ki = 0 with tt=None, or an infinite tt) is the same
    // integration as none.
    if ((a.tt_auto &&
         !uniform_tracking_time(a.params[kKp].data[0], a.params[kKi].data[0], a.h, pass.tt)) ||
        __builtin_isinf(pass.tt)) {
      pass.mode = AntiWindup::kNone;
    }
  }
  if (static_cast<std::ptrdiff_t>(a.n) >= kernels::kStreamFrom) {
    const ChannelState& s = *a.state;
    pass.stream = kernels::streams(static_cast<std::ptrdiff_t>(a.n),
                                   {a.out, s.output, s.r_last, s.y_last, s.term_i, s.term_p,
                                    s.term_d, s.term_ff});
  }
}

bool is_plain(const UpdateArgs& a) noexcept {
  return __builtin_isgreater(a.h, 0.0) && a.manual_count == 0 && !a.any_flagged && !a.has_track;
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
  // No channel: nothing to read (the pass reads element 0 of its inputs up
  // front).
  if (args.n == 0) return {false, args.terms_derived, args.feedforward_zero};
  const bool plain = is_plain(args);
  UpdateResult result{false, false, false};
  bool failed;
  {
    // The bank reports no floating-point conditions: the flags its
    // arithmetic raises (inexact, overflow, invalid on a NaN input) are not
    // left behind, on this thread or (through the pool) any other.
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
    const BankKernels& kernels = kernels::pick(bank_scalar, bank_sse2, bank_avx2, bank_avx512);
    Pass pass;
    make_pass(args, plain, kernels.width, pass);
    const auto range = __builtin_isgreater(args.h, 0.0) ? kernels.advance : kernels.hold;
    const auto n = static_cast<std::ptrdiff_t>(args.n);
    const std::ptrdiff_t weight = args.params_uniform ? kUniformWeight : kPerChannelWeight;
    std::atomic<bool> any_failed{false};
    kernels::for_ranges(n, weight, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
      if (range(pass, static_cast<std::size_t>(begin), static_cast<std::size_t>(end))) {
        any_failed.store(true, std::memory_order_relaxed);
      }
    });
    failed = any_failed.load(std::memory_order_relaxed);
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
