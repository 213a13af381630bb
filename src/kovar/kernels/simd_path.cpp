#include "kovar/kernels/simd_path.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace kovar::kernels {

std::atomic<SimdPath> detail::active_path{SimdPath::kSse2};

namespace {

#if defined(__x86_64__) || defined(__i386__)
// Whether the CPU has AVX-512F (all the AVX-512 the kernels use, see
// lanes_avx512.hpp) and the OS saves the state it needs at a context
// switch: XCR0's SSE, AVX, opmask, ZMM0-15 upper halves and ZMM16-31 (bits
// 1, 2, 5, 6, 7). XGETBV may be run only where CPUID says the OS enabled
// it (OSXSAVE).
bool avx512_usable() noexcept {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || (ecx & bit_OSXSAVE) == 0) return false;
  unsigned xcr0_low, xcr0_high;
  asm("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  constexpr unsigned kZmmState = (1u << 1) | (1u << 2) | (1u << 5) | (1u << 6) | (1u << 7);
  if ((xcr0_low & kZmmState) != kZmmState) return false;
  return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_AVX512F) != 0;
}
#endif

SimdPath best_supported() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  // libgcc's check covers the OS saving the YMM registers (XGETBV), not
  // only the CPUID bit.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return avx512_usable() ? SimdPath::kAvx512 : SimdPath::kAvx2;
#endif
  return SimdPath::kSse2;
}

struct Name {
  const char* text;
  SimdPath path;
};
constexpr Name kNames[] = {{"scalar", SimdPath::kScalar},
                           {"sse2", SimdPath::kSse2},
                           {"avx2", SimdPath::kAvx2},
                           {"avx512", SimdPath::kAvx512}};

}  // namespace

bool choose_simd_path() noexcept {
  SimdPath path = best_supported();
  const char* forced = std::getenv("KOVAR_SIMD");
  // "" leaves the best path the CPU has; so does a name the core does not
  // know, which the caller reports.
  if (forced == nullptr || forced[0] == '\0') {
    detail::active_path.store(path, std::memory_order_relaxed);
    return true;
  }
  bool understood = false;
  for (const Name& name : kNames) {
    if (std::strcmp(forced, name.text) == 0) {
      understood = true;
      if (name.path < path) path = name.path;
    }
  }
  detail::active_path.store(path, std::memory_order_relaxed);
  return understood;
}

const char* simd_path_name(SimdPath path) noexcept {
  for (const Name& name : kNames) {
    if (name.path == path) return name.text;
  }
  return "sse2";
}

}  // namespace kovar::kernels
