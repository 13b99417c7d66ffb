// Identity compression: the gradient is summed as it is, and decompression
// only has to bring the sum to where the caller wants it.
#include "qor_comp.h"

#include <atomic>
#include <cstddef>
#include <cstdio>

namespace {

// Floats of the last compress call: decompress receives no count.
std::atomic<int> last_count{0};

}  // namespace

int qor_compress_fp32(int count, float* buf, float** out, int verbosity) {
  last_count = count;
  *out = buf;
  if (verbosity > 0) std::fprintf(stderr, "qor_comp: identity, %d floats\n", count);
  return count;
}

int qor_decompress_fp32(float* summed, float* dest, int verbosity, int rank) {
  const int count = last_count;
  if (summed == dest || count <= 0) {
    if (verbosity > 0) std::fprintf(stderr, "qor_comp: rank %d, sum in place\n", rank);
    return 0;
  }
  const cudaError_t e = cudaMemcpy(dest, summed, static_cast<size_t>(count) * sizeof(float),
                                   cudaMemcpyDeviceToDevice);
  if (verbosity > 0) {
    std::fprintf(stderr, "qor_comp: rank %d, copied %d floats: %s\n", rank, count,
                 cudaGetErrorString(e));
  }
  return e;
}
