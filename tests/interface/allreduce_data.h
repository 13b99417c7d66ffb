// Test data for allreduce checks: a value unique per element and rank, small
// enough that every sum is exact in binary32 and in binary16, so a block that
// lands in the wrong place or is summed twice is visible.
#pragma once

#include <cuda_fp16.h>

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

namespace qor_test {

// Float input: exact sums for up to 64 ranks.
inline float float_value(int rank, size_t i) {
  return static_cast<float>(static_cast<int>(i % 100003) + 100003 * rank);
}
inline float float_sum(int nranks, size_t i) {
  float s = 0.0f;
  for (int r = 0; r < nranks; ++r) s += float_value(r, i);
  return s;
}

// Half input: integers up to 127, sums of up to 16 ranks stay exact.
inline float half_value(int rank, size_t i) {
  return static_cast<float>((static_cast<int>(i % 211) * 7 + rank * 13) % 128);
}
inline float half_sum(int nranks, size_t i) {
  float s = 0.0f;
  for (int r = 0; r < nranks; ++r) s += half_value(r, i);
  return s;
}

inline std::vector<float> float_input(int rank, size_t count) {
  std::vector<float> v(count);
  for (size_t i = 0; i < count; ++i) v[i] = float_value(rank, i);
  return v;
}
inline std::vector<__half> half_input(int rank, size_t count) {
  std::vector<__half> v(count);
  for (size_t i = 0; i < count; ++i) v[i] = __float2half(half_value(rank, i));
  return v;
}

// Distance in binary16 units in the last place between two finite halves.
inline int half_ulps(__half a, __half b) {
  auto ordered = [](__half h) {
    int bits = __half_as_ushort(h);
    return (bits & 0x8000) ? -(bits & 0x7fff) : bits;
  };
  return std::abs(ordered(a) - ordered(b));
}

// Index of the first element of `got` that differs from `expect(i)`, or -1.
template <class Expect>
long first_float_mismatch(const std::vector<float>& got, Expect expect) {
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i] != expect(i)) return static_cast<long>(i);
  }
  return -1;
}

}  // namespace qor_test
