// Start of the communication back ends: MPI, and the NCCL context of the two
// NCCL start modes.
#include <mpi.h>

#include <algorithm>
#include <stdexcept>

#include "qor_check.h"
#include "qor_state.h"
#include "qor_trace.h"
#include "qor_utilities.h"

void initialize_mpi() {
  int flag = 0;
  QOR_CHECK_MPI(MPI_Initialized(&flag));
  if (flag) {
    // MPI cannot start again once it has been shut down (qor_finalize does).
    int finalized = 0;
    QOR_CHECK_MPI(MPI_Finalized(&finalized));
    if (finalized) throw std::logic_error("MPI has been finalized and cannot be used again");
    return;
  }
  int provided = 0;
  QOR_CHECK_MPI(MPI_Init_thread(nullptr, nullptr, MPI_THREAD_SERIALIZED, &provided));
  QOR_CHECK_MPI(MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN));
}

void initialize_mpiless(const std::map<std::string, std::string>& options) {
  const std::string& count = options.at("qor_worker_count");
  const std::string& index = options.at("qor_worker_index");
  const std::string& device = options.at("qor_device_index");
  const std::string& group = options.at("qor_group_id");
  if (count.empty() || index.empty() || device.empty() || group.empty()) {
    QOR_EXIT_WITH_ERROR(
        "QOR needs to be initialized with qor_worker_count, qor_worker_index, "
        "qor_device_index, and qor_group_id.");
  }
  ncclUniqueId id = str_to_ncclId(group);
  initialize_nccl(std::stoi(count), std::stoi(index), std::stoi(device), id);
}

void release_nccl_context(qor_nccl_context& context) {
  if (context.cublas != nullptr) {
    cublasHandle_t handle = context.cublas;
    context.cublas = nullptr;
    QOR_CHECK_CUBLAS(cublasDestroy(handle));
  }
  if (context.stream != nullptr) {
    cudaStream_t stream = context.stream;
    context.stream = nullptr;
    QOR_CHECK_CUDA(cudaStreamDestroy(stream));
  }
  if (context.comm != nullptr) {
    ncclComm_t comm = context.comm;
    context.comm = nullptr;
    QOR_CHECK_NCCL(ncclCommDestroy(comm));
  }
}

void initialize_nccl(int nranks, int rank, int local_rank, const ncclUniqueId& id) {
  // A repeated start must not leak the communicator, stream and handle of
  // the context it replaces.
  if (global_nccl_context) {
    std::unique_ptr<qor_nccl_context> previous = std::move(global_nccl_context);
    release_nccl_context(*previous);
  }
  global_nccl_context = std::make_unique<qor_nccl_context>();
  qor_nccl_context& context = *global_nccl_context;
  context.nranks = nranks;
  context.rank = rank;
  context.local_rank = local_rank;
  // Where each process sees one GPU (a scheduler's CUDA_VISIBLE_DEVICES),
  // the local rank is not a device ordinal.
  int count = 0;
  QOR_CHECK_CUDA(cudaGetDeviceCount(&count));
  context.device = local_rank % std::max(count, 1);
  QOR_CHECK_CUDA(cudaSetDevice(context.device));
  QOR_CHECK_NCCL(ncclCommInitRank(&context.comm, nranks, id, rank));
  int least = 0;
  int greatest = 0;
  QOR_CHECK_CUDA(cudaDeviceGetStreamPriorityRange(&least, &greatest));
  QOR_CHECK_CUDA(cudaStreamCreateWithPriority(&context.stream, cudaStreamNonBlocking, greatest));
  QOR_CHECK_CUBLAS(cublasCreate(&context.cublas));
  QOR_CHECK_CUBLAS(cublasSetStream(context.cublas, context.stream));
}
