// The PIDBank type: its PyType_Spec, and what its slot functions share across the
// files that implement them (construction, update, pickling).
#pragma once

#include "kovar/bank/bank_object.hpp"
#include "kovar/kernels/bank_capsule.hpp"

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
  bool any_flagged = true;
  bool terms_derived = false;
  bool feedforward_zero = false;
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
inline constexpr int kStateFieldCount = 14;
extern const StateField kStateFields[kStateFieldCount];

// The kernel's view of the state arrays.
bank_kernel::ChannelState kernel_state(const StateArrays& state);

// Brings the bank's strided parameters and array pointers up to date after
// its parameters or state arrays were replaced. Under the lock.
void refresh_kernel_view(BankObject* bank);

// Stores the terms of every channel if they are derived. The caller holds
// the bank's lock.
void store_terms(BankObject* bank);

// Parameters at their defaults.
void default_params(Param* params);

// State arrays of `shape` for a bank that has not run: zeros, automatic
// mode, every channel fresh. Returns false with an exception set.
bool new_state(const Shape& shape, StateArrays& state);
// One state array of `shape` as new_state makes it.
Ref new_state_array(const Shape& shape, const StateField& field);

// "nan", "hold".
const char* on_nan_name(OnNan mode);
bool parse_on_nan(PyObject* obj, OnNan& mode);

// A zeroed, writeable C-contiguous array of `shape` and `type_num` for a
// state field. Its memory is owned by a capsule, not by the array, so that
// no view of it can be made writeable; the array itself never leaves the
// bank. Returns null with an exception set.
Ref new_storage(const Shape& shape, int type_num);

// A new read-only array over the memory of `storage`, sharing its owner.
Ref state_view(const Ref& storage);

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

// What update does around the kernel, shared with the native callers of
// the bank's capsule (bank_capsule.cpp). Under the bank's lock.
// The kernel's view of channels [begin, end), with the bank's flags.
void select_channels(const BankObject* bank, std::size_t begin, std::size_t end,
                     bank_capsule::ChannelRun& run);
// One kernel call; the flags it returns are kept in the run.
void step_channels(bank_capsule::ChannelRun& run) noexcept;
// The bank takes the flags of a run over all of its channels.
void keep_flags(BankObject* bank, const bank_capsule::ChannelRun& run) noexcept;

// Adds the `_bank_api` capsule to the module; `type` is PIDBank.
bool add_bank_api(PyObject* module, PyObject* type);

}  // namespace kovar::bank
