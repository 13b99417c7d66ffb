// GPU mode of the hardware layer under mpiexec: device choice, streams, the
// cuBLAS handle, working buffers, per-dimension NCCL communicators and the
// stream trimming.  Skipped, with the reason, where no device is usable.
#include <cublas_v2.h>
#include <cuda_runtime.h>
#include <gtest/gtest.h>
#include <mpi.h>
#include <nccl.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "hw_test_support.h"
#include "qor_hw.h"
#include "qor_message.h"
#include "qor_test_support.h"

namespace {

using hw_test::build;
using hw_test::build_failure;
using hw_test::options;
using hw_test::trace_texts;
using qor::network::qor_dim;
using qor::network::qor_hw;

std::string text_of(const std::vector<int>& sizes) {
  std::string s;
  for (size_t i = 0; i < sizes.size(); ++i) s += (i ? "x" : "") + std::to_string(sizes[i]);
  return s;
}

int greatest_priority() {
  int least = 0, greatest = 0;
  EXPECT_EQ(cudaDeviceGetStreamPriorityRange(&least, &greatest), cudaSuccess);
  return greatest;
}

void expect_created_stream(cudaStream_t stream) {
  ASSERT_NE(stream, nullptr);
  int priority = 1;
  EXPECT_EQ(cudaStreamGetPriority(stream, &priority), cudaSuccess);
  EXPECT_EQ(priority, greatest_priority());
  unsigned int flags = 0;
  EXPECT_EQ(cudaStreamGetFlags(stream, &flags), cudaSuccess);
  EXPECT_EQ(flags, static_cast<unsigned int>(cudaStreamNonBlocking));
  EXPECT_EQ(cudaStreamQuery(stream), cudaSuccess);
}

// Distinct created streams only.
void expect_stream_list(const std::vector<cudaStream_t>& streams) {
  std::set<cudaStream_t> distinct(streams.begin(), streams.end());
  EXPECT_EQ(distinct.size(), streams.size());
  for (cudaStream_t s : streams) expect_created_stream(s);
}

// NCCL_RINGS as a value that can be compared: unset is not "".
struct env_state {
  bool set = false;
  std::string value;
  bool operator==(const env_state& o) const { return set == o.set && value == o.value; }
};
env_state rings_now() {
  const char* v = std::getenv("NCCL_RINGS");
  return v ? env_state{true, v} : env_state{};
}

class GpuLayer : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("QOR_DEBUG");
    rank_ = hw_test::world_rank();
    size_ = hw_test::world_size();
    comms_before_ = hw_test::live_comms();
    QOR_REQUIRE_DEVICE();
    int devices = 0;
    cudaGetDeviceCount(&devices);
    if (devices < hw_test::local_size()) {
      GTEST_SKIP() << "one GPU per process is needed: " << hw_test::local_size()
                   << " processes on this host, " << devices << " GPUs";
    }
    had_rings_ = rings_now();
  }
  void TearDown() override {
    hw_test::set_fake_hosts(0);
    if (had_rings_.set) {
      setenv("NCCL_RINGS", had_rings_.value.c_str(), 1);
    } else {
      unsetenv("NCCL_RINGS");
    }
    EXPECT_EQ(hw_test::live_comms(), comms_before_);
  }

  // Each communicator of the dimension sums (world rank + 1) over exactly the
  // dimension's processes.  Collective over the dimension.
  void expect_working_comms(qor_hw& hw, qor_dim& dim) {
    std::vector<int> members = hw_test::world_ranks_of(dim._comm);
    float expected = 0;
    for (int m : members) expected += static_cast<float>(m + 1);
    float* buf = nullptr;
    ASSERT_EQ(cudaMalloc(&buf, sizeof(float)), cudaSuccess);
    for (size_t i = 0; i < dim._nccl_comm.size(); ++i) {
      SCOPED_TRACE("communicator " + std::to_string(i));
      int count = 0, user_rank = -1;
      EXPECT_EQ(ncclCommCount(dim._nccl_comm[i], &count), ncclSuccess);
      EXPECT_EQ(ncclCommUserRank(dim._nccl_comm[i], &user_rank), ncclSuccess);
      EXPECT_EQ(count, dim._size);
      EXPECT_EQ(user_rank, dim._rank);
      const float mine = static_cast<float>(rank_ + 1);
      cudaStream_t stream = hw._streams[std::min(i, hw._streams.size() - 1)];
      ASSERT_EQ(cudaMemcpy(buf, &mine, sizeof mine, cudaMemcpyHostToDevice), cudaSuccess);
      ASSERT_EQ(ncclAllReduce(buf, buf, 1, ncclFloat, ncclSum, dim._nccl_comm[i], stream),
                ncclSuccess);
      ASSERT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
      float sum = 0;
      ASSERT_EQ(cudaMemcpy(&sum, buf, sizeof sum, cudaMemcpyDeviceToHost), cudaSuccess);
      EXPECT_EQ(sum, expected);
    }
    cudaFree(buf);
  }

  int rank_ = 0;
  int size_ = 0;
  long comms_before_ = 0;
  env_state had_rings_;
};

