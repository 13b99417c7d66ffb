// The emulated cuBLAS: handles and streams, statuses, and the arithmetic of
// axpy and scal against host references on random data.
#include <cublas_v2.h>
#include <cuda_fp16.h>
#include <cuda_runtime.h>
#include <gpu_emu.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

// ------------------------------------------------------------ references

// Value of a binary16 pattern from its fields.
double half_value(uint16_t h) {
  const int exponent = (h >> 10) & 0x1f;
  const int mantissa = h & 0x3ff;
  double magnitude;
  if (exponent == 0x1f) {
    magnitude = mantissa ? NAN : INFINITY;
  } else if (exponent == 0) {
    magnitude = std::ldexp(mantissa, -24);
  } else {
    magnitude = std::ldexp(1024 + mantissa, exponent - 25);
  }
  return (h & 0x8000u) ? -magnitude : magnitude;
}

// Rounds a float to binary16 in double arithmetic: scale to the binary16
// quantum of its binade, round the integer to nearest even, re-encode.
uint16_t reference_half(float f) {
  const uint16_t sign = std::signbit(f) ? 0x8000u : 0;
  if (std::isnan(f)) return sign | 0x7e00u;
  const double a = std::fabs(static_cast<double>(f));
  if (std::isinf(a)) return sign | 0x7c00u;
  if (a == 0) return sign;
  int e = 0;
  std::frexp(a, &e);                       // a in [2^(e-1), 2^e)
  const int binade = std::max(e - 1, -14);  // below 2^-14 the quantum stays 2^-24
  const double quantum = std::ldexp(1.0, binade - 10);
  const double r = std::nearbyint(a / quantum) * quantum;  // ties to even
  if (r > 65504.0) return sign | 0x7c00u;
  if (r < std::ldexp(1.0, -14)) return sign | static_cast<uint16_t>(r / std::ldexp(1.0, -24));
  std::frexp(r, &e);
  const int exponent = e - 1;
  const int mantissa = static_cast<int>(r / std::ldexp(1.0, exponent - 10)) - 1024;
  return sign | static_cast<uint16_t>(((exponent + 15) << 10) | mantissa);
}

bool half_is_nan(uint16_t h) { return (h & 0x7c00u) == 0x7c00u && (h & 0x03ffu) != 0; }

// BLAS position of element i of a vector of n with increment inc.
size_t blas_index(int n, int i, int inc) {
  return inc >= 0 ? static_cast<size_t>(i) * inc
                  : static_cast<size_t>(n - 1 - i) * static_cast<size_t>(-inc);
}

size_t span(int n, int inc) { return n <= 0 ? 0 : 1 + static_cast<size_t>(n - 1) * std::abs(inc); }

std::vector<float> random_floats(size_t n, std::mt19937& rng) {
  std::uniform_real_distribution<float> value(-100.0f, 100.0f);
  std::vector<float> v(n);
  for (float& f : v) f = value(rng);
  return v;
}

// ------------------------------------------------------------ fixture

class cublas : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("QOR_EMU_DEVICE_COUNT");
    qoremu_inject_failure("", -1, 0);
    ASSERT_EQ(cublasCreate(&handle), CUBLAS_STATUS_SUCCESS);
    ASSERT_NE(handle, nullptr);
  }
  void TearDown() override {
    unsetenv("QOR_EMU_DEVICE_COUNT");
    qoremu_inject_failure("", -1, 0);
    if (handle) {
      EXPECT_EQ(cublasDestroy(handle), CUBLAS_STATUS_SUCCESS);
    }
    EXPECT_EQ(qoremu_live_cublas_handles(), 0u);
    EXPECT_EQ(qoremu_live_streams(), 0u);
    EXPECT_EQ(qoremu_live_device_allocations(), 0u);
  }
  cublasHandle_t handle = nullptr;
};

// ------------------------------------------------------------ handles

