#include "start_text.h"

#include <cuda_runtime.h>
#include <mpi.h>
#include <qor.h>

namespace qor_tools {

std::string start_text(const std::string& mode, const std::string& options, int rank, int processes, int device,
                       const std::string& group_id) {
  if (mode == "legacy") return "-qor_legacy_allreduce 1 " + options;
  if (mode == "nccl") return options;
  return "-qor_worker_count " + std::to_string(processes) + " -qor_worker_index " + std::to_string(rank) +
         " -qor_device_index " + std::to_string(device) + " -qor_group_id " + group_id + " " + options;
}

std::string shared_group_id(int rank) {
  char id[173] = {0};
  if (rank == 0 && qor_generate_group_id(id) != QOR_SUCCESS) id[0] = 0;
  MPI_Bcast(id, sizeof id, MPI_CHAR, 0, MPI_COMM_WORLD);
  return id;
}

int host_device() {
  MPI_Comm host;
  int local = 0, devices = 0;
  MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &host);
  MPI_Comm_rank(host, &local);
  MPI_Comm_free(&host);
  // Where each process sees one device (a scheduler's CUDA_VISIBLE_DEVICES).
  if (cudaGetDeviceCount(&devices) != cudaSuccess || devices < 1) devices = 1;
  return local % devices;
}

}  // namespace qor_tools
