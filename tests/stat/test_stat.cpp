// The statistics collector: recording, capacity, bandwidth and the report.
#include <gtest/gtest.h>
#include <time.h>

#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "qor_stat.h"
#include "qor_test_support.h"

using qor::network::qor_stat;

namespace {

const std::string header_text =
    "tid   dim   algo         |   time        wait              call              op        "
    "        send(MB)    recv(MB)    bw(GB/s)  ";
const std::string rule(131, '-');  // header width + 2

double monotonic_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string pad(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

// Reads "I HH:MM:SS.mmm <pid> <tid> QOR:<line>] [MPI:<rank:4>] <text>" and
// gives the rank field and the text; false when the line has another shape.
bool split_information_line(const std::string& line, std::string* rank_field,
                            std::string* text) {
  size_t pos = 0;
  const auto literal = [&](const std::string& word) {
    if (line.compare(pos, word.size(), word) != 0) return false;
    pos += word.size();
    return true;
  };
  const auto digits = [&](size_t min_count) {
    size_t n = 0;
    while (pos < line.size() && std::isdigit(static_cast<unsigned char>(line[pos]))) ++pos, ++n;
    return n >= min_count;
  };
  const auto blanks = [&] {
    while (pos < line.size() && line[pos] == ' ') ++pos;
  };
  if (!literal("I ")) return false;
  for (const char* sep : {":", ":", ".", " "})
    if (!digits(2) || !literal(sep)) return false;
  blanks();
  if (!digits(1) || !literal(" ") || !digits(1) || !literal(" QOR:") || !digits(1)) return false;
  blanks();
  if (!literal("] [MPI:") || line.size() < pos + 6) return false;
  *rank_field = line.substr(pos, 4);
  pos += 4;
  if (!literal("] ")) return false;
  *text = line.substr(pos);
  return true;
}

// Splits captured output into the texts of its trace lines, checking that
// every line is an "I" line with the given rank in the rank field.
std::vector<std::string> bodies(const std::string& output, int rank) {
  std::vector<std::string> result;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    std::string field;
    std::string text;
    if (!split_information_line(line, &field, &text)) {
      ADD_FAILURE() << "not a ranked information line: [" << line << "]";
      continue;
    }
    std::string padded = std::to_string(rank);
    if (padded.size() < 4) padded.insert(0, 4 - padded.size(), ' ');
    EXPECT_EQ(field, padded) << line;
    result.push_back(text);
  }
  if (!output.empty()) {
    EXPECT_EQ(output.back(), '\n');
  }
  return result;
}

std::vector<std::string> dump_bodies(const qor_stat& stat, int rank, const std::string& name,
                                     int third = 0) {
  qor_test::stderr_capture capture;
  stat.dump(rank, name, third);
  return bodies(capture.take(), rank);
}

// Row start: tid, "d", dim, label, " |   ", time.
std::string row_head(const std::string& tid, const std::string& dim, const std::string& label,
                     const std::string& time) {
  return pad(tid, 6) + "d" + pad(dim, 5) + pad(label, 12) + " |   " + pad(time, 10);
}

// Label column of a row.
std::string label_of(const std::string& row) {
  std::string label = row.substr(12, 12);
  return label.erase(label.find_last_not_of(' ') + 1);
}

// A collector whose times are easy to write down: _t0 is 100 s.
qor_stat fixed_origin() {
  qor_stat stat;
  stat._t0 = 100.0;
  return stat;
}

void add_plain(qor_stat& stat, char algo, int dim, char tag = ' ') {
  stat.add_xact(algo, 100.0, dim, 1e-3, 1e-3, 0.0, 1e6, 1e6, tag);
}

}  // namespace

// ---- construction and recording -------------------------------------------------

