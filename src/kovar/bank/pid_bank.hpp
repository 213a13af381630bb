// The PIDBank type: its PyType_Spec, and what its slot functions share across the
// files that implement them (construction, update, pickling).
#pragma once

#include "kovar/bank/bank_object.hpp"

namespace kovar::bank {

extern PyType_Spec pid_bank_spec;

// Everything a bank is configured with, built and validated in full before
// it is installed, so that a refused argument changes nothing.
struct Configuration {
  Shape shape;
  Param params[kParamCount];
  bool tt_auto = true;
  AntiWindup anti_windup = AntiWindup::kBackCalculation;
  OnNan on_nan = OnNan::kNan;
  StateArrays state;
  std::size_t manual_count = 0;
  std::size_t relay_count = 0;
  bool any_flagged = true;
  bool keep_terms = false;
};

// The state arrays by the names their pickles give them, in the order they
// are stored. `since` is the first state format version that holds one;
// loading an older state makes it as new_state does.
struct StateField {
  const char* key;
  Ref StateArrays::*field;
  int type_num;
  long since;
};
inline constexpr int kStateFieldCount = 15;
extern const StateField kStateFields[kStateFieldCount];

// The kernel's view of the state arrays.
bank_kernel::ChannelState kernel_state(const StateArrays& state);

// Brings the bank's strided parameters and array pointers up to date after
// its parameters or state arrays were replaced. Under the lock.
void refresh_kernel_view(BankObject* bank);

// Parameters at their defaults.
void default_params(Param* params);

// State arrays of `shape` for a bank that has not run: zeros, automatic
// mode, every channel fresh. Returns false with an exception set.
bool new_state(const Shape& shape, StateArrays& state);

// Makes `state`'s relay arrays for `shape`: no channel in relay mode,
// every field 0. Returns false with an exception set.
bool new_relay(const Shape& shape, StateArrays& state);

// "nan", "hold".
const char* on_nan_name(OnNan mode);
bool parse_on_nan(PyObject* obj, OnNan& mode);

// A new read-only array over the memory of `storage`, sharing its owner.
Ref state_view(const Ref& storage);

// Whether `array` (float64, the bank's shape, C-contiguous) is a view of
// the bank's own output, all of it. Under the lock.
bool is_own_output(const BankObject* bank, PyArrayObject* array);

// Makes `array` the bank's own storage: its WRITEABLE flag is cleared.
void seal(const Ref& array);

// Swaps `config` into the bank under its lock; `config` receives what the
// bank held, to be released by the caller. A configured bank keeps its
// shape: a different one is refused with a ValueError.
bool install(BankObject* bank, Configuration& config);

// Converts `obj` for parameter `id` (tt: None as well) into `config`.
bool convert_into(Configuration& config, int id, PyObject* obj);

// The instance methods implemented in their own files.
PyObject* bank_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* bank_reduce(PyObject* self, PyObject* unused);
PyObject* bank_setstate(PyObject* self, PyObject* state);

extern const char bank_update_doc[];
extern const char bank_reduce_doc[];
extern const char bank_setstate_doc[];

// Made once when the module is executed.
bool make_update_names();

// Channels [begin, end) of a bank as the kernel sees them, for the native
// callers of the bank's capsule (bank_capsule.cpp). `args` may point into
// this struct: it is filled in place and never copied.
struct ChannelRun {
  bank_kernel::Strided params[kParamCount];
  bank_kernel::ChannelState state;
  bank_kernel::UpdateArgs args;
  std::size_t begin;
  std::size_t end;
};

// The kernel's view of channels [begin, end), with the bank's flags; the
// caller sets the inputs. Under the bank's lock.
void select_channels(const BankObject* bank, std::size_t begin, std::size_t end,
                     ChannelRun& run);

// Adds the `_bank_api` capsule to the module; `type` is PIDBank.
bool add_bank_api(PyObject* module, PyObject* type);

}  // namespace kovar::bank
