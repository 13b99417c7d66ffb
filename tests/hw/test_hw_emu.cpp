// GPU mode through the emulation: everything the layer makes is released
// (live counters back to where they were), and injected failures of CUDA,
// cuBLAS and NCCL calls are reported as their messages without leaks.
#include <cublas_v2.h>
#include <cuda_runtime.h>
#include <gpu_emu.h>
#include <gtest/gtest.h>
#include <mpi.h>
#include <nccl.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "hw_test_support.h"
#include "qor_exception.h"
#include "qor_hw.h"
#include "qor_message.h"
#include "qor_test_support.h"

namespace {

using hw_test::build;
using hw_test::build_failure;
using hw_test::options;
using qor::network::qor_hw;

struct live_counts {
  size_t device_allocations = qoremu_live_device_allocations();
  size_t host_allocations = qoremu_live_host_allocations();
  size_t streams = qoremu_live_streams();
  size_t cublas = qoremu_live_cublas_handles();
  size_t comms = qoremu_live_nccl_comms();
};

std::string cuda_body(cudaError_t error) {
  return "A CUDA error has occurred on host " + qor::host_name() + ":\n" +
         cudaGetErrorString(error);
}
std::string nccl_body(ncclResult_t result) {
  return "A NCCL error has occurred on host " + qor::host_name() + ":\n" +
         ncclGetErrorString(result);
}

class EmuLayer : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("QOR_DEBUG");
    unsetenv("QOR_EMU_DEVICE_COUNT");
    unsetenv("NCCL_RINGS");
    rank_ = hw_test::world_rank();
    size_ = hw_test::world_size();
    comms_before_ = hw_test::live_comms();
  }
  void TearDown() override {
    qoremu_inject_failure("", -1, 0);
    unsetenv("NCCL_RINGS");
    // Nothing else in these programs uses the emulation: every count is
    // back to zero, not just to where the test found it.
    live_counts now;
    EXPECT_EQ(now.device_allocations, 0u);
    EXPECT_EQ(now.host_allocations, 0u);
    EXPECT_EQ(now.streams, 0u);
    EXPECT_EQ(now.cublas, 0u);
    EXPECT_EQ(now.comms, 0u);
    EXPECT_EQ(hw_test::live_comms(), comms_before_);
  }
  int rank_ = 0;
  int size_ = 0;
  long comms_before_ = 0;
  live_counts before_;
};

TEST_F(EmuLayer, WholeLifecycleReleasesEverything) {
  const std::vector<std::string> modes = {
      "b", "n:1x" + std::to_string(size_), "bn:" + std::to_string(size_) + "x1", "p"};
  for (const std::string& mode : modes) {
    SCOPED_TRACE(mode);
    {
      auto b = build("-pipe 1 -mode " + mode);
      qor_hw& hw = *b.hw;
      hw.enable_nccl(mode == "p");
      void* work = nullptr;
      hw.malloc_init(&work, 4096, 0);
      ASSERT_EQ(cudaMallocHost(&hw._host_buf, 1024), cudaSuccess);  // owned by the layer
      size_t comms = 0;
      for (auto& dim : hw._dim) comms += dim._nccl_comm.size();
      live_counts alive;
      EXPECT_EQ(alive.streams - before_.streams, hw._streams.size() + hw._pipe_streams.size());
      EXPECT_EQ(alive.cublas - before_.cublas, 1u);
      EXPECT_EQ(alive.comms - before_.comms, comms);
      EXPECT_GT(comms, 0u);
      EXPECT_EQ(alive.device_allocations - before_.device_allocations, 1u);
      EXPECT_EQ(alive.host_allocations - before_.host_allocations, 1u);
      std::vector<int> ring(hw._dim.size(), qor::network::ALG_RING);
      hw.clean_cuda_streams(ring, ring);
      EXPECT_EQ(qoremu_live_streams() - before_.streams,
                hw._streams.size() + hw._pipe_streams.size());
      hw.free(work);
    }
    live_counts after;
    EXPECT_EQ(after.streams, before_.streams);
    EXPECT_EQ(after.comms, before_.comms);
    EXPECT_EQ(after.host_allocations, before_.host_allocations);
  }
}

struct injected {
  const char* function;
  int skip;
  int error;
  int id;  // message expected
};

class ConstructionFailure : public EmuLayer, public testing::WithParamInterface<injected> {};

