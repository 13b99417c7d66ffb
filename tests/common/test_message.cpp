// Message table, prefix and logger: exact texts on standard error.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "qor_message.h"
#include "qor_test_support.h"

using namespace qor_message;

namespace {

// Runs log_message_ with the given arguments and returns what reached stderr.
template <class... Args>
std::string logged(Message_Id id, Args... args) {
  qor_test::stderr_capture capture;
  log_message_("file.cpp", 42, SEVERITY_ERROR, id, args...);
  return capture.take();
}

class QorDebugUnset : public testing::Test {
 protected:
  void SetUp() override { unsetenv("QOR_DEBUG"); }
  void TearDown() override { unsetenv("QOR_DEBUG"); }
};

}  // namespace

TEST(ErrorPrefix, JoinsSeverityNameAndId) {
  EXPECT_EQ(get_error_prefix(SEVERITY_ERROR, MSG_MPI), "[ERROR QOR-1-5] ");
  EXPECT_EQ(get_error_prefix(SEVERITY_WARN, MSG_PARAM_CONFLICT), "[WARN QOR-1-12] ");
  EXPECT_EQ(get_error_prefix(SEVERITY_ERROR, static_cast<Message_Id>(123)), "[ERROR QOR-1-123] ");
}

TEST(ErrorPrefix, UnknownSeverityIsOutOfRange) {
  EXPECT_THROW(get_error_prefix(static_cast<Message_Severity>(3), MSG_MPI), std::out_of_range);
}

TEST(MessageTable, HoldsExactlyTheNumberedMessages) {
  for (int id = 0; id <= 20; ++id) {
    bool expected = (id >= 1 && id <= 18 && id != 8);
    EXPECT_EQ(Messages.count(id) == 1, expected) << "id " << id;
  }
  EXPECT_EQ(Severity.size(), 2u);
}

struct formatted_case {
  Message_Id id;
  std::string expected;  // without the prefix and the logger's line end
};

class MessageTexts : public QorDebugUnset, public testing::WithParamInterface<formatted_case> {};

