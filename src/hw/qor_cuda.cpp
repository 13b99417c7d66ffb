// The device side of the hardware layer: streams, the cuBLAS handle, working
// buffers and the one-GPU-per-process check.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "qor_check.h"
#include "qor_exception.h"
#include "qor_hw.h"
#include "qor_message.h"

namespace qor {
namespace network {

int qor_hw::greatest_stream_priority() {
  int least = 0;
  int greatest = 0;
  QOR_CHECK_CUDA(cudaDeviceGetStreamPriorityRange(&least, &greatest));
  return greatest;
}

void qor_hw::create_stream(cudaStream_t* stream, int priority) {
  QOR_CHECK_CUDA(cudaStreamCreateWithPriority(stream, cudaStreamNonBlocking, priority));
}

void qor_hw::create_cuda() {
  const int priority = greatest_stream_priority();
  _streams.assign(1, nullptr);
  create_stream(&_streams[0], priority);
  QOR_CHECK_CUBLAS(cublasCreate(&_cublas));
  QOR_CHECK_CUBLAS(cublasSetStream(_cublas, _streams[0]));
  if (_pipe > 0) {
    // The pipelined layer runs two NCCL operations per process of dimension 0.
    const int first = _dim.empty() ? _size : _dim[0]._size;
    _pipe_streams.assign(2 * static_cast<size_t>(first), nullptr);
    for (cudaStream_t& stream : _pipe_streams) create_stream(&stream, priority);
  }
}

// Leaves exactly `count` created streams in _streams: surplus ones are
// drained and destroyed, missing ones created.  Entry 0, the stream of
// _cublas, is never touched.
void qor_hw::resize_streams(size_t count) {
  count = std::max<size_t>(count, 1);
  while (_streams.size() > count) {
    cudaStream_t stream = _streams[count];
    QOR_CHECK_CUDA(cudaStreamSynchronize(stream));
    _streams.erase(_streams.begin() + static_cast<std::ptrdiff_t>(count));
    QOR_CHECK_CUDA(cudaStreamDestroy(stream));
  }
  if (_streams.size() < count) {
    const int priority = greatest_stream_priority();
    while (_streams.size() < count) {
      cudaStream_t stream = nullptr;
      create_stream(&stream, priority);
      _streams.push_back(stream);
    }
  }
}

void qor_hw::clean_cuda_streams(std::vector<int>& rs_algo, std::vector<int>& ag_algo) {
  if (_device < 0) return;  // host-CPU mode has no streams
  size_t need = 1;
  for (size_t d = 0; d < _dim.size(); ++d) {
    const bool nccl_b = (d < rs_algo.size() && rs_algo[d] == ALG_NCCLB) ||
                        (d < ag_algo.size() && ag_algo[d] == ALG_NCCLB);
    if (_multi_stream[d] || nccl_b) {
      _multi_stream[d] = true;
      need = std::max(need, static_cast<size_t>(_dim[d]._size));
    }
  }
  // NCCLB drives one stream per peer; should a dimension be given NCCLB
  // without the streams of enable_nccl, they are made here rather than
  // leaving the engine to index past the list.
  resize_streams(need);
}

void qor_hw::wait_stream(cudaStream_t* streams, int n) {
  for (int i = 0; i < n; ++i) QOR_CHECK_CUDA(cudaStreamSynchronize(streams[i]));
}

void qor_hw::wait_stream(std::vector<cudaStream_t>& streams, int n) {
  // Waiting for more streams than the list holds waits for all of them.
  const int available = static_cast<int>(streams.size());
  wait_stream(streams.data(), std::min(n, available));
}

void qor_hw::malloc(void** ptr, size_t size) {
  if (_device < 0) {
    *ptr = std::malloc(size);
    return;
  }
  QOR_CHECK_CUDA(cudaMalloc(ptr, size));
}

void qor_hw::malloc_init(void** ptr, size_t size, int value) {
  malloc(ptr, size);
  if (_device < 0) {
    // The host allocation is not checked; a null buffer is left unfilled.
    if (*ptr && size > 0) std::memset(*ptr, value, size);
    return;
  }
  // On the engine's stream, not the legacy default stream: its non-blocking
  // streams would not wait for a fill queued there.
  QOR_CHECK_CUDA(cudaMemsetAsync(*ptr, value, size, _streams[0]));
  QOR_CHECK_CUDA(cudaStreamSynchronize(_streams[0]));
}

void qor_hw::copy_and_wait(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind,
                           cudaStream_t stream) {
  QOR_CHECK_CUDA(cudaMemcpyAsync(dst, src, bytes, kind, stream));
  QOR_CHECK_CUDA(cudaStreamSynchronize(stream));
}

void qor_hw::free(void* ptr) {
  if (_device < 0) {
    std::free(ptr);
    return;
  }
  cudaFree(ptr);
}

void qor_hw::copy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind) {
  if (bytes == 0) return;
  if (_device < 0) {
    std::memmove(dst, src, bytes);
    return;
  }
  copy_and_wait(dst, src, bytes, kind, main_stream());
}

void qor_hw::zero(void* ptr, size_t bytes) {
  if (bytes == 0) return;
  if (_device < 0) {
    std::memset(ptr, 0, bytes);
    return;
  }
  // On the engine's stream, which its later work is ordered after.
  cudaError_t error = cudaMemsetAsync(ptr, 0, bytes, main_stream());
  if (error == cudaSuccess) error = cudaStreamSynchronize(main_stream());
  if (error != cudaSuccess) {
    raise(__FILE__, __LINE__, library_failure_status, qor_message::MSG_CUBLAS,
          host_name().c_str(), static_cast<int>(error));
  }
}

void qor_hw::synchronize_device() {
  if (_device >= 0) QOR_CHECK_CUDA(cudaDeviceSynchronize());
}

void qor_hw::check_device() {
  if (_device < 0) return;
  int current = -1;
  QOR_CHECK_CUDA(cudaGetDevice(&current));
  if (current != _device) {
    QOR_LOG_ERROR(qor_message::MSG_MULTI_GPU, host_name().c_str(), current, _device);
    std::exit(1);
  }
}

}  // namespace network
}  // namespace qor
