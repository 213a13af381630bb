// A statically allocated type object, zeroed but for its header, for the
// slot assignments that follow.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kovar {

inline PyTypeObject static_type(const char* name) {
  PyTypeObject type{};
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
  type.tp_name = name;
  return type;
}

}  // namespace kovar
