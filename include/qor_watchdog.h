// The watchdog: a thread that ends the job when a collective call has not
// finished after a time-out, instead of letting every process wait forever.
//
// The thread calling the library marks a call as started and finished, and
// the legacy engine notes where the call is (phase, dimension, algorithm,
// the peer waited for).  The marks are relaxed or release stores to atomics
// that only the calling thread writes; the watchdog thread reads them a few
// times per second and uses the details only when it fires.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace qor {
namespace watchdog {

// The time-out when neither the option nor the environment gives one.
constexpr double default_seconds = 1800.0;

// Seconds of the time-out: `option` (the value of -watchdog_sec) when not
// empty, else `environment` (QOR_WATCHDOG_SEC) when set and not empty, else
// 1800.  0 turns the watchdog off.  A text that is not a number of seconds
// of 0 or more gets a warning line, and 1800 is used.
double resolve_seconds(const std::string& option, const char* environment);

// Starts the watchdog thread (qor_init, once its start mode runs), or gives
// the running thread a new time-out, mode and rank.  `mode` names the start
// mode in the line the watchdog writes; `rank` is the rank in that line.
// 0 seconds: nothing is watched.
void start(double seconds, const char* mode, int rank);
// Stops and joins the thread (qor_finalize); nothing when none runs.
void stop();

// What the calling thread publishes; read by the watchdog thread.
struct call_marks {
  std::atomic<unsigned long> calls{0};  // calls started so far
  std::atomic<bool> active{false};      // a call is running
  std::atomic<const char*> name{nullptr};
  std::atomic<size_t> count{0};
  std::atomic<int> type{0};  // QOR_Type
  // Legacy engine detail: phase text (nullptr before the first phase),
  // dimension, algorithm label, and the peer waited for as a rank in the
  // dimension (-1: none known), with what turns it into a rank of the job.
  std::atomic<const char*> phase{nullptr};
  std::atomic<int> dim{-1};
  std::atomic<const char*> algo{nullptr};
  std::atomic<int> peer{-1};
  std::atomic<int> peer_base{0};
  std::atomic<int> peer_stride{1};
};
extern call_marks marks;

// Only one thread at a time calls the library, so plain loads and stores
// suffice: no read-modify-write, no lock.
inline void call_started(const char* name, size_t count, int type) {
  marks.name.store(name, std::memory_order_relaxed);
  marks.count.store(count, std::memory_order_relaxed);
  marks.type.store(type, std::memory_order_relaxed);
  marks.phase.store(nullptr, std::memory_order_relaxed);
  marks.peer.store(-1, std::memory_order_relaxed);
  marks.calls.store(marks.calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  marks.active.store(true, std::memory_order_release);
}

inline void call_finished() { marks.active.store(false, std::memory_order_release); }

// Marks the calling scope as one call.
class watched_call {
 public:
  watched_call(const char* name, size_t count, int type) { call_started(name, count, type); }
  ~watched_call() { call_finished(); }
  watched_call(const watched_call&) = delete;
  watched_call& operator=(const watched_call&) = delete;
};

// The engine enters `phase` of dimension `dim` with the algorithm labelled
// `algo`; a peer of rank r in the dimension is rank base + r * stride of the job.
inline void engine_phase(const char* phase, int dim, const char* algo, int base, int stride) {
  marks.dim.store(dim, std::memory_order_relaxed);
  marks.algo.store(algo, std::memory_order_relaxed);
  marks.peer_base.store(base, std::memory_order_relaxed);
  marks.peer_stride.store(stride, std::memory_order_relaxed);
  marks.peer.store(-1, std::memory_order_relaxed);
  marks.phase.store(phase, std::memory_order_relaxed);
}

// The engine waits for the process of rank `dim_rank` in the current dimension.
inline void engine_peer(int dim_rank) { marks.peer.store(dim_rank, std::memory_order_relaxed); }

// The line the watchdog writes for the current marks (without ending anything).
std::string describe(double seconds, const char* mode);

}  // namespace watchdog
}  // namespace qor
