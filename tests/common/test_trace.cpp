// Trace line format, timestamps, the stream builder and exit_with_error.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qor_test_support.h"
#include "qor_trace.h"

namespace {

std::string pid_field() {
  std::ostringstream s;
  s.width(5);
  s << getpid();
  return s.str();
}

// Everything before the text: "<S> HH:MM:SS.mmm <pid> <tid> QOR:".
std::string head_regex(char severity) {
  return std::string("^") + severity + " [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3} " +
         pid_field() + " " + std::to_string(gettid()) + " QOR:";
}

}  // namespace

TEST(Timestamp, IsLocalTimeWithMilliseconds) {
  std::string ts = get_timestamp();
  ASSERT_TRUE(std::regex_match(ts, std::regex("[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3}")))
      << ts;
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  int seconds_of_day = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  int stamped = std::stoi(ts.substr(0, 2)) * 3600 + std::stoi(ts.substr(3, 2)) * 60 +
                std::stoi(ts.substr(6, 2));
  int diff = (seconds_of_day - stamped + 86400) % 86400;
  EXPECT_LE(diff, 2);
}

struct line_case {
  int line;
  std::string field;  // what stands between "QOR:" and the text
};

class TraceLineNumber : public testing::TestWithParam<line_case> {};

TEST_P(TraceLineNumber, IsLeftAlignedInFourCharacters) {
  const line_case& c = GetParam();
  std::string s = qor::format_trace_line('I', c.line, qor::no_rank, "hello");
  EXPECT_TRUE(std::regex_search(s, std::regex(head_regex('I'))));
  std::string tail = s.substr(s.find("QOR:") + 4);
  EXPECT_EQ(tail, c.field + "hello\n");
}

INSTANTIATE_TEST_SUITE_P(Widths, TraceLineNumber,
                         testing::Values(line_case{7, "7   ] "}, line_case{42, "42  ] "},
                                         line_case{869, "869 ] "}, line_case{1577, "1577] "},
                                         line_case{12345, "12345] "}));

TEST(TraceLine, RankFieldIsFourCharactersBlankFilled) {
  std::string s = qor::format_trace_line('F', 869, 3, "TIMEOUT");
  EXPECT_TRUE(std::regex_search(s, std::regex(head_regex('F'))));
  EXPECT_EQ(s.substr(s.find("QOR:")), "QOR:869 ] [MPI:   3] TIMEOUT\n");
  s = qor::format_trace_line('D', 1, 12345, "x");
  EXPECT_EQ(s.substr(s.find("QOR:")), "QOR:1   ] [MPI:12345] x\n");
  s = qor::format_trace_line('W', 1, 0, "");
  EXPECT_EQ(s.substr(s.find("QOR:")), "QOR:1   ] [MPI:   0] \n");
}

TEST(TraceLine, BuilderWritesOneFlushedLineWithScientificNumbers) {
  qor_test::stderr_capture capture;
  int line = 0;
  {
    line = __LINE__ + 1;
    QOR_TRACE_RANK('W', 2) << "MPI_Barrier took " << 0.5 << " count=" << 12;
  }
  std::string out = capture.take();
  std::string expected_tail = "QOR:" + std::to_string(line) + "  ] [MPI:   2] " +
                              "MPI_Barrier took 5.000e-01 count=12\n";
  ASSERT_NE(out.find("QOR:"), std::string::npos) << out;
  EXPECT_EQ(out.substr(out.find("QOR:")), expected_tail);
  EXPECT_TRUE(std::regex_search(out, std::regex(head_regex('W'))));
}

TEST(TraceLine, LinesFromTwoThreadsNeverInterleave) {
  constexpr int per_thread = 500;
  qor_test::stderr_capture capture;
  auto writer = [](char severity) {
    for (int i = 0; i < per_thread; ++i) QOR_TRACE(severity) << "line " << i << " of " << severity;
  };
  std::thread a(writer, 'I');
  std::thread b(writer, 'D');
  a.join();
  b.join();
  std::istringstream lines(capture.take());
  std::string line;
  int count = 0;
  std::regex whole("^[ID] [0-9:.]{12} +[0-9]+ [0-9]+ QOR:[0-9]+ *\\] line [0-9]+ of [ID]$");
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_TRUE(std::regex_match(line, whole)) << line;
    EXPECT_EQ(line[0], line.back()) << line;
  }
  EXPECT_EQ(count, 2 * per_thread);
}

TEST(TraceLineDeathTest, ExitWithErrorWritesAnErrorLineAndExitsWithOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(qor::exit_with_error(123, "something broke"), testing::ExitedWithCode(1),
              "^E [0-9:.]{12} +[0-9]+ [0-9]+ QOR:123 \\] something broke\n$");
}
