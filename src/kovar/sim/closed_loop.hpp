// The closed loop of kovar.sim.simulate over plain arrays: a held bank
// (through the bank's capsule) beside a bank of plants, step by step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kovar/common/bank_capsule.hpp"
#include "kovar/kernels/sim_kernel.hpp"

namespace kovar::sim {

// How the setpoint of step k is laid out over the channels.
enum class SetpointLayout : int { kUniform, kContiguous, kGathered };

struct LoopInputs {
  std::int64_t steps;
  double dt;
  const char* r;                      // r[0]
  std::ptrdiff_t r_time_stride;       // bytes from r[k] to r[k + 1]
  SetpointLayout r_layout;
  const std::ptrdiff_t* r_offsets;    // kGathered: bytes from r[k] to each channel
  const double* z;                    // steps x n standard normal draws, or null
  const double* noise;                // per channel
  const double* load;                 // per channel
  std::int64_t load_start;            // the first step with the load (steps: none)
  double* y_out;                      // steps x n, or null
  double* u_out;                      // steps x n, or null
};

// Channels per block: a block's plant states, bank state and measures
// (about 40 arrays) stay within a core's L2 cache.
inline constexpr std::size_t kBlock = 1024;

// Every channel's last output when no outputs are recorded, which the next
// chunk of steps takes up.
struct LoopScratch {
  LoopScratch(std::size_t channels, bool recorded) : u_last(recorded ? 0 : channels) {}
  std::vector<double> u_last;
};

// Steps [from, to) of the run, `from` where the last call stopped. The
// channels are run block by block, each for every step of the chunk, so
// that a block's state stays in the cache; blocks are spread over the
// kernel threads. Channels are independent, so the numbers are those of
// whole steps over the bank whatever thread ran them, and chunks add up
// to the same bits as one call over every step. Runs without the GIL.
void run_closed_loop(const bank_capsule::Api& api, bank_capsule::Session* session,
                     const LoopInputs& in, const sim_kernel::Plants& plants,
                     const sim_kernel::Measures& measures, LoopScratch& scratch,
                     std::int64_t from, std::int64_t to) noexcept;

}  // namespace kovar::sim
