// Host emulation of the cuBLAS calls libqor makes.  The arithmetic is queued
// on the handle's stream and runs on the host when the stream is
// synchronised, like a kernel; a handle works on the device that was
// current when it was created.
// Increments follow BLAS: axpy walks a negative increment from the far end,
// scal does nothing for a non-positive one.
#include <cstdint>
#include <mutex>
#include <functional>
#include <new>
#include <utility>
#include <unordered_set>

#include "cublas_api.h"
#include "cuda_fp16.h"
#include "emu_state.h"

struct cublasContext {
  cudaStream_t stream;
  int device;
};

namespace {

// Handles are tracked so that a destroyed or made-up handle is refused
// instead of being read.
std::mutex handle_mutex;
std::unordered_set<cublasHandle_t>& handles() {
  static auto* table = new std::unordered_set<cublasHandle_t>();
  return *table;
}

// NOT_INITIALIZED for a null or unknown handle; otherwise its stream.
cublasStatus_t lookup(cublasHandle_t handle, cudaStream_t* stream) {
  if (!handle) return CUBLAS_STATUS_NOT_INITIALIZED;
  std::lock_guard<std::mutex> lock(handle_mutex);
  if (handles().count(handle) == 0) return CUBLAS_STATUS_NOT_INITIALIZED;
  if (stream) *stream = handle->stream;
  return CUBLAS_STATUS_SUCCESS;
}

// Bytes spanned by n elements of `bytes` each at increment inc.
size_t span(int n, int inc, size_t bytes) {
  const size_t stride = static_cast<size_t>(inc < 0 ? -static_cast<long long>(inc) : inc);
  return (static_cast<size_t>(n - 1) * stride + 1) * bytes;
}

// Queues a routine's kernel on the handle's stream.  Work on another device
// than the handle's, or on a stream that is gone, cannot be launched.
cublasStatus_t queue(cublasHandle_t handle, cudaStream_t stream,
                     std::initializer_list<qoremu_buffer> buffers,
                     std::function<void(void* const* views)> body) {
  if (handle->device != qoremu::current_device()) return CUBLAS_STATUS_EXECUTION_FAILED;
  if (qoremu::launch(stream, buffers, std::move(body)) != cudaSuccess) {
    return CUBLAS_STATUS_EXECUTION_FAILED;
  }
  return CUBLAS_STATUS_SUCCESS;
}

bool overlap(const void* a, size_t a_bytes, const void* b, size_t b_bytes) {
  auto pa = reinterpret_cast<uintptr_t>(a);
  auto pb = reinterpret_cast<uintptr_t>(b);
  return pa < pb + b_bytes && pb < pa + a_bytes;
}

// First element touched by BLAS for a vector of n with increment inc.
ptrdiff_t first_index(int n, int inc) {
  return inc >= 0 ? 0 : -static_cast<ptrdiff_t>(n - 1) * inc;
}

// Unit-stride loops on restrict pointers so that gcc -O3 vectorises them.
void axpy_unit(int n, float alpha, const float* __restrict__ x, float* __restrict__ y) {
  for (int i = 0; i < n; ++i) y[i] += alpha * x[i];
}

void scale_unit(int n, float alpha, float* __restrict__ x) {
  for (int i = 0; i < n; ++i) x[i] *= alpha;
}

void scale_half(int n, float alpha, __half* x, int incx) {
  for (int i = 0; i < n; ++i) {
    __half& h = x[static_cast<ptrdiff_t>(i) * incx];
    h = __float2half_rn(alpha * __half2float(h));
  }
}

void scale_float(int n, float alpha, float* x, int incx) {
  if (incx == 1) {
    scale_unit(n, alpha, x);
    return;
  }
  for (int i = 0; i < n; ++i) x[static_cast<ptrdiff_t>(i) * incx] *= alpha;
}

}  // namespace

