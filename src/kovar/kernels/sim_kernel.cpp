#include "kovar/kernels/sim_kernel.hpp"

#include <cmath>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kovar::sim_kernel {

namespace {

// np.maximum and np.minimum: a NaN on either side wins.
inline double maximum(double a, double b) noexcept {
  return (__builtin_isgreaterequal(a, b) || std::isnan(a)) ? a : b;
}
inline double minimum(double a, double b) noexcept {
  return (__builtin_islessequal(a, b) || std::isnan(a)) ? a : b;
}

// The steps of the band and the rise for channel i.
inline void mark(const Measures& m, std::size_t i, double y, double abs_e, std::int64_t k) noexcept {
  // A NaN error is outside the band.
  if (!__builtin_islessequal(abs_e, m.band[i])) m.last_out[i] = k;
  // 90 % is reached no earlier than 10 %: once k90 is set, both are.
  if (m.k90[i] < 0) {
    const double rise = (y - m.y0[i]) * m.sign[i];
    if (m.k10[i] < 0 && __builtin_isgreaterequal(rise, m.lo[i])) m.k10[i] = k;
    if (__builtin_isgreaterequal(rise, m.hi[i])) m.k90[i] = k;
  }
}

// The measures of channels [begin, begin + width); `y`, `s.r`
// (kUniformR: one setpoint for all), `s.u` and `s.u_prev` (kPrev) start
// at the block.
template <bool kUniformR, bool kPrev>
void accumulate(const Measures& m, std::size_t begin, std::size_t width, const double* y,
                const Sample& s) noexcept {
  double* iae = m.iae + begin;
  double* ise = m.ise + begin;
  double* itae = m.itae + begin;
  double* y_max = m.y_max + begin;
  double* y_min = m.y_min + begin;
  double* peak_u = m.peak_u + begin;
  double* u_variation = m.u_variation + begin;
  const double* r = s.r;
  const double* u = s.u;
  const double* u_prev = s.u_prev;
  const double dt = s.dt;
  const double t = s.t;
  std::size_t j = 0;
#if defined(__SSE2__)
  // Two channels at a time, the same operations in the same order. The
  // ordered compares may raise invalid on a NaN lane; the caller keeps
  // the floating-point status.
  const __m128d dt2 = _mm_set1_pd(dt);
  const __m128d t2 = _mm_set1_pd(t);
  const __m128d sign = _mm_set1_pd(-0.0);
  const __m128d r_all = _mm_set1_pd(r[0]);
  // a where a >= b or a is NaN, else b: np.maximum's choice, and with the
  // compare reversed np.minimum's.
  const auto keep_max = [](__m128d a, __m128d b) {
    const __m128d mask = _mm_or_pd(_mm_cmpge_pd(a, b), _mm_cmpunord_pd(a, a));
    return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
  };
  const auto keep_min = [](__m128d a, __m128d b) {
    const __m128d mask = _mm_or_pd(_mm_cmple_pd(a, b), _mm_cmpunord_pd(a, a));
    return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
  };
  std::int64_t* last_out = m.last_out + begin;
  std::int64_t* k10 = m.k10 + begin;
  std::int64_t* k90 = m.k90 + begin;
  const double* band = m.band + begin;
  const double* lo = m.lo + begin;
  const double* hi = m.hi + begin;
  const double* rise_sign = m.sign + begin;
  const double* y0 = m.y0 + begin;
  const __m128i k2 = _mm_set1_epi64x(s.k);
  const auto put_mark = [k2](std::int64_t* at, __m128i mask) {
    const __m128i old = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                     _mm_or_si128(_mm_and_si128(mask, k2), _mm_andnot_si128(mask, old)));
  };
  // All ones in a lane whose mark is still -1.
  const auto unset = [](const std::int64_t* at) {
    const __m128i high = _mm_srai_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), 31);
    return _mm_shuffle_epi32(high, _MM_SHUFFLE(3, 3, 1, 1));
  };
  for (; j + 2 <= width; j += 2) {
    const __m128d yj = _mm_loadu_pd(y + j);
    const __m128d e = _mm_sub_pd(kUniformR ? r_all : _mm_loadu_pd(r + j), yj);
    const __m128d abs_e = _mm_andnot_pd(sign, e);
    _mm_storeu_pd(iae + j, _mm_add_pd(_mm_loadu_pd(iae + j), _mm_mul_pd(abs_e, dt2)));
    _mm_storeu_pd(ise + j, _mm_add_pd(_mm_loadu_pd(ise + j), _mm_mul_pd(_mm_mul_pd(e, e), dt2)));
    _mm_storeu_pd(itae + j,
                  _mm_add_pd(_mm_loadu_pd(itae + j), _mm_mul_pd(_mm_mul_pd(t2, abs_e), dt2)));
    _mm_storeu_pd(y_max + j, keep_max(_mm_loadu_pd(y_max + j), yj));
    _mm_storeu_pd(y_min + j, keep_min(_mm_loadu_pd(y_min + j), yj));
    const __m128d uj = _mm_loadu_pd(u + j);
    _mm_storeu_pd(peak_u + j, keep_max(_mm_loadu_pd(peak_u + j), _mm_andnot_pd(sign, uj)));
    if constexpr (kPrev) {
      const __m128d change = _mm_andnot_pd(sign, _mm_sub_pd(uj, _mm_loadu_pd(u_prev + j)));
      _mm_storeu_pd(u_variation + j, _mm_add_pd(_mm_loadu_pd(u_variation + j), change));
    }
    // The marks as bit selects, stored only where one changes (rarely
    // after the start): outside the band (NaN included) where
    // abs_e <= band is false; the rise levels while k90 is -1 (its sign
    // bit set), k10 likewise (90 % is reached no earlier than 10 %).
    const __m128d outside = _mm_cmpnle_pd(abs_e, _mm_loadu_pd(band + j));
    if (_mm_movemask_pd(outside) != 0) put_mark(last_out + j, _mm_castpd_si128(outside));
    const __m128i open90 = unset(k90 + j);
    if (_mm_movemask_pd(_mm_castsi128_pd(open90)) != 0) {
      const __m128d rise =
          _mm_mul_pd(_mm_sub_pd(yj, _mm_loadu_pd(y0 + j)), _mm_loadu_pd(rise_sign + j));
      const __m128i at10 = _mm_and_si128(
          unset(k10 + j), _mm_castpd_si128(_mm_cmpge_pd(rise, _mm_loadu_pd(lo + j))));
      const __m128i at90 =
          _mm_and_si128(open90, _mm_castpd_si128(_mm_cmpge_pd(rise, _mm_loadu_pd(hi + j))));
      if (_mm_movemask_pd(_mm_castsi128_pd(at10)) != 0) put_mark(k10 + j, at10);
      if (_mm_movemask_pd(_mm_castsi128_pd(at90)) != 0) put_mark(k90 + j, at90);
    }
  }
