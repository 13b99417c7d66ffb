// One phase of one dimension handed to the MPI library's collectives, and
// the neighbour exchange (DECENT) that adds the two ring neighbours'
// segments to the own one.  Where MPI cannot read device memory, the data
// goes through the hardware layer's pinned staging buffers.
#include <mpi.h>

#include <type_traits>

#include "qor_check.h"
#include "qor_clock.h"
#include "qor_sw.h"
#include "qor_sw_instances.h"
#include "qor_sw_step.h"

namespace qor {
namespace network {

namespace {

constexpr int receive_side = 0;
constexpr int send_side = 1;

// Where MPI works on a segment of `total` elements: the segment itself, or
// the receive-side staging buffer where MPI cannot read device memory,
// holding a copy of the segment when `fill`.
template <class T>
T* mpi_segment(qor_hw& hw, T* buf, int total, bool fill) {
  if (!hw.stages_mpi()) return buf;
  T* segment = static_cast<T*>(hw.staging_buffer(receive_side, size_of_block<T>(total)));
  if (fill) hw.copy(segment, buf, size_of_block<T>(total), cudaMemcpyDeviceToHost);
  return segment;
}

// The statistics row of an MPI collective ('a' marks a whole allreduce).
void record(qor_stat* stat, double t0, const qor_dim& D, double bytes, char tag) {
  if (stat) stat->add_xact('m', t0, D._index, monotonic_seconds() - t0, 0.0, 0.0, bytes, bytes, tag);
}

}  // namespace

// The MPI collectives read the clock for their statistics row only: on a
// small buffer a clock read is a noticeable part of the call.
template <class T>
template <OPR OP>
QOR_Status qor_sw<T>::reduce_scatter_mpi(qor_dim& D, qor_ring& ring, T* buf, qor_stat* stat) {
  const double t0 = stat ? monotonic_seconds() : 0.0;
  if constexpr (std::is_same<T, __half>::value) raise_half_unsupported(__FILE__, __LINE__);
  qor_hw& hw = *_hw;
  const int total = ring._net_disp.back();
  const int count = ring._net_size[static_cast<size_t>(D._rank)];
  T* own = buf + ring._net_disp[static_cast<size_t>(D._rank)];
  const bool staged = hw.stages_mpi();
  T* segment = mpi_segment(hw, buf, total, true);
  T* result = nullptr;  // where MPI leaves this process's part
  if (hw._mpi_inplace) {
    // MPI forbids overlapping send and receive buffers: in place, the
    // input is the whole segment and the part lands at its start.
    QOR_CHECK_MPI(MPI_Reduce_scatter(MPI_IN_PLACE, segment, ring._net_size.data(), MPI_FLOAT,
                                     MPI_SUM, D._comm));
    result = segment;
  } else {
    T* send = segment;
    if (!staged) {
      send = get_temp_buf(static_cast<size_t>(total));
      hw.copy(send, buf, size_of_block<T>(total), cudaMemcpyDeviceToDevice);
    }
    result = staged ? static_cast<T*>(hw.staging_buffer(send_side, size_of_block<T>(count))) : own;
    QOR_CHECK_MPI(MPI_Reduce_scatter(send, result, ring._net_size.data(), MPI_FLOAT, MPI_SUM,
                                     D._comm));
  }
  if (result != own) {
    if (staged || hw._device < 0) {
      hw.copy(own, result, size_of_block<T>(count), cudaMemcpyHostToDevice);
    } else {
      // The part and its place may overlap: device copies must not.
      T* tmp = get_temp_buf(static_cast<size_t>(count));
      hw.copy(tmp, result, size_of_block<T>(count), cudaMemcpyDeviceToDevice);
      hw.copy(own, tmp, size_of_block<T>(count), cudaMemcpyDeviceToDevice);
    }
  }
  record(stat, t0, D, bytes_of<T>(total), ' ');
  return QOR_SUCCESS;
}

template <class T>
QOR_Status qor_sw<T>::allgatherv_mpi(qor_dim& D, qor_ring& ring, T* buf, qor_stat* stat) {
  const double t0 = stat ? monotonic_seconds() : 0.0;
  qor_hw& hw = *_hw;
  const int total = ring._net_disp.back();
  const bool staged = hw.stages_mpi();
  T* segment = mpi_segment(hw, buf, total, false);
  if (staged) {
    const int own = ring._net_disp[static_cast<size_t>(D._rank)];
    hw.copy(segment + own, buf + own, size_of_block<T>(ring._net_size[static_cast<size_t>(D._rank)]),
            cudaMemcpyDeviceToHost);
  }
  const MPI_Datatype type = mpi_type<T>();
  QOR_CHECK_MPI(MPI_Allgatherv(MPI_IN_PLACE, 0, type, segment, ring._net_size.data(),
                               ring._net_disp.data(), type, D._comm));
  if (staged) hw.copy(buf, segment, size_of_block<T>(total), cudaMemcpyHostToDevice);
  record(stat, t0, D, bytes_of<T>(total), ' ');
  return QOR_SUCCESS;
}

template <class T>
template <OPR OP>
QOR_Status qor_sw<T>::allreduce_mpi(qor_dim& D, qor_ring& ring, T* buf, qor_stat* stat) {
  const double t0 = stat ? monotonic_seconds() : 0.0;
  if constexpr (std::is_same<T, __half>::value) raise_half_unsupported(__FILE__, __LINE__);
  qor_hw& hw = *_hw;
  const int total = ring._net_disp.back();
  const bool staged = hw.stages_mpi();
  T* segment = mpi_segment(hw, buf, total, true);
  QOR_CHECK_MPI(MPI_Allreduce(MPI_IN_PLACE, segment, total, MPI_FLOAT, MPI_SUM, D._comm));
  if (staged) hw.copy(buf, segment, size_of_block<T>(total), cudaMemcpyHostToDevice);
  record(stat, t0, D, 2.0 * bytes_of<T>(total), 'a');
  return QOR_SUCCESS;
}

template <class T>
template <OPR OP, bool DBG>
QOR_Status qor_sw<T>::reduce_scatter_decent(qor_dim& D, qor_ring& ring, T* buf, qor_stat* stat) {
  if constexpr (OP == QOR_MDR_HOST_SUM && std::is_same<T, __half>::value) {
    // Fails before any message is in flight, like the traversals.
    raise_half_unsupported(__FILE__, __LINE__);
  }
  qor_hw& hw = *_hw;
  const int tag = reduce_scatter_tag(D._index);
  const int n = ring._net_disp.back();
  const MPI_Datatype type = mpi_type<T>();
  // From the right neighbour into [0, n), from the left one into [n, 2n).
  T* scratch = get_temp_buf(2 * static_cast<size_t>(n));
  const bool staged = hw.stages_mpi();
  T* received = staged
                    ? static_cast<T*>(hw.staging_buffer(receive_side, 2 * size_of_block<T>(n)))
                    : scratch;
  T* sent = buf;
  if (staged) {
    sent = static_cast<T*>(hw.staging_buffer(send_side, size_of_block<T>(n)));
    hw.copy(sent, buf, size_of_block<T>(n), cudaMemcpyDeviceToHost);
  }
  MPI_Request recv[2] = {MPI_REQUEST_NULL, MPI_REQUEST_NULL};
  MPI_Request send[2] = {MPI_REQUEST_NULL, MPI_REQUEST_NULL};
  const double t0 = monotonic_seconds();
  QOR_CHECK_MPI(MPI_Irecv(received, n, type, ring._next, tag, D._comm, &recv[0]));
  QOR_CHECK_MPI(MPI_Irecv(received + n, n, type, ring._prev, tag, D._comm, &recv[1]));
  QOR_CHECK_MPI(MPI_Isend(sent, n, type, ring._next, tag, D._comm, &send[0]));
  QOR_CHECK_MPI(MPI_Isend(sent, n, type, ring._prev, tag, D._comm, &send[1]));
  const double t1 = monotonic_seconds();
  complete_request<DBG>(*this, D._rank, &recv[0], __FILE__, __LINE__);
  // The sends read buf, which the sums below change: a message still in
  // flight would carry a half-summed segment to the neighbours.
  complete_request<DBG>(*this, D._rank, &send[0], __FILE__, __LINE__);
  complete_request<DBG>(*this, D._rank, &send[1], __FILE__, __LINE__);
  const double t2 = monotonic_seconds();
  cudaStream_t stream = hw.main_stream();
  if (staged) hw.copy(scratch, received, size_of_block<T>(n), cudaMemcpyHostToDevice);
  reduce_op<OP>(stream, n, scratch, buf, 0);
  const double t3 = monotonic_seconds();
  complete_request<DBG>(*this, D._rank, &recv[1], __FILE__, __LINE__);
  const double t4 = monotonic_seconds();
  if (staged) hw.copy(scratch + n, received + n, size_of_block<T>(n), cudaMemcpyHostToDevice);
  reduce_op<OP>(stream, n, scratch + n, buf, 0);
  if (stat) {
    const double t5 = monotonic_seconds();
    const double bytes = 2.0 * bytes_of<T>(n);
    stat->add_xact('d', t0, D._index, t1 - t0, (t2 - t1) + (t4 - t3), (t3 - t2) + (t5 - t4),
                   bytes, bytes, ' ');
  }
  return QOR_SUCCESS;
}

#define QOR_MPI_PHASES(T, OP)                                                                  \
  template QOR_Status qor_sw<T>::reduce_scatter_mpi<OP>(qor_dim&, qor_ring&, T*, qor_stat*);  \
  template QOR_Status qor_sw<T>::reduce_scatter_decent<OP, false>(qor_dim&, qor_ring&, T*,    \
                                                                  qor_stat*);                 \
  template QOR_Status qor_sw<T>::reduce_scatter_decent<OP, true>(qor_dim&, qor_ring&, T*,     \
                                                                 qor_stat*);
QOR_EACH_SUM(QOR_MPI_PHASES)
#undef QOR_MPI_PHASES

#define QOR_MPI_GATHERS(T)                                                        \
  template QOR_Status qor_sw<T>::allgatherv_mpi(qor_dim&, qor_ring&, T*, qor_stat*); \
  template QOR_Status qor_sw<T>::allreduce_mpi<QOR_MDR_SUM>(qor_dim&, qor_ring&, T*, qor_stat*);
QOR_EACH_TYPE(QOR_MPI_GATHERS)
#undef QOR_MPI_GATHERS

}  // namespace network
}  // namespace qor