TEST_P(ConstructionFailure, IsReportedAndLeavesNothing) {
  const injected& c = GetParam();
  qoremu_inject_failure(c.function, c.skip, c.error);
  auto f = build_failure(options("-dbg_level 2 -pipe 1"));
  ASSERT_TRUE(f.threw_qor) << f.log;
  EXPECT_EQ(f.status, 6);
  EXPECT_EQ(f.id, c.id);
  std::string body;
  if (c.id == qor_message::MSG_CUBLAS) {
    body = "A cuBLAS error has occurred on host " + qor::host_name() + ". Return code is " +
           std::to_string(c.error) + ".";
  } else {
    body = cuda_body(static_cast<cudaError_t>(c.error));
  }
  EXPECT_EQ(f.what, body);
  EXPECT_NE(f.log.find(hw_test::message_line(c.id, body)), std::string::npos) << f.log;
}

INSTANTIATE_TEST_SUITE_P(
    Calls, ConstructionFailure,
    testing::Values(injected{"cudaSetDevice", 0, cudaErrorInvalidDevice, 2},
                    injected{"cudaDeviceGetStreamPriorityRange", 0, cudaErrorMemoryAllocation, 2},
                    injected{"cudaStreamCreateWithPriority", 0, cudaErrorMemoryAllocation, 2},
                    injected{"cudaStreamCreateWithPriority", 1, cudaErrorMemoryAllocation, 2},
                    injected{"cudaStreamCreateWithPriority", 2, cudaErrorMemoryAllocation, 2},
                    injected{"cublasCreate_v2", 0, CUBLAS_STATUS_ALLOC_FAILED, 3},
                    injected{"cublasSetStream_v2", 0, CUBLAS_STATUS_NOT_INITIALIZED, 3},
                    injected{"cudaGetDevice", 0, cudaErrorMemoryAllocation, 2}),
    [](const testing::TestParamInfo<injected>& info) {
      return std::string(info.param.function) + "_" + std::to_string(info.param.skip);
    });

