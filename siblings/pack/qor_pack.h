/*
 * libqor_pack: float gradients squeezed to binary16 and back, in place, so
 * that half as many bytes cross the network.
 *
 * Both calls work on device memory and are queued on `stream` like kernels:
 * they return before the conversion runs, and work queued on the stream
 * later sees its result.  They return 0, or the cudaError_t of a launch that
 * failed (nothing after it was queued).  n <= 0 does nothing and returns 0.
 */
#ifndef QOR_PACK_H
#define QOR_PACK_H

#include <cuda_runtime.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The n floats at buf become n halves of value x * scale (rounded to
 * nearest even), stored at the start of the same memory: half i at byte
 * offset 2 * i.  Bytes [2n, 4n) are left undefined. */
int qor_pack_fp32to16(int n, float* buf, cudaStream_t stream, float scale);

/* The reverse: the n halves at the start of buf become n floats of value
 * h / scale (computed in float) filling buf. */
int qor_unpack_fp16to32(int n, float* buf, cudaStream_t stream, float scale);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QOR_PACK_H */
