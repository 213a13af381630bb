// The C interface of kovar._core, the process's one kernel core: its
// thread pool and its SIMD path. kovar.regulo and kovar.bank reach it
// through a capsule bound at their exec (core_client.cpp), so however many
// modules are imported, a process has one set of kernel threads and one
// path. A table of a newer version than a module knows is refused.
#pragma once

#include <cstddef>

#include "kovar/kernels/simd_path.hpp"
#include "kovar/kernels/thread_pool.hpp"

namespace kovar::core_api {

inline constexpr const char* kCapsuleName = "kovar._core._C_API";
// 2: the path may be SimdPath::kAvx512.
inline constexpr int kVersion = 2;

struct Api {
  int version;
  kernels::SimdPath (*simd_path)() noexcept;
  void (*split_over_threads)(std::ptrdiff_t items, std::ptrdiff_t weight,
                             kernels::RangeFunction fn, const void* context) noexcept;
};

}  // namespace kovar::core_api
