// Messages, the raising convention, checks of library results, trace lines,
// the option text and the group identifier text.
#include <gtest/gtest.h>
#include <mpi.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "qor_check.h"
#include "qor_exception.h"
#include "qor_message.h"
#include "qor_option.h"
#include "qor_test_support.h"
#include "qor_trace.h"
#include "qor_utilities.h"
#include "qor_watchdog.h"

namespace {

using qor_test::message_line;
using qor_test::run_child;
using qor_test::trace_summary;
using option_map = std::map<std::string, std::string>;

const std::string host = qor::host_name();

// What `body` raised, with QOR_DEBUG unset.
qor_test::raised_t raised(const std::function<void()>& body) {
  qor_test::scoped_env debug("QOR_DEBUG", nullptr);
  return qor_test::raised(body);
}

// The trace lines of a process that runs `body` and must end with status 1
// (at least one entry, so that the first can be read).
std::vector<std::string> exit_lines(const std::function<void()>& body) {
  const qor_test::child_result r = run_child([&] {
    body();
    return 0;
  });
  EXPECT_EQ(r.status, 1) << r.log;
  const std::vector<std::string> lines = trace_summary(r.log);
  return lines.empty() ? std::vector<std::string>{"(no trace line)"} : lines;
}

}  // namespace

TEST(Raising, LogsTheMessageThenThrowsItWithWhereAndWhy) {
  const int line = __LINE__ + 1;
  qor_test::raised_t r = raised([] { QOR_RAISE(6, qor_message::MSG_MPI, "hostB", 17, "bad things"); });
  const std::string text = "A MPI error has occurred on host hostB with return code '17':\nbad things";
  EXPECT_EQ(r.log, message_line(5, text));
  EXPECT_EQ(std::string(r.error.what()), text);
  EXPECT_EQ(std::make_tuple(r.error.file, r.error.line, r.error.status, r.error.id),
            std::make_tuple(std::string("test_common.cpp"), line, 6, 5));
  // Configuration errors carry their message id as status.
  r = raised([] { QOR_RAISE(14, qor_message::MSG_DIMENSIONS, 2, size_t{5}); });
  EXPECT_EQ(r.error.status, 14);
  EXPECT_EQ(r.log, message_line(14, "[MPI: 2] Unsupported number of dimensions '5'.\n"));
  r = raised([] { QOR_RAISE(6, 8, 1, 2); });
  EXPECT_EQ(r.log, message_line(1, "An unknown error has occurred.")) << "ids outside the table fall back to 1";
}

TEST(Raising, DebugPositionOnlyWhenQorDebugIsOne) {
  for (const char* value : {"1", "true", "0", "11"}) {
    qor_test::scoped_env debug("QOR_DEBUG", value);
    qor_test::stderr_capture capture;
    EXPECT_THROW(qor::raise("/some/dir/qor_sw.cpp", 935, 6, qor_message::MSG_QOR, "h"),
                 QORException);
    EXPECT_EQ(capture.take(), (std::strcmp(value, "1") == 0 ? "[QOR DEBUG] qor_sw.cpp:935" : "") +
                                  message_line(6, "A QOR error has occurred on host h."))
        << "QOR_DEBUG=" << value;
  }
}

// Each failing library call: its message, status 6 and the message id.
TEST(Checks, FailingCallsRaiseTheirMessageWithStatusSix) {
  const cudaError_t bad_device = cudaSetDevice(1 << 20);
  cudaGetLastError();
  const std::string not_running =
      std::to_string(MPI_ERR_COMM) + "':\nMPI error code " + std::to_string(MPI_ERR_COMM) +
      " (MPI is not running)";
  const std::vector<std::tuple<std::function<void()>, int, std::string>> cases = {
      {[] { QOR_CHECK_CUDA(cudaSetDevice(1 << 20)); }, 2,
       "A CUDA error has occurred on host " + host + ":\n" + cudaGetErrorString(bad_device)},
      {[] { QOR_CHECK_CUBLAS(CUBLAS_STATUS_EXECUTION_FAILED); }, 3,
       "A cuBLAS error has occurred on host " + host + ". Return code is 13."},
      {[] { QOR_CHECK_NCCL(ncclInvalidUsage); }, 4,
       "A NCCL error has occurred on host " + host + ":\n" + ncclGetErrorString(ncclInvalidUsage)},
      {[] { QOR_CHECK_MPI(MPI_ERR_COMM); }, 5,
       "A MPI error has occurred on host " + host + " with return code '" + not_running}};
  for (const auto& [call, id, text] : cases) {
    const qor_test::raised_t r = raised(call);
    EXPECT_EQ(r.log, message_line(id, text));
    EXPECT_EQ(std::make_pair(r.error.status, r.error.id), std::make_pair(6, id));
  }
}

