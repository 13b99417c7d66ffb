// Topology dimensions under mpiexec (host-CPU mode): the grammar and its
// errors, coordinates, colours, sub-communicator membership, trimming and
// the same-host test.  Expected grids are computed here by brute force over
// all world ranks, not with the library's own arithmetic.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hw_test_support.h"
#include "qor_exception.h"
#include "qor_hw.h"
#include "qor_message.h"

namespace {

using hw_test::build;
using hw_test::build_failure;
using hw_test::options;
using hw_test::trace_texts;
using qor::network::qor_hw;

std::string text_of(const std::vector<int>& sizes) {
  std::string s;
  for (size_t i = 0; i < sizes.size(); ++i) s += (i ? "x" : "") + std::to_string(sizes[i]);
  return s;
}

// Every ordered list of one to four sizes >= 1 whose product is n.
std::vector<std::vector<int>> factorizations(int n) {
  std::vector<std::vector<int>> all;
  std::vector<int> current;
  auto extend = [&](auto&& self, size_t length, int rest) -> void {
    if (current.size() + 1 == length) {
      current.push_back(rest);
      all.push_back(current);
      current.pop_back();
      return;
    }
    for (int f = 1; f <= rest; ++f) {
      if (rest % f != 0) continue;
      current.push_back(f);
      self(self, length, rest / f);
      current.pop_back();
    }
  };
  for (size_t length = 1; length <= 4; ++length) extend(extend, length, n);
  return all;
}

// Coordinates by peeling the last dimension first (least significant).
std::vector<int> coordinates(int rank, const std::vector<int>& padded) {
  std::vector<int> c(padded.size(), 0);
  for (size_t d = padded.size(); d-- > 0;) {
    c[d] = rank % padded[d];
    rank /= padded[d];
  }
  return c;
}

struct expected_grid {
  std::vector<int> padded;     // four sizes
  size_t count = 0;            // dimensions after trimming
  std::vector<std::vector<int>> coords;  // per world rank
};

expected_grid grid_of(const std::vector<int>& sizes, int processes) {
  expected_grid g;
  g.padded = sizes;
  g.padded.resize(4, 1);
  g.count = 4;
  while (g.count > 1 && g.padded[g.count - 1] == 1) --g.count;
  for (int r = 0; r < processes; ++r) g.coords.push_back(coordinates(r, g.padded));
  return g;
}

// World ranks on `rank`'s line along d, ordered by their coordinate on it.
std::vector<int> line_members(const expected_grid& g, int rank, size_t d) {
  std::vector<std::pair<int, int>> members;
  for (size_t r = 0; r < g.coords.size(); ++r) {
    bool same = true;
    for (size_t e = 0; e < 4; ++e) {
      if (e != d && g.coords[r][e] != g.coords[rank][e]) same = false;
    }
    if (same) members.push_back({g.coords[r][d], static_cast<int>(r)});
  }
  std::sort(members.begin(), members.end());
  std::vector<int> ranks;
  for (auto& m : members) ranks.push_back(m.second);
  return ranks;
}

class Topology : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("QOR_DEBUG");
    rank_ = hw_test::world_rank();
    size_ = hw_test::world_size();
    comms_before_ = hw_test::live_comms();
  }
  void TearDown() override {
    hw_test::set_fake_hosts(0);
    hw_test::fail_comm_split(-1, MPI_SUCCESS);
    EXPECT_EQ(hw_test::live_comms(), comms_before_);
  }

  // The layer's dimensions against the brute-force grid.  `host_of` gives
  // the host of a world rank.
  template <class HostOf>
  void check_grid(qor_hw& hw, const std::vector<int>& sizes, HostOf host_of) {
    expected_grid g = grid_of(sizes, size_);
    ASSERT_EQ(hw._dim.size(), g.count);
    ASSERT_EQ(hw._multi_stream.size(), g.count);
    for (size_t d = 0; d < g.count; ++d) {
      SCOPED_TRACE("dimension " + std::to_string(d));
      const auto& dim = hw._dim[d];
      EXPECT_EQ(dim._index, static_cast<int>(d));
      EXPECT_EQ(dim._size, g.padded[d]);
      EXPECT_EQ(dim._rank, g.coords[rank_][d]);
      std::vector<int> members = line_members(g, rank_, d);
      EXPECT_EQ(hw_test::world_ranks_of(dim._comm), members);
      bool one_host = true;
      for (int m : members) one_host = one_host && host_of(m) == host_of(rank_);
      EXPECT_EQ(dim._same_host, one_host);
      EXPECT_FALSE(dim.nccl_enabled());
      EXPECT_FALSE(hw._multi_stream[d]);
    }
  }

  std::string topology_error(const std::string& topology) const {
    return "[MPI: " + std::to_string(rank_) + "] User specified topology '" + topology +
           "' is incompatible with the specified number of processes '" + std::to_string(size_) +
           "'.\n";
  }

  int rank_ = 0;
  int size_ = 0;
  long comms_before_ = 0;
};

