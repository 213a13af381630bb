// Function objects for the methods and module-level functions: callables
// that behave like Python functions (names, module, globals, a code object
// with the parameter names for introspection) and bind to instances when
// read through them.
#pragma once

#include <array>

#include "kovar/common/owned_ref.hpp"

namespace kovar {

// A method body (the instance in `self`) or a module function (`self` is the
// module), called with a vector of arguments and a tuple of keyword names.
using FastFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);

// A FastFunction as a method-table entry's function pointer.
#define KOVAR_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

struct FunctionDef {
  const char* name;
  const char* qualname;
  FastFunction impl;
  PyTypeObject* owner;    // the class of a method; null for a module function
  const char* traceback;  // function name of traceback entries; null for none
  const char* filename;
  int first_line;
  int argcount;                          // including self for methods
  std::array<const char*, 12> varnames;  // parameters, then locals; unused slots null
  PyObject* code = nullptr;              // made once at import by make_code_object
};

// Readies the shared function-object type. Returns false with an exception set.
bool ready_function_type();

// Builds the code object of `def` and keeps it there.
bool make_code_object(FunctionDef& def);

// Returns a new function object for `def`, whose code object must exist,
// with the module namespace as its globals; null with an exception set.
Ref make_function(const FunctionDef& def, PyObject* module_name, PyObject* globals);

}  // namespace kovar