#endif
  for (; j < width; ++j) {
    const double e = (kUniformR ? r[0] : r[j]) - y[j];
    const double abs_e = std::fabs(e);
    iae[j] = iae[j] + abs_e * dt;
    ise[j] = ise[j] + (e * e) * dt;
    itae[j] = itae[j] + (t * abs_e) * dt;
    y_max[j] = maximum(y_max[j], y[j]);
    y_min[j] = minimum(y_min[j], y[j]);
    peak_u[j] = maximum(peak_u[j], std::fabs(u[j]));
    if constexpr (kPrev) u_variation[j] = u_variation[j] + std::fabs(u[j] - u_prev[j]);
    mark(m, begin + j, y[j], abs_e, s.k);
  }
}

template <bool kUniformR>
void measure_block(const Measures& m, const double* y, const Sample& s, std::size_t begin,
                   std::size_t width) noexcept {
  if (s.u_prev != nullptr) {
    accumulate<kUniformR, true>(m, begin, width, y, s);
  } else {
    accumulate<kUniformR, false>(m, begin, width, y, s);
  }
}

// The plants' arrays as plain pointers: the build allows any store to
// alias the struct's fields, which would otherwise be reloaded at every
// element.
struct PlantArrays {
  explicit PlantArrays(const Plants& p) noexcept
      : c0(p.coef[0]), c1(p.coef[1]), c2(p.coef[2]), c3(p.coef[3]), c4(p.coef[4]),
        c5(p.coef[5]), x(p.x), x1(p.x1) {}
  const double* __restrict c0;
  const double* __restrict c1;
  const double* __restrict c2;
  const double* __restrict c3;
  const double* __restrict c4;
  const double* __restrict c5;
  double* __restrict x;
  double* __restrict x1;
};

