// Process-wide state shared by the emulated CUDA runtime, cuBLAS and NCCL:
// devices, device memory, streams and their queued work, live-object
// counters and one-shot failure injection for tests.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

#include "cuda_runtime.h"
#include "gpu_emu_kernel.h"

namespace qoremu {

enum class counter { device_allocations, host_allocations, streams, cublas_handles, nccl_comms };

void count_up(counter c);
void count_down(counter c);
size_t live(counter c);

// Returns the injected error code for `function` when one is due, else 0.
int injected_failure(const char* function);

// Appends NCCL_RINGS as the calling ncclCommInitRank sees it to the log that
// qoremu_nccl_rings_at() reads.
void record_nccl_rings();

// ------------------------------------------------------------- devices ----

// Devices this process sees: the physical ones (QOR_EMU_DEVICE_COUNT,
// default 8, read at every call so that tests can change it) filtered and
// renumbered by CUDA_VISIBLE_DEVICES as the real runtime does.
int device_count();
// Physical ordinal of visible device `device`, or -1.
int physical_device(int device);
// The calling thread's current device (0 until it sets one).
int current_device();
void set_current_device(int device);

// Records a failure as this thread's last error, as the runtime does, and
// returns it.
cudaError_t finish(cudaError_t error);
// Reads (and with `clear`, resets) this thread's last error.
cudaError_t last_error(bool clear);

// What every device call checks first: an injected failure for `function`,
// a driver at all, and the fork rule (a child forked after its parent used
// CUDA cannot use it).  cudaSuccess when the call may go on.
cudaError_t enter(const char* function);

// --------------------------------------------------------------- memory ----

enum class memory_kind { device, pinned_host };

// Allocation and release of device memory (an address range the host
// cannot touch, backed by an alias only the emulation reads and writes) and
// of pinned host memory (ordinary host memory, registered).
cudaError_t allocate(void** ptr, size_t size, memory_kind kind);
cudaError_t release(void* ptr, memory_kind kind);
// Releases all device memory of visible device `device` (cudaDeviceReset).
void release_device_memory(int device);

// Where a pointer lives.  `freed_device` is a device range released not
// long ago: host code faults on it and the emulation refuses it.
enum class location { host, pinned_host, device, freed_device };
location where(const void* ptr);
// The alias through which the emulation reads and writes [ptr, ptr+bytes)
// of device memory, with the visible device that owns it; nullptr when the
// range is not inside one live device allocation.  0 bytes gives ptr.
void* device_view(const void* ptr, size_t bytes, int* device = nullptr);

// -------------------------------------------------------------- streams ----

// The stream a handle stands for: the null handle is the current device's
// legacy default stream.  nullptr for a handle that was never created or
// has been destroyed.
CUstream_st* resolve_stream(cudaStream_t stream);
int stream_device(const CUstream_st* stream);
bool stream_is_valid(cudaStream_t stream);
// resolve_stream() as a runtime result: cudaErrorInvalidResourceHandle for
// a handle that stands for no stream.
cudaError_t lookup_stream(cudaStream_t handle, CUstream_st** out);

// Work runs later, when a synchronisation needs it, with the ordering rules
// of the real runtime: in order on its stream; the legacy default stream
// waits for earlier work of the blocking streams of its device, and they
// wait for its earlier work.  A failing item records its error on the
// stream; the next synchronisation of that stream returns it.
using work = std::function<cudaError_t()>;
cudaError_t enqueue(CUstream_st* stream, work item);
// Runs everything that work queued now on `stream` would wait for, and
// returns the stream's recorded error (cleared).
cudaError_t drain(CUstream_st* stream);
// Runs everything that work queued now on `stream` would wait for, leaving
// recorded errors for the next synchronisation.
void complete_queued(CUstream_st* stream);
// Runs all queued work of visible device `device`.
cudaError_t drain_device(int device);
// True while `stream` has queued work (cudaStreamQuery).
bool busy(CUstream_st* stream);
// Queues a kernel's body on `stream` (see qoremu_launch), without the
// launch's failure injection; cuBLAS launches its kernels through it.
cudaError_t launch(cudaStream_t stream, std::initializer_list<qoremu_buffer> buffers,
                   std::function<void(void* const* views)> body);
// Drops the queued work and the streams of visible device `device`.
void destroy_device_streams(int device);

}  // namespace qoremu
