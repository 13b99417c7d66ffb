// Host emulation of the CUDA runtime calls libqor makes, as strict as a GPU
// where it matters: device memory the host cannot touch (emu_memory.cpp),
// work that runs later in stream order (emu_streams.cpp), devices bound to
// threads and work bound to devices (emu_devices.cpp).  Every entry point
// first asks whether it must fail (an injected failure, no driver, a forked
// child), so that tests can reach the library's error paths.
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "cuda_runtime.h"
#include "emu_state.h"
#include "gpu_emu_kernel.h"

using qoremu::enter;
using qoremu::finish;
using qoremu::location;

namespace {

bool valid_copy_kind(cudaMemcpyKind kind) {
  int k = static_cast<int>(kind);
  return k >= static_cast<int>(cudaMemcpyHostToHost) && k <= static_cast<int>(cudaMemcpyDefault);
}

// One side of a copy: where it lives, and whether the host may read it at
// any time (pinned) or only during the call (pageable).
struct side {
  const void* ptr;
  location at;
  bool device() const { return at == location::device; }
  bool pinned() const { return at == location::pinned_host; }
};

// Checks a copy against where its pointers really live: the kind must
// match (cudaMemcpyDefault takes it from the pointers), device ranges must
// lie inside one live allocation, and released device memory is refused.
cudaError_t check_copy(const side& dst, const side& src, size_t count, cudaMemcpyKind kind) {
  if (!valid_copy_kind(kind)) return cudaErrorInvalidMemcpyDirection;
  if (dst.at == location::freed_device || src.at == location::freed_device)
    return cudaErrorInvalidValue;
  if (kind != cudaMemcpyDefault) {
    const bool dst_device = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    const bool src_device = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    if (dst_device != dst.device() || src_device != src.device()) return cudaErrorInvalidValue;
  }
  if (dst.device() && !qoremu::device_view(dst.ptr, count)) return cudaErrorInvalidValue;
  if (src.device() && !qoremu::device_view(src.ptr, count)) return cudaErrorInvalidValue;
  return cudaSuccess;
}

// The bytes of a copy, read and written through the emulation's views at
// the time the copy runs; memory released since then is an illegal address.
cudaError_t move_bytes(void* dst, const void* src, size_t count) {
  void* to = qoremu::where(dst) == location::device ? qoremu::device_view(dst, count) : dst;
  const void* from = qoremu::where(src) == location::device ? qoremu::device_view(src, count) : src;
  if (!to || !from) return cudaErrorIllegalAddress;
  std::memmove(to, from, count);
  return cudaSuccess;
}

// Whether the runtime finishes a copy before returning: a copy to host
// memory does, unless cudaMemcpyAsync fills pinned memory from the device;
// a copy to the device does only from pinned memory through cudaMemcpy.
bool completes_at_call(const side& to, const side& from, bool async) {
  if (!to.device()) return !(async && to.pinned() && from.device());
  return !from.device() && from.pinned() && !async;
}

// A copy on `stream`, with the runtime's host synchronisation: copies to the
// host and between host buffers return when done; a pageable source is
// read during the call (staged); the rest is queued.  `async` is the
// cudaMemcpyAsync form, which leaves copies with pinned memory queued.
cudaError_t copy(void* dst, const void* src, size_t count, cudaMemcpyKind kind, CUstream_st* stream,
                 bool async) {
  if (count == 0) return valid_copy_kind(kind) ? cudaSuccess : cudaErrorInvalidMemcpyDirection;
  if (!dst || !src) return cudaErrorInvalidValue;
  const side to{dst, qoremu::where(dst)}, from{src, qoremu::where(src)};
  if (cudaError_t e = check_copy(to, from, count, kind)) return e;
  if (completes_at_call(to, from, async)) {
    if (cudaError_t e = qoremu::drain(stream)) return e;
    return move_bytes(dst, src, count);
  }
  if (to.device() && !from.device() && !from.pinned()) {
    // Staged: the caller may reuse a pageable source as soon as we return.
    auto staged = std::make_shared<std::vector<char>>(static_cast<const char*>(src),
                                                      static_cast<const char*>(src) + count);
    return qoremu::enqueue(stream,
                           [dst, staged, count] { return move_bytes(dst, staged->data(), count); });
  }
  return qoremu::enqueue(stream, [dst, src, count] { return move_bytes(dst, src, count); });
}

cudaError_t fill(void* ptr, int value, size_t count, CUstream_st* stream) {
  if (count == 0) return cudaSuccess;
  if (!ptr || !qoremu::device_view(ptr, count)) return cudaErrorInvalidValue;
  return qoremu::enqueue(stream, [ptr, value, count] {
    void* view = qoremu::device_view(ptr, count);
    if (!view) return cudaErrorIllegalAddress;
    std::memset(view, static_cast<unsigned char>(value), count);
    return cudaSuccess;
  });
}

}  // namespace

