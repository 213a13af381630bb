// The regulo passes two channels at a time, on any x86-64.
#include "kovar/kernels/lanes_sse2.hpp"
#include "kovar/kernels/regulo_kernels.hpp"
#include "kovar/kernels/regulo_law.hpp"

namespace kovar::kernels {

const ReguloKernels regulo_sse2 = {law::pid<lanes::Sse2>, law::adaptive<lanes::Sse2>};

}  // namespace kovar::kernels