TEST(StatConstruction, StartsEmptyWith4096ZeroEntries) {
  const double before = monotonic_seconds();
  const qor_stat stat;
  const double after = monotonic_seconds();
  EXPECT_EQ(stat._count, 0);
  EXPECT_EQ(stat._e2e, -1.0);
  EXPECT_EQ(stat._jitter, -1.0);
  EXPECT_GE(stat._t0, before);
  EXPECT_LE(stat._t0, after);
  for (const auto* list : {&stat._send, &stat._recv, &stat._call, &stat._wait, &stat._op,
                           &stat._time}) {
    ASSERT_EQ(list->size(), 4096u);
    for (double v : *list) ASSERT_EQ(v, 0.0);
  }
  for (const auto* list : {&stat._algo, &stat._tag}) {
    ASSERT_EQ(list->size(), 4096u);
    for (char v : *list) ASSERT_EQ(v, 0);
  }
  for (const auto* list : {&stat._dim_id, &stat._tid}) {
    ASSERT_EQ(list->size(), 4096u);
    for (int v : *list) ASSERT_EQ(v, 0);
  }
}

TEST(StatRecording, EachArgumentLandsInItsList) {
  qor_stat stat = fixed_origin();
  stat.add_xact('n', 100.75, 2, 0.1, 0.2, 0.3, 400.0, 500.0, 'x');
  stat.add_xact('c', 99.5, 3, 1.1, 1.2, 1.3, 1400.0, 1500.0, '7');
  ASSERT_EQ(stat._count, 2);
  EXPECT_EQ(stat._algo[0], 'n');
  EXPECT_DOUBLE_EQ(stat._time[0], 0.75);
  EXPECT_EQ(stat._dim_id[0], 2);
  EXPECT_EQ(stat._call[0], 0.1);
  EXPECT_EQ(stat._wait[0], 0.2);
  EXPECT_EQ(stat._op[0], 0.3);
  EXPECT_EQ(stat._send[0], 400.0);
  EXPECT_EQ(stat._recv[0], 500.0);
  EXPECT_EQ(stat._tag[0], 'x');
  EXPECT_EQ(stat._tid[0], 0);
  EXPECT_EQ(stat._algo[1], 'c');
  EXPECT_DOUBLE_EQ(stat._time[1], -0.5);
  EXPECT_EQ(stat._dim_id[1], 3);
  EXPECT_EQ(stat._call[1], 1.1);
  EXPECT_EQ(stat._wait[1], 1.2);
  EXPECT_EQ(stat._op[1], 1.3);
  EXPECT_EQ(stat._send[1], 1400.0);
  EXPECT_EQ(stat._recv[1], 1500.0);
  EXPECT_EQ(stat._tag[1], '7');
  EXPECT_EQ(stat._send.size(), 4096u);
}

TEST(StatRecording, ResetRestartsCountAndClockButKeepsTheLists) {
  qor_stat stat = fixed_origin();
  add_plain(stat, 'm', 1);
  add_plain(stat, 'm', 1);
  const double before = monotonic_seconds();
  stat.reset();
  EXPECT_EQ(stat._count, 0);
  EXPECT_GE(stat._t0, before);
  EXPECT_LE(stat._t0, monotonic_seconds());
  EXPECT_EQ(stat._algo[1], 'm');
  EXPECT_EQ(stat._send[1], 1e6);
  stat.add_xact('b', stat._t0 + 2.0, 0, 0, 0, 0, 0, 0, ' ');
  EXPECT_EQ(stat._count, 1);
  EXPECT_EQ(stat._algo[0], 'b');
  EXPECT_DOUBLE_EQ(stat._time[0], 2.0);
}

