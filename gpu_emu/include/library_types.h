#ifndef QOR_GPU_EMU_LIBRARY_TYPES_H
#define QOR_GPU_EMU_LIBRARY_TYPES_H

typedef enum cudaDataType_t {
  CUDA_R_32F = 0,
  CUDA_R_64F = 1,
  CUDA_R_16F = 2,
  CUDA_R_8I = 3,
  CUDA_R_8U = 8,
  CUDA_R_32I = 10
} cudaDataType;

#endif /* QOR_GPU_EMU_LIBRARY_TYPES_H */
