// One pass of the ring algorithm over one dimension: reduce-scatter with a
// reducing operator, allgather with QOR_MDR_NONE.
#include <mpi.h>

#include "qor_check.h"
#include "qor_sw.h"
#include "qor_sw_instances.h"
#include "qor_sw_step.h"

namespace qor {
namespace network {

template <class T>
template <OPR OP, bool DBG>
QOR_Status qor_sw<T>::ring_traversal(cudaStream_t stream, int d, int rank, int size,
                                     MPI_Comm& comm, int next, int prev, int start, int tag,
                                     T* buf, int* disp, int* count, T* tmp, qor_stat* stat) {
  const int steps = size - 1;
  if (steps < 1) return QOR_SUCCESS;
  refuse_host_half<OP>(*this, stream, tmp, buf);
  const step_context<T> c{*this, stream, rank, comm, tag, __FILE__, report_line::ring_step, stat, 'r', d};
  int idx = start;  // part sent in this step
  for (int s = 0; s < steps; ++s) {
    const int r = idx == 0 ? size - 1 : idx - 1;  // part received in this step
    exchange_block<OP, DBG>(c, outgoing<T>{buf + disp[idx], count[idx], next},
                            incoming<T>{buf + disp[r], tmp, count[r], prev}, s, ' ');
    idx = r;
  }
  return QOR_SUCCESS;
}

#define QOR_RING_TRAVERSAL(T, OP, DBG)                                                               \
  template QOR_Status qor_sw<T>::ring_traversal<OP, DBG>(cudaStream_t, int, int, int, MPI_Comm&, int, int, \
                                                         int, int, T*, int*, int*, T*, qor_stat*);
QOR_EACH_PASS(QOR_RING_TRAVERSAL)
#undef QOR_RING_TRAVERSAL

}  // namespace network
}  // namespace qor