TEST(StatCapacity, GrowsBeyond4096AndKeepsEveryEntry) {
  qor_stat stat = fixed_origin();
  const int total = 4096 * 2 + 37;
  for (int i = 0; i < total; ++i)
    stat.add_xact(i % 2 ? 'c' : 'n', 100.0 + i, i % 4, i * 2.0, i * 3.0, i * 4.0, i * 5.0,
                  i * 6.0, static_cast<char>('0' + i % 10));
  ASSERT_EQ(stat._count, total);
  const size_t capacity = stat._time.size();
  EXPECT_GE(capacity, static_cast<size_t>(total));
  for (size_t size : {stat._send.size(), stat._recv.size(), stat._call.size(), stat._wait.size(),
                      stat._op.size(), stat._algo.size(), stat._dim_id.size(), stat._tid.size(),
                      stat._tag.size()})
    EXPECT_EQ(size, capacity);
  for (int i = 0; i < total; ++i) {
    ASSERT_EQ(stat._algo[i], i % 2 ? 'c' : 'n') << i;
    ASSERT_DOUBLE_EQ(stat._time[i], i) << i;
    ASSERT_EQ(stat._dim_id[i], i % 4) << i;
    ASSERT_EQ(stat._call[i], i * 2.0) << i;
    ASSERT_EQ(stat._wait[i], i * 3.0) << i;
    ASSERT_EQ(stat._op[i], i * 4.0) << i;
    ASSERT_EQ(stat._send[i], i * 5.0) << i;
    ASSERT_EQ(stat._recv[i], i * 6.0) << i;
    ASSERT_EQ(stat._tag[i], '0' + i % 10) << i;
    ASSERT_EQ(stat._tid[i], 0) << i;
  }
  // The report covers all of them: header block, one row each, closing
  // rule, sum line, closing rule.
  const auto rows = dump_bodies(stat, 0, "big");
  ASSERT_EQ(rows.size(), 3u + total + 3u);
  EXPECT_EQ(label_of(rows[3]), "n0");
  EXPECT_EQ(label_of(rows[3 + total - 1]), "n" + std::to_string(total - 1));
  EXPECT_EQ(label_of(rows[3 + total - 2]), "c" + std::to_string(total - 2));
}

TEST(StatCapacity, RecordingAfterResizeToZeroStillWorks) {
  qor_stat stat = fixed_origin();
  stat.resize(0);
  EXPECT_TRUE(stat._send.empty());
  add_plain(stat, 'm', 0);
  EXPECT_EQ(stat._count, 1);
  EXPECT_GE(stat._tag.size(), 1u);
  EXPECT_EQ(stat._algo[0], 'm');
}

TEST(StatCapacity, ResizeKeepsEntriesAndZeroFillsNewOnes) {
  qor_stat stat = fixed_origin();
  add_plain(stat, 'r', 1, 'a');
  stat._tid[0] = 5;
  stat.resize(5000);
  EXPECT_EQ(stat._count, 1);
  for (size_t size : {stat._send.size(), stat._recv.size(), stat._call.size(), stat._wait.size(),
                      stat._op.size(), stat._time.size(), stat._algo.size(), stat._dim_id.size(),
                      stat._tid.size(), stat._tag.size()})
    EXPECT_EQ(size, 5000u);
  EXPECT_EQ(stat._algo[0], 'r');
  EXPECT_EQ(stat._tag[0], 'a');
  EXPECT_EQ(stat._tid[0], 5);
  EXPECT_EQ(stat._dim_id[0], 1);
  EXPECT_EQ(stat._send[4999], 0.0);
  EXPECT_EQ(stat._algo[4999], 0);
  EXPECT_EQ(stat._dim_id[4999], 0);
}

TEST(StatCapacity, ShrinkingBelowTheCountDropsTheCutEntries) {
  qor_stat stat = fixed_origin();
  for (int i = 0; i < 6; ++i) add_plain(stat, 'c', 0);
  stat.resize(4);
  EXPECT_EQ(stat._count, 4);
  EXPECT_EQ(stat._time.size(), 4u);
  // Neither the report nor the bandwidth reads past the lists.
  EXPECT_EQ(dump_bodies(stat, 0, "cut").size(), 3u + 4u + 3u);
  EXPECT_NEAR(stat.get_bandwith(0), 1.0, 1e-12);  // 4 x 2 MB over 4 x 2 ms
  stat.resize(-1);
  EXPECT_EQ(stat._count, 0);
  EXPECT_TRUE(stat._algo.empty());
  EXPECT_TRUE(dump_bodies(stat, 0, "none").empty());
}

