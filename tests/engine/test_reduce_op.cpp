// reduce_op: the fold of a received block into the buffer, through a real
// software layer.  Built twice: for GPU mode (the cuBLAS float sum, the half
// sum and the bitwise OR kernels; needs a device or the emulation, and with
// the emulation failing cuBLAS and CUDA calls report their fixed lines) and
// for host-CPU mode (the host sum and its refusal of half precision), which
// runs everywhere.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "qor_exception.h"
#include "qor_test_support.h"
#include "traversal_test_support.h"

#if QOR_GPU_EMULATED
#include "gpu_emu.h"
#endif

namespace {

using namespace traversal_test;

// Elements past n that a fold must leave alone.
constexpr size_t guard = 40;

const std::vector<int> lengths = {0, 1, 255, 256, 257, 1000, 65537};

template <class T>
bool same_bits(const std::vector<T>& a, size_t i, const T& b) {
  return std::memcmp(&a[i], &b, sizeof(T)) == 0;
}

// Runs reduce_op<OP> over n elements of random x and y in the engine's memory
// and compares y with expect(x, y) bit for bit (y past n and x unchanged).
template <class T, OPR OP, class Fill, class Expect>
void fold_and_compare(qor_hw& hw, int n, Fill fill, Expect expect) {
  SCOPED_TRACE("n = " + std::to_string(n));
  std::mt19937 rng(static_cast<unsigned>(n) * 7919u + 17u);
  const size_t total = static_cast<size_t>(n) + guard;
  std::vector<T> x(total), y(total);
  for (auto& v : x) v = fill(rng);
  for (auto& v : y) v = fill(rng);
  engine_buffer<T> dx(hw, total), dy(hw, total);
  dx.write(x);
  dy.write(y);
  qor_sw<T> sw(hw, dy.get(), static_cast<int>(total), 0);
  cudaStream_t stream = reduce_stream(hw);
  sw.template reduce_op<OP>(stream, n, dx.get(), dy.get(), 3);
  const std::vector<T> x_after = dx.read(), y_after = dy.read();
  for (size_t i = 0; i < total; ++i) {
    const T want = static_cast<int>(i) < n ? expect(x[i], y[i]) : y[i];
    ASSERT_TRUE(same_bits(y_after, i, want)) << "y[" << i << "]";
    ASSERT_TRUE(same_bits(x_after, i, x[i])) << "x[" << i << "]";
  }
}

float random_float(std::mt19937& rng) {
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::uniform_int_distribution<int> scale(-20, 20);
  return std::ldexp(value(rng), scale(rng));
}

[[maybe_unused]] __half random_half(std::mt19937& rng) {
  std::uniform_real_distribution<float> value(-1000.0f, 1000.0f);
  std::uniform_int_distribution<int> scale(-12, 0);
  return __float2half(std::ldexp(value(rng), scale(rng)));
}

template <class T>
T random_bits(std::mt19937& rng) {
  T v;
  const uint32_t r = static_cast<uint32_t>(rng());
  std::memcpy(static_cast<void*>(&v), &r, sizeof v);
  return v;
}

[[maybe_unused]] uint32_t bits_of(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}
[[maybe_unused]] float float_of(uint32_t b) {
  float v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

#ifndef QOR_REDUCE_GPU_MODE
#error "QOR_REDUCE_GPU_MODE must be 0 (host-CPU mode) or 1 (GPU mode)"
#endif

#if QOR_REDUCE_GPU_MODE

// --- GPU mode -------------------------------------------------------------------

class GpuFold : public testing::Test {
 protected:
  void SetUp() override {
    QOR_REQUIRE_DEVICE();
    hw = make_hw("-cpu_only 0 -mode r");
    ASSERT_GE(hw->_device, 0);
  }
  std::unique_ptr<qor_hw> hw;
};

TEST_F(GpuFold, FloatSumIsTheRoundedSum) {
  for (int n : lengths) {
    fold_and_compare<float, QOR_MDR_SUM>(*hw, n, random_float,
                                         [](float x, float y) { return y + x; });
  }
}

TEST_F(GpuFold, HalfSumIsTheSumRoundedOnceToHalf) {
  for (int n : lengths) {
    fold_and_compare<__half, QOR_MDR_SUM>(
        *hw, n, random_half,
        [](__half x, __half y) { return __float2half_rn(__half2float(y) + __half2float(x)); });
  }
}

TEST_F(GpuFold, BitwiseOrCombinesRawPatterns) {
  for (int n : lengths) {
    fold_and_compare<float, QOR_MDR_BOR>(*hw, n, random_bits<float>, [](float x, float y) {
      return float_of(bits_of(x) | bits_of(y));
    });
    fold_and_compare<__half, QOR_MDR_BOR>(*hw, n, random_bits<__half>, [](__half x, __half y) {
      return __ushort_as_half(
          static_cast<unsigned short>(__half_as_ushort(x) | __half_as_ushort(y)));
    });
  }
}

TEST_F(GpuFold, OrOfOneAndNegativeZeroIsMinusOne) {
  engine_buffer<float> fx(*hw, 1), fy(*hw, 1);
  fx.write({-0.0f});
  fy.write({1.0f});
  qor_sw<float> sf(*hw, fy.get(), 1, 0);
  cudaStream_t stream = reduce_stream(*hw);
  sf.reduce_op<QOR_MDR_BOR>(stream, 1, fx.get(), fy.get(), 0);
  EXPECT_EQ(fy.read()[0], -1.0f);

  engine_buffer<__half> hx(*hw, 1), hy(*hw, 1);
  hx.write({__ushort_as_half(0x8000)});
  hy.write({__float2half(1.0f)});
  qor_sw<__half> sh(*hw, hy.get(), 1, 0);
  sh.reduce_op<QOR_MDR_BOR>(stream, 1, hx.get(), hy.get(), 0);
  EXPECT_EQ(__half2float(hy.read()[0]), -1.0f);
}

#if QOR_GPU_EMULATED

// --- failing library calls (emulation only: it can make a call fail) -------------

struct failure_case {
  const char* name;
  const char* call;  // emulated function made to fail
  int error;         // the code it returns
  int line;          // source line the failure reports
  int id;            // message
};

class FailingCall : public testing::TestWithParam<failure_case> {
 protected:
  void SetUp() override { hw = make_hw("-cpu_only 0 -mode r"); }
  void TearDown() override { qoremu_inject_failure("", -1, 0); }
  std::unique_ptr<qor_hw> hw;
};

template <class T, OPR OP>
void fold_once(qor_hw& hw) {
  engine_buffer<T> x(hw, 300), y(hw, 300);
  qor_sw<T> sw(hw, y.get(), 300, 0);
  cudaStream_t stream = reduce_stream(hw);
  sw.template reduce_op<OP>(stream, 300, x.get(), y.get(), 0);
}

TEST_P(FailingCall, ReportsItsMessageAndLine) {
  const failure_case c = GetParam();
  qoremu_inject_failure(c.call, 0, c.error);
  char host[128] = {0};
  gethostname(host, sizeof host);
  std::string body;
  if (c.id == 3) {
    body = std::string("A cuBLAS error has occurred on host ") + host + ". Return code is " +
           std::to_string(c.error) + ".";
  } else {
    body = std::string("A CUDA error has occurred on host ") + host + ":\n" +
           cudaGetErrorString(static_cast<cudaError_t>(c.error));
  }
  qor_test::stderr_capture capture;
  try {
    const std::string name = c.name;
    if (name == "float_sum_axpy" || name == "float_sum_sync") fold_once<float, QOR_MDR_SUM>(*hw);
    if (name == "half_sum_sync") fold_once<__half, QOR_MDR_SUM>(*hw);
    if (name == "float_or_sync") fold_once<float, QOR_MDR_BOR>(*hw);
    if (name == "half_or_sync") fold_once<__half, QOR_MDR_BOR>(*hw);
    ADD_FAILURE() << "no exception";
  } catch (const QORException& e) {
    EXPECT_EQ(e.line, c.line);
    EXPECT_EQ(e.status, 6);
    EXPECT_EQ(e.id, c.id);
    EXPECT_EQ(e.file, "qor_sw_reduce.cpp");
    EXPECT_EQ(std::string(e.what()), body);
  }
  EXPECT_EQ(capture.take(), message_line(c.id, body));
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FailingCall,
    testing::Values(failure_case{"float_sum_axpy", "cublasSaxpy_v2", 13, 1577, 3},
                    failure_case{"float_sum_sync", "cudaStreamSynchronize", 2, 1585, 2},
                    failure_case{"half_sum_sync", "cudaStreamSynchronize", 1, 1596, 2},
                    failure_case{"float_or_sync", "cudaStreamSynchronize", 400, 1558, 2},
                    failure_case{"half_or_sync", "cudaStreamSynchronize", 999, 1570, 2}),
    [](const testing::TestParamInfo<failure_case>& info) { return std::string(info.param.name); });

#endif

#else

// --- host-CPU mode --------------------------------------------------------------

class HostFold : public testing::Test {
 protected:
  void SetUp() override {
    hw = make_hw("-cpu_only 1 -mode r");
    ASSERT_LT(hw->_device, 0);
  }
  std::unique_ptr<qor_hw> hw;
};

TEST_F(HostFold, FloatHostSumIsTheRoundedSum) {
  for (int n : lengths) {
    fold_and_compare<float, QOR_MDR_HOST_SUM>(*hw, n, random_float,
                                              [](float x, float y) { return y + x; });
  }
}

TEST_F(HostFold, NegativeLengthDoesNothing) {
  std::vector<float> x(8, 2.0f), y(8, 5.0f);
  qor_sw<float> sw(*hw, y.data(), 8, 0);
  cudaStream_t none = nullptr;
  sw.reduce_op<QOR_MDR_HOST_SUM>(none, -3, x.data(), y.data(), 0);
  EXPECT_EQ(y, std::vector<float>(8, 5.0f));
}

// Only float has a host sum: a half layer asking for it fails with message 18
// and status 18, leaving the block as it was.
TEST_F(HostFold, HalfHostSumFailsWithMessage18) {
  std::vector<__half> x(16, __float2half(1.0f)), y(16, __float2half(2.0f));
  qor_sw<__half> sw(*hw, y.data(), 16, 0);
  cudaStream_t none = nullptr;
  const std::string text =
      "[MPI: 0] Mode 'm' does not currently support half-precision floating point.";
  qor_test::stderr_capture capture;
  try {
    sw.reduce_op<QOR_MDR_HOST_SUM>(none, 16, x.data(), y.data(), 0);
    ADD_FAILURE() << "no exception";
  } catch (const QORException& e) {
    EXPECT_EQ(e.status, 18);
    EXPECT_EQ(e.id, 18);
    EXPECT_EQ(std::string(e.what()), text);
    EXPECT_EQ(e.file, "qor_sw_reduce.cpp");
  }
  EXPECT_EQ(capture.take(), message_line(18, text));
  for (const __half& v : y) EXPECT_EQ(__half2float(v), 2.0f);
}

#endif

}  // namespace
