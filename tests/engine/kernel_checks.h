// The engine's element-wise kernels and the cuBLAS float sum against host
// references on random data.  Needs a device (or the emulation) but neither
// MPI nor GoogleTest, so that the same checks run from the GoogleTest suite
// and from the stand-alone program of tools/gpu_check.sh.
#pragma once

#include <string>
#include <vector>

namespace kernel_checks {

struct outcome {
  std::string name;    // check and length, for example "hxpy n=257"
  bool passed;
  std::string detail;  // the first difference, or the failing call
};

// Every check over lengths around the block size (0, 1, 255, 256, 257, ...)
// and one of a few million elements.
std::vector<outcome> run_all(unsigned seed);

}  // namespace kernel_checks
