#include "kovar/regulo/binding/binding.hpp"

#include "kovar/regulo/traceback.hpp"

namespace kovar::binding {

namespace {

PyObject* param_name(const Signature& sig, Py_ssize_t i) { return names().*(sig.params[i].name); }

Py_ssize_t max_count(const Signature& sig) { return static_cast<Py_ssize_t>(sig.params.size()); }

void raise_count_error(const Signature& sig, Py_ssize_t given) {
  const Py_ssize_t required = sig.required;
  const Py_ssize_t maximum = max_count(sig);
  const char* more_or_less;
  Py_ssize_t expected;
  if (required == maximum) {
    more_or_less = "exactly";
    expected = required;
  } else if (given < required) {
    more_or_less = "at least";
    expected = required;
  } else {
    more_or_less = "at most";
    expected = maximum;
  }
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               sig.name, more_or_less, expected, expected == 1 ? "" : "s", given);
}

void raise_multiple_values(const Signature& sig, PyObject* key) {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name,
               key);
}

void raise_unexpected(const Signature& sig, PyObject* key) {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
}

// Compares a keyword with a parameter name by value. Returns 1 on a match,
// 0 otherwise, -1 with an exception set (a string subclass's __eq__ may raise).
int same_name(PyObject* key, PyObject* name) {
  if (PyUnicode_CheckExact(key)) {
    if (PyUnicode_GET_LENGTH(key) != PyUnicode_GET_LENGTH(name) ||
        PyUnicode_KIND(key) != PyUnicode_KIND(name)) {
      return 0;
    }
    const Py_hash_t key_hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
    if (key_hash != -1 && key_hash != reinterpret_cast<PyASCIIObject*>(name)->hash) return 0;
    return memcmp(PyUnicode_DATA(key), PyUnicode_DATA(name),
                  static_cast<size_t>(PyUnicode_GET_LENGTH(key)) * PyUnicode_KIND(key)) == 0;
  }
  return PyObject_RichCompareBool(key, name, Py_EQ);
}

// Index of the parameter among [first, last) whose name equals `key`, -1 for
// none, -2 with an exception set.
Py_ssize_t find_name(const Signature& sig, PyObject* key, Py_ssize_t first, Py_ssize_t last) {
  for (Py_ssize_t i = first; i < last; ++i) {
    if (param_name(sig, i) == key) return i;
  }
  for (Py_ssize_t i = first; i < last; ++i) {
    const int match = same_name(key, param_name(sig, i));
    if (match < 0) return -2;
    if (match) return i;
  }
  return -1;
}

// Reports a keyword that binds no parameter from position `nargs` onward.
void raise_keyword_error(const Signature& sig, PyObject* key, Py_ssize_t nargs) {
  const Py_ssize_t earlier = find_name(sig, key, 0, nargs);
  if (earlier == -2) return;
  if (earlier >= 0) {
    raise_multiple_values(sig, key);
  } else {
    raise_unexpected(sig, key);
  }
}

bool fail_binding(const Signature& sig) {
  if (sig.traceback_on_binding_error) add_traceback(sig.traceback, sig.line, sig.filename);
  return false;
}

