// The per-element bodies of the engine's reductions, shared by the GPU
// kernels (cuda flavour) and the host loops that stand in for them (emulated
// flavour), so both flavours compute bit for bit the same thing.
#pragma once

#include <cuda_fp16.h>
#include <cuda_runtime.h>

namespace qor {
namespace network {
namespace elementwise {

// Binary16 sum carried out in float and rounded once: float holds enough
// digits that this equals the correctly rounded half-precision sum.
__host__ __device__ inline void hxpy(int i, const __half* x, __half* y) {
  y[i] = __float2half_rn(__half2float(y[i]) + __half2float(x[i]));
}

// OR of raw bit patterns (float or half viewed as integers of the same width).
template <class I>
__host__ __device__ inline void borxy(int i, const I* x, I* y) {
  y[i] = static_cast<I>(y[i] | x[i]);
}

}  // namespace elementwise
}  // namespace network
}  // namespace qor
