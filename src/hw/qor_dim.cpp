// The dimension record: ownership and release of its communicators.
#include "qor_dim.h"

#include <utility>

#include "qor_check.h"

namespace qor {
namespace network {

qor_dim::~qor_dim() { release(); }

qor_dim::qor_dim(qor_dim&& other) noexcept
    : _index(other._index),
      _size(other._size),
      _rank(other._rank),
      _same_host(other._same_host),
      _comm(other._comm),
      _nccl_comm(std::move(other._nccl_comm)),
      _nccl_slot(std::move(other._nccl_slot)),
      _shm(std::move(other._shm)) {
  other._comm = MPI_COMM_NULL;
  other._nccl_comm.clear();
  other._nccl_slot.clear();
}

qor_dim& qor_dim::operator=(qor_dim&& other) noexcept {
  if (this != &other) {
    release();
    _index = other._index;
    _size = other._size;
    _rank = other._rank;
    _same_host = other._same_host;
    _comm = other._comm;
    _nccl_comm = std::move(other._nccl_comm);
    _nccl_slot = std::move(other._nccl_slot);
    _shm = std::move(other._shm);
    other._comm = MPI_COMM_NULL;
    other._nccl_comm.clear();
    other._nccl_slot.clear();
  }
  return *this;
}

void qor_dim::release_nccl() {
  // Entries stay empty when a set-up failed before making them.
  for (ncclComm_t comm : _nccl_comm) {
    if (comm) ncclCommDestroy(comm);
  }
  _nccl_comm.clear();
  _nccl_slot.clear();
}

void qor_dim::release() {
  release_nccl();
  _shm.reset();
  free_communicator(&_comm);
}

}  // namespace network
}  // namespace qor
