// One dimension of the process grid: its MPI sub-communicator and, once the
// engine asks for them, its NCCL communicators.
#pragma once

#include <mpi.h>
#include <nccl.h>

#include <memory>
#include <vector>

#include "qor_shm.h"

namespace qor {
namespace network {

// Owns its communicators: a record is moved, never copied, so that each
// communicator is released exactly once.  Moving keeps the buffer of
// _nccl_comm, so the slot pointers stay valid.
struct qor_dim {
  int _index = 0;
  int _size = 0;
  int _rank = 0;        // equals this process's grid coordinate along the dimension
  bool _same_host = false;
  MPI_Comm _comm = MPI_COMM_NULL;
  std::vector<ncclComm_t> _nccl_comm;    // one, or one per process of the dimension
  std::vector<ncclComm_t*> _nccl_slot;   // slot number -> entry of _nccl_comm
  std::unique_ptr<shm_channel> _shm;      // made by the first SHM phase

  qor_dim() = default;
  ~qor_dim();
  qor_dim(qor_dim&& other) noexcept;
  qor_dim& operator=(qor_dim&& other) noexcept;
  qor_dim(const qor_dim&) = delete;
  qor_dim& operator=(const qor_dim&) = delete;

  bool nccl_enabled() const { return !_nccl_comm.empty(); }

  // ncclCommDestroy on every communicator made, then both lists emptied.
  // Errors are not reported: this runs on release paths only.
  void release_nccl();
  // release_nccl(), the SHM channel, then MPI_Comm_free of the
  // sub-communicator when set.
  void release();
};

}  // namespace network
}  // namespace qor
