#include "kovar/regulo/numpy_checks.hpp"

#include "kovar/regulo/module_state.hpp"

namespace kovar {

namespace {

enum class SizeCheck { Ignore, Warn };

struct ForeignTypeCheck {
  const char* module;
  const char* name;
  Py_ssize_t expected_size;
  SizeCheck mode;
};

// In the order they are imported; indices match ForeignType.
constexpr ForeignTypeCheck kForeignTypes[kForeignTypeCount] = {
    {"builtins", "type", sizeof(PyHeapTypeObject), SizeCheck::Warn},
    {"numpy", "dtype", sizeof(PyArray_Descr), SizeCheck::Ignore},
    {"numpy", "flatiter", sizeof(PyArrayIterObject), SizeCheck::Ignore},
    {"numpy", "broadcast", sizeof(PyArrayMultiIterObject), SizeCheck::Ignore},
    {"numpy", "ndarray", sizeof(PyArrayObject_fields), SizeCheck::Ignore},
    {"numpy", "generic", sizeof(PyObject), SizeCheck::Warn},
    {"numpy", "number", sizeof(PyObject), SizeCheck::Warn},
    {"numpy", "integer", sizeof(PyObject), SizeCheck::Warn},
    {"numpy", "signedinteger", sizeof(PyObject), SizeCheck::Warn},
    {"numpy", "unsignedinteger", sizeof(PyObject), SizeCheck::Warn},
    {"numpy", "inexact", sizeof(PyObject), SizeCheck::Warn},
    {"numpy", "floating", sizeof(PyObject), SizeCheck::Warn},
    {"numpy", "complexfloating", sizeof(PyObject), SizeCheck::Warn},
    {"numpy", "flexible", sizeof(PyObject), SizeCheck::Warn},
    {"numpy", "character", sizeof(PyObject), SizeCheck::Warn},
    {"numpy", "ufunc", sizeof(PyUFuncObject), SizeCheck::Ignore},
};

constexpr const char kSizeChanged[] =
    "%.200s.%.200s size changed, may indicate binary incompatibility. "
    "Expected %zd from C header, got %zd from PyObject";

// Returns a new reference to the checked type, or null with an exception set.
PyTypeObject* import_type(PyObject* module, const ForeignTypeCheck& check) {
  Ref value = Ref::steal(PyObject_GetAttrString(module, check.name));
  if (!value) return nullptr;
  if (!PyType_Check(value.get())) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", check.module, check.name);
    return nullptr;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(value.get());
  const Py_ssize_t basic_size = type->tp_basicsize;
  Py_ssize_t item_size = type->tp_itemsize;
  if (item_size != 0) {
    const Py_ssize_t alignment = check.expected_size % 4 != 0 ? check.expected_size % 4 : 4;
    if (item_size < alignment) item_size = alignment;
  }
  if (basic_size + item_size < check.expected_size) {
    PyErr_Format(PyExc_ValueError, kSizeChanged, check.module, check.name, check.expected_size,
                 basic_size + item_size);
    return nullptr;
  }
  if (check.mode == SizeCheck::Warn && basic_size > check.expected_size) {
    if (PyErr_WarnFormat(nullptr, 0, kSizeChanged, check.module, check.name, check.expected_size,
                         basic_size) < 0) {
      return nullptr;
    }
  }
  return reinterpret_cast<PyTypeObject*>(value.release());
}

}  // namespace

bool import_numpy_api() {
  ModuleState& st = state();
  ndarray::NumpyVersions versions;
  const bool bound = ndarray::bind_c_api(versions);
  st.numpy_feature_version = versions.feature;
  if (bound) {
    st.numpy_api = kovar_ARRAY_API;
    return true;
  }
  // Whatever went wrong, the importer sees one fixed error, not chained.
  PyErr_Clear();
  PyErr_SetString(PyExc_ImportError,
                  "numpy.core.multiarray failed to import (auto-generated because you didn't "
                  "call 'numpy.import_array()' after cimporting numpy; use "
                  "'<void>numpy._import_array' to disable if you are certain you don't need it).");
  return false;
}

bool import_foreign_types() {
  ModuleState& st = state();
  Ref module = Ref::steal(PyImport_ImportModule("builtins"));
  for (int i = 0; i < kForeignTypeCount; ++i) {
    if (i == kDtype) module = Ref::steal(PyImport_ImportModule("numpy"));
    if (!module) return false;
    PyTypeObject* type = import_type(module.get(), kForeignTypes[i]);
    if (type == nullptr) return false;
    Py_XSETREF(st.foreign[i], type);
  }
  return true;
}

}  // namespace kovar
