// The bank's passes one channel at a time: the reference the vector paths
// are checked against, and the path KOVAR_SIMD=scalar forces.
#include "kovar/kernels/lanes_scalar.hpp"
#include "kovar/kernels/bank_kernels.hpp"
#include "kovar/kernels/bank_law.hpp"

namespace kovar::bank_kernel {

const BankKernels bank_scalar = {law::advance<kernels::lanes::Scalar>, law::hold<kernels::lanes::Scalar>,
                                 kernels::lanes::Scalar::kWidth};

}  // namespace kovar::bank_kernel
