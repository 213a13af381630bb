// Pickling of the controllers: the reducer and state setter of each class
// (in its method table under internal names until installation makes them
// __reduce__ and __setstate__), the module-level unpickle functions and the
// function definitions module initialisation turns into function objects.
#pragma once

#include "kovar/function_object.hpp"

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

// Function objects of each class's pickling methods and of the unpickle
// functions, in class order: PIDController, PIDControllerXd,
// AdaptiveController.
extern FunctionDef reduce_defs[3];
extern FunctionDef setstate_defs[3];
extern FunctionDef unpickle_defs[3];

// Makes `type`'s reducer and state setter its __reduce__ and __setstate__,
// unless the class pickles itself otherwise. Returns false with an
// exception set.
bool install_pickle_methods(PyTypeObject* type);

}  // namespace kovar::persistence

// Method-table entries of a class's reducer and state setter.
// clang-format off
#define KOVAR_PICKLE_METHODS(suffix)                                                        \
  {kovar::persistence::kReduceName, KOVAR_FASTCALL(kovar::persistence::reduce_##suffix),   \
   METH_FASTCALL | METH_KEYWORDS, nullptr},                                                \
  {kovar::persistence::kSetstateName, KOVAR_FASTCALL(kovar::persistence::setstate_##suffix), \
   METH_FASTCALL | METH_KEYWORDS, nullptr}
// clang-format on
