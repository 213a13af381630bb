#include "kovar/kernels/simd_path.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace kovar::kernels {

std::atomic<SimdPath> detail::active_path{SimdPath::kSse2};

namespace {

SimdPath best_supported() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  // libgcc's check covers the OS saving the YMM registers (XGETBV), not
  // only the CPUID bit.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return SimdPath::kAvx2;
#endif
  return SimdPath::kSse2;
}

}  // namespace

bool choose_simd_path() noexcept {
  SimdPath path = best_supported();
  const char* forced = std::getenv("KOVAR_SIMD");
  bool understood = true;
  if (forced != nullptr) {
    if (std::strcmp(forced, "scalar") == 0) {
      path = SimdPath::kScalar;
    } else if (std::strcmp(forced, "sse2") == 0) {
      if (path > SimdPath::kSse2) path = SimdPath::kSse2;
    } else {
      // "avx2" and "" leave the best path the CPU has; so does anything
      // else, which the caller reports.
      understood = std::strcmp(forced, "avx2") == 0 || forced[0] == '\0';
    }
  }
  detail::active_path.store(path, std::memory_order_relaxed);
  return understood;
}

const char* simd_path_name(SimdPath path) noexcept {
  switch (path) {
    case SimdPath::kScalar:
      return "scalar";
    case SimdPath::kAvx2:
      return "avx2";
    case SimdPath::kSse2:
      break;
  }
  return "sse2";
}

}  // namespace kovar::kernels
