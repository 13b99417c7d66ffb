// The hardware layer over real processes: options and advice, the process
// grid, device, streams and handle, NCCL communicators per dimension, and
// failures that must leave nothing behind.
#include <cublas_v2.h>
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "qor_exception.h"
#include "qor_hw.h"
#include "qor_test_support.h"
#if QOR_GPU_EMULATED
#include "gpu_emu.h"
#endif

namespace {
long live_comms = 0;
int per_host = 0;        // > 0: every per_host consecutive world ranks form a host
int split_failure = -1;  // >= 0: that many more splits succeed, then one fails
}  // namespace

extern "C" {
int __real_MPI_Comm_dup(MPI_Comm, MPI_Comm*);
int __real_MPI_Comm_split(MPI_Comm, int, int, MPI_Comm*);
int __real_MPI_Comm_split_type(MPI_Comm, int, int, MPI_Info, MPI_Comm*);
int __real_MPI_Comm_free(MPI_Comm*);
int __wrap_MPI_Comm_dup(MPI_Comm comm, MPI_Comm* out) {
  const int code = __real_MPI_Comm_dup(comm, out);
  live_comms += code == MPI_SUCCESS;
  return code;
}
int __wrap_MPI_Comm_split(MPI_Comm comm, int colour, int key, MPI_Comm* out) {
  if (split_failure >= 0 && split_failure-- == 0) return MPI_ERR_COMM;
  const int code = __real_MPI_Comm_split(comm, colour, key, out);
  live_comms += code == MPI_SUCCESS && *out != MPI_COMM_NULL;
  return code;
}
int __wrap_MPI_Comm_split_type(MPI_Comm comm, int type, int key, MPI_Info info, MPI_Comm* out) {
  const int code = type == 9 && per_host > 0  // Open MPI's host split
                       ? __real_MPI_Comm_split(comm, qor_test::world_rank() / per_host, key, out)
                       : __real_MPI_Comm_split_type(comm, type, key, info, out);
  live_comms += code == MPI_SUCCESS;
  return code;
}
int __wrap_MPI_Comm_free(MPI_Comm* comm) {
  const int code = __real_MPI_Comm_free(comm);
  live_comms -= code == MPI_SUCCESS;
  return code;
}
}  // extern "C"

namespace {

using qor::network::qor_hw;
using qor_test::message_line;
using qor_test::scoped_env;

using qor_test::build;
using qor_test::built;

// World ranks of the members of `comm`, by their rank in it.
std::vector<int> members(MPI_Comm comm) {
  int size = 0;
  MPI_Comm_size(comm, &size);
  std::vector<int> ranks(static_cast<size_t>(size));
  const int me = qor_test::world_rank();
  MPI_Allgather(&me, 1, MPI_INT, ranks.data(), 1, MPI_INT, comm);
  return ranks;
}

using qor_test::grid_text;

class LeakCheckedHw : public testing::Test {
 protected:
  void SetUp() override {
    rank_ = qor_test::world_rank();
    size_ = qor_test::world_size();
    comms_ = live_comms;
  }
  void TearDown() override {
    per_host = 0;
    split_failure = -1;
    EXPECT_EQ(live_comms, comms_) << "communicators left behind";
#if QOR_GPU_EMULATED
    qoremu_inject_failure("", -1, 0);
    const size_t live = qoremu_live_device_allocations() + qoremu_live_streams() +
                        qoremu_live_cublas_handles() + qoremu_live_nccl_comms();
    EXPECT_EQ(live, 0u) << "device memory, streams, handles or NCCL communicators left behind";
#endif
  }
  int rank_ = 0, size_ = 1;
  long comms_ = 0;
  scoped_env no_debug_{"QOR_DEBUG", nullptr};
  scoped_env no_rings_{"NCCL_RINGS", nullptr};
};

}  // namespace