TEST(TraceLines, FieldsAndWidths) {
  char head[64];
  std::snprintf(head, sizeof head, " %5d %d QOR:", getpid(), static_cast<int>(gettid()));
  for (const auto& [line, rank, tail] : std::vector<std::tuple<int, int, std::string>>{
           {869, 3, "QOR:869 ] [MPI:   3] TIMEOUT\n"}, {7, qor::no_rank, "QOR:7   ] TIMEOUT\n"},
           {12345, 12345, "QOR:12345] [MPI:12345] TIMEOUT\n"}}) {
    const std::string s = qor::format_trace_line('F', line, rank, "TIMEOUT");
    EXPECT_EQ(s.find(head), 14u) << "after the severity and HH:MM:SS.mmm: " << s;
    EXPECT_EQ(s.substr(s.find("QOR:")), tail);
  }
  qor_test::stderr_capture capture;
  QOR_TRACE_RANK('W', 2) << "max=" << 0.00123 << " n=" << 12;
  EXPECT_EQ(trace_summary(capture.take()), std::vector<std::string>{"W:2:max=1.230e-03 n=12"});
}

TEST(TraceLines, RankZeroFromItsLevelOthersFromSix) {
  // rank, dbg_level, rank 0's level, written
  const std::vector<std::tuple<int, int, int, bool>> cases = {
      {0, 1, 1, true}, {0, 0, 1, false}, {0, 1, 2, false}, {0, 2, 2, true},
      {3, 5, 1, false}, {3, 6, 1, true}, {3, 6, 2, true}};
  for (const auto& [rank, level, rank0, on] : cases)
    EXPECT_EQ(qor::trace_on(rank, level, rank0), on) << rank << " " << level << " " << rank0;
}

TEST(Options, EveryKeyWithItsDefaultThenTheItems) {
  const option_map defaults = parse_option("");
  const std::vector<std::pair<std::string, option_map>> cases = {
      {"-mode r:2x2 -dbg_level 1", {{"mode", "r:2x2"}, {"dbg_level", "1"}}},
      {"-pipe 2 -pipe    4   -omp 2  ", {{"pipe", "4"}, {"omp", "2"}}},
      {"-dbg_level  -comp_ratio 0.5", {{"dbg_level", ""}, {"comp_ratio", "0.5"}}},
      {"mode 24x2-", {{"mode", "24x2"}}},
      {"-mode r\tx -qor_group_id AB+/==", {{"mode", "r\tx"}, {"qor_group_id", "AB+/=="}}}};
  for (const auto& [text, changed] : cases) {
    option_map expected = defaults;
    for (const auto& [key, value] : changed) expected[key] = value;
    EXPECT_EQ(parse_option(text), expected) << text;
  }
}

TEST(Options, RefusedTextsEndTheProcess) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"   ", "E:-1:ill-formated option :[   ]"},
      {"-pipe 2 -dbg_level", "E:-1:ill-formated option :[-pipe 2 -dbg_level]"},
      {"-mode\tr", "E:-1:ill-formated option :[-mode\tr]"},
      {"-comp_min_size -1", "E:-1:ill-formated option :[-comp_min_size -1]"},
      {"-pipe 2 -mode  a  b ", "E:-1:invalid value \"a  b\" for -mode option "},
      {"-mode r -Pipe 2", "E:-1:invalid options : [Pipe]"}};
  for (const auto& [text, line] : cases)
    EXPECT_EQ(exit_lines([&] { parse_option(text); })[0], line) << text;
  // An unknown key is followed by the keys of the map in use.
  option_map mine = {{"pipe", "1"}, {"mode", "r"}};
  EXPECT_EQ(exit_lines([&] { parse_option("-pipe 2 -omp 1", mine); }),
            (std::vector<std::string>{"E:-1:invalid options : [omp]", "I:-1:valid options : mode pipe "}));
}

