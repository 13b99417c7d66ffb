// The pipelined software layer and its wave-front schedule: stage k runs
// phase p at step k + p; phase 0 (the reduce-scatter of dimension 0) and the
// last phase (its allgather) are NCCL work queued on the pipeline streams,
// which runs while the host drives the other stages' inner phases.
#include "qor_sw_pipe.h"

#include <string>

#include "qor_clock.h"
#include "qor_algo.h"
#include "qor_exception.h"
#include "qor_message.h"
#include "qor_trace.h"

namespace qor {
namespace network {

template <class T>
qor_sw_pipe<T>::qor_sw_pipe(qor_hw& hw, T* buf, int count, int stages)
    : _buf_base(buf), _buf_size(count) {
  if (hw._rank == 0 && hw._dbg_level >= 2) {
    trace_line('D', __LINE__, hw._rank)
        << "qor_sw_pipe"
        << " created " << static_cast<const void*>(this)
        << " _buf_base=" << static_cast<const void*>(buf) << " _buf_size=" << count
        << " num_pipe=" << stages << " hw._desc=" << hw._desc;
  }
  set_offsets(stages < 1 ? 1 : stages);
  for (size_t i = 0; i + 1 < _pipe_off.size(); ++i) {
    _pipe.emplace_back(new qor_sw<T>(hw, buf + _pipe_off[i], _pipe_off[i + 1] - _pipe_off[i],
                                     static_cast<int>(i)));
  }
}

template <class T>
qor_sw_pipe<T>::~qor_sw_pipe() = default;

template <class T>
void qor_sw_pipe<T>::set_offsets(int stages) {
  const int share = qor_hw::get_avg_buf_size(_buf_size, stages);
  _pipe_off.assign(static_cast<size_t>(stages) + 1, 0);
  for (int i = 1; i < stages; ++i) _pipe_off[static_cast<size_t>(i)] = i * share;
  _pipe_off.back() = _buf_size;  // the last stage takes the remainder
}

template <class T>
QOR_Status qor_sw_pipe<T>::select_algo() {
  qor_sw<T>& last = *_pipe.back();
  if (last.select_algo() != QOR_SUCCESS) {
    QOR_RAISE(library_failure_status, qor_message::MSG_QOR, host_name().c_str());
  }
  for (size_t i = 0; i + 1 < _pipe.size(); ++i) {
    _pipe[i]->_best_rs_algo = last._best_rs_algo;
    _pipe[i]->_best_ag_algo = last._best_ag_algo;
    if (last.rcs_enabled()) _pipe[i]->enable_rcs();
  }
  return QOR_SUCCESS;
}

template <class T>
void qor_sw_pipe<T>::update_buf(T* buf, int count) {
  _buf_base = buf;
  if (count != _buf_size) {
    _buf_size = count;
    set_offsets(stages());
  }
  for (size_t i = 0; i < _pipe.size(); ++i) {
    _pipe[i]->update_buf(buf + _pipe_off[i], _pipe_off[i + 1] - _pipe_off[i]);
  }
}

namespace {

[[noreturn]] void raise_unsupported(const qor_hw& hw, int algo) {
  QOR_RAISE(qor_message::MSG_PIPE_UNSUPPORTED, qor_message::MSG_PIPE_UNSUPPORTED, hw._rank,
            get_algo_text(algo), 0);
}

// Queues dimension 0's NCCL phase (NCCLR or NCCLB, checked before the first
// step) of one stage on the streams from `first` on; returns the number of
// streams it used.
template <class T, OPR OP>
int queue_dim0(qor_sw<T>& stage, bool reduce, int algo, cudaStream_t* first) {
  qor_hw& hw = *stage._hw;
  qor_dim& D = hw._dim[0];
  qor_ring& R = stage._rings[0];
  T* base = stage._buf_base + R._net_off;
  const bool ring = algo == ALG_NCCLR;
  if (reduce) {
    ring ? stage.template reduce_scatter_nccl_call<OP, true>(D, R, base, first, nullptr)
         : stage.template reduce_scatter_nccl_call<OP, false>(D, R, base, first, nullptr);
  } else {
    ring ? stage.template allgatherv_nccl_call<true>(D, R, base, first, nullptr)
         : stage.template allgatherv_nccl_call<false>(D, R, base, first, nullptr);
  }
  return ring ? 1 : D._size;
}

template <class T>
double segment_bytes(const qor_sw<T>& stage) {
  return static_cast<double>(stage._rings[0]._net_disp.back()) * sizeof(T);
}

}  // namespace

template <class T, OPR OP, bool DBG>
QOR_Status allreduce_core(qor_sw_pipe<T>* pipe, qor_stat* stat) {
  qor_sw<T>& first = *pipe->_pipe[0];
  qor_hw& hw = *first._hw;
  const int P = pipe->stages();
  const int n = static_cast<int>(hw._dim.size());
  const int last_phase = 2 * n - 1;
  // A starting and a finishing stage may each take a stream per process of
  // dimension 0.
  const size_t streams_needed = 2 * static_cast<size_t>(hw._dim[0]._size);
  if (hw._pipe_streams.size() < streams_needed) {
    QOR_REFUSE(hw._rank, "pipelining needs " + std::to_string(streams_needed) +
                             " streams, the layer has " + std::to_string(hw._pipe_streams.size()));
  }
  // Refused before anything is queued: NCCL work queued by an earlier step
  // would go on writing into the caller's buffer after the call returned.
  for (int algo : {first._best_rs_algo[0], first._best_ag_algo[0]}) {
    const algo_row* row = find_algo(algo);
    if (!row || !row->pipeline_dim0) raise_unsupported(hw, algo);
  }
  // The workers index the communicators without asking.
  if (!hw._dim[0].nccl_enabled()) QOR_REFUSE(hw._rank, "pipelining needs NCCL on dimension 0");
  // The schedule runs to its end so that every process makes the same
  // calls; the first phase that could not run is the call's status.
  QOR_Status status = QOR_SUCCESS;
  for (int s = 0; s < P + last_phase; ++s) {
    const double ta = monotonic_seconds();
    int used = 0;
    double bytes = 0.0;
    if (s < P) {
      qor_sw<T>& stage = *pipe->_pipe[static_cast<size_t>(s)];
      used = queue_dim0<T, OP>(stage, true, first._best_rs_algo[0], hw._pipe_streams.data());
      bytes = segment_bytes(stage);
    }
    if (s >= last_phase) {
      qor_sw<T>& stage = *pipe->_pipe[static_cast<size_t>(s - last_phase)];
      used +=
          queue_dim0<T, OP>(stage, false, first._best_ag_algo[0], hw._pipe_streams.data() + used);
      bytes += segment_bytes(stage);
    }
    const double tb = monotonic_seconds();
    for (int k = 0; k < P; ++k) {
      const int p = s - k;
      if (p <= 0) break;
      if (p >= last_phase) continue;
      qor_sw<T>& stage = *pipe->_pipe[static_cast<size_t>(k)];
      const QOR_Status phase = p < n ? stage.template reduce_scatter<OP, DBG>(p, stat)
                                     : stage.template allgatherv<DBG>(last_phase - p, stat);
      if (status == QOR_SUCCESS) status = phase;
    }
    const double tc = monotonic_seconds();
    hw.wait_stream(hw._pipe_streams, used);
    if (stat) {
      const double td = monotonic_seconds();
      if (bytes != 0.0) {
        stat->add_xact('l', tc, hw._dim[0]._index, tb - ta, td - tc, 0.0, bytes, bytes,
                       static_cast<char>(used > 0 ? 1 : 0));
      }
      stat->add_xact('-', 0.0, 0, 0.0, 0.0, 0.0, 0.0, 0.0, ' ');
    }
  }
  return status;
}

template class qor_sw_pipe<float>;
template class qor_sw_pipe<__half>;
#define QOR_PIPE_CORE(T)                                                                 \
  template QOR_Status allreduce_core<T, QOR_MDR_SUM, false>(qor_sw_pipe<T>*, qor_stat*); \
  template QOR_Status allreduce_core<T, QOR_MDR_SUM, true>(qor_sw_pipe<T>*, qor_stat*);
QOR_PIPE_CORE(float)
QOR_PIPE_CORE(__half)
#undef QOR_PIPE_CORE

}  // namespace network
}  // namespace qor
