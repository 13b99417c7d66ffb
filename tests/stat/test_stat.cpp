// The per-transfer statistics: recording past the initial capacity,
// bandwidth per dimension, and the report.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qor_stat.h"
#include "qor_test_support.h"

namespace {

using qor::network::qor_stat;

std::string pad(const std::string& text, size_t width) {
  return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
}

// A collector whose reference time is 100 s, so start times are easy to write.
qor_stat at_100() {
  qor_stat stat;
  EXPECT_EQ(std::make_pair(stat._e2e, stat._jitter), std::make_pair(-1.0, -1.0));
  stat._t0 = 100.0;
  return stat;
}

}  // namespace

TEST(Stat, KeepsEveryEntryPastTheInitialCapacity) {
  qor_stat stat = at_100();
  const int total = 2 * 4096 + 37;
  for (int i = 0; i < total; ++i)
    stat.add_xact(i % 2 ? 'c' : 'r', 100.0 + i, i % 4, 1.0, 1.0, 0.0, i, 0.0, ' ');
  ASSERT_EQ(stat._count, total);
  for (int i : {0, 4095, 4096, 4097, 8192, total - 1}) {
    EXPECT_EQ(stat._time[i], i) << "start relative to the reference time, entry " << i;
    EXPECT_EQ(stat._algo[i], i % 2 ? 'c' : 'r') << i;
  }
  stat.resize(10);
  EXPECT_EQ(stat._count, 10) << "entries cut off by a smaller capacity are gone";
}

TEST(Stat, BandwidthOfEachDimensionOverItsRecordedEntries) {
  qor_stat stat = at_100();
  EXPECT_EQ(stat.get_bandwith(0), 0.0);
  // dim 0: (1e9 + 3e9 + 2e9) B / (1 + 1 + 0.5 + 1.5) s; dim 1: 1e9 B / 0.5 s.
  stat.add_xact('r', 100.0, 0, 1.0, 1.0, 9.0, 1e9, 3e9, ' ');
  stat.add_xact('n', 100.0, 1, 0.25, 0.25, 9.0, 5e8, 5e8, ' ');
  stat.add_xact('c', 100.0, 0, 0.5, 1.5, 9.0, 2e9, 0.0, ' ');
  EXPECT_DOUBLE_EQ(stat.get_bandwith(0), 1.5);
  EXPECT_DOUBLE_EQ(stat.get_bandwith(1), 2.0);
  EXPECT_EQ(stat.get_bandwith(2), 0.0);
  stat.reset();
  EXPECT_EQ(stat.get_bandwith(0), 0.0) << "entries before a reset no longer count";
}

TEST(Stat, ReportGroupsRunsOfRingStepsAndSumsEveryColumn) {
  qor_stat stat = at_100();
  {
    qor_test::stderr_capture capture;
    stat.dump(0, "none", 0);
    EXPECT_EQ(capture.take(), "") << "nothing recorded, nothing written";
  }
  // Rows of other kinds stand alone, also when they follow each other.
  stat.add_xact('c', 100.5, 1, 3e-3, 2e-3, 5e-4, 4e6, 8e6, '0');
  stat.add_xact('c', 100.5, 1, 3e-3, 2e-3, 5e-4, 4e6, 8e6, '0');
  // wait 1, 2, 3 ms: mean 2 ms, deviation sqrt(2/3) ms; op 0 raised to 1e-16;
  // the run's sent bytes fill both byte columns.
  stat.add_xact('r', 100.5, 0, 4e-3, 1e-3, 0.0, 1e6, 9e6, 'a');
  stat.add_xact('r', 100.625, 0, 4e-3, 2e-3, 0.0, 2e6, 9e6, 'a');
  stat.add_xact('r', 100.75, 0, 4e-3, 3e-3, 0.0, 3e6, 9e6, 'a');
  // A ring step of another tag stands alone.
  stat.add_xact('r', 100.875, 0, 1e-3, 0.0, 0.0, 1e6, 9e6, 'b');
  stat.add_xact('-', 101.0, 0, 0.0, 0.0, 0.0, 0.0, 0.0, ' ');
  stat._e2e = 2.0;
  qor_test::stderr_capture capture;
  stat.dump(3, "ring", 0);
  const std::string rule = "I:3:" + std::string(131, '-');
  auto row = [](const char* dim, const char* label, const char* time) {
    return "I:3:" + pad("0", 6) + "d" + pad(dim, 5) + pad(label, 12) + " |   " + pad(time, 10);
  };
  auto c_row = [&](const char* label) {
    return row("1", label, "5.000e-01") + "  " + pad("2.000e-03", 16) + "  " + pad("3.000e-03", 16) + "  " +
           pad("5.000e-04", 16) + "  " + pad("4.000e+00", 10) + "  " + pad("8.000e+00", 10) + "  " +
           pad("1.600e+00", 10) + " 0";
  };
  const std::vector<std::string> expected = {
      rule,
      "I:3:" + pad("tid", 6) + pad("dim", 6) + pad("algo", 12) + " |   " + pad("time", 10) + "  " +
          pad("wait", 16) + "  " + pad("call", 16) + "  " + pad("op", 16) + "  " +
          pad("send(MB)", 10) + "  " + pad("recv(MB)", 10) + "  " + pad("bw(GB/s)", 10),
      rule,
      c_row("c0"),
      c_row("c1"),
      row("0", "r[2   -5)", "5.000e-01") + "  " + pad("6.000e-03", 10) + "(0.41)  " +
          pad("1.200e-02", 10) + "(0.00)  " + pad("3.000e-16", 10) + "(0.00)  " +
          pad("6.000e+00", 10) + "  " + pad("6.000e+00", 10) + "  " + pad("6.667e-01", 10) + " a",
      row("0", "r5", "8.750e-01") + "  " + pad("0.000e+00", 16) + "  " + pad("1.000e-03", 16) + "  " +
          pad("0.000e+00", 16) + "  " + pad("1.000e+00", 10) + "  " + pad("9.000e+00", 10) + "  " +
          pad("2.000e+00", 10) + " b",
      rule,
      "I:3:" + pad("ring", 24) + " |   " + pad("   *sum = ", 10) + "  " + pad("1.000e-02", 16) +
          "  1.900e-02  1.000e-03  *e2e = 2.000e+00",
      rule};
  EXPECT_EQ(qor_test::trace_summary(capture.take()), expected);
}
