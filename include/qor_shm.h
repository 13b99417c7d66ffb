// Memory shared by the processes of one host, through MPI's shared windows:
// MPI names, maps and removes the segments, also when a process dies.  Two
// users: the pool that qor_malloc hands out in host-CPU mode, whose buffers
// peers read where they lie, and per topology dimension the channel through
// which the SHM algorithm moves data and signals progress.
#pragma once

#include <mpi.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace qor {
namespace network {

// Bytes the shared memory file system can still back (SIZE_MAX when it
// cannot be asked).  MPI keeps its shared windows there.
size_t shm_bytes_free();

// This process's part of a window shared by the processes of `comm`, and
// where every part lies in this address space; parts start on a page.
class shm_window {
 public:
  shm_window() = default;
  // Collective over comm; each process gives its own size (0 allowed).
  shm_window(MPI_Comm comm, size_t bytes);
  ~shm_window();
  shm_window(const shm_window&) = delete;
  shm_window& operator=(const shm_window&) = delete;
  shm_window(shm_window&& other) noexcept;
  shm_window& operator=(shm_window&& other) noexcept;

  char* base(int rank) const { return _bases[static_cast<size_t>(rank)]; }
  char* own() const { return _bases.empty() ? nullptr : _bases[static_cast<size_t>(_rank)]; }
  size_t bytes() const { return _bytes; }

 private:
  void release();
  MPI_Win _win = MPI_WIN_NULL;
  int _rank = 0;
  size_t _bytes = 0;
  std::vector<char*> _bases;
};

// qor_malloc's memory in host-CPU mode: one part per process of a host,
// handed out first fit.  Safe to call from several threads.
class shm_pool {
 public:
  // Collective over `host`, processes of one host, which share one window.
  shm_pool(MPI_Comm host, size_t bytes);
  ~shm_pool();
  shm_pool(const shm_pool&) = delete;
  shm_pool& operator=(const shm_pool&) = delete;

  // Null when no free block is large enough.  The block starts on a cache
  // line, and on `align` where that is a power of two up to a page.
  void* allocate(size_t bytes, size_t align);
  // False when ptr is no block of the pool (nothing happens then).
  bool release(void* ptr);
  // [ptr, ptr + bytes) lies in this process's part.
  bool holds(const void* ptr, size_t bytes) const;
  size_t offset_of(const void* ptr) const { return static_cast<size_t>(static_cast<const char*>(ptr) - _window.own()); }
  // Where a host process's part starts in this address space.
  char* base(int host_rank) const { return _window.base(host_rank); }
  MPI_Comm comm() const { return _comm; }
  size_t bytes_free() const;

 private:
  MPI_Comm _comm = MPI_COMM_NULL;
  shm_window _window;
  mutable std::mutex _lock;
  std::map<size_t, size_t> _free;                     // offset -> bytes
  std::map<size_t, std::pair<size_t, size_t>> _used;  // handed-out offset -> block [first, end)
};

// A flag on a cache line of its own, so that one process's stores do not
// slow the others' loads of their neighbours.
struct alignas(64) shm_flag {
  std::atomic<uint64_t> value{0};
};

// Where a process's data of a phase lie for its peers: its own part of the
// pool (zero copy) at an offset, or else its slot of the channel.
struct alignas(64) shm_place {
  std::atomic<uint64_t> in_pool{0};
  std::atomic<uint64_t> offset{0};
};

// What one process of a dimension publishes.  Each counter only grows and
// only its owner writes it: release stores there, acquire loads elsewhere.
struct shm_control {
  shm_flag rs_progress;  // (reduce-scatter number << 32) | slices copied in
  shm_flag rs_done;      // reduce-scatters whose reading has ended
  shm_flag ag_ready;     // allgathers whose part is published
  shm_flag ag_done;      // allgathers whose reading has ended
  shm_place rs_from;
  shm_place ag_from;
};

// The SHM algorithm's state on one dimension whose processes share a host.
class shm_channel {
 public:
  // Collective over the dimension's communicator.  `pool` may be null;
  // `host_processes` is the job's process count on this host.
  shm_channel(MPI_Comm comm, const shm_pool* pool, int host_processes);
  shm_channel(const shm_channel&) = delete;
  shm_channel& operator=(const shm_channel&) = delete;

  // Every area of every process's two slots holds at least `bytes`.
  // Collective: the processes of a dimension ask for the same size in the
  // same phase.
  void reserve(size_t bytes);
  shm_control& control(int rank) const { return *reinterpret_cast<shm_control*>(_control.base(rank)); }
  // A slot is a round of areas, each phase run writing the next one: a
  // store to a line that a peer has in its cache waits for the line to be
  // taken back from there, several times slower than a plain store, and
  // by the time an area comes round again its lines have left the peers'
  // caches.  Small buffers get many areas, those beyond the caches one.
  uint64_t areas() const { return _areas; }
  size_t area_offset(uint64_t run) const { return static_cast<size_t>(run % _areas) * _area_bytes; }
  char* rs_slot(int rank) const { return _slots.base(rank); }
  char* ag_slot(int rank) const { return _slots.base(rank) + _areas * _area_bytes; }
  // Where a peer's data of run `run` of a phase start in this address
  // space: in the pool where its place says so, else in the area of its
  // slot that the run writes (the same run number on every process).
  const char* resolve(int rank, const shm_place& place, bool reduce_scatter, uint64_t run) const;
  // The pool, when every process of the dimension can read its peers' parts.
  const shm_pool* pool() const { return _pool; }
  // A run's list of where each process's data lie, all null: kept here so
  // that a call allocates nothing.
  std::vector<const float*>& sources(int processes) {
    _sources.assign(static_cast<size_t>(processes), nullptr);
    return _sources;
  }

  // Looks at a peer's flag before giving up the processor: none where the
  // host runs more processes than it has processors, since a waiting
  // process then holds back the one it waits for.
  unsigned _spins = 1024;
  uint64_t _rs_count = 0;  // reduce-scatters this process has run here
  uint64_t _ag_count = 0;  // allgathers this process has run here
  uint64_t _rs_done_seen = 0;  // the lowest rs_done of the peers, as last read
  uint64_t _ag_done_seen = 0;
  bool _rs_in_pool = false;  // the last reduce-scatter published a place in the pool
  bool _ag_in_pool = false;
  bool _gathered = false;  // the last reduce-scatter did the allgather too

 private:
  MPI_Comm _comm;
  const shm_pool* _pool;
  std::vector<int> _pool_rank;  // rank in the pool's communicator, by rank here
  shm_window _control;
  shm_window _slots;
  size_t _area_bytes = 0;
  uint64_t _areas = 1;
  std::vector<const float*> _sources;
};

}  // namespace network
}  // namespace qor
