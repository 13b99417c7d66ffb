// Construction with "-cpu_only 0" where no GPU is usable, under mpiexec.
// A program of its own: on a machine with a GPU (cuda flavour) these cases
// are skipped, and that must not hide the results of the other suites.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "hw_test_support.h"
#include "qor_hw.h"
#include "qor_message.h"
#include "qor_test_support.h"

namespace {

using hw_test::build_failure;
using hw_test::options;

class NoGpu : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("QOR_DEBUG");
    rank_ = hw_test::world_rank();
    comms_before_ = hw_test::live_comms();
#ifdef QOR_GPU_EMULATED
    const char* saved = std::getenv("QOR_EMU_DEVICE_COUNT");
    had_count_ = saved != nullptr;
    if (had_count_) saved_count_ = saved;
    setenv("QOR_EMU_DEVICE_COUNT", "0", 1);
#else
    if (qor_test::device_available()) GTEST_SKIP() << "a GPU is usable on this machine";
#endif
  }
  void TearDown() override {
#ifdef QOR_GPU_EMULATED
    if (had_count_) {
      setenv("QOR_EMU_DEVICE_COUNT", saved_count_.c_str(), 1);
    } else {
      unsetenv("QOR_EMU_DEVICE_COUNT");
    }
#endif
    EXPECT_EQ(hw_test::live_comms(), comms_before_);
  }
  std::string rank_text() const { return std::to_string(rank_); }
  int rank_ = 0;
  long comms_before_ = 0;
  bool had_count_ = false;
  std::string saved_count_;
};

TEST_F(NoGpu, DefaultsGiveMessageSixteen) {
  auto f = build_failure(options(""));
  ASSERT_TRUE(f.threw_qor) << f.log;
  EXPECT_EQ(f.status, 16);
  EXPECT_EQ(f.id, qor_message::MSG_NO_GPU);
  const std::string body = "[MPI: " + rank_text() +
                           "] Parameter '-cpu_only 0' being used, but no GPU devices are detected.\n";
  EXPECT_EQ(f.what, body);
  EXPECT_NE(f.log.find(hw_test::message_line(16, body)), std::string::npos) << f.log;
}

TEST_F(NoGpu, PipeConflictComesFirst) {
  auto f = build_failure(options("-pipe 2"));
  ASSERT_TRUE(f.threw_qor) << f.log;
  EXPECT_EQ(f.status, 12);
  EXPECT_EQ(f.what, "[MPI: " + rank_text() +
                        "] Parameter '-pipe 2' cannot be used with parameter '-cpu_only 0'.\n");
  EXPECT_EQ(f.log.find("QOR-1-16"), std::string::npos) << f.log;
}

TEST_F(NoGpu, EveryHostModeConflictNamesCpuOnlyZero) {
  const std::pair<const char*, const char*> cases[] = {{"-pack 0.5", "-pack 0.5"},
                                                       {"-comp_min_size 5", "-comp_min_size 5"},
                                                       {"-pack 2 -comp_min_size 5", "-pack 2"}};
  for (const auto& [text, named] : cases) {
    SCOPED_TRACE(text);
    auto f = build_failure(options(text));
    ASSERT_TRUE(f.threw_qor) << f.log;
    EXPECT_EQ(f.status, 12);
    EXPECT_EQ(f.what, "[MPI: " + rank_text() + "] Parameter '" + named +
                          "' cannot be used with parameter '-cpu_only 0'.\n");
  }
}

}  // namespace
