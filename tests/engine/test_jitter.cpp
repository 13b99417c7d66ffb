// Barrier timing over real processes: the straggler (the process that
// reached the barrier last) is found, every process agrees on the slow flag,
// the score rises while one process is late and decays once all arrive
// together, and the log lines name the figures.
#include <gtest/gtest.h>
#include <mpi.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "qor_test_support.h"
#include "traversal_test_support.h"

namespace {

using namespace traversal_test;

// Seconds the late process sleeps, far above the threshold below and any
// scheduling noise of an oversubscribed machine.
constexpr double lateness = 0.4;
constexpr double threshold = 0.05;

std::vector<int> gather_int(int v) {
  std::vector<int> all(static_cast<size_t>(world_size()));
  MPI_Allgather(&v, 1, MPI_INT, all.data(), 1, MPI_INT, MPI_COMM_WORLD);
  return all;
}

template <bool DBG>
struct measured {
  bool straggler;
  std::string log;
};

template <bool DBG>
measured<DBG> measure(qor_sw<float>& sw, qor_stat* stat, bool late) {
  if (late) usleep(static_cast<useconds_t>(lateness * 1e6));
  qor_test::stderr_capture capture;
  const bool straggler = sw.measure_jitter<DBG>(stat);
  return {straggler, capture.take()};
}

class Jitter : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    hw = make_hw("-cpu_only 1 -mode r -dbg_level 3");
    sw = std::make_unique<qor_sw<float>>(*hw, nullptr, 0, 0);
  }
  std::unique_ptr<qor_hw> hw;
  std::unique_ptr<qor_sw<float>> sw;
};

// The last process sleeps before three measurements: it alone is the
// straggler, all processes see the slow flag, its score climbs by one each
// time while the others' stays at 0.  Then everyone arrives together under a
// generous threshold and the score falls by a half per measurement.
TEST_P(Jitter, LateProcessIsFoundAndScored) {
  const bool dbg = GetParam();
  const int me = world_rank();
  const int size = world_size();
  const int late_rank = size - 1;
  // One process is always last; a threshold of 0 makes its barrier slow.
  hw->_jitter_thold = size == 1 ? 0.0 : threshold;
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE("late round " + std::to_string(round));
    qor_stat stat;
    const double score_before = hw->_slow_score;
    const bool late = me == late_rank;
    bool straggler;
    std::string log;
    if (dbg) {
      auto m = measure<true>(*sw, &stat, late);
      straggler = m.straggler;
      log = m.log;
    } else {
      auto m = measure<false>(*sw, &stat, late);
      straggler = m.straggler;
      log = m.log;
    }
    EXPECT_EQ(straggler, late);
    EXPECT_EQ(gather_int(hw->_too_slow), std::vector<int>(static_cast<size_t>(size), 1));
    EXPECT_GE(stat._jitter, 0.0);
    EXPECT_EQ(hw->_slow_score, late ? round : 0.0);

    const std::vector<trace> lines = traces(log);
    std::vector<double> m;
    if (late) {
      // The warning, then the summary with the score before this measurement.
      ASSERT_EQ(lines.size(), 2u) << log;
      EXPECT_EQ(lines[0].severity, 'W');
      EXPECT_EQ(lines[0].rank, me);
      ASSERT_TRUE(scientific_fields(lines[0].text,
                                    {"MPI_Barrier took ", " !!!TOO SLOW!!! max_jitter=", ""}, &m))
          << lines[0].text;
      EXPECT_NEAR(m[0], stat._jitter, 1e-3 * stat._jitter + 1e-12);
      if (size > 1) {
        EXPECT_GT(m[1], 0.5 * lateness);
      }
      EXPECT_EQ(lines[1].severity, 'I');
      ASSERT_TRUE(scientific_fields(lines[1].text, {"max_jitter=", " min_jitter=", " : ", ""}, &m))
          << lines[1].text;
      EXPECT_EQ(m[2], score_before);
    } else if (dbg) {
      // Not the straggler, debug level 3: the barrier time alone.
      ASSERT_EQ(lines.size(), 1u) << log;
      EXPECT_EQ(lines[0].severity, 'I');
      ASSERT_TRUE(scientific_fields(lines[0].text, {"MPI_Barrier took ", ""}, &m))
          << lines[0].text;
      EXPECT_GT(m[0], 0.5 * lateness);
    } else {
      EXPECT_EQ(lines.size(), 0u) << log;
    }
  }

  // All arrive together, threshold far above any barrier: not slow, nobody
  // is a straggler, the score decays by a half and stops at 0.
  hw->_jitter_thold = 1000.0;
  const double start = hw->_slow_score;
  for (int round = 1; round <= 8; ++round) {
    SCOPED_TRACE("together round " + std::to_string(round));
    const bool straggler = dbg ? sw->measure_jitter<true>(nullptr) : sw->measure_jitter<false>(nullptr);
    EXPECT_FALSE(straggler);
    EXPECT_EQ(hw->_too_slow, 0);
    const double expect = start - 0.5 * round;
    EXPECT_EQ(hw->_slow_score, expect > 0.0 ? expect : 0.0);
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, Jitter, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "bounded" : "plain");
                         });

// Without a collector nothing is stored, and the measurement is the same.
TEST(JitterStatistics, StoredOnlyWhenACollectorIsGiven) {
  std::unique_ptr<qor_hw> hw = make_hw("-cpu_only 1 -mode r");
  qor_sw<float> sw(*hw, nullptr, 0, 0);
  qor_stat stat;
  EXPECT_EQ(stat._jitter, -1.0);
  sw.measure_jitter<false>(nullptr);
  EXPECT_EQ(stat._jitter, -1.0);
  sw.measure_jitter<false>(&stat);
  EXPECT_GE(stat._jitter, 0.0);
}

}  // namespace
