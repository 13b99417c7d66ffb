// Checks of CUDA, cuBLAS, NCCL and MPI results: numbered message, status 6.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "qor_check.h"
#include "qor_exception.h"
#include "qor_test_support.h"

namespace {

class Checks : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("QOR_DEBUG");
    cudaGetLastError();
  }
};

// Runs `body`, expects a QORException, returns (logged text, exception).
template <class F>
std::pair<std::string, QORException> raised(F body) {
  qor_test::stderr_capture capture;
  try {
    body();
  } catch (const QORException& e) {
    return {capture.take(), e};
  }
  ADD_FAILURE() << "no exception";
  return {capture.take(), QORException("none", 0, 0, 1)};
}

// An ordinal no machine has: fails with or without a driver.
constexpr int bad_device = 1 << 20;

}  // namespace

TEST_F(Checks, CudaFailureLogsLastErrorText) {
  cudaError_t expected = cudaSetDevice(bad_device);
  ASSERT_NE(expected, cudaSuccess);
  cudaGetLastError();
  auto [log, e] = raised([] { QOR_CHECK_CUDA(cudaSetDevice(bad_device)); });
  std::string text = "A CUDA error has occurred on host " + qor::host_name() + ":\n" +
                     cudaGetErrorString(expected);
  EXPECT_EQ(log, "[ERROR QOR-1-2] " + text + "\n");
  EXPECT_EQ(e.message, text);
  EXPECT_EQ(e.status, 6);
  EXPECT_EQ(e.id, 2);
  EXPECT_EQ(e.file, "test_check.cpp");
}

TEST_F(Checks, CudaSuccessPassesThrough) { EXPECT_NO_THROW(QOR_CHECK_CUDA(cudaSuccess)); }

TEST_F(Checks, CublasFailureCarriesStatusNumber) {
  auto [log, e] = raised([] { QOR_CHECK_CUBLAS(CUBLAS_STATUS_EXECUTION_FAILED); });
  std::string text =
      "A cuBLAS error has occurred on host " + qor::host_name() + ". Return code is 13.";
  EXPECT_EQ(log, "[ERROR QOR-1-3] " + text + "\n");
  EXPECT_EQ(e.status, 6);
  EXPECT_EQ(e.id, 3);
}

TEST_F(Checks, NcclFailureCarriesErrorString) {
  auto [log, e] = raised([] { QOR_CHECK_NCCL(ncclInvalidUsage); });
  std::string text = "A NCCL error has occurred on host " + qor::host_name() + ":\n" +
                     ncclGetErrorString(ncclInvalidUsage);
  EXPECT_EQ(log, "[ERROR QOR-1-4] " + text + "\n");
  EXPECT_EQ(e.message, text);
  EXPECT_EQ(e.status, 6);
}

TEST_F(Checks, MpiFailureWithoutRunningMpiStillNamesTheCode) {
  auto [log, e] = raised([] { QOR_CHECK_MPI(MPI_ERR_COMM); });
  std::string text = "A MPI error has occurred on host " + qor::host_name() +
                     " with return code '" + std::to_string(MPI_ERR_COMM) + "':\nMPI error code " +
                     std::to_string(MPI_ERR_COMM) + " (MPI is not running)";
  EXPECT_EQ(log, "[ERROR QOR-1-5] " + text + "\n");
  EXPECT_EQ(e.status, 6);
}

TEST_F(Checks, MpiFailureCarriesCodeAndErrorString) {
  MPI_Init(nullptr, nullptr);
  char expected[MPI_MAX_ERROR_STRING] = {0};
  int length = 0;
  MPI_Error_string(MPI_ERR_COMM, expected, &length);
  auto [log, e] = raised([] { QOR_CHECK_MPI(MPI_ERR_COMM); });
  std::string text = "A MPI error has occurred on host " + qor::host_name() +
                     " with return code '" + std::to_string(MPI_ERR_COMM) + "':\n" + expected;
  EXPECT_EQ(log, "[ERROR QOR-1-5] " + text + "\n");
  EXPECT_EQ(e.message, text);
  EXPECT_EQ(e.status, 6);
  EXPECT_EQ(e.id, 5);
  MPI_Finalize();
}

TEST_F(Checks, EachCallIsEvaluatedOnce) {
  int calls = 0;
  auto ok = [&calls] {
    ++calls;
    return MPI_SUCCESS;
  };
  QOR_CHECK_MPI(ok());
  EXPECT_EQ(calls, 1);
}
