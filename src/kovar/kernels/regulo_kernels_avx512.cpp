// The regulo passes eight channels at a time. This file alone is compiled
// with -mavx512f; nothing here runs unless the CPU has AVX-512F.
#include "kovar/kernels/lanes_avx512.hpp"
#include "kovar/kernels/regulo_kernels.hpp"
#include "kovar/kernels/regulo_law.hpp"

namespace kovar::kernels {

const ReguloKernels regulo_avx512 = {law::pid<lanes::Avx512>, law::adaptive<lanes::Avx512>};

}  // namespace kovar::kernels
