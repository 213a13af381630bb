#include "kovar/kernels/pid_kernel.hpp"

#include <cstring>

#include "kovar/kernels/regulo_kernels.hpp"
#include "kovar/kernels/simd_path.hpp"
#include "kovar/kernels/thread_pool.hpp"

namespace kovar::kernels {

void pid_step(const PidChannels& c) noexcept {
  const auto pass = pick(regulo_scalar, regulo_sse2, regulo_avx2).pid;
  for_ranges(c.n, 1, [&](std::ptrdiff_t begin, std::ptrdiff_t end) { pass(c, begin, end); });
}

void pid_undo(const PidChannels& c) noexcept {
  std::memcpy(c.integral, c.undo, static_cast<std::size_t>(c.n) * sizeof(double));
}

}  // namespace kovar::kernels
