// NumPy's C interface, configured the same way for every translation unit of
// every kovar module: one API symbol, the C-API target from the build
// (NPY_TARGET_VERSION), the headers' unused helpers silenced. Exactly one
// translation unit per module (numpy_c_api.cpp) owns the function table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL kovar_ARRAY_API
#ifndef KOVAR_OWNS_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include <numpy/ndarrayobject.h>
#include <numpy/ufuncobject.h>
#pragma GCC diagnostic pop

namespace kovar::ndarray {

// The running NumPy's versions, as its C interface reports them.
struct NumpyVersions {
  unsigned int abi = 0;      // 0x01000009 on 1.x, 0x02000000 on 2.x
  unsigned int feature = 0;  // the C-API feature version (0xE is NumPy 1.20)
};

inline constexpr unsigned int kMaxAbiVersion = 0x02000000;
inline constexpr unsigned int kMinFeatureVersion = 0x0000000e;  // the NumPy 1.20 C-API

// Imports NumPy's multiarray module (numpy._core, or numpy.core before
// 1.26.1), takes the function table from its `_ARRAY_API` capsule and binds
// it for this module, then checks, in this order, the ABI version (at most
// 2.x), the C-API feature version (at least 1.20) and the byte order
// (little-endian). The version-dependent accessors (PyArray_ITEMSIZE and the
// like) read the descriptor layout of the running NumPy once this returned.
// Returns false with an ImportError (or the import's own error) set;
// `versions` holds what was read before the failing check.
bool bind_c_api(NumpyVersions& versions);

}  // namespace kovar::ndarray
