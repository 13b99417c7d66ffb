// One step of a traversal, shared by the ring and the recursive traversals:
// a block goes to one peer while a block comes from another and is folded in.
#pragma once

#include <mpi.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <type_traits>

#include "qor_check.h"
#include "qor_stat.h"
#include "qor_sw.h"
#include "qor_clock.h"
#include "qor_report_lines.h"
#include "qor_watchdog.h"

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

// Bytes of n elements in memory.
template <class T>
inline size_t size_of_block(int n) {
  return static_cast<size_t>(n) * sizeof(T);
}

// How a step sends one block.  A block summed on the host travels as a train
// of pieces so that each piece is folded in right after it arrives, while it
// is still in the processor's cache, instead of reading the whole block back
// from memory after the transfer.  GPU-mode blocks travel in pieces too, so
// that where they are staged through host memory, the copy of one piece
// overlaps the transfer of the one before.  Sender and receiver derive the
// same cut from the same element count and mode.
template <class T>
struct block_cut {
  static constexpr size_t piece_bytes = size_t{1} << 20;
  static constexpr int max_pieces = 64;
  int pieces = 1;
  int piece = 0;  // elements per piece but the last

  block_cut(int count, bool cut) : piece(count) {
    if (!cut || count <= 0) return;
    const size_t bytes = static_cast<size_t>(count) * sizeof(T);
    const int wanted =
        static_cast<int>(std::min<size_t>(max_pieces, (bytes + piece_bytes - 1) / piece_bytes));
    // Rounded up without count + wanted - 1, which overflows near INT_MAX.
    piece = (count - 1) / wanted + 1;
    pieces = (count - 1) / piece + 1;
  }
  int offset(int i) const { return i * piece; }
  int length(int i, int count) const { return std::min(piece, count - i * piece); }
};

// Elements summed on the host between two tests of pending transfers.
constexpr int host_sum_slice = 16384;
// Pieces of a host-summed block in flight at once.
constexpr int host_sum_window = 4;

// Only float has a host sum: a half traversal of it fails before any
// message is in flight, so that every process stops at the same point and
// nothing lands later.
template <OPR OP, class T>
void refuse_host_half(qor_sw<T>& sw, cudaStream_t stream, T* tmp, T* buf) {
  if constexpr (OP == QOR_MDR_HOST_SUM && !std::is_same<T, float>::value)
    sw.template reduce_op<OP>(stream, 0, tmp, buf, 0);
}

// What every step of one traversal shares, built once by the traversal.
template <class T>
struct step_context {
  qor_sw<T>& sw;
  cudaStream_t& stream;
  int rank;  // in the bounded wait's report
  MPI_Comm& comm;
  int tag;
  const char* file;  // where MPI failures are reported, with the lines of `at`
  report_line::step at;
  qor_stat* stat;  // statistics row per step; may be null
  char algo;       // the statistics' algorithm letter
  int d;
};

// What a step sends: count elements at data, to a rank of the dimension.
template <class T>
struct outgoing {
  const T* data;
  int count;
  int to;
};

// What a step receives: count elements from a rank of the dimension, that a
// plain transfer lands in target and a reducing one lands in scratch and
// folds into target.
template <class T>
struct incoming {
  T* target;
  T* scratch;
  int count;
  int from;
};

// Posts the sends of a block's pieces, each first copied into the pinned
// staging buffer where MPI cannot read device memory.
template <class T>
void send_pieces(const step_context<T>& c, const outgoing<T>& out, const block_cut<T>& cut, T* stage,
                 MPI_Request* requests) {
  qor_hw& hw = *c.sw._hw;
  const T* sent = stage ? stage : out.data;
  for (int i = 0; i < cut.pieces; ++i) {
    const int length = cut.length(i, out.count);
    if (stage) {
      hw.copy_and_wait(stage + cut.offset(i), out.data + cut.offset(i), size_of_block<T>(length),
                       cudaMemcpyDeviceToHost, c.stream);
    }
    int code = MPI_Isend(sent + cut.offset(i), length, mpi_type<T>(), out.to, c.tag, c.comm, &requests[i]);
    if (code != MPI_SUCCESS) raise_mpi(c.file, c.at.isend, code);
  }
}

// Folds a received host-summed piece x into y slice by slice.  Shared-memory
// transfers move only while a process is inside MPI: between slices, a test
// of the next request lets both sides' copies go on meanwhile.
template <class T>
void fold_on_host(const step_context<T>& c, int length, T* x, T* y, MPI_Request* next, int step) {
  for (int done = 0; done < length; done += host_sum_slice) {
    if (done > 0) {
      int flag = 0;
      int code = MPI_Test(next, &flag, MPI_STATUS_IGNORE);
      if (code != MPI_SUCCESS) raise_mpi(c.file, c.at.wait_recv, code);
    }
    c.sw.template reduce_op<QOR_MDR_HOST_SUM>(c.stream, std::min(host_sum_slice, length - done), x + done,
                                                y + done, step);
  }
}

