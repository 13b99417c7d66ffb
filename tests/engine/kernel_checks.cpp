#include "kernel_checks.h"

#include <cublas_v2.h>
#include <cuda_fp16.h>
#include <cuda_runtime.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

#include "qor_sw_kernels.h"

namespace kernel_checks {

namespace {

using qor::network::launch_borxy;
using qor::network::launch_hxpy;
using qor::network::launch_sxpy;

// Elements past n that every launch must leave alone.
constexpr size_t guard = 300;

const std::vector<int> lengths = {0, 1, 255, 256, 257, 1000, 4097, (1 << 22) + 3};

std::string text_of(cudaError_t e) { return cudaGetErrorString(e); }

// A device copy of `host`; owns its memory.
template <class T>
class device_array {
 public:
  explicit device_array(const std::vector<T>& host) : _n(host.size()) {
    _error = cudaMalloc(reinterpret_cast<void**>(&_ptr), _n * sizeof(T));
    if (_error == cudaSuccess) {
      _error = cudaMemcpy(_ptr, host.data(), _n * sizeof(T), cudaMemcpyHostToDevice);
    }
  }
  ~device_array() {
    if (_ptr) cudaFree(_ptr);
  }
  device_array(const device_array&) = delete;
  device_array& operator=(const device_array&) = delete;
  T* get() const { return _ptr; }
  cudaError_t error() const { return _error; }
  cudaError_t read(std::vector<T>& host) const {
    host.resize(_n);
    return cudaMemcpy(host.data(), _ptr, _n * sizeof(T), cudaMemcpyDeviceToHost);
  }

