// The collective engine: one software layer per registered buffer.  It cuts
// the buffer into one leaf partition per process along the topology
// dimensions of the hardware layer, keeps per dimension the ring (neighbours
// and part sizes) and the recursive halving/doubling schedule, folds received
// blocks into the buffer, and runs the per-dimension traversals.
//
// Class template over the element type T (float or __half); members are
// templates over the operation OP and the debug flag DBG (debug instances
// replace blocking MPI waits by bounded waits).  Member definitions live in
// src/engine/, one concept per file, explicitly instantiated there.
#pragma once

#include <cuda_fp16.h>
#include <cuda_runtime.h>
#include <mpi.h>

#include <cstddef>
#include <string>
#include <vector>

#include "qor.h"
#include "qor_hw.h"
#include "qor_stat.h"

namespace qor {
namespace network {

// The operation of a pass.
enum OPR {
  QOR_MDR_NONE = 0,     // plain transfer (allgather traffic)
  QOR_MDR_SUM = 1,      // element-wise sum on the GPU
  QOR_MDR_BOR = 5,      // element-wise bitwise OR of the raw bit patterns, on the GPU
  QOR_MDR_HOST_SUM = 6  // element-wise sum on the host (buffers in host memory)
};

// Scale of the cuBLAS axpy that sums float blocks.
extern const float QOR_ONE;

// The 7-character label of an algorithm ("RING   "), "?????" for no algorithm.
const char* get_algo_text(int alg);

// Timed trials per combination when tuning by measurement.
constexpr int tuning_trials = 5;
// The clock of the tuning's trial runs (monotonic seconds); tests replace it
// to make timings, ties and early abandons deterministic.
extern double (*tuning_clock)();

// MPI type that carries T: float as MPI_FLOAT, __half as MPI_SHORT with its
// bit pattern unchanged.
template <class T>
MPI_Datatype mpi_type();

// One dimension's partition of the segment it works on.
struct qor_ring {
  int _next = -1;           // rank in the dimension of the right neighbour
  int _prev = -1;           // rank in the dimension of the left neighbour
  int _net_off = -1;        // element offset of the dimension's segment in the buffer
  int _diff_net_size = -1;  // last part length minus first part length
  std::vector<int> _net_disp;  // size+1 offsets of the parts inside the segment
  std::vector<int> _net_size;  // size part lengths, by rank in the dimension

  // Neighbours of `rank` in a ring of `size`; both lists sized and zeroed.
  void init(int rank, int size);
  // One debug line per part length, with `rank` in the rank field.
  void dump(int rank);
};

// Recursive halving/doubling schedule of one dimension, one entry per step.
struct qor_rcs {
  std::vector<int> _my_off;        // offset of the own group of 2^k parts
  std::vector<int> _partner_off;   // offset of the partner's group
  std::vector<int> _my_size;       // elements of the own group
  std::vector<int> _partner_size;  // elements of the partner's group
  std::vector<int> _partner_rank;  // partner's rank in the dimension

  void resize(int n);
};

template <class T>
class qor_sw {
 public:
  qor_sw(qor_hw& hw, T* buf, int size, int pipe_id);
  ~qor_sw();
  qor_sw(const qor_sw&) = delete;
  qor_sw& operator=(const qor_sw&) = delete;

  // --- buffer and partition (qor_sw.cpp) ------------------------------------
  // Rebinds the buffer; repartitions only when the size changes.
  void update_buf(T* buf, int size);
  void partition_buf(int d, int part_offset, int cur_part_size, int buf_size);
  void enable_ring();
  // A scratch buffer of at least n elements; grows with 10 % headroom.
  T* get_temp_buf(size_t n);
  // The residue buffer, allocated zero-filled at the first request.
  T* get_residue();
  bool residue_available() const { return _residue != nullptr; }
  T* get_buf(int i) { return _buf_base + _part_off[i]; }
  int get_buf_off(int i) { return _part_off[i]; }
  int get_buf_size(int i) { return _part_off[i + 1] - _part_off[i]; }

