// Large kernel calls split over a few native threads. The caller takes a
// share itself; the workers are started on first use in each process, so a
// forked child never waits on threads it did not inherit. Each share is a
// contiguous range of items, so an element-wise kernel gives the same bits
// however the range is cut.
#pragma once

#include <cstddef>

namespace kovar::kernels {

// Work (items times their weight: about a fifth of a nanosecond each on one
// core) below which a call stays on the caller's thread, a few
// microseconds; a call takes one thread per half of it.
inline constexpr std::ptrdiff_t kParallelWork = 1 << 14;

// Threads a large call may use, the caller's included: KOVAR_THREADS if
// set, else the CPUs this process may run on, at most 8. 1 means none.
// Called once by kovar._core's exec. False when KOVAR_THREADS holds what
// is not a positive count (the default is taken then).
bool choose_kernel_threads() noexcept;
int kernel_threads() noexcept;
// Clamped to 1..64; returns the value taken.
int set_kernel_threads(int threads) noexcept;

using RangeFunction = void (*)(const void* context, std::ptrdiff_t begin, std::ptrdiff_t end);

// Calls fn(context, begin, end) over ranges covering [0, items), on several
// threads when items * weight is at least kParallelWork. Every range runs
// with the caller's floating-point control bits, and the status flags any
// of them raise are raised on the caller's thread when it returns. Needs
// no GIL and touches no Python object.
void split_over_threads(std::ptrdiff_t items, std::ptrdiff_t weight, RangeFunction fn,
                        const void* context) noexcept;

// As split_over_threads, over f(begin, end); a call too small to split
// runs f(0, items) right here.
template <class F>
void for_ranges(std::ptrdiff_t items, std::ptrdiff_t weight, const F& f) noexcept {
  if (items < kParallelWork && items * weight < kParallelWork) {
    f(std::ptrdiff_t{0}, items);
    return;
  }
  split_over_threads(
      items, weight,
      [](const void* context, std::ptrdiff_t begin, std::ptrdiff_t end) {
        (*static_cast<const F*>(context))(begin, end);
      },
      &f);
}

}  // namespace kovar::kernels
