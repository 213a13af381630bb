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
  StateArrays state;
  std::size_t manual_count = 0;
  bool any_fresh = true;
};

// Parameters at their defaults.
void default_params(Param* params);

// State arrays of `shape` for a bank that has not run: zeros, automatic
// mode, every channel fresh. Returns false with an exception set.
bool new_state(const Shape& shape, StateArrays& state);

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

}  // namespace kovar::bank
