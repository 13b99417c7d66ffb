// The binary16 conversions are inline in cuda_fp16.h.  This unit only pins
// down the layout that code shared with the GPU kernels relies on: a __half
// is two bytes that can be copied to and from device buffers as they are.
#include "cuda_fp16.h"

#include <type_traits>

static_assert(sizeof(__half) == 2, "__half must be two bytes");
static_assert(alignof(__half) == alignof(unsigned short), "__half must align like a ushort");
static_assert(std::is_trivially_copyable<__half>::value, "__half must be trivially copyable");
static_assert(std::is_standard_layout<__half>::value, "__half must have standard layout");
