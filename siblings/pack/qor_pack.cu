// In-place float <-> binary16 conversion.  Float i lives at bytes
// [4i, 4i+4) and half i at [2i, 2i+2), so reads and writes of one call
// overlap, and GPU threads run in any order.  The work is therefore split
// into launches, ordered on the stream, whose reads and writes are disjoint:
//   pack:   [0, B) as one block that reads everything before it writes; then
//           [a, 2a) for a = B, 2B, 4B, ...: it reads bytes [4a, 8a) and
//           writes [2a, 4a), floats that earlier launches have read already;
//   unpack: the same chunks from the top down, each reading [2a, 4a) and
//           writing [4a, 8a) (halves of indices >= 2a, converted already),
//           and last the single block over [0, B).
// nvcc builds kernels from this file; the emulated flavour compiles it as
// C++ and queues host loops of the same structure.
#include "qor_pack.h"

#include <cuda_fp16.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if QOR_GPU_EMULATED
#include <gpu_emu_kernel.h>

#include <cstring>
#endif

namespace {

// B, the elements of the single-block launch.
constexpr int kFirst = 1024;

#if QOR_GPU_EMULATED

// The host loops convert without branches, so that they vectorise; bit for
// bit they give what cuda_fp16.h gives (rounding to nearest even, NaN
// payloads, subnormals).
inline uint32_t bits_of(float x) {
  uint32_t u;
  std::memcpy(&u, &x, sizeof u);
  return u;
}

inline float float_of(uint32_t u) {
  float x;
  std::memcpy(&x, &u, sizeof x);
  return x;
}

// a where c holds, else b: a blend rather than a branch, which would move
// the float additions below under a condition, where they keep the loops
// scalar (they might raise a floating-point exception).
inline uint32_t pick(bool c, uint32_t a, uint32_t b) {
  const uint32_t mask = 0u - static_cast<uint32_t>(c);
  return (a & mask) | (b & ~mask);
}

inline __half half_of(float x) {
  const uint32_t f = bits_of(x);
  const uint32_t mag = f & 0x7fffffffu;
  // Normal: rebias the exponent and round the 13 dropped bits to even; the
  // carry of 65520 and up reaches infinity, as it should.
  const uint32_t normal = (mag - 0x38000000u + 0x0fffu + ((mag >> 13) & 1u)) >> 13;
  // Subnormal: adding 0.5 makes the FPU round to units of 2^-24.
  const uint32_t subnormal = bits_of(float_of(mag) + 0.5f) - bits_of(0.5f);
  uint32_t h = pick(mag < 0x38800000u, subnormal, normal);
  h = pick(mag >= 0x477ff000u, 0x7c00u, h);
  h = pick(mag > 0x7f800000u, 0x7e00u | ((mag >> 13) & 0x03ffu), h);
  return __ushort_as_half(static_cast<unsigned short>(((f >> 16) & 0x8000u) | h));
}

inline float float_of(__half h) {
  const uint32_t in = __half_as_ushort(h);
  const uint32_t exponent = in & 0x7c00u;
  const uint32_t shifted = (in & 0x7fffu) << 13;
  // Subnormal: as a float of exponent 2^-14 less the implicit 2^-14.
  const uint32_t subnormal = bits_of(float_of(shifted + 0x38800000u) - float_of(0x38800000u));
  uint32_t f = pick(exponent == 0x7c00u, shifted | 0x7f800000u, shifted + 0x38000000u);
  f = pick(exponent == 0, subnormal, f);
  return float_of(((in & 0x8000u) << 16) | f);
}

// The loops of one chunk: source and destination never overlap, which
// __restrict__ tells the compiler.
void pack_loop(int64_t len, const float* __restrict__ in, __half* __restrict__ out, float scale) {
  for (int64_t i = 0; i < len; ++i) out[i] = half_of(in[i] * scale);
}

void unpack_loop(int64_t len, const __half* __restrict__ in, float* __restrict__ out, float scale) {
  for (int64_t i = 0; i < len; ++i) out[i] = float_of(in[i]) / scale;
}

// The single block: everything is read into locals before anything is
// written.  memcpy, because float and half views of the same bytes must not
// be reordered against each other.
void pack_first(cudaStream_t stream, int m, float* buf, float scale) {
  qoremu_launch(stream, {{buf, m * sizeof(float)}}, [m, scale](void* const* views) {
    float in[kFirst];
    __half out[kFirst];
    std::memcpy(in, views[0], m * sizeof(float));
    pack_loop(m, in, out, scale);
    std::memcpy(views[0], out, m * sizeof(__half));
  });
}

void unpack_first(cudaStream_t stream, int m, float* buf, float scale) {
  qoremu_launch(stream, {{buf, m * sizeof(float)}}, [m, scale](void* const* views) {
    __half in[kFirst];
    float out[kFirst];
    std::memcpy(in, views[0], m * sizeof(__half));
    unpack_loop(m, in, out, scale);
    std::memcpy(views[0], out, m * sizeof(float));
  });
}

// Chunk [a, a+len) with len <= a: its float and half ranges are disjoint,
// so they are handed over as two buffers.
void pack_chunk(cudaStream_t stream, int64_t a, int64_t len, float* buf, float scale) {
  const size_t n = static_cast<size_t>(len);
  __half* half = reinterpret_cast<__half*>(buf) + a;
  qoremu_launch(stream, {{buf + a, n * sizeof(float)}, {half, n * sizeof(__half)}},
                [len, scale](void* const* views) {
                  pack_loop(len, static_cast<const float*>(views[0]),
                            static_cast<__half*>(views[1]), scale);
                });
}

void unpack_chunk(cudaStream_t stream, int64_t a, int64_t len, float* buf, float scale) {
  const size_t n = static_cast<size_t>(len);
  __half* half = reinterpret_cast<__half*>(buf) + a;
  qoremu_launch(stream, {{half, n * sizeof(__half)}, {buf + a, n * sizeof(float)}},
                [len, scale](void* const* views) {
                  unpack_loop(len, static_cast<const __half*>(views[0]),
                              static_cast<float*>(views[1]), scale);
                });
}

#else

// Each thread of the single block keeps kPerThread values in registers
// across the barrier.
constexpr int kThreads = 256;
constexpr int kPerThread = kFirst / kThreads;

__device__ inline __half to_half(float x, float scale) { return __float2half(x * scale); }
__device__ inline float to_float(__half h, float scale) { return __half2float(h) / scale; }

__global__ void pack_first_kernel(int m, float* buf, float scale) {
  float v[kPerThread];
  for (int k = 0; k < kPerThread; ++k) {
    const int i = k * kThreads + static_cast<int>(threadIdx.x);
    if (i < m) v[k] = buf[i];
  }
  __syncthreads();  // every float is read before a half lands on it
  __half* out = reinterpret_cast<__half*>(buf);
  for (int k = 0; k < kPerThread; ++k) {
    const int i = k * kThreads + static_cast<int>(threadIdx.x);
    if (i < m) out[i] = to_half(v[k], scale);
  }
}

__global__ void unpack_first_kernel(int m, float* buf, float scale) {
  const __half* in = reinterpret_cast<const __half*>(buf);
  float v[kPerThread];
  for (int k = 0; k < kPerThread; ++k) {
    const int i = k * kThreads + static_cast<int>(threadIdx.x);
    if (i < m) v[k] = to_float(in[i], scale);
  }
  __syncthreads();  // every half is read before a float lands on it
  for (int k = 0; k < kPerThread; ++k) {
    const int i = k * kThreads + static_cast<int>(threadIdx.x);
    if (i < m) buf[i] = v[k];
  }
}

// In 64 bits: chunks reach past INT_MAX bytes.
__device__ inline int64_t chunk_index() {
  return static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}

__global__ void pack_chunk_kernel(int64_t len, const float* __restrict__ in,
                                  __half* __restrict__ out, float scale) {
  const int64_t i = chunk_index();
  if (i < len) out[i] = to_half(in[i], scale);
}

__global__ void unpack_chunk_kernel(int64_t len, const __half* __restrict__ in,
                                    float* __restrict__ out, float scale) {
  const int64_t i = chunk_index();
  if (i < len) out[i] = to_float(in[i], scale);
}

unsigned int blocks(int64_t len) {
  return static_cast<unsigned int>((len + kThreads - 1) / kThreads);
}

void pack_first(cudaStream_t stream, int m, float* buf, float scale) {
  pack_first_kernel<<<1, kThreads, 0, stream>>>(m, buf, scale);
}

void unpack_first(cudaStream_t stream, int m, float* buf, float scale) {
  unpack_first_kernel<<<1, kThreads, 0, stream>>>(m, buf, scale);
}

void pack_chunk(cudaStream_t stream, int64_t a, int64_t len, float* buf, float scale) {
  pack_chunk_kernel<<<blocks(len), kThreads, 0, stream>>>(
      len, buf + a, reinterpret_cast<__half*>(buf) + a, scale);
}

void unpack_chunk(cudaStream_t stream, int64_t a, int64_t len, float* buf, float scale) {
  unpack_chunk_kernel<<<blocks(len), kThreads, 0, stream>>>(
      len, reinterpret_cast<const __half*>(buf) + a, buf + a, scale);
}

#endif

// The failure of the launch just made, if any.  An error the application
// left pending is not ours: it stays pending for the application (until a
// launch of ours fails and replaces it, as the runtime does).
cudaError_t launch_failure(cudaError_t pending) {
  const cudaError_t now = cudaPeekAtLastError();
  if (now == pending) return cudaSuccess;
  return cudaGetLastError();
}

}  // namespace

// A launch that fails stops the call: later chunks depend on it.
int qor_pack_fp32to16(int n, float* buf, cudaStream_t stream, float scale) {
  if (n <= 0) return 0;
  const cudaError_t pending = cudaPeekAtLastError();
  pack_first(stream, std::min(n, kFirst), buf, scale);
  if (cudaError_t e = launch_failure(pending)) return e;
  for (int64_t a = kFirst; a < n; a *= 2) {
    pack_chunk(stream, a, std::min<int64_t>(a, n - a), buf, scale);
    if (cudaError_t e = launch_failure(pending)) return e;
  }
  return 0;
}

int qor_unpack_fp16to32(int n, float* buf, cudaStream_t stream, float scale) {
  if (n <= 0) return 0;
  const cudaError_t pending = cudaPeekAtLastError();
  int64_t top = kFirst;  // the lowest chunk start at or past n
  while (top < n) top *= 2;
  for (int64_t a = top / 2; a >= kFirst; a /= 2) {
    unpack_chunk(stream, a, std::min<int64_t>(a, n - a), buf, scale);
    if (cudaError_t e = launch_failure(pending)) return e;
  }
  unpack_first(stream, std::min(n, kFirst), buf, scale);
  return launch_failure(pending);
}
