// QORException and the log-then-throw convention.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <exception>
#include <string>

#include "qor_exception.h"
#include "qor_message.h"
#include "qor_test_support.h"

namespace {

class Raising : public testing::Test {
 protected:
  void SetUp() override { unsetenv("QOR_DEBUG"); }
};

}  // namespace

TEST(QORExceptionFields, CarryWhereWhatAndWhy) {
  QORException e("qor_hw.cpp", 77, 13, qor_message::MSG_TOPOLOGY, 3, "2x3", 8);
  EXPECT_EQ(e.file, "qor_hw.cpp");
  EXPECT_EQ(e.line, 77);
  EXPECT_EQ(e.status, 13);
  EXPECT_EQ(e.id, 13);
  EXPECT_EQ(e.message,
            "[MPI: 3] User specified topology '2x3' is incompatible with the specified number of "
            "processes '8'.\n");
  EXPECT_STREQ(e.what(), e.message.c_str());
}

TEST(QORExceptionFields, UnknownIdGivesMessageOneUnformatted) {
  for (int id : {0, 8, 19, 20}) {
    QORException e("f.cpp", 1, 6, id, "ignored", 5);
    EXPECT_STREQ(e.what(), "An unknown error has occurred.") << "id " << id;
    EXPECT_EQ(e.id, id);
  }
}

TEST(QORExceptionFields, CaughtAsStandardException) {
  try {
    throw QORException("f.cpp", 1, 6, qor_message::MSG_QOR, "hostA");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "A QOR error has occurred on host hostA.");
    return;
  }
  FAIL() << "not caught";
}

TEST(QORExceptionFields, CreateMessageFormatsPositionalArguments) {
  auto format = [](const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string s = QORException::create_message(fmt, args);
    va_end(args);
    return s;
  };
  EXPECT_EQ(format("%2$s-%1$d", 7, "x"), "x-7");
  EXPECT_EQ(format("plain"), "plain");
}

TEST_F(Raising, LogsThenThrowsWithTheSameText) {
  qor_test::stderr_capture capture;
  int raise_line = 0;
  try {
    raise_line = __LINE__ + 1;
    QOR_RAISE(qor::library_failure_status, qor_message::MSG_MPI, "hostB", 17, "bad things");
  } catch (const QORException& e) {
    std::string err = capture.take();
    EXPECT_EQ(err,
              "[ERROR QOR-1-5] A MPI error has occurred on host hostB with return code '17':\n"
              "bad things\n");
    EXPECT_EQ(e.message, "A MPI error has occurred on host hostB with return code '17':\nbad things");
    EXPECT_EQ(e.file, "test_exception.cpp");
    EXPECT_EQ(e.line, raise_line);
    EXPECT_EQ(e.status, 6);
    EXPECT_EQ(e.id, 5);
    return;
  }
  FAIL() << "QOR_RAISE returned";
}

TEST_F(Raising, ConfigurationErrorsCarryTheirIdAsStatus) {
  qor_test::stderr_capture capture;
  try {
    QOR_RAISE(qor_message::MSG_DIMENSIONS, qor_message::MSG_DIMENSIONS, 2, size_t{5});
  } catch (const QORException& e) {
    EXPECT_EQ(e.status, 14);
    EXPECT_EQ(e.message, "[MPI: 2] Unsupported number of dimensions '5'.\n");
    EXPECT_EQ(capture.take(), "[ERROR QOR-1-14] [MPI: 2] Unsupported number of dimensions '5'.\n\n");
    return;
  }
  FAIL() << "QOR_RAISE returned";
}

TEST_F(Raising, DebugPrefixNamesFileWithoutDirectory) {
  setenv("QOR_DEBUG", "1", 1);
  qor_test::stderr_capture capture;
  EXPECT_THROW(qor::raise("/some/dir/qor_sw.cpp", 935, 6, qor_message::MSG_QOR, "h"),
               QORException);
  unsetenv("QOR_DEBUG");
  EXPECT_EQ(capture.take(),
            "[QOR DEBUG] qor_sw.cpp:935[ERROR QOR-1-6] A QOR error has occurred on host h.\n");
}

TEST_F(Raising, LogErrorDoesNotThrow) {
  qor_test::stderr_capture capture;
  EXPECT_NO_THROW(QOR_LOG_ERROR(qor_message::MSG_UNKNOWN_ALGO, 1, 'q'));
  EXPECT_EQ(capture.take(), "[ERROR QOR-1-17] [MPI: 1] Unknown algorithm selected 'q'.\n\n");
}

TEST(HostName, MatchesGethostname) {
  char name[128] = {0};
  gethostname(name, sizeof name);
  EXPECT_EQ(qor::host_name(), std::string(name));
  EXPECT_FALSE(qor::host_name().empty());
}

TEST(BaseName, DropsDirectories) {
  EXPECT_EQ(qor::base_name("/a/b/c.cpp"), "c.cpp");
  EXPECT_EQ(qor::base_name("c.cpp"), "c.cpp");
  EXPECT_EQ(qor::base_name("dir/"), "");
}
