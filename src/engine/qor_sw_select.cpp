// Algorithm selection: the letters of the mode text become one algorithm per
// dimension and phase, replaced where the set-up cannot run them, optionally
// fused on the last dimension, measured where the letter asks for it, and
// published for later layers.
#include <string>

#include "qor_algo.h"
#include "qor_exception.h"
#include "qor_message.h"
#include "qor_sw.h"
#include "qor_trace.h"

namespace qor {
namespace network {

namespace {

bool uses(const std::vector<int>& rs, const std::vector<int>& ag, int alg) {
  for (size_t d = 0; d < rs.size(); ++d) {
    if (rs[d] == alg || ag[d] == alg) return true;
  }
  return false;
}

// The labels of the reduce-scatter dimensions in ascending order, " - ", and
// the allgather ones in descending order: the order the phases run.
std::string summary_of(const std::vector<int>& rs, const std::vector<int>& ag) {
  std::string text;
  for (int alg : rs) text += get_algo_text(alg);
  text += " - ";
  for (auto it = ag.rbegin(); it != ag.rend(); ++it) text += get_algo_text(*it);
  return text;
}

// A pipelined layer runs dimension 0 by one of these on every process.
bool pipeline_dim0(int alg) {
  const algo_row* row = find_algo(alg);
  return row && row->pipeline_dim0;
}

// The label without its padding, as the substitution warning shows it.
std::string bare_label(int alg) {
  std::string label = get_algo_text(alg);
  return label.erase(label.find_last_not_of(' ') + 1);
}

}  // namespace

template <class T>
bool qor_sw<T>::lists_can_run() const {
  for (size_t d = 0; d < _rings.size(); ++d) {
    if (cannot_run(*_hw, d, _rcs, _best_rs_algo[d]) || cannot_run(*_hw, d, _rcs, _best_ag_algo[d])) {
      return false;
    }
  }
  return true;
}

template <class T>
void qor_sw<T>::use_only(ALG alg, int d) {
  const qor_hw& hw = *_hw;
  for (size_t i = static_cast<size_t>(d); i < _rings.size(); ++i) {
    const ALG chosen = selectable(hw, i, alg);
    if (chosen != alg && hw._rank == 0) {
      trace_line('W', __LINE__, hw._rank) << "forced to apply " << bare_label(chosen) << " to dim[" << i
                                          << "] as " << get_algo_text(alg) << " cannot be used";
    }
    _best_rs_algo[i] = chosen;
    _best_ag_algo[i] = chosen;
  }
}

template <class T>
QOR_Status qor_sw<T>::select_algo() {
  qor_hw& hw = *_hw;
  _best_rs_algo = hw._shared_rs_algo;
  _best_ag_algo = hw._shared_ag_algo;
  bool publish = hw._share_algo != 0;
  if (!_best_rs_algo.empty()) {
    // An earlier layer's published choice: nothing to set up, log or measure.
    if (_rings.empty()) return QOR_SUCCESS;
    if (uses(_best_rs_algo, _best_ag_algo, ALG_RCS)) enable_rcs();
    if (!pipelined()) return QOR_SUCCESS;
    // A pipelined layer runs dimension 0 by NCCL on every process, or not at all.
    const bool fits = pipeline_dim0(_best_rs_algo[0]) && pipeline_dim0(_best_ag_algo[0]);
    if (hw.all_agree(fits && lists_can_run())) return QOR_SUCCESS;
    if (hw._rank == 0) {
      trace_line('W', __LINE__, hw._rank)
          << "shared algo " << summary_of(_best_rs_algo, _best_ag_algo)
          << " cannot run on a pipelined layer: selecting its own";
    }
    publish = false;  // the layers that share it keep what they run
  }
  if (hw._device >= 0) {
    if (hw.check_algo('p')) {
      hw.enable_nccl(true);
    } else if (hw.check_algo('b') || hw.check_algo('n')) {
      hw.enable_nccl(false);
    }
  }
  _best_rs_algo.assign(_rings.size(), ALG_RING);
  _best_ag_algo.assign(_rings.size(), ALG_RING);
  enable_rcs();

  for (int k = 0; k < hw.get_num_algo(); ++k) {
    const char letter = hw.get_algo(k);
    if (const algo_row* row = algo_for_letter(letter)) {
      use_only(row->id, k);
      continue;
    }
    if (letter != 'p') {  // the letter that asks for tuning
      QOR_LOG_ERROR(qor_message::MSG_UNKNOWN_ALGO, hw._rank, static_cast<int>(letter));
      return QOR_FAILURE;
    }
    const bool dbg = hw._dbg_level >= 2;
    QOR_Status status;
    if (hw._device < 0) {
      status = dbg ? use_best<QOR_MDR_HOST_SUM, true>(tuning_trials) : use_best<QOR_MDR_HOST_SUM, false>(tuning_trials);
    } else {
      status = dbg ? use_best<QOR_MDR_SUM, true>(tuning_trials) : use_best<QOR_MDR_SUM, false>(tuning_trials);
    }
    // Every combination failed: running "no algorithm" would return
    // unreduced buffers as success.
    if (status != QOR_SUCCESS) return status;
    // Tuning has decided fusing itself.  The hardware layer's option says so
    // from now on, so that neither the step below nor later layers fuse
    // again: the one place the option changes after start.
    if (hw._fuse_dim > 0 && may_fuse_last()) hw._fuse_dim = -1;
  }

  if (hw._fuse_dim > 0 && !_rings.empty() && may_fuse_last()) {
    int& rs = _best_rs_algo.back();
    int& ag = _best_ag_algo.back();
    const algo_row* row = find_algo(rs);
    if (rs == ag && row && row->fuses_to != ALG_NOOP) {
      const int fused = row->fuses_to;
      if (hw._rank == 0) {
        trace_line('I', __LINE__, hw._rank)
            << "fusing " << get_algo_text(rs) << " to " << get_algo_text(fused);
      }
      rs = ag = fused;
    }
  }

  if (hw._dbg_level >= 2) {
    dump();
    for (size_t d = 0; d < _rings.size() && hw._rank == 0; ++d) {
      trace_line('I', __LINE__, hw._rank)
          << "d" << d << " _best_rs_algo=" << get_algo_text(_best_rs_algo[d])
          << " _best_ag_algo=" << get_algo_text(_best_ag_algo[d]);
      if (_best_ag_algo[d] != ALG_NCCLB && _best_ag_algo[d] != ALG_NCCLR) continue;
      const qor_ring& R = _rings[d];
      for (size_t j = 0; j < R._net_size.size(); ++j) {
        trace_line('I', __LINE__, hw._rank)
            << "d" << d << "." << j << get_algo_text(_best_ag_algo[d]) << " net_size "
            << R._net_size[j];
      }
    }
  }

  std::string summary = summary_of(_best_rs_algo, _best_ag_algo);
  if (publish) {
    summary += " to be shared";
    hw._shared_rs_algo = _best_rs_algo;
    hw._shared_ag_algo = _best_ag_algo;
  }
  if (hw._rank == 0) trace_line('I', __LINE__, hw._rank) << "selected algo: " << summary;

  if (!uses(_best_rs_algo, _best_ag_algo, ALG_RCS)) disable_rcs();
  if (hw._device >= 0) hw.clean_cuda_streams(_best_rs_algo, _best_ag_algo);
  return QOR_SUCCESS;
}

template bool qor_sw<float>::lists_can_run() const;
template bool qor_sw<__half>::lists_can_run() const;
template void qor_sw<float>::use_only(ALG, int);
template void qor_sw<__half>::use_only(ALG, int);
template QOR_Status qor_sw<float>::select_algo();
template QOR_Status qor_sw<__half>::select_algo();

}  // namespace network
}  // namespace qor
