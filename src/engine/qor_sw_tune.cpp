// Tuning by measurement: every combination of candidate algorithms over the
// dimensions is timed on the layer's own buffer, first for the
// reduce-scatter, then for the allgather, and the fastest of each phase is
// kept; the last dimension may then be fused into one allreduce.  Each
// timing is the maximum over all processes, so every process decides alike.
#include <cuda_runtime.h>
#include <mpi.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>

#include "qor_algo.h"
#include "qor_check.h"
#include "qor_clock.h"
#include "qor_sw.h"
#include "qor_sw_instances.h"
#include "qor_trace.h"

namespace qor {
namespace network {

double (*tuning_clock)() = monotonic_seconds;

namespace {

constexpr double initial_best = 9.999e10;
constexpr double abandon_factor = 1.5;
constexpr int fused_trials = 10;
// The average of a trial that could not run somewhere: above any timing, so
// the maximum over the processes tells every process to drop it.
constexpr double failed_trial = std::numeric_limits<double>::infinity();

bool tune_trace_on(const qor_hw& hw) {
  return (hw._rank == 0 && hw._dbg_level >= 2) || hw._dbg_level >= 6;
}

double max_over_processes(qor_hw& hw, double value) {
  double high = 0.0;
  QOR_CHECK_MPI(MPI_Allreduce(&value, &high, 1, MPI_DOUBLE, MPI_MAX, hw._comm));
  return high;
}

// The trial runs rewrite the buffer; its contents are kept here meanwhile.
class saved_buffer {
 public:
  saved_buffer(qor_hw& hw, void* buf, size_t bytes) : _hw(hw), _buf(buf), _bytes(bytes) {
    if (_hw._device >= 0) {
      QOR_CHECK_CUDA(cudaMallocHost(&_copy, bytes == 0 ? 1 : bytes));
      // No destructor runs for a constructor that throws.
      const cudaError_t copied = cudaMemcpy(_copy, buf, bytes, cudaMemcpyDeviceToHost);
      if (copied != cudaSuccess) cudaFreeHost(_copy);
      QOR_CHECK_CUDA(copied);
    } else {
      _copy = std::malloc(bytes == 0 ? 1 : bytes);
      if (_copy == nullptr) throw std::bad_alloc();
      if (bytes != 0) std::memcpy(_copy, buf, bytes);
    }
  }
  ~saved_buffer() {
    if (_hw._device >= 0) {
      cudaFreeHost(_copy);
    } else {
      std::free(_copy);
    }
  }
  saved_buffer(const saved_buffer&) = delete;
  saved_buffer& operator=(const saved_buffer&) = delete;
  void restore() {
    if (_hw._device >= 0) {
      QOR_CHECK_CUDA(cudaMemcpy(_buf, _copy, _bytes, cudaMemcpyHostToDevice));
    } else if (_bytes != 0) {
      std::memcpy(_buf, _copy, _bytes);
    }
  }

