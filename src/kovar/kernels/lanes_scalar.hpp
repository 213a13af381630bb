// The lane layer of one double: the operations the kernels' laws are
// written in, for the scalar path and for the tails of the vector paths.
//
// Owner makes each instantiation a distinct type: the vector paths are
// compiled with other instruction sets, and a template shared between their
// translation units could be linked from the wrong one.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace kovar::kernels::lanes {

template <class Owner>
struct ScalarLanes {
  using Reg = double;
  using Lane = ScalarLanes;
  static constexpr std::ptrdiff_t kWidth = 1;

  static Reg load(const double* p) noexcept { return *p; }
  static void store(double* p, Reg v) noexcept { *p = v; }
  static Reg set1(double x) noexcept { return x; }
  static Reg add(Reg a, Reg b) noexcept { return a + b; }
  static Reg sub(Reg a, Reg b) noexcept { return a - b; }
  static Reg mul(Reg a, Reg b) noexcept { return a * b; }
  static Reg div(Reg a, Reg b) noexcept { return a / b; }
  // Makes the operations behind v happen though v is not used: they may
  // raise a status flag the law must report.
  static void compute(Reg v) noexcept { asm volatile("" : : "x"(v)); }
  // bound > x ? bound : x, and bound < x ? bound : x, compared quietly: a
  // NaN x stays, and raises nothing. bound is never NaN.
  static Reg max_quiet(Reg bound, Reg x) noexcept {
    return __builtin_isgreater(bound, x) ? bound : x;
  }
  static Reg min_quiet(Reg bound, Reg x) noexcept { return __builtin_isless(bound, x) ? bound : x; }
  // x where it is finite, else +0.0; raises nothing.
  static Reg finite_or_zero(Reg x) noexcept { return __builtin_isfinite(x) ? x : 0.0; }
  // Whether every lane of a and b has the same bits.
  static bool same_bits(Reg a, Reg b) noexcept {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
  }

  // For the bank's law, whose kernel restores the status flags itself (so
  // these may raise invalid on NaN where the vector forms do). Masks are
  // one per lane: all bits set or clear.
  using Mask = bool;
  // bound > x ? bound : x and bound < x ? bound : x; a NaN on either side
  // gives x (Python's max(x, bound) and min(x, bound)). Compared loudly, as
  // MAXSD and MINSD do, so they compile to those.
  static Reg max_of(Reg bound, Reg x) noexcept { return bound > x ? bound : x; }
  static Reg min_of(Reg bound, Reg x) noexcept { return bound < x ? bound : x; }
  static Reg abs(Reg x) noexcept { return __builtin_fabs(x); }
  static Mask less(Reg a, Reg b) noexcept { return __builtin_isless(a, b); }
  static Mask greater(Reg a, Reg b) noexcept { return __builtin_isgreater(a, b); }
  static Mask less_equal(Reg a, Reg b) noexcept { return __builtin_islessequal(a, b); }
  static Mask equal(Reg a, Reg b) noexcept { return a == b; }
  static Mask finite(Reg x) noexcept { return __builtin_isfinite(x); }
  static Mask both(Mask a, Mask b) noexcept { return a && b; }
  static Mask either(Mask a, Mask b) noexcept { return a || b; }
  static Mask negate(Mask a) noexcept { return !a; }
  static Reg select(Mask m, Reg yes, Reg no) noexcept { return m ? yes : no; }
  static bool all(Mask m) noexcept { return m; }
  // A store that need not stay in the cache.
  static void stream(double* p, Reg v) noexcept { *p = v; }
  static void fence() noexcept {}
};

struct ScalarPath;
using Scalar = ScalarLanes<ScalarPath>;

}  // namespace kovar::kernels::lanes
