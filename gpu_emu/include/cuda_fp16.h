/*
 * IEEE 754 binary16 for the emulated flavour.  Conversion from float rounds
 * to nearest, ties to even, with subnormals, infinities and NaN handled as
 * the GPU does.  Only the conversion functions that libqor uses are given;
 * arithmetic goes through float.
 *
 * The conversions are defined here, inline, because element-wise loops over
 * binary16 data call them once per element.  The header stays valid C.
 */
#ifndef QOR_GPU_EMU_CUDA_FP16_H
#define QOR_GPU_EMU_CUDA_FP16_H

#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct __half_raw {
  unsigned short x;
} __half_raw;

#ifdef __cplusplus
} /* extern "C" */

struct __half {
  unsigned short __x;
};
#else
typedef struct __half {
  unsigned short __x;
} __half;
#endif

#ifdef __cplusplus
extern "C" {
#endif

static inline unsigned short __half_as_ushort(__half h) { return h.__x; }

static inline __half __ushort_as_half(unsigned short i) {
  __half h;
  h.__x = i;
  return h;
}

/* Round to nearest even; __float2half is the same conversion. */
static inline __half __float2half_rn(float a) {
  unsigned int f;
  unsigned int sign;
  unsigned int mag;
  unsigned int bits;
  memcpy(&f, &a, sizeof f);
  sign = (f >> 16) & 0x8000u;
  mag = f & 0x7fffffffu;
  if (mag >= 0x7f800000u) {
    /* Infinity stays infinity; a NaN keeps its sign and the top of its
     * payload and comes out quiet, so it can never turn into infinity. */
    bits = mag == 0x7f800000u ? 0x7c00u : 0x7e00u | ((mag >> 13) & 0x03ffu);
  } else if (mag >= 0x477ff000u) {
    /* 65520 is halfway between 65504 (odd mantissa) and 2^16, so it and
     * everything above round to infinity. */
    bits = 0x7c00u;
  } else if (mag >= 0x38800000u) {
    /* Normal: rebias the exponent (127 -> 15) and round the 13 dropped
     * mantissa bits; a carry out of the mantissa correctly bumps the
     * exponent. */
    bits = (mag - 0x38000000u + 0x0fffu + ((mag >> 13) & 1u)) >> 13;
  } else if (mag > 0x33000000u) {
    /* Subnormal result (|a| in (2^-25, 2^-14)): units of 2^-24.  A value that
     * rounds up to 0x0400 lands on the smallest normal, which is right. */
    unsigned int shift = 126u - (mag >> 23);
    unsigned int m = (mag & 0x007fffffu) | 0x00800000u;
    unsigned int rest = m & ((1u << shift) - 1u);
    unsigned int halfway = 1u << (shift - 1u);
    bits = m >> shift;
    if (rest > halfway || (rest == halfway && (bits & 1u))) ++bits;
  } else {
    /* At most 2^-25, half the smallest subnormal: ties to the even zero. */
    bits = 0;
  }
  return __ushort_as_half((unsigned short)(sign | bits));
}

static inline __half __float2half(float a) { return __float2half_rn(a); }

/* Exact: every binary16 value is a float. */
static inline float __half2float(__half a) {
  unsigned int h = a.__x;
  unsigned int sign = (h & 0x8000u) << 16;
  unsigned int exponent = (h >> 10) & 0x1fu;
  unsigned int mantissa = h & 0x03ffu;
  unsigned int f;
  float out;
  if (exponent == 0x1fu) {
    f = sign | 0x7f800000u | (mantissa << 13);
  } else if (exponent != 0) {
    f = sign | ((exponent + 112u) << 23) | (mantissa << 13);
  } else if (mantissa == 0) {
    f = sign;
  } else {
    /* Subnormal: normalise, the float exponent range is wide enough. */
    exponent = 113u;
    while (!(mantissa & 0x0400u)) {
      mantissa <<= 1;
      --exponent;
    }
    f = sign | (exponent << 23) | ((mantissa & 0x03ffu) << 13);
  }
  memcpy(&out, &f, sizeof out);
  return out;
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QOR_GPU_EMU_CUDA_FP16_H */