TEST(Grid, RowMajorCoordinatesSchedulesAndPartSizes) {
  std::vector<int> coords;
  qor_hw::comb(5, {3, 2}, coords);
  EXPECT_EQ(coords, (std::vector<int>{2, 1}));
  for (std::vector<int> dims : {std::vector<int>{8}, {2, 4}, {4, 2}, {2, 2, 2}, {1, 8}, {2, 1, 2, 2}})
    for (int rank = 0; rank < 8; ++rank) {
      qor_hw::comb(rank, dims, coords);
      EXPECT_EQ(qor_hw::decomb(dims, coords), rank) << grid_text(dims) << " rank " << rank;
    }
  for (auto [n, depth] : std::vector<std::pair<int, int>>{{1, 0}, {2, 1}, {6, 0}, {8, 3}, {1024, 10}, {2048, 0}})
    EXPECT_EQ(qor_hw::get_rcs_depth(n), depth) << n;
  for (auto [align, count, parts, size] : std::vector<std::tuple<int, int, int, int>>{
           {8, 1000, 3, 328}, {1, 1000, 3, 333}, {64, 1000, 4, 192}, {8, 7, 2, 0}, {8, 100, 0, 0}}) {
    qor_hw::_align_part = align;
    EXPECT_EQ(qor_hw::get_avg_buf_size(count, parts), size) << align << " " << count << " " << parts;
  }
  qor_hw::_align_part = 8;
}

TEST_F(LeakCheckedHw, HostModeReadsItsOptionsAndAdvisesOnRankZero) {
  built b = build("-cpu_only 1 -mode rm -comm_iter 7 -dev_sync 1 -fuse_dim 2 -mpi_inplace 1");
  ASSERT_TRUE(b.hw) << b.log;
  std::vector<std::string> expected;
  auto line = [&](char severity, const std::string& text) {
    expected.push_back(std::string(1, severity) + ":" + std::to_string(rank_) + ":" + text);
  };
  int version = 0, subversion = 0;
  MPI_Get_version(&version, &subversion);
  if (rank_ == 0) {
    line('I', "==== Vorlan Corp. QOR " QOR_VERSION_TEXT " + (MPI " + std::to_string(version) + "." + std::to_string(subversion) + ") ====");
    line('W', "[-comm_iter 7] reduces the communication frequency (may hurt convergence)");
    line('W', "[-fuse_dim 2] allows to invoke native allreduce");
    line('W', "[-dev_sync 1] can degrade performance");
    line('W', "[-cpu_only 1] can degrade performance");
    line('W', "[-mpi_inplace 1] may not run on some MPI implementations");
    line('W', "degenerated into dim=" + std::to_string(size_));
  }
  EXPECT_EQ(qor_test::trace_summary(b.log), expected);
}

TEST_F(LeakCheckedHw, RefusedOptionsRaiseTheirMessageAndReleaseEverything) {
  const std::string r = "[MPI: " + std::to_string(rank_) + "] ", n = std::to_string(size_);
  const std::string small = size_ > 1 ? "1" : "0";  // a product short of the process count
  const std::string qor = "A QOR error has occurred on host " + qor::host_name() + ".";
  struct refusal {
    std::string text;
    int id;
    std::string what;
  };
  std::vector<refusal> cases = {
      {"-mode :2x2", 6, qor}, {"-align_part 0", 6, qor},
      {"-pipe 2", 12, r + "Parameter '-pipe 2' cannot be used with parameter '-cpu_only 1'.\n"},
      {"-pack 0.5", 12, r + "Parameter '-pack 0.5' cannot be used with parameter '-cpu_only 1'.\n"},
      {"-comp_min_size 1", 12, r + "Parameter '-comp_min_size 1' cannot be used with parameter '-cpu_only 1'.\n"},
      {"-mode r:" + n + "x2", 13, r + "User specified topology '" + n + "x2' is incompatible with the specified number of processes '" + n + "'.\n"},
      {"-mode r:" + n + "x", 13, r + "User specified topology '" + n + "x' is incompatible with the specified number of processes '" + n + "'.\n"},
      {"-mode r:" + small, 13, r + "User specified topology '" + small + "' is incompatible with the specified number of processes '" + n + "'.\n"},
      {"-mode r:1x1x1x1x" + n, 14, r + "Unsupported number of dimensions '5'.\n"}};
  for (const refusal& c : cases) {
    const built b = build("-cpu_only 1 " + c.text);
    EXPECT_FALSE(b.hw) << c.text;
    EXPECT_EQ(std::make_tuple(b.error.status, b.error.id, b.error.message),
              std::make_tuple(c.id, c.id, c.what)) << c.text;
    EXPECT_NE(b.log.find(message_line(c.id, c.what)), std::string::npos) << b.log;
  }
  scoped_env no_gpu("QOR_EMU_DEVICE_COUNT", "0");
  if (qor_test::device_available()) GTEST_SKIP() << "GPU mode without a GPU: a real one is usable whatever the emulation's count";
  const built b = build("-mode r");
  EXPECT_EQ(b.error.message, r + "Parameter '-cpu_only 0' being used, but no GPU devices are detected.\n");
  EXPECT_EQ(b.error.status, 16);
}

