// The lane layer of four doubles in AVX registers. Included only by
// translation units compiled with -mavx2 (which brings no FMA).
#pragma once

#include <immintrin.h>

#include "kovar/kernels/lanes_scalar.hpp"

namespace kovar::kernels::lanes {

struct Avx2 {
  using Reg = __m256d;
  using Lane = ScalarLanes<Avx2>;
  static constexpr std::ptrdiff_t kWidth = 4;

  static Reg load(const double* p) noexcept { return _mm256_loadu_pd(p); }
  static void store(double* p, Reg v) noexcept { _mm256_storeu_pd(p, v); }
  static Reg set1(double x) noexcept { return _mm256_set1_pd(x); }
  static Reg add(Reg a, Reg b) noexcept { return _mm256_add_pd(a, b); }
  static Reg sub(Reg a, Reg b) noexcept { return _mm256_sub_pd(a, b); }
  static Reg mul(Reg a, Reg b) noexcept { return _mm256_mul_pd(a, b); }
  static Reg div(Reg a, Reg b) noexcept { return _mm256_div_pd(a, b); }
  static void compute(Reg v) noexcept { asm volatile("" : : "x"(v)); }
  // Quiet (_OQ) compares raise nothing on NaN; a false compare keeps x.
  static Reg max_quiet(Reg bound, Reg x) noexcept {
    return _mm256_blendv_pd(x, bound, _mm256_cmp_pd(bound, x, _CMP_GT_OQ));
  }
  static Reg min_quiet(Reg bound, Reg x) noexcept {
    return _mm256_blendv_pd(x, bound, _mm256_cmp_pd(bound, x, _CMP_LT_OQ));
  }

  // The quiet (_OQ) compare raises nothing on NaN.
  static Reg finite_or_zero(Reg x) noexcept {
    const Reg abs_x = _mm256_andnot_pd(_mm256_set1_pd(-0.0), x);
    return _mm256_and_pd(_mm256_cmp_pd(abs_x, _mm256_set1_pd(__builtin_inf()), _CMP_LT_OQ), x);
  }
  static bool same_bits(Reg a, Reg b) noexcept {
    const __m256i equal = _mm256_cmpeq_epi64(_mm256_castpd_si256(a), _mm256_castpd_si256(b));
    return _mm256_movemask_epi8(equal) == -1;
  }

  // The bank's forms (see lanes_scalar.hpp); VMAXPD(bound, x) is
  // bound > x ? bound : x, NaN operands included.
  using Mask = __m256d;
  static Reg max_of(Reg bound, Reg x) noexcept { return _mm256_max_pd(bound, x); }
  static Reg min_of(Reg bound, Reg x) noexcept { return _mm256_min_pd(bound, x); }
  static Reg abs(Reg x) noexcept { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), x); }
  static Mask less(Reg a, Reg b) noexcept { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
  static Mask greater(Reg a, Reg b) noexcept { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
  static Mask less_equal(Reg a, Reg b) noexcept { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
  static Mask equal(Reg a, Reg b) noexcept { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
  static Mask finite(Reg x) noexcept {
    return _mm256_cmp_pd(_mm256_sub_pd(x, x), _mm256_setzero_pd(), _CMP_EQ_OQ);
  }
  static Mask both(Mask a, Mask b) noexcept { return _mm256_and_pd(a, b); }
  static Mask either(Mask a, Mask b) noexcept { return _mm256_or_pd(a, b); }
  static Mask negate(Mask a) noexcept {
    return _mm256_xor_pd(a, _mm256_castsi256_pd(_mm256_set1_epi32(-1)));
  }
  static Reg select(Mask m, Reg yes, Reg no) noexcept { return _mm256_blendv_pd(no, yes, m); }
  static bool all(Mask m) noexcept { return _mm256_movemask_pd(m) == 15; }
  // p 16-byte aligned: two streaming halves, which the write-combining
  // buffers join (NumPy's arrays are 16-byte aligned, rarely 32).
  static void stream(double* p, Reg v) noexcept {
    _mm_stream_pd(p, _mm256_castpd256_pd128(v));
    _mm_stream_pd(p + 2, _mm256_extractf128_pd(v, 1));
  }
  static void fence() noexcept { _mm_sfence(); }
};

}  // namespace kovar::kernels::lanes
