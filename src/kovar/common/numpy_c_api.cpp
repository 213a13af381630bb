#define KOVAR_OWNS_NUMPY_API
#include "kovar/common/numpy_c_api.hpp"

#include "kovar/common/owned_ref.hpp"

namespace kovar::ndarray {

namespace {

Ref import_multiarray() {
  Ref mod = Ref::steal(PyImport_ImportModule("numpy._core._multiarray_umath"));
  if (!mod && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
    PyErr_Clear();
    mod = Ref::steal(PyImport_ImportModule("numpy.core._multiarray_umath"));
  }
  return mod;
}

bool fail(const char* message) {
  PyErr_SetString(PyExc_ImportError, message);
  return false;
}

}  // namespace

bool bind_c_api(NumpyVersions& versions) {
  Ref multiarray = import_multiarray();
  if (!multiarray) return false;
  Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule) return false;
  if (!PyCapsule_CheckExact(capsule.get())) return fail("numpy's _ARRAY_API is not a capsule");
  void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) return PyErr_Occurred() ? false : fail("numpy's C-API table is null");
  // The table lives as long as NumPy's extension module, which is never
  // unloaded.
  kovar_ARRAY_API = table;
  versions.abi = PyArray_GetNDArrayCVersion();
  if (versions.abi > kMaxAbiVersion) return fail("numpy's ABI version is newer than 2.x");
  versions.feature = PyArray_GetNDArrayCFeatureVersion();
  if (versions.feature < kMinFeatureVersion) return fail("numpy is older than 1.20");
  // NumPy 2 moved fields of the array descriptor; the accessors that read
  // them switch on this.
  PyArray_RUNTIME_VERSION = static_cast<int>(versions.feature);
  if (PyArray_GetEndianness() != NPY_CPU_LITTLE) return fail("numpy is not little-endian");
  return true;
}

}  // namespace kovar::ndarray
