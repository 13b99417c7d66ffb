// A compressor in place of libqor_comp's identity for test_interface_comp:
// it hands back a device array of its own holding a copy of the gradient,
// so that a layer summing the caller's buffer, decompression from the wrong
// buffer or before the sum is unpacked leaves the caller without the sum.
// Compress and decompress come in pairs: the array lives from one to the
// other.
#include "qor_comp.h"

namespace {

float* held = nullptr;
int held_count = 0;

}  // namespace

int qor_compress_fp32(int count, float* buf, float** out, int) {
  const size_t bytes = static_cast<size_t>(count) * sizeof(float);
  if (held != nullptr || cudaMalloc(reinterpret_cast<void**>(&held), bytes) != cudaSuccess) return -1;
  held_count = count;
  if (cudaMemcpy(held, buf, bytes, cudaMemcpyDeviceToDevice) != cudaSuccess) return -1;
  cudaDeviceSynchronize();  // the engine's streams do not wait for the copy
  *out = held;
  return count;
}

int qor_decompress_fp32(float* summed, float* dest, int, int) {
  if (held == nullptr) return cudaErrorInvalidValue;
  cudaError_t e = cudaMemcpy(dest, summed, static_cast<size_t>(held_count) * sizeof(float),
                             cudaMemcpyDeviceToDevice);
  if (e == cudaSuccess) e = cudaDeviceSynchronize();
  cudaFree(held);
  held = nullptr;
  return e;
}
