// The option text: default table, item grammar and the errors that end the
// process.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "qor_option.h"
#include "qor_test_support.h"

namespace {

using option_map = std::map<std::string, std::string>;

// Written out by hand, not taken from the library: the table every caller
// relies on.
const option_map& default_options() {
  static const option_map table = {
      {"align_part", "8"},        {"comm_iter", "0"},
      {"comp_clipping", "1.0"},   {"comp_g_scale", "100.0"},
      {"comp_l_scale", "0.000001"}, {"comp_min_size", "-1"},
      {"comp_n_scale", "3.0"},    {"comp_ratio", "0.9"},
      {"comp_residue", "1"},      {"comp_rmse_iter", "-1"},
      {"comp_thold", "0.0"},      {"cpu_only", "0"},
      {"cross_node_nccl", "1"},   {"dbg_level", "0"},
      {"dev_sync", "0"},          {"dump_grad_path", ""},
      {"dump_iter", "0"},         {"fuse_dim", "0"},
      {"jitter_thold", "0.5"},    {"mode", "r"},
      {"mon_iter", "0"},          {"mpi_inplace", "0"},
      {"mpi_mode", "1"},          {"omp", "1"},
      {"pack", "0.0"},            {"pipe", "1"},
      {"pipe_thold", "0"},        {"qor_device_index", ""},
      {"qor_group_id", ""},       {"qor_legacy_allreduce", "0"},
      {"qor_worker_count", ""},   {"qor_worker_index", ""},
      {"rebind_iter", "0"},       {"share_algo", "0"},
  };
  return table;
}

const char* const all_keys_sorted =
    "align_part comm_iter comp_clipping comp_g_scale comp_l_scale comp_min_size "
    "comp_n_scale comp_ratio comp_residue comp_rmse_iter comp_thold cpu_only "
    "cross_node_nccl dbg_level dev_sync dump_grad_path dump_iter fuse_dim jitter_thold "
    "mode mon_iter mpi_inplace mpi_mode omp pack pipe pipe_thold qor_device_index "
    "qor_group_id qor_legacy_allreduce qor_worker_count qor_worker_index rebind_iter "
    "share_algo ";

// A literal text as a POSIX extended regular expression.
std::string escape_regex(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::string(".[]()*+?{}|^$\\").find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

// One whole trace line without rank field: "<S> HH:MM:SS.mmm <pid> <tid>
// QOR:<line>] <text>\n".
std::string trace_regex(char severity, const std::string& text) {
  return std::string(1, severity) +
         " [0-2][0-9]:[0-5][0-9]:[0-6][0-9][.][0-9]{3} +[0-9]+ [0-9]+ QOR:[0-9]+ *\\] " +
         escape_regex(text) + "\n";
}

// The complete standard error of a process that ends after these lines.
std::string only_lines(const std::vector<std::pair<char, std::string>>& lines) {
  std::string re = "^";
  for (const auto& line : lines) re += trace_regex(line.first, line.second);
  return re + "$";
}

}  // namespace

TEST(OptionDefaults, TableHasTheThirtyFourKeysWithTheirDefaults) {
  const option_map options = parse_option("");
  EXPECT_EQ(options.size(), 34u);
  EXPECT_EQ(options, default_options());
}

TEST(OptionDefaults, EachCallStartsFromTheDefaults) {
  EXPECT_EQ(parse_option("-pipe 4").at("pipe"), "4");
  EXPECT_EQ(parse_option("").at("pipe"), "1");
}

TEST(OptionDefaults, ValidTextWritesNothing) {
  qor_test::stderr_capture capture;
  parse_option("-mode r -dbg_level 1");
  EXPECT_EQ(capture.take(), "");
}

struct accepted_case {
  const char* name;
  std::string text;
  option_map changed;  // keys whose values differ from the defaults
};

void PrintTo(const accepted_case& c, std::ostream* os) { *os << c.name; }

class OptionAccepted : public testing::TestWithParam<accepted_case> {};

TEST_P(OptionAccepted, SetsExactlyTheGivenValues) {
  option_map expected = default_options();
  for (const auto& entry : GetParam().changed) expected[entry.first] = entry.second;
  EXPECT_EQ(parse_option(GetParam().text), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, OptionAccepted,
    testing::Values(
        accepted_case{"Empty", "", {}},
        accepted_case{"TwoItems", "-mode r -dbg_level 1", {{"mode", "r"}, {"dbg_level", "1"}}},
        accepted_case{"LastItemWins", "-pipe 2 -pipe 4", {{"pipe", "4"}}},
        accepted_case{"BlankAndNothingSetsEmpty", "-dbg_level ", {{"dbg_level", ""}}},
        accepted_case{"BlanksOnlyValueSetsEmpty", "-mode    ", {{"mode", ""}}},
        accepted_case{"EmptyReplacesDefault", "-comp_ratio  -pipe 3",
                      {{"comp_ratio", ""}, {"pipe", "3"}}},
        accepted_case{"SurroundingBlanksTrimmed", "-pipe    4   -omp 2  ",
                      {{"pipe", "4"}, {"omp", "2"}}},
        accepted_case{"DoubleDashIsAnEmptyPiece", "--mode x", {{"mode", "x"}}},
        accepted_case{"TrailingDash", "-mode x-", {{"mode", "x"}}},
        accepted_case{"NoLeadingDash", "mode 24x2", {{"mode", "24x2"}}},
        accepted_case{"TabInsideValueIsOrdinary", "-mode r\tx", {{"mode", "r\tx"}}},
        accepted_case{"LeadingTabIsPartOfValue", "-mode \tr", {{"mode", "\tr"}}},
        accepted_case{"TextValues", "-dump_grad_path /tmp/grads -pack 0.5 -qor_group_id AB+/==",
                      {{"dump_grad_path", "/tmp/grads"}, {"pack", "0.5"},
                       {"qor_group_id", "AB+/=="}}},
        accepted_case{"MpiLessKeys",
                      "-qor_worker_count 4 -qor_worker_index 2 -qor_device_index 1",
                      {{"qor_worker_count", "4"}, {"qor_worker_index", "2"},
                       {"qor_device_index", "1"}}}),
    [](const testing::TestParamInfo<accepted_case>& info) { return std::string(info.param.name); });

TEST(OptionMap, OnlyKeysOfTheGivenMapAreChanged) {
  option_map options = {{"mon_iter", "0"}, {"pipe", "1"}};
  parse_option("-pipe 8", options);
  EXPECT_EQ(options, (option_map{{"mon_iter", "0"}, {"pipe", "8"}}));
  parse_option("", options);
  EXPECT_EQ(options, (option_map{{"mon_iter", "0"}, {"pipe", "8"}}));
}

class OptionDeathTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

struct rejected_case {
  const char* name;
  std::string text;
  std::vector<std::pair<char, std::string>> lines;  // the whole standard error
};

void PrintTo(const rejected_case& c, std::ostream* os) { *os << c.name; }

class OptionRejectedDeathTest : public testing::TestWithParam<rejected_case> {
 protected:
  static void SetUpTestSuite() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_P(OptionRejectedDeathTest, WritesTheErrorAndExitsWithStatusOne) {
  const rejected_case& c = GetParam();
  EXPECT_EXIT(parse_option(c.text), testing::ExitedWithCode(1), only_lines(c.lines));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, OptionRejectedDeathTest,
    testing::Values(
        rejected_case{"ThreeBlanks", "   ", {{'E', "ill-formated option :[   ]"}}},
        rejected_case{"BlankBeforeFirstDash", " -mode r", {{'E', "ill-formated option :[ -mode r]"}}},
        rejected_case{"KeyWithoutBlank", "-dbg_level", {{'E', "ill-formated option :[-dbg_level]"}}},
        rejected_case{"BlankRightAfterDash", "-mode r - pipe 2",
                      {{'E', "ill-formated option :[-mode r - pipe 2]"}}},
        rejected_case{"TabIsNoSeparator", "-mode\tr", {{'E', "ill-formated option :[-mode\tr]"}}},
        rejected_case{"NegativeNumber", "-comp_min_size -1",
                      {{'E', "ill-formated option :[-comp_min_size -1]"}}},
        rejected_case{"DashInsideValue", "-dump_grad_path /tmp/a-b",
                      {{'E', "ill-formated option :[-dump_grad_path /tmp/a-b]"}}},
        rejected_case{"ValueWithBlank", "-mode r x",
                      {{'E', "invalid value \"r x\" for -mode option "}}},
        rejected_case{"ValueWithBlanksAfterGoodItem", "-pipe 2 -mode  a  b ",
                      {{'E', "invalid value \"a  b\" for -mode option "}}},
        rejected_case{"UnknownKey", "-foo 1",
                      {{'E', "invalid options : [foo]"}, {'I', std::string("valid options : ") + all_keys_sorted}}},
        rejected_case{"KeysAreCaseSensitive", "-mode r -Pipe 2",
                      {{'E', "invalid options : [Pipe]"}, {'I', std::string("valid options : ") + all_keys_sorted}}},
        rejected_case{"UnknownKeyWithEmptyValue", "-x ",
                      {{'E', "invalid options : [x]"}, {'I', std::string("valid options : ") + all_keys_sorted}}}),
    [](const testing::TestParamInfo<rejected_case>& info) { return std::string(info.param.name); });

TEST_F(OptionDeathTest, ValidKeysAreThoseOfTheGivenMap) {
  option_map options = {{"pipe", "1"}, {"dbg_level", "0"}, {"mode", "r"}};
  EXPECT_EXIT(parse_option("-pipe 2 -omp 1", options), testing::ExitedWithCode(1),
              only_lines({{'E', "invalid options : [omp]"},
                          {'I', "valid options : dbg_level mode pipe "}}));
}

TEST_F(OptionDeathTest, EmptyMapAcceptsNoKey) {
  option_map options;
  EXPECT_EXIT(parse_option("-mode r", options), testing::ExitedWithCode(1),
              only_lines({{'E', "invalid options : [mode]"}, {'I', "valid options : "}}));
}

TEST_F(OptionDeathTest, ErrorAfterGoodItemsStillEnds) {
  // Items before the bad one are applied, but the process ends anyway.
  EXPECT_EXIT(parse_option("-pipe 2 -dbg_level 1 -pipe"), testing::ExitedWithCode(1),
              only_lines({{'E', "ill-formated option :[-pipe 2 -dbg_level 1 -pipe]"}}));
}
