#ifndef QOR_GPU_EMU_CUBLAS_V2_H
#define QOR_GPU_EMU_CUBLAS_V2_H

#include "cublas_api.h"

#define cublasCreate cublasCreate_v2
#define cublasDestroy cublasDestroy_v2
#define cublasSetStream cublasSetStream_v2
#define cublasGetStream cublasGetStream_v2
#define cublasSaxpy cublasSaxpy_v2
#define cublasSscal cublasSscal_v2

#endif /* QOR_GPU_EMU_CUBLAS_V2_H */
