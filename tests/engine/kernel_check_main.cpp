// Stand-alone run of the kernel checks, for machines with a GPU but without
// MPI or GoogleTest (tools/gpu_check.sh).  Exit status 0 when all pass.
#include <cuda_runtime.h>

#include <cstdio>

#include "kernel_checks.h"

int main() {
  int devices = 0;
  cudaError_t e = cudaGetDeviceCount(&devices);
  if (e != cudaSuccess || devices < 1) {
    std::printf("SKIPPED: no usable GPU (%s)\n",
                e != cudaSuccess ? cudaGetErrorString(e) : "0 devices");
    return 77;
  }
  int failed = 0;
  int passed = 0;
  for (unsigned seed : {1u, 20260u}) {
    for (const auto& o : kernel_checks::run_all(seed)) {
      std::printf("%s %s%s%s\n", o.passed ? "PASS" : "FAIL", o.name.c_str(),
                  o.detail.empty() ? "" : ": ", o.detail.c_str());
      (o.passed ? passed : failed)++;
    }
  }
  std::printf("kernel checks: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
