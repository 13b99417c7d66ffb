// The per-call sequence of a legacy allreduce: from the iteration number and
// the run-time options it decides whether the call communicates or only
// accumulates, measures jitter and rebinds, and whether it records
// statistics for a report or a monitor line; then it runs the engine's
// reduce-scatter and allgather.
#include <mpi.h>

#include <string>
#include <type_traits>

#include "qor_allreduce.h"
#include "qor_algo.h"
#include "qor_check.h"
#include "qor_clock.h"
#include "qor_exception.h"
#include "qor_message.h"
#include "qor_sw_pipe.h"
#include "qor_trace.h"

namespace qor {
namespace network {

namespace {

// A counter of 0 marks a call of that kind; -1 disables the kind.
struct periods {
  long dump = -1, mon = -1, comm = 0, rebind = -1;

  periods(const qor_hw& hw, size_t iter) {
    if (iter == 0) return;
    auto phase = [iter](int period, long off) {
      return period > 0 ? static_cast<long>(iter % static_cast<size_t>(period)) : off;
    };
    dump = phase(hw._dump_iter, -1);
    mon = phase(hw._mon_iter, -1);
    comm = phase(hw._comm_iter, 0);
    rebind = phase(hw._rebind_iter, -1);
  }
};

// The call's duration goes to the collector on every way out, a failure
// part-way included: the key query reads it as seconds.
class e2e_clock {
 public:
  explicit e2e_clock(qor_stat& stat) : _stat(stat), _start(monotonic_seconds()) {}
  ~e2e_clock() {
    if (!_stored) store();
  }
  e2e_clock(const e2e_clock&) = delete;
  e2e_clock& operator=(const e2e_clock&) = delete;
  void store() {
    _stat._e2e = monotonic_seconds() - _start;
    _stored = true;
  }

