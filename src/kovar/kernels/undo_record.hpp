// Undoing an in-place update without copying every old value first.
//
// An update v' = v + step is undone by v' - step wherever that gives v's
// bits back, which it does for all but a few values (a sum that rounded
// away part of v, a step that is not finite). The pass checks each vector
// as it updates it; only where taking the step back would not give v
// again does it keep v in the undo record and set the channel's bit in a
// bitmap (a bit per channel, clear before the pass). A step that is not
// finite is taken back as +0.0, so the check raises no invalid flag; it can
// raise overflow only next to the largest doubles, and a flag there merely
// sends the call to NumPy's steps. The undo then takes back the same step
// with the same IEEE operations, or restores the kept value.
#pragma once

#include <cstddef>

#include "kovar/kernels/lanes_scalar.hpp"

namespace kovar::kernels {

template <class L>
typename L::Reg taken_back(typename L::Reg updated, typename L::Reg step) noexcept {
  return L::sub(updated, L::finite_or_zero(step));
}

// Lanes [j, j + width) of a vector. A thread's range starts and ends on a
// multiple of 8 channels (or at the end of the pass), so threads never
// write the same byte of the bitmap.
inline void mark_kept(unsigned char* kept, std::ptrdiff_t j, std::ptrdiff_t width) noexcept {
  for (std::ptrdiff_t lane = j; lane < j + width; ++lane) {
    kept[lane >> 3] = static_cast<unsigned char>(kept[lane >> 3] | (1u << (lane & 7)));
  }
}

inline bool is_kept(const unsigned char* kept, std::ptrdiff_t j) noexcept {
  return ((kept[j >> 3] >> (j & 7)) & 1) != 0;
}

// Bytes of the bitmap for `channels`.
inline std::ptrdiff_t kept_bytes(std::ptrdiff_t channels) noexcept { return (channels + 7) / 8; }

}  // namespace kovar::kernels