  // --- recursive schedules (qor_sw_rcs.cpp) ----------------------------------
  void enable_rcs();
  void enable_rcs(int s, int* disp, int* cnt, int rank, int* partner_rank, int* my_off,
                  int* my_size, int* partner_off, int* partner_size);
  void disable_rcs();
  bool rcs_enabled() const { return !_rcs.empty(); }

  // --- diagnostic dumps (qor_sw_dump.cpp) ------------------------------------
  void dump();
  void dump_grad(int iter, std::string name);

  // --- element-wise reduction (qor_sw_reduce.cpp) ----------------------------
  // y[0..n) becomes y OP x; returns when y holds the result.
  template <OPR OP>
  void reduce_op(cudaStream_t& stream, int n, T* x, T* y, int step);

  // --- bounded wait and jitter (qor_sw_wait.cpp) -----------------------------
  void MPI_Wait_Timeout(int rank, MPI_Request* request);
  template <bool DBG>
  bool measure_jitter(qor_stat* stat);

  // --- traversals of one dimension (qor_sw_ring.cpp, qor_sw_recur.cpp) -------
  template <OPR OP, bool DBG>
  QOR_Status ring_traversal(cudaStream_t stream, int d, int rank, int size, MPI_Comm& comm,
                            int next, int prev, int start, int tag, T* buf, int* disp, int* count,
                            T* tmp, qor_stat* stat);
  template <OPR OP, bool DBG>
  QOR_Status recur_traversal(cudaStream_t stream, int d, int rank, int s, MPI_Comm& comm,
                             int* partner, int tag, T* buf, int* send_off, int* send_cnt,
                             int* recv_off, int* recv_cnt, T* tmp, qor_stat* stat);

  // --- vendor and neighbour collectives of one dimension -------------------
  // (qor_sw_nccl.cpp, qor_sw_mpi.cpp).  buf is the dimension's segment.  The
  // NCCL ones answer 1 when the dimension has no NCCL communicator.
  template <OPR OP, bool R>
  QOR_Status reduce_scatter_nccl(qor_dim& D, qor_ring& ring, T* buf, cudaStream_t* streams,
                                 qor_stat* stat);
  template <OPR OP, bool R>
  void reduce_scatter_nccl_call(qor_dim& D, qor_ring& ring, T* buf, cudaStream_t* streams,
                                qor_stat* stat);
  template <bool R>
  QOR_Status allgatherv_nccl(qor_dim& D, qor_ring& ring, T* buf, cudaStream_t* streams,
                             qor_stat* stat);
  template <bool R>
  void allgatherv_nccl_call(qor_dim& D, qor_ring& ring, T* buf, cudaStream_t* streams,
                            qor_stat* stat);
  template <OPR OP>
  QOR_Status allreduce_nccl(qor_dim& D, qor_ring& ring, T* buf, cudaStream_t* streams,
                            qor_stat* stat);
  template <OPR OP>
  QOR_Status reduce_scatter_mpi(qor_dim& D, qor_ring& ring, T* buf, qor_stat* stat);
  QOR_Status allgatherv_mpi(qor_dim& D, qor_ring& ring, T* buf, qor_stat* stat);
  template <OPR OP>
  QOR_Status allreduce_mpi(qor_dim& D, qor_ring& ring, T* buf, qor_stat* stat);
  template <OPR OP, bool DBG>
  QOR_Status reduce_scatter_decent(qor_dim& D, qor_ring& ring, T* buf, qor_stat* stat);

