// libqor_pack and libqor_comp through their C interfaces, on device memory.
#include <algorithm>
#include <utility>
#include <vector>

#include "qor_comp.h"
#include "qor_pack.h"
#include "qor_test_support.h"
#if QOR_GPU_EMULATED
#include <gpu_emu.h>
#endif

namespace {

// Exact in binary16 also when doubled or halved, with odd periods that show
// a chunk misplaced by a power of two; every 61st is a rounding edge case.
float value(int i) {
  const float edge[] = {-0.0f, 65519,    65520,    1e5f,      -1e38f, 2049,
                        2051,  0x1p-25f, 0x3p-25f, -0x1p-24f, 1e-9f,  0x1.ffcp-15f};
  if (i % 61 == 60) return edge[i / 61 % 12];
  return i % 2 ? (i * 37 % 2047) : (i * 11 % 511) / 8.0f;
}

// The first of n values of type T at device address p that differs from want, or -1.
template <class T>
long first_miss(const float* p, const std::vector<T>& want, size_t n) {
  std::vector<T> got(n);
  EXPECT_EQ(cudaMemcpy(got.data(), p, n * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
  const auto miss = std::mismatch(got.begin(), got.end(), want.begin()).first;
  return miss == got.end() ? -1 : miss - got.begin();
}

struct device_floats {
  float* p = nullptr;
  explicit device_floats(const std::vector<float>& v) {
    EXPECT_EQ(cudaMalloc(&p, v.size() * sizeof(float)), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(p, v.data(), v.size() * sizeof(float), cudaMemcpyDefault), cudaSuccess);
  }
  ~device_floats() { cudaFree(p); }
};

struct LeakCheckedSiblings : testing::TestWithParam<std::pair<int, float>> {
  void SetUp() override {
    QOR_REQUIRE_DEVICE();
    ASSERT_EQ(cudaStreamCreate(&stream_), cudaSuccess);
  }
  void TearDown() override {
    EXPECT_EQ(stream_ ? cudaStreamDestroy(stream_) : cudaSuccess, cudaSuccess);
#if QOR_GPU_EMULATED
    EXPECT_EQ(qoremu_live_device_allocations() + qoremu_live_streams(), 0u);
#endif
  }
  cudaStream_t stream_ = nullptr;
};

// The data lands after stale bytes, queued on the stream: a call that does
// not wait its turn converts the stale bytes.  Element n is a guard.
TEST_P(LeakCheckedSiblings, PackGivesHalvesInPlaceAndUnpackBringsTheFloatsBack) {
  const auto [n, scale] = GetParam();
  std::vector<float> x(n + 1), back(n + 1);
  std::vector<unsigned short> want(n + 1);  // the guard's half is never read back
  for (int i = 0; i <= n; ++i) {
    x[i] = value(i + 1);
    want[i] = __half_as_ushort(__float2half(x[i] * scale));
    back[i] = i < n ? __half2float(__ushort_as_half(want[i])) / scale : x[i];
  }
  device_floats d(x);
  EXPECT_EQ(qor_pack_fp32to16(-n, nullptr, stream_, scale), 0);  // nothing queued either
  EXPECT_EQ(qor_unpack_fp16to32(-n, nullptr, stream_, scale), 0);
  for (bool round_trip : {false, true}) {
    ASSERT_EQ(cudaMemset(d.p, 0x7f, (n + 1) * sizeof(float)), cudaSuccess);
    ASSERT_EQ(cudaMemcpyAsync(d.p, x.data(), (n + 1) * sizeof(float), cudaMemcpyDefault, stream_), cudaSuccess);
    // An error the application left pending is neither theirs nor swallowed.
    EXPECT_EQ(cudaSetDevice(-1), cudaErrorInvalidDevice);
    ASSERT_EQ(qor_pack_fp32to16(n, d.p, stream_, scale), 0);
    ASSERT_EQ(round_trip ? qor_unpack_fp16to32(n, d.p, stream_, scale) : 0, 0);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
    ASSERT_EQ(cudaStreamSynchronize(stream_), cudaSuccess);
    EXPECT_EQ(round_trip ? first_miss(d.p, back, n + 1) : first_miss(d.p, want, n), -1);
  }
}

// Decompress copies the last compress call's count (sizes go up and down), never onto itself.
TEST_P(LeakCheckedSiblings, IdentityCompressionLeavesTheSumInDest) {
  const int n = GetParam().first + 1;
  std::vector<float> sum(n + 1), zeros(n + 1);
  for (int i = 0; i <= n; ++i) sum[i] = value(i + 1);
  device_floats summed(sum), d(zeros);
  float* out = nullptr;
  ASSERT_EQ(qor_compress_fp32(n, summed.p, &out, 0), n);
  EXPECT_EQ(out, summed.p);
  ASSERT_EQ(qor_decompress_fp32(summed.p, d.p, 0, 0), cudaSuccess);
  sum[n] = 0;  // the guard, which the copy must not reach
  EXPECT_EQ(first_miss(d.p, sum, n + 1), -1);
#if QOR_GPU_EMULATED
  const size_t copies = qoremu_calls("cudaMemcpy");
  ASSERT_EQ(qor_decompress_fp32(d.p, d.p, 0, 0), cudaSuccess);
  EXPECT_EQ(qoremu_calls("cudaMemcpy"), copies);
#endif
}

// Around the single block of 1024 elements and the chunks that double it.
const std::pair<int, float> sizes[] = {{0, 1},      {1, 1},    {2, 1},       {3, 1},
                                       {1023, 1},   {1024, 1}, {1025, 1},    {2051, 1},
                                       {300007, 1}, {3, 2},    {2051, 0.5f}, {300007, 2}};
INSTANTIATE_TEST_SUITE_P(Sizes, LeakCheckedSiblings, testing::ValuesIn(sizes));

}  // namespace
