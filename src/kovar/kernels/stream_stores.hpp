// When a kernel writes the arrays it only writes around the cache: from
// this many channels on, its arrays no longer stay cached between calls,
// and a streaming store (MOVNTPD) saves reading each line before writing
// it. Those stores need 16-byte aligned addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace kovar::kernels {

inline constexpr std::ptrdiff_t kStreamFrom = std::ptrdiff_t{1} << 18;

inline bool streams(std::ptrdiff_t channels,
                    std::initializer_list<const double*> written) noexcept {
  if (channels < kStreamFrom) return false;
  for (const double* p : written) {
    if ((reinterpret_cast<std::uintptr_t>(p) & 15) != 0) return false;
  }
  return true;
}

}  // namespace kovar::kernels