// What every call does once its arguments are matched: required parameters
// present, defaults filled in, conversions in declaration order, then the
// array type tests in declaration order.
bool finish(const Signature& sig, Py_ssize_t nargs, Value* out) {
  for (Py_ssize_t i = nargs; i < sig.required; ++i) {
    if (out[i].object == nullptr) {
      raise_count_error(sig, i);
      return fail_binding(sig);
    }
  }
  const Py_ssize_t maximum = max_count(sig);
  for (Py_ssize_t i = 0; i < maximum; ++i) {
    const Param& p = sig.params[i];
    Value& v = out[i];
    if (v.object == nullptr) {
      v.d = p.default_value;
      continue;
    }
    if (p.kind == Kind::Double) {
      v.d = PyFloat_CheckExact(v.object) ? PyFloat_AS_DOUBLE(v.object) : PyFloat_AsDouble(v.object);
      if (v.d == -1.0 && PyErr_Occurred()) {
        add_traceback(sig.traceback, p.line, sig.filename);
        return false;
      }
    } else if (p.kind == Kind::Integer) {
      v.i = as_long(v.object);
      if (v.i == -1 && PyErr_Occurred()) {
        add_traceback(sig.traceback, p.line, sig.filename);
        return false;
      }
    }
  }
  for (Py_ssize_t i = 0; i < maximum; ++i) {
    PyObject* obj = out[i].object;
    if (sig.params[i].kind == Kind::TypedArray && obj != nullptr && !is_array_or_none(obj)) {
      // A failed type test adds no traceback entry.
      PyErr_Format(PyExc_TypeError,
                   "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                   PyUnicode_AsUTF8(param_name(sig, i)), "numpy.ndarray", Py_TYPE(obj)->tp_name);
      return false;
    }
  }
  return true;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Value* out) {
  const Py_ssize_t maximum = max_count(sig);
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  if (nkw == 0 ? (nargs < sig.required || nargs > maximum) : nargs > maximum) {
    raise_count_error(sig, nargs);
    return fail_binding(sig);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i].object = args[i];
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
      return fail_binding(sig);
    }
    const Py_ssize_t index = find_name(sig, key, nargs, maximum);
    if (index == -2) return fail_binding(sig);
    if (index == -1) {
      raise_keyword_error(sig, key, nargs);
      return fail_binding(sig);
    }
    if (out[index].object != nullptr) {
      raise_multiple_values(sig, key);
      return fail_binding(sig);
    }
    out[index].object = args[nargs + k];
  }
  return finish(sig, nargs, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwds, Value* out) {
  const Py_ssize_t maximum = max_count(sig);
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const Py_ssize_t nkw = kwds == nullptr ? 0 : PyDict_GET_SIZE(kwds);
  if (nkw == 0 ? (nargs < sig.required || nargs > maximum) : nargs > maximum) {
    raise_count_error(sig, nargs);
    return fail_binding(sig);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i].object = PyTuple_GET_ITEM(args, i);
  if (nkw > 0) {
    if (!PyArg_ValidateKeywordArguments(kwds)) return fail_binding(sig);
    Py_ssize_t found = 0;
    for (Py_ssize_t i = nargs; i < maximum; ++i) {
      PyObject* value = PyDict_GetItemWithError(kwds, param_name(sig, i));
      if (value != nullptr) {
        out[i].held = Ref::borrow(value);
        out[i].object = value;
        ++found;
      } else if (PyErr_Occurred()) {
        return fail_binding(sig);
      }
    }
    if (found < nkw) {
      // Report the first key, in the dict's own order, that named nothing.
      Py_ssize_t pos = 0;
      PyObject* key;
      PyObject* value;
      while (PyDict_Next(kwds, &pos, &key, &value)) {
        // A key's __eq__ may delete its own entry while it is compared.
        const Ref held_key = Ref::borrow(key);
        const Py_ssize_t index = find_name(sig, key, nargs, maximum);
        if (index == -2) return fail_binding(sig);
        if (index == -1) {
          raise_keyword_error(sig, key, nargs);
          return fail_binding(sig);
        }
      }
    }
  }
  return finish(sig, nargs, out);
}

long as_long(PyObject* obj) {
  if (PyLong_Check(obj)) return PyLong_AsLong(obj);
  PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
  if (number == nullptr || number->nb_int == nullptr) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return -1;
  }
  Ref converted = Ref::steal(number->nb_int(obj));
  if (!converted) return -1;
  if (!PyLong_CheckExact(converted.get())) {
    if (!PyLong_Check(converted.get())) {
      PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                   Py_TYPE(converted.get())->tp_name);
      return -1;
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be "
                         "removed in a future version of Python.",
                         Py_TYPE(converted.get())->tp_name) < 0) {
      return -1;
    }
  }
  return PyLong_AsLong(converted.get());
}

}  // namespace kovar::binding
