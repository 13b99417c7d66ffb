// The SHM algorithm of a dimension whose processes share a host, in
// host-CPU mode.  Instead of messages, which on one host cost a copy into a
// shared fragment and a copy out of it per step, each process publishes
// where its data lie (its buffer itself when qor_malloc's pool holds it, else
// its slot of the dimension's channel, filled slice by slice), sums its own
// part from its peers' data where they lie, and in the allgather copies each
// other part from its owner.  Flags with acquire/release ordering replace
// barriers; each phase waits only for what it is about to reuse.
#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <type_traits>
#include <vector>

#include "qor_algo.h"
#include "qor_clock.h"
#include "qor_sw.h"
#include "qor_sw_host_sum.h"
#include "qor_sw_instances.h"
#include "qor_watchdog.h"

namespace qor {
namespace network {

namespace {

// Elements of a slice (128 KiB): a slice of each of eight sources and the
// sum fit in a second-level cache of 2 MiB, so the sum reads every source
// from cache right after its owner copied it in.  Measured at 2 processes,
// 256 KiB buffers: 128 KiB slices beat 32 and 64 KiB ones by a quarter (a
// flag per slice costs more than the overlap gains there).
constexpr int slice_elements = 32768;
// The published progress of a buffer that needs no copying in.
constexpr uint64_t every_slice = 0xffffffffu;

uint64_t stamp(uint64_t count, uint64_t slices) { return count << 32 | slices; }

int slices_of(int count) { return count > 0 ? (count - 1) / slice_elements + 1 : 0; }

void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

using flag_of = shm_flag shm_control::*;

// Whether every peer's flag has reached `at_least`, without waiting.
bool peers_reached(const shm_channel& ch, const qor_dim& D, flag_of flag, uint64_t at_least) {
  for (int i = 1; i < D._size; ++i) {
    const int q = (D._rank + i) % D._size;
    if ((ch.control(q).*flag).value.load(std::memory_order_acquire) < at_least) return false;
  }
  return true;
}

// Waits for peer q's flag to reach `at_least`.  A short spin, then the
// processor is given up between looks: the peers may share its cores.  A
// peer that never comes is the watchdog's, which knows whom this waits for.
void wait_for(const shm_channel& ch, int q, flag_of flag, uint64_t at_least) {
  const std::atomic<uint64_t>& value = (ch.control(q).*flag).value;
  if (value.load(std::memory_order_acquire) >= at_least) return;
  watchdog::engine_peer(q);
  for (unsigned spins = 0; value.load(std::memory_order_acquire) < at_least; ++spins) {
    if (spins < ch._spins) {
      relax();
    } else {
      sched_yield();
    }
  }
}

void wait_peers(const shm_channel& ch, const qor_dim& D, flag_of flag, uint64_t at_least) {
  for (int i = 1; i < D._size; ++i) wait_for(ch, (D._rank + i) % D._size, flag, at_least);
}

void publish(shm_place& place, const shm_pool* pool, const void* buf, bool zero_copy) {
  place.in_pool.store(zero_copy ? 1 : 0, std::memory_order_relaxed);
  place.offset.store(zero_copy ? pool->offset_of(buf) : 0, std::memory_order_relaxed);
}

shm_channel& channel_of(qor_hw& hw, qor_dim& D) {
  if (!D._shm) D._shm.reset(new shm_channel(D._comm, hw._shm_pool.get(), hw._host_processes));
  return *D._shm;
}

// What a run of a phase on one dimension works with.
struct shm_run {
  shm_channel& ch;
  shm_control& mine;
  int p, me, n;
  const int* disp;   // of the parts in the segment, by rank in the dimension
  const int* count;  // elements of the parts
  uint64_t number;   // of this phase's runs on the channel, from 1
  bool zero_copy;    // the segment lies in the pool, where the peers read it
  size_t area;       // where this run writes in its slot
  bool timed;        // statistics are kept: the clock is read
  double t0;
  double wait;       // seconds spent waiting for peers so far
  // On a small buffer a clock read is a noticeable part of the call: only
  // the statistics read it.
  double clock() const { return timed ? monotonic_seconds() : 0.0; }
};

// The fields of a phase on the channel: its run counter, the place it
// publishes, its flag of finished reading, the lowest value of that flag
// seen among the peers, and whether its last place was in the pool.
struct shm_phase {
  uint64_t shm_channel::*runs;
  shm_place shm_control::*from;
  flag_of done;
  uint64_t shm_channel::*done_seen;
  bool shm_channel::*in_pool;
};
constexpr shm_phase rs_phase{&shm_channel::_rs_count, &shm_control::rs_from, &shm_control::rs_done,
                             &shm_channel::_rs_done_seen, &shm_channel::_rs_in_pool};
constexpr shm_phase ag_phase{&shm_channel::_ag_count, &shm_control::ag_from, &shm_control::ag_done,
                             &shm_channel::_ag_done_seen, &shm_channel::_ag_in_pool};

// Waits until every peer's `done` flag has reached `at_least`.  The flags
// only grow, so a value seen earlier still holds: a peer's line, which it
// writes every run, is fetched only when that value no longer suffices.
void wait_done(shm_channel& ch, const qor_dim& D, const shm_phase& phase, uint64_t at_least) {
  uint64_t& seen = ch.*phase.done_seen;
  if (seen >= at_least) return;
  wait_peers(ch, D, phase.done, at_least);
  seen = UINT64_MAX;
  for (int i = 1; i < D._size; ++i) {
    const int q = (D._rank + i) % D._size;
    seen = std::min(seen, (ch.control(q).*phase.done).value.load(std::memory_order_acquire));
  }
}

// Starts a run of a phase: the channel sized for the segment, and once no
// peer reads any more what the run overwrites, the segment's place
// published.  A place in the slot is the run's area, which peers derive
// from the run number: it is overwritten a round of areas later.  A place
// in the pool (and the switch between the two) is what the peers read,
// so every peer must have read the last one first: a peer still in the
// last run may not have looked it up yet.
// `in_place`: the peers may read the buffer itself where the pool holds it.
shm_run start_run(qor_hw& hw, qor_dim& D, const qor_ring& ring, const float* buf, const shm_phase& phase,
                  bool in_place, bool timed) {
  const double t0 = timed ? monotonic_seconds() : 0.0;
  shm_channel& ch = channel_of(hw, D);
  const int n = ring._net_disp.back();
  ch.reserve(static_cast<size_t>(n) * sizeof(float));
  const uint64_t number = ++(ch.*phase.runs);
  const shm_pool* pool = ch.pool();
  const bool zero_copy = in_place && pool && pool->holds(buf, static_cast<size_t>(n) * sizeof(float));
  const bool place_changes = zero_copy || ch.*phase.in_pool;
  ch.*phase.in_pool = zero_copy;
  const double w0 = timed ? monotonic_seconds() : 0.0;
  wait_done(ch, D, phase, number - std::min(number, place_changes ? 1 : ch.areas()));
  const double wait = timed ? monotonic_seconds() - w0 : 0.0;
  shm_control& mine = ch.control(D._rank);
  const size_t area = ch.area_offset(number);
  if (place_changes) publish(mine.*phase.from, pool, buf, zero_copy);
  return {ch,   mine, D._size, D._rank, n,    ring._net_disp.data(), ring._net_size.data(), number, zero_copy,
          area, timed, t0,      wait};
}

// Whether every process of the dimension published a place in the pool for
// the current reduce-scatter (read once every progress covers its start).
bool all_in_pool(const shm_channel& ch, const qor_dim& D) {
  for (int q = 0; q < D._size; ++q) {
    if (ch.control(q).rs_from.in_pool.load(std::memory_order_relaxed) == 0) return false;
  }
  return true;
}

// wait_peers, its time added to the run's waiting.
void wait_peers(shm_run& r, const qor_dim& D, flag_of flag, uint64_t at_least) {
  const double w0 = r.clock();
  wait_peers(r.ch, D, flag, at_least);
  r.wait += r.clock() - w0;
}

// Sums the slices from `summed` up to `end` whose reduce-scatter progress
// every peer has published: with `wait`, all of them, waiting for each;
// else those published already, stopping at the first that is not.
template <class Sum>
void sum_published(shm_run& r, const qor_dim& D, int& summed, int end, bool wait, Sum&& sum_slice) {
  for (; summed < end; ++summed) {
    const uint64_t needed = stamp(r.number, static_cast<uint64_t>(summed) + 1);
    if (wait) {
      wait_peers(r, D, &shm_control::rs_progress, needed);
    } else if (!peers_reached(r.ch, D, &shm_control::rs_progress, needed)) {
      return;
    }
    sum_slice(summed);
  }
}

// Only float buffers in host memory have this path: the host has no half sum.
template <class T, OPR OP>
constexpr bool runs_shm = std::is_same<T, float>::value && OP == QOR_MDR_HOST_SUM;

}  // namespace

template <class T>
template <OPR OP>
QOR_Status qor_sw<T>::reduce_scatter_shm(qor_dim& D, qor_ring& ring, T* buf, qor_stat* stat) {
  // Selection never gives this path to a device or to a dimension across
  // hosts; a direct call there answers 1, as an algorithm without its
  // communicator does.
  if (cannot_run(*_hw, static_cast<size_t>(D._index), {}, ALG_SHM)) return QOR_FAILURE;
  if constexpr (!runs_shm<T, OP>) {
    raise_half_unsupported(__FILE__, __LINE__);
  } else {
    if (D._size < 2) return QOR_SUCCESS;
    shm_run r = start_run(*_hw, D, ring, buf, rs_phase, true, stat != nullptr);
    shm_channel& ch = r.ch;
    const int p = r.p;
    const int me = r.me;
    const int* disp = r.disp;
    const int* count = r.count;
    const uint64_t e = r.number;

    std::vector<const float*>& from = ch.sources(p);  // by ring order
    bool fused = false;
    float* acc = p > 2 ? get_temp_buf(slice_elements) : nullptr;
    const int own_slices = slices_of(count[me]);
    int summed = 0;
    double sum_time = 0.0;
    // Slice `s` of the own part: the ring's order, the part's first holder
    // (the next process) first and the own contribution last, so that every
    // element is bit for bit the ring's.
    auto sum_slice = [&](int s) {
      const double s0 = r.clock();
      if (from[1] == nullptr) {
        for (int i = 1; i < p; ++i) {
          const int q = (me + i) % p;
          from[static_cast<size_t>(i)] =
              reinterpret_cast<const float*>(ch.resolve(q, ch.control(q).rs_from, true, e));
        }
      }
      const int offset = disp[me] + s * slice_elements;
      const int length = std::min(slice_elements, count[me] - s * slice_elements);
      float* own = buf + offset;
      if (p == 2) {
        host_sum(length, from[1] + offset, own);
      } else {
        host_add(length, from[1] + offset, from[2] + offset, acc);
        for (int i = 3; i < p; ++i) host_sum(length, from[static_cast<size_t>(i)] + offset, acc);
        host_sum(length, acc, own);
      }
      // Gathered at once: the sum goes where this process just read the
      // peers' contributions, lines it holds in its cache now.
      for (int i = 1; fused && i < p; ++i) host_copy(length, own, const_cast<float*>(from[static_cast<size_t>(i)]) + offset);
      sum_time += r.clock() - s0;
    };

    double copy_time = 0.0;
    size_t copied = 0;
    if (r.zero_copy) {
      r.mine.rs_progress.value.store(stamp(e, every_slice), std::memory_order_release);
      // Where every process's segment lies in the pool and this dimension's
      // allgather follows at once, also by SHM, each process writes its
      // sums straight into its peers' segments, and the allgather has
      // nothing left to do.  Every process decides alike: the places are
      // published before the first progress, and the lists are the same.
      wait_peers(r, D, &shm_control::rs_progress, stamp(e, 1));
      fused = gathers_next(D._index) && all_in_pool(ch, D);
    } else {
      // Round k copies slice k of every part but the own one, which only
      // this process reads; between rounds, the slices of the own part that
      // every peer has published are summed while they are in cache.
      float* slot = reinterpret_cast<float*>(ch.rs_slot(me) + r.area);
      int rounds = 0;
      for (int j = 0; j < p; ++j) rounds = std::max(rounds, slices_of(count[j]));
      for (int k = 0; k < rounds; ++k) {
        const double c0 = r.clock();
        for (int i = 1; i < p; ++i) {
          const int j = (me + i) % p;
          const int offset = disp[j] + k * slice_elements;
          const int length = std::min(slice_elements, count[j] - k * slice_elements);
          if (length <= 0) continue;
          host_copy(length, buf + offset, slot + offset);
          copied += static_cast<size_t>(length) * sizeof(float);
        }
        r.mine.rs_progress.value.store(stamp(e, static_cast<uint64_t>(k) + 1), std::memory_order_release);
        copy_time += r.clock() - c0;
        sum_published(r, D, summed, own_slices, false, sum_slice);
      }
    }
    sum_published(r, D, summed, own_slices, true, sum_slice);
    ch._gathered = fused;
    r.mine.rs_done.value.store(e, std::memory_order_release);
    if (stat) {
      const double read = static_cast<double>(count[me]) * sizeof(float) * (p - 1);
      // 'a': the whole allreduce, the sums sent into the peers' segments.
      const double sent = fused ? read : static_cast<double>(copied);
      stat->add_xact('s', r.t0, D._index, copy_time, r.wait, sum_time, sent, read, fused ? 'a' : ' ');
    }
  }
  return QOR_SUCCESS;
}

template <class T>
QOR_Status qor_sw<T>::allgatherv_shm(qor_dim& D, qor_ring& ring, T* buf, qor_stat* stat) {
  if (cannot_run(*_hw, static_cast<size_t>(D._index), {}, ALG_SHM)) return QOR_FAILURE;
  if constexpr (!std::is_same<T, float>::value) {
    raise_half_unsupported(__FILE__, __LINE__);
  } else {
    if (D._size < 2) return QOR_SUCCESS;
    if (D._shm && std::exchange(D._shm->_gathered, false)) {
      // Done by the reduce-scatter; the caller may write the buffer once
      // every peer has written its sums there.
      wait_peers(*D._shm, D, &shm_control::rs_done, D._shm->_rs_count);
      return QOR_SUCCESS;
    }
    shm_run r = start_run(*_hw, D, ring, buf, ag_phase, true, stat != nullptr);
    const int p = r.p;
    const int me = r.me;
    const int* disp = r.disp;
    const int* count = r.count;
    const uint64_t f = r.number;
    const size_t own_bytes = static_cast<size_t>(count[me]) * sizeof(float);
    if (!r.zero_copy) host_copy(count[me], buf + disp[me], reinterpret_cast<float*>(r.ch.ag_slot(me) + r.area) + disp[me]);
    r.mine.ag_ready.value.store(f, std::memory_order_release);
    const double t1 = r.clock();

    double copy_time = 0.0;
    for (int i = 1; i < p; ++i) {
      const int q = (me + i) % p;
      const double w0 = r.clock();
      wait_for(r.ch, q, &shm_control::ag_ready, f);
      const double w1 = r.clock();
      r.wait += w1 - w0;
      const float* part = reinterpret_cast<const float*>(r.ch.resolve(q, r.ch.control(q).ag_from, false, f));
      host_copy(count[q], part + disp[q], buf + disp[q]);
      copy_time += r.clock() - w1;
    }
    r.mine.ag_done.value.store(f, std::memory_order_release);
    // The caller may write a buffer from the pool once this returns: its
    // peers must have read it by then.
    if (r.zero_copy) {
      wait_peers(r, D, &shm_control::ag_done, f);
    }
    if (stat) {
      const double received = static_cast<double>(r.n - count[me]) * sizeof(float);
      stat->add_xact('s', r.t0, D._index, t1 - r.t0, r.wait, copy_time, r.zero_copy ? 0.0 : static_cast<double>(own_bytes),
                     received, ' ');
    }
  }
  return QOR_SUCCESS;
}

// The whole allreduce of the segment in one phase, for the last dimension
// when fused: every process copies its segment into its slot slice by slice
// and sums every slice of all contributions itself, in rank order, so that
// every process holds the same bits.  One wait for the peers instead of the
// two of a reduce-scatter and an allgather: on small buffers the waits are
// the call.  Always copied in: a buffer the peers read where it lies could
// not take the sums until they had all read it.
template <class T>
template <OPR OP>
QOR_Status qor_sw<T>::allreduce_shm(qor_dim& D, qor_ring& ring, T* buf, qor_stat* stat) {
  if (cannot_run(*_hw, static_cast<size_t>(D._index), {}, ALG_SHMA)) return QOR_FAILURE;
  if constexpr (!runs_shm<T, OP>) {
    raise_half_unsupported(__FILE__, __LINE__);
  } else {
    if (D._size < 2) return QOR_SUCCESS;
    shm_run r = start_run(*_hw, D, ring, buf, rs_phase, false, stat != nullptr);
    shm_channel& ch = r.ch;
    const int p = r.p;
    const int me = r.me;
    const uint64_t e = r.number;
    float* slot = reinterpret_cast<float*>(ch.rs_slot(me) + r.area);
    std::vector<const float*>& from = ch.sources(p);  // by rank
    const int slices = slices_of(r.n);
    int summed = 0;
    double sum_time = 0.0, copy_time = 0.0;
    auto sum_slice = [&](int s) {
      const double s0 = r.clock();
      if (from[static_cast<size_t>(me)] == nullptr) {
        for (int q = 0; q < p; ++q) {
          from[static_cast<size_t>(q)] =
              q == me ? slot : reinterpret_cast<const float*>(ch.resolve(q, ch.control(q).rs_from, true, e));
        }
      }
      const int offset = s * slice_elements;
      const int length = std::min(slice_elements, r.n - offset);
      float* out = buf + offset;
      host_add(length, from[0] + offset, from[1] + offset, out);
      for (int q = 2; q < p; ++q) host_sum(length, from[static_cast<size_t>(q)] + offset, out);
      sum_time += r.clock() - s0;
    };
    for (int k = 0; k < slices; ++k) {
      const double c0 = r.clock();
      const int offset = k * slice_elements;
      host_copy(std::min(slice_elements, r.n - offset), buf + offset, slot + offset);
      r.mine.rs_progress.value.store(stamp(e, static_cast<uint64_t>(k) + 1), std::memory_order_release);
      copy_time += r.clock() - c0;
      sum_published(r, D, summed, k + 1, false, sum_slice);
    }
    sum_published(r, D, summed, slices, true, sum_slice);
    r.mine.rs_done.value.store(e, std::memory_order_release);
    if (stat) {
      const double bytes = static_cast<double>(r.n) * sizeof(float);
      stat->add_xact('s', r.t0, D._index, copy_time, r.wait, sum_time, bytes, bytes * (p - 1), 'a');
    }
  }
  return QOR_SUCCESS;
}

template <class T>
bool qor_sw<T>::gathers_next(int d) const {
  const size_t i = static_cast<size_t>(d);
  if (i >= _best_ag_algo.size() || _best_ag_algo[i] != ALG_SHM) return false;
  for (size_t k = i + 1; k < _hw->_dim.size(); ++k) {
    if (_hw->_dim[k]._size > 1) return false;
  }
  return true;
}

template <class T>
void qor_sw<T>::reserve_shm() {
  if constexpr (std::is_same<T, float>::value) {
    const size_t dims = std::min({_rings.size(), _hw->_dim.size(), _best_rs_algo.size(), _best_ag_algo.size()});
    for (size_t d = 0; d < dims; ++d) {
      qor_dim& D = _hw->_dim[d];
      const bool shm = _best_rs_algo[d] == ALG_SHM || _best_ag_algo[d] == ALG_SHM || _best_rs_algo[d] == ALG_SHMA;
      if (!shm || D._size < 2 || cannot_run(*_hw, d, {}, ALG_SHM)) continue;
      channel_of(*_hw, D).reserve(static_cast<size_t>(_rings[d]._net_disp.back()) * sizeof(float));
    }
  }
}

#define QOR_SHM_PHASES(T, OP)                                                                 \
  template QOR_Status qor_sw<T>::reduce_scatter_shm<OP>(qor_dim&, qor_ring&, T*, qor_stat*); \
  template QOR_Status qor_sw<T>::allreduce_shm<OP>(qor_dim&, qor_ring&, T*, qor_stat*);
QOR_EACH_SUM(QOR_SHM_PHASES)
#undef QOR_SHM_PHASES
#define QOR_SHM_GATHERS(T)                                                           \
  template QOR_Status qor_sw<T>::allgatherv_shm(qor_dim&, qor_ring&, T*, qor_stat*); \
  template void qor_sw<T>::reserve_shm();                                          \
  template bool qor_sw<T>::gathers_next(int) const;
QOR_EACH_TYPE(QOR_SHM_GATHERS)
#undef QOR_SHM_GATHERS

}  // namespace network
}  // namespace qor
