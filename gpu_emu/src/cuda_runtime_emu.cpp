// Host emulation of the CUDA runtime calls libqor makes.  Device memory is
// host memory, copies are memmove, and asynchronous work runs at the call, so
// the order of work on a stream holds trivially.  Every entry point first asks
// the failure injection whether it must fail, so tests can reach the library's
// error paths, then fails as a driver-less host does when no device is
// emulated.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cuda_runtime.h"
#include "emu_state.h"

struct CUstream_st {
  unsigned int flags;
  int priority;
  int device;
};

namespace {

// Same range as current GPUs report: 0 is the least urgent, -5 the most.
constexpr int least_stream_priority = 0;
constexpr int greatest_stream_priority = -5;
constexpr int default_device_count = 8;
// cudaMalloc guarantees at least 256-byte alignment; code shared with the
// kernels may rely on it for vector loads.
constexpr size_t allocation_alignment = 256;
// Fresh device memory is filled with this byte: as float or binary16 it reads
// as NaN, so code that forgets to initialise a buffer shows up in results.
constexpr unsigned char fresh_device_byte = 0xff;

thread_local cudaError_t last_error = cudaSuccess;
thread_local int current_device = 0;

enum class memory_kind { device, pinned_host };

struct allocation {
  size_t size;
  memory_kind kind;
  int device;
};

// Live allocations and streams.  The library's worker thread allocates and
// copies concurrently with the caller's thread, so both are locked.
std::mutex registry_mutex;
std::unordered_map<void*, allocation>& allocations() {
  static auto* table = new std::unordered_map<void*, allocation>();
  return *table;
}
std::unordered_set<cudaStream_t>& streams() {
  static auto* table = new std::unordered_set<cudaStream_t>();
  return *table;
}

qoremu::counter counter_of(memory_kind kind) {
  return kind == memory_kind::device ? qoremu::counter::device_allocations
                                     : qoremu::counter::host_allocations;
}

// Records a failure as this thread's last error, as the runtime does.
cudaError_t finish(cudaError_t error) {
  if (error != cudaSuccess) last_error = error;
  return error;
}

// What every device call checks first: an injected failure, then whether a
// driver (any device) exists at all.
cudaError_t enter(const char* function) {
  if (int injected = qoremu::injected_failure(function)) return static_cast<cudaError_t>(injected);
  if (qoremu::device_count() == 0) return cudaErrorInsufficientDriver;
  return cudaSuccess;
}

cudaError_t allocate(void** ptr, size_t size, memory_kind kind) {
  if (!ptr) return cudaErrorInvalidValue;
  *ptr = nullptr;
  if (size == 0) return cudaSuccess;
  if (size > SIZE_MAX - allocation_alignment) return cudaErrorMemoryAllocation;
  void* memory = nullptr;
  if (posix_memalign(&memory, allocation_alignment, size) != 0) return cudaErrorMemoryAllocation;
  if (kind == memory_kind::device) std::memset(memory, fresh_device_byte, size);
  try {
    std::lock_guard<std::mutex> lock(registry_mutex);
    allocations().emplace(memory, allocation{size, kind, current_device});
  } catch (...) {
    std::free(memory);
    return cudaErrorMemoryAllocation;
  }
  qoremu::count_up(counter_of(kind));
  *ptr = memory;
  return cudaSuccess;
}

cudaError_t release(void* ptr, memory_kind kind) {
  if (!ptr) return cudaSuccess;
  {
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto it = allocations().find(ptr);
    // Freeing with the wrong call, twice, or at an interior address is an
    // invalid argument, not a crash.
    if (it == allocations().end() || it->second.kind != kind) return cudaErrorInvalidValue;
    allocations().erase(it);
  }
  std::free(ptr);
  qoremu::count_down(counter_of(kind));
  return cudaSuccess;
}

bool valid_copy_kind(cudaMemcpyKind kind) {
  int k = static_cast<int>(kind);
  return k >= static_cast<int>(cudaMemcpyHostToHost) && k <= static_cast<int>(cudaMemcpyDefault);
}

cudaError_t copy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
  if (!valid_copy_kind(kind)) return cudaErrorInvalidMemcpyDirection;
  if (count == 0) return cudaSuccess;
  if (!dst || !src) return cudaErrorInvalidValue;
  std::memmove(dst, src, count);
  return cudaSuccess;
}

cudaError_t fill(void* ptr, int value, size_t count) {
  if (count == 0) return cudaSuccess;
  if (!ptr) return cudaErrorInvalidValue;
  std::memset(ptr, static_cast<unsigned char>(value), count);
  return cudaSuccess;
}

