#include "perf_check.h"

#include <cuda_fp16.h>

#include <cstring>

namespace qor_perf {

float input_value(int rank, size_t i, int processes, bool half) {
  const uint64_t range = half ? (processes > 1024 ? 2 : 2048 / static_cast<uint64_t>(processes)) : 1024;
  // A mix of the element and the process (splitmix64's finaliser), so that
  // neither a shifted block nor another process gives the same values.
  uint64_t h = i * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(rank + 1) * 0xBF58476D1CE4E5B9ull;
  h = (h ^ (h >> 31)) * 0x94D049BB133111EBull;
  h ^= h >> 29;
  return static_cast<float>(h % range);
}

void fill_input(void* buf, size_t count, int rank, int processes, bool half) {
  for (size_t i = 0; i < count; ++i) {
    const float v = input_value(rank, i, processes, half);
    if (half)
      static_cast<__half*>(buf)[i] = __float2half(v);
    else
      static_cast<float*>(buf)[i] = v;
  }
}

size_t count_wrong(const void* buf, size_t count, int processes, bool half, bool average) {
  const float scale = static_cast<float>(1.0 / processes);
  size_t wrong = 0;
  for (size_t i = 0; i < count; ++i) {
    float want = 0.0f;
    for (int r = 0; r < processes; ++r) want += input_value(r, i, processes, half);
    if (average) want *= scale;
    float got;
    if (half) {
      want = __half2float(__float2half(want));
      got = __half2float(static_cast<const __half*>(buf)[i]);
    } else {
      got = static_cast<const float*>(buf)[i];
    }
    // Bit for bit: -0 against 0 and NaN show too.
    wrong += std::memcmp(&got, &want, sizeof got) != 0;
  }
  return wrong;
}

}  // namespace qor_perf
