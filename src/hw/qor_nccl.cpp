// Per-dimension NCCL communicators: one per dimension, or one per peer for
// dimensions that run one NCCL operation per process concurrently.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qor_check.h"
#include "qor_hw.h"
#include "qor_trace.h"

namespace qor {
namespace network {

namespace {

// "d" and the dimension left-justified in two characters.
std::string dim_tag(int d) {
  std::string number = std::to_string(d);
  if (number.size() < 2) number.resize(2, ' ');
  return "d" + number;
}

// Ring orders handed to NCCL through NCCL_RINGS while the communicators of a
// four-process dimension are made: communicator i serves the reduction
// rooted at `slot`, on a ring that starts there.
struct ring_override {
  const char* rings;
  int slot;
};
constexpr ring_override rings_of_four[4] = {
    {"0 1 2 3", 1}, {"1 0 3 2", 0}, {"2 3 0 1", 3}, {"3 2 1 0", 2}};
constexpr const char* rings_of_six = "0 1 2 3 4 5";

// Restores NCCL_RINGS when it goes out of scope, also when the set-up of a
// communicator throws: the user's value must survive every path.
class nccl_rings_guard {
 public:
  nccl_rings_guard() {
    const char* value = std::getenv("NCCL_RINGS");
    _saved = value ? value : "";
  }
  ~nccl_rings_guard() {
    if (_saved.empty()) {
      unsetenv("NCCL_RINGS");
    } else {
      setenv("NCCL_RINGS", _saved.c_str(), 1);
    }
  }
  nccl_rings_guard(const nccl_rings_guard&) = delete;
  nccl_rings_guard& operator=(const nccl_rings_guard&) = delete;
  const std::string& saved() const { return _saved; }

 private:
  std::string _saved;
};

}  // namespace

void qor_hw::enable_nccl(bool all) {
  if (trace_on(_rank, _dbg_level)) QOR_TRACE_RANK('D', _rank) << "enable_nccl";
  // NCCL needs a device, and the per-peer streams need the main stream.
  if (_device < 0 || _streams.empty()) return;

  size_t streams_needed = 1;
  for (size_t d = 0; d < _dim.size(); ++d) {
    qor_dim& dim = _dim[d];
    const int index = static_cast<int>(d);
    if (!dim._same_host && _cross_node_nccl == 0) {
      if (dim._rank == 0 && _dbg_level > 1) {
        QOR_TRACE_RANK('W', _rank) << dim_tag(index) << "  NCCL disabled due to multiple hosts";
      }
      continue;
    }
    const char letter = get_algo(index);
    if (letter == 'b') _multi_stream[d] = true;
    const bool per_peer = letter == 'b' || all;
    const int count = per_peer ? dim._size : 1;
    streams_needed = std::max(streams_needed, static_cast<size_t>(count));
    // A later engine set-up finds the communicators of an earlier one: the
    // same decision on every process of the dimension, so all keep them.
    if (dim._nccl_comm.size() == static_cast<size_t>(count)) continue;
    dim.release_nccl();
    make_dim_nccl(dim, index, count, per_peer);
  }
  resize_streams(streams_needed);
}

void qor_hw::make_dim_nccl(qor_dim& dim, int d, int count, bool per_peer) {
  dim._nccl_comm.assign(static_cast<size_t>(count), nullptr);
  dim._nccl_slot.assign(static_cast<size_t>(count), nullptr);
  const bool override_rings = dim._same_host && (count == 4 || count == 6) && per_peer;
  try {
    for (int i = 0; i < count; ++i) {
      // Rank 0's identifier with its result: the others learn of a failure
      // from the broadcast instead of waiting in it.
      struct {
        ncclUniqueId id;
        int result;
      } offer;
      std::memset(&offer, 0, sizeof offer);
      if (dim._rank == 0) offer.result = ncclGetUniqueId(&offer.id);
      QOR_CHECK_MPI(MPI_Bcast(&offer, sizeof offer, MPI_BYTE, 0, dim._comm));
      if (offer.result != ncclSuccess) {
        if (dim._rank != 0) {
          QOR_TRACE_RANK('E', _rank)
              << dim_tag(d) << " ncclGetUniqueId failed on the dimension's first process";
        }
        raise_nccl(__FILE__, __LINE__, static_cast<ncclResult_t>(offer.result));
      }
      const ncclUniqueId& id = offer.id;
      int slot = i;
      {
        nccl_rings_guard rings;
        if (override_rings) {
          if (dim._rank == 0 && _dbg_level > 1) {
            QOR_TRACE_RANK('I', _rank) << dim_tag(d) << " overriding NCCL_RINGS=" << rings.saved();
          }
          const char* order = rings_of_six;
          if (count == 4) {
            order = rings_of_four[i].rings;
            slot = rings_of_four[i].slot;
          }
          setenv("NCCL_RINGS", order, 1);
        }
        QOR_CHECK_NCCL(ncclCommInitRank(&dim._nccl_comm[i], dim._size, id, dim._rank));
        dim._nccl_slot[slot] = &dim._nccl_comm[i];
      }
      if (dim._rank == 0 && _dbg_level > 1) {
        QOR_TRACE_RANK('D', _rank) << dim_tag(d) << "  NCCL enabled";
      }
      QOR_CHECK_MPI(MPI_Barrier(dim._comm));
    }
  } catch (...) {
    // A half-made list would read as enabled and hand empty communicators
    // to the engine; the dimension goes without NCCL instead.
    dim.release_nccl();
    throw;
  }
}

}  // namespace network
}  // namespace qor
