// Where an emulated communicator's shared memory lives, for the checks that
// nothing is left behind.
#pragma once

#include <nccl.h>
#include <sys/stat.h>

#include <string>

namespace qor_test {

// The unique id holds the segment's name ("/qoremu_nccl_..."), NUL-terminated.
inline std::string shm_path(const ncclUniqueId& id) {
  return std::string("/dev/shm") + id.internal;
}

inline bool shm_exists(const ncclUniqueId& id) {
  struct stat st;
  return stat(shm_path(id).c_str(), &st) == 0;
}

}  // namespace qor_test