// Also with every two consecutive ranks pretending to be a host of their own.
TEST_F(LeakCheckedHw, EachDimensionIsTheLineOfProcessesThroughThisOne) {
  std::vector<std::vector<int>> all = qor_test::grids(size_);
  all.insert(all.end(), {{1, size_}, {size_, 1, 1}});
  for (per_host = 0; per_host <= 2; per_host += 2) {
    for (std::vector<int>& grid : all) {
      const built b = build("-cpu_only 1 -mode r:" + grid_text(grid));
      ASSERT_TRUE(b.hw) << grid_text(grid) << b.log;
      size_t kept = grid.size();
      while (kept > 1 && grid[kept - 1] == 1) --kept;
      ASSERT_EQ(b.hw->_dim.size(), kept) << "trailing dimensions of one process are dropped";
      std::vector<int> coords;
      qor_hw::comb(rank_, grid, coords);
      for (size_t d = 0; d < kept; ++d) {
        std::vector<int> line;
        std::vector<int> at = coords;
        for (at[d] = 0; at[d] < grid[d]; ++at[d]) line.push_back(qor_hw::decomb(grid, at));
        EXPECT_EQ(members(b.hw->_dim[d]._comm), line) << grid_text(grid) << " dimension " << d;
        EXPECT_EQ(std::make_pair(b.hw->_dim[d]._rank, b.hw->_dim[d]._size), std::make_pair(coords[d], grid[d]));
        EXPECT_EQ(b.hw->_dim[d]._same_host, per_host == 0 || line.front() / 2 == line.back() / 2);
      }
    }
  }
}

TEST_F(LeakCheckedHw, FailingSplitIsMessageFiveAndFreesTheCommunicators) {
  char text[MPI_MAX_ERROR_STRING];
  int length = 0;
  MPI_Error_string(MPI_ERR_COMM, text, &length);
  for (int skip : {0, std::min(1, size_ - 1)}) {
    split_failure = skip;
    const built b = build("-cpu_only 1 -mode r:1x" + std::to_string(size_));
    EXPECT_EQ(std::make_pair(b.error.status, b.error.id), std::make_pair(6, 5)) << b.log;
    EXPECT_EQ(b.error.message, "A MPI error has occurred on host " + qor::host_name() +
                                   " with return code '" + std::to_string(MPI_ERR_COMM) + "':\n" + text);
  }
}

TEST_F(LeakCheckedHw, RunTimeOptionsUpdateAndTravelAsSixteenBytes) {
  built b = build("-cpu_only 1");
  qor_hw& hw = *b.hw;
  qor_test::stderr_capture capture;
  hw.update_option("-dbg_level 3 -mon_iter 4 -dump_iter 5 -comm_iter 6 -rebind_iter 7 -jitter_thold 0.25");
  EXPECT_EQ(qor_test::trace_summary(capture.take()).back(),
            "I:" + std::to_string(rank_) + ":update_option dbg_level=3 mon_iter=4 dump_iter=5 comm_iter=6");
  EXPECT_EQ(std::make_pair(hw._rebind_iter, hw._jitter_thold), std::make_pair(7, 0.25));
  char record[16];
  ASSERT_EQ(hw.serialize_option(record), 16);
  built other = build("-cpu_only 1");
  other.hw->deserialize_option(record);
  EXPECT_EQ(std::make_tuple(other.hw->_dbg_level, other.hw->_mon_iter, other.hw->_dump_iter, other.hw->_comm_iter),
            std::make_tuple(3, 4, 5, 6));
}

