// Checks of MPI, CUDA, cuBLAS and NCCL results.  A failing call is logged as
// its numbered message and raised as QORException with status 6.
#pragma once

#include <cublas_v2.h>
#include <cuda_runtime.h>
#include <mpi.h>
#include <nccl.h>

namespace qor {

// Message 2 with the text of cudaGetLastError().
[[noreturn]] void raise_cuda(const char* file, int line);
// Message 2 with the text of `error`.
[[noreturn]] void raise_cuda(const char* file, int line, cudaError_t error);
// Raises message 2 when the kernel launched just before could not start: a
// launch reports that only through the thread's last error.
void check_launch(const char* file, int line);
// Message 3 with the cuBLAS status number.
[[noreturn]] void raise_cublas(const char* file, int line, cublasStatus_t status);
// Message 4 with ncclGetErrorString(result).
[[noreturn]] void raise_nccl(const char* file, int line, ncclResult_t result);
// Message 5 with the MPI return code and MPI_Error_string.
[[noreturn]] void raise_mpi(const char* file, int line, int code);

// MPI has been started (by anybody) and not shut down yet.
bool mpi_running();
// Frees a communicator the library made and sets it to MPI_COMM_NULL.  After
// MPI_Finalize every MPI call aborts the process: then it is only forgotten.
void free_communicator(MPI_Comm* comm);

}  // namespace qor

#define QOR_CHECK_CUDA(call)                                                      \
  do {                                                                            \
    if ((call) != cudaSuccess) ::qor::raise_cuda(__FILE__, __LINE__);             \
  } while (0)

#define QOR_CHECK_CUBLAS(call)                                                    \
  do {                                                                            \
    cublasStatus_t qor_check_status_ = (call);                                    \
    if (qor_check_status_ != CUBLAS_STATUS_SUCCESS)                               \
      ::qor::raise_cublas(__FILE__, __LINE__, qor_check_status_);                 \
  } while (0)

#define QOR_CHECK_NCCL(call)                                                      \
  do {                                                                            \
    ncclResult_t qor_check_result_ = (call);                                      \
    if (qor_check_result_ != ncclSuccess)                                         \
      ::qor::raise_nccl(__FILE__, __LINE__, qor_check_result_);                   \
  } while (0)

#define QOR_CHECK_MPI(call)                                                       \
  do {                                                                            \
    int qor_check_code_ = (call);                                                 \
    if (qor_check_code_ != MPI_SUCCESS) ::qor::raise_mpi(__FILE__, __LINE__, qor_check_code_); \
  } while (0)
