// Process-wide state of the C interface and the internal functions that the
// interface files share.  One thread at a time uses it: the application's
// thread, or the asynchronous worker while a request is outstanding.
#pragma once

#include <cublas_v2.h>
#include <cuda_fp16.h>
#include <cuda_runtime.h>
#include <nccl.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qor.h"

namespace qor {
namespace network {
class qor_hw;
class qor_stat;
}  // namespace network
}  // namespace qor

// A software layer crossing the interface: object and kind 0 to 3.
struct qor_sw_h {
  void* handle;
  int type;
};

// The NCCL context of the two NCCL start modes.
struct qor_nccl_context {
  int nranks = 0;
  int rank = 0;
  int local_rank = 0;  // the host rank, or the device index given to qor_init
  int device = 0;      // local_rank modulo the devices this process sees
  ncclComm_t comm = nullptr;
  cudaStream_t stream = nullptr;
  cublasHandle_t cublas = nullptr;
};

extern qor::network::qor_hw* global_hw_h;
extern qor::network::qor_stat* global_stat_h;
extern qor_sw_h global_sw_float_h;
extern qor_sw_h global_sw_half_h;
extern std::unique_ptr<qor_nccl_context> global_nccl_context;
extern int qor_iter;

// Makes sure MPI is running.
void initialize_mpi();
void initialize_mpiless(const std::map<std::string, std::string>& options);
// Joins the NCCL group on device `local_rank` modulo the visible devices.
void initialize_nccl(int nranks, int rank, int local_rank, const ncclUniqueId& id);
// Destroys the context's cuBLAS handle, stream and communicator, in this order.
void release_nccl_context(qor_nccl_context& context);

// Call from inside a catch-all handler: logs what is not logged yet, returns 1.
QOR_Status exception_handle();

// --- legacy engine mode (qor_engine.cpp) ----------------------------------
QOR_Status qor_create_hw(std::map<std::string, std::string>& options,
                         qor::network::qor_hw*& hw);
// The float and half paths of qor_allreduce: status 1 for more than INT_MAX
// elements, and for half buffers in host-CPU mode (no host half sum).
QOR_Status qor_allreduce_float(void* buf, size_t count, QOR_Op op);
QOR_Status qor_allreduce_half(void* buf, size_t count, QOR_Op op);
// Make the cached layer of a float or half buffer and select its
// algorithms; a layer whose selection fails is destroyed and the failure
// raised as message 6.
QOR_Status qor_create_sw_float(float* buf, size_t count, qor::network::qor_hw* hw,
                               qor_sw_h& sw_h);
QOR_Status qor_create_sw_half(__half* buf, size_t count, qor::network::qor_hw* hw,
                              qor_sw_h& sw_h);
template <class T>
QOR_Status qor_create_sw_core(T* buf, size_t count, qor::network::qor_hw* hw, qor_sw_h& sw_h,
                              int& pipe);
// Re-points the layer at buf; always 0.
int qor_update(void* buf, size_t count, qor_sw_h sw_h);
void qor_destroy_sw(qor_sw_h sw_h);

void qor_average_buffer(void* buf, size_t count, QOR_Type type);
QOR_Status qor_memcpy_helper(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind);

// False, after an error line naming `function`, when neither start mode's
// state exists (before qor_init, or after qor_finalize).
bool require_initialized(const char* function);

// The streams the copy helpers and qor_memsync work on: the NCCL context's
// stream, or the hardware layer's streams (none in host-CPU mode).
std::vector<cudaStream_t> interface_streams();

// Blocks until the asynchronous worker has no request outstanding.
void qor_wait_idle();
// Seconds the library's bounded waits for the worker last.
constexpr double idle_wait_seconds = 60.0;
// qor_wait_idle for at most `seconds`; false, after a line of `severity`
// naming `who` and the request, when it is still running then.  True at
// once on the worker thread itself.
bool qor_wait_idle_for(const char* who, char severity, double seconds = idle_wait_seconds);
