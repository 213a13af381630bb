// The pickling methods every controller class carries in its method table,
// under internal names until installation makes them __reduce__ and
// __setstate__. Declared here, beside the classes whose tables list them;
// persistence defines them.
#pragma once

#include <Python.h>

namespace kovar::persistence {

// The internal method names of the reducer and the state setter.
inline constexpr const char* kReduceName = "__kovar_reduce__";
inline constexpr const char* kSetstateName = "__kovar_setstate__";

PyObject* reduce_pid(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* reduce_pid_xd(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* reduce_adaptive(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* setstate_pid(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* setstate_pid_xd(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* setstate_adaptive(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace kovar::persistence

// Method-table entries of a class's reducer and state setter.
// clang-format off
#define KOVAR_PICKLE_METHODS(suffix)                                                        \
  {kovar::persistence::kReduceName, KOVAR_FASTCALL(kovar::persistence::reduce_##suffix),   \
   METH_FASTCALL | METH_KEYWORDS, nullptr},                                                \
  {kovar::persistence::kSetstateName, KOVAR_FASTCALL(kovar::persistence::setstate_##suffix), \
   METH_FASTCALL | METH_KEYWORDS, nullptr}
// clang-format on
