// The PIDBank object: its parameters, its state arrays and its lock.
//
// Every field is changed only by a thread that holds the bank's lock. The
// parameters and the array objects are replaced with the GIL held; the
// update kernel writes the state arrays' elements with the lock held and,
// for large banks, the GIL released.
#pragma once

#include "kovar/common/numpy_c_api.hpp"
#include "kovar/common/owned_ref.hpp"
#include "kovar/kernels/bank_kernel.hpp"

#include <cstddef>
#include <cstdint>

namespace kovar::bank {

// The parameters and the anti-windup modes are the kernel's.
using bank_kernel::AntiWindup;
using bank_kernel::OnNan;
using bank_kernel::ParamId;
using enum bank_kernel::ParamId;

// One parameter: a single number when it is the same for every channel,
// otherwise a read-only, C-contiguous float64 array of the bank's shape.
struct Param {
  double value = 0.0;
  Ref values;  // null when uniform

  bool uniform() const noexcept { return !values; }
  const double* data() const noexcept {
    return values ? static_cast<const double*>(
                        PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get())))
                  : &value;
  }
  // 0 for a uniform parameter, 1 for one value per channel.
  std::size_t step() const noexcept { return values ? 1 : 0; }
  double at(std::size_t i) const noexcept { return data()[i * step()]; }
  bank_kernel::Strided strided() const noexcept { return {data(), step()}; }
};

struct Shape {
  int ndim = 1;
  npy_intp dims[NPY_MAXDIMS] = {0};
  std::size_t size() const noexcept {
    std::size_t n = 1;
    for (int d = 0; d < ndim; ++d) n *= static_cast<std::size_t>(dims[d]);
    return n;
  }
  // Compared element by element: a 0-d array's dims pointer may be null.
  bool matches(int other_ndim, const npy_intp* other_dims) const noexcept {
    if (ndim != other_ndim) return false;
    for (int d = 0; d < ndim; ++d) {
      if (dims[d] != other_dims[d]) return false;
    }
    return true;
  }
  bool operator==(const Shape& other) const noexcept { return matches(other.ndim, other.dims); }
};

// The per-channel state, each a C-contiguous array of the bank's shape whose
// WRITEABLE flag is cleared: callers get read-only views, the kernel writes
// through the data pointers. They share one allocation (see new_state).
struct StateArrays {
  Ref integral;      // float64: ki-weighted sum of errors, within [i_min, i_max]
  Ref derivative;    // float64: the filtered derivative term D
  Ref x_prev;        // float64: c*r - y of the last step that advanced time
  Ref output;        // float64: the last output
  Ref manual_value;  // float64: the value output in manual mode
  Ref manual;        // bool: the channel is in manual mode
  Ref fresh;         // bool: no step has advanced time since construction/reset
  Ref gap;           // bool: a non-finite input came since the last step
  Ref pending;       // bool: kp or b changed since the channel's last call
  Ref kp_old;        // float64: where pending, the kp and b of the last
  Ref b_old;         //   output, for the bumpless move at the next call
  Ref term_p;        // float64: P, I, D and feed-forward of the last
  Ref term_i;        //   automatic call with finite inputs, while the
  Ref term_d;        //   bank keeps its terms
  Ref term_ff;
  // The relay experiment, made when the bank first starts one (null
  // before: a bank that never runs a relay carries none of it).
  Ref relay;         // bool, n: the channel is in relay mode
  Ref relay_fields;  // float64, (relay::kFieldCount, n): kernels/relay_law.hpp
};

// Counts the forks this process is a child of (bumped by a pthread_atfork
// handler in the child, before anything else runs there).
inline std::uint64_t fork_generation = 0;

struct BankObject {
  PyObject_HEAD
  // Configured by __init__ or __setstate__; until then the bank has shape
  // (0,). Once configured, its shape never changes.
  bool configured;
  PyThread_type_lock lock;
  std::uint64_t lock_generation;  // fork_generation when the lock was last known good
  Shape shape;
  Param params[kParamCount];
  bool tt_auto;  // tt is None: max(|kp/ki|, dt), dt where kp is 0
  AntiWindup anti_windup;
  OnNan on_nan;
  StateArrays state;
  std::size_t manual_count;      // channels in manual mode
  std::size_t relay_count;       // channels in relay mode
  std::uint64_t params_version;  // counts replacements of the parameters
  bool any_flagged;             // some channel has its fresh, gap or pending flag set
  bool keep_terms;              // automatic calls write their terms
  // What the kernel is given, kept in step with `params` and `state` by
  // refresh_kernel_view wherever either is replaced.
  bank_kernel::Strided strided[kParamCount];
  bool params_uniform;
  bank_kernel::ChannelState arrays;
};

// A bank's configuration as one value, for readers that take it under the
// lock and use it after (which may run Python code).
struct BankConfig {
  Param params[kParamCount];
  Shape shape;
  bool tt_auto;
  AntiWindup anti_windup;
  OnNan on_nan;
  bool keep_terms;
};

// A copy of `bank`'s configuration; the caller holds the bank's lock.
inline void copy_config(const BankObject* bank, BankConfig& config) {
  for (int id = 0; id < kParamCount; ++id) {
    config.params[id].value = bank->params[id].value;
    config.params[id].values = Ref::borrow(bank->params[id].values.get());
  }
  config.shape = bank->shape;
  config.tt_auto = bank->tt_auto;
  config.anti_windup = bank->anti_windup;
  config.on_nan = bank->on_nan;
  config.keep_terms = bank->keep_terms;
}

inline double* doubles(const Ref& array) {
  return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}
inline npy_bool* bools(const Ref& array) {
  return static_cast<npy_bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

// Holds a bank's lock for a scope. Waiting never blocks with the GIL held:
// a try first, then the GIL is released for the blocking acquire, so that
// the holder (who may be running without the GIL, or waiting for it) can
// finish. Nothing that can run Python code may happen while it is held.
//
// In a forked child the lock may still be held by a thread of the parent,
// which does not exist there. The first BankLock after the fork frees it:
// it runs with the GIL held, and every acquisition in the child passes
// here first, so no thread of the child can hold the lock yet.
class BankLock {
 public:
  explicit BankLock(BankObject* bank) : lock_(bank->lock) {
    if (bank->lock_generation != fork_generation) {
      PyThread_acquire_lock(lock_, NOWAIT_LOCK);  // held either way now
      PyThread_release_lock(lock_);
      bank->lock_generation = fork_generation;
    }
    if (!PyThread_acquire_lock(lock_, NOWAIT_LOCK)) {
      Py_BEGIN_ALLOW_THREADS PyThread_acquire_lock(lock_, WAIT_LOCK);
      Py_END_ALLOW_THREADS
    }
  }
  ~BankLock() { PyThread_release_lock(lock_); }
  BankLock(const BankLock&) = delete;
  BankLock& operator=(const BankLock&) = delete;

 private:
  PyThread_type_lock lock_;
};

}  // namespace kovar::bank
