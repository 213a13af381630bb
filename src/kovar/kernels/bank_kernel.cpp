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

// The smallest calls the AVX-512 passes run on that path (see run_update).
constexpr std::size_t kEightLanesFrom = 2048;
constexpr std::size_t kUniformPlainEightLanesFrom = std::size_t{1} << 18;

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

// The choices of a pass that depend on the call only.
void choose_pass(const UpdateArgs& a, Pass& pass) noexcept {
  pass.args = &a;
  pass.mode = a.anti_windup;
  pass.tt = a.params[kTt].data[0];
  // No channel has a rate limit when the one for all is infinite.
  const Strided& rate_limit = a.params[kRateLimit];
  pass.rated = !(rate_limit.step == 0 && __builtin_isinf(rate_limit.data[0]));
  pass.flagged = a.manual_count > 0 || a.any_flagged || a.relay_count > 0;
  pass.rich = pass.flagged || pass.rated || a.has_feedforward || a.has_track || a.keep_terms;
  pass.stream = false;
}

// The rest of the pass; `width`: the channels per vector of the passes
// that will run.
void make_pass(const UpdateArgs& a, std::size_t width, Pass& pass) noexcept {
  static constexpr double kNoInput = 0.0;
  static constexpr Strided kNoFeedforward{&kNoInput, 0};
  const Strided& ff = a.has_feedforward ? a.feedforward : kNoFeedforward;
  if (a.n < width) {
    // Fewer channels than a vector: one channel at a time, which reads the
    // parameters through args and the inputs through data and mask.
    point(pass, kSetpointInput, a.setpoint);
    point(pass, kMeasurementInput, a.measurement);
    point(pass, kFeedforwardInput, ff);
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
  bind(pass, kFeedforwardInput, ff);
  if (a.has_track) bind(pass, kTrackInput, a.track);
  if (a.params_uniform && a.anti_windup == AntiWindup::kBackCalculation) {
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
                                   {a.out, s.output, s.term_i, s.term_p, s.term_d, s.term_ff});
  }
}

}  // namespace

UpdateFlags run_update(const UpdateArgs& args) noexcept {
  // No channel: nothing to read (the pass reads element 0 of its inputs up
  // front).
  if (args.n == 0) return {args.any_flagged, 0};
  bool failed;
  {
    // The bank reports no floating-point conditions: the flags its
    // arithmetic raises (inexact, overflow, invalid on a NaN input) are not
    // left behind, on this thread or (through the pool) any other.
    const kernels::FpStatusKeeper keep_status;
    // Eight lanes pay for the rich pass and per-channel parameters from a
    // few thousand channels on (20-25 % faster than four at 10^4: the four
    // lanes of AVX2 have half the registers these passes need), for the
    // plain pass with uniform parameters only on arrays that no longer stay
    // cached (2-4 % faster from 10^6; 5-10 % slower at 10^4-10^5, bound by
    // the divisions). Below, a call's tail of up to seven channels, run one
    // at a time, costs more than they save (20 % slower at 100 channels).
    Pass pass;
    choose_pass(args, pass);
    const std::size_t eight_from =
        pass.rich || !args.params_uniform ? kEightLanesFrom : kUniformPlainEightLanesFrom;
    const BankKernels& kernels =
        args.n >= eight_from ? kernels::pick(bank_scalar, bank_sse2, bank_avx2, bank_avx512)
                             : kernels::pick(bank_scalar, bank_sse2, bank_avx2, bank_avx2);
    make_pass(args, kernels.width, pass);
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
  }
  const ChannelState& s = *args.state;
  // The relays still running: an experiment that ended in this call left
  // its channel automatic.
  std::size_t relays = 0;
  if (args.relay_count > 0) {
    for (std::size_t i = 0; i < args.n; ++i) relays += s.relay[i];
  }
  // A call clears the flags of the channels it steps with finite inputs,
  // but one in which no time passes keeps fresh channels fresh.
  if (!args.any_flagged && !failed) return {false, relays};
  for (std::size_t i = 0; i < args.n; ++i) {
    if (s.fresh[i] | s.gap[i] | s.pending[i]) return {true, relays};
  }
  return {false, relays};
}

}  // namespace kovar::bank_kernel
