// The C interface kovar.bank gives other kovar modules, through a capsule in
// its `_bank_api` attribute: runs of a PIDBank's law from native code, with
// the kernel call and the bookkeeping PIDBank.update itself uses, so that a
// native caller and update give the same bits and leave the same state.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "kovar/kernels/bank_kernel.hpp"

namespace kovar::bank_capsule {

inline constexpr const char kCapsuleName[] = "kovar.bank._bank_api";
inline constexpr const char kAttribute[] = "_bank_api";
inline constexpr int kVersion = 1;

// A bank held by a native caller: its lock is taken, so its parameters,
// shape and state arrays stay as they are until the session ends.
struct Session;

// The kernel's view of channels [begin, end) of a held bank, and the
// bookkeeping flags of those channels from one update to the next. `args`
// may point into this struct: it is filled in place and never copied. The
// caller sets the inputs (setpoint, measurement, feedforward, track and
// their has_ flags, h, out), relative to `begin`, before each step.
struct ChannelRun {
  bank_kernel::Strided params[bank_kernel::kParamCount];
  bank_kernel::ChannelState state;
  bank_kernel::UpdateArgs args;
  std::size_t begin;
  std::size_t end;
};

struct Api {
  int version;  // kVersion
  // Takes the lock of `bank` (waiting with the GIL released, as update
  // does) and returns the held bank; null with a TypeError when `bank` is
  // not a PIDBank. With the GIL held.
  Session* (*begin)(PyObject* bank);
  // The number of channels of the held bank.
  std::size_t (*channels)(const Session* session);
  // Fills `run` for channels [begin, end) (end <= channels), its flags as
  // the bank holds them now.
  void (*select)(Session* session, std::size_t begin, std::size_t end, ChannelRun* run);
  // One update of the run's channels: the kernel call of PIDBank.update,
  // its flags kept in the run for the next step. Touches no Python object.
  void (*step)(ChannelRun* run);
  // Gives the flags of a finished run back to the bank. The bank's flags
  // speak for every channel, so the terms a run leaves derived are written
  // out when it covers only some of them. Touches no Python object.
  void (*merge)(Session* session, const ChannelRun* run);
  // Releases the lock and the session. Touches no Python object.
  void (*end)(Session* session);
};

}  // namespace kovar::bank_capsule
