// The bank's control law, one pass over the channels per update.
//
// Arithmetic is plain IEEE double in the order the law is written (the
// build forbids FMA contraction), and every comparison that may meet a NaN
// is a quiet one, so the kernel gives the bits of the same law evaluated
// scalar by scalar in Python.
#pragma once

#include "kovar/bank/arguments.hpp"
#include "kovar/bank/bank_object.hpp"

namespace kovar::bank {

struct UpdateArgs {
  const Param* params;
  bool tt_auto;
  AntiWindup anti_windup;
  const Operand* setpoint;
  const Operand* measurement;
  double h;
  std::size_t n;
  double* integral;
  double* derivative;
  double* x_prev;
  double* output;
  const double* manual_value;
  const npy_bool* manual;  // read only when manual_count > 0
  npy_bool* fresh;         // read only when any_fresh
  std::size_t manual_count;
  bool any_fresh;
  double* out;  // the caller's result array
};

// Advances every channel by one call. Touches no Python object, so it may
// run without the GIL. Returns whether a channel is still fresh afterwards.
bool run_update(const UpdateArgs& args) noexcept;

}  // namespace kovar::bank
