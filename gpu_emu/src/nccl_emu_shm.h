// Shared-memory segment of an emulated NCCL communicator and the barrier its
// ranks meet at.  One segment per communicator, named after the unique id,
// mapped by every rank (process or thread) that joins it.
//
// Layout, all offsets page aligned:
//   page 0            segment_header (rendezvous and barrier words)
//   per rank r        rank_meta page, then two data slots of slot_bytes
//                     (even and odd round), written only by rank r.
// Rounds alternate between the two slots, so a rank may post round k+1
// while slower ranks still read round k; it cannot reach round k+2 before
// all of them have posted k+1, i.e. finished reading round k.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qoremu {
namespace nccl {

constexpr size_t page_bytes = 4096;
// Bytes one rank contributes per round; larger messages go in chunks.
constexpr size_t slot_bytes = 256 * 1024;
// Bounds the segment size (about 129 MiB at this many ranks).
constexpr int max_ranks = 256;

// What a rank is about to do; every rank must post the same.
struct call_desc {
  uint64_t seq;    // number of collective calls on this communicator so far
  uint64_t count;  // element count as passed by the caller
  int32_t kind;
  int32_t dtype;
  int32_t root;
  int32_t reserved;
};

struct segment_header {
  uint32_t nranks;  // set once by the first rank to attach
  uint32_t pad0[15];
  uint32_t arrived;  // ranks at the current barrier; own cache line
  uint32_t pad1[15];
  // Barrier generation in the low 31 bits, abort flag in the top bit.  Both
  // live in one word so that a futex waiter cannot miss either change.
  uint32_t sync;
};

struct rank_meta {
  uint32_t claimed;  // 1 once a process has joined as this rank
  int32_t device;    // its physical device
  uint32_t pad[14];
  call_desc desc[2];  // by round parity
};

constexpr uint32_t abort_bit = 0x80000000u;
constexpr uint32_t generation_mask = 0x7fffffffu;

constexpr size_t rank_area_bytes = page_bytes + 2 * slot_bytes;

inline size_t segment_bytes(int nranks) {
  return page_bytes + static_cast<size_t>(nranks) * rank_area_bytes;
}

inline segment_header* header_of(unsigned char* base) {
  return reinterpret_cast<segment_header*>(base);
}

inline rank_meta* meta_of(unsigned char* base, int rank) {
  return reinterpret_cast<rank_meta*>(base + page_bytes + static_cast<size_t>(rank) * rank_area_bytes);
}

inline unsigned char* slot_of(unsigned char* base, int rank, uint64_t round) {
  return base + page_bytes + static_cast<size_t>(rank) * rank_area_bytes + page_bytes +
         static_cast<size_t>(round & 1) * slot_bytes;
}

enum class barrier_result { passed, aborted, timed_out };

// Waits until all `nranks` ranks have called it for the current generation.
// Runs `on_last` (if given) in the last rank to arrive, before anybody is
// released.  On time-out the segment is marked aborted so that every other
// rank fails as well instead of waiting its own full time-out.
barrier_result barrier(unsigned char* base, int nranks, double timeout_s,
                       void (*on_last)(void*) = nullptr, void* on_last_arg = nullptr);

// Marks the segment failed and wakes every waiter.
void mark_aborted(unsigned char* base);

bool is_aborted(unsigned char* base);

// Seconds a wait for peers may last: QOR_EMU_NCCL_TIMEOUT, default 60.
double timeout_from_env();

}  // namespace nccl
}  // namespace qoremu
