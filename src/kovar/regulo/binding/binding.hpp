// One binding routine for every callable of the module: matches a call
// against a constexpr parameter description, converts double and integer
// parameters and type-tests array parameters, with the interpreter-style
// messages callers rely on.
#pragma once

#include <cstdint>
#include <span>

#include "kovar/regulo/module_state.hpp"
#include "kovar/common/owned_ref.hpp"

namespace kovar::binding {

enum class Kind : std::uint8_t {
  Object,      // no conversion, no check
  Double,      // converted to a C double
  Integer,     // converted to a C long
  TypedArray,  // numpy.ndarray or None; contents checked by the body
};

struct Param {
  PyObject* Names::*name;
  Kind kind;
  int line;  // the declaration's line, for a failed conversion
  double default_value = 0.0;
  bool has_default = false;
};

struct Signature {
  const char* name;       // the bare name used in messages
  const char* traceback;  // the function name of traceback entries
  const char* filename;
  int line;  // the definition's line
  Py_ssize_t required;
  std::span<const Param> params;
  bool traceback_on_binding_error = true;
};

// One bound argument: the object (null for a defaulted parameter) and its
// converted value for double and integer kinds. An object taken from a
// keyword dict is also held in `held` until the call ends: the dict is the
// caller's and code run later in the call (a key's __eq__, a conversion, a
// released field) may delete the entry. Positional and vectorcall values
// are kept alive by the caller for the whole call and are only borrowed.
struct Value {
  PyObject* object = nullptr;
  double d = 0.0;
  long i = 0;
  Ref held;
};

// Binds a vectorcall (methods and module functions). The instance, if any,
// is not part of `args`. Returns false with an exception set.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Value* out);

// Binds a call with an argument tuple and an optional keyword dict
// (constructors). Returns false with an exception set.
bool bind(const Signature& sig, PyObject* args, PyObject* kwds, Value* out);

// Converts an object to a C long the way integer parameters are converted.
// Returns -1 with an exception set on failure (-1 alone is a valid value).
long as_long(PyObject* obj);

// True when `obj` is None or an instance of numpy.ndarray or a subclass.
inline bool is_array_or_none(PyObject* obj) noexcept {
  PyTypeObject* nd = ndarray_type();
  return obj == Py_None || Py_TYPE(obj) == nd || PyType_IsSubtype(Py_TYPE(obj), nd);
}

}  // namespace kovar::binding
