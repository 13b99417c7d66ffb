// Launchers of the engine's element-wise GPU kernels.  Each covers n
// elements with n/256+1 blocks of 256 threads on `stream` and returns at
// once: a launch that cannot start sets the thread's last error, errors of
// the kernel surface when the stream is synchronised.  In the emulated
// flavour the same bodies are queued on the stream and run on the host.
#pragma once

#include <cuda_fp16.h>
#include <cuda_runtime.h>

namespace qor {
namespace network {

// Threads per block of every engine kernel.
constexpr int kernel_block = 256;

// Blocks of a launch over n elements: always one more than n/256, so n = 0
// still launches one (idle) block.
inline int kernel_grid(int n) { return n / kernel_block + 1; }

// y[i] = y[i] + x[i] in binary16.
void launch_hxpy(cudaStream_t stream, int n, __half* x, __half* y);
// y[i] = y[i] | x[i]; instantiated for short (half bit patterns) and int
// (float bit patterns).
template <class I>
void launch_borxy(cudaStream_t stream, int n, I* x, I* y);

}  // namespace network
}  // namespace qor
