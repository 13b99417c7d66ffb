#include "nccl_emu_shm.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>

namespace qoremu {
namespace nccl {
namespace {

constexpr double default_timeout_s = 60.0;
// A wait first polls this often (a peer a few microseconds behind is
// common), then sleeps in the kernel: four ranks share two cores in tests.
constexpr int spin_polls = 100;

uint32_t load_acquire(const uint32_t* word) { return __atomic_load_n(word, __ATOMIC_ACQUIRE); }

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// Not FUTEX_PRIVATE: the word is shared between processes, and even within
// one process two ranks map the segment at different addresses.
void futex_wait(uint32_t* word, uint32_t expected, const timespec* relative) {
  syscall(SYS_futex, word, FUTEX_WAIT, expected, relative, nullptr, 0);
}

void futex_wake_all(uint32_t* word) { syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0); }

double now_s() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Moves to the next generation, keeping the abort flag; returns the old word.
uint32_t advance_generation(uint32_t* sync) {
  uint32_t old = __atomic_load_n(sync, __ATOMIC_RELAXED);
  for (;;) {
    uint32_t next = (old & abort_bit) | ((old + 1) & generation_mask);
    if (__atomic_compare_exchange_n(sync, &old, next, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) {
      return old;
    }
  }
}

}  // namespace

void mark_aborted(unsigned char* base) {
  uint32_t* sync = &header_of(base)->sync;
  __atomic_fetch_or(sync, abort_bit, __ATOMIC_ACQ_REL);
  futex_wake_all(sync);
}

bool is_aborted(unsigned char* base) { return (load_acquire(&header_of(base)->sync) & abort_bit) != 0; }

barrier_result barrier(unsigned char* base, int nranks, double timeout_s, void (*on_last)(void*),
                       void* on_last_arg) {
  segment_header* header = header_of(base);
  // The generation must be read before arriving: the last rank may advance
  // it as soon as this rank is counted.
  uint32_t word = load_acquire(&header->sync);
  if (word & abort_bit) return barrier_result::aborted;
  const uint32_t generation = word & generation_mask;

  uint32_t arrived = __atomic_add_fetch(&header->arrived, 1, __ATOMIC_ACQ_REL);
  if (arrived == static_cast<uint32_t>(nranks)) {
    if (on_last) on_last(on_last_arg);
    // Reset before releasing anybody: a released rank may arrive at the next
    // barrier at once.
    __atomic_store_n(&header->arrived, 0, __ATOMIC_RELAXED);
    uint32_t old = advance_generation(&header->sync);
    futex_wake_all(&header->sync);
    return (old & abort_bit) ? barrier_result::aborted : barrier_result::passed;
  }

  const double deadline = now_s() + timeout_s;
  for (int polls = 0;; ++polls) {
    word = load_acquire(&header->sync);
    // Generation first: a peer that has passed this barrier and then
    // destroyed its communicator sets the abort flag, which must not fail a
    // barrier that did complete.
    if ((word & generation_mask) != generation) return barrier_result::passed;
    if (word & abort_bit) return barrier_result::aborted;
    if (polls < spin_polls) {
      cpu_relax();
      continue;
    }
    double left = deadline - now_s();
    if (left <= 0) {
      mark_aborted(base);
      return barrier_result::timed_out;
    }
    timespec relative;
    relative.tv_sec = static_cast<time_t>(left);
    relative.tv_nsec = static_cast<long>((left - static_cast<double>(relative.tv_sec)) * 1e9);
    if (relative.tv_nsec >= 1000000000L) relative.tv_nsec = 999999999L;
    // Returns at once if the word has already changed; wake-ups, signals
    // and the time-out all loop back to the checks above.
    futex_wait(&header->sync, word, &relative);
  }
}

double timeout_from_env() {
  const char* text = std::getenv("QOR_EMU_NCCL_TIMEOUT");
  if (!text || !*text) return default_timeout_s;
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value) || value <= 0) {
    return default_timeout_s;
  }
  // Keeps the deadline arithmetic and timespec conversion in range.
  return value > 1e7 ? 1e7 : value;
}

}  // namespace nccl
}  // namespace qoremu
