// The path of the hardware layer that ends the process, in a child that
// starts CUDA and MPI (a singleton) on its own: CUDA cannot be used in a
// forked child once its parent has started it.
#include <cuda_runtime.h>
#include <gtest/gtest.h>
#include <mpi.h>

#include "qor_hw.h"
#include "qor_option.h"
#include "qor_test_support.h"

// The application selects another device behind the layer's back.
TEST(HwExit, AnotherDeviceThanTheLayersIsMessageNine) {
  for (int device : {0, 1}) {
    const qor_test::child_result r = qor_test::run_child([&] {
      int devices = 0;
      if (cudaGetDeviceCount(&devices) != cudaSuccess || devices < 2) return 77;
      MPI_Init(nullptr, nullptr);
      std::map<std::string, std::string> options = parse_option("");
      qor::network::qor_hw hw(MPI_COMM_WORLD, options);
      cudaSetDevice(device);
      hw.check_device();
      return 0;
    });
    if (r.status == 77) GTEST_SKIP() << "two GPUs are needed to switch between them";
    EXPECT_EQ(r.status, device) << "the layer's device returns, another ends the process\n" << r.log;
    EXPECT_EQ(r.log.find(qor_test::message_line(9, "QOR does not support using more than one GPU per process. GPUs 1 "
                                                   "and 0 were used inside the same process on host " +
                                                       qor::host_name() + ".")) != std::string::npos,
              device == 1) << r.log;
  }
}
