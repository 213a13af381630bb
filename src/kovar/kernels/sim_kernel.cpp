#include "kovar/kernels/sim_kernel.hpp"

#include <cmath>

namespace kovar::sim_kernel {

namespace {

// np.maximum and np.minimum: a NaN on either side wins.
inline double maximum(double a, double b) noexcept {
  return (__builtin_isgreaterequal(a, b) || std::isnan(a)) ? a : b;
}
inline double minimum(double a, double b) noexcept {
  return (__builtin_islessequal(a, b) || std::isnan(a)) ? a : b;
}

// The input that leaves the dead time at this step, after this step's `v`
// went into ring slot k mod D (a slot not yet written holds the 0 of rest).
template <bool kUniformD>
inline double delayed(const Plants& p, std::size_t slot, std::size_t i, double v) noexcept {
  if (p.slots == 1) return v;
  p.ring[slot * p.n + i] = v;
  const std::size_t back = static_cast<std::size_t>(kUniformD ? p.d[0] : p.d[i]);
  const std::size_t read = slot >= back ? slot - back : slot + p.slots - back;
  return p.ring[read * p.n + i];
}

template <PlantKind kKind, bool kUniformD>
void advance_plants(const Plants& p, const Sample& s, std::size_t begin, std::size_t end) noexcept {
  const std::size_t slot = static_cast<std::size_t>(s.k) % p.slots;
  const double* c0 = p.coef[0];
  const double* c1 = p.coef[1];
  double* x = p.x;
  for (std::size_t i = begin; i < end; ++i) {
    double v = s.u[i - begin];
    if (s.loaded) v = v + s.load[i];
    const double w = delayed<kUniformD>(p, slot, i, v);
    if constexpr (kKind == PlantKind::kFopdt) {
      x[i] = c0[i] * x[i] + c1[i] * w;
    } else if constexpr (kKind == PlantKind::kIntegrating) {
      x[i] = x[i] + c0[i] * w;
    } else {
      const double x1 = p.x1[i];
      const double x2 = x[i];
      p.x1[i] = (c0[i] * x1 + c1[i] * x2) + p.coef[4][i] * w;
      x[i] = (p.coef[2][i] * x1 + p.coef[3][i] * x2) + p.coef[5][i] * w;
    }
  }
}

template <PlantKind kKind>
void advance_kind(const Plants& p, const Sample& s, std::size_t begin, std::size_t end) noexcept {
  if (p.uniform_d) {
    advance_plants<kKind, true>(p, s, begin, end);
  } else {
    advance_plants<kKind, false>(p, s, begin, end);
  }
}

}  // namespace

void measure(const Measures& m, const Plants& p, const Sample& s, std::size_t begin,
             std::size_t end) noexcept {
  const double dt = s.dt;
  const double t = s.t;
  const std::int64_t k = s.k;
  for (std::size_t i = begin; i < end; ++i) {
    const std::size_t j = i - begin;
    const double y = p.x[i];
    const double e = s.r[j * s.r_step] - y;
    const double abs_e = std::fabs(e);
    m.iae[i] = m.iae[i] + abs_e * dt;
    m.ise[i] = m.ise[i] + (e * e) * dt;
    m.itae[i] = m.itae[i] + (t * abs_e) * dt;
    m.y_max[i] = maximum(m.y_max[i], y);
    m.y_min[i] = minimum(m.y_min[i], y);
    // A NaN error is outside the band.
    if (!__builtin_islessequal(abs_e, m.band[i])) m.last_out[i] = k;
    // 90 % is reached no earlier than 10 %: once k90 is set, both are.
    if (m.k90[i] < 0) {
      const double rise = (y - m.y0[i]) * m.sign[i];
      if (m.k10[i] < 0 && __builtin_isgreaterequal(rise, m.lo[i])) m.k10[i] = k;
      if (__builtin_isgreaterequal(rise, m.hi[i])) m.k90[i] = k;
    }
    const double u = s.u[j];
    m.peak_u[i] = maximum(m.peak_u[i], std::fabs(u));
    if (s.u_prev != nullptr) m.u_variation[i] = m.u_variation[i] + std::fabs(u - s.u_prev[j]);
    if (s.y_out != nullptr) s.y_out[j] = y;
  }
}

void advance(const Plants& p, const Sample& s, std::size_t begin, std::size_t end) noexcept {
  switch (p.kind) {
    case PlantKind::kFopdt:
      return advance_kind<PlantKind::kFopdt>(p, s, begin, end);
    case PlantKind::kSopdt:
      return advance_kind<PlantKind::kSopdt>(p, s, begin, end);
    case PlantKind::kIntegrating:
      return advance_kind<PlantKind::kIntegrating>(p, s, begin, end);
  }
}

}  // namespace kovar::sim_kernel