// x' from x and the input w that leaves the dead time, by kind.
template <PlantKind kKind>
inline void plant_step(const PlantArrays& p, std::size_t i, double w) noexcept {
  if constexpr (kKind == PlantKind::kFopdt) {
    p.x[i] = p.c0[i] * p.x[i] + p.c1[i] * w;
  } else if constexpr (kKind == PlantKind::kIntegrating) {
    p.x[i] = p.x[i] + p.c0[i] * w;
  } else {
    const double x1 = p.x1[i];
    const double x2 = p.x[i];
    p.x1[i] = (p.c0[i] * x1 + p.c1[i] * x2) + p.c4[i] * w;
    p.x[i] = (p.c2[i] * x1 + p.c3[i] * x2) + p.c5[i] * w;
  }
}

// One dead time for all: ring slot k mod D takes this step's input and
// slot (k - d) mod D gives the delayed one (a slot not yet written holds
// the 0 of rest); with no dead time the input goes straight in.
template <PlantKind kKind>
void advance_uniform(const Plants& p, const Sample& s, std::size_t begin,
                     std::size_t end) noexcept {
  const PlantArrays a(p);
  if (p.d[0] == kBeyondTheRun) {
    for (std::size_t i = begin; i < end; ++i) plant_step<kKind>(a, i, p.fill[i]);
    return;
  }
  const std::size_t slot = static_cast<std::size_t>(s.k) % p.slots;
  const std::size_t back = static_cast<std::size_t>(p.d[0]);
  const std::size_t read = slot >= back ? slot - back : slot + p.slots - back;
  const double* __restrict u = s.u - begin;
  // One load for all is read once; a load per channel is relative to begin.
  const double one_load = s.loaded ? s.load[0] : 0.0;
  const bool each = s.loaded && s.load_step != 0;
  const double* __restrict load = each ? s.load - begin : nullptr;
  if (p.slots == 1) {
    if (each) {
      for (std::size_t i = begin; i < end; ++i) plant_step<kKind>(a, i, u[i] + load[i]);
    } else if (s.loaded) {
      for (std::size_t i = begin; i < end; ++i) plant_step<kKind>(a, i, u[i] + one_load);
    } else {
      for (std::size_t i = begin; i < end; ++i) plant_step<kKind>(a, i, u[i]);
    }
    return;
  }
  double* __restrict into = p.ring + slot * p.n;
  const double* __restrict from = p.ring + read * p.n;
  if (each) {
    for (std::size_t i = begin; i < end; ++i) into[i] = u[i] + load[i];
  } else if (s.loaded) {
    for (std::size_t i = begin; i < end; ++i) into[i] = u[i] + one_load;
  } else {
    for (std::size_t i = begin; i < end; ++i) into[i] = u[i];
  }
  for (std::size_t i = begin; i < end; ++i) plant_step<kKind>(a, i, from[i]);
}

// A dead time per channel.
template <PlantKind kKind>
void advance_each(const Plants& p, const Sample& s, std::size_t begin, std::size_t end) noexcept {
  const PlantArrays a(p);
  const std::size_t slot = static_cast<std::size_t>(s.k) % p.slots;
  for (std::size_t i = begin; i < end; ++i) {
    double v = s.u[i - begin];
    if (s.loaded) v = v + s.load[(i - begin) * s.load_step];
    p.ring[slot * p.n + i] = v;
    if (p.d[i] == kBeyondTheRun) {
      plant_step<kKind>(a, i, p.fill[i]);
      continue;
    }
    const std::size_t back = static_cast<std::size_t>(p.d[i]);
    const std::size_t read = slot >= back ? slot - back : slot + p.slots - back;
    plant_step<kKind>(a, i, p.ring[read * p.n + i]);
  }
}

template <PlantKind kKind>
void advance_kind(const Plants& p, const Sample& s, std::size_t begin, std::size_t end) noexcept {
  if (p.uniform_d) {
    advance_uniform<kKind>(p, s, begin, end);
  } else {
    advance_each<kKind>(p, s, begin, end);
  }
}

}  // namespace

void measure(const Measures& m, const Plants& p, const Sample& s, std::size_t begin,
             std::size_t end) noexcept {
  const double* y = p.x + begin;
  if (s.r_step == 0) {
    measure_block<true>(m, y, s, begin, end - begin);
  } else {
    measure_block<false>(m, y, s, begin, end - begin);
  }
  if (s.y_out != nullptr) {
    std::memcpy(s.y_out, y, (end - begin) * sizeof(double));
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