 private:
  qor_stat& _stat;
  double _start;
  bool _stored = false;
};

void reduce_e2e(qor_hw& hw, const double* e2e, double* low, double* high, bool everywhere) {
  if (everywhere) {
    QOR_CHECK_MPI(MPI_Allreduce(e2e, low, 1, MPI_DOUBLE, MPI_MIN, hw._comm));
    QOR_CHECK_MPI(MPI_Allreduce(e2e, high, 1, MPI_DOUBLE, MPI_MAX, hw._comm));
  } else {
    QOR_CHECK_MPI(MPI_Reduce(e2e, low, 1, MPI_DOUBLE, MPI_MIN, 0, hw._comm));
    QOR_CHECK_MPI(MPI_Reduce(e2e, high, 1, MPI_DOUBLE, MPI_MAX, 0, hw._comm));
  }
}

// The two kinds of layer the driver runs: a plain engine, and the pipelined
// layer, whose first stage stands for it where the driver needs one engine
// (jitter, rebinding) and which has no communication period and no
// gradient files.
template <class T>
qor_sw<T>& first_stage(qor_sw<T>* sw) {
  return *sw;
}
template <class T>
qor_sw<T>& first_stage(qor_sw_pipe<T>* pipe) {
  return *pipe->_pipe[0];
}
template <class T, class L>
constexpr bool pipelined = std::is_same<L, qor_sw_pipe<T>>::value;

template <class T, OPR OP, class L>
QOR_Status collective(L* layer, bool dbg, qor_stat* stat) {
  return dbg ? allreduce_core<T, OP, true>(layer, stat) : allreduce_core<T, OP, false>(layer, stat);
}

// The statistics call: the gradient dumped before and after, the report of
// this process or of the fastest and slowest ones, and the spread of the
// end-to-end time.
template <class T, OPR OP, class L>
QOR_Status dump_call(L* layer, size_t iter, qor_stat* stat, e2e_clock& clock) {
  qor_sw<T>& sw = first_stage(layer);
  qor_hw& hw = *sw._hw;
  stat->reset();
  if constexpr (!pipelined<T, L>) sw.dump_grad(static_cast<int>(iter), "b");
  const QOR_Status status = collective<T, OP>(layer, hw._dbg_level > 1, stat);
  clock.store();
  if (status != QOR_SUCCESS) return status;
  if (hw._dbg_level > 0 && hw._rank == 0) {
    trace_line line('I', __LINE__, hw._rank);
    line << "QOR performance statistics";
    if constexpr (pipelined<T, L>) {
      line << " sw_pipe_buf_size=" << layer->_buf_size;
    } else {
      line << " sw_buf_size=" << sw._buf_size << " hw_device=" << hw._device;
    }
  }
  double low = 0.0, high = 0.0;
  if (hw._dbg_level == 0 || hw._dbg_level == 1) {
    if (hw._dbg_level == 1 && hw._rank == 0) stat->dump(0, hw._desc, 0);
    reduce_e2e(hw, &stat->_e2e, &low, &high, false);
  } else {
    reduce_e2e(hw, &stat->_e2e, &low, &high, true);
    if (stat->_e2e == high || stat->_e2e == low) stat->dump(hw._rank, hw._desc, 0);
  }
  if (hw._rank == 0) {
    trace_line('I', __LINE__, hw._rank) << "e2e_min=" << low << " e2e_max=" << high;
    if constexpr (!pipelined<T, L>) sw.dump_grad(static_cast<int>(iter), "a");
  }
  return QOR_SUCCESS;
}

// A half buffer is refused before anything touches it where a dimension's
// reduce-scatter has no half sum: failing there, after the dimensions
// before it ran, would leave their partial sums in the caller's buffer.
template <class T>
void refuse_without_half_sum(const qor_sw<T>& sw) {
  if constexpr (std::is_same<T, __half>::value) {
    for (int algo : sw._best_rs_algo) {
      const algo_row* row = find_algo(algo);
      if (row && !row->sums_half) QOR_RAISE(qor_message::MSG_HALF_MPI, qor_message::MSG_HALF_MPI, sw._hw->_rank);
    }
  }
}

template <class T, OPR OP, class L>
QOR_Status drive(L* layer, size_t iter, qor_stat* stat) {
  qor_sw<T>& sw = first_stage(layer);
  qor_hw& hw = *sw._hw;
  periods p(hw, iter);
  if constexpr (pipelined<T, L>) p.comm = 0;  // every pipelined call communicates
  if (hw._rebind_iter > 0 && (iter == 1 || hw._too_slow)) {
    sw.template measure_jitter<false>(stat);
    rebind_core<T, false>(&hw, iter, &sw);
  } else if (p.rebind == 0 || p.dump == 0 || p.mon == 0) {
    sw.template measure_jitter<false>(stat);
    if (p.rebind == 0) rebind_core<T, false>(&hw, iter, &sw);
  }

  e2e_clock clock(*stat);
  if (hw.sync_before_call()) hw.synchronize_device();
  const size_t bytes = static_cast<size_t>(sw._buf_size) * sizeof(T);
  cudaStream_t stream = hw.main_stream();
  const int step = static_cast<int>(iter);
  QOR_Status status = QOR_SUCCESS;
  if (p.comm != 0) {
    // Held back: the gradient joins the residue and the caller gets zeros.
    sw.template reduce_op<OP>(stream, sw._buf_size, sw._buf_base, sw.get_residue(), step);
    if (hw._rank == 0 && hw._dbg_level > 5) trace_line('I', __LINE__, hw._rank) << "add to residue";
    hw.wait_stream(hw._streams, 1);
    hw.zero(sw._buf_base, bytes);
    clock.store();
  } else {
    refuse_without_half_sum(sw);
    if (sw.residue_available()) {
      sw.template reduce_op<OP>(stream, sw._buf_size, sw._residue, sw._buf_base, step);
      if (hw._rank == 0 && hw._dbg_level > 4) {
        trace_line('I', __LINE__, hw._rank) << "add to gradient";
      }
      hw.wait_stream(hw._streams, 1);
      hw.zero(sw._residue, bytes);
    }
    const bool dbg = hw._dbg_level > 1;
    if (p.dump == 0) {
      status = dump_call<T, OP>(layer, iter, stat, clock);
    } else if (p.mon == 0) {
      stat->reset();
      status = collective<T, OP>(layer, dbg, stat);
      clock.store();
      if (status == QOR_SUCCESS) {
        trace_line('I', __LINE__, hw._rank)
            << "monitor" << " e2e=" << stat->_e2e << " jitter=" << stat->_jitter;
      }
    } else {
      status = collective<T, OP>(layer, dbg, nullptr);  // no statistics recorded
      clock.store();
    }
  }
  if (status != QOR_SUCCESS) return status;
  if (hw._dev_sync == 2 || hw._dev_sync == 3) hw.synchronize_device();
  return QOR_SUCCESS;
}

}  // namespace

template <class T, OPR OP, bool DBG>
QOR_Status allreduce_core(qor_sw<T>* sw, qor_stat* stat) {
  const QOR_Status status = sw->template reduce_scatter<OP, DBG>(stat);
  // A dimension that could not run leaves the buffer unreduced: the
  // allgather would spread partial sums.
  if (status != QOR_SUCCESS) return status;
  if (stat) stat->add_xact('-', 0.0, 0, 0.0, 0.0, 0.0, 0.0, 0.0, ' ');
  return sw->template allgatherv<DBG>(stat);
}

template <class T, OPR OP>
QOR_Status allreduce(qor_sw<T>* sw, size_t iter, qor_stat* stat) {
  if constexpr (OP == QOR_MDR_SUM) {
    // Without a device every sum is the host's.
    if (sw->_hw->_device < 0) return drive<T, QOR_MDR_HOST_SUM>(sw, iter, stat);
  }
  return drive<T, OP>(sw, iter, stat);
}

template <class T, OPR OP>
QOR_Status allreduce(qor_sw_pipe<T>* pipe, size_t iter, qor_stat* stat) {
  return drive<T, OP>(pipe, iter, stat);
}

#define QOR_DRIVER(T, OP)                                                    \
  template QOR_Status allreduce<T, OP>(qor_sw<T>*, size_t, qor_stat*);       \
  template QOR_Status allreduce_core<T, OP, false>(qor_sw<T>*, qor_stat*);   \
  template QOR_Status allreduce_core<T, OP, true>(qor_sw<T>*, qor_stat*);
QOR_DRIVER(float, QOR_MDR_SUM)
QOR_DRIVER(float, QOR_MDR_HOST_SUM)
QOR_DRIVER(__half, QOR_MDR_SUM)
QOR_DRIVER(__half, QOR_MDR_HOST_SUM)
#undef QOR_DRIVER
template QOR_Status allreduce_core<float, QOR_MDR_BOR, false>(qor_sw<float>*, qor_stat*);
template QOR_Status allreduce_core<__half, QOR_MDR_BOR, false>(qor_sw<__half>*, qor_stat*);
template QOR_Status allreduce<float, QOR_MDR_SUM>(qor_sw_pipe<float>*, size_t, qor_stat*);
template QOR_Status allreduce<__half, QOR_MDR_SUM>(qor_sw_pipe<__half>*, size_t, qor_stat*);

}  // namespace network
}  // namespace qor
