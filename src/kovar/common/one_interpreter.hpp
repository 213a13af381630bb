// The refusal of a second interpreter. A module whose state is process-wide
// (NumPy's C-API table, interned names, static types) may be loaded into
// the first interpreter that imports it only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

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

}  // namespace kovar
