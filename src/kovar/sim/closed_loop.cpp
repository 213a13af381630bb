#include "kovar/sim/closed_loop.hpp"

#include <algorithm>
#include <atomic>

#include "kovar/kernels/fp_status.hpp"
#include "kovar/kernels/thread_pool.hpp"

namespace kovar::sim {

namespace {

// The row of step k of `series` for channels [begin, end).
bank_api::Input row_at(const Series& series, std::int64_t k, std::size_t begin,
                            std::size_t end, double* scratch) noexcept {
  const char* row = series.data + k * series.time_stride;
  switch (series.layout) {
    case SeriesLayout::kUniform:
      return {reinterpret_cast<const double*>(row), 0};
    case SeriesLayout::kContiguous:
      return {reinterpret_cast<const double*>(row) + begin, 1};
    case SeriesLayout::kGathered:
      break;
  }
  for (std::size_t i = begin; i < end; ++i) {
    scratch[i - begin] = *reinterpret_cast<const double*>(row + series.offsets[i]);
  }
  return {scratch, 1};
}

// Steps [from, to) of channels [begin, end), one block, in `run` (selected
// for them).
void run_block(const bank_api::Api& api, const LoopInputs& in,
               const sim_kernel::Plants& plants, const sim_kernel::Measures& measures,
               LoopScratch& scratch, BlockScratch& local, std::size_t begin, std::size_t end,
               std::int64_t from, std::int64_t to, bank_api::Run* run) noexcept {
  const std::size_t n = plants.n;
  const std::size_t width = end - begin;
  for (std::int64_t k = from; k < to; ++k) {
    const std::size_t row = static_cast<std::size_t>(k) * n;
    const bank_api::Input r = row_at(in.r, k, begin, end, local.r);
    // What the bank sees: y + noise*z[k].
    const double* seen = plants.x + begin;
    if (in.z != nullptr) {
      // Local pointers: a store may alias any struct field in this build.
      double* __restrict noisy = local.seen;
      const double* __restrict y = plants.x + begin;
      const double* __restrict scale = in.noise + begin;
      const double* __restrict z = in.z + row + begin;
      for (std::size_t j = 0; j < width; ++j) noisy[j] = y[j] + scale[j] * z[j];
      seen = noisy;
    }
    double* u;
    const double* u_prev;
    if (in.u_out != nullptr) {
      u = in.u_out + row + begin;
      u_prev = k == 0 ? nullptr : u - n;
    } else {
      u = local.u + (k & 1) * width;
      if (k == 0) {
        u_prev = nullptr;
      } else if (k == from) {
        u_prev = scratch.u_last.data() + begin;
      } else {
        u_prev = local.u + ((k - 1) & 1) * width;
      }
    }
    bank_api::Step step;
    step.setpoint = r;
    step.measurement = {seen, 1};
    step.feedforward = in.has_feedforward
                           ? row_at(in.feedforward, k, begin, end, local.feedforward)
                           : bank_api::Input{nullptr, 0};
    step.track = in.has_track ? row_at(in.track, k, begin, end, local.track)
                              : bank_api::Input{nullptr, 0};
    step.dt = in.dt;
    step.out = u;
    api.step(run, &step);
    sim_kernel::Sample sample;
    sample.k = k;
    sample.t = static_cast<double>(k) * in.dt;
    sample.dt = in.dt;
    sample.r = r.data;
    sample.r_step = r.step;
    sample.u = u;
    sample.u_prev = u_prev;
    sample.loaded = k >= in.load_start;
    sample.load = nullptr;
    sample.load_step = 0;
    if (sample.loaded) {
      const bank_api::Input load = row_at(in.load, k, begin, end, local.load);
      sample.load = load.data;
      sample.load_step = load.step;
    }
    sample.y_out = in.y_out != nullptr ? in.y_out + row + begin : nullptr;
    sim_kernel::measure(measures, plants, sample, begin, end);
    sim_kernel::advance(plants, sample, begin, end);
  }
  if (in.u_out == nullptr && to > from) {
    std::copy_n(local.u + ((to - 1) & 1) * width, width, scratch.u_last.data() + begin);
  }
}

// Work of one channel-step, in the thread pool's units (about a fifth of a
// nanosecond each): the bank's law, the plant and the measures.
constexpr std::ptrdiff_t kChannelStepWork = 40;

}  // namespace

void run_closed_loop(const bank_api::Api& api, bank_api::Session* session,
                     const LoopInputs& in, const sim_kernel::Plants& plants,
                     const sim_kernel::Measures& measures, LoopScratch& scratch,
                     std::int64_t from, std::int64_t to) noexcept {
  // Overflow and NaN of an unstable loop are results, not conditions to
  // report: the flags are left as they were found (the pool raises on this
  // thread what its threads raised).
  const kernels::FpStatusKeeper keep_status;
  const std::size_t n = plants.n;
  const auto blocks = static_cast<std::ptrdiff_t>((n + kBlock - 1) / kBlock);
  // Selecting a run reads the bank's flags, and merging one writes them:
  // one thread at a time does either.
  std::atomic_flag flags_in_use = ATOMIC_FLAG_INIT;
  const auto with_flags = [&flags_in_use](auto&& use) {
    while (flags_in_use.test_and_set(std::memory_order_acquire)) {
    }
    use();
    flags_in_use.clear(std::memory_order_release);
  };
  const auto run_blocks = [&](std::ptrdiff_t first, std::ptrdiff_t last) {
    if (first == last) return;
    // A scratch no other range is using: no more ranges of blocks run at
    // once than there are scratches.
    std::size_t slot = 0;
    while (scratch.taken[slot].exchange(true, std::memory_order_acquire)) {
      slot = (slot + 1) % scratch.blocks.size();
    }
    BlockScratch& local = scratch.blocks[slot];
    for (std::ptrdiff_t b = first; b < last; ++b) {
      const std::size_t begin = static_cast<std::size_t>(b) * kBlock;
      const std::size_t end = std::min(n, begin + kBlock);
      bank_api::Run* run = nullptr;
      with_flags([&] { run = api.select(session, begin, end, &local.run); });
      run_block(api, in, plants, measures, scratch, local, begin, end, from, to, run);
      with_flags([&] { api.merge(session, run); });
    }
    scratch.taken[slot].store(false, std::memory_order_release);
  };
  if (blocks < 2) {
    run_blocks(0, blocks);
    return;
  }
  // Any chunk long enough to time is worth the threads; the product is
  // capped so that it cannot overflow.
  const std::int64_t steps = std::min<std::int64_t>(to - from, std::int64_t{1} << 20);
  kernels::for_ranges(blocks, static_cast<std::ptrdiff_t>(kBlock) * steps * kChannelStepWork,
                      run_blocks);
}

}  // namespace kovar::sim
