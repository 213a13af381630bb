#include "kovar/kernels/kernel_settings.hpp"

#include "kovar/kernels/simd_path.hpp"
#include "kovar/kernels/thread_pool.hpp"

namespace kovar::kernels {

void choose_kernel_settings() noexcept {
  choose_simd_path();
  choose_kernel_threads();
}

}  // namespace kovar::kernels

// ctypes calls these without the GIL; they read and write atomics only.
extern "C" {

__attribute__((visibility("default"))) const char* kovar_simd_path(void) {
  return kovar::kernels::simd_path_name(kovar::kernels::active_simd_path());
}

__attribute__((visibility("default"))) int kovar_kernel_threads(void) {
  return kovar::kernels::kernel_threads();
}

__attribute__((visibility("default"))) int kovar_set_kernel_threads(int threads) {
  return kovar::kernels::set_kernel_threads(threads);
}

}  // extern "C"
