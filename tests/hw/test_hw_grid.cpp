// The static arithmetic of the hardware layer: grid coordinates, the depth
// of recursive exchanges and aligned partition sizes.  No MPI needed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qor_hw.h"

namespace {

using qor::network::qor_hw;

std::string text_of(const std::vector<int>& v) {
  std::string s;
  for (size_t i = 0; i < v.size(); ++i) s += (i ? "x" : "") + std::to_string(v[i]);
  return s;
}

// Every coordinate tuple of the grid in row-major order (last dimension
// fastest), enumerated by counting rather than by division.
std::vector<std::vector<int>> row_major(const std::vector<int>& dims) {
  std::vector<std::vector<int>> all;
  std::vector<int> c(dims.size(), 0);
  for (;;) {
    all.push_back(c);
    int d = static_cast<int>(dims.size()) - 1;
    while (d >= 0 && ++c[d] == dims[d]) c[d--] = 0;
    if (d < 0) return all;
  }
}

class GridArithmetic : public testing::TestWithParam<std::vector<int>> {};

TEST_P(GridArithmetic, CombEnumeratesRowMajorAndDecombInvertsIt) {
  std::vector<int> dims = GetParam();
  const auto expected = row_major(dims);
  for (size_t rank = 0; rank < expected.size(); ++rank) {
    SCOPED_TRACE("rank " + std::to_string(rank));
    std::vector<int> coords(dims.size(), -7);
    qor_hw::comb(static_cast<int>(rank), dims, coords);
    EXPECT_EQ(coords, expected[rank]);
    EXPECT_EQ(qor_hw::decomb(dims, coords), static_cast<int>(rank));
  }
}

INSTANTIATE_TEST_SUITE_P(Grids, GridArithmetic,
                         testing::Values(std::vector<int>{1}, std::vector<int>{8},
                                         std::vector<int>{4, 2}, std::vector<int>{2, 4},
                                         std::vector<int>{2, 2, 2}, std::vector<int>{2, 3, 4},
                                         std::vector<int>{1, 4, 1, 2},
                                         std::vector<int>{3, 1, 1, 1},
                                         std::vector<int>{5, 3, 2, 7}),
                         [](const testing::TestParamInfo<std::vector<int>>& info) {
                           return "g" + text_of(info.param);
                         });

TEST(GridExample, RankFiveOfFourByTwo) {
  std::vector<int> dims = {4, 2, 1, 1};
  std::vector<int> coords(4, 0);
  qor_hw::comb(5, dims, coords);
  EXPECT_EQ(coords, (std::vector<int>{2, 1, 0, 0}));
  // The first process on rank 5's line along dimension 0 is 1, along 1 it is 4.
  coords[0] = 0;
  EXPECT_EQ(qor_hw::decomb(dims, coords), 1);
  coords[0] = 2;
  coords[1] = 0;
  EXPECT_EQ(qor_hw::decomb(dims, coords), 4);
}

// Input no valid grid produces must not crash or divide by zero.
TEST(GridGuards, EmptyExtentsGiveTheOrigin) {
  std::vector<int> dims = {4, 0};
  std::vector<int> coords = {9, 9};
  qor_hw::comb(3, dims, coords);
  EXPECT_EQ(coords, (std::vector<int>{0, 0}));
  std::vector<int> negative = {-2, -2};
  qor_hw::comb(3, negative, coords);
  EXPECT_EQ(coords, (std::vector<int>{0, 0}));
  std::vector<int> c = {1, 1};
  EXPECT_EQ(qor_hw::decomb(dims, c), 0);
  EXPECT_EQ(qor_hw::decomb(negative, c), 0);
}

TEST(GridGuards, ShortCoordinateListsAreNotOverrun) {
  std::vector<int> dims = {2, 3};
  std::vector<int> coords;  // too short: grown, not written past
  qor_hw::comb(5, dims, coords);
  EXPECT_EQ(coords, (std::vector<int>{1, 2}));
  std::vector<int> none;
  EXPECT_EQ(qor_hw::decomb(none, coords), 0);
  std::vector<int> one = {1};  // missing coordinates count as 0
  EXPECT_EQ(qor_hw::decomb(dims, one), 3);
}

TEST(RcsDepth, PowersOfTwoFromTwoToOneThousandTwentyFour) {
  int expected_depth = 1;
  for (int n = 2; n <= 1024; n *= 2, ++expected_depth) {
    EXPECT_EQ(qor_hw::get_rcs_depth(n), expected_depth) << n;
  }
}

TEST(RcsDepth, EverythingElseIsZero) {
  for (int n : {-1024, -2, -1, 0, 1, 3, 6, 12, 48, 100, 1000, 1023, 1025, 2048, 4096, 1 << 30}) {
    EXPECT_EQ(qor_hw::get_rcs_depth(n), 0) << n;
  }
  int nonzero = 0;
  for (int n = -5; n <= 5000; ++n) nonzero += qor_hw::get_rcs_depth(n) != 0;
  EXPECT_EQ(nonzero, 10);
}

class AverageBufferSize : public testing::Test {
 protected:
  void SetUp() override { saved_ = qor_hw::_align_part; }
  void TearDown() override { qor_hw::_align_part = saved_; }
  int saved_ = 0;
};

TEST_F(AverageBufferSize, AlignedEqualParts) {
  qor_hw::_align_part = 8;
  EXPECT_EQ(qor_hw::get_avg_buf_size(1000, 3), 328);
  EXPECT_EQ(qor_hw::get_avg_buf_size(1000, 1), 1000);
  EXPECT_EQ(qor_hw::get_avg_buf_size(1001, 1), 1000);
  EXPECT_EQ(qor_hw::get_avg_buf_size(7, 1), 0);
  EXPECT_EQ(qor_hw::get_avg_buf_size(16, 2), 8);
  EXPECT_EQ(qor_hw::get_avg_buf_size(0, 4), 0);
  // Integer division truncates toward zero on both steps.
  EXPECT_EQ(qor_hw::get_avg_buf_size(-1000, 3), -328);
  qor_hw::_align_part = 1;
  EXPECT_EQ(qor_hw::get_avg_buf_size(1000, 3), 333);
  qor_hw::_align_part = 64;
  EXPECT_EQ(qor_hw::get_avg_buf_size(1000, 3), 320);
}

TEST_F(AverageBufferSize, NoPartsGiveZero) {
  qor_hw::_align_part = 8;
  EXPECT_EQ(qor_hw::get_avg_buf_size(1000, 0), 0);
  EXPECT_EQ(qor_hw::get_avg_buf_size(1000, -3), 0);
}

TEST_F(AverageBufferSize, AlignmentBelowOneDoesNotDivideByZero) {
  qor_hw::_align_part = 0;
  EXPECT_EQ(qor_hw::get_avg_buf_size(1000, 3), 333);
  qor_hw::_align_part = -8;
  EXPECT_EQ(qor_hw::get_avg_buf_size(1000, 3), 333);
}

TEST(AlignPart, DefaultsToEightBeforeAnyLayerIsBuilt) { EXPECT_EQ(qor_hw::_align_part, 8); }

}  // namespace
