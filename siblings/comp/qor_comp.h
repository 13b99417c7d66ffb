/*
 * libqor_comp: gradient compression around the float sum.
 *
 * Compression is the identity: nothing is compressed.  The contract is
 *   1. count = qor_compress_fp32(n, buf, &out, v): the caller sums `count`
 *      floats starting at `out` across processes (here out == buf and
 *      count == n);
 *   2. qor_decompress_fp32(summed, dest, v, rank): leaves the summed gradient
 *      in dest.  When summed != dest the `count` floats of the last compress
 *      call are copied (device to device) from summed to dest; when they are
 *      the same buffer nothing happens.
 * Buffers are device memory.  Decompress returns 0 or the cudaError_t of the
 * copy; the copy is ordered like cudaMemcpy.  The count is remembered per
 * process, so compress and its decompress come in pairs, one pair at a time.
 * verbosity > 0 prints one line to stderr saying what the call did; rank is
 * only part of that line.
 */
#ifndef QOR_COMP_H
#define QOR_COMP_H

#include <cuda_runtime.h>

#ifdef __cplusplus
extern "C" {
#endif

int qor_compress_fp32(int count, float* buf, float** out, int verbosity);
int qor_decompress_fp32(float* summed, float* dest, int verbosity, int rank);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QOR_COMP_H */
