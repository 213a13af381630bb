// Undoing an in-place update without copying every old value first.
//
// An update v' = v + step is undone by v' - step wherever that gives v's
// bits back, which it does for all but a few values (a sum that rounded
// away part of v, a step that is not finite). The pass checks each vector
// as it updates it; only where taking the step back would not give v
// again does it keep v in the undo record and set the channel's bit in a
// bitmap (a bit per channel, clear before the pass). A step that is not
// finite is taken back as +0.0, so the check raises no status flag of its
// own. The undo then takes back the same step with the same IEEE
// operations, or restores the kept value.
#pragma once

#include <cstddef>

#include "kovar/kernels/lanes_scalar.hpp"

namespace kovar::kernels {

template <class L>
typename L::Reg taken_back(typename L::Reg updated, typename L::Reg step) noexcept {
  return L::sub(updated, L::finite_or_zero(step));
}

// Lanes [j, j + width) of a vector: width is 1, 2 or 4 and divides j, so
// they share one byte of the bitmap (and threads, whose ranges start on
// multiples of 8, never write the same byte).
inline void mark_kept(unsigned char* kept, std::ptrdiff_t j, std::ptrdiff_t width) noexcept {
  kept[j >> 3] = static_cast<unsigned char>(kept[j >> 3] | (((1u << width) - 1) << (j & 7)));
}

inline bool is_kept(const unsigned char* kept, std::ptrdiff_t j) noexcept {
  return ((kept[j >> 3] >> (j & 7)) & 1) != 0;
}

// Bytes of the bitmap for `channels`.
inline std::ptrdiff_t kept_bytes(std::ptrdiff_t channels) noexcept { return (channels + 7) / 8; }

}  // namespace kovar::kernels
