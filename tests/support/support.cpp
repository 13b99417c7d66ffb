#include <cuda_runtime.h>
#include <mpi.h>
#include <regex.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <sstream>

#include "qor_option.h"
#include "qor_test_support.h"

namespace qor_test {

namespace {

// An unnamed temporary file, and everything written to one.
int temporary_file() {
  char path[] = "/tmp/qor_test_XXXXXX";
  const int fd = mkstemp(path);
  unlink(path);
  return fd;
}

std::string contents(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  for (off_t at = 0; (n = pread(fd, buf, sizeof buf, at)) > 0; at += n) text.append(buf, n);
  return text;
}

}  // namespace

stderr_capture::stderr_capture() : _file_fd(temporary_file()) {
  std::fflush(stderr);
  std::clog.flush();
  _saved_fd = dup(STDERR_FILENO);
  dup2(_file_fd, STDERR_FILENO);
}

stderr_capture::~stderr_capture() {
  take();
  close(_file_fd);
}

std::string stderr_capture::take() {
  if (_saved_fd < 0) return "";
  std::fflush(stderr);
  std::clog.flush();
  dup2(_saved_fd, STDERR_FILENO);
  close(_saved_fd);
  _saved_fd = -1;
  return contents(_file_fd);
}

raised_t raised(const std::function<void()>& body) {
  raised_t r;
  stderr_capture capture;
  try {
    body();
  } catch (const QORException& e) {
    r.error = e;
  }
  r.log = capture.take();
  return r;
}

scoped_env::scoped_env(const char* name, const char* value) : _name(name) {
  const char* old = std::getenv(name);
  _had = old != nullptr;
  if (_had) _old = old;
  value ? setenv(name, value, 1) : unsetenv(name);
}

scoped_env::~scoped_env() { _had ? setenv(_name.c_str(), _old.c_str(), 1) : unsetenv(_name.c_str()); }

std::vector<child_result> run_children(int n, const std::function<int(int)>& body, int seconds) {
  std::vector<pid_t> pids(n);
  std::vector<int> logs(n);
  std::fflush(nullptr);
  for (int i = 0; i < n; ++i) {
    logs[i] = temporary_file();
    if ((pids[i] = fork()) == 0) {
      dup2(logs[i], STDERR_FILENO);
      const int status = body(i);
      std::fflush(nullptr);
      std::clog.flush();
      _exit(status);
    }
  }
  std::vector<child_result> results(n, child_result{-SIGKILL, ""});
  const time_t deadline = time(nullptr) + seconds;
  for (int left = n; left > 0; usleep(10000)) {
    const bool late = time(nullptr) > deadline;
    for (int i = 0; i < n; ++i) {
      int ws = 0;
      if (pids[i] == 0) continue;
      if (late) kill(pids[i], SIGKILL);
      if (waitpid(pids[i], &ws, late ? 0 : WNOHANG) != pids[i]) continue;
      results[i] = {WIFEXITED(ws) ? WEXITSTATUS(ws) : -WTERMSIG(ws), contents(logs[i])};
      close(logs[i]);
      pids[i] = 0;
      --left;
    }
  }
  return results;
}

child_result run_child(const std::function<int()>& body, int seconds) {
  return run_children(1, [&](int) { return body(); }, seconds)[0];
}

bool device_available(std::string* why) {
  int count = 0;
  const cudaError_t err = cudaGetDeviceCount(&count);
  cudaGetLastError();  // the probe must not leave an error behind
  if (err == cudaSuccess && count > 0) return true;
  if (why) *why = std::string("no usable GPU: ") + cudaGetErrorString(err);
  return false;
}

int device_count() {
  int count = 0;
  if (cudaGetDeviceCount(&count) != cudaSuccess) cudaGetLastError();
  return count;
}

int world_rank() {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

int world_size() {
  int size = 0;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  return size;
}

// POSIX regular expressions: std::regex draws false uninitialised-use
// warnings from gcc 12 at -O1.
bool matches(const std::string& text, const std::string& pattern, std::vector<std::string>* groups) {
  regex_t re;
  if (regcomp(&re, ("^(" + pattern + ")$").c_str(), REG_EXTENDED) != 0) return false;
  regmatch_t m[8];
  const bool found = regexec(&re, text.c_str(), 8, m, 0) == 0;
  regfree(&re);
  for (int i = 2; found && groups && i < 8; ++i)
    groups->push_back(m[i].rm_so < 0 ? "" : text.substr(m[i].rm_so, m[i].rm_eo - m[i].rm_so));
  return found;
}

std::vector<trace> traces(const std::string& log) {
  std::vector<trace> found;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> g;
    if (matches(line, "([IWEFD]) [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} +[0-9]+ [0-9]+ QOR:([0-9]+) *\\] "
                      "(\\[MPI: *(-?[0-9]+)\\] )?(.*)", &g))
      found.push_back({g[0][0], std::stoi(g[1]), g[3].empty() ? -1 : std::stoi(g[3]), g[4]});
  }
  return found;
}

std::vector<std::string> trace_summary(const std::string& log) {
  std::vector<std::string> out;
  for (const trace& t : traces(log))
    out.push_back(std::string(1, t.severity) + ":" + std::to_string(t.rank) + ":" + t.text);
  return out;
}

std::string message_line(int id, const std::string& body) {
  return "[ERROR QOR-1-" + std::to_string(id) + "] " + body + "\n";
}

float value_of(bool half, int rank, size_t i) {
  if (half) return static_cast<float>((static_cast<int>(i % 211) * 7 + rank * 13) % 128);
  return static_cast<float>(static_cast<int>(i % 100003) + 100003 * rank);
}

template <class T>
std::vector<T> input(int rank, size_t n) {
  std::vector<T> v(n);
  for (size_t i = 0; i < n; ++i) {
    if constexpr (std::is_same<T, __half>::value) {
      v[i] = __float2half(value_of(true, rank, i));
    } else {
      v[i] = value_of(false, rank, i);
    }
  }
  return v;
}
template std::vector<float> input<float>(int, size_t);
template std::vector<__half> input<__half>(int, size_t);

float sum_of(bool half, int n, size_t i) {
  float s = 0.0f;
  for (int r = 0; r < n; ++r) s += value_of(half, r, i);
  return s;
}

std::unique_ptr<qor::network::qor_hw> make_hw(const std::string& options, MPI_Comm comm) {
  built b = build(options, comm);
  EXPECT_TRUE(b.hw) << b.log;
  return std::move(b.hw);
}

built build(const std::string& options, MPI_Comm comm) {
  built b;
  raised_t r = raised([&] {
    std::map<std::string, std::string> map = parse_option(options);
    b.hw = std::make_unique<qor::network::qor_hw>(comm, map);
  });
  b.log = r.log;
  b.error = r.error;
  return b;
}

std::vector<std::vector<int>> grids(int n) {
  std::vector<std::vector<int>> out;
  std::function<void(int, std::vector<int>)> split = [&](int left, std::vector<int> prefix) {
    if (left == 1 && !prefix.empty()) out.push_back(prefix);
    for (int f = 2; f <= left && prefix.size() < 4; ++f) {
      if (left % f) continue;
      prefix.push_back(f);
      split(left / f, prefix);
      prefix.pop_back();
    }
  };
  split(n, {});
  if (out.empty()) out.push_back({n});  // one process
  return out;
}

}  // namespace qor_test
