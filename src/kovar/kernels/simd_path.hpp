// The instruction set the kernels run on, chosen once per module at import
// from the CPU's features: AVX-512 (F) or else AVX2 where the CPU and the
// OS support it, SSE2 (the x86-64 baseline) otherwise. KOVAR_SIMD=avx2,
// sse2 or scalar forces a lower path, so every path this machine has can be
// checked against the others; a higher path than the CPU has is never
// taken.
//
// A kernel family keeps one table of entry points per path (made by
// instantiating its law with that path's lane layer, in a translation unit
// compiled for that path) and picks its table through pick().
#pragma once

#include <atomic>

namespace kovar::kernels {

// Ordered: a higher value is a wider path.
enum class SimdPath : int { kScalar, kSse2, kAvx2, kAvx512 };

// Reads KOVAR_SIMD and the CPU's features and makes the result the active
// path. Called once by kovar._core's exec, with the GIL held; the kernels
// use the SSE2 path until it runs. False when KOVAR_SIMD holds a value it
// does not know (the best path is taken then).
bool choose_simd_path() noexcept;

namespace detail {
// Set by choose_simd_path. Relaxed: the value is set once at import, before
// any kernel runs on another thread, and any of the paths gives the same
// bits.
extern std::atomic<SimdPath> active_path;
}  // namespace detail

// Inline: kernels pick their path on every call.
inline SimdPath active_simd_path() noexcept {
  return detail::active_path.load(std::memory_order_relaxed);
}

// "scalar", "sse2", "avx2" or "avx512".
const char* simd_path_name(SimdPath path) noexcept;

// The table of the active path.
template <class Table>
const Table& pick(const Table& scalar, const Table& sse2, const Table& avx2,
                  const Table& avx512) noexcept {
  switch (active_simd_path()) {
    case SimdPath::kScalar:
      return scalar;
    case SimdPath::kAvx2:
      return avx2;
    case SimdPath::kAvx512:
      return avx512;
    case SimdPath::kSse2:
      break;
  }
  return sse2;
}

}  // namespace kovar::kernels
