// NumPy's C interface as the module uses it. Every translation unit that
// needs NumPy's headers includes this one, so the API symbol is the same
// everywhere; numpy_api.cpp alone owns the function table. The C-API
// target (NPY_TARGET_VERSION) comes from the build, equal for every unit.
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

namespace kovar {

// Binds NumPy's C-API table from its capsule and checks the running NumPy's
// ABI version, C-API feature version and byte order. Every failure becomes
// one fixed ImportError. Returns false with that exception set.
bool import_numpy_api();

// Reads `type` from builtins and the NumPy types the module keeps, checking
// that each is a type object of a sufficient size. Returns false with an
// exception set.
bool import_foreign_types();

}  // namespace kovar
