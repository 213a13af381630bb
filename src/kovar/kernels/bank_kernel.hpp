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

// The per-channel state, one element per channel in each array. A channel
// is irregular while any of its flags (manual, fresh, gap, pending, relay)
// is set: the pass gives it the law's whole statement, one channel at a
// time.
struct ChannelState {
  double* integral;    // I, within [i_min, i_max]
  double* derivative;  // D
  double* x_prev;      // c*r - y of the last step that advanced time
  double* output;      // the last output
  double* term_p;      // P, I, D and feed-forward that made v in the last
  double* term_i;      //   automatic call with finite inputs; written only
  double* term_d;      //   by calls that keep the terms
  double* term_ff;
  const double* manual_value;
  const double* kp_old;  // where pending: the kp and b that made the last
  const double* b_old;   //   output, before a change of either
  const unsigned char* manual;  // read only when manual_count > 0
  unsigned char* fresh;         // no step advanced time since construction/reset
  unsigned char* gap;           // a non-finite input came since the last step
  unsigned char* pending;       // kp or b changed since the last call: the
                                // next call with finite inputs moves the
                                // integral by P_old - P_new at its inputs
  // The relay experiment (relay_law.hpp), null until a bank first starts
  // one, and read only when relay_count > 0: the channel runs one, and its
  // fields, relay::kFieldCount rows of relay_stride numbers.
  unsigned char* relay;
  double* relay_fields;
  std::size_t relay_stride;

  // The state of the channels from `begin` on.
  ChannelState from(std::size_t begin) const noexcept {
    return {integral + begin,
            derivative + begin,
            x_prev + begin,
            output + begin,
            term_p + begin,
            term_i + begin,
            term_d + begin,
            term_ff + begin,
            manual_value + begin,
            kp_old + begin,
            b_old + begin,
            manual + begin,
            fresh + begin,
            gap + begin,
            pending + begin,
            relay != nullptr ? relay + begin : nullptr,
            relay_fields != nullptr ? relay_fields + begin : nullptr,
            relay_stride};
  }
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
  bool keep_terms;  // write the terms of every automatic channel
  double h;
  std::size_t n;
  const ChannelState* state;
  std::size_t manual_count;
  std::size_t relay_count;  // channels in relay mode (0: none reads state->relay)
  bool any_flagged;  // some channel has its fresh, gap or pending flag set
  double* out;       // the caller's result array
};

// What a call leaves for the next: whether some channel's fresh, gap or
// pending flag is still set, and how many channels are still in relay
// mode (a relay that ends makes its channel automatic after the call).
struct UpdateFlags {
  bool any_flagged;
  std::size_t relay_count;
};

// Advances every channel by one call. Touches no Python object, so it may
// run without the GIL.
UpdateFlags run_update(const UpdateArgs& args) noexcept;

}  // namespace kovar::bank_kernel