// ---- bandwidth ---------------------------------------------------------------------

TEST(StatBandwidth, NoEntriesGivesZero) {
  const qor_stat stat;
  EXPECT_EQ(stat.get_bandwith(0), 0.0);
  EXPECT_EQ(stat.get_bandwith(3), 0.0);
}

TEST(StatBandwidth, SumsBytesOverTimePerDimension) {
  qor_stat stat = fixed_origin();
  // dim 0: (1e9 + 3e9 + 2e9 + 0) B / (1 + 1 + 0.5 + 1.5) s = 1.5 GB/s
  stat.add_xact('r', 100.0, 0, 1.0, 1.0, 9.0, 1e9, 3e9, ' ');
  stat.add_xact('n', 100.0, 1, 0.25, 0.25, 9.0, 5e8, 5e8, ' ');
  stat.add_xact('c', 100.0, 0, 0.5, 1.5, 9.0, 2e9, 0.0, ' ');
  EXPECT_DOUBLE_EQ(stat.get_bandwith(0), 1.5);
  EXPECT_DOUBLE_EQ(stat.get_bandwith(1), 2.0);
  EXPECT_EQ(stat.get_bandwith(2), 0.0);  // no entries of this dimension
  EXPECT_EQ(stat.get_bandwith(-1), 0.0);
}

TEST(StatBandwidth, OnlyRecordedEntriesCount) {
  qor_stat stat = fixed_origin();
  stat.add_xact('r', 100.0, 0, 1.0, 1.0, 0.0, 1e9, 1e9, ' ');
  stat.add_xact('r', 100.0, 0, 1.0, 1.0, 0.0, 7e9, 7e9, ' ');
  stat.reset();
  EXPECT_EQ(stat.get_bandwith(0), 0.0);
  stat.add_xact('r', 100.0, 0, 2.0, 2.0, 0.0, 1e9, 1e9, ' ');
  EXPECT_DOUBLE_EQ(stat.get_bandwith(0), 0.5);
}

TEST(StatBandwidth, ZeroTimeIsGuardedByTheTinyTerm) {
  qor_stat stat = fixed_origin();
  stat.add_xact('m', 100.0, 0, 0.0, 0.0, 0.0, 1e3, 0.0, ' ');
  EXPECT_DOUBLE_EQ(stat.get_bandwith(0), 1e-6 / 1e-18);
}

// ---- break lines ---------------------------------------------------------------------

struct break_case {
  int rank;
  int width;
  size_t dashes;
};

void PrintTo(const break_case& c, std::ostream* os) {
  *os << "rank " << c.rank << " width " << c.width;
}

class StatBreakLine : public testing::TestWithParam<break_case> {};

TEST_P(StatBreakLine, WritesWidthPlusTwoDashes) {
  const break_case& c = GetParam();
  const qor_stat stat;
  qor_test::stderr_capture capture;
  stat.break_line(c.rank, c.width);
  const auto lines = bodies(capture.take(), c.rank);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], std::string(c.dashes, '-'));
}

INSTANTIATE_TEST_SUITE_P(Widths, StatBreakLine,
                         testing::Values(break_case{0, 10, 12}, break_case{0, 0, 2},
                                         break_case{5, 129, 131}, break_case{1234, 1, 3},
                                         break_case{0, -2, 0}, break_case{2, -7, 0}));

// ---- report --------------------------------------------------------------------------

TEST(StatDump, NothingRecordedWritesNothing) {
  qor_test::stderr_capture capture;
  qor_stat stat = fixed_origin();
  stat._e2e = 1.0;
  stat.dump(0, "empty", 0);
  add_plain(stat, 'r', 0);
  stat.reset();  // entries stay in the lists but are no longer recorded
  stat.dump(0, "empty", 0);
  EXPECT_EQ(capture.take(), "");
}