namespace qoremu {

cudaError_t launch(cudaStream_t stream, std::initializer_list<qoremu_buffer> buffers,
                   std::function<void(void* const* views)> body) {
  CUstream_st* s = resolve_stream(stream);
  // A kernel cannot run on a stream of another device.
  if (!s || stream_device(s) != current_device()) return cudaErrorInvalidResourceHandle;
  std::vector<qoremu_buffer> args(buffers);
  const int device = stream_device(s);
  return enqueue(s, [args, device, body] {
    std::vector<void*> views;
    for (const qoremu_buffer& b : args) {
      // A kernel that touches no byte of a buffer cannot fault on it.
      if (b.bytes == 0) {
        views.push_back(nullptr);
        continue;
      }
      int owner = -1;
      void* view = device_view(b.device, b.bytes, &owner);
      // Host memory, memory released since the launch, or memory of another
      // device: the kernel faults.
      if (!view || owner != device) return cudaErrorIllegalAddress;
      views.push_back(view);
    }
    body(views.data());
    return cudaSuccess;
  });
}

}  // namespace qoremu

cudaError_t qoremu_launch(cudaStream_t stream, std::initializer_list<qoremu_buffer> buffers,
                          std::function<void(void* const* views)> body) {
  // A launch that fails sets the last error, as the runtime does; the
  // launch itself has no return value to carry it.
  if (cudaError_t e = enter("cudaLaunchKernel")) return finish(e);
  return finish(qoremu::launch(stream, buffers, std::move(body)));
}

extern "C" {

cudaError_t cudaGetDeviceCount(int* count) {
  if (cudaError_t e = enter("cudaGetDeviceCount")) {
    if (count && e == cudaErrorInsufficientDriver) *count = 0;
    return finish(e);
  }
  if (!count) return finish(cudaErrorInvalidValue);
  *count = qoremu::device_count();
  return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
  if (cudaError_t e = enter("cudaSetDevice")) return finish(e);
  if (device < 0 || device >= qoremu::device_count()) return finish(cudaErrorInvalidDevice);
  qoremu::set_current_device(device);
  return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
  if (cudaError_t e = enter("cudaGetDevice")) return finish(e);
  if (!device) return finish(cudaErrorInvalidValue);
  *device = qoremu::current_device();
  return cudaSuccess;
}

cudaError_t cudaDeviceReset(void) {
  if (cudaError_t e = enter("cudaDeviceReset")) return finish(e);
  // Like the runtime, release everything this process created on the
  // current device: queued work, streams and memory.  Pinned host memory
  // belongs to no device and stays.
  qoremu::destroy_device_streams(qoremu::current_device());
  qoremu::release_device_memory(qoremu::current_device());
  return cudaSuccess;
}

cudaError_t cudaGetLastError(void) {
  // An injected result is returned as it is and leaves the recorded error.
  if (int injected = qoremu::injected_failure("cudaGetLastError"))
    return static_cast<cudaError_t>(injected);
  return qoremu::last_error(true);
}

cudaError_t cudaPeekAtLastError(void) {
  if (int injected = qoremu::injected_failure("cudaPeekAtLastError"))
    return static_cast<cudaError_t>(injected);
  return qoremu::last_error(false);
}

// Texts as libcudart 13 gives them.
// The switches go through int: a code outside the enumerators is a valid
// argument here and must not be an out-of-range enum value.
const char* cudaGetErrorString(cudaError_t error) {
  switch (static_cast<int>(error)) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInitializationError: return "initialization error";
    case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
    case cudaErrorInsufficientDriver:
      return "CUDA driver version is insufficient for CUDA runtime version";
    case cudaErrorNoDevice: return "no CUDA-capable device is detected";
    case cudaErrorInvalidDevice: return "invalid device ordinal";
    case cudaErrorInvalidResourceHandle: return "invalid resource handle";
    case cudaErrorNotReady: return "device not ready";
    case cudaErrorLaunchFailure: return "unspecified launch failure";
    case cudaErrorLaunchOutOfResources: return "too many resources requested for launch";
    case cudaErrorIllegalAddress: return "an illegal memory access was encountered";
    case cudaErrorInvalidConfiguration: return "invalid configuration argument";
    case cudaErrorNotSupported: return "operation not supported";
    case cudaErrorUnknown: return "unknown error";
  }
  return "unrecognized error code";
}

