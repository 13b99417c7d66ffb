/*
 * Host emulation of the subset of the CUDA runtime API that libqor calls.
 * Same names, types, values and error codes as the real runtime, and as
 * strict where a GPU is strict:
 *  - device memory is an address range the host cannot read or write (a
 *    host access faults); released ranges stay so for a while;
 *  - copies and fills are checked against where their pointers live;
 *  - work queued on a stream runs later, when a synchronisation needs it,
 *    with the runtime's ordering (the legacy default stream against
 *    blocking streams; non-blocking streams wait for nothing); copies to
 *    pageable host memory return when done, from it when staged;
 *  - the current device is per thread, CUDA_VISIBLE_DEVICES is honoured,
 *    and kernels run only on streams of the current device;
 *  - a child forked after its parent used the runtime gets
 *    cudaErrorInitializationError.
 *
 * The number of physical devices comes from QOR_EMU_DEVICE_COUNT (default 8;
 * a value that is not a non-negative number also gives 8).  With 0, every
 * device call fails with cudaErrorInsufficientDriver, as the real runtime
 * does on a host without a driver.
 *
 * Fresh device memory holds 0xff bytes (NaN as float or binary16) rather
 * than zeros, so reads of never-written buffers show in results.
 */
#ifndef QOR_GPU_EMU_CUDA_RUNTIME_H
#define QOR_GPU_EMU_CUDA_RUNTIME_H

#include <stddef.h>

#include "library_types.h"

/* Execution-space qualifiers: element-wise bodies shared with the GPU
 * kernels compile as plain host functions here. */
#ifndef __host__
#define __host__
#endif
#ifndef __device__
#define __device__
#endif
#ifndef __forceinline__
#define __forceinline__ inline __attribute__((always_inline))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum cudaError {
  cudaSuccess = 0,
  cudaErrorInvalidValue = 1,
  cudaErrorMemoryAllocation = 2,
  cudaErrorInitializationError = 3,
  cudaErrorInvalidConfiguration = 9,
  cudaErrorInvalidMemcpyDirection = 21,
  cudaErrorInsufficientDriver = 35,
  cudaErrorNoDevice = 100,
  cudaErrorInvalidDevice = 101,
  cudaErrorInvalidResourceHandle = 400,
  cudaErrorNotReady = 600,
  cudaErrorIllegalAddress = 700,
  cudaErrorLaunchOutOfResources = 701,
  cudaErrorLaunchFailure = 719,
  cudaErrorNotSupported = 801,
  cudaErrorUnknown = 999
} cudaError_t;

enum cudaMemcpyKind {
  cudaMemcpyHostToHost = 0,
  cudaMemcpyHostToDevice = 1,
  cudaMemcpyDeviceToHost = 2,
  cudaMemcpyDeviceToDevice = 3,
  cudaMemcpyDefault = 4
};

enum cudaMemoryType {
  cudaMemoryTypeUnregistered = 0,
  cudaMemoryTypeHost = 1,
  cudaMemoryTypeDevice = 2,
  cudaMemoryTypeManaged = 3
};

struct cudaPointerAttributes {
  enum cudaMemoryType type;
  int device;
  void* devicePointer;
  void* hostPointer;
};

typedef struct CUstream_st* cudaStream_t;

#define cudaStreamDefault 0x00
#define cudaStreamNonBlocking 0x01

/* Device management and errors. */
cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaDeviceSynchronize(void);
cudaError_t cudaDeviceReset(void);
cudaError_t cudaGetLastError(void);
cudaError_t cudaPeekAtLastError(void);
const char* cudaGetErrorString(cudaError_t error);
const char* cudaGetErrorName(cudaError_t error);

/* Memory. */
cudaError_t cudaMalloc(void** devPtr, size_t size);
cudaError_t cudaFree(void* devPtr);
cudaError_t cudaMallocHost(void** ptr, size_t size);
cudaError_t cudaFreeHost(void* ptr);
cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind,
                            cudaStream_t stream);
cudaError_t cudaMemset(void* devPtr, int value, size_t count);
cudaError_t cudaMemsetAsync(void* devPtr, int value, size_t count, cudaStream_t stream);
cudaError_t cudaPointerGetAttributes(struct cudaPointerAttributes* attributes, const void* ptr);

/* Streams. */
cudaError_t cudaStreamCreate(cudaStream_t* pStream);
cudaError_t cudaStreamCreateWithFlags(cudaStream_t* pStream, unsigned int flags);
cudaError_t cudaStreamCreateWithPriority(cudaStream_t* pStream, unsigned int flags, int priority);
cudaError_t cudaStreamDestroy(cudaStream_t stream);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaStreamQuery(cudaStream_t stream);
cudaError_t cudaDeviceGetStreamPriorityRange(int* leastPriority, int* greatestPriority);
cudaError_t cudaStreamGetPriority(cudaStream_t hStream, int* priority);
cudaError_t cudaStreamGetFlags(cudaStream_t hStream, unsigned int* flags);
cudaError_t cudaStreamGetDevice(cudaStream_t hStream, int* device);

#ifdef __cplusplus
} /* extern "C" */

/* The typed overloads the real runtime offers to C++ callers. */
template <class T>
static inline cudaError_t cudaMalloc(T** devPtr, size_t size) {
  return ::cudaMalloc(reinterpret_cast<void**>(devPtr), size);
}
template <class T>
static inline cudaError_t cudaMallocHost(T** ptr, size_t size) {
  return ::cudaMallocHost(reinterpret_cast<void**>(ptr), size);
}
#endif

#endif /* QOR_GPU_EMU_CUDA_RUNTIME_H */
