// Paths of the hardware layer that end the process: the device check and
// run-time option texts the parser refuses.  Each runs in a child process
// that starts MPI on its own (a singleton), builds a layer and ends.
#include <cuda_runtime.h>
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "qor_exception.h"
#include "qor_hw.h"
#include "qor_option.h"
#include "qor_test_support.h"

namespace {

using qor::network::qor_hw;

// A literal text as a POSIX extended regular expression.
std::string literal(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::string(".[]()*+?{}|^$\\").find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

class LayerExit : public testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    unsetenv("QOR_DEBUG");
  }
};

// Ends a child whose layer was destroyed and which would go on.  The exit
// status 0 tells the parent it got this far.  The exit-time leak check is
// skipped: Open MPI's singleton start-up leaves allocations in components it
// unloads, which no suppression can name; the layer's own releases are
// checked by the multi-process suites.
[[noreturn]] void end_child() {
  std::fflush(nullptr);
  std::_Exit(0);
}

// Runs in the child: the layer on device 0, then the application selects
// another device behind its back.
[[noreturn]] void switch_device_then_check(int other) {
  MPI_Init(nullptr, nullptr);
  {
    auto options = parse_option("");
    qor_hw hw(MPI_COMM_WORLD, options);
    if (cudaSetDevice(other) != cudaSuccess) std::exit(3);
    hw.check_device();
    std::fputs("check_device returned\n", stderr);
  }
  end_child();
}

TEST_F(LayerExit, CheckDeviceEndsTheProcessWithMessageNine) {
  QOR_REQUIRE_DEVICE();
  int devices = 0;
  cudaGetDeviceCount(&devices);
  if (devices < 2) GTEST_SKIP() << "two GPUs are needed to switch between them";
  const std::string message =
      "[ERROR QOR-1-9] QOR does not support using more than one GPU per process. GPUs 1 and 0 "
      "were used inside the same process on host " +
      qor::host_name() + ".\n";
  EXPECT_EXIT(switch_device_then_check(1), testing::ExitedWithCode(1), literal(message));
}

TEST_F(LayerExit, CheckDeviceReturnsOnTheLayersDevice) {
  QOR_REQUIRE_DEVICE();
  EXPECT_EXIT(switch_device_then_check(0), testing::ExitedWithCode(0), "check_device returned");
}

[[noreturn]] void update_then_return(const char* text) {
  MPI_Init(nullptr, nullptr);
  {
    auto options = parse_option("-cpu_only 1");
    qor_hw hw(MPI_COMM_WORLD, options);
    hw.update_option(text);
    std::fputs("update_option returned\n", stderr);
  }
  end_child();
}

// Only the run-time keys are valid; the list shows exactly them.
TEST_F(LayerExit, UpdateOptionRefusesOtherKeys) {
  EXPECT_EXIT(update_then_return("-dbg_level 1 -pipe 2"), testing::ExitedWithCode(1),
              literal("] invalid options : [pipe]\n") + ".*" +
                  literal("] valid options : comm_iter dbg_level dump_grad_path dump_iter "
                          "jitter_thold mon_iter rebind_iter \n"));
}

TEST_F(LayerExit, UpdateOptionRefusesMalformedText) {
  EXPECT_EXIT(update_then_return("-dbg_level"), testing::ExitedWithCode(1),
              literal("] ill-formated option :[-dbg_level]"));
}

TEST_F(LayerExit, UpdateOptionReturnsForValidText) {
  EXPECT_EXIT(update_then_return("-dbg_level 1 -mon_iter 3"), testing::ExitedWithCode(0),
              "update_option dbg_level=1 mon_iter=3 dump_iter=0 comm_iter=0(.|\n)*"
              "update_option returned");
}

}  // namespace
