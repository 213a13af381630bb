// The lane layer of two doubles in SSE2 registers (the x86-64 baseline).
#pragma once

#include <emmintrin.h>

#include "kovar/kernels/lanes_scalar.hpp"

namespace kovar::kernels::lanes {

struct Sse2 {
  using Reg = __m128d;
  using Lane = ScalarLanes<Sse2>;
  static constexpr std::ptrdiff_t kWidth = 2;

  static Reg load(const double* p) noexcept { return _mm_loadu_pd(p); }
  static void store(double* p, Reg v) noexcept { _mm_storeu_pd(p, v); }
  static Reg set1(double x) noexcept { return _mm_set1_pd(x); }
  static Reg add(Reg a, Reg b) noexcept { return _mm_add_pd(a, b); }
  static Reg sub(Reg a, Reg b) noexcept { return _mm_sub_pd(a, b); }
  static Reg mul(Reg a, Reg b) noexcept { return _mm_mul_pd(a, b); }
  static Reg div(Reg a, Reg b) noexcept { return _mm_div_pd(a, b); }
  static void compute(Reg v) noexcept { asm volatile("" : : "x"(v)); }
  // SSE2's ordered compares, MAXPD and MINPD all raise invalid on a NaN
  // operand; CMPORDPD does not. NaN lanes are set to +0.0 for MAXPD/MINPD
  // (bound > x ? bound : x, and bound < x ? bound : x) and put back after.
  static Reg max_quiet(Reg bound, Reg x) noexcept {
    const Reg ordered = _mm_cmpord_pd(x, x);
    return keep_nan(ordered, _mm_max_pd(bound, _mm_and_pd(ordered, x)), x);
  }
  static Reg min_quiet(Reg bound, Reg x) noexcept {
    const Reg ordered = _mm_cmpord_pd(x, x);
    return keep_nan(ordered, _mm_min_pd(bound, _mm_and_pd(ordered, x)), x);
  }

  // CMPORDPD and CMPNEQPD are quiet.
  static Reg finite_or_zero(Reg x) noexcept {
    const Reg finite = _mm_and_pd(_mm_cmpord_pd(x, x),
                                  _mm_cmpneq_pd(abs(x), _mm_set1_pd(__builtin_inf())));
    return _mm_and_pd(finite, x);
  }
  static bool same_bits(Reg a, Reg b) noexcept {
    return _mm_movemask_epi8(_mm_cmpeq_epi32(_mm_castpd_si128(a), _mm_castpd_si128(b))) == 0xFFFF;
  }

  // The bank's forms (see lanes_scalar.hpp); MAXPD(bound, x) is
  // bound > x ? bound : x, NaN operands included.
  using Mask = __m128d;
  static Reg max_of(Reg bound, Reg x) noexcept { return _mm_max_pd(bound, x); }
  static Reg min_of(Reg bound, Reg x) noexcept { return _mm_min_pd(bound, x); }
  static Reg abs(Reg x) noexcept { return _mm_andnot_pd(_mm_set1_pd(-0.0), x); }
  static Mask less(Reg a, Reg b) noexcept { return _mm_cmplt_pd(a, b); }
  static Mask greater(Reg a, Reg b) noexcept { return _mm_cmpgt_pd(a, b); }
  static Mask less_equal(Reg a, Reg b) noexcept { return _mm_cmple_pd(a, b); }
  static Mask equal(Reg a, Reg b) noexcept { return _mm_cmpeq_pd(a, b); }
  // x - x is 0 for a finite x and NaN otherwise.
  static Mask finite(Reg x) noexcept { return _mm_cmpeq_pd(_mm_sub_pd(x, x), _mm_setzero_pd()); }
  static Mask both(Mask a, Mask b) noexcept { return _mm_and_pd(a, b); }
  static Mask either(Mask a, Mask b) noexcept { return _mm_or_pd(a, b); }
  static Mask negate(Mask a) noexcept { return _mm_xor_pd(a, _mm_castsi128_pd(_mm_set1_epi32(-1))); }
  static Reg select(Mask m, Reg yes, Reg no) noexcept {
    return _mm_or_pd(_mm_and_pd(m, yes), _mm_andnot_pd(m, no));
  }
  static bool all(Mask m) noexcept { return _mm_movemask_pd(m) == 3; }
  // p 16-byte aligned.
  static void stream(double* p, Reg v) noexcept { _mm_stream_pd(p, v); }
  static void fence() noexcept { _mm_sfence(); }

 private:
  static Reg keep_nan(Reg ordered, Reg result, Reg x) noexcept {
    return _mm_or_pd(_mm_and_pd(ordered, result), _mm_andnot_pd(ordered, x));
  }
};

}  // namespace kovar::kernels::lanes
