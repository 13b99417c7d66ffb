// How the emulated flavour runs the library's kernels: the kernel launch
// file hands the device buffers a kernel reads and writes, and its body,
// to qoremu_launch.  The body is queued on the stream like any GPU work and
// later runs on the emulation's views of those buffers.
#ifndef QOR_GPU_EMU_GPU_EMU_KERNEL_H
#define QOR_GPU_EMU_GPU_EMU_KERNEL_H

#include <cstddef>
#include <functional>
#include <initializer_list>

#include "cuda_runtime.h"

struct qoremu_buffer {
  const void* device;
  size_t bytes;
};

// As a kernel launch: a launch that cannot start (an injected
// "cudaLaunchKernel" failure, a stream that does not exist or belongs to
// another device) sets the thread's last error and queues nothing; a
// buffer that is not device memory of the stream's device makes the kernel
// fail when it runs, with cudaErrorIllegalAddress at the next
// synchronisation of the stream.
cudaError_t qoremu_launch(cudaStream_t stream, std::initializer_list<qoremu_buffer> buffers,
                          std::function<void(void* const* views)> body);

#endif  // QOR_GPU_EMU_GPU_EMU_KERNEL_H
