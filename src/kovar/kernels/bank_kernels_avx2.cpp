// The bank's passes four channels at a time. This file alone (of the bank's)
// is compiled with -mavx2; nothing here runs unless the CPU has AVX2.
#include "kovar/kernels/lanes_avx2.hpp"
#include "kovar/kernels/bank_kernels.hpp"
#include "kovar/kernels/bank_law.hpp"

namespace kovar::bank_kernel {

const BankKernels bank_avx2 = {law::advance<kernels::lanes::Avx2>, law::hold<kernels::lanes::Avx2>,
                               kernels::lanes::Avx2::kWidth};

}  // namespace kovar::bank_kernel
