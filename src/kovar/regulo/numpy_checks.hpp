// The import-time checks of kovar.regulo against the running NumPy: its C
// interface (bound through the shared binding) and the foreign type objects
// the module keeps.
#pragma once

#include "kovar/common/numpy_c_api.hpp"

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
