// The shared-memory algorithm over real processes: its pool, and sums that
// equal the ring's bit for bit (same order of additions per element) on
// every grid, whether the buffer lies in the pool (read where it lies) or
// is copied in, alone or beside MPI dimensions, over sizes that reuse and
// grow the channel.  Exact sums and statistics rows are in test_engine.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "qor_shm.h"
#include "qor_sw.h"
#include "qor_test_support.h"

namespace {

using namespace qor::network;
using qor_test::make_hw, qor_test::world_rank, qor_test::world_size;

constexpr size_t pool_bytes = size_t{1} << 20;

}  // namespace

// First fit on cache lines (or the alignment asked for), blocks joined
// again when freed, and a request that does not fit refused, not served
// past the end.
TEST(Pool, FirstFitAlignmentJoiningAndRefusal) {
  shm_pool pool(MPI_COMM_WORLD, pool_bytes);
  EXPECT_EQ(pool.bytes_free(), pool_bytes);
  void* a = pool.allocate(100, 1);
  void* b = pool.allocate(5000, 4096);
  void* c = pool.allocate(1, 3);  // not a power of two: a cache line
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 64, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 4096, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(c) % 64, 0u);
  EXPECT_TRUE(pool.holds(b, 5000));
  EXPECT_FALSE(pool.holds(static_cast<char*>(a) + pool_bytes, 1));
  EXPECT_EQ(pool.allocate(pool_bytes, 1), nullptr) << "larger than what is left";
  EXPECT_EQ(pool.allocate(SIZE_MAX - 8, 64), nullptr) << "a size whose rounding would wrap";
  int on_stack = 0;
  EXPECT_FALSE(pool.release(&on_stack));
  EXPECT_FALSE(pool.release(static_cast<char*>(b) + 64)) << "inside a block, not its start";
  EXPECT_TRUE(pool.release(b));
  EXPECT_FALSE(pool.release(b)) << "twice";
  EXPECT_EQ(pool.allocate(5000, 4096), b) << "the freed block is found again";
  for (void* p : {a, b, c}) EXPECT_TRUE(pool.release(p));
  EXPECT_EQ(pool.bytes_free(), pool_bytes);
  void* whole = pool.allocate(pool_bytes, 64);
  EXPECT_NE(whole, nullptr) << "the blocks were joined into one";
  EXPECT_TRUE(pool.release(whole));
}

namespace {

// The whole allreduce with one algorithm per dimension.
void allreduce(qor_sw<float>& sw, const std::vector<int>& algo, qor_stat* stat) {
  sw._best_rs_algo = sw._best_ag_algo = algo;
  ASSERT_EQ((sw.reduce_scatter<QOR_MDR_HOST_SUM, false>(stat)), QOR_SUCCESS);
  ASSERT_EQ(sw.allgatherv<false>(stat), QOR_SUCCESS);
}

// Shared windows this process has mapped (Open MPI names their files).
int windows_mapped() {
  std::ifstream maps("/proc/self/maps");
  int count = 0;
  for (std::string line; std::getline(maps, line);) count += line.find("/osc_sm.") != std::string::npos;
  return count;
}

}  // namespace

// The pool and a channel's two windows go with the hardware layer; a
// channel that grows frees the window it outgrew.
TEST(Shm, WindowsGoWithTheLayer) {
  const int before = windows_mapped();
  {
    auto hw = make_hw("-cpu_only 1 -mode s");
    const int with_pool = windows_mapped();
    // A window of one process is plain memory.
    EXPECT_EQ(with_pool, before + (world_size() > 1 ? 1 : 0));
    std::vector<float> data(1000, 1.0f);
    qor_sw<float> sw(*hw, data.data(), 1000, 0);
    const std::vector<int> shm(hw->_dim.size(), ALG_SHM);
    allreduce(sw, shm, nullptr);
    const int channels = windows_mapped() - with_pool;
    EXPECT_EQ(channels, world_size() > 1 ? 2 : 0);
    data.assign(300000, 1.0f);
    sw.update_buf(data.data(), 300000);
    allreduce(sw, shm, nullptr);
    EXPECT_EQ(windows_mapped(), with_pool + channels) << "the outgrown window is freed";
    EXPECT_EQ(data[299999], static_cast<float>(world_size()));
  }
  EXPECT_EQ(windows_mapped(), before);
}

// The one-phase form of the last dimension: every process holds the sum
// in rank order, bit for bit, in the pool or copied in, also over more runs
// than the channel has areas (each run writes the next area: one that came
// round while a peer still read it would show).
TEST(Shm, FusedSumsInRankOrderOnEveryProcess) {
  auto hw = make_hw("-cpu_only 1 -mode s:" + std::to_string(world_size()));
  ASSERT_TRUE(hw->_shm_pool);
  const size_t p = static_cast<size_t>(world_size());
  for (int count : {1, 7, 8193, 65543, 1000003}) {
    for (bool in_pool : {false, true}) {
      const size_t n = static_cast<size_t>(count);
      float* buf = in_pool ? static_cast<float*>(hw->_shm_pool->allocate(n * sizeof(float), 64)) : nullptr;
      std::vector<float> plain;
      if (!in_pool) plain.resize(n), buf = plain.data();
      ASSERT_NE(buf, nullptr);
      qor_sw<float> sw(*hw, buf, count, 0);
      std::vector<float> input(n), all(n * p), expect(n);
      for (int run = 0; run < (count < 10000 ? 70 : 2); ++run) {
        std::mt19937 random(static_cast<unsigned>(world_rank() * 7919 + count * 31 + run));
        std::uniform_real_distribution<float> value(-1000.0f, 1000.0f);
        for (float& v : input) v = value(random);
        std::copy(input.begin(), input.end(), buf);
        allreduce(sw, std::vector<int>(hw->_dim.size(), ALG_SHMA), nullptr);
        MPI_Allgather(input.data(), count, MPI_FLOAT, all.data(), count, MPI_FLOAT, MPI_COMM_WORLD);
        for (size_t i = 0; i < n; ++i) {
          float sum = all[i];
          for (size_t q = 1; q < p; ++q) sum += all[q * n + i];
          expect[i] = sum;
        }
        ASSERT_EQ(std::memcmp(buf, expect.data(), n * sizeof(float)), 0)
            << count << " elements, run " << run << (in_pool ? ", in the pool" : ", copied in");
      }
      if (in_pool) {
        EXPECT_TRUE(hw->_shm_pool->release(buf));
      }
    }
  }
}

