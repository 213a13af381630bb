// The regulo passes four channels at a time. This file alone is compiled
// with -mavx2; nothing here runs unless the CPU has AVX2.
#include "kovar/kernels/lanes_avx2.hpp"
#include "kovar/kernels/regulo_kernels.hpp"
#include "kovar/kernels/regulo_law.hpp"

namespace kovar::kernels {

const ReguloKernels regulo_avx2 = {law::pid<lanes::Avx2>, law::adaptive<lanes::Avx2>};

}  // namespace kovar::kernels
