#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include "qor_test_support.h"

namespace qor_test {

stderr_capture::stderr_capture() : _saved_fd(-1), _file_fd(-1), _active(false) {
  std::fflush(stderr);
  std::clog.flush();
  char path[] = "/tmp/qor_stderr_XXXXXX";
  _file_fd = mkstemp(path);
  if (_file_fd < 0) throw std::runtime_error("stderr_capture: mkstemp failed");
  unlink(path);
  _saved_fd = dup(STDERR_FILENO);
  if (_saved_fd < 0 || dup2(_file_fd, STDERR_FILENO) < 0)
    throw std::runtime_error("stderr_capture: dup failed");
  _active = true;
}

stderr_capture::~stderr_capture() {
  take();
  if (_file_fd >= 0) close(_file_fd);
  if (_saved_fd >= 0) close(_saved_fd);
}

std::string stderr_capture::take() {
  if (!_active) return "";
  std::fflush(stderr);
  std::clog.flush();
  dup2(_saved_fd, STDERR_FILENO);
  _active = false;
  std::string text;
  lseek(_file_fd, 0, SEEK_SET);
  char buf[4096];
  ssize_t n;
  while ((n = read(_file_fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  return text;
}

}  // namespace qor_test
