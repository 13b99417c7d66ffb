/*
 * Host emulation of the cuBLAS calls libqor makes: handles bound to a
 * stream, float axpy, float scaling, and scaling of binary16 data by a float
 * scale (cublasScalEx).  The arithmetic is queued on the handle's stream,
 * runs when the stream is synchronised, and faults (cudaErrorIllegalAddress
 * at that synchronisation) on anything but device memory of the handle's
 * device; a call from a thread whose current device is not the handle's
 * gives CUBLAS_STATUS_EXECUTION_FAILED.
 * Increments follow BLAS (axpy: negative walks from the far end, zero repeats
 * one element; scal: non-positive does nothing).  A destroyed or unknown
 * handle gives CUBLAS_STATUS_NOT_INITIALIZED; work on a bound stream that has
 * since been destroyed gives CUBLAS_STATUS_EXECUTION_FAILED.
 */
#ifndef QOR_GPU_EMU_CUBLAS_API_H
#define QOR_GPU_EMU_CUBLAS_API_H

#include "cuda_runtime.h"
#include "library_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  CUBLAS_STATUS_SUCCESS = 0,
  CUBLAS_STATUS_NOT_INITIALIZED = 1,
  CUBLAS_STATUS_ALLOC_FAILED = 3,
  CUBLAS_STATUS_INVALID_VALUE = 7,
  CUBLAS_STATUS_ARCH_MISMATCH = 8,
  CUBLAS_STATUS_MAPPING_ERROR = 11,
  CUBLAS_STATUS_EXECUTION_FAILED = 13,
  CUBLAS_STATUS_INTERNAL_ERROR = 14,
  CUBLAS_STATUS_NOT_SUPPORTED = 15,
  CUBLAS_STATUS_LICENSE_ERROR = 16
} cublasStatus_t;

typedef struct cublasContext* cublasHandle_t;

cublasStatus_t cublasCreate_v2(cublasHandle_t* handle);
cublasStatus_t cublasDestroy_v2(cublasHandle_t handle);
cublasStatus_t cublasSetStream_v2(cublasHandle_t handle, cudaStream_t streamId);
cublasStatus_t cublasGetStream_v2(cublasHandle_t handle, cudaStream_t* streamId);
const char* cublasGetStatusString(cublasStatus_t status);

cublasStatus_t cublasSaxpy_v2(cublasHandle_t handle, int n, const float* alpha, const float* x,
                              int incx, float* y, int incy);
cublasStatus_t cublasSscal_v2(cublasHandle_t handle, int n, const float* alpha, float* x,
                              int incx);
cublasStatus_t cublasScalEx(cublasHandle_t handle, int n, const void* alpha,
                            cudaDataType alphaType, void* x, cudaDataType xType, int incx,
                            cudaDataType executionType);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QOR_GPU_EMU_CUBLAS_API_H */