TEST_F(Topology, EveryFactorizationOfTheProcessCount) {
  auto topologies = factorizations(size_);
  ASSERT_FALSE(topologies.empty());
  for (const auto& sizes : topologies) {
    SCOPED_TRACE("topology " + text_of(sizes));
    auto b = build("-cpu_only 1 -mode r:" + text_of(sizes));
    check_grid(*b.hw, sizes, [](int) { return 0; });
    // An explicit topology writes no degenerate warning.
    EXPECT_TRUE(trace_texts(b.log, 'W', -1).size() == (rank_ == 0 ? 1u : 0u)) << b.log;
  }
}

TEST_F(Topology, NamedTrimmingCases) {
  struct named {
    int processes;
    const char* topology;
    size_t dims;
  };
  const named cases[] = {{4, "2x2x1x1", 2}, {4, "1x4", 2},   {8, "8x1", 1},   {8, "1x8", 2},
                         {1, "1x1x1x1", 1}, {2, "1x2x1", 2}, {8, "2x1x4", 3}, {4, "4", 1},
                         {8, "1x1x1x8", 4}, {2, "2x1x1x1", 1}};
  int checked = 0;
  for (const named& c : cases) {
    if (c.processes != size_) continue;
    SCOPED_TRACE(c.topology);
    auto b = build(std::string("-cpu_only 1 -mode r:") + c.topology);
    EXPECT_EQ(b.hw->_dim.size(), c.dims);
    if (std::string(c.topology) == "1x4") {
      // Every process alone in its dimension-0 communicator.
      EXPECT_EQ(b.hw->_dim[0]._size, 1);
      EXPECT_EQ(b.hw->_dim[0]._rank, 0);
      EXPECT_EQ(hw_test::world_ranks_of(b.hw->_dim[0]._comm), std::vector<int>{rank_});
      EXPECT_EQ(b.hw->_dim[1]._size, 4);
    }
    ++checked;
  }
  EXPECT_EQ(checked, size_ == 1 ? 1 : size_ == 2 ? 2 : size_ == 4 ? 3 : size_ == 8 ? 4 : 0);
}

TEST_F(Topology, OneProcessDimensionIsOnOneHost) {
  if (size_ == 1) {
    auto b = build("-cpu_only 1");
    ASSERT_EQ(b.hw->_dim.size(), 1u);
    EXPECT_EQ(b.hw->_dim[0]._size, 1);
    EXPECT_TRUE(b.hw->_dim[0]._same_host);
  }
  // With every process on its own host only dimensions of size 1 are local.
  hw_test::set_fake_hosts(1);
  auto b = build("-cpu_only 1 -mode r:1x" + std::to_string(size_));
  for (const auto& dim : b.hw->_dim) EXPECT_EQ(dim._same_host, dim._size == 1);
}

