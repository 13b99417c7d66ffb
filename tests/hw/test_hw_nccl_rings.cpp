// NCCL_RINGS as each communicator of enable_nccl saw it when it was made
// (recorded by the emulation), and the variable afterwards.  Four- and
// six-process dimensions on one host that run one communicator per peer get
// the ring orders of the override table; every other communicator sees the
// value the user had.
#include <gpu_emu.h>
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "hw_test_support.h"
#include "qor_hw.h"
#include "qor_test_support.h"

namespace {

using hw_test::build;
using qor::network::qor_hw;

std::vector<std::string> recorded() {
  std::vector<std::string> seen;
  for (size_t i = 0; i < qoremu_nccl_rings_count(); ++i) seen.push_back(qoremu_nccl_rings_at(i));
  return seen;
}

struct rings_case {
  const char* mode;  // letters, ':' and topology with N for the process count
  bool all;
  const char* user;  // NCCL_RINGS before the call; nullptr: unset
  int per_host;      // pretended ranks per host, 0: the real host
};

std::string with_count(std::string mode, int n) {
  for (size_t at; (at = mode.find('N')) != std::string::npos;) mode.replace(at, 1, std::to_string(n));
  for (size_t at; (at = mode.find('H')) != std::string::npos;)
    mode.replace(at, 1, std::to_string(n / 2));
  return mode;
}

class NcclRings : public testing::TestWithParam<rings_case> {
 protected:
  void SetUp() override {
    unsetenv("QOR_DEBUG");
    comms_before_ = hw_test::live_comms();
  }
  void TearDown() override {
    hw_test::set_fake_hosts(0);
    unsetenv("NCCL_RINGS");
    qoremu_nccl_rings_clear();
    EXPECT_EQ(hw_test::live_comms(), comms_before_);
    EXPECT_EQ(qoremu_live_nccl_comms(), nccl_before_);
  }
  long comms_before_ = 0;
  size_t nccl_before_ = qoremu_live_nccl_comms();
};

TEST_P(NcclRings, EachCommunicatorSeesItsRingOrder) {
  const rings_case& c = GetParam();
  const int n = hw_test::world_size();
  hw_test::set_fake_hosts(c.per_host);
  if (c.user) {
    setenv("NCCL_RINGS", c.user, 1);
  } else {
    unsetenv("NCCL_RINGS");
  }
  const std::string saved = c.user ? c.user : "";
  auto b = build("-mode " + with_count(c.mode, n));
  qor_hw& hw = *b.hw;
  qoremu_nccl_rings_clear();
  hw.enable_nccl(c.all);

  static const char* const four[4] = {"0 1 2 3", "1 0 3 2", "2 3 0 1", "3 2 1 0"};
  std::vector<std::string> expected;
  for (size_t d = 0; d < hw._dim.size(); ++d) {
    const auto& dim = hw._dim[d];
    const bool per_peer = hw.get_algo(static_cast<int>(d)) == 'b' || c.all;
    const int count = per_peer ? dim._size : 1;
    ASSERT_EQ(dim._nccl_comm.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      if (dim._same_host && per_peer && count == 4) {
        expected.push_back(four[i]);
      } else if (dim._same_host && per_peer && count == 6) {
        expected.push_back("0 1 2 3 4 5");
      } else {
        expected.push_back(saved);
      }
    }
    // Six communicators keep their own slots.
    if (count == 6) {
      for (int i = 0; i < 6; ++i) EXPECT_EQ(dim._nccl_slot[i], &dim._nccl_comm[i]);
    }
  }
  EXPECT_EQ(recorded(), expected);
  const char* after = std::getenv("NCCL_RINGS");
  if (c.user) {
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(std::string(after), c.user);
  } else {
    EXPECT_EQ(after, nullptr) << after;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NcclRings,
    testing::Values(rings_case{"b", false, nullptr, 0}, rings_case{"b", false, "7 6 5 4", 0},
                    rings_case{"n", false, nullptr, 0}, rings_case{"n", false, "mine", 0},
                    rings_case{"p", true, nullptr, 0}, rings_case{"r", true, "mine", 0},
                    rings_case{"b:Hx2", false, nullptr, 0}, rings_case{"b:2xH", false, "mine", 0},
                    rings_case{"nb:Hx2", false, nullptr, 0}, rings_case{"b:1xN", false, nullptr, 0},
                    // Spread over pretended hosts: no override where a
                    // dimension leaves its host.
                    rings_case{"b", false, "mine", 2}, rings_case{"b:Hx2", false, nullptr, 2},
                    rings_case{"p:2xH", true, nullptr, 2}));

// The literal table of a four-process dimension, on a layer built over the
// first four world ranks (the others build theirs over the rest).
TEST(NcclRingsTable, FourProcessDimension) {
  unsetenv("NCCL_RINGS");
  const int world_rank = hw_test::world_rank();
  MPI_Comm part = MPI_COMM_NULL;
  MPI_Comm_split(MPI_COMM_WORLD, world_rank < 4 ? 0 : 1, world_rank, &part);
  int part_size = 0;
  MPI_Comm_size(part, &part_size);
  {
    auto options = hw_test::options("-mode b");
    qor_test::stderr_capture quiet;
    qor_hw hw(part, options);
    quiet.take();
    qoremu_nccl_rings_clear();
    hw.enable_nccl(false);
    auto& dim = hw._dim[0];
    ASSERT_EQ(dim._size, part_size);
    ASSERT_EQ(dim._nccl_slot.size(), static_cast<size_t>(part_size));
    if (part_size == 4) {
      EXPECT_EQ(recorded(),
                (std::vector<std::string>{"0 1 2 3", "1 0 3 2", "2 3 0 1", "3 2 1 0"}));
      EXPECT_EQ(dim._nccl_slot[0], &dim._nccl_comm[1]);
      EXPECT_EQ(dim._nccl_slot[1], &dim._nccl_comm[0]);
      EXPECT_EQ(dim._nccl_slot[2], &dim._nccl_comm[3]);
      EXPECT_EQ(dim._nccl_slot[3], &dim._nccl_comm[2]);
    } else {
      EXPECT_EQ(recorded(), std::vector<std::string>(static_cast<size_t>(part_size), ""));
      for (int i = 0; i < part_size; ++i) EXPECT_EQ(dim._nccl_slot[i], &dim._nccl_comm[i]);
    }
    EXPECT_EQ(hw._streams.size(), static_cast<size_t>(part_size));
    EXPECT_EQ(std::getenv("NCCL_RINGS"), nullptr);
  }
  qoremu_nccl_rings_clear();
  MPI_Comm_free(&part);
}

}  // namespace
