// The bank's control law, one pass over the channels per update.
//
// Arithmetic is plain IEEE double in the order the law is written (the
// build forbids FMA contraction), and every comparison that may meet a NaN
// is a quiet one, so the kernel gives the bits of the same law evaluated
// scalar by scalar in Python. It sees plain arrays only: whoever owns them
// (a PIDBank, a simulator) keeps them alive and locked for the call.
#pragma once

#include <cstddef>

namespace kovar::bank_kernel {

// The parameters, in the order of PIDBank's constructor keywords.
enum ParamId : int {
  kKp,
  kKi,
  kKd,
  kB,
  kC,
  kTf,
  kUMin,
  kUMax,
  kIMin,
  kIMax,
  kDeadband,
  kTt,
  kRateLimit,
  kParamCount
};

enum class AntiWindup : int { kBackCalculation, kConditional, kNone };

// What a channel whose setpoint, measurement or feed-forward is not finite
// outputs in automatic mode: NaN, or its last output.
enum class OnNan : int { kNan, kHold };

// One number for every channel (step 0) or one per channel, contiguous
// (step 1).
struct Strided {
  const double* data;
  std::size_t step;
  double at(std::size_t i) const noexcept { return data[i * step]; }
};

// The per-channel state, one element per channel in each array.
struct ChannelState {
  double* integral;    // I, within [i_min, i_max]
  double* derivative;  // D
  double* x_prev;      // c*r - y of the last step that advanced time
  double* output;      // the last output
  double* r_last;      // setpoint and measurement of the last call with
  double* y_last;      //   finite inputs (the held state)
  double* term_p;      // P, I, D and feed-forward that made v in the last
  double* term_i;      //   automatic call with finite inputs; p and d only
  double* term_d;      //   while not derived, ff only while not derived as
  double* term_ff;     //   0 (see derive_terms)
  const double* manual_value;
  const unsigned char* manual;  // read only when manual_count > 0
  unsigned char* fresh;         // no step advanced time since construction/reset
  unsigned char* gap;           // a non-finite input came since the last step
};

struct UpdateArgs {
  const Strided* params;  // kParamCount of them
  bool params_uniform;    // every one of them has step 0
  bool tt_auto;
  AntiWindup anti_windup;
  OnNan on_nan;
  Strided setpoint;
  Strided measurement;
  Strided feedforward;  // read only when has_feedforward
  Strided track;        // read only when has_track; NaN: the bank's own output
  bool has_feedforward;
  bool has_track;
  double h;
  std::size_t n;
  const ChannelState* state;
  std::size_t manual_count;
  bool any_flagged;       // some channel has its fresh or gap flag set
  bool terms_derived;     // see derive_terms
  bool feedforward_zero;  // see derive_terms
  double* out;            // the caller's result array
};

struct UpdateResult {
  bool any_flagged;
  bool terms_derived;
  bool feedforward_zero;
};

// Advances every channel by one call. Touches no Python object, so it may
// run without the GIL.
UpdateResult run_update(const UpdateArgs& args) noexcept;

// While the terms are derived, the stored p and d are stale and every
// channel's are kp*(b*r_last - y_last) with the current kp and b, and D;
// while the feed-forward is derived as zero, the stored ff is stale and
// every channel's is 0. The common update (uniform, automatic) then stores
// the integral term alone, and the feed-forward where given. This writes
// the derived ones out (per flag); call it before kp or b change, and
// before reading the terms.
void derive_terms(const Strided* params, const ChannelState& state, std::size_t n,
                  bool terms_derived, bool feedforward_zero) noexcept;

}  // namespace kovar::bank_kernel