// The colours of the worked example: 8 processes as 4x2; the same rule is
// checked on every rank and every process count.
TEST_F(Topology, ColoursAndTheWorkedExample) {
  const std::vector<int> sizes =
      size_ >= 2 ? std::vector<int>{size_ / 2, 2} : std::vector<int>{1};
  auto b = build("-cpu_only 1 -dbg_level 11 -mode r:" + text_of(sizes));
  expected_grid g = grid_of(sizes, size_);
  std::vector<std::string> expected;
  for (size_t d = 0; d < g.count; ++d) {
    const int first = line_members(g, rank_, d).front();
    expected.push_back("color[" + std::to_string(d) + "]=" + std::to_string(first * 16 + int(d)));
  }
  std::vector<std::string> colours;
  for (const auto& text : trace_texts(b.log, 'D', rank_)) {
    if (text.rfind("color[", 0) == 0) colours.push_back(text);
  }
  EXPECT_EQ(colours, expected) << b.log;
  check_grid(*b.hw, sizes, [](int) { return 0; });

  if (size_ == 8 && rank_ == 5) {
    EXPECT_EQ(colours, (std::vector<std::string>{"color[0]=16", "color[1]=65"}));
    EXPECT_EQ(hw_test::world_ranks_of(b.hw->_dim[0]._comm), (std::vector<int>{1, 3, 5, 7}));
    EXPECT_EQ(b.hw->_dim[0]._rank, 2);
    EXPECT_EQ(hw_test::world_ranks_of(b.hw->_dim[1]._comm), (std::vector<int>{4, 5}));
    EXPECT_EQ(b.hw->_dim[1]._rank, 1);
  } else if (size_ == 8) {
    // Collective: the other ranks take part in the same gathers.
    hw_test::world_ranks_of(b.hw->_dim[0]._comm);
    hw_test::world_ranks_of(b.hw->_dim[1]._comm);
  }
}

TEST_F(Topology, NoColourLinesUpToLevelTen) {
  auto b = build("-cpu_only 1 -dbg_level 10");
  for (const auto& text : trace_texts(b.log, 'D', -1)) EXPECT_NE(text.rfind("color[", 0), 0u);
}

TEST_F(Topology, DegenerateTopologyWarnsOnRankZero) {
  for (const std::string mode : {"r", "rm", "r:"}) {
    SCOPED_TRACE(mode);
    auto b = build("-cpu_only 1 -mode " + mode);
    ASSERT_EQ(b.hw->_dim.size(), 1u);
    EXPECT_EQ(b.hw->_dim[0]._size, size_);
    auto warnings = trace_texts(b.log, 'W', rank_);
    auto it = std::find(warnings.begin(), warnings.end(),
                        "degenerated into dim=" + std::to_string(size_));
    EXPECT_EQ(it != warnings.end(), rank_ == 0) << b.log;
  }
}

// Sizes that are not positive, or do not multiply to the process count,
// are message 13 on every rank, and nothing is left behind.
TEST_F(Topology, MessageThirteenForEveryBadTopology) {
  const std::string n = std::to_string(size_);
  std::vector<std::string> bad = {std::to_string(2 * size_),
                                  n + "x2",
                                  "0x" + n,
                                  n + "x",
                                  "x" + n,
                                  n + "x0",
                                  "0",
                                  "x",
                                  "abc",
                                  "-1x-" + n,
                                  "-" + n,
                                  "-" + n + "x-1x1",
                                  "4294967297",
                                  "65536x65536",
                                  n + "x4294967296",
                                  "2147483648x" + n,
                                  "2x1x2x1x2x3"};
  if (size_ == 4) bad.push_back("-2x-2");
  if (size_ != 8) bad.push_back("2x1x2x1x2");  // five sizes, but 13 comes first
  for (const std::string& topology : bad) {
    SCOPED_TRACE("topology '" + topology + "'");
    auto opts = options("-cpu_only 1");
    opts["mode"] = "r:" + topology;
    auto f = build_failure(opts);
    ASSERT_TRUE(f.threw_qor) << f.log;
    EXPECT_EQ(f.status, 13);
    EXPECT_EQ(f.id, qor_message::MSG_TOPOLOGY);
    EXPECT_EQ(f.what, topology_error(topology));
    EXPECT_NE(f.log.find(hw_test::message_line(13, topology_error(topology))), std::string::npos)
        << f.log;
    EXPECT_EQ(hw_test::live_comms(), comms_before_);
  }
}

