// Helpers shared by the tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// Sets an environment variable for the lifetime of the object, then puts
// back what was there (or unsets it).
class scoped_env {
 public:
  scoped_env(const char* name, const char* value);
  ~scoped_env();
  scoped_env(const scoped_env&) = delete;
  scoped_env& operator=(const scoped_env&) = delete;

 private:
  std::string _name;
  std::string _old;
  bool _had;
};

// Rank and size of this process in MPI_COMM_WORLD (MPI must be running).
int world_rank();
int world_size();

// One trace line of the library:
//   <S> HH:MM:SS.mmm <pid> <tid> QOR:<line>] [[MPI:<rank>] ]<text>
struct trace {
  char severity;
  int line;     // source line after "QOR:"
  bool ranked;  // has the "[MPI:<rank>]" field
  int rank;
  std::string text;
};
// The well-formed trace lines of `log`, in order.
std::vector<trace> traces(const std::string& log);
// Those of them written at source line `line`.
std::vector<trace> traces_at(const std::string& log, int line);
// Texts of the lines with this severity and a rank field equal to `rank`
// (any rank field when rank < 0), in order.
std::vector<std::string> trace_texts(const std::string& log, char severity, int rank);

// A numbered message as the logger writes it (QOR_DEBUG unset).
std::string message_line(int id, const std::string& body);

}  // namespace qor_test

// Skips the current test, with the reason, when no GPU is usable.
#define QOR_REQUIRE_DEVICE()                                                   \
  do {                                                                         \
    std::string qor_why_;                                                      \
    if (!::qor_test::device_available(&qor_why_)) GTEST_SKIP() << qor_why_;    \
  } while (0)
