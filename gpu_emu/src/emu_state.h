// Process-wide bookkeeping shared by the emulated CUDA runtime, cuBLAS and
// NCCL: live-object counters and one-shot failure injection for tests.
#pragma once

#include <atomic>
#include <cstddef>

#include "cuda_runtime.h"

namespace qoremu {

enum class counter { device_allocations, host_allocations, streams, cublas_handles, nccl_comms };

void count_up(counter c);
void count_down(counter c);
size_t live(counter c);

// True for the null (default) stream and for streams created and not yet
// destroyed through the emulated runtime.
bool stream_is_valid(cudaStream_t stream);

// Number of emulated devices: QOR_EMU_DEVICE_COUNT, read at every call so
// that tests can change it; default 8.
int device_count();

// Appends NCCL_RINGS as the calling ncclCommInitRank sees it to the log that
// qoremu_nccl_rings_at() reads.
void record_nccl_rings();

// Returns the injected error code for `function` when one is due, else 0.
int injected_failure(const char* function);

}  // namespace qoremu