TEST_F(GpuLayer, DeviceStreamsAndHandle) {
  auto b = build("");
  qor_hw& hw = *b.hw;
  EXPECT_EQ(hw._device, hw_test::local_rank());
  int current = -1;
  ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
  EXPECT_EQ(current, hw._device);
  ASSERT_EQ(hw._streams.size(), 1u);
  expect_created_stream(hw._streams[0]);
  ASSERT_NE(hw._cublas, nullptr);
  cudaStream_t bound = nullptr;
  EXPECT_EQ(cublasGetStream(hw._cublas, &bound), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(bound, hw._streams[0]);
  // pipe 1 (the default): two streams per process of dimension 0.
  EXPECT_EQ(hw._pipe_streams.size(), 2u * static_cast<size_t>(hw._dim[0]._size));
  expect_stream_list(hw._pipe_streams);
  for (cudaStream_t s : hw._pipe_streams) EXPECT_NE(s, hw._streams[0]);
  hw.check_device();
  // GPU mode writes no host-mode advice.
  for (const auto& text : trace_texts(b.log, 'W', -1)) EXPECT_EQ(text.find("-cpu_only"), std::string::npos);
}

TEST_F(GpuLayer, PipeStreamsFollowThePipeOptionAndDimensionZero) {
  {
    auto b = build("-pipe 0");
    EXPECT_TRUE(b.hw->_pipe_streams.empty());
    EXPECT_EQ(b.hw->_streams.size(), 1u);
  }
  {
    auto b = build("-pipe 3 -mode r:1x" + std::to_string(size_));
    EXPECT_EQ(b.hw->_pipe_streams.size(), 2u);  // dimension 0 has one process
    expect_stream_list(b.hw->_pipe_streams);
  }
}

TEST_F(GpuLayer, BoundToLineNamesTheDevice) {
  auto b = build("-dbg_level 2");
  std::string expected = "gpu " + std::to_string(hw_test::local_rank()) + " bound to { ";
  for (int core : hw_test::affinity_cores()) expected += std::to_string(core) + " ";
  expected += "}";
  auto info = trace_texts(b.log, 'I', rank_);
  EXPECT_NE(std::find(info.begin(), info.end(), expected), info.end()) << b.log;
}

TEST_F(GpuLayer, PipeWithOmpAdvice) {
  auto b = build("-pipe 2 -omp 2 -mode r:" + std::to_string(size_));
  auto warnings = trace_texts(b.log, 'W', -1);
  if (rank_ == 0) {
    EXPECT_EQ(warnings, std::vector<std::string>{
                            "[-pipe 2][-omp 2] may cause hang if NCCL is selected beyond the 2nd dim"});
  } else {
    EXPECT_TRUE(warnings.empty());
  }
  auto quiet = build("-pipe 2 -omp 1 -mode r:" + std::to_string(size_));
  EXPECT_TRUE(trace_texts(quiet.log, 'W', -1).empty()) << quiet.log;
}

struct gpu_conflict {
  const char* text;
  const char* pack;
  const char* fuse;
};

class GpuConflict : public GpuLayer, public testing::WithParamInterface<gpu_conflict> {};

TEST_P(GpuConflict, PackWithFuseDimWhenMpiLetterIsUsed) {
  auto f = build_failure(options(GetParam().text));
  ASSERT_TRUE(f.threw_qor) << f.log;
  EXPECT_EQ(f.status, 12);
  const std::string body = "[MPI: " + std::to_string(rank_) + "] Parameter '-pack " +
                           GetParam().pack + "' cannot be used with parameter '-fuse_dim " +
                           GetParam().fuse + "'.\n";
  EXPECT_EQ(f.what, body);
  EXPECT_NE(f.log.find(hw_test::message_line(12, body)), std::string::npos) << f.log;
}

INSTANTIATE_TEST_SUITE_P(Options, GpuConflict,
                         testing::Values(gpu_conflict{"-fuse_dim 1 -pack 0.5 -mode m", "0.5", "1"},
                                         gpu_conflict{"-fuse_dim 3 -pack 2 -mode rm", "2", "3"},
                                         gpu_conflict{"-fuse_dim 1 -pack 1 -mode bm:1x1x1x1",
                                                      "1", "1"}));

TEST_F(GpuLayer, NoConflictWithoutAllThreeConditions) {
  for (const char* text : {"-fuse_dim 1 -pack 0.5 -mode rn", "-fuse_dim 0 -pack 0.5 -mode m",
                           "-fuse_dim 1 -pack 0 -mode m", "-pipe 4 -comp_min_size 5 -pack 0.5"}) {
    SCOPED_TRACE(text);
    auto b = build(text);
    EXPECT_GE(b.hw->_device, 0);
  }
}

TEST_F(GpuLayer, WorkingBuffersAreDeviceMemory) {
  auto b = build("");
  qor_hw& hw = *b.hw;
  void* p = nullptr;
  hw.malloc_init(&p, 1000, 0x5a);
  ASSERT_NE(p, nullptr);
  std::vector<unsigned char> host(1000, 0);
  ASSERT_EQ(cudaMemcpy(host.data(), p, host.size(), cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(std::count(host.begin(), host.end(), 0x5a), 1000);
  hw.free(p);
  hw.malloc(&p, 64);
  EXPECT_NE(p, nullptr);
  EXPECT_EQ(cudaMemset(p, 0, 64), cudaSuccess);
  hw.free(p);
}

TEST_F(GpuLayer, WaitStream) {
  auto b = build("");
  qor_hw& hw = *b.hw;
  void* p = nullptr;
  hw.malloc(&p, 4096);
  ASSERT_EQ(cudaMemsetAsync(p, 1, 4096, hw._streams[0]), cudaSuccess);
  ASSERT_EQ(cudaMemsetAsync(p, 2, 4096, hw._pipe_streams[0]), cudaSuccess);
  hw.wait_stream(hw._streams, 0);
  hw.wait_stream(hw._streams, 1);
  hw.wait_stream(hw._pipe_streams.data(), static_cast<int>(hw._pipe_streams.size()));
  hw.wait_stream(hw._streams, 100);  // no further than the list
  hw.wait_stream(nullptr, 0);
  hw.wait_stream(nullptr, -1);
  EXPECT_EQ(cudaStreamQuery(hw._streams[0]), cudaSuccess);
  hw.free(p);
}

struct nccl_case {
  const char* letters;
  bool all;
};

// The topologies of the NCCL cases: one dimension, a leading dimension of
// one, and both splits into two dimensions.
std::vector<std::vector<int>> nccl_topologies(int n) {
  std::vector<std::vector<int>> t = {{n}, {1, n}};
  if (n >= 4) {
    t.push_back({n / 2, 2});
    t.push_back({2, n / 2});
  }
  return t;
}

class EnableNccl : public GpuLayer, public testing::WithParamInterface<nccl_case> {};

TEST_P(EnableNccl, CommunicatorsSlotsStreamsAndRings) {
  const nccl_case& c = GetParam();
  const std::string letters = c.letters;
  int case_index = 0;
  for (const auto& sizes : nccl_topologies(size_)) {
    SCOPED_TRACE("topology " + text_of(sizes));
    // Half the cases run with a value of the user's own in NCCL_RINGS.
    const bool user_rings = (case_index++ % 2) == 1;
    if (user_rings) {
      setenv("NCCL_RINGS", "user rings 7", 1);
    } else {
      unsetenv("NCCL_RINGS");
    }
    const env_state before = rings_now();
    auto b = build("-dbg_level 2 -mode " + letters + ":" + text_of(sizes));
    qor_hw& hw = *b.hw;
    const cudaStream_t main_stream = hw._streams[0];

    qor_test::stderr_capture capture;
    hw.enable_nccl(c.all);
    const std::string log = capture.take();
    EXPECT_TRUE(rings_now() == before) << "NCCL_RINGS not restored";

    size_t streams = 1;
    for (size_t d = 0; d < hw._dim.size(); ++d) {
      SCOPED_TRACE("dimension " + std::to_string(d));
      qor_dim& dim = hw._dim[d];
      const char letter = letters[std::min(d, letters.size() - 1)];
      const bool per_peer = letter == 'b' || c.all;
      const size_t n = per_peer ? static_cast<size_t>(dim._size) : 1;
      streams = std::max(streams, n);
      EXPECT_EQ(hw._multi_stream[d], letter == 'b');
      ASSERT_EQ(dim._nccl_comm.size(), n);
      ASSERT_EQ(dim._nccl_slot.size(), n);
      std::set<ncclComm_t> distinct(dim._nccl_comm.begin(), dim._nccl_comm.end());
      EXPECT_EQ(distinct.size(), n);
      EXPECT_EQ(distinct.count(nullptr), 0u);
      const bool reordered = n == 4 && per_peer && dim._same_host;
      const size_t order[4] = {1, 0, 3, 2};
      for (size_t slot = 0; slot < n; ++slot) {
        EXPECT_EQ(dim._nccl_slot[slot], &dim._nccl_comm[reordered ? order[slot] : slot])
            << "slot " << slot;
      }
      // Lines of the dimension's first process.
      const std::string tag = "d" + std::to_string(d) + " ";
      auto debug = trace_texts(log, 'D', rank_);
      auto info = trace_texts(log, 'I', rank_);
      EXPECT_EQ(static_cast<size_t>(std::count(debug.begin(), debug.end(), tag + "  NCCL enabled")),
                dim._rank == 0 ? n : 0);
      const std::string override_line =
          tag + " overriding NCCL_RINGS=" + (user_rings ? "user rings 7" : "");
      EXPECT_EQ(static_cast<size_t>(std::count(info.begin(), info.end(), override_line)),
                dim._rank == 0 && reordered ? n : 0);
    }
    auto debug = trace_texts(log, 'D', rank_);
    EXPECT_EQ(std::count(debug.begin(), debug.end(), "enable_nccl"), rank_ == 0 ? 1 : 0);
    ASSERT_EQ(hw._streams.size(), streams);
    EXPECT_EQ(hw._streams[0], main_stream);
    expect_stream_list(hw._streams);
    for (auto& dim : hw._dim) expect_working_comms(hw, dim);

    // Once the engine settled on rings everywhere, only the dimensions that
    // run one operation per peer keep their streams.
    std::vector<int> ring(hw._dim.size(), qor::network::ALG_RING);
    hw.clean_cuda_streams(ring, ring);
    size_t kept = 1;
    for (size_t d = 0; d < hw._dim.size(); ++d) {
      if (letters[std::min(d, letters.size() - 1)] == 'b') {
        kept = std::max(kept, static_cast<size_t>(hw._dim[d]._size));
      }
    }
    EXPECT_EQ(hw._streams.size(), kept);
    EXPECT_EQ(hw._streams[0], main_stream);
    expect_stream_list(hw._streams);
  }
}

INSTANTIATE_TEST_SUITE_P(Letters, EnableNccl,
                         testing::Values(nccl_case{"n", false}, nccl_case{"b", false},
                                         nccl_case{"nb", false}, nccl_case{"bn", false},
                                         nccl_case{"r", true}, nccl_case{"p", true}),
                         [](const testing::TestParamInfo<nccl_case>& info) {
                           return std::string(info.param.letters) + (info.param.all ? "_all" : "");
                         });

TEST_F(GpuLayer, CleanStreamsKeepsOnePerPeerForNcclb) {
  auto b = build("-mode r:" + std::to_string(size_));
  qor_hw& hw = *b.hw;
  // NCCLB chosen without per-peer streams from enable_nccl: they are made.
  std::vector<int> rs = {qor::network::ALG_NCCLB};
  std::vector<int> ag = {qor::network::ALG_RING};
  hw.clean_cuda_streams(rs, ag);
  EXPECT_TRUE(hw._multi_stream[0]);
  EXPECT_EQ(hw._streams.size(), static_cast<size_t>(size_));
  expect_stream_list(hw._streams);
  // The bit stays: a later call without NCCLB keeps the streams.
  rs[0] = qor::network::ALG_RCS;
  hw.clean_cuda_streams(rs, ag);
  EXPECT_EQ(hw._streams.size(), static_cast<size_t>(size_));
  // Lists shorter than the dimensions are read no further than their end.
  std::vector<int> none;
  hw._multi_stream[0] = false;
  hw.clean_cuda_streams(none, none);
  EXPECT_EQ(hw._streams.size(), 1u);
  expect_stream_list(hw._streams);
}

TEST_F(GpuLayer, SecondEnableNcclKeepsOrReplacesCommunicators) {
  auto b = build("-mode n:1x" + std::to_string(size_));
  qor_hw& hw = *b.hw;
  hw.enable_nccl(false);
  std::vector<ncclComm_t> first;
  for (auto& dim : hw._dim) {
    ASSERT_EQ(dim._nccl_comm.size(), 1u);
    first.push_back(dim._nccl_comm[0]);
  }
  hw.enable_nccl(false);
  for (size_t d = 0; d < hw._dim.size(); ++d) {
    ASSERT_EQ(hw._dim[d]._nccl_comm.size(), 1u);
    EXPECT_EQ(hw._dim[d]._nccl_comm[0], first[d]) << "made again";
  }
  EXPECT_EQ(hw._streams.size(), 1u);
  // Now every dimension wants one per peer.
  hw.enable_nccl(true);
  for (auto& dim : hw._dim) {
    ASSERT_EQ(dim._nccl_comm.size(), static_cast<size_t>(dim._size));
    for (size_t i = 0; i < dim._nccl_slot.size(); ++i) EXPECT_NE(dim._nccl_slot[i], nullptr);
  }
  EXPECT_EQ(hw._streams.size(), static_cast<size_t>(size_));
  expect_stream_list(hw._streams);
  for (auto& dim : hw._dim) expect_working_comms(hw, dim);
}

// Dimensions across hosts get no NCCL when cross_node_nccl is 0.  The hosts
// are pretended (two consecutive ranks per host, then one per host).
TEST_F(GpuLayer, CrossNodeNcclOff) {
  for (int per_host : {2, 1}) {
    SCOPED_TRACE(std::to_string(per_host) + " per host");
    hw_test::set_fake_hosts(per_host);
    const std::vector<int> sizes =
        size_ >= 2 ? std::vector<int>{size_ / 2, 2} : std::vector<int>{1};
    auto b = build("-cross_node_nccl 0 -dbg_level 2 -mode n:" + text_of(sizes));
    qor_hw& hw = *b.hw;
    qor_test::stderr_capture capture;
    hw.enable_nccl(false);
    const std::string log = capture.take();
    auto warnings = trace_texts(log, 'W', rank_);
    for (size_t d = 0; d < hw._dim.size(); ++d) {
      SCOPED_TRACE("dimension " + std::to_string(d));
      qor_dim& dim = hw._dim[d];
      EXPECT_EQ(dim.nccl_enabled(), dim._same_host);
      const std::string line = "d" + std::to_string(d) + "   NCCL disabled due to multiple hosts";
      const bool warned = std::find(warnings.begin(), warnings.end(), line) != warnings.end();
      EXPECT_EQ(warned, !dim._same_host && dim._rank == 0) << log;
      if (dim.nccl_enabled()) expect_working_comms(hw, dim);
    }
    // Allowed across hosts: every dimension has its communicator.
    auto open = build("-cross_node_nccl 1 -mode n:" + text_of(sizes));
    open.hw->enable_nccl(false);
    for (auto& dim : open.hw->_dim) EXPECT_TRUE(dim.nccl_enabled());
  }
}

}  // namespace