const char* cudaGetErrorName(cudaError_t error) {
  switch (static_cast<int>(error)) {
    case cudaSuccess: return "cudaSuccess";
    case cudaErrorInvalidValue: return "cudaErrorInvalidValue";
    case cudaErrorMemoryAllocation: return "cudaErrorMemoryAllocation";
    case cudaErrorInitializationError: return "cudaErrorInitializationError";
    case cudaErrorInvalidMemcpyDirection: return "cudaErrorInvalidMemcpyDirection";
    case cudaErrorInsufficientDriver: return "cudaErrorInsufficientDriver";
    case cudaErrorNoDevice: return "cudaErrorNoDevice";
    case cudaErrorInvalidDevice: return "cudaErrorInvalidDevice";
    case cudaErrorInvalidResourceHandle: return "cudaErrorInvalidResourceHandle";
    case cudaErrorNotReady: return "cudaErrorNotReady";
    case cudaErrorLaunchFailure: return "cudaErrorLaunchFailure";
    case cudaErrorLaunchOutOfResources: return "cudaErrorLaunchOutOfResources";
    case cudaErrorIllegalAddress: return "cudaErrorIllegalAddress";
    case cudaErrorInvalidConfiguration: return "cudaErrorInvalidConfiguration";
    case cudaErrorNotSupported: return "cudaErrorNotSupported";
    case cudaErrorUnknown: return "cudaErrorUnknown";
  }
  return "unrecognized error code";
}

cudaError_t cudaMalloc(void** devPtr, size_t size) {
  if (cudaError_t e = enter("cudaMalloc")) return finish(e);
  return finish(qoremu::allocate(devPtr, size, qoremu::memory_kind::device));
}

cudaError_t cudaFree(void* devPtr) {
  if (cudaError_t e = enter("cudaFree")) return finish(e);
  // cudaFree waits for the device: queued work may still use the memory.
  qoremu::drain_device(qoremu::current_device());
  return finish(qoremu::release(devPtr, qoremu::memory_kind::device));
}

cudaError_t cudaMallocHost(void** ptr, size_t size) {
  if (cudaError_t e = enter("cudaMallocHost")) return finish(e);
  return finish(qoremu::allocate(ptr, size, qoremu::memory_kind::pinned_host));
}

cudaError_t cudaFreeHost(void* ptr) {
  if (cudaError_t e = enter("cudaFreeHost")) return finish(e);
  qoremu::drain_device(qoremu::current_device());
  return finish(qoremu::release(ptr, qoremu::memory_kind::pinned_host));
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind) {
  if (cudaError_t e = enter("cudaMemcpy")) return finish(e);
  return finish(copy(dst, src, count, kind, qoremu::resolve_stream(nullptr), false));
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind,
                            cudaStream_t stream) {
  if (cudaError_t e = enter("cudaMemcpyAsync")) return finish(e);
  CUstream_st* s = nullptr;
  if (cudaError_t e = qoremu::lookup_stream(stream, &s)) return finish(e);
  return finish(copy(dst, src, count, kind, s, true));
}

cudaError_t cudaMemset(void* devPtr, int value, size_t count) {
  if (cudaError_t e = enter("cudaMemset")) return finish(e);
  // Queued on the legacy default stream: cudaMemset of device memory does
  // not wait for the fill.
  return finish(fill(devPtr, value, count, qoremu::resolve_stream(nullptr)));
}

cudaError_t cudaMemsetAsync(void* devPtr, int value, size_t count, cudaStream_t stream) {
  if (cudaError_t e = enter("cudaMemsetAsync")) return finish(e);
  CUstream_st* s = nullptr;
  if (cudaError_t e = qoremu::lookup_stream(stream, &s)) return finish(e);
  return finish(fill(devPtr, value, count, s));
}

cudaError_t cudaPointerGetAttributes(struct cudaPointerAttributes* attributes, const void* ptr) {
  if (cudaError_t e = enter("cudaPointerGetAttributes")) return finish(e);
  if (!attributes) return finish(cudaErrorInvalidValue);
  // Memory the runtime does not know is not an error: it is unregistered.
  *attributes =
      cudaPointerAttributes{cudaMemoryTypeUnregistered, -1, nullptr, const_cast<void*>(ptr)};
  switch (qoremu::where(ptr)) {
    case location::device:
      qoremu::device_view(ptr, 0, &attributes->device);
      *attributes = cudaPointerAttributes{cudaMemoryTypeDevice, attributes->device,
                                          const_cast<void*>(ptr), nullptr};
      break;
    case location::pinned_host:
      *attributes = cudaPointerAttributes{cudaMemoryTypeHost, qoremu::current_device(),
                                          const_cast<void*>(ptr), const_cast<void*>(ptr)};
      break;
    case location::freed_device:
      return finish(cudaErrorInvalidValue);
    case location::host:
      break;
  }
  return cudaSuccess;
}

}  // extern "C"
