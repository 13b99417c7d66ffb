#include "sweep_data.h"

#include <cuda_fp16.h>
#include <qor.h>

#include <cstring>

namespace qor_sweep {

namespace {

uint64_t mix(uint64_t h) {
  // splitmix64's finaliser
  h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ull;
  h = (h ^ (h >> 27)) * 0x94D049BB133111EBull;
  return h ^ (h >> 31);
}

void store(unsigned char* at, bool half, float v) {
  if (half) {
    const __half h = __float2half(v);
    std::memcpy(at, &h, sizeof h);
  } else {
    std::memcpy(at, &v, sizeof v);
  }
}

}  // namespace

float input_value(int rank, size_t i, uint64_t salt, uint64_t range) {
  const uint64_t h = mix(i * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(rank + 1) * 0xD1B54A32D192ED03ull + salt);
  return static_cast<float>(h % range);
}

void make_region(const layout& l, int rank, uint64_t salt, uint64_t range, std::vector<unsigned char>& region) {
  region.resize(l.bytes());
  const size_t e = l.element_bytes();
  for (size_t k = 0; k < l.total(); ++k) {
    const bool data = k >= l.data_start() && k < l.data_start() + l.count;
    // Negative halves are never a sum of the inputs, nor their average.
    const float v = data ? input_value(rank, k - l.data_start(), salt, range) : -0.5f - static_cast<float>(k % 64);
    store(&region[k * e], l.half, v);
  }
}

void add_input(std::vector<double>& sum, int rank, uint64_t salt, uint64_t range) {
  for (size_t i = 0; i < sum.size(); ++i) sum[i] += input_value(rank, i, salt, range);
}

bool call_on_region(std::vector<unsigned char>& region, const layout& l, void* device, bool async, bool average,
                    int& status) {
  const auto copy = [](void* dst, const void* src, size_t bytes, bool to_device) {
    const QOR_Status s = to_device ? qor_memcpy_host_to_device(dst, src, bytes) : qor_memcpy_device_to_host(dst, src, bytes);
    return s == QOR_SUCCESS && qor_memsync() == QOR_SUCCESS;
  };
  status = QOR_FAILURE;
  if (device && !copy(device, region.data(), l.bytes(), true)) return false;
  unsigned char* base = device ? static_cast<unsigned char*>(device) : region.data();
  void* buf = base + l.data_start() * l.element_bytes();
  const QOR_Type type = l.half ? QOR_HALF : QOR_FLOAT;
  const QOR_Op op = average ? QOR_AVG : QOR_SUM;
  if (async) {
    const QOR_Status started = qor_allreduce_async(buf, l.count, type, op);
    status = qor_wait() == QOR_SUCCESS && started == QOR_SUCCESS ? QOR_SUCCESS : QOR_FAILURE;
  } else {
    status = qor_allreduce(buf, l.count, type, op);
  }
  return !device || copy(region.data(), device, l.bytes(), false);
}

verdict check_region(const std::vector<unsigned char>& got, const layout& l, const std::vector<double>& want,
                     float scale, const std::vector<unsigned char>& before) {
  verdict v;
  const size_t e = l.element_bytes();
  for (size_t k = 0; k < l.total(); ++k) {
    const unsigned char* at = &got[k * e];
    if (k < l.data_start() || k >= l.data_start() + l.count) {
      v.guards += std::memcmp(at, &before[k * e], e) != 0;
      continue;
    }
    // Rounded to the type, then scaled as the library scales an average.
    unsigned char expect[4];
    const double sum = want[k - l.data_start()];
    if (l.half) {
      float f = __half2float(__float2half(static_cast<float>(sum)));
      if (scale != 1.0f) f *= scale;
      store(expect, true, f);
    } else {
      float f = static_cast<float>(sum);
      if (scale != 1.0f) f *= scale;
      store(expect, false, f);
    }
    // Bit for bit: -0 against 0 and NaN show too.
    v.wrong += std::memcmp(at, expect, e) != 0;
  }
  return v;
}

}  // namespace qor_sweep
