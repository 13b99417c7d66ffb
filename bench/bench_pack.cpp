// Packing benchmark: libqor_pack's in-place float -> half and half -> float
// conversions on device memory, against a device-to-device copy of the same
// float buffer measured in the same run (the memory bandwidth the
// conversions can reach).  Bytes moved: pack reads 4 and writes 2 bytes per
// element, unpack the reverse, the copy reads and writes 4.  In the
// emulated flavour the "device" is host memory and the conversions are the
// library's vectorised host loops.
//
//   build/bench/bench_pack
#include <cuda_runtime.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

#include "qor_pack.h"

namespace {

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Median seconds of `repeats` runs of body, each complete when timed.
double median_seconds(int repeats, const std::function<void()>& body, cudaStream_t stream) {
  std::vector<double> times;
  for (int r = 0; r < repeats; ++r) {
    const double t0 = now();
    body();
    cudaStreamSynchronize(stream);
    times.push_back(now() - t0);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main() {
  cudaStream_t stream = nullptr;
  if (cudaStreamCreate(&stream) != cudaSuccess) {
    std::fprintf(stderr, "no device: %s\n", cudaGetErrorString(cudaGetLastError()));
    return 1;
  }
  std::printf("| floats | copy GB/s | pack GB/s | pack x copy | unpack GB/s | unpack x copy |\n");
  std::printf("| ---: | ---: | ---: | ---: | ---: | ---: |\n");
  for (int n = 1 << 14; n <= 1 << 24; n <<= 2) {
    const size_t bytes = static_cast<size_t>(n) * sizeof(float);
    float* a = nullptr;
    float* b = nullptr;
    cudaMalloc(&a, bytes);
    cudaMalloc(&b, bytes);
    std::vector<float> data(n);
    for (int i = 0; i < n; ++i) data[i] = static_cast<float>(i % 2048);
    cudaMemcpy(a, data.data(), bytes, cudaMemcpyHostToDevice);
    cudaMemcpy(b, data.data(), bytes, cudaMemcpyHostToDevice);
    const int repeats = std::max(5, (1 << 26) / n);
    const double copy = median_seconds(
        repeats, [&] { cudaMemcpyAsync(b, a, bytes, cudaMemcpyDeviceToDevice, stream); }, stream);
    // Each pack is undone by an unpack so that the data stays valid; they
    // are timed separately.
    std::vector<double> pack, unpack;
    for (int r = 0; r < repeats; ++r) {
      pack.push_back(median_seconds(1, [&] { qor_pack_fp32to16(n, a, stream, 1.0f); }, stream));
      unpack.push_back(median_seconds(1, [&] { qor_unpack_fp16to32(n, a, stream, 1.0f); }, stream));
    }
    std::sort(pack.begin(), pack.end());
    std::sort(unpack.begin(), unpack.end());
    const double copy_rate = 2.0 * bytes / copy / 1e9;
    const double pack_rate = 1.5 * bytes / pack[pack.size() / 2] / 1e9;
    const double unpack_rate = 1.5 * bytes / unpack[unpack.size() / 2] / 1e9;
    std::printf("| %d | %.2f | %.2f | %.2f | %.2f | %.2f |\n", n, copy_rate, pack_rate,
                pack_rate / copy_rate, unpack_rate, unpack_rate / copy_rate);
    cudaFree(a);
    cudaFree(b);
  }
  cudaStreamDestroy(stream);
  return 0;
}
