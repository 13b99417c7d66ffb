// One pass of recursive halving (reduce-scatter, reducing operators) or
// recursive doubling (allgather, QOR_MDR_NONE) over a power-of-two
// dimension, walking the precomputed exchange schedule.
#include <mpi.h>

#include "qor_check.h"
#include "qor_sw.h"
#include "qor_sw_instances.h"
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
  refuse_host_half<OP>(*this, stream, tmp, buf);
  const step_context<T> c{*this, stream, rank, comm, tag, __FILE__, report_line::recursive_step, stat, 'c', d};
  for (int n = 0; n < s; ++n) {
    // Halving walks the schedule from the widest group down; doubling
    // walks it back up.
    const int k = reducing ? s - 1 - n : n;
    exchange_block<OP, DBG>(c, outgoing<T>{buf + send_off[k], send_cnt[k], partner[k]},
                            incoming<T>{buf + recv_off[k], tmp, recv_cnt[k], partner[k]}, n,
                            static_cast<char>('0' + n));
  }
  return QOR_SUCCESS;
}

#define QOR_RECUR_TRAVERSAL(T, OP, DBG)                                                           \
  template QOR_Status qor_sw<T>::recur_traversal<OP, DBG>(cudaStream_t, int, int, int, MPI_Comm&, int*, \
                                                          int, T*, int*, int*, int*, int*, T*, qor_stat*);
QOR_EACH_PASS(QOR_RECUR_TRAVERSAL)
#undef QOR_RECUR_TRAVERSAL

}  // namespace network
}  // namespace qor
