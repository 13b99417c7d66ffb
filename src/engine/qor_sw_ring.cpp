// One pass of the ring algorithm over one dimension: reduce-scatter with a
// reducing operator, allgather with QOR_MDR_NONE.
#include <mpi.h>

#include <type_traits>

#include "qor_check.h"
#include "qor_sw.h"
#include "qor_sw_clock.h"
#include "qor_sw_step.h"

namespace qor {
namespace network {

template <class T>
template <OPR OP, bool DBG>
QOR_Status qor_sw<T>::ring_traversal(cudaStream_t stream, int d, int rank, int size,
                                     MPI_Comm& comm, int next, int prev, int start, int tag,
                                     T* buf, int* disp, int* count, T* tmp, qor_stat* stat) {
  constexpr bool reducing = OP != QOR_MDR_NONE;
  const int steps = size - 1;
  if (steps < 1) return QOR_SUCCESS;
  if constexpr (OP == QOR_MDR_HOST_SUM && !std::is_same<T, float>::value) {
    // Only float has a host sum: fail before any message is in flight, so
    // that every process stops at the same point and nothing lands later.
    reduce_op<OP>(stream, 0, tmp, buf, 0);
  }
  const MPI_Datatype type = mpi_type<T>();

  int idx = start;  // part sent in this step
  for (int s = 0; s < steps; ++s) {
    const int r = idx == 0 ? size - 1 : idx - 1;  // part received in this step
    const double t0 = engine_now();
    MPI_Request recv_request = MPI_REQUEST_NULL;
    MPI_Request send_request = MPI_REQUEST_NULL;
    // A reducing pass must not overwrite its own contribution: the peer's
    // block goes to the scratch area and is folded in afterwards.
    T* landing = reducing ? tmp : buf + disp[r];
    int code = MPI_Irecv(landing, count[r], type, prev, tag, comm, &recv_request);
    if (code != MPI_SUCCESS) raise_mpi(__FILE__, 935, code);
    code = MPI_Isend(buf + disp[idx], count[idx], type, next, tag, comm, &send_request);
    if (code != MPI_SUCCESS) raise_mpi(__FILE__, 936, code);
    const double t1 = engine_now();
    complete_request<DBG>(*this, rank, &recv_request, __FILE__, 944);
    const double t2 = engine_now();
    double reduce_time = 0.0;
    if constexpr (reducing) {
      // Overlaps the send still in flight: part r is never the part sent.
      reduce_op<OP>(stream, count[r], tmp, buf + disp[r], s);
    }
    if (stat) {
      if constexpr (reducing) reduce_time = engine_now() - t2;
      stat->add_xact('r', t0, d, t1 - t0, t2 - t1, reduce_time, bytes_of<T>(count[idx]),
                     bytes_of<T>(count[r]), ' ');
    }
    complete_request<DBG>(*this, rank, &send_request, __FILE__, 961);
    idx = r;
  }
  return QOR_SUCCESS;
}

#define QOR_RING_TRAVERSAL(T, OP, DBG)                                                        \
  template QOR_Status qor_sw<T>::ring_traversal<OP, DBG>(cudaStream_t, int, int, int,         \
                                                         MPI_Comm&, int, int, int, int, T*,   \
                                                         int*, int*, T*, qor_stat*);
#define QOR_RING_TRAVERSALS(T)                  \
  QOR_RING_TRAVERSAL(T, QOR_MDR_NONE, false)     \
  QOR_RING_TRAVERSAL(T, QOR_MDR_NONE, true)      \
  QOR_RING_TRAVERSAL(T, QOR_MDR_SUM, false)      \
  QOR_RING_TRAVERSAL(T, QOR_MDR_SUM, true)       \
  QOR_RING_TRAVERSAL(T, QOR_MDR_BOR, false)      \
  QOR_RING_TRAVERSAL(T, QOR_MDR_BOR, true)       \
  QOR_RING_TRAVERSAL(T, QOR_MDR_HOST_SUM, false) \
  QOR_RING_TRAVERSAL(T, QOR_MDR_HOST_SUM, true)

QOR_RING_TRAVERSALS(float)
QOR_RING_TRAVERSALS(__half)

#undef QOR_RING_TRAVERSALS
#undef QOR_RING_TRAVERSAL

}  // namespace network
}  // namespace qor
