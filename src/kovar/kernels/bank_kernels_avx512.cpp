// The bank's passes eight channels at a time. This file alone (of the
// bank's) is compiled with -mavx512f; nothing here runs unless the CPU has
// AVX-512F.
#include "kovar/kernels/bank_kernels.hpp"
#include "kovar/kernels/bank_law.hpp"
#include "kovar/kernels/lanes_avx512.hpp"

namespace kovar::bank_kernel {

// A vector loads a row of Pass::copies whole.
static_assert(kernels::lanes::Avx512::kWidth <= kMaxWidth);

const BankKernels bank_avx512 = {law::advance<kernels::lanes::Avx512>,
                                 law::hold<kernels::lanes::Avx512>, kernels::lanes::Avx512::kWidth};

}  // namespace kovar::bank_kernel
