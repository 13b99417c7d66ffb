// Helpers shared by the tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace qor_test {

// Captures everything written to file descriptor 2 (stderr, std::clog)
// between construction and take(), at the descriptor level.
class stderr_capture {
 public:
  stderr_capture();
  ~stderr_capture();
  stderr_capture(const stderr_capture&) = delete;
  stderr_capture& operator=(const stderr_capture&) = delete;
  // Restores stderr and returns what was written; later calls return "".
  std::string take();

 private:
  int _saved_fd;
  int _file_fd;
  bool _active;
};

// True when the CUDA runtime reports at least one device; `why` says why not.
bool device_available(std::string* why = nullptr);

}  // namespace qor_test

// Skips the current test, with the reason, when no GPU is usable.
#define QOR_REQUIRE_DEVICE()                                                   \
  do {                                                                         \
    std::string qor_why_;                                                      \
    if (!::qor_test::device_available(&qor_why_)) GTEST_SKIP() << qor_why_;    \
  } while (0)
