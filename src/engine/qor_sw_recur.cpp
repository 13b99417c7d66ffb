// One pass of recursive halving (reduce-scatter, reducing operators) or
// recursive doubling (allgather, QOR_MDR_NONE) over a power-of-two
// dimension, walking the precomputed exchange schedule.
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
QOR_Status qor_sw<T>::recur_traversal(cudaStream_t stream, int d, int rank, int s,
                                      MPI_Comm& comm, int* partner, int tag, T* buf,
                                      int* send_off, int* send_cnt, int* recv_off, int* recv_cnt,
                                      T* tmp, qor_stat* stat) {
  constexpr bool reducing = OP != QOR_MDR_NONE;
  if (s < 1) return QOR_SUCCESS;
  if constexpr (OP == QOR_MDR_HOST_SUM && !std::is_same<T, float>::value) {
    // Only float has a host sum: fail before any message is in flight, so
    // that every process stops at the same point and nothing lands later.
    reduce_op<OP>(stream, 0, tmp, buf, 0);
  }
  const MPI_Datatype type = mpi_type<T>();

  for (int n = 0; n < s; ++n) {
    // Halving walks the schedule from the widest group down; doubling
    // walks it back up.
    const int k = reducing ? s - 1 - n : n;
    const double t0 = engine_now();
    MPI_Request recv_request = MPI_REQUEST_NULL;
    MPI_Request send_request = MPI_REQUEST_NULL;
    T* landing = reducing ? tmp : buf + recv_off[k];
    int code = MPI_Irecv(landing, recv_cnt[k], type, partner[k], tag, comm, &recv_request);
    if (code != MPI_SUCCESS) raise_mpi(__FILE__, 828, code);
    code = MPI_Isend(buf + send_off[k], send_cnt[k], type, partner[k], tag, comm, &send_request);
    if (code != MPI_SUCCESS) raise_mpi(__FILE__, 829, code);
    const double t1 = engine_now();
    complete_request<DBG>(*this, rank, &recv_request, __FILE__, 835);
    const double t2 = engine_now();
    double reduce_time = 0.0;
    if constexpr (reducing) reduce_op<OP>(stream, recv_cnt[k], tmp, buf + recv_off[k], n);
    if (stat) {
      if constexpr (reducing) reduce_time = engine_now() - t2;
      stat->add_xact('c', t0, d, t1 - t0, t2 - t1, reduce_time, bytes_of<T>(send_cnt[k]),
                     bytes_of<T>(recv_cnt[k]), static_cast<char>('0' + n));
    }
    complete_request<DBG>(*this, rank, &send_request, __FILE__, 852);
  }
  return QOR_SUCCESS;
}

#define QOR_RECUR_TRAVERSAL(T, OP, DBG)                                                    \
  template QOR_Status qor_sw<T>::recur_traversal<OP, DBG>(cudaStream_t, int, int, int,     \
                                                          MPI_Comm&, int*, int, T*, int*,  \
                                                          int*, int*, int*, T*, qor_stat*);
#define QOR_RECUR_TRAVERSALS(T)                  \
  QOR_RECUR_TRAVERSAL(T, QOR_MDR_NONE, false)     \
  QOR_RECUR_TRAVERSAL(T, QOR_MDR_NONE, true)      \
  QOR_RECUR_TRAVERSAL(T, QOR_MDR_SUM, false)      \
  QOR_RECUR_TRAVERSAL(T, QOR_MDR_SUM, true)       \
  QOR_RECUR_TRAVERSAL(T, QOR_MDR_BOR, false)      \
  QOR_RECUR_TRAVERSAL(T, QOR_MDR_BOR, true)       \
  QOR_RECUR_TRAVERSAL(T, QOR_MDR_HOST_SUM, false) \
  QOR_RECUR_TRAVERSAL(T, QOR_MDR_HOST_SUM, true)

QOR_RECUR_TRAVERSALS(float)
QOR_RECUR_TRAVERSALS(__half)

#undef QOR_RECUR_TRAVERSALS
#undef QOR_RECUR_TRAVERSAL

}  // namespace network
}  // namespace qor
