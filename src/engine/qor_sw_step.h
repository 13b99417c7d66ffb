// One step of a traversal, shared by the ring and the recursive traversals:
// a block goes to one peer while a block comes from another and is folded in.
#pragma once

#include <mpi.h>

#include <algorithm>
#include <array>
#include <cstddef>

#include "qor_check.h"
#include "qor_stat.h"
#include "qor_sw.h"
#include "qor_clock.h"
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

// Where a step's MPI failures are reported.
struct step_lines {
  const char* file;
  int irecv, isend, wait_recv, wait_send;
};

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

// Sends send[0..send_count) to `to` and receives recv_count elements from
// `from`.  A plain transfer lands them in target; a reducing one lands them
// in `scratch` and folds them into target.  Where MPI cannot read device
// buffers, pieces go through the hardware layer's pinned staging buffers.
// Adds the step's row to `stat`.
template <OPR OP, bool DBG, class T>
void exchange_block(qor_sw<T>& sw, cudaStream_t& stream, int rank, MPI_Comm& comm, int tag,
                    const T* send, int send_count, int to, T* target, T* scratch,
                    int recv_count, int from, int step, const step_lines& at, qor_stat* stat,
                    char algo, int d, char step_char) {
  constexpr bool reducing = OP != QOR_MDR_NONE;
  const MPI_Datatype type = mpi_type<T>();
  qor_hw& hw = *sw._hw;
  const bool in_pieces = OP == QOR_MDR_HOST_SUM || hw._device >= 0;
  const bool staged = hw.stages_mpi();
  const block_cut<T> in(recv_count, in_pieces);
  const block_cut<T> out(send_count, in_pieces);
  std::array<MPI_Request, block_cut<T>::max_pieces> recv_requests;
  std::array<MPI_Request, block_cut<T>::max_pieces> send_requests;
  recv_requests.fill(MPI_REQUEST_NULL);
  send_requests.fill(MPI_REQUEST_NULL);
  // A reducing pass must not overwrite its own contribution: the peer's
  // block goes to the scratch area and is folded in afterwards.
  T* landing = reducing ? scratch : target;
  // What MPI reads and writes: the buffers themselves, or their staging.
  T* received =
      staged ? static_cast<T*>(hw.staging_buffer(0, size_of_block<T>(recv_count))) : landing;
  T* send_stage =
      staged ? static_cast<T*>(hw.staging_buffer(1, size_of_block<T>(send_count))) : nullptr;
  const T* sent = staged ? send_stage : send;

  // A host sum receives into a few slots of the scratch area, which stay in
  // the processor's cache; each slot is posted again once its piece is
  // folded in.  Elsewhere every piece has its own place.
  const int window = OP == QOR_MDR_HOST_SUM ? std::min(in.pieces, host_sum_window) : in.pieces;
  auto slot = [&](int i) {
    return received + (window < in.pieces ? (i % window) * in.piece : in.offset(i));
  };
  auto post = [&](int i) {
    int code = MPI_Irecv(slot(i), in.length(i, recv_count), type, from, tag, comm,
                         &recv_requests[i]);
    if (code != MPI_SUCCESS) raise_mpi(at.file, at.irecv, code);
  };
  const double t0 = monotonic_seconds();
  for (int i = 0; i < window; ++i) post(i);
  for (int i = 0; i < out.pieces; ++i) {
    const int length = out.length(i, send_count);
    if (staged) {
      hw.copy_and_wait(send_stage + out.offset(i), send + out.offset(i), size_of_block<T>(length),
                       cudaMemcpyDeviceToHost, stream);
    }
    int code = MPI_Isend(sent + out.offset(i), length, type, to, tag, comm, &send_requests[i]);
    if (code != MPI_SUCCESS) raise_mpi(at.file, at.isend, code);
  }
  const double t1 = monotonic_seconds();
  double wait_time = 0.0;
  double reduce_time = 0.0;
  watchdog::engine_peer(from);
  for (int i = 0; i < in.pieces; ++i) {
    const double w0 = monotonic_seconds();
    complete_request<DBG>(sw, rank, &recv_requests[i], at.file, at.wait_recv);
    const double w1 = monotonic_seconds();
    wait_time += w1 - w0;
    const int length = in.length(i, recv_count);
    if (staged) {
      hw.copy_and_wait(landing + in.offset(i), received + in.offset(i), size_of_block<T>(length),
                       cudaMemcpyHostToDevice, stream);
    }
    if constexpr (reducing) {
      // Overlaps the sends still in flight: the target is never sent here.
      T* y = target + in.offset(i);
      if constexpr (OP == QOR_MDR_HOST_SUM) {
        T* x = slot(i);  // never staged: host-CPU mode
        // Shared-memory transfers move only while a process is inside MPI:
        // between slices of the sum, a test of the next piece lets both
        // sides' copies go on meanwhile.
        MPI_Request* next = i + 1 < in.pieces ? &recv_requests[i + 1] : &send_requests[0];
        for (int done = 0; done < length; done += host_sum_slice) {
          if (done > 0) {
            int flag = 0;
            int code = MPI_Test(next, &flag, MPI_STATUS_IGNORE);
            if (code != MPI_SUCCESS) raise_mpi(at.file, at.wait_recv, code);
          }
          sw.template reduce_op<OP>(stream, std::min(host_sum_slice, length - done), x + done,
                                    y + done, step);
        }
        if (i + window < in.pieces) post(i + window);
      } else {
        sw.template reduce_op<OP>(stream, length, scratch + in.offset(i), y, step);
      }
      reduce_time += monotonic_seconds() - w1;
    }
  }
  if (stat) {
    stat->add_xact(algo, t0, d, t1 - t0, wait_time, reduce_time, bytes_of<T>(send_count),
                   bytes_of<T>(recv_count), step_char);
  }
  watchdog::engine_peer(to);
  for (int i = 0; i < out.pieces; ++i) {
    complete_request<DBG>(sw, rank, &send_requests[i], at.file, at.wait_send);
  }
}

}  // namespace network
}  // namespace qor
