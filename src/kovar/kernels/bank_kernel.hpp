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
  kParamCount
};

enum class AntiWindup : int { kBackCalculation, kConditional, kNone };

// One number for every channel (step 0) or one per channel, contiguous
// (step 1).
struct Strided {
  const double* data;
  std::size_t step;
  double at(std::size_t i) const noexcept { return data[i * step]; }
  bool uniform() const noexcept { return step == 0; }
};

struct UpdateArgs {
  Strided params[kParamCount];
  bool tt_auto;
  AntiWindup anti_windup;
  Strided setpoint;
  Strided measurement;
  double h;
  std::size_t n;
  double* integral;
  double* derivative;
  double* x_prev;
  double* output;
  const double* manual_value;
  const unsigned char* manual;  // read only when manual_count > 0
  unsigned char* fresh;         // read only when any_fresh
  std::size_t manual_count;
  bool any_fresh;
  double* out;  // the caller's result array
};

// Advances every channel by one call. Touches no Python object, so it may
// run without the GIL. Returns whether a channel is still fresh afterwards.
bool run_update(const UpdateArgs& args) noexcept;

}  // namespace kovar::bank_kernel
