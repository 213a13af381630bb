// The regulo passes one channel at a time: the reference the vector paths
// are checked against, and the path KOVAR_SIMD=scalar forces.
#include "kovar/kernels/lanes_scalar.hpp"
#include "kovar/kernels/regulo_kernels.hpp"
#include "kovar/kernels/regulo_law.hpp"

namespace kovar::kernels {

const ReguloKernels regulo_scalar = {law::pid<lanes::Scalar>, law::adaptive<lanes::Scalar>};

}  // namespace kovar::kernels
