// The element-wise kernels and the cuBLAS float sum against host references.
#include <gtest/gtest.h>

#include "kernel_checks.h"
#include "qor_sw_kernels.h"
#include "qor_sw_step.h"
#include "qor_test_support.h"

namespace {

TEST(KernelGrid, OneBlockMoreThanFullBlocks) {
  using qor::network::kernel_grid;
  EXPECT_EQ(qor::network::kernel_block, 256);
  EXPECT_EQ(kernel_grid(0), 1);
  EXPECT_EQ(kernel_grid(255), 1);
  EXPECT_EQ(kernel_grid(256), 2);
  EXPECT_EQ(kernel_grid(257), 2);
  EXPECT_EQ(kernel_grid(2147483647), 8388608);
}

// The cut of a block into pieces: whole, exact and bounded in count, and the
// same for sender and receiver since it depends on the count alone.
template <class T>
void expect_sound_cut(int count) {
  using cut = qor::network::block_cut<T>;
  const cut c(count, true);
  ASSERT_GE(c.pieces, 1);
  ASSERT_LE(c.pieces, cut::max_pieces);
  long covered = 0;
  for (int i = 0; i < c.pieces; ++i) {
    EXPECT_EQ(c.offset(i), covered) << count;
    EXPECT_GT(c.length(i, count), count > 0 ? 0 : -1) << count << " piece " << i;
    covered += c.length(i, count);
  }
  EXPECT_EQ(covered, count > 0 ? count : 0);
  const size_t piece_bytes = static_cast<size_t>(c.piece) * sizeof(T);
  if (c.pieces < cut::max_pieces) {
    EXPECT_LE(piece_bytes, cut::piece_bytes) << count;
  }
  const cut whole(count, false);
  EXPECT_EQ(whole.pieces, 1);
  EXPECT_EQ(whole.length(0, count), count);
}

TEST(BlockCut, PiecesCoverTheBlockExactly) {
  for (int count : {0, 1, 262143, 262144, 262145, 600011, 16777216, 16777217, 2147483647}) {
    expect_sound_cut<float>(count);
    expect_sound_cut<__half>(count);
  }
  EXPECT_EQ(qor::network::block_cut<float>(262144, true).pieces, 1);
  EXPECT_EQ(qor::network::block_cut<float>(262145, true).pieces, 2);
  EXPECT_EQ(qor::network::block_cut<float>(2147483647, true).pieces, 64);
}

class Kernels : public testing::TestWithParam<unsigned> {
 protected:
  void SetUp() override { QOR_REQUIRE_DEVICE(); }
};

TEST_P(Kernels, MatchHostReferenceOnRandomData) {
  for (const auto& o : kernel_checks::run_all(GetParam())) {
    EXPECT_TRUE(o.passed) << o.name << ": " << o.detail;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, Kernels, testing::Values(1u, 20260u));

}  // namespace