 private:
  qor_hw& _hw;
  void* _buf;
  size_t _bytes;
  void* _copy = nullptr;
};

}  // namespace

template <class T>
template <OPR OP, bool DBG>
QOR_Status qor_sw<T>::use_best(int trials) {
  qor_hw& hw = *_hw;
  if (tune_trace_on(hw))
    trace_line('D', __LINE__, hw._rank) << "use_best begins";
  use_only(ALG_RING, 0);
  saved_buffer saved(hw, _buf_base, byte_count(static_cast<size_t>(_buf_size)));
  update_buf(_buf_base, _buf_size);
  std::unique_ptr<qor_stat> stat(DBG ? new qor_stat() : nullptr);
  std::vector<int> scratch(_rings.size(), ALG_NOOP);

  double best_rs = initial_best;
  use_best_rs_ag<OP, DBG>(true, 0, _best_rs_algo, best_rs, scratch, trials, stat.get());
  _best_rs_algo = scratch;
  double best_ag = initial_best;
  if (best_rs != initial_best) {
    use_best_rs_ag<OP, DBG>(false, 0, _best_ag_algo, best_ag, scratch, trials, stat.get());
    _best_ag_algo = scratch;
  }
  const bool found = best_rs != initial_best && best_ag != initial_best;
  if (found && hw._fuse_dim > 0 && may_fuse_last()) use_best_fs<OP, DBG>(best_rs + best_ag, fused_trials, nullptr);
  saved.restore();
  update_buf(_buf_base, _buf_size);
  if (tune_trace_on(hw))
    trace_line('D', __LINE__, hw._rank) << "use_best ends";
  if (!found) {
    // The lists would hold "no algorithm": every later call would return
    // the caller's buffer unreduced as a success.
    if (hw._rank == 0) {
      trace_line('E', __LINE__, hw._rank)
          << "use_best: no " << (best_rs == initial_best ? "reduce-scatter" : "allgather")
          << " combination could run on this set-up";
    }
    return QOR_FAILURE;
  }
  return QOR_SUCCESS;
}

template <class T>
template <OPR OP, bool DBG>
void qor_sw<T>::use_best_rs_ag(bool rs, int d, std::vector<int>& algo, double& best,
                               std::vector<int>& best_algo, int trials, qor_stat* stat) {
  qor_hw& hw = *_hw;
  const bool trace = tune_trace_on(hw);
  if (trace)
    trace_line('D', __LINE__, hw._rank) << "use_best_rs_ag d=" << d;
  const int dims = static_cast<int>(_rings.size());
  if (d < dims) {
    // The pipelined allreduce drives dimension 0 itself.
    for (ALG c : tuning_candidates(hw, pipelined() && d == 0)) {
      algo[static_cast<size_t>(d)] = c;
      use_best_rs_ag<OP, DBG>(rs, d + 1, algo, best, best_algo, trials, stat);
    }
    return;
  }

  std::string text = rs ? "rs: " : "ag: ";
  for (int a : algo) text += std::string(get_algo_text(a)) + " ";
  if (trace) {
    trace_line('D', __LINE__, hw._rank) << "use_best_rs_ag warmup" << d << " trying " << text;
  }
  // Whether a combination runs may differ between the groups of a
  // dimension (NCCL within one host only); a process that went on alone
  // would wait forever in collectives the others skip.
  if (!hw.all_agree(lists_can_run())) return;
  QOR_CHECK_MPI(MPI_Barrier(hw._comm));
  reduce_scatter<OP, DBG>(nullptr);
  allgatherv<DBG>(nullptr);
  hw.synchronize_device();
  QOR_CHECK_MPI(MPI_Barrier(hw._comm));
  if (stat) stat->reset();

  const double t0 = tuning_clock();
  std::string mark;
  double avg = 0.0;
  for (int i = 1; i <= trials; ++i) {
    const QOR_Status status = rs ? reduce_scatter<OP, DBG>(stat) : allgatherv<DBG>(stat);
    hw.synchronize_device();
    QOR_CHECK_MPI(MPI_Barrier(hw._comm));
    const double mine = status == QOR_SUCCESS ? (tuning_clock() - t0) / i : failed_trial;
    avg = max_over_processes(hw, mine);
    if (avg == failed_trial) return;  // cannot run somewhere: not a candidate
    if (avg > abandon_factor * best) {
      if (i < trials) mark += "!";
      break;
    }
  }
  if (best > avg) mark += "*";
  if (stat) stat->_e2e = avg;
  if (hw._rank == 0 && hw._dbg_level != 0)
    trace_line('I', __LINE__, hw._rank) << text << avg << mark;
  if (avg < best) {
    best = avg;
    best_algo = algo;
    if (stat) stat->dump(hw._rank, hw._desc, 0);
  }
}

template <class T>
template <OPR OP, bool DBG>
void qor_sw<T>::use_best_fs(double best, int trials, qor_stat* stat) {
  qor_hw& hw = *_hw;
  int r0 = _best_rs_algo.back();
  int a0 = _best_ag_algo.back();
  for (int c : fused_candidates()) {
    // A half layer cannot be fused into an algorithm without a half sum.
    if (std::is_same<T, __half>::value && !find_algo(c)->sums_half) continue;
    _best_rs_algo.back() = c;
    _best_ag_algo.back() = c;
    if (!hw.all_agree(lists_can_run())) continue;
    const double t0 = tuning_clock();
    if (stat) stat->reset();
    bool ran = true;
    for (int i = 1; i <= trials && ran; ++i) {
      ran = reduce_scatter<OP, DBG>(stat) == QOR_SUCCESS && allgatherv<DBG>(stat) == QOR_SUCCESS;
      hw.synchronize_device();
      QOR_CHECK_MPI(MPI_Barrier(hw._comm));
    }
    const double local = ran ? (tuning_clock() - t0) / trials : failed_trial;
    if (stat) stat->_e2e = local;
    const double avg = max_over_processes(hw, local);
    if (avg == failed_trial) continue;
    if (hw._rank == 0) {
      trace_line line('I', __LINE__, hw._rank);
      line << "fs: ";
      for (int a : _best_rs_algo) line << get_algo_text(a) << " ";
      for (auto it = _best_ag_algo.rbegin(); it != _best_ag_algo.rend(); ++it) {
        line << get_algo_text(*it) << " ";
      }
      line << avg << (best > avg ? "*" : "");
    }
    if (best > avg) {
      best = avg;
      r0 = a0 = c;
      if (stat && local == avg) stat->dump(hw._rank, hw._desc, 0);
    }
  }
  _best_rs_algo.back() = r0;
  _best_ag_algo.back() = a0;
}

#define QOR_TUNE(T, OP, DBG)                                                              \
  template QOR_Status qor_sw<T>::use_best<OP, DBG>(int);                                  \
  template void qor_sw<T>::use_best_rs_ag<OP, DBG>(bool, int, std::vector<int>&, double&, \
                                                   std::vector<int>&, int, qor_stat*);    \
  template void qor_sw<T>::use_best_fs<OP, DBG>(double, int, qor_stat*);
QOR_EACH_SUM_DBG(QOR_TUNE)
#undef QOR_TUNE

}  // namespace network
}  // namespace qor
