#include <cuda_runtime.h>

#include "qor_test_support.h"

namespace qor_test {

bool device_available(std::string* why) {
  int count = 0;
  cudaError_t err = cudaGetDeviceCount(&count);
  if (err != cudaSuccess || count < 1) {
    if (why) {
      *why = err != cudaSuccess
                 ? std::string("no usable GPU: ") + cudaGetErrorString(err)
                 : std::string("no usable GPU: the CUDA runtime reports 0 devices");
    }
    cudaGetLastError();  // the probe must not leave an error behind
    return false;
  }
  return true;
}

}  // namespace qor_test