TEST_F(EmuLayer, FailingDeviceCountMeansNoGpu) {
  qoremu_inject_failure("cudaGetDeviceCount", 0, cudaErrorInsufficientDriver);
  auto f = build_failure(options(""));
  ASSERT_TRUE(f.threw_qor) << f.log;
  EXPECT_EQ(f.status, 16);
  EXPECT_EQ(f.id, qor_message::MSG_NO_GPU);
  // The failed query leaves no error behind.
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(EmuLayer, HostModeMakesNoCudaCall) {
  // Every CUDA call the layer could make fails if it is made.
  for (const char* function : {"cudaGetDeviceCount", "cudaSetDevice", "cudaGetDevice",
                               "cudaDeviceGetStreamPriorityRange", "cudaStreamCreateWithPriority",
                               "cublasCreate_v2"}) {
    qoremu_inject_failure(function, 0, cudaErrorUnknown);
  }
  {
    auto b = build("-cpu_only 1 -dbg_level 2");
    EXPECT_EQ(b.hw->_device, -1);
    b.hw->check_device();
  }
  // All injections are still pending: none was consumed.
  EXPECT_EQ(cudaGetDeviceCount(nullptr), cudaErrorUnknown);
  int device = 0;
  EXPECT_EQ(cudaGetDevice(&device), cudaErrorUnknown);
  cudaGetLastError();
}

// A communicator that cannot be made: message 4, the dimension is left
// without NCCL, NCCL_RINGS holds the user's value, and a later call works.
TEST_F(EmuLayer, FailingCommunicatorLeavesTheDimensionWithout) {
  const std::string n = std::to_string(size_);
  for (int skip : {0, 1}) {
    if (skip >= size_) continue;
    SCOPED_TRACE("failing communicator " + std::to_string(skip));
    auto b = build("-mode b:" + n);
    qor_hw& hw = *b.hw;
    setenv("NCCL_RINGS", "mine", 1);
    qoremu_inject_failure("ncclCommInitRank", skip, ncclSystemError);
    qor_test::stderr_capture capture;
    bool thrown = false;
    try {
      hw.enable_nccl(false);
    } catch (const QORException& e) {
      thrown = true;
      EXPECT_EQ(e.status, 6);
      EXPECT_EQ(e.id, qor_message::MSG_NCCL);
      EXPECT_EQ(std::string(e.what()), nccl_body(ncclSystemError));
    }
    const std::string log = capture.take();
    ASSERT_TRUE(thrown) << log;
    EXPECT_NE(log.find(hw_test::message_line(4, nccl_body(ncclSystemError))), std::string::npos);
    EXPECT_STREQ(std::getenv("NCCL_RINGS"), "mine");
    EXPECT_FALSE(hw._dim[0].nccl_enabled());
    EXPECT_TRUE(hw._dim[0]._nccl_slot.empty());
    EXPECT_EQ(qoremu_live_nccl_comms(), before_.comms);
    EXPECT_EQ(hw._streams.size(), 1u);  // no per-peer stream half made
    // The injection was used up: the next set-up succeeds.
    hw.enable_nccl(false);
    EXPECT_EQ(hw._dim[0]._nccl_comm.size(), static_cast<size_t>(size_));
    EXPECT_EQ(hw._streams.size(), static_cast<size_t>(size_));
    EXPECT_STREQ(std::getenv("NCCL_RINGS"), "mine");
  }
}

TEST_F(EmuLayer, FailureInALaterDimensionKeepsTheEarlierOnes) {
  if (size_ < 2) return;  // one process has one dimension
  auto b = build("-mode n:" + std::to_string(size_ / 2) + "x2");
  qor_hw& hw = *b.hw;
  ASSERT_EQ(hw._dim.size(), 2u);
  qoremu_inject_failure("ncclCommInitRank", 1, ncclInternalError);  // dimension 1's
  qor_test::stderr_capture capture;
  EXPECT_THROW(hw.enable_nccl(false), QORException);
  capture.take();
  EXPECT_TRUE(hw._dim[0].nccl_enabled());
  EXPECT_FALSE(hw._dim[1].nccl_enabled());
  EXPECT_EQ(qoremu_live_nccl_comms() - before_.comms, 1u);
}

TEST_F(EmuLayer, FailingPerPeerStreamLeavesOnlyCreatedStreams) {
  if (size_ < 2) return;
  auto b = build("-pipe 0 -mode b:" + std::to_string(size_));
  qor_hw& hw = *b.hw;
  // The last of the size - 1 per-peer streams fails.
  qoremu_inject_failure("cudaStreamCreateWithPriority", size_ - 2, cudaErrorMemoryAllocation);
  qor_test::stderr_capture capture;
  EXPECT_THROW(hw.enable_nccl(false), QORException);
  capture.take();
  EXPECT_EQ(hw._dim[0]._nccl_comm.size(), static_cast<size_t>(size_));  // made, kept
  std::set<cudaStream_t> distinct(hw._streams.begin(), hw._streams.end());
  EXPECT_EQ(distinct.size(), hw._streams.size());
  for (cudaStream_t s : hw._streams) EXPECT_EQ(cudaStreamQuery(s), cudaSuccess);
  EXPECT_EQ(qoremu_live_streams() - before_.streams, hw._streams.size());
}

TEST_F(EmuLayer, FailingSynchronizeWhileTrimmingStreams) {
  if (size_ < 2) return;
  auto b = build("-pipe 0 -mode b:" + std::to_string(size_));
  qor_hw& hw = *b.hw;
  hw.enable_nccl(false);
  hw._multi_stream[0] = false;
  std::vector<int> ring = {qor::network::ALG_RING};
  qoremu_inject_failure("cudaStreamSynchronize", 0, cudaErrorUnknown);
  qor_test::stderr_capture capture;
  EXPECT_THROW(hw.clean_cuda_streams(ring, ring), QORException);
  capture.take();
  // The stream that could not be drained is still listed and still alive.
  EXPECT_EQ(hw._streams.size(), static_cast<size_t>(size_));
  EXPECT_EQ(qoremu_live_streams() - before_.streams, hw._streams.size());
  hw.clean_cuda_streams(ring, ring);
  EXPECT_EQ(hw._streams.size(), 1u);
  EXPECT_EQ(qoremu_live_streams() - before_.streams, 1u);
}

TEST_F(EmuLayer, SecondEnableNcclMakesNothingNew) {
  auto b = build("-mode bn:" + std::to_string(size_) + "x1");
  qor_hw& hw = *b.hw;
  hw.enable_nccl(false);
  live_counts first;
  hw.enable_nccl(false);
  live_counts second;
  EXPECT_EQ(second.comms, first.comms);
  EXPECT_EQ(second.streams, first.streams);
}

TEST_F(EmuLayer, ConfigurationErrorsInGpuModeLeaveNothing) {
  for (const char* mode : {"r:0x1", "m"}) {
    SCOPED_TRACE(mode);
    auto opts = options("-fuse_dim 1 -pack 0.5");
    opts["mode"] = mode;
    auto f = build_failure(opts);
    ASSERT_TRUE(f.threw_qor) << f.log;
    EXPECT_EQ(f.status, std::string(mode) == "m" ? 12 : 13);
  }
}

}  // namespace
