// The bank's passes on one SIMD path, and the call they share: every
// parameter and input as a source a vector of channels can be loaded from.
// Plain data only, so it can cross into the AVX2 translation unit.
#pragma once

#include <cstddef>

#include "kovar/kernels/bank_kernel.hpp"

namespace kovar::bank_kernel {

// The sources: the parameters (ParamId), then the inputs.
enum SourceId : int {
  kSetpointInput = kParamCount,
  kMeasurementInput,
  kFeedforwardInput,
  kTrackInput,
  kSourceCount
};

// The widest vector of any path.
inline constexpr int kMaxWidth = 8;

struct Pass {
  // Channel i of an input is data[id][i & mask[id]] (mask 0: one number
  // for every channel). A vector of channels from i loads from
  // lanes[id] + (i & mask[id]): a source that is one number reads a row of
  // copies of it, so whole vectors load from either kind alike. The
  // parameters are set here only for vector loads where they differ between
  // channels (the pass makes uniform ones into vectors once, and a channel
  // reads them through args). Only the sources a call has are set: the
  // feed-forward where it or a track is given, the track where given, and
  // for a call of fewer channels than a vector only data and mask.
  const double* data[kSourceCount];
  const double* lanes[kSourceCount];
  std::size_t mask[kSourceCount];
  double copies[kSourceCount][kMaxWidth];
  const UpdateArgs* args;
  // The mode the pass computes: back-calculation with uniform parameters and
  // no tracking (tt=None where ki is 0) integrates as "none" does.
  AntiWindup mode;
  double tt;      // uniform back-calculation: the tracking time
  bool rated;     // some channel's rate limit is finite
  bool rich;      // feed-forward, track, rate limit or terms: the rich pass
  bool flagged;   // some channel is manual, fresh, gapped or pending
  bool stream;    // write the arrays the pass only writes around the cache
};

struct BankKernels {
  // Channels [begin, end) of a call that advances time (h > 0); returns
  // whether an input was not finite.
  bool (*advance)(const Pass& pass, std::size_t begin, std::size_t end) noexcept;
  // Channels [begin, end) of a call in which no time passes.
  bool (*hold)(const Pass& pass, std::size_t begin, std::size_t end) noexcept;
  // Channels per vector: advance runs a range of fewer with the scalar law
  // alone, which reads no vector source (Pass::lanes, copies) and no
  // uniform tracking time (Pass::tt).
  std::size_t width;
};

extern const BankKernels bank_scalar;
extern const BankKernels bank_sse2;
extern const BankKernels bank_avx2;    // run only where the CPU has AVX2
extern const BankKernels bank_avx512;  // run only where the CPU has AVX-512F

}  // namespace kovar::bank_kernel
