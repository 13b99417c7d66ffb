// One phase of one dimension handed to NCCL: reduce-scatter and allgather as
// one collective plus a tail for the longer last part (NCCLR), as one rooted
// operation per part on its own communicator and stream (NCCLB), or the
// whole allreduce of the segment (NCCLA).
#include <nccl.h>

#include <type_traits>

#include "qor_check.h"
#include "qor_clock.h"
#include "qor_sw.h"
#include "qor_sw_instances.h"

namespace qor {
namespace network {

namespace {

template <class T>
ncclDataType_t nccl_type() {
  return std::is_same<T, float>::value ? ncclFloat32 : ncclFloat16;
}

template <class T>
double segment_bytes(const qor_ring& ring) {
  return static_cast<double>(ring._net_disp.back()) * static_cast<double>(sizeof(T));
}

void synchronise(cudaStream_t stream, int line) {
  if (cudaStreamSynchronize(stream) != cudaSuccess) raise_cuda(__FILE__, line);
}

// One NCCL phase of a dimension: the queued calls, then the wait, and the
// statistics row of kind `kind` with the two times.  Status 1, with
// nothing queued, when the dimension has no NCCL communicator.
template <class T, class Issue, class Wait>
QOR_Status timed_phase(const qor_dim& D, const qor_ring& ring, qor_stat* stat, char kind,
                       Issue issue, Wait wait) {
  if (D._nccl_comm.empty()) return QOR_FAILURE;
  const double t0 = monotonic_seconds();
  issue();
  const double t1 = monotonic_seconds();
  wait();
  if (stat) {
    const double bytes = segment_bytes<T>(ring);
    stat->add_xact(kind, t0, D._index, t1 - t0, monotonic_seconds() - t1, 0.0, bytes, bytes, ' ');
  }
  return QOR_SUCCESS;
}

// The tail of the last part beyond the equal shares: [total - diff, total).
struct tail {
  size_t offset;
  size_t count;
  explicit tail(const qor_ring& ring)
      : offset(static_cast<size_t>(ring._net_disp.back() - ring._diff_net_size)),
        count(static_cast<size_t>(ring._diff_net_size)) {}
};

}  // namespace

template <class T>
template <OPR OP, bool R>
void qor_sw<T>::reduce_scatter_nccl_call(qor_dim& D, qor_ring& ring, T* buf,
                                         cudaStream_t* streams, qor_stat*) {
  const ncclDataType_t type = nccl_type<T>();
  if constexpr (R) {
    QOR_CHECK_NCCL(ncclReduceScatter(buf, buf + ring._net_disp[D._rank],
                                     static_cast<size_t>(ring._net_size[0]), type, ncclSum,
                                     D._nccl_comm[0], streams[0]));
    const tail t(ring);
    if (t.count > 0) {
      // The last process owns its equal share plus the tail.
      QOR_CHECK_NCCL(ncclReduce(buf + t.offset, buf + t.offset, t.count, type, ncclSum,
                                D._size - 1, D._nccl_comm[0], streams[0]));
    }
  } else {
    for (size_t i = 0; i < D._nccl_slot.size(); ++i) {
      const int slot = static_cast<int>(i);
      T* part = buf + ring._net_disp[i];
      // The reduction rooted at this process runs on streams[0].
      const int stream = (slot - D._rank + D._size) % D._size;
      QOR_CHECK_NCCL(ncclReduce(part, part, static_cast<size_t>(ring._net_size[i]), type, ncclSum,
                                slot, *D._nccl_slot[i], streams[stream]));
    }
  }
}

template <class T>
template <OPR OP, bool R>
QOR_Status qor_sw<T>::reduce_scatter_nccl(qor_dim& D, qor_ring& ring, T* buf,
                                          cudaStream_t* streams, qor_stat* stat) {
  return timed_phase<T>(
      D, ring, stat, R ? 'n' : 'b',
      [&] { reduce_scatter_nccl_call<OP, R>(D, ring, buf, streams, stat); },
      // Only the reduction rooted here, on streams[0], must be complete.
      [&] { synchronise(streams[0], __LINE__); });
}

template <class T>
template <bool R>
void qor_sw<T>::allgatherv_nccl_call(qor_dim& D, qor_ring& ring, T* buf, cudaStream_t* streams,
                                     qor_stat*) {
  const ncclDataType_t type = nccl_type<T>();
  if constexpr (R) {
    // In place: the own part already sits at its slot.
    QOR_CHECK_NCCL(ncclAllGather(buf + ring._net_disp[D._rank], buf,
                                 static_cast<size_t>(ring._net_size[0]), type, D._nccl_comm[0],
                                 streams[0]));
    const tail t(ring);
    if (t.count > 0) {
      QOR_CHECK_NCCL(ncclBcast(buf + t.offset, t.count, type, D._size - 1, D._nccl_comm[0],
                               streams[0]));
    }
  } else {
    for (size_t i = 0; i < D._nccl_comm.size(); ++i) {
      QOR_CHECK_NCCL(ncclBcast(buf + ring._net_disp[i], static_cast<size_t>(ring._net_size[i]),
                               type, static_cast<int>(i), D._nccl_comm[i], streams[i]));
    }
  }
}

template <class T>
template <bool R>
QOR_Status qor_sw<T>::allgatherv_nccl(qor_dim& D, qor_ring& ring, T* buf, cudaStream_t* streams,
                                      qor_stat* stat) {
  return timed_phase<T>(
      D, ring, stat, R ? 'n' : 'b', [&] { allgatherv_nccl_call<R>(D, ring, buf, streams, stat); },
      [&] { _hw->wait_stream(streams, R ? 1 : D._size); });
}

template <class T>
template <OPR OP>
QOR_Status qor_sw<T>::allreduce_nccl(qor_dim& D, qor_ring& ring, T* buf, cudaStream_t* streams,
                                     qor_stat* stat) {
  if (D._nccl_comm.empty()) return QOR_FAILURE;
  const double t0 = monotonic_seconds();
  QOR_CHECK_NCCL(ncclAllReduce(buf, buf, static_cast<size_t>(ring._net_disp.back()),
                               nccl_type<T>(), ncclSum, D._nccl_comm[0], streams[0]));
  synchronise(streams[0], __LINE__);
  const double t1 = monotonic_seconds();
  synchronise(streams[0], __LINE__);
  if (stat) {
    const double t2 = monotonic_seconds();
    const double bytes = 2.0 * segment_bytes<T>(ring);
    stat->add_xact('-', 0.0, 0, 0.0, 0.0, 0.0, 0.0, 0.0, ' ');
    stat->add_xact('n', t0, D._index, t1 - t0, t2 - t1, 0.0, bytes, bytes, 'a');
  }
  return QOR_SUCCESS;
}

#define QOR_NCCL_PHASES(T, OP)                                                               \
  template QOR_Status qor_sw<T>::reduce_scatter_nccl<OP, true>(qor_dim&, qor_ring&, T*,     \
                                                               cudaStream_t*, qor_stat*);   \
  template QOR_Status qor_sw<T>::reduce_scatter_nccl<OP, false>(qor_dim&, qor_ring&, T*,    \
                                                                cudaStream_t*, qor_stat*);  \
  template void qor_sw<T>::reduce_scatter_nccl_call<OP, true>(qor_dim&, qor_ring&, T*,      \
                                                              cudaStream_t*, qor_stat*);    \
  template void qor_sw<T>::reduce_scatter_nccl_call<OP, false>(qor_dim&, qor_ring&, T*,     \
                                                               cudaStream_t*, qor_stat*);
QOR_EACH_SUM(QOR_NCCL_PHASES)
#undef QOR_NCCL_PHASES

#define QOR_NCCL_GATHERS(T)                                                                   \
  template QOR_Status qor_sw<T>::allgatherv_nccl<true>(qor_dim&, qor_ring&, T*, cudaStream_t*, \
                                                       qor_stat*);                             \
  template QOR_Status qor_sw<T>::allgatherv_nccl<false>(qor_dim&, qor_ring&, T*,              \
                                                        cudaStream_t*, qor_stat*);            \
  template QOR_Status qor_sw<T>::allreduce_nccl<QOR_MDR_SUM>(qor_dim&, qor_ring&, T*,          \
                                                             cudaStream_t*, qor_stat*);        \
  template void qor_sw<T>::allgatherv_nccl_call<true>(qor_dim&, qor_ring&, T*, cudaStream_t*,   \
                                                      qor_stat*);                              \
  template void qor_sw<T>::allgatherv_nccl_call<false>(qor_dim&, qor_ring&, T*, cudaStream_t*,  \
                                                       qor_stat*);
QOR_EACH_TYPE(QOR_NCCL_GATHERS)
#undef QOR_NCCL_GATHERS

}  // namespace network
}  // namespace qor
