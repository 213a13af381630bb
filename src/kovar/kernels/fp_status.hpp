// The floating-point status flags around a native kernel: NumPy reports
// invalid, divide-by-zero, overflow and underflow of its loops through
// np.errstate, so a kernel that stands in for NumPy's loops must know
// whether it raised any of them.
#pragma once

#if defined(__x86_64__) || (defined(__i386__) && defined(__SSE2__))
#include <xmmintrin.h>
#define KOVAR_FP_STATUS_MXCSR 1
#else
#include <cfenv>
#endif

namespace kovar::kernels {

#if KOVAR_FP_STATUS_MXCSR
// MXCSR bits: invalid 0x01, denormal operand 0x02, divide-by-zero 0x04,
// overflow 0x08, underflow 0x10, inexact 0x20. Reading the register directly
// costs a few nanoseconds; feclearexcept/fetestexcept cost far more.
inline constexpr unsigned int kReportedFlags = 0x01 | 0x04 | 0x08 | 0x10;
inline constexpr unsigned int kAllFlags = 0x3F;

// Clears every status flag, so that what the kernel raises can be read after.
inline void clear_fp_status() noexcept { _mm_setcsr(_mm_getcsr() & ~kAllFlags); }

// True when invalid, divide-by-zero, overflow or underflow was raised since
// the last clear_fp_status() on this thread.
inline bool fp_exception_raised() noexcept { return (_mm_getcsr() & kReportedFlags) != 0; }

// Keeps the status flags of a scope's start and puts them back at its end,
// for a kernel that reports no floating-point conditions and must leave the
// flags as it found them.
class FpStatusKeeper {
 public:
  FpStatusKeeper() noexcept : csr_(_mm_getcsr()) {}
  ~FpStatusKeeper() { _mm_setcsr(csr_); }
  FpStatusKeeper(const FpStatusKeeper&) = delete;
  FpStatusKeeper& operator=(const FpStatusKeeper&) = delete;

 private:
  unsigned int csr_;
};
#else
inline void clear_fp_status() noexcept { std::feclearexcept(FE_ALL_EXCEPT); }
inline bool fp_exception_raised() noexcept {
  return std::fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW) != 0;
}

class FpStatusKeeper {
 public:
  FpStatusKeeper() noexcept { std::fegetexceptflag(&flags_, FE_ALL_EXCEPT); }
  ~FpStatusKeeper() { std::fesetexceptflag(&flags_, FE_ALL_EXCEPT); }
  FpStatusKeeper(const FpStatusKeeper&) = delete;
  FpStatusKeeper& operator=(const FpStatusKeeper&) = delete;

 private:
  std::fexcept_t flags_;
};
#endif

}  // namespace kovar::kernels