TEST_F(cublas, HandlesAreDistinctAndCounted) {
  EXPECT_EQ(qoremu_live_cublas_handles(), 1u);
  cublasHandle_t more[3] = {};
  for (auto& h : more) ASSERT_EQ(cublasCreate(&h), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(qoremu_live_cublas_handles(), 4u);
  EXPECT_NE(more[0], more[1]);
  EXPECT_NE(more[1], more[2]);
  EXPECT_NE(more[0], handle);
  for (auto& h : more) ASSERT_EQ(cublasDestroy(h), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(qoremu_live_cublas_handles(), 1u);
}

TEST_F(cublas, DestroyingTwiceOrNullIsRefused) {
  cublasHandle_t other = nullptr;
  ASSERT_EQ(cublasCreate(&other), CUBLAS_STATUS_SUCCESS);
  ASSERT_EQ(cublasDestroy(other), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(cublasDestroy(other), CUBLAS_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(cublasDestroy(nullptr), CUBLAS_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(qoremu_live_cublas_handles(), 1u);
}

TEST_F(cublas, CreateNeedsAnOutput) {
  EXPECT_EQ(cublasCreate(nullptr), CUBLAS_STATUS_INVALID_VALUE);
  EXPECT_EQ(qoremu_live_cublas_handles(), 1u);
}

TEST_F(cublas, CreateFailsWithoutDevice) {
  setenv("QOR_EMU_DEVICE_COUNT", "0", 1);
  cublasHandle_t other = nullptr;
  EXPECT_EQ(cublasCreate(&other), CUBLAS_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(qoremu_live_cublas_handles(), 1u);
}

TEST_F(cublas, StreamIsNullUntilSetAndFollowsSetStream) {
  cudaStream_t got = reinterpret_cast<cudaStream_t>(uintptr_t{1});
  ASSERT_EQ(cublasGetStream(handle, &got), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(got, nullptr);
  cudaStream_t a = nullptr;
  cudaStream_t b = nullptr;
  ASSERT_EQ(cudaStreamCreate(&a), cudaSuccess);
  ASSERT_EQ(cudaStreamCreateWithFlags(&b, cudaStreamNonBlocking), cudaSuccess);
  for (cudaStream_t s : {a, b, static_cast<cudaStream_t>(nullptr), a}) {
    ASSERT_EQ(cublasSetStream(handle, s), CUBLAS_STATUS_SUCCESS);
    ASSERT_EQ(cublasGetStream(handle, &got), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(got, s);
  }
  ASSERT_EQ(cublasSetStream(handle, nullptr), CUBLAS_STATUS_SUCCESS);
  ASSERT_EQ(cudaStreamDestroy(a), cudaSuccess);
  ASSERT_EQ(cudaStreamDestroy(b), cudaSuccess);
}

TEST_F(cublas, SetStreamRefusesADestroyedStream) {
  cudaStream_t good = nullptr;
  cudaStream_t gone = nullptr;
  ASSERT_EQ(cudaStreamCreate(&good), cudaSuccess);
  ASSERT_EQ(cudaStreamCreate(&gone), cudaSuccess);
  ASSERT_EQ(cudaStreamDestroy(gone), cudaSuccess);
  ASSERT_EQ(cublasSetStream(handle, good), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(cublasSetStream(handle, gone), CUBLAS_STATUS_INVALID_VALUE);
  cudaStream_t got = nullptr;
  ASSERT_EQ(cublasGetStream(handle, &got), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(got, good) << "a refused stream must not be bound";
  EXPECT_EQ(cublasGetStream(handle, nullptr), CUBLAS_STATUS_INVALID_VALUE);
  ASSERT_EQ(cudaStreamDestroy(good), cudaSuccess);
}

TEST_F(cublas, WorkOnAStreamDestroyedAfterBindingFailsToLaunch) {
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
  ASSERT_EQ(cublasSetStream(handle, stream), CUBLAS_STATUS_SUCCESS);
  ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
  float alpha = 2.0f;
  float x[2] = {1.0f, 2.0f};
  float y[2] = {5.0f, 6.0f};
  EXPECT_EQ(cublasSaxpy(handle, 2, &alpha, x, 1, y, 1), CUBLAS_STATUS_EXECUTION_FAILED);
  EXPECT_EQ(cublasSscal(handle, 2, &alpha, x, 1), CUBLAS_STATUS_EXECUTION_FAILED);
  EXPECT_EQ(cublasScalEx(handle, 2, &alpha, CUDA_R_32F, x, CUDA_R_32F, 1, CUDA_R_32F),
            CUBLAS_STATUS_EXECUTION_FAILED);
  EXPECT_EQ(x[0], 1.0f);
  EXPECT_EQ(y[0], 5.0f);
}

// ------------------------------------------------------------ statuses

struct status_text {
  cublasStatus_t status;
  const char* text;
};

class StatusText : public ::testing::TestWithParam<status_text> {};

TEST_P(StatusText, MatchesTheLibrary) {
  EXPECT_STREQ(cublasGetStatusString(GetParam().status), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    cublas, StatusText,
    ::testing::Values(
        status_text{CUBLAS_STATUS_SUCCESS, "success"},
        status_text{CUBLAS_STATUS_NOT_INITIALIZED, "the library was not initialized"},
        status_text{CUBLAS_STATUS_ALLOC_FAILED, "the resource allocation failed"},
        status_text{CUBLAS_STATUS_INVALID_VALUE,
                    "an unsupported value or parameter was passed to the function"},
        status_text{CUBLAS_STATUS_ARCH_MISMATCH,
                    "the function requires an architectural feature absent from the device"},
        status_text{CUBLAS_STATUS_MAPPING_ERROR, "an access to GPU memory space failed"},
        status_text{CUBLAS_STATUS_EXECUTION_FAILED, "the function failed to launch on the GPU"},
        status_text{CUBLAS_STATUS_INTERNAL_ERROR, "an internal operation failed"},
        status_text{CUBLAS_STATUS_NOT_SUPPORTED, "the requested functionality is not supported"},
        status_text{CUBLAS_STATUS_LICENSE_ERROR, "the license check failed"},
        status_text{static_cast<cublasStatus_t>(2), "unrecognized status"},
        status_text{static_cast<cublasStatus_t>(20), "unrecognized status"}));

// ------------------------------------------------------------ argument checks

// Each compute call with a handle, a length and its pointers.
struct compute_call {
  const char* name;
  std::function<cublasStatus_t(cublasHandle_t, int, float*, float*, float*)> call;
};

std::ostream& operator<<(std::ostream& os, const compute_call& c) { return os << c.name; }

class ComputeCall : public cublas, public ::testing::WithParamInterface<compute_call> {
 protected:
  float alpha = 3.0f;
  float x[4] = {1, 2, 3, 4};
  float y[4] = {10, 20, 30, 40};
  void expect_untouched() {
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(x[i], static_cast<float>(i + 1));
      EXPECT_EQ(y[i], static_cast<float>(10 * (i + 1)));
    }
  }
};

TEST_P(ComputeCall, NullOrDestroyedHandleIsNotInitialized) {
  EXPECT_EQ(GetParam().call(nullptr, 4, &alpha, x, y), CUBLAS_STATUS_NOT_INITIALIZED);
  cublasHandle_t gone = nullptr;
  ASSERT_EQ(cublasCreate(&gone), CUBLAS_STATUS_SUCCESS);
  ASSERT_EQ(cublasDestroy(gone), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(GetParam().call(gone, 4, &alpha, x, y), CUBLAS_STATUS_NOT_INITIALIZED);
  expect_untouched();
}

TEST_P(ComputeCall, NullPointersAreInvalidWhenThereIsWork) {
  EXPECT_EQ(GetParam().call(handle, 4, nullptr, x, y), CUBLAS_STATUS_INVALID_VALUE);
  EXPECT_EQ(GetParam().call(handle, 4, &alpha, nullptr, y), CUBLAS_STATUS_INVALID_VALUE);
  expect_untouched();
}

TEST_P(ComputeCall, NoElementsIsASuccessfulNoOp) {
  for (int n : {0, -1, -100}) {
    EXPECT_EQ(GetParam().call(handle, n, &alpha, x, y), CUBLAS_STATUS_SUCCESS) << n;
    EXPECT_EQ(GetParam().call(handle, n, nullptr, nullptr, nullptr), CUBLAS_STATUS_SUCCESS) << n;
  }
  expect_untouched();
}

TEST_P(ComputeCall, InjectedFailureIsReturnedOnceAndDoesNothing) {
  qoremu_inject_failure(GetParam().name, 1, CUBLAS_STATUS_INTERNAL_ERROR);
  EXPECT_EQ(GetParam().call(handle, 0, &alpha, x, y), CUBLAS_STATUS_SUCCESS) << "skipped call";
  EXPECT_EQ(GetParam().call(handle, 4, &alpha, x, y), CUBLAS_STATUS_INTERNAL_ERROR);
  expect_untouched();
  EXPECT_EQ(GetParam().call(handle, 4, &alpha, x, y), CUBLAS_STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    cublas, ComputeCall,
    ::testing::Values(
        compute_call{"cublasSaxpy_v2",
                     [](cublasHandle_t h, int n, float* a, float* x, float* y) {
                       return cublasSaxpy(h, n, a, x, 1, y, 1);
                     }},
        compute_call{"cublasSscal_v2",
                     [](cublasHandle_t h, int n, float* a, float* x, float*) {
                       return cublasSscal(h, n, a, x, 1);
                     }},
        compute_call{"cublasScalEx",
                     [](cublasHandle_t h, int n, float* a, float* x, float*) {
                       return cublasScalEx(h, n, a, CUDA_R_32F, x, CUDA_R_32F, 1, CUDA_R_32F);
                     }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(cublas, SaxpyNullYIsInvalid) {
  const float alpha = 1.0f;
  const float x[2] = {1.0f, 2.0f};
  EXPECT_EQ(cublasSaxpy(handle, 2, &alpha, x, 1, nullptr, 1), CUBLAS_STATUS_INVALID_VALUE);
}

// Calls on handles and statuses that are not compute calls.
TEST_F(cublas, InjectionReachesEveryHandleCall) {
  const cublasStatus_t injected = CUBLAS_STATUS_ALLOC_FAILED;
  cublasHandle_t other = nullptr;
  qoremu_inject_failure("cublasCreate_v2", 0, injected);
  EXPECT_EQ(cublasCreate(&other), injected);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(qoremu_live_cublas_handles(), 1u);

  qoremu_inject_failure("cublasDestroy_v2", 0, injected);
  EXPECT_EQ(cublasDestroy(handle), injected);
  EXPECT_EQ(qoremu_live_cublas_handles(), 1u) << "an injected failure must not destroy";

  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
  qoremu_inject_failure("cublasSetStream_v2", 0, injected);
  EXPECT_EQ(cublasSetStream(handle, stream), injected);
  cudaStream_t got = reinterpret_cast<cudaStream_t>(uintptr_t{1});
  qoremu_inject_failure("cublasGetStream_v2", 0, injected);
  EXPECT_EQ(cublasGetStream(handle, &got), injected);
  EXPECT_EQ(got, reinterpret_cast<cudaStream_t>(uintptr_t{1}));
  ASSERT_EQ(cublasGetStream(handle, &got), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(got, nullptr) << "the injected SetStream must not have bound the stream";
  ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
}

TEST_F(cublas, ScalExRefusesOtherTypeCombinations) {
  float alpha = 2.0f;
  double alpha64 = 2.0;
  float x[2] = {1.0f, 2.0f};
  const std::tuple<cudaDataType, cudaDataType, cudaDataType> unsupported[] = {
      {CUDA_R_64F, CUDA_R_32F, CUDA_R_32F}, {CUDA_R_16F, CUDA_R_16F, CUDA_R_32F},
      {CUDA_R_32F, CUDA_R_64F, CUDA_R_32F}, {CUDA_R_32F, CUDA_R_8I, CUDA_R_32F},
      {CUDA_R_32F, CUDA_R_32I, CUDA_R_32F}, {CUDA_R_32F, CUDA_R_32F, CUDA_R_64F},
      {CUDA_R_32F, CUDA_R_16F, CUDA_R_16F}, {CUDA_R_64F, CUDA_R_64F, CUDA_R_64F},
  };
  for (const auto& [alpha_type, x_type, exec_type] : unsupported) {
    const void* a = alpha_type == CUDA_R_64F ? static_cast<const void*>(&alpha64) : &alpha;
    EXPECT_EQ(cublasScalEx(handle, 2, a, alpha_type, x, x_type, 1, exec_type),
              CUBLAS_STATUS_NOT_SUPPORTED)
        << alpha_type << " " << x_type << " " << exec_type;
  }
  EXPECT_EQ(x[0], 1.0f);
  EXPECT_EQ(x[1], 2.0f);
  EXPECT_EQ(cublasScalEx(nullptr, 2, &alpha, CUDA_R_64F, x, CUDA_R_32F, 1, CUDA_R_32F),
            CUBLAS_STATUS_NOT_INITIALIZED);
}

// ------------------------------------------------------------ arithmetic

const int lengths[] = {0, 1, 7, 1000, 4099};

// n, incx, incy
class Saxpy : public cublas, public ::testing::WithParamInterface<std::tuple<int, int, int>> {};

TEST_P(Saxpy, MatchesTheHostReference) {
  const auto [n, incx, incy] = GetParam();
  std::mt19937 rng(static_cast<unsigned>(n * 131 + incx * 17 + incy + 1000));
  const std::vector<float> x = random_floats(span(n, incx) + 3, rng);
  std::vector<float> y = random_floats(span(n, incy) + 3, rng);
  const std::vector<float> y0 = y;
  for (float alpha : {1.5f, -0.25f, 0.0f}) {
    y = y0;
    ASSERT_EQ(cublasSaxpy(handle, n, &alpha, x.data(), incx, y.data(), incy),
              CUBLAS_STATUS_SUCCESS);
    std::vector<bool> touched(y.size(), false);
    for (int i = 0; i < n; ++i) {
      const size_t ix = blas_index(n, i, incx);
      const size_t iy = blas_index(n, i, incy);
      touched[iy] = true;
      const double want = static_cast<double>(y0[iy]) + static_cast<double>(alpha) * x[ix];
      // One or two float roundings (fused or not) from the exact value.
      const double bound = std::ldexp(std::fabs(y0[iy]) + std::fabs(alpha * x[ix]), -22);
      ASSERT_NEAR(y[iy], want, bound) << "alpha " << alpha << " element " << i;
    }
    for (size_t j = 0; j < y.size(); ++j) {
      if (!touched[j]) {
        ASSERT_EQ(y[j], y0[j]) << "element outside the vector changed: " << j;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(cublas, Saxpy,
                         ::testing::Combine(::testing::ValuesIn(lengths),
                                            ::testing::Values(1, 2, 3, -1),
                                            ::testing::Values(1, 2, -3)));

TEST_F(cublas, SaxpyInPlaceDoublesPlusAlpha) {
  std::vector<float> y = {1.0f, -2.0f, 4.0f, 8.0f, 0.5f};
  const float alpha = 2.0f;
  ASSERT_EQ(cublasSaxpy(handle, 5, &alpha, y.data(), 1, y.data(), 1), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(y, (std::vector<float>{3.0f, -6.0f, 12.0f, 24.0f, 1.5f}));
}

TEST_F(cublas, SaxpyWithZeroIncrementOfXBroadcastsIt) {
  std::vector<float> y = {1.0f, 2.0f, 3.0f};
  const float x = 10.0f;
  const float alpha = 0.5f;
  ASSERT_EQ(cublasSaxpy(handle, 3, &alpha, &x, 0, y.data(), 1), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(y, (std::vector<float>{6.0f, 7.0f, 8.0f}));
}

// n, incx; `ex` runs the same through cublasScalEx.
class Sscal : public cublas,
              public ::testing::WithParamInterface<std::tuple<int, int, bool>> {};

TEST_P(Sscal, MatchesTheHostReference) {
  const auto [n, incx, ex] = GetParam();
  std::mt19937 rng(static_cast<unsigned>(n * 7 + incx + (ex ? 5000 : 0)));
  const std::vector<float> x0 = random_floats(span(n, incx) + 2, rng);
  for (float alpha : {2.5f, -1.0f / 3.0f, 0.0f}) {
    std::vector<float> x = x0;
    const cublasStatus_t status =
        ex ? cublasScalEx(handle, n, &alpha, CUDA_R_32F, x.data(), CUDA_R_32F, incx, CUDA_R_32F)
           : cublasSscal(handle, n, &alpha, x.data(), incx);
    ASSERT_EQ(status, CUBLAS_STATUS_SUCCESS);
    for (size_t j = 0; j < x.size(); ++j) {
      const bool inside = n > 0 && j % incx == 0 && j / incx < static_cast<size_t>(n);
      // A single float product is exact to compare.
      const float want = inside ? alpha * x0[j] : x0[j];
      ASSERT_EQ(x[j], want) << "alpha " << alpha << " position " << j;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(cublas, Sscal,
                         ::testing::Combine(::testing::ValuesIn(lengths),
                                            ::testing::Values(1, 2, 5),
                                            ::testing::Bool()));

TEST_F(cublas, ScalWithNonPositiveIncrementDoesNothing) {
  std::vector<float> x = {1.0f, 2.0f, 3.0f};
  const float alpha = 4.0f;
  for (int inc : {0, -1}) {
    EXPECT_EQ(cublasSscal(handle, 3, &alpha, x.data(), inc), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(cublasScalEx(handle, 3, &alpha, CUDA_R_32F, x.data(), CUDA_R_32F, inc, CUDA_R_32F),
              CUBLAS_STATUS_SUCCESS);
  }
  EXPECT_EQ(x, (std::vector<float>{1.0f, 2.0f, 3.0f}));
}

// n, incx, alpha
class ScalExHalf : public cublas,
                   public ::testing::WithParamInterface<std::tuple<int, int, float>> {};

TEST_P(ScalExHalf, EachElementIsTheFloatProductRoundedToNearestEven) {
  const auto [n, incx, alpha] = GetParam();
  std::mt19937 rng(static_cast<unsigned>(n * 3 + incx) ^ 0x5eedu);
  // Every bit pattern can occur: subnormals, infinities, NaN, signed zeros.
  std::uniform_int_distribution<unsigned> pattern(0, 0xffff);
  std::vector<uint16_t> x0(span(n, incx) + 2);
  for (auto& h : x0) h = static_cast<uint16_t>(pattern(rng));
  if (n >= 7) {
    // Products that overflow, underflow to subnormals, and land on ties.
    const uint16_t chosen[] = {0x7bff, 0x0001, 0x8003, 0x3c01, 0x7c00, 0x0000, 0x8000};
    for (size_t k = 0; k < 7; ++k) x0[k * incx] = chosen[k];
  }
  std::vector<uint16_t> x = x0;
  std::vector<__half> device(x.size());
  for (size_t j = 0; j < x.size(); ++j) device[j] = __ushort_as_half(x[j]);
  ASSERT_EQ(cublasScalEx(handle, n, &alpha, CUDA_R_32F, device.data(), CUDA_R_16F, incx,
                         CUDA_R_32F),
            CUBLAS_STATUS_SUCCESS);
  for (size_t j = 0; j < x.size(); ++j) {
    const bool inside = n > 0 && j % incx == 0 && j / incx < static_cast<size_t>(n);
    const uint16_t got = __half_as_ushort(device[j]);
    if (!inside) {
      ASSERT_EQ(got, x0[j]) << "element outside the vector changed: " << j;
      continue;
    }
    const float product = alpha * static_cast<float>(half_value(x0[j]));
    const uint16_t want = reference_half(product);
    if (half_is_nan(want)) {
      ASSERT_TRUE(half_is_nan(got)) << std::hex << "x 0x" << x0[j] << " got 0x" << got;
    } else {
      ASSERT_EQ(got, want) << std::hex << "x 0x" << x0[j] << " alpha " << alpha;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(cublas, ScalExHalf,
                         ::testing::Combine(::testing::ValuesIn(lengths), ::testing::Values(1, 3),
                                            ::testing::Values(0.5f, -3.0f, 1.0e-3f, 1234.5f,
                                                              0.0f, 1.0f + 1.0f / 2048.0f)));

// The reference rounding must itself give the patterns known from IEEE 754.
TEST(cublasReference, HalfRoundingAgreesWithKnownPatterns) {
  EXPECT_EQ(reference_half(1.0f), 0x3c00);
  EXPECT_EQ(reference_half(-2.0f), 0xc000);
  EXPECT_EQ(reference_half(65504.0f), 0x7bff);
  EXPECT_EQ(reference_half(65519.0f), 0x7bff);
  EXPECT_EQ(reference_half(65520.0f), 0x7c00);
  EXPECT_EQ(reference_half(std::ldexp(1.0f, -24)), 0x0001);
  EXPECT_EQ(reference_half(std::ldexp(1.0f, -25)), 0x0000);
  EXPECT_EQ(reference_half(1.5f * std::ldexp(1.0f, -24)), 0x0002);
  EXPECT_EQ(reference_half(1023.5f * std::ldexp(1.0f, -24)), 0x0400);
  EXPECT_EQ(reference_half(1.0f + std::ldexp(1.0f, -11)), 0x3c00);
  EXPECT_EQ(reference_half(1.0f + 3.0f * std::ldexp(1.0f, -11)), 0x3c02);
  EXPECT_EQ(reference_half(-0.0f), 0x8000);
  for (uint32_t h = 0; h < 0x7c00u; ++h) {
    ASSERT_EQ(reference_half(static_cast<float>(half_value(static_cast<uint16_t>(h)))), h);
  }
}

}  // namespace
