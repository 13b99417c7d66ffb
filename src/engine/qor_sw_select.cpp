// Algorithm selection: the letters of the mode text become one algorithm per
// dimension and phase, replaced where the set-up cannot run them, optionally
// fused on the last dimension, measured where the letter asks for it, and
// published for later layers.
#include <string>

#include "qor_exception.h"
#include "qor_message.h"
#include "qor_sw.h"
#include "qor_trace.h"

namespace qor {
namespace network {

const char* get_algo_text(int alg) {
  switch (alg) {
    case ALG_NOOP:
      return "*NOOP* ";
    case ALG_NCCLB:
      return "NCCLB  ";
    case ALG_NCCLR:
      return "NCCLR  ";
    case ALG_RING:
      return "RING   ";
    case ALG_RCS:
      return "RCS    ";
    case ALG_MPI:
      return "MPI    ";
    case ALG_DECENT:
      return "DECENT ";
    case ALG_MPIA:
      return "MPIA   ";
    case ALG_NCCLA:
      return "NCCLA  ";
    default:
      return "?????";
  }
}

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

// Whether dimension d can run alg on this process.  NCCLB needs a
// communicator and a stream per peer: with one communicator it would reduce
// part 0 only.
bool can_run(const qor_hw& hw, size_t d, const std::vector<qor_rcs>& rcs, int alg) {
  const qor_dim& D = hw._dim[d];
  switch (alg) {
    case ALG_NCCLB:
      return D._nccl_comm.size() == static_cast<size_t>(D._size) &&
             hw._streams.size() >= static_cast<size_t>(D._size);
    case ALG_NCCLR:
    case ALG_NCCLA:
      return D.nccl_enabled();
    case ALG_RCS:
      return d < rcs.size() && !rcs[d]._partner_rank.empty();
    default:
      return true;
  }
}

bool nccl_alg(int alg) { return alg == ALG_NCCLB || alg == ALG_NCCLR; }

}  // namespace

template <class T>
bool qor_sw<T>::lists_can_run() const {
  for (size_t d = 0; d < _rings.size(); ++d) {
    if (!can_run(*_hw, d, _rcs, _best_rs_algo[d]) || !can_run(*_hw, d, _rcs, _best_ag_algo[d])) {
      return false;
    }
  }
  return true;
}

template <class T>
void qor_sw<T>::use_only(ALG alg, int d) {
  const qor_hw& hw = *_hw;
  for (int i = d; i < static_cast<int>(_rings.size()); ++i) {
    const qor_dim& D = hw._dim[static_cast<size_t>(i)];
    int chosen = alg;
    const bool needs_mpi = alg == ALG_RING || alg == ALG_RCS || alg == ALG_MPI;
    const bool needs_nccl = alg == ALG_NCCLB || alg == ALG_NCCLR;
    if (needs_mpi && hw._mpi_mode == 0) {
      chosen = ALG_NCCLR;
      if (hw._rank == 0) {
        const char* label = alg == ALG_RCS ? "RCS    " : alg == ALG_MPI ? "MPI    " : "RING   ";
        trace_line('W', __LINE__, hw._rank)
            << "forced to apply NCCLR to dim[" << i << "] as " << label << " cannot be used";
      }
    } else if ((needs_nccl && !D.nccl_enabled()) || (alg == ALG_MPI && hw._pack != 0.0f) ||
               (alg == ALG_RCS && qor_hw::get_rcs_depth(D._size) == 0)) {
      chosen = ALG_RING;
      if (hw._rank == 0) {
        trace_line('W', __LINE__, hw._rank) << "forced to apply RING to dim[" << i << "] as "
                                            << get_algo_text(alg) << " cannot be used";
      }
    }
    _best_rs_algo[static_cast<size_t>(i)] = chosen;
    _best_ag_algo[static_cast<size_t>(i)] = chosen;
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
    const bool fits = nccl_alg(_best_rs_algo[0]) && nccl_alg(_best_ag_algo[0]);
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
    switch (letter) {
      case 'b':
        use_only(ALG_NCCLB, k);
        break;
      case 'c':
        use_only(ALG_RCS, k);
        break;
      case 'm':
        use_only(ALG_MPI, k);
        break;
      case 'n':
        use_only(ALG_NCCLR, k);
        break;
      case 'r':
        use_only(ALG_RING, k);
        break;
      case 'p': {
        const bool dbg = hw._dbg_level >= 2;
        QOR_Status status;
        if (hw._device < 0) {
          status = dbg ? use_best<QOR_MDR_HOST_SUM, true>(tuning_trials)
                       : use_best<QOR_MDR_HOST_SUM, false>(tuning_trials);
        } else {
          status = dbg ? use_best<QOR_MDR_SUM, true>(tuning_trials)
                       : use_best<QOR_MDR_SUM, false>(tuning_trials);
        }
        // Every combination failed: running "no algorithm" would return
        // unreduced buffers as success.
        if (status != QOR_SUCCESS) return status;
        break;
      }
      default:
        QOR_LOG_ERROR(qor_message::MSG_UNKNOWN_ALGO, hw._rank, static_cast<int>(letter));
        return QOR_FAILURE;
    }
  }

  if (hw._fuse_dim > 0 && !_rings.empty() && may_fuse_last()) {
    int& rs = _best_rs_algo.back();
    int& ag = _best_ag_algo.back();
    if (rs == ag && (rs == ALG_NCCLR || rs == ALG_MPI)) {
      const int fused = rs == ALG_NCCLR ? ALG_NCCLA : ALG_MPIA;
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
