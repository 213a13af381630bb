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
};

}  // namespace kovar::kernels::lanes