cudaError_t create_stream(cudaStream_t* out, unsigned int flags, int priority) {
  if (!out) return cudaErrorInvalidValue;
  if (flags & ~static_cast<unsigned int>(cudaStreamNonBlocking)) return cudaErrorInvalidValue;
  // Out-of-range priorities are clamped, not rejected, as on a GPU.
  if (priority > least_stream_priority) priority = least_stream_priority;
  if (priority < greatest_stream_priority) priority = greatest_stream_priority;
  cudaStream_t stream = nullptr;
  try {
    stream = new CUstream_st{flags, priority, current_device};
    std::lock_guard<std::mutex> lock(registry_mutex);
    streams().insert(stream);
  } catch (...) {
    delete stream;
    return cudaErrorMemoryAllocation;
  }
  qoremu::count_up(qoremu::counter::streams);
  *out = stream;
  return cudaSuccess;
}

// Reads a created stream's attributes; the null stream has the defaults.
cudaError_t stream_attributes(cudaStream_t stream, CUstream_st* out) {
  if (!stream) {
    *out = CUstream_st{cudaStreamDefault, least_stream_priority, current_device};
    return cudaSuccess;
  }
  std::lock_guard<std::mutex> lock(registry_mutex);
  if (streams().count(stream) == 0) return cudaErrorInvalidResourceHandle;
  *out = *stream;
  return cudaSuccess;
}

}  // namespace

namespace qoremu {

bool stream_is_valid(cudaStream_t stream) {
  if (!stream) return true;
  std::lock_guard<std::mutex> lock(registry_mutex);
  return streams().count(stream) != 0;
}

int device_count() {
  // Read at every call: tests change it with setenv between cases.
  const char* text = std::getenv("QOR_EMU_DEVICE_COUNT");
  if (!text || !*text) return default_device_count;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  // Anything but a plain non-negative number falls back to the default.
  if (errno != 0 || *end != '\0' || value < 0 || value > INT_MAX) return default_device_count;
  return static_cast<int>(value);
}

}  // namespace qoremu

extern "C" {

cudaError_t cudaGetDeviceCount(int* count) {
  if (int injected = qoremu::injected_failure("cudaGetDeviceCount"))
    return finish(static_cast<cudaError_t>(injected));
  if (!count) return finish(cudaErrorInvalidValue);
  *count = qoremu::device_count();
  if (*count == 0) return finish(cudaErrorInsufficientDriver);
  return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
  if (cudaError_t e = enter("cudaSetDevice")) return finish(e);
  if (device < 0 || device >= qoremu::device_count()) return finish(cudaErrorInvalidDevice);
  current_device = device;
  return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
  if (cudaError_t e = enter("cudaGetDevice")) return finish(e);
  if (!device) return finish(cudaErrorInvalidValue);
  *device = current_device;
  return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize(void) {
  // All work already ran at its call.
  return finish(enter("cudaDeviceSynchronize"));
}

cudaError_t cudaDeviceReset(void) {
  if (cudaError_t e = enter("cudaDeviceReset")) return finish(e);
  // Like the runtime, release everything this process created on the
  // current device: its memory and its streams.  Pinned host memory belongs
  // to no device and stays.
  std::vector<void*> memory;
  std::vector<cudaStream_t> dropped;
  {
    std::lock_guard<std::mutex> lock(registry_mutex);
    for (auto it = allocations().begin(); it != allocations().end();) {
      if (it->second.kind == memory_kind::device && it->second.device == current_device) {
        memory.push_back(it->first);
        it = allocations().erase(it);
      } else {
        ++it;
      }
    }
    for (auto it = streams().begin(); it != streams().end();) {
      if ((*it)->device == current_device) {
        dropped.push_back(*it);
        it = streams().erase(it);
      } else {
        ++it;
      }
    }
  }
  for (void* ptr : memory) {
    std::free(ptr);
    qoremu::count_down(qoremu::counter::device_allocations);
  }
  for (cudaStream_t stream : dropped) {
    delete stream;
    qoremu::count_down(qoremu::counter::streams);
  }
  return cudaSuccess;
}

cudaError_t cudaGetLastError(void) {
  // An injected result is returned as it is and leaves the recorded error.
  if (int injected = qoremu::injected_failure("cudaGetLastError"))
    return static_cast<cudaError_t>(injected);
  cudaError_t error = last_error;
  last_error = cudaSuccess;
  return error;
}

cudaError_t cudaPeekAtLastError(void) {
  if (int injected = qoremu::injected_failure("cudaPeekAtLastError"))
    return static_cast<cudaError_t>(injected);
  return last_error;
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
    case cudaErrorNotSupported: return "cudaErrorNotSupported";
    case cudaErrorUnknown: return "cudaErrorUnknown";
  }
  return "unrecognized error code";
}

cudaError_t cudaMalloc(void** devPtr, size_t size) {
  if (cudaError_t e = enter("cudaMalloc")) return finish(e);
  return finish(allocate(devPtr, size, memory_kind::device));
}

cudaError_t cudaFree(void* devPtr) {
  if (cudaError_t e = enter("cudaFree")) return finish(e);
  return finish(release(devPtr, memory_kind::device));
}

cudaError_t cudaMallocHost(void** ptr, size_t size) {
  if (cudaError_t e = enter("cudaMallocHost")) return finish(e);
  return finish(allocate(ptr, size, memory_kind::pinned_host));
}

cudaError_t cudaFreeHost(void* ptr) {
  if (cudaError_t e = enter("cudaFreeHost")) return finish(e);
  return finish(release(ptr, memory_kind::pinned_host));
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind) {
  if (cudaError_t e = enter("cudaMemcpy")) return finish(e);
  return finish(copy(dst, src, count, kind));
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind,
                            cudaStream_t stream) {
  if (cudaError_t e = enter("cudaMemcpyAsync")) return finish(e);
  if (!qoremu::stream_is_valid(stream)) return finish(cudaErrorInvalidResourceHandle);
  return finish(copy(dst, src, count, kind));
}

cudaError_t cudaMemset(void* devPtr, int value, size_t count) {
  if (cudaError_t e = enter("cudaMemset")) return finish(e);
  return finish(fill(devPtr, value, count));
}

cudaError_t cudaMemsetAsync(void* devPtr, int value, size_t count, cudaStream_t stream) {
  if (cudaError_t e = enter("cudaMemsetAsync")) return finish(e);
  if (!qoremu::stream_is_valid(stream)) return finish(cudaErrorInvalidResourceHandle);
  return finish(fill(devPtr, value, count));
}

cudaError_t cudaStreamCreate(cudaStream_t* pStream) {
  if (cudaError_t e = enter("cudaStreamCreate")) return finish(e);
  return finish(create_stream(pStream, cudaStreamDefault, least_stream_priority));
}

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* pStream, unsigned int flags) {
  if (cudaError_t e = enter("cudaStreamCreateWithFlags")) return finish(e);
  return finish(create_stream(pStream, flags, least_stream_priority));
}

