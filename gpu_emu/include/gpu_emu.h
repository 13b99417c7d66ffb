/*
 * Test-only introspection and failure injection of the GPU emulation.
 * Nothing in libqor includes this header; tests use it to check that every
 * allocation, stream, handle and communicator is released, and to make a
 * chosen emulated call fail so that the library's error paths can run.
 */
#ifndef QOR_GPU_EMU_GPU_EMU_H
#define QOR_GPU_EMU_GPU_EMU_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Live objects created through the emulation and not yet released. */
size_t qoremu_live_device_allocations(void);
size_t qoremu_live_host_allocations(void);
size_t qoremu_live_streams(void);
size_t qoremu_live_cublas_handles(void);
size_t qoremu_live_nccl_comms(void);

/* NCCL_RINGS as each ncclCommInitRank call of this process saw it ("" when
 * unset), oldest first, until qoremu_nccl_rings_clear().  A returned text
 * stays valid until the next ncclCommInitRank or clear. */
size_t qoremu_nccl_rings_count(void);
const char* qoremu_nccl_rings_at(size_t index);
void qoremu_nccl_rings_clear(void);

/* Calls made so far of the function named `function` (for example
 * "cudaDeviceSynchronize"), failed ones included. */
size_t qoremu_calls(const char* function);

/* Makes the call named `function` (for example "cudaMalloc", "cublasCreate_v2",
 * "ncclCommInitRank") return `error` once, after `skip` further successful
 * calls of it.  A negative skip clears every pending injection. */
void qoremu_inject_failure(const char* function, int skip, int error);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QOR_GPU_EMU_GPU_EMU_H */
