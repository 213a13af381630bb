// The lane layer of one double: the operations the kernels' laws are
// written in, for the scalar path and for the tails of the vector paths.
//
// Owner makes each instantiation a distinct type: the vector paths are
// compiled with other instruction sets, and a template shared between their
// translation units could be linked from the wrong one.
#pragma once

#include <cstddef>

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
};

struct ScalarPath;
using Scalar = ScalarLanes<ScalarPath>;

}  // namespace kovar::kernels::lanes
