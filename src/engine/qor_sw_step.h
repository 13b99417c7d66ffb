// Pieces shared by the ring and recursive traversals.
#pragma once

#include <mpi.h>

#include "qor_check.h"
#include "qor_sw.h"

namespace qor {
namespace network {

// Completes one request of a traversal step: a blocking MPI_Wait, whose
// failure is reported at the caller's `file` and `line`, or in the debug
// instances the bounded wait, which reports its own failures.
template <bool DBG, class T>
inline void complete_request(qor_sw<T>& sw, int rank, MPI_Request* request, const char* file,
                             int line) {
  if constexpr (DBG) {
    sw.MPI_Wait_Timeout(rank, request);
  } else {
    int code = MPI_Wait(request, MPI_STATUS_IGNORE);
    if (code != MPI_SUCCESS) raise_mpi(file, line, code);
  }
}

// Bytes of n elements, as the statistics count them.
template <class T>
inline double bytes_of(int n) {
  return static_cast<double>(n) * static_cast<double>(sizeof(T));
}

}  // namespace network
}  // namespace qor
