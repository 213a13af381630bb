// What a closed-loop simulation does beside the bank at each step: the
// measures of the sample and the plants' advance through their dead time.
//
// Each operation is the one kovar.sim's Python loop makes with NumPy, in
// the same order (NumPy's element-wise arithmetic is correctly rounded and
// the build forbids FMA contraction), so the bits are the same; comparisons
// that may meet a NaN are quiet.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kovar::sim_kernel {

enum class PlantKind : int { kFopdt, kSopdt, kIntegrating };

// The dead time of a channel whose input reaches past the run's last step:
// it is fed the 0 of rest throughout, and needs no place in the ring.
inline constexpr std::int64_t kBeyondTheRun = -1;

// A bank of discretised plants, one element per channel in each array.
// Coefficients by kind: FOPDT a, b (x' = a*x + b*w); SOPDT a11, a12, a21,
// a22, b1, b2; Integrating b (x' = x + b*w).
struct Plants {
  PlantKind kind;
  const double* coef[6];
  const std::int64_t* d;  // dead times in samples, each below `slots` or kBeyondTheRun
  std::size_t slots;      // of the ring: max(d) + 1
  bool uniform_d;         // every d is d[0]
  double* x;              // the output state (x2 for SOPDT)
  double* x1;             // SOPDT's first state
  double* ring;           // slots rows of n channels, each channel's row filled with
                          // its input before the run (none when every d is 0, or
                          // every d kBeyondTheRun)
  const double* fill;     // per channel: the input before the run, which a dead
                          // time beyond the run feeds throughout
  std::size_t n;
};

// The running measures (RunningMetrics in kovar/sim/metrics.py).
struct Measures {
  double* iae;
  double* ise;
  double* itae;
  double* y_max;
  double* y_min;
  double* peak_u;
  double* u_variation;
  std::int64_t* last_out;  // the last step outside the settling band
  std::int64_t* k10;       // first steps at 10 % and 90 % of the step, -1
  std::int64_t* k90;
  const double* band;  // 0.02*|s|
  const double* lo;    // 0.1*|s|
  const double* hi;    // 0.9*|s|
  const double* sign;  // sign(s)
  const double* y0;
};

// One step k of channels [begin, end) after the bank's update. `r`,
// `u`, `u_prev` (null at k == 0) and `load` are relative to `begin`, r and
// load with step 0 (one for all) or 1; `load` is added to u when `loaded`;
// `y_out`, when not null, takes the outputs (relative to `begin`).
struct Sample {
  std::int64_t k;
  double t;  // k*dt
  double dt;
  const double* r;
  std::size_t r_step;
  const double* u;
  const double* u_prev;
  const double* load;  // read only when loaded
  std::size_t load_step;
  bool loaded;
  double* y_out;
};

void measure(const Measures& m, const Plants& p, const Sample& s, std::size_t begin,
             std::size_t end) noexcept;
void advance(const Plants& p, const Sample& s, std::size_t begin, std::size_t end) noexcept;

}  // namespace kovar::sim_kernel