TEST(StatDump, SingleRingEntryIsAPlainRow) {
  qor_stat stat = fixed_origin();
  stat.add_xact('r', 100.5, 0, 3e-3, 2e-3, 5e-4, 4e6, 8e6, ' ');
  stat._e2e = 0.25;
  const std::vector<std::string> expected = {
      rule,
      header_text,
      rule,
      // bw = 2 * 4e6 B / 1e9 / (3e-3 + 2e-3) s = 1.6 GB/s
      row_head("0", "0", "r0", "5.000e-01") + "  " + pad("2.000e-03", 16) + "  " +
          pad("3.000e-03", 16) + "  " + pad("5.000e-04", 16) + "  " + pad("4.000e+00", 10) +
          "  " + pad("8.000e+00", 10) + "  " + pad("1.600e+00", 10) + "  ",
      rule,
      pad("float_ar", 24) + " |   " + "   *sum = " + "  " + pad("2.000e-03", 16) + "  " +
          "3.000e-03" + "  " + "5.000e-04" + "  *e2e = " + "2.500e-01",
      rule};
  EXPECT_EQ(header_text.size(), 129u);
  EXPECT_EQ(dump_bodies(stat, 0, "float_ar"), expected);
}

TEST(StatDump, RankGoesIntoEveryLineAndTheLastArgumentIsIgnored) {
  qor_stat stat = fixed_origin();
  stat.add_xact('m', 101.0, 2, 1e-3, 1e-3, 0.0, 2e6, 2e6, 'a');
  const auto with_zero = dump_bodies(stat, 3, "half_ar", 0);
  EXPECT_EQ(with_zero.size(), 7u);
  EXPECT_EQ(dump_bodies(stat, 3, "half_ar", 17), with_zero);
  EXPECT_EQ(with_zero[3], row_head("0", "2", "m0", "1.000e+00") + "  " + pad("1.000e-03", 16) +
                              "  " + pad("1.000e-03", 16) + "  " + pad("0.000e+00", 16) + "  " +
                              pad("2.000e+00", 10) + "  " + pad("2.000e+00", 10) + "  " +
                              pad("2.000e+00", 10) + " a");
  EXPECT_EQ(with_zero[5], pad("half_ar", 24) + " |      *sum =   " + pad("1.000e-03", 16) +
                              "  1.000e-03  0.000e+00  *e2e = -1.000e+00");
}

TEST(StatDump, ThreeRingStepsAggregateIntoOneRow) {
  qor_stat stat = fixed_origin();
  // wait 1, 2, 3 ms: mean 2 ms, population deviation sqrt(2/3) ms, rel 0.41.
  // call 4 ms each: rel 0.  op 0: mean raised to 1e-16.
  // send 1, 2, 3 MB: 6 MB total in both byte columns; the received bytes do
  // not enter.  bw = 2 * 2e6 / 1e9 / (4e-3 + 2e-3) = 0.667 GB/s.
  stat.add_xact('r', 100.5, 0, 4e-3, 1e-3, 0.0, 1e6, 9e6, 'a');
  stat.add_xact('r', 100.625, 0, 4e-3, 2e-3, 0.0, 2e6, 9e6, 'a');
  stat.add_xact('r', 100.75, 0, 4e-3, 3e-3, 0.0, 3e6, 9e6, 'a');
  stat._e2e = 2.0;
  const std::vector<std::string> expected = {
      rule,
      header_text,
      rule,
      row_head("0", "0", "r[0   -3)", "5.000e-01") + "  " + pad("6.000e-03", 10) + "(0.41)" +
          "  " + pad("1.200e-02", 10) + "(0.00)" + "  " + pad("3.000e-16", 10) + "(0.00)" +
          "  " + pad("6.000e+00", 10) + "  " + pad("6.000e+00", 10) + "  " +
          pad("6.667e-01", 10) + " a",
      rule,
      pad("ring", 24) + " |   " + "   *sum = " + "  " + pad("6.000e-03", 16) + "  " +
          "1.200e-02" + "  " + "0.000e+00" + "  *e2e = " + "2.000e+00",
      rule};
  EXPECT_EQ(dump_bodies(stat, 0, "ring"), expected);
}

