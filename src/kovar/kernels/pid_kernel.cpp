#include "kovar/kernels/pid_kernel.hpp"

#include "kovar/kernels/regulo_kernels.hpp"
#include "kovar/kernels/simd_path.hpp"
#include "kovar/kernels/stream_stores.hpp"
#include "kovar/kernels/thread_pool.hpp"
#include "kovar/kernels/undo_record.hpp"

namespace kovar::kernels {

namespace {

// A channel's work for the kernel threads: the law over ten arrays of
// doubles, one division.
constexpr std::ptrdiff_t kPidWeight = 2;

}  // namespace

void pid_step(const PidChannels& channels) noexcept {
  const auto pass = pick(regulo_scalar, regulo_sse2, regulo_avx2, regulo_avx2).pid;
  PidChannels c = channels;
  c.stream = streams(c.n, {c.error, c.control});
  for_ranges(c.n, kPidWeight,
             [&](std::ptrdiff_t begin, std::ptrdiff_t end) { pass(c, begin, end); });
}

void pid_undo(const PidChannels& c) noexcept {
  using L = lanes::Scalar;
  for (std::ptrdiff_t j = 0; j < c.n; ++j) {
    c.integral[j] = is_kept(c.kept, j) ? c.undo[j]
                                       : taken_back<L>(c.integral[j], L::mul(c.error[j], c.dt));
  }
}

}  // namespace kovar::kernels
