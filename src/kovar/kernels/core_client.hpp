// Binding a module's kernels to kovar._core (see core_client.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kovar::kernels {

// Imports kovar._core and takes its SIMD path and pool for this module's
// kernels. Called by the module's exec; false with an exception set.
bool bind_core();

}  // namespace kovar::kernels
