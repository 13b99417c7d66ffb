#ifndef QOR_GPU_EMU_CUDA_RUNTIME_API_H
#define QOR_GPU_EMU_CUDA_RUNTIME_API_H
#include "cuda_runtime.h"
#endif