TEST_P(MessageTexts, FormatWithPositionalArguments) {
  const formatted_case& c = GetParam();
  std::string out;
  switch (c.id) {
    case MSG_UNKNOWN: out = logged(c.id); break;
    case MSG_CUDA: out = logged(c.id, "node7", "out of memory"); break;
    case MSG_CUBLAS: out = logged(c.id, "node7", 13); break;
    case MSG_NCCL: out = logged(c.id, "node7", "invalid usage"); break;
    case MSG_MPI: out = logged(c.id, "node7", 5, "MPI_ERR_COMM: invalid communicator"); break;
    case MSG_QOR: out = logged(c.id, "node7"); break;
    case MSG_PCI_MAPPING: out = logged(c.id, 2); break;
    case MSG_MULTI_GPU: out = logged(c.id, "node7", 1, 0); break;
    case MSG_UNKNOWN_DETAIL: out = logged(c.id, "stoi"); break;
    case MSG_PIPE_UNSUPPORTED: out = logged(c.id, 1, "RING   ", 0); break;
    case MSG_PARAM_CONFLICT: out = logged(c.id, 0, "-pipe", "2", "-cpu_only", "1"); break;
    case MSG_TOPOLOGY: out = logged(c.id, 3, "2x3", 8); break;
    case MSG_DIMENSIONS: out = logged(c.id, 0, size_t{5}); break;
    case MSG_PARTITION: out = logged(c.id, 4); break;
    case MSG_NO_GPU: out = logged(c.id, 1, "-cpu_only", "0"); break;
    case MSG_UNKNOWN_ALGO: out = logged(c.id, 0, 'x'); break;
    case MSG_HALF_MPI: out = logged(c.id, 6); break;
  }
  EXPECT_EQ(out, get_error_prefix(SEVERITY_ERROR, c.id) + c.expected + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    AllIds, MessageTexts,
    testing::Values(
        formatted_case{MSG_UNKNOWN, "An unknown error has occurred."},
        formatted_case{MSG_CUDA, "A CUDA error has occurred on host node7:\nout of memory"},
        formatted_case{MSG_CUBLAS, "A cuBLAS error has occurred on host node7. Return code is 13."},
        formatted_case{MSG_NCCL, "A NCCL error has occurred on host node7:\ninvalid usage"},
        formatted_case{MSG_MPI,
                       "A MPI error has occurred on host node7 with return code '5':\n"
                       "MPI_ERR_COMM: invalid communicator"},
        formatted_case{MSG_QOR, "A QOR error has occurred on host node7."},
        formatted_case{MSG_PCI_MAPPING, "[MPI: 2] Device to PCI mapping is not sequential."},
        formatted_case{MSG_MULTI_GPU,
                       "QOR does not support using more than one GPU per process. GPUs 1 and 0 "
                       "were used inside the same process on host node7."},
        formatted_case{MSG_UNKNOWN_DETAIL,
                       "An unknown error has occurred. Additional information:\nstoi"},
        formatted_case{MSG_PIPE_UNSUPPORTED,
                       "[MPI: 1] Pipelining does not support 'RING   ' at dimension '0'.\n"},
        formatted_case{MSG_PARAM_CONFLICT,
                       "[MPI: 0] Parameter '-pipe 2' cannot be used with parameter "
                       "'-cpu_only 1'.\n"},
        formatted_case{MSG_TOPOLOGY,
                       "[MPI: 3] User specified topology '2x3' is incompatible with the specified "
                       "number of processes '8'.\n"},
        formatted_case{MSG_DIMENSIONS, "[MPI: 0] Unsupported number of dimensions '5'.\n"},
        formatted_case{MSG_PARTITION, "[MPI: 4] Invalid partitioning.\n"},
        formatted_case{MSG_NO_GPU,
                       "[MPI: 1] Parameter '-cpu_only 0' being used, but no GPU devices are "
                       "detected.\n"},
        formatted_case{MSG_UNKNOWN_ALGO, "[MPI: 0] Unknown algorithm selected 'x'.\n"},
        formatted_case{MSG_HALF_MPI,
                       "[MPI: 6] Mode 'm' does not currently support half-precision floating "
                       "point."}));

TEST_F(QorDebugUnset, UnknownIdFallsBackToMessageOne) {
  for (int id : {0, 8, 20}) {
    EXPECT_EQ(logged(static_cast<Message_Id>(id), 1, 2, 3),
              "[ERROR QOR-1-1] An unknown error has occurred.\n")
        << "id " << id;
  }
}

TEST_F(QorDebugUnset, Message13EndsWithTwoLineEnds) {
  std::string out = logged(MSG_TOPOLOGY, 3, "2x3", 8);
  ASSERT_GE(out.size(), 2u);
  EXPECT_EQ(out.substr(out.size() - 2), "\n\n");
  EXPECT_EQ(out.rfind("[ERROR QOR-1-13] [MPI: 3] User specified topology '2x3'", 0), 0u);
}

TEST_F(QorDebugUnset, DebugPrefixOnlyForExactlyOne) {
  const std::string plain = "[ERROR QOR-1-6] A QOR error has occurred on host h.\n";
  EXPECT_EQ(logged(MSG_QOR, "h"), plain);
  for (const char* value : {"1 ", "true", "0", "", "11"}) {
    setenv("QOR_DEBUG", value, 1);
    EXPECT_EQ(logged(MSG_QOR, "h"), plain) << "QOR_DEBUG='" << value << "'";
  }
  setenv("QOR_DEBUG", "1", 1);
  EXPECT_EQ(logged(MSG_QOR, "h"), "[QOR DEBUG] file.cpp:42" + plain);
}

TEST_F(QorDebugUnset, WarnSeverityUsesWarnPrefix) {
  qor_test::stderr_capture capture;
  log_message_("f.cpp", 1, SEVERITY_WARN, MSG_QOR, "h");
  EXPECT_EQ(capture.take(), "[WARN QOR-1-6] A QOR error has occurred on host h.\n");
}
