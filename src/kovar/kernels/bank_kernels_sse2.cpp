// The bank's passes two channels at a time, on any x86-64.
#include "kovar/kernels/lanes_sse2.hpp"
#include "kovar/kernels/bank_kernels.hpp"
#include "kovar/kernels/bank_law.hpp"

namespace kovar::bank_kernel {

const BankKernels bank_sse2 = {law::advance<kernels::lanes::Sse2>, law::hold<kernels::lanes::Sse2>,
                               kernels::lanes::Sse2::kWidth};

}  // namespace kovar::bank_kernel
