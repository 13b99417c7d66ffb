#include "qor_check.h"

#include <cstdio>
#include <string>

#include "qor_exception.h"
#include "qor_message.h"

namespace qor {

void raise_cuda(const char* file, int line) { raise_cuda(file, line, cudaGetLastError()); }

void raise_cuda(const char* file, int line, cudaError_t error) {
  raise(file, line, library_failure_status, qor_message::MSG_CUDA, host_name().c_str(),
        cudaGetErrorString(error));
}

void check_launch(const char* file, int line) {
  const cudaError_t error = cudaGetLastError();
  if (error != cudaSuccess) raise_cuda(file, line, error);
}

void raise_cublas(const char* file, int line, cublasStatus_t status) {
  raise(file, line, library_failure_status, qor_message::MSG_CUBLAS, host_name().c_str(),
        static_cast<int>(status));
}

void raise_nccl(const char* file, int line, ncclResult_t result) {
  raise(file, line, library_failure_status, qor_message::MSG_NCCL, host_name().c_str(),
        ncclGetErrorString(result));
}

bool mpi_running() {
  int initialized = 0;
  int finalized = 0;
  MPI_Initialized(&initialized);
  MPI_Finalized(&finalized);
  return initialized && !finalized;
}

void free_communicator(MPI_Comm* comm) {
  if (*comm == MPI_COMM_NULL) return;
  if (mpi_running()) MPI_Comm_free(comm);
  *comm = MPI_COMM_NULL;
}

void raise_mpi(const char* file, int line, int code) {
  char text[MPI_MAX_ERROR_STRING] = {0};
  int length = 0;
  // MPI_Error_string aborts the process when MPI is not running.
  if (!mpi_running() || MPI_Error_string(code, text, &length) != MPI_SUCCESS) {
    std::snprintf(text, sizeof text, "MPI error code %d (MPI is not running)", code);
  }
  raise(file, line, library_failure_status, qor_message::MSG_MPI, host_name().c_str(), code,
        text);
}

}  // namespace qor