// Sends `out` while receiving `in`, step `step` of a traversal, and adds
// the step's row to the statistics.  Where MPI cannot read device buffers,
// pieces go through the hardware layer's pinned staging buffers.
template <OPR OP, bool DBG, class T>
void exchange_block(const step_context<T>& c, const outgoing<T>& out, const incoming<T>& in, int step,
                    char step_char) {
  constexpr bool reducing = OP != QOR_MDR_NONE;
  qor_hw& hw = *c.sw._hw;
  const bool in_pieces = OP == QOR_MDR_HOST_SUM || hw._device >= 0;
  const bool staged = hw.stages_mpi();
  const block_cut<T> in_cut(in.count, in_pieces);
  const block_cut<T> out_cut(out.count, in_pieces);
  std::array<MPI_Request, block_cut<T>::max_pieces> recv_requests;
  std::array<MPI_Request, block_cut<T>::max_pieces> send_requests;
  recv_requests.fill(MPI_REQUEST_NULL);
  send_requests.fill(MPI_REQUEST_NULL);
  // A reducing pass must not overwrite its own contribution: the peer's
  // block goes to the scratch area and is folded in afterwards.
  T* landing = reducing ? in.scratch : in.target;
  // What MPI writes: the landing place itself, or its staging.
  T* received = staged ? static_cast<T*>(hw.staging_buffer(0, size_of_block<T>(in.count))) : landing;
  T* send_stage = staged ? static_cast<T*>(hw.staging_buffer(1, size_of_block<T>(out.count))) : nullptr;

  // A host sum receives into a few slots of the scratch area, which stay in
  // the processor's cache; each slot is posted again once its piece is
  // folded in.  Elsewhere every piece has its own place.
  const int window = OP == QOR_MDR_HOST_SUM ? std::min(in_cut.pieces, host_sum_window) : in_cut.pieces;
  auto slot = [&](int i) {
    return received + (window < in_cut.pieces ? (i % window) * in_cut.piece : in_cut.offset(i));
  };
  auto post = [&](int i) {
    int code = MPI_Irecv(slot(i), in_cut.length(i, in.count), mpi_type<T>(), in.from, c.tag, c.comm,
                         &recv_requests[i]);
    if (code != MPI_SUCCESS) raise_mpi(c.file, c.at.irecv, code);
  };
  const double t0 = monotonic_seconds();
  for (int i = 0; i < window; ++i) post(i);
  send_pieces(c, out, out_cut, send_stage, send_requests.data());
  const double t1 = monotonic_seconds();
  double wait_time = 0.0;
  double reduce_time = 0.0;
  watchdog::engine_peer(in.from);
  for (int i = 0; i < in_cut.pieces; ++i) {
    const double w0 = monotonic_seconds();
    complete_request<DBG>(c.sw, c.rank, &recv_requests[i], c.file, c.at.wait_recv);
    const double w1 = monotonic_seconds();
    wait_time += w1 - w0;
    const int length = in_cut.length(i, in.count);
    if (staged) {
      hw.copy_and_wait(landing + in_cut.offset(i), received + in_cut.offset(i), size_of_block<T>(length),
                       cudaMemcpyHostToDevice, c.stream);
    }
    if constexpr (reducing) {
      // Overlaps the sends still in flight: the target is never sent here.
      T* y = in.target + in_cut.offset(i);
      if constexpr (OP == QOR_MDR_HOST_SUM) {
        MPI_Request* next = i + 1 < in_cut.pieces ? &recv_requests[i + 1] : &send_requests[0];
        fold_on_host(c, length, slot(i), y, next, step);  // never staged: host-CPU mode
        if (i + window < in_cut.pieces) post(i + window);
      } else {
        c.sw.template reduce_op<OP>(c.stream, length, in.scratch + in_cut.offset(i), y, step);
      }
      reduce_time += monotonic_seconds() - w1;
    }
  }
  if (c.stat) {
    c.stat->add_xact(c.algo, t0, c.d, t1 - t0, wait_time, reduce_time, bytes_of<T>(out.count),
                     bytes_of<T>(in.count), step_char);
  }
  watchdog::engine_peer(out.to);
  for (int i = 0; i < out_cut.pieces; ++i) {
    complete_request<DBG>(c.sw, c.rank, &send_requests[i], c.file, c.at.wait_send);
  }
}

}  // namespace network
}  // namespace qor
