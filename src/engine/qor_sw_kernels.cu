// The engine's GPU kernels.  This is the one file whose code depends on the
// GPU flavour: nvcc builds real kernels from it; the emulated flavour
// compiles it as C++ and runs the same element-wise bodies on the host.
#include "qor_sw_kernels.h"

#include "qor_sw_elementwise.h"

#if QOR_GPU_EMULATED
#include <gpu_emu_kernel.h>
#endif

namespace qor {
namespace network {

#if QOR_GPU_EMULATED

namespace {

// Queues the element-wise body over n elements of x and y on `stream`, as
// a kernel launch would.
template <class T, class Body>
void launch(cudaStream_t stream, int n, T* x, T* y, Body body) {
  const size_t bytes = static_cast<size_t>(n) * sizeof(T);
  qoremu_launch(stream, {{x, bytes}, {y, bytes}}, [n, body](void* const* views) {
    T* vx = static_cast<T*>(views[0]);
    T* vy = static_cast<T*>(views[1]);
    for (int i = 0; i < n; ++i) body(i, vx, vy);
  });
}

}  // namespace

void launch_hxpy(cudaStream_t stream, int n, __half* x, __half* y) {
  launch(stream, n, x, y, elementwise::hxpy);
}

template <class I>
void launch_borxy(cudaStream_t stream, int n, I* x, I* y) {
  launch(stream, n, x, y, elementwise::borxy<I>);
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

void launch_hxpy(cudaStream_t stream, int n, __half* x, __half* y) {
  hxpy<<<kernel_grid(n), kernel_block, 0, stream>>>(n, x, y);
}

template <class I>
void launch_borxy(cudaStream_t stream, int n, I* x, I* y) {
  borxy<I><<<kernel_grid(n), kernel_block, 0, stream>>>(n, x, y);
}

#endif

template void launch_borxy<short>(cudaStream_t, int, short*, short*);
template void launch_borxy<int>(cudaStream_t, int, int*, int*);

}  // namespace network
}  // namespace qor
