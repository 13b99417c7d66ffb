// Folding a received block into the buffer: y = y OP x, synchronous, so the
// traversal may send the block onward (and reuse x) as soon as it returns.
#include <type_traits>

#include "qor_check.h"
#include "qor_exception.h"
#include "qor_message.h"
#include "qor_report_lines.h"
#include "qor_sw.h"
#include "qor_sw_host_sum.h"
#include "qor_sw_kernels.h"

namespace qor {
namespace network {

// The loader runs a clone's resolver before ThreadSanitizer's runtime has
// started, and the instrumented resolver crashes there: one version then.
#if defined(__SANITIZE_THREAD__)
#define QOR_HOST_SUM_CLONES
#else
#define QOR_HOST_SUM_CLONES __attribute__((target_clones("avx2", "default")))
#endif

// Restrict pointers and unit stride let gcc -O3 turn these into packed
// adds.  Blocks that fit in cache are summed faster with 256-bit adds, so an
// AVX2 clone is built beside the baseline one and the loader picks it where
// the processor has AVX2.
QOR_HOST_SUM_CLONES void host_sum(int n, const float* __restrict x, float* __restrict y) {
  for (int i = 0; i < n; ++i) y[i] += x[i];
}

QOR_HOST_SUM_CLONES void host_add(int n, const float* __restrict a, const float* __restrict b,
                                  float* __restrict out) {
  for (int i = 0; i < n; ++i) out[i] = a[i] + b[i];
}

// A copy the compiler keeps as a loop of vector moves: the string-move
// instruction a library copy picks for blocks of this size is several
// times slower where a peer process reads the lines being written.
__attribute__((optimize("no-tree-loop-distribute-patterns"))) QOR_HOST_SUM_CLONES void host_copy(
    int n, const float* __restrict x, float* __restrict y) {
  for (int i = 0; i < n; ++i) y[i] = x[i];
}

namespace {

template <class I>
void host_or(int n, const I* __restrict x, I* __restrict y) {
  for (int i = 0; i < n; ++i) y[i] = static_cast<I>(y[i] | x[i]);
}

void synchronise(cudaStream_t stream, int line) {
  if (cudaStreamSynchronize(stream) != cudaSuccess) raise_cuda(__FILE__, line);
}

}  // namespace

template <class T>
template <OPR OP>
void qor_sw<T>::reduce_op(cudaStream_t& stream, int n, T* x, T* y, int step) {
  static_assert(OP != QOR_MDR_NONE, "a plain transfer has nothing to reduce");
  static_assert(std::is_same<T, float>::value || std::is_same<T, __half>::value,
                "the engine runs on float and __half");
  (void)step;
  constexpr bool is_float = std::is_same<T, float>::value;
  if constexpr (OP == QOR_MDR_HOST_SUM) {
    if constexpr (is_float) {
      host_sum(n, x, y);
    } else {
      // Only float has a host sum; a half layer without a GPU that ends up
      // here must fail in order rather than leave the block unreduced.
      raise_half_unsupported(__FILE__, __LINE__);
    }
  } else if constexpr (OP == QOR_MDR_SUM) {
    if constexpr (is_float) {
      cublasStatus_t status = cublasSaxpy_v2(_hw->_cublas, n, &QOR_ONE, x, 1, y, 1);
      if (status != CUBLAS_STATUS_SUCCESS) raise_cublas(__FILE__, report_line::saxpy_failed, status);
      // cuBLAS works on its handle's stream, whatever `stream` is.
      cudaStream_t cublas_stream = nullptr;
      status = cublasGetStream_v2(_hw->_cublas, &cublas_stream);
      if (status != CUBLAS_STATUS_SUCCESS) raise_cublas(__FILE__, __LINE__, status);
      synchronise(cublas_stream, report_line::saxpy_sync);
    } else {
      launch_hxpy(stream, n, x, y);
      check_launch(__FILE__, __LINE__);
      synchronise(stream, report_line::hxpy_sync);
    }
  } else if constexpr (OP == QOR_MDR_BOR) {
    if (_hw->_device < 0) {
      // Host-CPU mode: the buffers are host memory, which kernels cannot read.
      using I = typename std::conditional<is_float, int, short>::type;
      host_or(n, reinterpret_cast<const I*>(x), reinterpret_cast<I*>(y));
    } else if constexpr (is_float) {
      static_assert(sizeof(int) == sizeof(float), "float bit patterns are ORed as int");
      launch_borxy<int>(stream, n, reinterpret_cast<int*>(x), reinterpret_cast<int*>(y));
      check_launch(__FILE__, __LINE__);
      synchronise(stream, report_line::bor_float_sync);
    } else {
      static_assert(sizeof(short) == sizeof(__half), "half bit patterns are ORed as short");
      launch_borxy<short>(stream, n, reinterpret_cast<short*>(x), reinterpret_cast<short*>(y));
      check_launch(__FILE__, __LINE__);
      synchronise(stream, report_line::bor_half_sync);
    }
  }
}

template void qor_sw<float>::reduce_op<QOR_MDR_SUM>(cudaStream_t&, int, float*, float*, int);
template void qor_sw<float>::reduce_op<QOR_MDR_BOR>(cudaStream_t&, int, float*, float*, int);
template void qor_sw<float>::reduce_op<QOR_MDR_HOST_SUM>(cudaStream_t&, int, float*, float*,
                                                         int);
template void qor_sw<__half>::reduce_op<QOR_MDR_SUM>(cudaStream_t&, int, __half*, __half*, int);
template void qor_sw<__half>::reduce_op<QOR_MDR_BOR>(cudaStream_t&, int, __half*, __half*, int);
template void qor_sw<__half>::reduce_op<QOR_MDR_HOST_SUM>(cudaStream_t&, int, __half*, __half*,
                                                          int);

}  // namespace network
}  // namespace qor