TEST_F(Topology, MessageThirteenExactLineForTwoByTwo) {
  if (size_ == 4) return;  // 2x2 fits four processes
  auto f = build_failure(options("-cpu_only 1 -mode r:2x2"));
  ASSERT_TRUE(f.threw_qor);
  EXPECT_NE(f.log.find("[ERROR QOR-1-13] [MPI: " + std::to_string(rank_) +
                       "] User specified topology '2x2' is incompatible with the specified "
                       "number of processes '" +
                       std::to_string(size_) + "'.\n\n"),
            std::string::npos)
      << f.log;
}

TEST_F(Topology, MessageFourteenForMoreThanFourSizes) {
  const std::string n = std::to_string(size_);
  std::vector<std::pair<std::string, int>> bad = {
      {n + "x1x1x1x1", 5}, {"1x1x1x1x1x" + n, 6}, {"1x1x1x1x1x1x1x1x1x" + n, 10}};
  if (size_ == 8) bad.push_back({"2x1x2x1x2", 5});
  for (const auto& [topology, count] : bad) {
    SCOPED_TRACE(topology);
    auto f = build_failure(options("-cpu_only 1 -mode r:" + topology));
    ASSERT_TRUE(f.threw_qor) << f.log;
    EXPECT_EQ(f.status, 14);
    EXPECT_EQ(f.id, qor_message::MSG_DIMENSIONS);
    const std::string body = "[MPI: " + std::to_string(rank_) +
                             "] Unsupported number of dimensions '" + std::to_string(count) + "'.\n";
    EXPECT_EQ(f.what, body);
    EXPECT_NE(f.log.find(hw_test::message_line(14, body)), std::string::npos) << f.log;
    EXPECT_EQ(hw_test::live_comms(), comms_before_);
  }
}

// The host test of each dimension, with consecutive world ranks pretending
// to share a host (the seam of hw_test_support.cpp).
TEST_F(Topology, SameHostFollowsTheHosts) {
  for (int per_host : {1, 2, 4}) {
    hw_test::set_fake_hosts(per_host);
    for (const auto& sizes : factorizations(size_)) {
      SCOPED_TRACE(std::to_string(per_host) + " per host, topology " + text_of(sizes));
      auto b = build("-cpu_only 1 -mode r:" + text_of(sizes));
      check_grid(*b.hw, sizes, [](int r) { return hw_test::fake_host_of(r); });
    }
  }
}

TEST_F(Topology, SpreadDimensionIsNotSameHostOnAnyOfItsProcesses) {
  if (size_ < 2) return;
  hw_test::set_fake_hosts(size_ / 2);  // two hosts
  auto b = build("-cpu_only 1 -mode r:2x" + std::to_string(size_ / 2));
  // Dimension 0 joins r and r + size/2: always two hosts.
  EXPECT_FALSE(b.hw->_dim[0]._same_host);
  if (b.hw->_dim.size() > 1) {
    EXPECT_TRUE(b.hw->_dim[1]._same_host);
  }
}

// A failing MPI call while the dimensions are made is message 5 on every
// rank; the communicators made before it are freed.
TEST_F(Topology, FailingSplitIsMessageFiveAndFreesEverything) {
  const std::string topology = size_ > 1 ? "r:1x1x1x" + std::to_string(size_) : "r";
  const int splits = size_ > 1 ? 4 : 1;
  char error_text[MPI_MAX_ERROR_STRING];
  int length = 0;
  MPI_Error_string(MPI_ERR_COMM, error_text, &length);
  const std::string body = "A MPI error has occurred on host " + qor::host_name() +
                           " with return code '" + std::to_string(MPI_ERR_COMM) + "':\n" +
                           std::string(error_text, static_cast<size_t>(length));
  for (int failing = 0; failing < splits; ++failing) {
    SCOPED_TRACE("split " + std::to_string(failing) + " fails");
    hw_test::fail_comm_split(failing, MPI_ERR_COMM);
    auto f = build_failure(options("-cpu_only 1 -mode " + topology));
    ASSERT_TRUE(f.threw_qor) << f.log;
    EXPECT_EQ(f.status, 6);
    EXPECT_EQ(f.id, qor_message::MSG_MPI);
    EXPECT_EQ(f.what, body);
    EXPECT_NE(f.log.find(hw_test::message_line(5, body)), std::string::npos) << f.log;
    EXPECT_EQ(hw_test::live_comms(), comms_before_);
  }
}

}  // namespace