TEST(Watchdog, TimeOutFromTheOptionThenTheEnvironmentThenDefault) {
  for (const auto& [option, env, seconds] : std::vector<std::tuple<std::string, const char*, double>>{
           {"", nullptr, 1800}, {"", "", 1800}, {"", "5", 5}, {"7", "5", 7}, {"0", "5", 0}, {"2.5", "0", 2.5}})
    EXPECT_EQ(qor::watchdog::resolve_seconds(option, env), seconds) << option << " " << (env ? env : "unset");
  qor_test::stderr_capture capture;
  EXPECT_EQ(qor::watchdog::resolve_seconds("", "5s"), 1800);
  EXPECT_EQ(trace_summary(capture.take()),
            std::vector<std::string>{"W:-1:QOR_WATCHDOG_SEC=5s is not a number of seconds; the watchdog waits 1800 s"});
}

TEST(Watchdog, EndsTheProcessOnlyWhenOneCallOutlastsTheTimeOut) {
  const qor_test::child_result r = run_child([] {
    qor::watchdog::start(0.3, "test mode", 3);  // without MPI: the process ends itself
    for (int i = 0; i < 10; ++i) {
      const qor::watchdog::watched_call call("qor_bcast", 7, 2);
      usleep(100000);  // short calls, 1 s in all
    }
    qor::watchdog::call_started("qor_allreduce", 5, 1);
    qor::watchdog::engine_phase("allgather", 1, "RCS    ", 4, 2);
    qor::watchdog::engine_peer(3);
    usleep(2000000);
    return 0;
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(trace_summary(r.log), std::vector<std::string>{"E:3:qor_allreduce of 5 half elements (test mode) has not "
                                  "finished after 0.3 s: allgather of dimension 1 by RCS, waiting for rank 10; ending this process"});
}

TEST(GroupId, Base64BothWays) {
  const std::vector<std::pair<std::string, std::string>> rfc4648 = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, coded] : rfc4648) {
    EXPECT_EQ(encodeBase64(reinterpret_cast<const unsigned char*>(plain.data()), plain.size()), coded);
    const std::vector<unsigned char> back = decodeBase64(coded);
    EXPECT_EQ(std::string(back.begin(), back.end()), plain);
  }
  std::mt19937 random(7);
  for (size_t n = 0; n <= 130; ++n) {
    std::vector<unsigned char> bytes(n);
    for (auto& b : bytes) b = static_cast<unsigned char>(random());
    const std::string text = encodeBase64(bytes.data(), n);
    EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
    EXPECT_EQ(decodeBase64(text), bytes) << n << " bytes";
  }
}

TEST(GroupId, BytesTheTextDoesNotCoverAreZero) {
  const ncclUniqueId back = str_to_ncclId(std::string(168, 'A') + "Zg==");  // covers 127 bytes
  EXPECT_EQ(back.internal[126], 'f');
  EXPECT_EQ(back.internal[127], 0);
}

TEST(GroupId, MalformedTextsEndTheProcess) {
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[] { decodeBase64("abc"); }, "E:-1:Base64 data length not divisible by 4."},
      {[] { decodeBase64("ab!d"); }, "E:-1:Base64 data is invalid."},
      {[] { decodeBase64("Zm9\xe1"); }, "E:-1:Base64 data is invalid."},  // 0xe1 is no 'a'

      {[] { decodeBase64("Zm9vY==="); }, "E:-1:Base64 data is uneven."},
      {[] { str_to_ncclId(std::string(171, 'A')); }, "E:-1:NCCL ID needs to have 172 characters."},
      {[] { str_to_ncclId(std::string(176, 'A')); }, "E:-1:NCCL ID needs to have 172 characters."},
      {[] { get_nccl_datatype(static_cast<QOR_Type>(3)); }, "E:-1:Invalid QOR data type: 3."}};
  for (const auto& [call, line] : cases) EXPECT_EQ(exit_lines(call), std::vector<std::string>{line});
  EXPECT_EQ(std::vector<int>({get_nccl_datatype(QOR_FLOAT), get_nccl_datatype(QOR_HALF),
                              get_nccl_datatype(QOR_BYTE)}),
            std::vector<int>({ncclFloat, ncclHalf, ncclUint8}));
}
