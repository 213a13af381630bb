// The lane layer of eight doubles in ZMM registers. Included only by
// translation units compiled with -mavx512f, and run only where the CPU has
// AVX-512F and the OS saves the ZMM and opmask state (simd_path.cpp). It
// uses AVX-512F alone (no VL, DQ or BW): masks are __mmask8 combined with
// plain integer operations, and the compiler picks the instructions.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "kovar/kernels/lanes_scalar.hpp"

namespace kovar::kernels::lanes {

struct Avx512 {
  using Reg = __m512d;
  using Lane = ScalarLanes<Avx512>;
  static constexpr std::ptrdiff_t kWidth = 8;

  static Reg load(const double* p) noexcept { return _mm512_loadu_pd(p); }
  static void store(double* p, Reg v) noexcept { _mm512_storeu_pd(p, v); }
  static Reg set1(double x) noexcept { return _mm512_set1_pd(x); }
  static Reg add(Reg a, Reg b) noexcept { return _mm512_add_pd(a, b); }
  static Reg sub(Reg a, Reg b) noexcept { return _mm512_sub_pd(a, b); }
  static Reg mul(Reg a, Reg b) noexcept { return _mm512_mul_pd(a, b); }
  static Reg div(Reg a, Reg b) noexcept { return _mm512_div_pd(a, b); }
  static void compute(Reg v) noexcept { asm volatile("" : : "v"(v)); }
  // Quiet (_OQ) compares raise nothing on NaN; a false compare keeps x.
  static Reg max_quiet(Reg bound, Reg x) noexcept {
    return _mm512_mask_mov_pd(x, _mm512_cmp_pd_mask(bound, x, _CMP_GT_OQ), bound);
  }
  static Reg min_quiet(Reg bound, Reg x) noexcept {
    return _mm512_mask_mov_pd(x, _mm512_cmp_pd_mask(bound, x, _CMP_LT_OQ), bound);
  }

  // The quiet (_OQ) compare raises nothing on NaN.
  static Reg finite_or_zero(Reg x) noexcept {
    return _mm512_maskz_mov_pd(
        _mm512_cmp_pd_mask(abs(x), _mm512_set1_pd(__builtin_inf()), _CMP_LT_OQ), x);
  }
  static bool same_bits(Reg a, Reg b) noexcept {
    return _mm512_cmpeq_epi64_mask(_mm512_castpd_si512(a), _mm512_castpd_si512(b)) == 0xFF;
  }

  // The bank's forms (see lanes_scalar.hpp); VMAXPD(bound, x) is
  // bound > x ? bound : x, NaN operands included.
  using Mask = __mmask8;
  static Reg max_of(Reg bound, Reg x) noexcept { return _mm512_max_pd(bound, x); }
  static Reg min_of(Reg bound, Reg x) noexcept { return _mm512_min_pd(bound, x); }
  static Reg abs(Reg x) noexcept { return _mm512_abs_pd(x); }
  static Mask less(Reg a, Reg b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
  static Mask greater(Reg a, Reg b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
  static Mask less_equal(Reg a, Reg b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
  static Mask equal(Reg a, Reg b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
  // x - x is 0 for a finite x and NaN otherwise (raising invalid on an
  // infinity, as the AVX2 form does).
  static Mask finite(Reg x) noexcept {
    return _mm512_cmp_pd_mask(_mm512_sub_pd(x, x), _mm512_setzero_pd(), _CMP_EQ_OQ);
  }
  static Mask both(Mask a, Mask b) noexcept { return static_cast<Mask>(a & b); }
  static Mask either(Mask a, Mask b) noexcept { return static_cast<Mask>(a | b); }
  static Mask negate(Mask a) noexcept { return static_cast<Mask>(~a); }
  static Reg select(Mask m, Reg yes, Reg no) noexcept { return _mm512_mask_blend_pd(m, no, yes); }
  static bool all(Mask m) noexcept { return m == 0xFF; }
  // p 16-byte aligned. NumPy's large arrays start 16 bytes into a page, so
  // a whole streaming store (which needs 64) is rare: the vector goes in
  // the widest pieces p's alignment allows, which the write-combining
  // buffers join. The alignment is the same for every vector of a pass, so
  // the branch is always predicted.
  static void stream(double* p, Reg v) noexcept {
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    const __m256d low = _mm512_castpd512_pd256(v);
    const __m256d high = _mm512_extractf64x4_pd(v, 1);
    if ((at & 63) == 0) {
      _mm512_stream_pd(p, v);
    } else if ((at & 31) == 0) {
      _mm256_stream_pd(p, low);
      _mm256_stream_pd(p + 4, high);
    } else {
      _mm_stream_pd(p, _mm256_castpd256_pd128(low));
      _mm_stream_pd(p + 2, _mm256_extractf128_pd(low, 1));
      _mm_stream_pd(p + 4, _mm256_castpd256_pd128(high));
      _mm_stream_pd(p + 6, _mm256_extractf128_pd(high, 1));
    }
  }
  static void fence() noexcept { _mm_sfence(); }
};

}  // namespace kovar::kernels::lanes
