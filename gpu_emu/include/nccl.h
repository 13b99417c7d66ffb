/*
 * Emulated NCCL for the emulated flavour: communicators between processes of
 * one host through POSIX shared memory named after the unique id.  Same
 * names, types, values and error codes as NCCL 2.  A collective waits for
 * the work queued before it on its stream and runs to completion at the
 * call; its buffers must be device memory of the communicator's device
 * (else ncclInvalidArgument), two ranks on one device fail ncclCommInitRank
 * with ncclInvalidUsage on every rank, and sums round after every addition
 * in ring order.  Every wait for peers is bounded by QOR_EMU_NCCL_TIMEOUT
 * seconds (default 60); a wait that runs out returns an error instead of
 * hanging.
 */
#ifndef QOR_GPU_EMU_NCCL_H
#define QOR_GPU_EMU_NCCL_H

#include <stddef.h>

#include "cuda_runtime.h"

#define NCCL_MAJOR 2
#define NCCL_MINOR 28
#define NCCL_PATCH 0
#define NCCL_VERSION_CODE 22800
#define NCCL_UNIQUE_ID_BYTES 128

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ncclComm* ncclComm_t;

typedef struct {
  char internal[NCCL_UNIQUE_ID_BYTES];
} ncclUniqueId;

typedef enum {
  ncclSuccess = 0,
  ncclUnhandledCudaError = 1,
  ncclSystemError = 2,
  ncclInternalError = 3,
  ncclInvalidArgument = 4,
  ncclInvalidUsage = 5,
  ncclRemoteError = 6,
  ncclInProgress = 7,
  ncclNumResults = 8
} ncclResult_t;

typedef enum {
  ncclSum = 0,
  ncclProd = 1,
  ncclMax = 2,
  ncclMin = 3,
  ncclAvg = 4,
  ncclNumOps = 5
} ncclRedOp_t;

typedef enum {
  ncclInt8 = 0, ncclChar = 0,
  ncclUint8 = 1,
  ncclInt32 = 2, ncclInt = 2,
  ncclUint32 = 3,
  ncclInt64 = 4,
  ncclUint64 = 5,
  ncclFloat16 = 6, ncclHalf = 6,
  ncclFloat32 = 7, ncclFloat = 7,
  ncclFloat64 = 8, ncclDouble = 8,
  ncclBfloat16 = 9,
  ncclNumTypes = 10
} ncclDataType_t;

ncclResult_t ncclGetVersion(int* version);
ncclResult_t ncclGetUniqueId(ncclUniqueId* uniqueId);
ncclResult_t ncclCommInitRank(ncclComm_t* comm, int nranks, ncclUniqueId commId, int rank);
ncclResult_t ncclCommDestroy(ncclComm_t comm);
ncclResult_t ncclCommCount(const ncclComm_t comm, int* count);
ncclResult_t ncclCommUserRank(const ncclComm_t comm, int* rank);
const char* ncclGetErrorString(ncclResult_t result);

ncclResult_t ncclAllReduce(const void* sendbuff, void* recvbuff, size_t count,
                           ncclDataType_t datatype, ncclRedOp_t op, ncclComm_t comm,
                           cudaStream_t stream);
ncclResult_t ncclReduceScatter(const void* sendbuff, void* recvbuff, size_t recvcount,
                               ncclDataType_t datatype, ncclRedOp_t op, ncclComm_t comm,
                               cudaStream_t stream);
ncclResult_t ncclAllGather(const void* sendbuff, void* recvbuff, size_t sendcount,
                           ncclDataType_t datatype, ncclComm_t comm, cudaStream_t stream);
ncclResult_t ncclReduce(const void* sendbuff, void* recvbuff, size_t count,
                        ncclDataType_t datatype, ncclRedOp_t op, int root, ncclComm_t comm,
                        cudaStream_t stream);
ncclResult_t ncclBroadcast(const void* sendbuff, void* recvbuff, size_t count,
                           ncclDataType_t datatype, int root, ncclComm_t comm,
                           cudaStream_t stream);
ncclResult_t ncclBcast(void* buff, size_t count, ncclDataType_t datatype, int root,
                       ncclComm_t comm, cudaStream_t stream);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QOR_GPU_EMU_NCCL_H */