TEST(StatDump, AggregateSpreadOfOperationTimes) {
  qor_stat stat = fixed_origin();
  // op 1 and 3 ms: mean 2 ms, deviation 1 ms, rel 0.50; two steps after a
  // plain one, so the label counts from index 1.
  stat.add_xact('c', 100.0, 1, 1e-3, 1e-3, 0.0, 0.0, 0.0, ' ');
  stat.add_xact('r', 102.0, 1, 2e-3, 2e-3, 1e-3, 5e5, 0.0, '3');
  stat.add_xact('r', 103.0, 1, 2e-3, 2e-3, 3e-3, 5e5, 0.0, '3');
  const auto rows = dump_bodies(stat, 1, "x");
  ASSERT_EQ(rows.size(), 8u);
  EXPECT_EQ(label_of(rows[3]), "c0");
  EXPECT_EQ(rows[4], row_head("0", "1", "r[1   -3)", "2.000e+00") + "  " + pad("4.000e-03", 10) +
                         "(0.00)  " + pad("4.000e-03", 10) + "(0.00)  " + pad("4.000e-03", 10) +
                         "(0.50)  " + pad("1.000e+00", 10) + "  " + pad("1.000e+00", 10) + "  " +
                         pad("2.500e-01", 10) + " 3");
}

class StatNonRingKinds : public testing::TestWithParam<char> {};

