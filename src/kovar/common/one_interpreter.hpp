// The refusal of a second interpreter. A module whose state is process-wide
// (NumPy's C-API table, interned names, static types) may be loaded into
// the first interpreter that imports it only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "kovar/common/owned_ref.hpp"

namespace kovar {

// Records the running interpreter in `owner` (-1: none yet) on the first
// call; refuses any other interpreter afterwards. Returns false with an
// ImportError set.
inline bool admit_interpreter(std::int64_t& owner) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return false;
  if (owner == -1) owner = id;
  if (id == owner) return true;
  PyErr_SetString(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per process.");
  return false;
}

// The Py_mod_create step of such a module: `admit_interpreter`, then a
// plain module named as `module_spec` says. New reference, or null with an
// exception set.
inline PyObject* create_in_one_interpreter(PyObject* module_spec, std::int64_t& owner) {
  if (!admit_interpreter(owner)) return nullptr;
  Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
  if (!name) return nullptr;
  return PyModule_NewObject(name.get());
}

}  // namespace kovar
