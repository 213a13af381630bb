// The entry points of kovar.regulo's passes on one SIMD path, each over a
// range of channels [begin, end) of the whole pass.
#pragma once

#include <cstddef>

#include "kovar/kernels/adaptive_kernel.hpp"
#include "kovar/kernels/pid_kernel.hpp"

namespace kovar::kernels {

struct ReguloKernels {
  void (*pid)(const PidChannels& c, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept;
  // More than one channel (one channel sums its history another way).
  void (*adaptive)(const AdaptiveChannels& c, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept;
};

extern const ReguloKernels regulo_scalar;
extern const ReguloKernels regulo_sse2;
extern const ReguloKernels regulo_avx2;    // run only where the CPU has AVX2
extern const ReguloKernels regulo_avx512;  // run only where the CPU has AVX-512F

}  // namespace kovar::kernels