  // --- shared memory of one host's processes (qor_sw_shm.cpp) ---------------
  // Each process sums its part from its peers' data where they lie and
  // copies the other parts from their owners: no messages.  Host-CPU float
  // buffers only; results equal the ring's bit for bit.
  template <OPR OP>
  QOR_Status reduce_scatter_shm(qor_dim& D, qor_ring& ring, T* buf, qor_stat* stat);
  QOR_Status allgatherv_shm(qor_dim& D, qor_ring& ring, T* buf, qor_stat* stat);
  // The fused last dimension: the whole allreduce of the segment in one
  // phase, every process summing in rank order (the same bits everywhere,
  // not the ring's).
  template <OPR OP>
  QOR_Status allreduce_shm(qor_dim& D, qor_ring& ring, T* buf, qor_stat* stat);
  // Whether dimension d's allgather runs SHM right after its reduce-scatter:
  // every later dimension has one process.
  bool gathers_next(int d) const;
  // Sizes the slots of every dimension that runs SHM for this buffer, so
  // that a slot the file system cannot back is refused before the first
  // dimension sums into the buffer.  Collective, in dimension order.
  void reserve_shm();

  // --- the phases across dimensions (qor_sw_phases.cpp) ---------------------
  // One dimension by its chosen algorithm, or all of them (reduce-scatter in
  // ascending order, allgather in descending order); the first non-zero
  // status stops the walk and is returned.
  template <OPR OP, bool DBG>
  QOR_Status reduce_scatter(int d, qor_stat* stat);
  template <OPR OP, bool DBG>
  QOR_Status reduce_scatter(qor_stat* stat);
  template <bool DBG>
  QOR_Status allgatherv(int d, qor_stat* stat);
  template <bool DBG>
  QOR_Status allgatherv(qor_stat* stat);
  // --- algorithm selection and tuning (qor_sw_select.cpp, qor_sw_tune.cpp) ---
  // Fills both algorithm lists from the mode letters (or the published
  // choice of an earlier layer); 1 after message 17 for an unknown letter, 1
  // when tuning found no combination that runs.  Collective.
  QOR_Status select_algo();
  // Both phases of dimensions d.. run alg, or its substitute where the set-up
  // cannot run it (a warning on rank 0).
  void use_only(ALG alg, int d);
  // Times every combination of candidates, keeps the fastest per phase and
  // restores the buffer; 1 when a phase had no combination that ran.
  template <OPR OP, bool DBG>
  QOR_Status use_best(int trials);
  template <OPR OP, bool DBG>
  void use_best_rs_ag(bool rs, int d, std::vector<int>& algo, double& best,
                      std::vector<int>& best_algo, int trials, qor_stat* stat);
  template <OPR OP, bool DBG>
  void use_best_fs(double best, int trials, qor_stat* stat);
  // Whether this process can run both lists as they stand, every dimension
  // and phase.  A local answer: decisions that hang on it are agreed first.
  bool lists_can_run() const;
  // Selection and tuning of a pipelined layer run on its last stage, whose
  // _pipe_id is above 0; the pipelined allreduce drives dimension 0 itself,
  // with NCCLB or NCCLR only, so fusing must leave it alone.
  bool pipelined() const { return _pipe_id > 0; }
  bool may_fuse_last() const { return !(pipelined() && _rings.size() == 1); }

  // Message tags of dimension d: stages and dimensions never share one.
  int reduce_scatter_tag(int d) const { return 2000000 + 10 * _pipe_id + d; }
  int allgather_tag(int d) const { return 1000000 + 10 * _pipe_id + d; }

  // --- data, in this order ----------------------------------------------------
  qor_hw* _hw;
  T* _residue;
  T* _buf_base;
  int _buf_size;
  std::vector<int> _part_off;
  T* _temp_buf;
  size_t _temp_buf_size;
  int _pipe_id;
  std::vector<qor_ring> _rings;
  std::vector<qor_rcs> _rcs;
  std::vector<int> _best_rs_algo;
  std::vector<int> _best_ag_algo;

 private:
  // Bytes of `elements` values of T; refuses counts whose byte count overflows.
  size_t byte_count(size_t elements);
  // Working memory through the hardware layer, zero-filled when asked.
  T* allocate(size_t elements, bool zero);
  // Message 18: this MPI path has no half-precision sum.
  [[noreturn]] void raise_half_unsupported(const char* file, int line);
  // Gives the existing residue `size` elements, keeping the common prefix.
  void resize_residue(int size);
};

}  // namespace network
}  // namespace qor
