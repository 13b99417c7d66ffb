// The element-wise kernels and the cuBLAS float sum against host references.
#include <gtest/gtest.h>

#include "kernel_checks.h"
#include "qor_sw_kernels.h"
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
