// The closed loop of kovar.sim.simulate over plain arrays: a held bank
// (through the bank's capsule) beside a bank of plants, step by step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "kovar/common/bank_api.hpp"
#include "kovar/kernels/sim_kernel.hpp"

namespace kovar::sim {

// How an input series lays out the channels of step k.
enum class SeriesLayout : int { kUniform, kContiguous, kGathered };

// An input over time: a float64 array of shape (steps, ...) with a value
// per channel at each step, any strides.
struct Series {
  const char* data;                // row 0
  std::ptrdiff_t time_stride;      // bytes from row k to row k + 1
  SeriesLayout layout;
  const std::ptrdiff_t* offsets;   // kGathered: bytes from a row to each channel
};

struct LoopInputs {
  std::int64_t steps;
  double dt;
  Series r;
  const double* z;                    // steps x n standard normal draws, or null
  const double* noise;                // per channel
  Series load;
  std::int64_t load_start;            // the first step with the load (steps: none)
  Series feedforward;                 // read only when has_feedforward
  Series track;                       // read only when has_track
  bool has_feedforward;
  bool has_track;
  double* y_out;                      // steps x n, or null
  double* u_out;                      // steps x n, or null
};

// Channels per block: a block's plant states, bank state and measures
// (about 40 arrays) stay within a core's L2 cache.
inline constexpr std::size_t kBlock = 1024;

// What a block works in: the measurement it shows the bank, the rows of
// gathered series and, when no outputs are recorded, two outputs in turn.
struct BlockScratch {
  double seen[kBlock];
  double r[kBlock];
  double load[kBlock];
  double feedforward[kBlock];
  double track[kBlock];
  double u[2 * kBlock];
  bank_api::RunStorage run;
};

// The run's working memory: a block scratch for each thread that may run
// blocks at once (one per block, at most 64), each taken by one range of
// blocks at a time, and every channel's last output when no outputs are
// recorded, which the next chunk of steps takes up.
struct LoopScratch {
  LoopScratch(std::size_t channels, bool recorded)
      : blocks(std::min<std::size_t>(64, std::max<std::size_t>(1, (channels + kBlock - 1) / kBlock))),
        taken(new std::atomic<bool>[blocks.size()]()),
        u_last(recorded ? 0 : channels) {}
  std::vector<BlockScratch> blocks;
  std::unique_ptr<std::atomic<bool>[]> taken;
  std::vector<double> u_last;
};

// Steps [from, to) of the run, `from` where the last call stopped. The
// channels are run block by block, each for every step of the chunk, so
// that a block's state stays in the cache; blocks are spread over the
// kernel threads. Channels are independent, so the numbers are those of
// whole steps over the bank whatever thread ran them, and chunks add up
// to the same bits as one call over every step. Runs without the GIL.
void run_closed_loop(const bank_api::Api& api, bank_api::Session* session,
                     const LoopInputs& in, const sim_kernel::Plants& plants,
                     const sim_kernel::Measures& measures, LoopScratch& scratch,
                     std::int64_t from, std::int64_t to) noexcept;

}  // namespace kovar::sim
