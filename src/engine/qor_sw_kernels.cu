// The engine's GPU kernels.  This is the one file whose code depends on the
// GPU flavour: nvcc builds real kernels from it; the emulated flavour
// compiles it as C++ and runs the same element-wise bodies on the host.
#include "qor_sw_kernels.h"

#include "qor_sw_elementwise.h"

namespace qor {
namespace network {

#if QOR_GPU_EMULATED

namespace {

// Work queued on a stream that does not exist fails as a launch would: the
// runtime records the error and the following synchronisation reports it.
bool launchable(cudaStream_t stream) { return cudaStreamQuery(stream) == cudaSuccess; }

}  // namespace

void launch_hxpy(cudaStream_t stream, int n, __half* x, __half* y) {
  if (!launchable(stream)) return;
  for (int i = 0; i < n; ++i) elementwise::hxpy(i, x, y);
}

template <class I>
void launch_borxy(cudaStream_t stream, int n, I* x, I* y) {
  if (!launchable(stream)) return;
  for (int i = 0; i < n; ++i) elementwise::borxy<I>(i, x, y);
}

void launch_sxpy(cudaStream_t stream, int n, float* x, float* y) {
  if (!launchable(stream)) return;
  for (int i = 0; i < n; ++i) elementwise::sxpy(i, x, y);
}

#else

namespace {

// One thread per element; the index is formed in 64 bits because the last
// block of a launch over nearly INT_MAX elements reaches past INT_MAX.
__device__ inline long long thread_index() {
  return static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
}

}  // namespace

__global__ void hxpy(int n, __half* x, __half* y) {
  long long i = thread_index();
  if (i < n) elementwise::hxpy(static_cast<int>(i), x, y);
}

template <class I>
__global__ void borxy(int n, I* x, I* y) {
  long long i = thread_index();
  if (i < n) elementwise::borxy<I>(static_cast<int>(i), x, y);
}

__global__ void sxpy(int n, float* x, float* y) {
  long long i = thread_index();
  if (i < n) elementwise::sxpy(static_cast<int>(i), x, y);
}

void launch_hxpy(cudaStream_t stream, int n, __half* x, __half* y) {
  hxpy<<<kernel_grid(n), kernel_block, 0, stream>>>(n, x, y);
}

template <class I>
void launch_borxy(cudaStream_t stream, int n, I* x, I* y) {
  borxy<I><<<kernel_grid(n), kernel_block, 0, stream>>>(n, x, y);
}

void launch_sxpy(cudaStream_t stream, int n, float* x, float* y) {
  sxpy<<<kernel_grid(n), kernel_block, 0, stream>>>(n, x, y);
}

#endif

template void launch_borxy<short>(cudaStream_t, int, short*, short*);
template void launch_borxy<int>(cudaStream_t, int, int*, int*);

}  // namespace network
}  // namespace qor