 private:
  size_t _n;
  T* _ptr = nullptr;
  cudaError_t _error = cudaSuccess;
};

template <class T>
bool same_bits(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// y' must equal expect(i) for i < n and y for the guard; x must be unchanged.
template <class T, class Expect>
std::string compare(const std::vector<T>& x, const std::vector<T>& y, const std::vector<T>& x_after,
                    const std::vector<T>& y_after, int n, Expect expect) {
  for (size_t i = 0; i < y.size(); ++i) {
    const T want = static_cast<int>(i) < n ? expect(x[i], y[i]) : y[i];
    if (!same_bits(y_after[i], want)) {
      return std::string(static_cast<int>(i) < n ? "element " : "guard element ") +
             std::to_string(i) + " differs from the host reference";
    }
    if (!same_bits(x_after[i], x[i])) return "x changed at element " + std::to_string(i);
  }
  return "";
}

// One launch over random data: fills x and y, runs `launch` on a fresh
// stream, synchronises and compares with the host reference.
template <class T, class Fill, class Launch, class Expect>
outcome check(const std::string& name, int n, std::mt19937& rng, Fill fill, Launch launch,
              Expect expect) {
  outcome out{name + " n=" + std::to_string(n), false, ""};
  std::vector<T> x(static_cast<size_t>(n) + guard), y(static_cast<size_t>(n) + guard);
  for (auto& v : x) v = fill(rng);
  for (auto& v : y) v = fill(rng);
  device_array<T> dx(x), dy(y);
  if (dx.error() != cudaSuccess || dy.error() != cudaSuccess) {
    out.detail = "device buffers: " + text_of(dx.error() != cudaSuccess ? dx.error() : dy.error());
    return out;
  }
  cudaStream_t stream = nullptr;
  cudaError_t e = cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking);
  if (e != cudaSuccess) {
    out.detail = "cudaStreamCreateWithFlags: " + text_of(e);
    return out;
  }
  out.detail = launch(stream, n, dx.get(), dy.get());
  if (out.detail.empty()) {
    e = cudaStreamSynchronize(stream);
    if (e != cudaSuccess) out.detail = "cudaStreamSynchronize: " + text_of(e);
  }
  cudaStreamDestroy(stream);
  if (!out.detail.empty()) return out;
  std::vector<T> x_after, y_after;
  if ((e = dx.read(x_after)) != cudaSuccess || (e = dy.read(y_after)) != cudaSuccess) {
    out.detail = "reading back: " + text_of(e);
    return out;
  }
  out.detail = compare(x, y, x_after, y_after, n, expect);
  out.passed = out.detail.empty();
  return out;
}

// Finite binary16 values of both signs and many magnitudes, so sums round.
__half random_half(std::mt19937& rng) {
  std::uniform_real_distribution<float> value(-1000.0f, 1000.0f);
  std::uniform_int_distribution<int> scale(-12, 0);
  return __float2half(std::ldexp(value(rng), scale(rng)));
}

float random_float(std::mt19937& rng) {
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::uniform_int_distribution<int> scale(-20, 20);
  return std::ldexp(value(rng), scale(rng));
}

template <class I>
I random_bits(std::mt19937& rng) {
  return static_cast<I>(rng());
}

}  // namespace

std::vector<outcome> run_all(unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<outcome> all;
  for (int n : lengths) {
    all.push_back(check<__half>(
        "hxpy", n, rng, random_half,
        [](cudaStream_t s, int m, __half* x, __half* y) {
          launch_hxpy(s, m, x, y);
          return std::string();
        },
        // The sum rounded once to binary16.
        [](__half x, __half y) { return __float2half_rn(__half2float(y) + __half2float(x)); }));
    all.push_back(check<short>(
        "borxy<short>", n, rng, random_bits<short>,
        [](cudaStream_t s, int m, short* x, short* y) {
          launch_borxy<short>(s, m, x, y);
          return std::string();
        },
        [](short x, short y) { return static_cast<short>(x | y); }));
    all.push_back(check<int>(
        "borxy<int>", n, rng, random_bits<int>,
        [](cudaStream_t s, int m, int* x, int* y) {
          launch_borxy<int>(s, m, x, y);
          return std::string();
        },
        [](int x, int y) { return x | y; }));
    all.push_back(check<float>(
        "sxpy", n, rng, random_float,
        [](cudaStream_t s, int m, float* x, float* y) {
          launch_sxpy(s, m, x, y);
          return std::string();
        },
        [](float x, float y) { return y + x; }));
    // The engine's float sum: axpy with alpha 1 on a handle bound to the
    // stream; one rounding, so it equals the plain float sum.
    all.push_back(check<float>(
        "cublasSaxpy_v2", n, rng, random_float,
        [](cudaStream_t s, int m, float* x, float* y) {
          cublasHandle_t handle = nullptr;
          if (cublasCreate(&handle) != CUBLAS_STATUS_SUCCESS) return std::string("cublasCreate");
          const float one = 1.0f;
          std::string failed;
          if (cublasSetStream(handle, s) != CUBLAS_STATUS_SUCCESS) {
            failed = "cublasSetStream";
          } else if (cublasStatus_t st = cublasSaxpy_v2(handle, m, &one, x, 1, y, 1)) {
            failed = "cublasSaxpy_v2 returned " + std::to_string(static_cast<int>(st));
          }
          cublasDestroy(handle);
          return failed;
        },
        [](float x, float y) { return y + x; }));
  }
  // The bitwise OR works on raw patterns: 1.0 OR -0.0 is -1.0, in both widths.
  {
    std::vector<float> x = {-0.0f}, y = {1.0f};
    outcome o{"borxy<int> 1.0|-0.0", false, ""};
    device_array<float> dx(x), dy(y);
    cudaError_t e = dx.error() != cudaSuccess ? dx.error() : dy.error();
    if (e == cudaSuccess) {
      launch_borxy<int>(nullptr, 1, reinterpret_cast<int*>(dx.get()), reinterpret_cast<int*>(dy.get()));
      e = cudaStreamSynchronize(nullptr);
    }
    std::vector<float> got;
    if (e == cudaSuccess) e = dy.read(got);
    if (e != cudaSuccess) {
      o.detail = text_of(e);
    } else {
      o.passed = got[0] == -1.0f;
      if (!o.passed) o.detail = "got " + std::to_string(got[0]);
    }
    all.push_back(o);
  }
  {
    std::vector<__half> x = {__ushort_as_half(0x8000)}, y = {__float2half(1.0f)};
    outcome o{"borxy<short> 1.0|-0.0", false, ""};
    device_array<__half> dx(x), dy(y);
    cudaError_t e = dx.error() != cudaSuccess ? dx.error() : dy.error();
    if (e == cudaSuccess) {
      launch_borxy<short>(nullptr, 1, reinterpret_cast<short*>(dx.get()),
                          reinterpret_cast<short*>(dy.get()));
      e = cudaStreamSynchronize(nullptr);
    }
    std::vector<__half> got;
    if (e == cudaSuccess) e = dy.read(got);
    if (e != cudaSuccess) {
      o.detail = text_of(e);
    } else {
      o.passed = __half2float(got[0]) == -1.0f;
      if (!o.passed) o.detail = "got " + std::to_string(__half2float(got[0]));
    }
    all.push_back(o);
  }
  return all;
}

}  // namespace kernel_checks