cudaError_t cudaStreamCreateWithPriority(cudaStream_t* pStream, unsigned int flags, int priority) {
  if (cudaError_t e = enter("cudaStreamCreateWithPriority")) return finish(e);
  return finish(create_stream(pStream, flags, priority));
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
  if (cudaError_t e = enter("cudaStreamDestroy")) return finish(e);
  // The null stream cannot be destroyed.
  if (!stream) return finish(cudaErrorInvalidResourceHandle);
  {
    std::lock_guard<std::mutex> lock(registry_mutex);
    if (streams().erase(stream) == 0) return finish(cudaErrorInvalidResourceHandle);
  }
  delete stream;
  qoremu::count_down(qoremu::counter::streams);
  return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  if (cudaError_t e = enter("cudaStreamSynchronize")) return finish(e);
  if (!qoremu::stream_is_valid(stream)) return finish(cudaErrorInvalidResourceHandle);
  return cudaSuccess;
}

cudaError_t cudaStreamQuery(cudaStream_t stream) {
  if (cudaError_t e = enter("cudaStreamQuery")) return finish(e);
  if (!qoremu::stream_is_valid(stream)) return finish(cudaErrorInvalidResourceHandle);
  // Work never waits: a stream is always idle.
  return cudaSuccess;
}

cudaError_t cudaDeviceGetStreamPriorityRange(int* leastPriority, int* greatestPriority) {
  if (cudaError_t e = enter("cudaDeviceGetStreamPriorityRange")) return finish(e);
  // Either pointer may be null, as with the runtime.
  if (leastPriority) *leastPriority = least_stream_priority;
  if (greatestPriority) *greatestPriority = greatest_stream_priority;
  return cudaSuccess;
}

cudaError_t cudaStreamGetPriority(cudaStream_t hStream, int* priority) {
  if (cudaError_t e = enter("cudaStreamGetPriority")) return finish(e);
  if (!priority) return finish(cudaErrorInvalidValue);
  CUstream_st attributes{};
  if (cudaError_t e = stream_attributes(hStream, &attributes)) return finish(e);
  *priority = attributes.priority;
  return cudaSuccess;
}

cudaError_t cudaStreamGetFlags(cudaStream_t hStream, unsigned int* flags) {
  if (cudaError_t e = enter("cudaStreamGetFlags")) return finish(e);
  if (!flags) return finish(cudaErrorInvalidValue);
  CUstream_st attributes{};
  if (cudaError_t e = stream_attributes(hStream, &attributes)) return finish(e);
  *flags = attributes.flags;
  return cudaSuccess;
}

cudaError_t cudaStreamGetDevice(cudaStream_t hStream, int* device) {
  if (cudaError_t e = enter("cudaStreamGetDevice")) return finish(e);
  if (!device) return finish(cudaErrorInvalidValue);
  CUstream_st attributes{};
  if (cudaError_t e = stream_attributes(hStream, &attributes)) return finish(e);
  *device = attributes.device;
  return cudaSuccess;
}

}  // extern "C"
