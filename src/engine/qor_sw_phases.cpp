// The two halves of an allreduce across the topology: reduce-scatter through
// the dimensions in ascending order and allgather back in descending order,
// each dimension by the algorithm chosen for it and the phase.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qor_algo.h"
#include "qor_exception.h"
#include "qor_report_lines.h"
#include "qor_sw.h"
#include "qor_watchdog.h"

namespace qor {
namespace network {

namespace {

// An algorithm value that selection never stores: an internal error that
// stops the process with a failed assert's message at the line log readers
// know, also where assertions are compiled out (NDEBUG).
[[noreturn]] void unknown_algorithm(int line) {
  std::fprintf(stderr, "%s: %s:%d: %s: Assertion `false' failed.\n", program_invocation_short_name, __FILE__, line,
               __PRETTY_FUNCTION__);
  std::abort();
}
// NCCLB drives one stream per process of the dimension; the hardware layer
// makes them with the communicators.  Refused rather than read past the list.
cudaStream_t* per_peer_streams(qor_hw& hw, const qor_dim& D) {
  if (D.nccl_enabled() && hw._streams.size() < static_cast<size_t>(D._size)) {
    QOR_REFUSE(hw._rank, "NCCLB on dimension " + std::to_string(D._index) + " needs " + std::to_string(D._size) +
                             " streams, the layer has " + std::to_string(hw._streams.size()));
  }
  return hw._streams.data();
}

// What a phase on one dimension works with, and which algorithm runs it.
template <class T>
struct phase {
  qor_dim& D;
  qor_ring& R;
  qor_rcs* S;  // the recursive schedule; null where the layer has none
  T* base;     // the dimension's segment
  int tag;
  int algo;
};

// The phase of dimension d, after telling the watchdog which phase,
// dimension and algorithm run now and how a rank in the dimension maps to a
// rank of the layer's communicator (the grid is row-major: dimension d
// steps by the product of the later sizes).  An algorithm value selection
// never stores stops the process at `unknown_line`.
template <class T>
phase<T> start_phase(qor_sw<T>& sw, const char* name, int d, int algo, int tag, int unknown_line) {
  const qor_hw& hw = *sw._hw;
  if (find_algo(algo) == nullptr) unknown_algorithm(unknown_line);
  int stride = 1;
  for (size_t k = static_cast<size_t>(d) + 1; k < hw._dim.size(); ++k) stride *= hw._dim[k]._size;
  const int first = hw._rank - hw._dim[static_cast<size_t>(d)]._rank * stride;
  watchdog::engine_phase(name, d, get_algo_text(algo), first, stride);
  const size_t i = static_cast<size_t>(d);
  qor_ring& R = sw._rings[i];
  qor_rcs* S = i < sw._rcs.size() && !sw._rcs[i]._partner_rank.empty() ? &sw._rcs[i] : nullptr;
  return {sw._hw->_dim[i], R, S, sw._buf_base + R._net_off, tag, algo};
}

}  // namespace

template <class T>
template <OPR OP, bool DBG>
QOR_Status qor_sw<T>::reduce_scatter(int d, qor_stat* stat) {
  const phase<T> p = start_phase(*this, "reduce-scatter", d, _best_rs_algo[static_cast<size_t>(d)],
                                 reduce_scatter_tag(d), report_line::unknown_rs_algo);
  qor_dim& D = p.D;
  qor_ring& R = p.R;
  // The host sum folds on the host: its traversals get no stream.
  cudaStream_t stream = OP == QOR_MDR_HOST_SUM ? nullptr : _hw->main_stream();
  if (p.algo == ALG_RING || (OP == QOR_MDR_BOR && !find_algo(p.algo)->ors_itself)) {
    T* tmp = get_temp_buf(static_cast<size_t>(R._net_size.back()));
    return ring_traversal<OP, DBG>(stream, D._index, D._rank, D._size, D._comm, R._next, R._prev, R._prev, p.tag,
                                   p.base, R._net_disp.data(), R._net_size.data(), tmp, stat);
  }
  if (p.algo == ALG_NOOP) return QOR_SUCCESS;
  if (p.algo == ALG_RCS) {
    if (p.S == nullptr) return QOR_FAILURE;
    qor_rcs& S = *p.S;
    T* tmp = get_temp_buf(static_cast<size_t>(S._my_size.back()));
    return recur_traversal<OP, DBG>(stream, D._index, D._rank, static_cast<int>(S._partner_rank.size()), D._comm,
                                    S._partner_rank.data(), p.tag, p.base, S._partner_off.data(),
                                    S._partner_size.data(), S._my_off.data(), S._my_size.data(), tmp, stat);
  }
  if constexpr (OP != QOR_MDR_BOR) {
    switch (p.algo) {
      case ALG_NCCLB:
        return reduce_scatter_nccl<OP, false>(D, R, p.base, per_peer_streams(*_hw, D), stat);
      case ALG_NCCLR:
        return reduce_scatter_nccl<OP, true>(D, R, p.base, _hw->_streams.data(), stat);
      case ALG_MPI:
        return reduce_scatter_mpi<OP>(D, R, p.base, stat);
      case ALG_DECENT:
        return reduce_scatter_decent<OP, DBG>(D, R, p.base, stat);
      case ALG_MPIA:
        return allreduce_mpi<QOR_MDR_SUM>(D, R, p.base, stat);
      case ALG_NCCLA:
        return allreduce_nccl<QOR_MDR_SUM>(D, R, p.base, _hw->_streams.data(), stat);
      case ALG_SHM:
        return reduce_scatter_shm<OP>(D, R, p.base, stat);
      case ALG_SHMA:
        return allreduce_shm<OP>(D, R, p.base, stat);
      default:
        break;
    }
  }
  unknown_algorithm(report_line::unknown_rs_algo);
}

template <class T>
template <OPR OP, bool DBG>
QOR_Status qor_sw<T>::reduce_scatter(qor_stat* stat) {
  reserve_shm();
  for (size_t d = 0; d < _hw->_dim.size(); ++d) {
    const QOR_Status status = reduce_scatter<OP, DBG>(static_cast<int>(d), stat);
    if (status != QOR_SUCCESS) return status;
  }
  return QOR_SUCCESS;
}

template <class T>
template <bool DBG>
QOR_Status qor_sw<T>::allgatherv(int d, qor_stat* stat) {
  const phase<T> p = start_phase(*this, "allgather", d, _best_ag_algo[static_cast<size_t>(d)], allgather_tag(d),
                                 report_line::unknown_ag_algo);
  qor_dim& D = p.D;
  qor_ring& R = p.R;
  if (p.algo == ALG_NOOP || find_algo(p.algo)->whole_in_reduce_scatter) return QOR_SUCCESS;
  switch (p.algo) {
    case ALG_NCCLB:
      return allgatherv_nccl<false>(D, R, p.base, per_peer_streams(*_hw, D), stat);
    case ALG_NCCLR:
      return allgatherv_nccl<true>(D, R, p.base, _hw->_streams.data(), stat);
    case ALG_RING:
      return ring_traversal<QOR_MDR_NONE, DBG>(nullptr, D._index, D._rank, D._size, D._comm, R._next, R._prev,
                                               D._rank, p.tag, p.base, R._net_disp.data(), R._net_size.data(),
                                               nullptr, stat);
    case ALG_RCS: {
      if (p.S == nullptr) return QOR_FAILURE;
      qor_rcs& S = *p.S;
      return recur_traversal<QOR_MDR_NONE, DBG>(nullptr, D._index, D._rank, static_cast<int>(S._partner_rank.size()),
                                                D._comm, S._partner_rank.data(), p.tag, p.base, S._my_off.data(),
                                                S._my_size.data(), S._partner_off.data(), S._partner_size.data(),
                                                nullptr, stat);
    }
    case ALG_MPI:
      return allgatherv_mpi(D, R, p.base, stat);
    case ALG_SHM:
      return allgatherv_shm(D, R, p.base, stat);
    default:
      unknown_algorithm(report_line::unknown_ag_algo);
  }
}

template <class T>
template <bool DBG>
QOR_Status qor_sw<T>::allgatherv(qor_stat* stat) {
  for (size_t d = _hw->_dim.size(); d-- > 0;) {
    const QOR_Status status = allgatherv<DBG>(static_cast<int>(d), stat);
    if (status != QOR_SUCCESS) return status;
  }
  return QOR_SUCCESS;
}

#define QOR_PHASES(T, OP, DBG)                                           \
  template QOR_Status qor_sw<T>::reduce_scatter<OP, DBG>(int, qor_stat*); \
  template QOR_Status qor_sw<T>::reduce_scatter<OP, DBG>(qor_stat*);
#define QOR_ALL_PHASES(T, DBG)                                  \
  QOR_PHASES(T, QOR_MDR_SUM, DBG)                               \
  QOR_PHASES(T, QOR_MDR_BOR, DBG)                               \
  QOR_PHASES(T, QOR_MDR_HOST_SUM, DBG)                          \
  template QOR_Status qor_sw<T>::allgatherv<DBG>(int, qor_stat*); \
  template QOR_Status qor_sw<T>::allgatherv<DBG>(qor_stat*);
QOR_ALL_PHASES(float, false)
QOR_ALL_PHASES(float, true)
QOR_ALL_PHASES(__half, false)
QOR_ALL_PHASES(__half, true)
#undef QOR_ALL_PHASES
#undef QOR_PHASES

}  // namespace network
}  // namespace qor
