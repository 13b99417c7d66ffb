// Exits 0 when the CUDA runtime sees at least one usable device.
#include <cuda_runtime.h>
int main() {
  int n = 0;
  return (cudaGetDeviceCount(&n) == cudaSuccess && n > 0) ? 0 : 1;
}
