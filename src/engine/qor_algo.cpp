#include "qor_algo.h"

#include <algorithm>
#include <iterator>

#include "qor_sw.h"

namespace qor {
namespace network {

namespace {

using via = algo_transport;

// In the order of the algorithm values, which is the order tuning tries them.
constexpr algo_row rows[] = {
    // id       label      letter transport  whole  ors    tuned  on_gpu fuses_to   pipe0  half
    {ALG_NOOP, "*NOOP* ", 0, via::none, false, true, false, false, ALG_NOOP, false, true},
    {ALG_NCCLB, "NCCLB  ", 'b', via::nccl, false, false, true, true, ALG_NOOP, true, true},
    {ALG_NCCLR, "NCCLR  ", 'n', via::nccl, false, false, true, true, ALG_NCCLA, true, true},
    {ALG_RING, "RING   ", 'r', via::mpi, false, false, true, true, ALG_NOOP, false, true},
    {ALG_RCS, "RCS    ", 'c', via::mpi, false, true, true, true, ALG_NOOP, false, true},
    {ALG_MPI, "MPI    ", 'm', via::mpi, false, false, true, false, ALG_MPIA, false, false},
    {ALG_DECENT, "DECENT ", 0, via::mpi, true, false, false, false, ALG_NOOP, false, true},
    {ALG_MPIA, "MPIA   ", 0, via::mpi, true, false, false, false, ALG_NOOP, false, false},
    {ALG_NCCLA, "NCCLA  ", 0, via::nccl, true, false, false, false, ALG_NOOP, false, true},
    {ALG_SHM, "SHM    ", 's', via::mpi, false, false, true, false, ALG_SHMA, false, false},
    {ALG_SHMA, "SHMA   ", 0, via::mpi, true, false, false, false, ALG_NOOP, false, false},
};

}  // namespace

const algo_row* find_algo(int id) {
  for (const algo_row& row : rows) {
    if (row.id == id) return &row;
  }
  return nullptr;
}

const algo_row* algo_for_letter(char letter) {
  for (const algo_row& row : rows) {
    if (row.letter != 0 && row.letter == letter) return &row;
  }
  return nullptr;
}

const char* get_algo_text(int alg) {
  const algo_row* row = find_algo(alg);
  return row ? row->label : "?????";
}

const char* cannot_run(const qor_hw& hw, size_t d, const std::vector<qor_rcs>& rcs, int alg) {
  const qor_dim& D = hw._dim[d];
  switch (alg) {
    case ALG_NCCLB:
      // With one communicator it would reduce part 0 only.
      if (D._nccl_comm.size() != static_cast<size_t>(D._size)) return "needs a NCCL communicator per peer";
      if (hw._streams.size() < static_cast<size_t>(D._size)) return "needs a stream per peer";
      return nullptr;
    case ALG_NCCLR:
    case ALG_NCCLA:
      return D.nccl_enabled() ? nullptr : "needs a NCCL communicator";
    case ALG_RCS:
      return d < rcs.size() && !rcs[d]._partner_rank.empty() ? nullptr : "needs a recursive schedule";
    case ALG_SHM:
    case ALG_SHMA:
      if (hw._device >= 0) return "needs host-CPU mode";
      if (!D._same_host) return "needs a dimension within one host";
      return hw._shm != 0 ? nullptr : "is turned off (-shm 0)";
    default:
      return find_algo(alg) ? nullptr : "is no algorithm";
  }
}

ALG selectable(const qor_hw& hw, size_t d, ALG alg) {
  const algo_row* row = find_algo(alg);
  if (row == nullptr) return alg;
  if (row->transport == algo_transport::mpi && hw._mpi_mode == 0) return ALG_NCCLR;
  const bool no_nccl = row->transport == algo_transport::nccl && !hw._dim[d].nccl_enabled();
  // Packed buffers hold halves, which MPI cannot sum.
  const bool packed_mpi = alg == ALG_MPI && hw._pack != 0.0f;
  const bool no_schedule = alg == ALG_RCS && qor_hw::get_rcs_depth(hw._dim[d]._size) == 0;
  const bool no_shm = alg == ALG_SHM && cannot_run(hw, d, {}, alg) != nullptr;
  return no_nccl || packed_mpi || no_schedule || no_shm ? ALG_RING : alg;
}

std::vector<ALG> tuning_candidates(const qor_hw& hw, bool pipelined_dim0) {
  std::vector<ALG> out;
  for (const algo_row& row : rows) {
    if (pipelined_dim0) {
      if (row.pipeline_dim0) out.push_back(row.id);
      continue;
    }
    const bool runs_here = hw._device < 0 || row.tuned_on_gpu;
    const bool transport = hw._mpi_mode != 0 || row.transport == algo_transport::nccl;
    if (row.tuned && runs_here && transport) out.push_back(row.id);
  }
  return out;
}

std::vector<ALG> fused_candidates() {
  std::vector<ALG> out;
  for (const algo_row& row : rows) {
    const bool reached = std::any_of(std::begin(rows), std::end(rows),
                                     [&](const algo_row& other) { return other.fuses_to == row.id; });
    if (row.id != ALG_NOOP && reached) out.push_back(row.id);
  }
  return out;
}

}  // namespace network
}  // namespace qor