TEST_P(StatNonRingKinds, NeverAggregate) {
  const char kind = GetParam();
  qor_stat stat = fixed_origin();
  for (int i = 0; i < 3; ++i) add_plain(stat, kind, 0, 'a');
  const auto rows = dump_bodies(stat, 0, "k");
  ASSERT_EQ(rows.size(), 9u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(label_of(rows[3 + i]), kind + std::to_string(i));
  EXPECT_EQ(rows[6], rule);
}

INSTANTIATE_TEST_SUITE_P(Kinds, StatNonRingKinds,
                         testing::Values('c', 'm', 'n', 'b', 'd', 'l'));

TEST(StatDump, RunsBreakAtADifferentKindTagDimensionOrTid) {
  qor_stat stat = fixed_origin();
  add_plain(stat, 'r', 0, 'a');  // 0 \ run
  add_plain(stat, 'r', 0, 'a');  // 1 /
  add_plain(stat, 'r', 0, '1');  // 2   other tag
  add_plain(stat, 'r', 1, '1');  // 3 \ other dimension, run
  add_plain(stat, 'r', 1, '1');  // 4 /
  add_plain(stat, 'c', 1, '1');  // 5   other kind
  add_plain(stat, 'r', 1, '1');  // 6
  add_plain(stat, 'r', 1, '1');  // 7   other tid
  stat._tid[7] = 2;
  const auto rows = dump_bodies(stat, 0, "runs");
  const std::vector<std::string> labels = {"r[0   -2)", "r2", "r[3   -5)", "c5", "r6", "r7"};
  const std::vector<std::string> dims = {"0", "0", "1", "1", "1", "1"};
  const std::vector<std::string> tids = {"0", "0", "0", "0", "0", "2"};
  const std::vector<std::string> tags = {"a", "1", "1", "1", "1", "1"};
  ASSERT_EQ(rows.size(), 3u + labels.size() + 3u);
  for (size_t r = 0; r < labels.size(); ++r) {
    const std::string& row = rows[3 + r];
    EXPECT_EQ(label_of(row), labels[r]) << row;
    EXPECT_EQ(row.substr(0, 12), pad(tids[r], 6) + "d" + pad(dims[r], 5)) << row;
    EXPECT_EQ(row.substr(row.size() - 2), " " + tags[r]) << row;
  }
  EXPECT_EQ(rows[3 + labels.size()], rule);
}

TEST(StatDump, LongRunLabelAndRawTag) {
  qor_stat stat = fixed_origin();
  for (int i = 0; i < 10; ++i) add_plain(stat, 'c', 0);
  for (int i = 0; i < 1000; ++i) add_plain(stat, 'r', 3, '\x01');
  add_plain(stat, 'l', 2, '\x00');
  const auto rows = dump_bodies(stat, 0, "long");
  ASSERT_EQ(rows.size(), 3u + 10u + 2u + 3u);
  EXPECT_EQ(label_of(rows[13]), "r[10  -1010)");
  EXPECT_EQ(rows[13].substr(rows[13].size() - 2), std::string(" \x01"));
  EXPECT_EQ(label_of(rows[14]), "l1010");
  EXPECT_EQ(rows[14].substr(rows[14].size() - 2), std::string(" \0", 2));
}

TEST(StatDump, SeparatorsDrawRulesAndALastOneIsNotRepeated) {
  qor_stat stat = fixed_origin();
  add_plain(stat, '-', 0);
  add_plain(stat, 'r', 0);
  add_plain(stat, '-', 0);
  add_plain(stat, 'c', 0);
  // Rows by kind: "-" rule, "H" header, "S" sum line, otherwise the label.
  const auto shape_of = [](const std::vector<std::string>& rows) {
    std::vector<std::string> shape;
    for (const auto& row : rows) {
      if (row == rule)
        shape.push_back("-");
      else if (row == header_text)
        shape.push_back("H");
      else if (row.rfind(pad("sep", 24) + " |      *sum = ", 0) == 0)
        shape.push_back("S");
      else
        shape.push_back(label_of(row));
    }
    return shape;
  };
  const std::vector<std::string> expected = {"-", "H", "-", "-", "r1", "-", "c3", "-", "S", "-"};
  EXPECT_EQ(shape_of(dump_bodies(stat, 0, "sep")), expected);

  add_plain(stat, '-', 0);  // the last entry is now a separator: its rule
                            // closes the table, no second one follows
  EXPECT_EQ(shape_of(dump_bodies(stat, 0, "sep")), expected);
}

TEST(StatDump, SumLineCoversOnlyTheRecordedEntries) {
  qor_stat stat = fixed_origin();
  stat.add_xact('m', 100.0, 0, 1.0, 2.0, 3.0, 0.0, 0.0, ' ');
  stat.add_xact('m', 100.0, 0, 1.0, 2.0, 3.0, 0.0, 0.0, ' ');
  stat.reset();
  stat._t0 = 100.0;
  stat.add_xact('n', 100.0, 0, 1.5e-3, 2.5e-3, 0.0, 0.0, 0.0, ' ');
  stat.add_xact('-', 100.0, 0, 0.0, 0.0, 0.0, 0.0, 0.0, ' ');
  stat.add_xact('n', 100.0, 0, 1.5e-3, 2.5e-3, 1e-4, 0.0, 0.0, ' ');
  stat._e2e = 1.25e-2;
  const auto rows = dump_bodies(stat, 0, "sum");
  ASSERT_EQ(rows.size(), 9u);
  EXPECT_EQ(rows[7], pad("sum", 24) + " |      *sum =   " + pad("5.000e-03", 16) +
                         "  3.000e-03  1.000e-04  *e2e = 1.250e-02");
}

TEST(StatDump, LongNameOverflowsItsField) {
  qor_stat stat = fixed_origin();
  add_plain(stat, 'm', 0);
  const std::string name = "a_name_longer_than_24_characters";
  const auto rows = dump_bodies(stat, 0, name);
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[5].substr(0, name.size() + 16), name + " |      *sum =  ");
}