namespace {

// Grid, element count, whether the buffer lies in the pool, and whether the
// dimensions after the first run MPI instead of SHM.
using shm_case = std::tuple<std::string, int, bool, bool>;

class Shm : public testing::TestWithParam<shm_case> {
 protected:
  static void TearDownTestSuite() { kept_.second.reset(); }
  static inline std::pair<std::string, std::unique_ptr<qor_hw>> kept_;
};

std::vector<std::string> grid_texts() {
  std::vector<std::string> texts = {std::to_string(world_size())};
  for (const std::vector<int>& g : qor_test::grids(world_size())) {
    if (qor_test::grid_text(g) != texts[0]) texts.push_back(qor_test::grid_text(g));
  }
  return texts;
}

}  // namespace

// Values with many significant digits, different on every process, so
// that any other order of additions shows in the last bits.
TEST_P(Shm, BitForBitTheRing) {
  const auto& [grid, count, in_pool, mpi_after] = GetParam();
  const size_t n = static_cast<size_t>(count);
  const std::string options = "-cpu_only 1 -mode r:" + grid;
  if (kept_.first != options) kept_.second.reset(), kept_ = {options, make_hw(options)};
  qor_hw& hw = *kept_.second;
  ASSERT_TRUE(hw._shm_pool);
  std::mt19937 random(static_cast<unsigned>(world_rank() * 7919 + count));
  std::uniform_real_distribution<float> value(-1000.0f, 1000.0f);
  std::vector<float> input(n);
  for (float& v : input) v = value(random);

  std::vector<float> by_ring(input);
  std::vector<int> ring(hw._dim.size(), ALG_RING), shm(hw._dim.size(), ALG_SHM);
  for (size_t d = 1; mpi_after && d < hw._dim.size(); ++d) ring[d] = shm[d] = ALG_MPI;
  qor_sw<float> sw(hw, by_ring.data(), count, 0);
  allreduce(sw, ring, nullptr);

  float* buf = in_pool ? static_cast<float*>(hw._shm_pool->allocate((n + 1) * sizeof(float), 64)) : nullptr;
  std::vector<float> plain;
  if (!in_pool) plain.resize(n + 1), buf = plain.data();
  ASSERT_NE(buf, nullptr);
  std::copy(input.begin(), input.end(), buf);
  sw.update_buf(buf, count);
  qor_stat stat;
  allreduce(sw, shm, &stat);
  EXPECT_TRUE(n == 0 || std::memcmp(buf, by_ring.data(), n * sizeof(float)) == 0);
  // Zero copy: nothing is copied into the channel, in either phase.
  // A buffer in the pool whose last dimension of several processes runs SHM
  // is gathered by the reduce-scatter there: a row 'a', and no allgather row.
  double copied = 0.0;
  int rows = 0, whole = 0;
  for (int i = 0; i < stat._count; ++i) {
    if (stat._algo[i] != 's') continue;
    ++rows;
    if (stat._tag[i] == 'a') ++whole;
    else copied += stat._send[i];
  }
  bool shm_runs = false;
  int last = -1;
  for (size_t d = 0; d < hw._dim.size(); ++d) {
    shm_runs = shm_runs || (shm[d] == ALG_SHM && hw._dim[d]._size > 1);
    if (hw._dim[d]._size > 1) last = static_cast<int>(d);
  }
  EXPECT_EQ(rows > 0, shm_runs);
  EXPECT_EQ(whole, in_pool && last >= 0 && shm[static_cast<size_t>(last)] == ALG_SHM ? 1 : 0);
  if (in_pool || n > 1000) {
    EXPECT_EQ(copied > 0.0, shm_runs && !in_pool);
  }
  if (in_pool) {
    EXPECT_TRUE(hw._shm_pool->release(buf));
  }
}

std::string case_name(const testing::TestParamInfo<shm_case>& info) {
  const auto& [grid, n, pool, mpi] = info.param;
  return "r" + grid + "_n" + std::to_string(n) + (pool ? "_pool" : "_copied") + (mpi ? "_mpi_after" : "");
}
INSTANTIATE_TEST_SUITE_P(Grids, Shm,
                         testing::Combine(testing::ValuesIn(grid_texts()),
                                          testing::Values(0, 1, 7, 8193, 65543, 1000003, 24571), testing::Bool(),
                                          testing::Bool()),
                         case_name);
