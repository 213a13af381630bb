#include "kovar/sim/closed_loop.hpp"

#include <algorithm>

#include "kovar/kernels/fp_status.hpp"

namespace kovar::sim {

namespace {

constexpr double kNoInput = 0.0;

// The row of step k of `series` for channels [begin, end).
bank_kernel::Strided row_at(const Series& series, std::int64_t k, std::size_t begin,
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

}  // namespace

void run_closed_loop(const bank_capsule::Api& api, bank_capsule::Session* session,
                     const LoopInputs& in, const sim_kernel::Plants& plants,
                     const sim_kernel::Measures& measures, LoopScratch& scratch,
                     std::size_t block, std::int64_t from, std::int64_t to) noexcept {
  // Overflow and NaN of an unstable loop are results, not conditions to
  // report: the flags are left as they were found.
  const kernels::FpStatusKeeper keep_status;
  const std::size_t n = plants.n;
  bank_capsule::ChannelRun run;
  for (std::size_t begin = 0; begin < n; begin += block) {
    const std::size_t end = std::min(n, begin + block);
    const std::size_t width = end - begin;
    api.select(session, begin, end, &run);
    for (std::int64_t k = from; k < to; ++k) {
      const std::size_t row = static_cast<std::size_t>(k) * n;
      const bank_kernel::Strided r = row_at(in.r, k, begin, end, scratch.r.data());
      // What the bank sees: y + noise*z[k].
      const double* seen = plants.x + begin;
      if (in.z != nullptr) {
        // Local pointers: a store may alias any struct field in this build.
        double* __restrict noisy = scratch.seen.data();
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
        u = scratch.u.data() + (k & 1) * width;
        if (k == 0) {
          u_prev = nullptr;
        } else if (k == from) {
          u_prev = scratch.u_last.data() + begin;
        } else {
          u_prev = scratch.u.data() + ((k - 1) & 1) * width;
        }
      }
      bank_kernel::UpdateArgs& args = run.args;
      args.setpoint = r;
      args.measurement = {seen, 1};
      args.feedforward = in.has_feedforward
                             ? row_at(in.feedforward, k, begin, end, scratch.feedforward.data())
                             : bank_kernel::Strided{&kNoInput, 0};
      args.track = in.has_track ? row_at(in.track, k, begin, end, scratch.track.data())
                                : bank_kernel::Strided{&kNoInput, 0};
      args.has_feedforward = in.has_feedforward;
      args.has_track = in.has_track;
      args.h = in.dt;
      args.out = u;
      api.step(&run);
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
        const bank_kernel::Strided load = row_at(in.load, k, begin, end, scratch.load.data());
        sample.load = load.data;
        sample.load_step = load.step;
      }
      sample.y_out = in.y_out != nullptr ? in.y_out + row + begin : nullptr;
      sim_kernel::measure(measures, plants, sample, begin, end);
      sim_kernel::advance(plants, sample, begin, end);
    }
    if (in.u_out == nullptr && to > from) {
      std::copy_n(scratch.u.data() + ((to - 1) & 1) * width, width,
                  scratch.u_last.data() + begin);
    }
    api.merge(session, &run);
  }
}

}  // namespace kovar::sim