TEST_F(LeakCheckedHw, GpuModeDeviceStreamsHandleAndBuffers) {
  QOR_REQUIRE_DEVICE();
  built b = build("-mode r:1x" + std::to_string(size_) + " -pipe 2 -omp 2");
  ASSERT_TRUE(b.hw) << b.log;
  qor_hw& hw = *b.hw;
  int current = -1;
  cudaGetDevice(&current);
  // All processes of a test job run on this host: the device is the rank,
  // modulo the devices each process sees.
  const int device = rank_ % qor_test::device_count();
  EXPECT_EQ(std::make_pair(hw._device, current), std::make_pair(device, device));
  ASSERT_EQ(hw._streams.size(), 1u);
  cudaStream_t bound = nullptr;
  cublasGetStream(hw._cublas, &bound);
  EXPECT_EQ(bound, hw._streams[0]);
  EXPECT_EQ(hw._pipe_streams.size(), 2u) << "two per process of dimension 0";
  std::vector<int> rs = {qor::network::ALG_RING, qor::network::ALG_NCCLB}, ag = {};
  hw.clean_cuda_streams(rs, ag);
  EXPECT_EQ(hw._streams.size(), static_cast<size_t>(size_)) << "NCCLB runs one stream per peer";
  const auto lines = qor_test::trace_summary(b.log);
  EXPECT_EQ(lines.size() == 3 &&
                lines[1] == "W:0:MPI is not CUDA-aware (MPIX_Query_cuda_support): device buffers "
                            "are staged through pinned host memory" &&
                lines[2] == "W:0:[-pipe 2][-omp 2] may cause hang if NCCL is selected beyond the 2nd dim",
            rank_ == 0) << b.log;
  void* p = nullptr;
  hw.malloc_init(&p, 1000, 0x5a);
  std::vector<unsigned char> host_copy(1000);
  ASSERT_EQ(cudaMemcpy(host_copy.data(), p, 1000, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(host_copy, std::vector<unsigned char>(1000, 0x5a));
  hw.free(p);
  const built conflict = build("-fuse_dim 1 -pack 0.5 -mode m");
  EXPECT_EQ(conflict.error.message, "[MPI: " + std::to_string(rank_) +
                                        "] Parameter '-pack 0.5' cannot be used with parameter '-fuse_dim 1'.\n");
}

#if QOR_GPU_EMULATED
// Name, options, enable_nccl(all), NCCL_RINGS (null: unset), ranks per pretended host.
using rings_case = std::tuple<const char*, std::string, bool, const char*, int>;
std::vector<rings_case> rings_cases() {
  const std::string h = std::to_string(std::max(qor_test::world_size() / 2, 1));
  return {{"n", "-mode n", false, nullptr, 0}, {"b_user_rings", "-mode b", false, "7 6 5 4", 0},
          {"r_all", "-mode r", true, "mine", 0}, {"b_grid", "-mode b:" + h + "x2", false, nullptr, 0},
          {"b_hosts", "-mode b", false, "mine", 2}, {"p_grid_hosts", "-mode p:2x" + h + " -cross_node_nccl 0", true, nullptr, 2}};
}
class NcclRings : public LeakCheckedHw, public testing::WithParamInterface<rings_case> {};

// Communicators per dimension (one, or one per peer for 'b' and enable_nccl(true)),
// each joining the dimension's processes, made with the ring orders that four-
// and six-process dimensions on one host get, NCCL_RINGS restored after.
TEST_P(NcclRings, CommunicatorsPerDimensionAndTheirRingOrders) {
  const auto& [name, mode, all, user, hosts] = GetParam();
  if (size_ % 2 && (hosts > 0 || mode.find('x') != std::string::npos)) GTEST_SKIP() << "needs the processes in pairs";
  const char* four[4] = {"0 1 2 3", "1 0 3 2", "2 3 0 1", "3 2 1 0"};
  scoped_env rings("NCCL_RINGS", user);
  // Pretended hosts have GPUs of their own: one each, as under a scheduler.
  const std::string own_gpu = std::to_string(rank_);
  scoped_env gpus("CUDA_VISIBLE_DEVICES", hosts ? own_gpu.c_str() : nullptr);
  per_host = hosts;
  built b = build(mode);
  ASSERT_TRUE(b.hw) << b.log;
  qor_hw& hw = *b.hw;
  qoremu_nccl_rings_clear();
  hw.enable_nccl(all);
  std::vector<std::string> seen_rings;
  size_t streams = 1;
  for (size_t d = 0; d < hw._dim.size(); ++d) {
    const auto& dim = hw._dim[d];
    const bool per_peer = all || hw.get_algo(static_cast<int>(d)) == 'b';
    const size_t count = !dim._same_host && hw._cross_node_nccl == 0 ? 0 : per_peer ? dim._size : 1;
    ASSERT_EQ(dim._nccl_comm.size(), count);
    streams = std::max(streams, count);
    for (size_t i = 0; i < count; ++i) {
      const bool ordered = dim._same_host && per_peer && (count == 4 || count == 6);
      seen_rings.push_back(!ordered ? (user ? user : "") : count == 4 ? four[i] : "0 1 2 3 4 5");
      const size_t slot = ordered && count == 4 ? i ^ 1 : i;
      EXPECT_EQ(dim._nccl_slot[slot], &dim._nccl_comm[i]) << "slot " << slot;
    }
    EXPECT_EQ(hw._multi_stream[d], hw.get_algo(static_cast<int>(d)) == 'b' && count > 0);
  }
  std::vector<std::string> recorded;
  for (size_t i = 0; i < qoremu_nccl_rings_count(); ++i) recorded.push_back(qoremu_nccl_rings_at(i));
  EXPECT_EQ(recorded, seen_rings);
  EXPECT_EQ(hw._streams.size(), streams);
  const char* after = std::getenv("NCCL_RINGS");
  EXPECT_EQ(std::string(after ? after : "-"), std::string(user ? user : "-"));
}
INSTANTIATE_TEST_SUITE_P(Hw, NcclRings, testing::ValuesIn(rings_cases()),
                         [](const testing::TestParamInfo<rings_case>& info) { return std::get<0>(info.param); });

TEST_F(LeakCheckedHw, FailuresOfDeviceCallsRaiseTheirMessageAndReleaseEverything) {
  const std::string cuda = "A CUDA error has occurred on host " + qor::host_name() + ":\n";
  for (auto [function, skip, error, id, what] : std::vector<std::tuple<const char*, int, int, int, std::string>>{
           {"cudaSetDevice", 0, cudaErrorInvalidDevice, 2, cuda + "invalid device ordinal"},
           {"cudaStreamCreateWithPriority", 1, cudaErrorMemoryAllocation, 2, cuda + "out of memory"},
           {"cublasCreate_v2", 0, CUBLAS_STATUS_ALLOC_FAILED, 3, ""},
           {"cublasSetStream_v2", 0, CUBLAS_STATUS_NOT_INITIALIZED, 3, ""}}) {
    qoremu_inject_failure(function, skip, error);
    const built b = build("-pipe 1");
    EXPECT_EQ(std::make_tuple(b.error.status, b.error.id), std::make_tuple(6, id)) << function;
    EXPECT_TRUE(what.empty() || b.error.message == what) << b.error.message;
    qoremu_inject_failure("", -1, 0);
  }
  built b = build("-mode b");
  qoremu_inject_failure("ncclCommInitRank", size_ > 1 ? 1 : 0, ncclSystemError);
  EXPECT_EQ(qor_test::raised([&] { b.hw->enable_nccl(false); }).error.id, 4);
  EXPECT_FALSE(b.hw->_dim[0].nccl_enabled()) << "a half-made list would read as enabled";
}

// A failure on one process only ends every process with an error: no GPU,
// a device that cannot be set, no NCCL identifier on a dimension's first.
TEST_F(LeakCheckedHw, AFailureOnOneProcessEndsEveryProcess) {
  if (size_ < 2) GTEST_SKIP() << "one process leaves nobody waiting";
  const bool alone = rank_ == 1;
  for (const std::string cause : {"no GPU", "cudaSetDevice", "ncclGetUniqueId"}) {
    scoped_env no_gpu("QOR_EMU_DEVICE_COUNT", cause == "no GPU" && alone ? "0" : nullptr);
    if (cause == "ncclGetUniqueId") {
      built b = build("-mode b");
      qoremu_inject_failure(rank_ == 0 ? cause.c_str() : "none", 0, ncclSystemError);
      const qor_test::raised_t r = qor_test::raised([&] { b.hw->enable_nccl(false); });
      EXPECT_EQ(r.error.id, 4);
      EXPECT_TRUE(rank_ == 0 || r.log.find("ncclGetUniqueId failed on the dimension's first") != std::string::npos) << r.log;
    } else {
      qoremu_inject_failure(alone ? cause.c_str() : "none", 0, cudaErrorInvalidDevice);
      const built b = build("");
      EXPECT_EQ(b.error.id, alone ? (cause == "no GPU" ? 16 : 2) : 6) << cause << b.log;
      EXPECT_TRUE(alone || b.log.find("process 1 cannot go on") != std::string::npos) << b.log;
    }
    qoremu_inject_failure("", -1, 0);
  }
}
#endif
