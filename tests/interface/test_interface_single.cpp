// The C interface in one process: calls before qor_init, the error paths of
// qor_init, the group identifier, and MPI started on demand.  Each test case
// runs in a process of its own.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdlib>
#include <string>

#include "qor.h"
#include "qor_test_support.h"
#include "qor_utilities.h"

namespace {

const std::string not_initialized = "QOR is not initialized (call qor_init first)";

std::string valid_group_id() {
  char id[173];
  EXPECT_EQ(qor_generate_group_id(id), QOR_SUCCESS);
  return id;
}

TEST(BeforeInit, CallsNeedingStateFailWithAClearMessage) {
  float buf[4] = {1, 2, 3, 4};
  char* pieces[1] = {reinterpret_cast<char*>(buf)};
  size_t sizes[1] = {4};
  struct named_call {
    const char* name;
    QOR_Status status;
  };
  qor_test::stderr_capture capture;
  const named_call calls[] = {
      {"qor_allreduce", qor_allreduce(buf, 4, QOR_FLOAT, QOR_SUM)},
      {"qor_bcast", qor_bcast(buf, 4, QOR_FLOAT, 0)},
      {"qor_memcpy_host_to_device", qor_memcpy_host_to_device(buf, buf + 2, 8)},
      {"qor_memcpy_device_to_host", qor_memcpy_device_to_host(buf, buf + 2, 8)},
      {"qor_memcpy_gather", qor_memcpy_gather(reinterpret_cast<char*>(buf), pieces, sizes, 1)},
      {"qor_memcpy_scatter", qor_memcpy_scatter(pieces, sizes, 1, reinterpret_cast<char*>(buf))},
      {"qor_memsync", qor_memsync()},
  };
  double value = 5.0;
  QOR_Status key_status = qor_get_key_value(QOR_KEY_E2E, &value);
  std::string err = capture.take();
  for (const named_call& c : calls) {
    EXPECT_EQ(c.status, QOR_FAILURE) << c.name;
    EXPECT_NE(err.find(std::string(c.name) + ": " + not_initialized), std::string::npos) << c.name;
  }
  EXPECT_EQ(key_status, QOR_FAILURE);
  EXPECT_NE(err.find("qor_get_key_value: " + not_initialized), std::string::npos);
  EXPECT_EQ(value, 5.0);
  EXPECT_EQ(buf[0], 1.0f);
  EXPECT_EQ(buf[3], 4.0f);
  int mpi_started = 1;
  MPI_Initialized(&mpi_started);
  EXPECT_EQ(mpi_started, 0) << "none of these calls starts MPI";
}

TEST(BeforeInit, WaitWithNothingPendingReturnsAtOnce) {
  EXPECT_EQ(qor_wait(), QOR_SUCCESS);
  EXPECT_EQ(qor_thrinit, 0);
}

TEST(GroupId, IsBase64OfAFreshIdentifier) {
  std::string a = valid_group_id();
  std::string b = valid_group_id();
  ASSERT_EQ(a.size(), qor::group_id_length);
  EXPECT_NE(a, b);
  EXPECT_EQ(a[171], '=') << "128 bytes end in a group of two: one padding character";
  EXPECT_NE(a[170], '=');
  std::vector<unsigned char> bytes = decodeBase64(a);
  EXPECT_EQ(bytes.size(), 128u);
  EXPECT_EQ(encodeBase64(bytes.data(), bytes.size()), a);
}

TEST(GroupId, NullBufferFails) {
  qor_test::stderr_capture capture;
  EXPECT_EQ(qor_generate_group_id(nullptr), QOR_FAILURE);
  EXPECT_NE(capture.take().find("[ERROR QOR-1-10]"), std::string::npos);
}

TEST(InitErrors, NullOptionTextIsMessage10) {
  qor_test::stderr_capture capture;
  EXPECT_EQ(qor_init(nullptr), QOR_FAILURE);
  EXPECT_NE(capture.take().find("[ERROR QOR-1-10] An unknown error has occurred. Additional "
                                "information:\nqor_init: the option text is a null pointer\n"),
            std::string::npos);
}

TEST(InitErrors, NonNumericWorkerCountIsMessage10) {
  std::string options = "-qor_worker_count many -qor_worker_index 0 -qor_device_index 0 "
                        "-qor_group_id " + valid_group_id();
  qor_test::stderr_capture capture;
  EXPECT_EQ(qor_init(options.c_str()), QOR_FAILURE);
  EXPECT_EQ(capture.take(),
            "[ERROR QOR-1-10] An unknown error has occurred. Additional information:\nstoi\n");
  int mpi_started = 1;
  MPI_Initialized(&mpi_started);
  EXPECT_EQ(mpi_started, 0);
}

using InitErrorsDeathTest = testing::Test;

TEST_F(InitErrorsDeathTest, MissingMpilessKeysEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* texts[] = {
      "-qor_worker_count 2",
      "-qor_worker_count 2 -qor_worker_index 0 -qor_device_index 0",
      "-qor_worker_count 2 -qor_worker_index 0 -qor_group_id x",
  };
  for (const char* text : texts) {
    EXPECT_EXIT(qor_init(text), testing::ExitedWithCode(1),
                "^E .* QOR needs to be initialized with qor_worker_count, qor_worker_index, "
                "qor_device_index, and qor_group_id\\.\n$")
        << text;
  }
}

TEST_F(InitErrorsDeathTest, GroupIdOfTheWrongLengthEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string id = valid_group_id();
  for (const std::string& bad : {id.substr(1), id + "A"}) {
    std::string options =
        "-qor_worker_count 1 -qor_worker_index 0 -qor_device_index 0 -qor_group_id " + bad;
    EXPECT_EXIT(qor_init(options.c_str()), testing::ExitedWithCode(1),
                "NCCL ID needs to have 172 characters\\.\n$");
  }
}

// A hardware layer that cannot be built makes qor_init return 1 and leaves
// no layer behind; the error line names the option and its value.
TEST(InitErrors, LegacyEngineModeWithAnUnusableAlignmentFails) {
  for (const char* value : {"0", "abc"}) {
    std::string options = std::string("-qor_legacy_allreduce 1 -cpu_only 1 -align_part ") + value;
    qor_test::stderr_capture capture;
    EXPECT_EQ(qor_init(options.c_str()), QOR_FAILURE) << value;
    std::string err = capture.take();
    EXPECT_NE(err.find("-align_part"), std::string::npos) << err;
    EXPECT_NE(err.find(std::string("\"") + value + "\""), std::string::npos) << err;
    float x = 0.0f;
    EXPECT_EQ(qor_memsync(), QOR_FAILURE) << "no layer may be left behind";
    EXPECT_EQ(qor_bcast(&x, 1, QOR_FLOAT, 0), QOR_FAILURE);
  }
  EXPECT_EQ(qor_init("-qor_legacy_allreduce 1 -cpu_only 1"), QOR_SUCCESS);
  EXPECT_EQ(qor_finalize(), QOR_SUCCESS);
}

// Without a usable GPU, qor_init in the default mode fails where it selects
// the device, with the CUDA runtime's own text.
TEST(InitErrors, DefaultModeWithoutGpuIsMessage2) {
#if QOR_GPU_EMULATED
  setenv("QOR_EMU_DEVICE_COUNT", "0", 1);
#else
  if (qor_test::device_available()) GTEST_SKIP() << "this machine has a GPU";
#endif
  qor_test::stderr_capture capture;
  EXPECT_EQ(qor_init(""), QOR_FAILURE);
  std::string err = capture.take();
  EXPECT_NE(err.find("[ERROR QOR-1-2] A CUDA error has occurred on host "), std::string::npos)
      << err;
  EXPECT_NE(err.find(":\nCUDA driver version is insufficient for CUDA runtime version\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(qor_finalize(), QOR_SUCCESS);
}

TEST(MpiOnDemand, RankBeforeInitStartsMpiAndFinalizeEndsIt) {
  int rank = -1;
  int size = 0;
  ASSERT_EQ(qor_rank(&rank), QOR_SUCCESS);
  ASSERT_EQ(qor_size(&size), QOR_SUCCESS);
  EXPECT_EQ(rank, 0);
  EXPECT_EQ(size, 1);
  int local_rank = -1;
  int local_size = 0;
  EXPECT_EQ(qor_local_rank(&local_rank), QOR_SUCCESS);
  EXPECT_EQ(qor_local_size(&local_size), QOR_SUCCESS);
  EXPECT_EQ(local_rank, 0);
  EXPECT_EQ(local_size, 1);
  ASSERT_EQ(qor_finalize(), QOR_SUCCESS);
  int finalized = 0;
  MPI_Finalized(&finalized);
  EXPECT_EQ(finalized, 1);
  // MPI cannot start again: the query fails instead of aborting the process.
  qor_test::stderr_capture capture;
  EXPECT_EQ(qor_rank(&rank), QOR_FAILURE);
  EXPECT_NE(capture.take().find("MPI has been finalized"), std::string::npos);
  EXPECT_EQ(qor_finalize(), QOR_SUCCESS) << "a second finalize has nothing left to do";
}

}  // namespace
