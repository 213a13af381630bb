// Stress test of the kernel threads: callers on several threads split
// passes at once while the thread count changes; every item must be visited
// exactly once, by ranges on 8-item boundaries, each range under the
// caller's rounding mode, and the status flags a range raises must reach
// the caller. Built plain and with ThreadSanitizer by test_thread_pool.py.

#include <xmmintrin.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "kovar/kernels/thread_pool.hpp"

namespace {

using kovar::kernels::for_ranges;

std::atomic<int> failures{0};

void fail(const char* what, long value) {
  std::printf("FAILED: %s (%ld)\n", what, value);
  failures.fetch_add(1);
}

constexpr unsigned kRoundDown = 0x2000;
constexpr unsigned kOverflow = 0x08;

struct Visit {
  std::vector<std::atomic<int>> seen;
  std::atomic<int> misaligned{0};
  std::atomic<int> wrong_rounding{0};
  explicit Visit(std::ptrdiff_t n) : seen(static_cast<std::size_t>(n)) {}
};

void one_pass(std::ptrdiff_t n, std::ptrdiff_t weight, bool round_down, bool overflow_at_end) {
  Visit visit(n);
  const unsigned before = _mm_getcsr();
  _mm_setcsr((before & ~0x603Fu) | (round_down ? kRoundDown : 0));
  volatile double third_source = 1.0;
  for_ranges(n, weight, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
    if (begin % 8 != 0) visit.misaligned.fetch_add(1);
    for (std::ptrdiff_t i = begin; i < end; ++i) visit.seen[static_cast<std::size_t>(i)].fetch_add(1);
    // 1/3 rounds differently under round-down: each range must see the
    // caller's mode.
    const double third = third_source / 3.0;
    const bool down = third * 3.0 < 1.0;
    if (down != round_down) visit.wrong_rounding.fetch_add(1);
    if (overflow_at_end && end == n) {
      volatile double big = 1e308;
      big = big * 10.0;
    }
  });
  const unsigned after = _mm_getcsr();
  _mm_setcsr(before);
  for (std::ptrdiff_t i = 0; i < n; ++i) {
    if (visit.seen[static_cast<std::size_t>(i)].load() != 1) {
      fail("item not visited exactly once", i);
      break;
    }
  }
  if (visit.misaligned.load() != 0) fail("range not on an 8-item boundary", visit.misaligned.load());
  if (visit.wrong_rounding.load() != 0) fail("range without the caller's rounding", n);
  if (((after & kOverflow) != 0) != overflow_at_end) fail("overflow flag not as raised", n);
  if ((after & 0x6000) != (round_down ? kRoundDown : 0)) fail("caller's rounding changed", n);
}

}  // namespace

int main() {
  kovar::kernels::set_kernel_threads(3);
  // Around the split (16384 items of weight 1) and the size that wakes
  // sleeping workers (2^20).
  const std::ptrdiff_t sizes[] = {1, 7, 1000, 16383, 16389, 120005, (1 << 20) - 5, (1 << 20) + 13};
  std::vector<std::thread> callers;
  int passes = 0;
  for (int caller = 0; caller < 3; ++caller) {
    callers.emplace_back([&, caller] {
      for (int round = 0; round < 4; ++round) {
        if (caller == 0) kovar::kernels::set_kernel_threads(1 + round % 4);
        for (std::ptrdiff_t n : sizes) {
          one_pass(n, 1 + (round % 2) * 9, (round + caller) % 2 == 0, (round + caller) % 3 == 0);
          // Now and then long enough for the workers to fall asleep: the
          // next small call then runs without waking them.
          if ((round + caller + n) % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(400));
        }
      }
    });
    passes += 4 * 8;
  }
  for (std::thread& t : callers) t.join();
  std::printf("%d passes, %d failed\n", passes, failures.load());
  return failures.load() == 0 ? 0 : 1;
}