extern "C" {

cublasStatus_t cublasCreate_v2(cublasHandle_t* handle) {
  if (int injected = qoremu::injected_failure("cublasCreate_v2"))
    return static_cast<cublasStatus_t>(injected);
  if (!handle) return CUBLAS_STATUS_INVALID_VALUE;
  // Without a driver the library cannot initialise.
  if (qoremu::device_count() == 0) return CUBLAS_STATUS_NOT_INITIALIZED;
  auto* created = new (std::nothrow) cublasContext{nullptr, qoremu::current_device()};
  if (!created) return CUBLAS_STATUS_ALLOC_FAILED;
  try {
    std::lock_guard<std::mutex> lock(handle_mutex);
    handles().insert(created);
  } catch (...) {
    delete created;
    return CUBLAS_STATUS_ALLOC_FAILED;
  }
  qoremu::count_up(qoremu::counter::cublas_handles);
  *handle = created;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasDestroy_v2(cublasHandle_t handle) {
  if (int injected = qoremu::injected_failure("cublasDestroy_v2"))
    return static_cast<cublasStatus_t>(injected);
  if (!handle) return CUBLAS_STATUS_NOT_INITIALIZED;
  {
    std::lock_guard<std::mutex> lock(handle_mutex);
    if (handles().erase(handle) == 0) return CUBLAS_STATUS_NOT_INITIALIZED;
  }
  delete handle;
  qoremu::count_down(qoremu::counter::cublas_handles);
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasSetStream_v2(cublasHandle_t handle, cudaStream_t streamId) {
  if (int injected = qoremu::injected_failure("cublasSetStream_v2"))
    return static_cast<cublasStatus_t>(injected);
  if (cublasStatus_t s = lookup(handle, nullptr)) return s;
  if (!qoremu::stream_is_valid(streamId)) return CUBLAS_STATUS_INVALID_VALUE;
  std::lock_guard<std::mutex> lock(handle_mutex);
  handle->stream = streamId;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasGetStream_v2(cublasHandle_t handle, cudaStream_t* streamId) {
  if (int injected = qoremu::injected_failure("cublasGetStream_v2"))
    return static_cast<cublasStatus_t>(injected);
  cudaStream_t stream = nullptr;
  if (cublasStatus_t s = lookup(handle, &stream)) return s;
  if (!streamId) return CUBLAS_STATUS_INVALID_VALUE;
  *streamId = stream;
  return CUBLAS_STATUS_SUCCESS;
}

// Texts as libcublas 13 gives them.  The switch goes through int: any code
// may be asked for, not only the enumerators.
const char* cublasGetStatusString(cublasStatus_t status) {
  switch (static_cast<int>(status)) {
    case CUBLAS_STATUS_SUCCESS: return "success";
    case CUBLAS_STATUS_NOT_INITIALIZED: return "the library was not initialized";
    case CUBLAS_STATUS_ALLOC_FAILED: return "the resource allocation failed";
    case CUBLAS_STATUS_INVALID_VALUE:
      return "an unsupported value or parameter was passed to the function";
    case CUBLAS_STATUS_ARCH_MISMATCH:
      return "the function requires an architectural feature absent from the device";
    case CUBLAS_STATUS_MAPPING_ERROR: return "an access to GPU memory space failed";
    case CUBLAS_STATUS_EXECUTION_FAILED: return "the function failed to launch on the GPU";
    case CUBLAS_STATUS_INTERNAL_ERROR: return "an internal operation failed";
    case CUBLAS_STATUS_NOT_SUPPORTED: return "the requested functionality is not supported";
    case CUBLAS_STATUS_LICENSE_ERROR: return "the license check failed";
  }
  return "unrecognized status";
}

cublasStatus_t cublasSaxpy_v2(cublasHandle_t handle, int n, const float* alpha, const float* x,
                              int incx, float* y, int incy) {
  if (int injected = qoremu::injected_failure("cublasSaxpy_v2"))
    return static_cast<cublasStatus_t>(injected);
  cudaStream_t stream = nullptr;
  if (cublasStatus_t s = lookup(handle, &stream)) return s;
  if (n <= 0) return CUBLAS_STATUS_SUCCESS;
  if (!alpha || !x || !y) return CUBLAS_STATUS_INVALID_VALUE;
  const float a = *alpha;
  const size_t x_bytes = span(n, incx, sizeof(float)), y_bytes = span(n, incy, sizeof(float));
  return queue(handle, stream, {{x, x_bytes}, {y, y_bytes}}, [=](void* const* views) {
    const float* vx = static_cast<const float*>(views[0]);
    float* vy = static_cast<float*>(views[1]);
    if (incx == 1 && incy == 1 && !overlap(vx, x_bytes, vy, y_bytes)) {
      axpy_unit(n, a, vx, vy);
      return;
    }
    const ptrdiff_t kx = first_index(n, incx);
    const ptrdiff_t ky = first_index(n, incy);
    for (int i = 0; i < n; ++i) {
      vy[ky + static_cast<ptrdiff_t>(i) * incy] += a * vx[kx + static_cast<ptrdiff_t>(i) * incx];
    }
  });
}

cublasStatus_t cublasSscal_v2(cublasHandle_t handle, int n, const float* alpha, float* x,
                              int incx) {
  if (int injected = qoremu::injected_failure("cublasSscal_v2"))
    return static_cast<cublasStatus_t>(injected);
  cudaStream_t stream = nullptr;
  if (cublasStatus_t s = lookup(handle, &stream)) return s;
  if (n <= 0 || incx <= 0) return CUBLAS_STATUS_SUCCESS;
  if (!alpha || !x) return CUBLAS_STATUS_INVALID_VALUE;
  const float a = *alpha;
  return queue(handle, stream, {{x, span(n, incx, sizeof(float))}},
               [=](void* const* views) { scale_float(n, a, static_cast<float*>(views[0]), incx); });
}

cublasStatus_t cublasScalEx(cublasHandle_t handle, int n, const void* alpha,
                            cudaDataType alphaType, void* x, cudaDataType xType, int incx,
                            cudaDataType executionType) {
  if (int injected = qoremu::injected_failure("cublasScalEx"))
    return static_cast<cublasStatus_t>(injected);
  cudaStream_t stream = nullptr;
  if (cublasStatus_t s = lookup(handle, &stream)) return s;
  // Float scale and float arithmetic over float or binary16 data: the
  // combinations libqor uses.
  if (alphaType != CUDA_R_32F || executionType != CUDA_R_32F ||
      (xType != CUDA_R_32F && xType != CUDA_R_16F)) {
    return CUBLAS_STATUS_NOT_SUPPORTED;
  }
  if (n <= 0 || incx <= 0) return CUBLAS_STATUS_SUCCESS;
  if (!alpha || !x) return CUBLAS_STATUS_INVALID_VALUE;
  const float a = *static_cast<const float*>(alpha);
  const size_t bytes = span(n, incx, xType == CUDA_R_32F ? sizeof(float) : sizeof(__half));
  return queue(handle, stream, {{x, bytes}}, [=](void* const* views) {
    if (xType == CUDA_R_32F) {
      scale_float(n, a, static_cast<float*>(views[0]), incx);
    } else {
      // Each element: widen, multiply in float, round back to nearest even.
      scale_half(n, a, static_cast<__half*>(views[0]), incx);
    }
  });
}

}  // extern "C"
