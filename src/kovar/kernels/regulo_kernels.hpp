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
// No AVX-512 table: on that path the regulo laws run their AVX2 passes.
// Eight lanes measured slower than four at every size (4-12 % for
// PIDController and PIDControllerXd from 10^4 channels on, 8 % for the
// adaptive controller at 10^5 and 30 % at 100 channels, whose tails then
// run one channel at a time; quiet machine, Xeon with AVX-512F): these
// laws are bound by memory and by their divisions, not by lanes.

}  // namespace kovar::kernels
