// A module's kernel settings: chosen once at exec, and readable (threads
// also settable) through plain C functions each module exports, since the
// modules' namespaces are fixed. kovar/kernels.py reaches them with ctypes.
#pragma once

namespace kovar::kernels {

// Chooses the SIMD path and the thread count from the CPU, KOVAR_SIMD and
// KOVAR_THREADS. Called by each module's exec.
void choose_kernel_settings() noexcept;

}  // namespace kovar::kernels
