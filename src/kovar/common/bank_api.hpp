// The C interface kovar.bank gives other kovar modules, through a capsule in
// its `_bank_api` attribute: runs of a PIDBank's law from native code, with
// the kernel call and the bookkeeping PIDBank.update itself uses, so that a
// native caller and update give the same bits and leave the same state.
//
// Plain C types only: the bank's kernel and its structures stay inside
// kovar.bank. A change of any type or entry here is a new kVersion.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace kovar::bank_api {

inline constexpr const char kCapsuleName[] = "kovar.bank._bank_api";
inline constexpr const char kAttribute[] = "_bank_api";
inline constexpr int kVersion = 2;

// A bank held by a native caller: its lock is taken, so its parameters,
// shape and state arrays stay as they are until the session ends.
struct Session;

// Channels [begin, end) of a held bank, and their bookkeeping from one
// update to the next. It lives in storage the caller provides (RunStorage)
// and needs no destruction.
struct Run;
struct RunStorage {
  alignas(std::max_align_t) unsigned char bytes[1024];
};

// An input to a run's channels: channel j of the run reads data[j * step],
// step 0 (one number for all) or 1.
struct Input {
  const double* data;
  std::size_t step;
};

// One update of a run: its inputs and where its outputs go, relative to
// the run's first channel. A feed-forward or track whose data is null is
// not given.
struct Step {
  Input setpoint;
  Input measurement;
  Input feedforward;
  Input track;
  double dt;
  double* out;
};

struct Api {
  int version;  // kVersion
  // Takes the lock of `bank` (waiting with the GIL released, as update
  // does) and returns the held bank; null with a TypeError when `bank` is
  // not a PIDBank. With the GIL held.
  Session* (*begin)(PyObject* bank);
  // The number of channels of the held bank.
  std::size_t (*channels)(const Session* session);
  // Makes in `storage` the run of channels [begin, end) (end <= channels),
  // its flags as the bank holds them now. Touches no Python object.
  Run* (*select)(Session* session, std::size_t begin, std::size_t end, RunStorage* storage);
  // One update of the run's channels: the kernel call of PIDBank.update.
  // Touches no Python object.
  void (*step)(Run* run, const Step* step);
  // Gives the flags of a finished run back to the bank. Touches no Python
  // object.
  void (*merge)(Session* session, const Run* run);
  // Releases the lock and the session. Touches no Python object.
  void (*end)(Session* session);
};

}  // namespace kovar::bank_api
