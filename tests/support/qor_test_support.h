// Shared fixtures of every suite: captured standard error, scoped
// environment variables, the library's trace lines read back, and test data
// whose sums have a closed form.
#pragma once

#include <cuda_fp16.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "qor_exception.h"
#include "qor_hw.h"

namespace qor_test {

// Everything written to file descriptor 2 (stderr and std::clog) between
// construction and take().
class stderr_capture {
 public:
  stderr_capture();
  ~stderr_capture();
  stderr_capture(const stderr_capture&) = delete;
  stderr_capture& operator=(const stderr_capture&) = delete;
  // Restores stderr and returns what was written; later calls return "".
  std::string take();

 private:
  int _saved_fd = -1;
  int _file_fd = -1;
};

// The QORException that `body` raises (status 0 when it raises none) and
// everything written to standard error meanwhile.
struct raised_t {
  QORException error{"", 0, 0, 0};
  std::string log;
};
raised_t raised(const std::function<void()>& body);

// An environment variable set (or, with a null value, unset) for the
// object's lifetime.
class scoped_env {
 public:
  scoped_env(const char* name, const char* value);
  ~scoped_env();
  scoped_env(const scoped_env&) = delete;
  scoped_env& operator=(const scoped_env&) = delete;

 private:
  std::string _name, _old;
  bool _had;
};

// Runs body(i) in n forked processes at once, each with its standard error
// captured, and waits at most `seconds` for them (then kills them).  A
// child's exit status is what body returns (0 to 255), what it passed to
// exit(), or -signal when it was killed.
struct child_result {
  int status;
  std::string log;
};
std::vector<child_result> run_children(int n, const std::function<int(int)>& body, int seconds = 60);
// One child; tests of paths that end the process.
child_result run_child(const std::function<int()>& body, int seconds = 60);

// A hardware layer over `comm` from option text, or the QORException that
// refused it (status 0 when it was built), and what it wrote meanwhile.
struct built {
  std::unique_ptr<qor::network::qor_hw> hw;
  std::string log;
  QORException error{"", 0, 0, 0};
};
built build(const std::string& options, MPI_Comm comm = MPI_COMM_WORLD);

// A hardware layer that must build (a failure is a test failure).
std::unique_ptr<qor::network::qor_hw> make_hw(const std::string& options, MPI_Comm comm = MPI_COMM_WORLD);
// `hw` replaced by a layer over the world from option text, or the refusal of the text (status 0: replaced).
inline QORException replace_hw(qor::network::qor_hw*& hw, const std::string& options) {
  built b = build(options);
  if (b.hw) delete std::exchange(hw, b.hw.release());
  return b.error;
}

// The engine's memory and element type: host-CPU float, GPU float, GPU half.
struct mode {
  bool gpu, half;
};
inline const mode modes[] = {{false, false}, {true, false}, {true, true}};
inline std::string mode_name(const testing::TestParamInfo<mode>& m) {
  return std::string(m.param.gpu ? "gpu_" : "host_") + (m.param.half ? "half" : "float");
}

// n elements in the memory the engine works on: the device's in GPU mode.
template <class T>
struct engine_buffer {
  qor::network::qor_hw& hw;
  size_t n;
  T* ptr = nullptr;
  engine_buffer(qor::network::qor_hw& h, size_t count) : hw(h), n(count) {
    hw.malloc(reinterpret_cast<void**>(&ptr), (n + 1) * sizeof(T));
  }
  ~engine_buffer() { hw.free(ptr); }
  void write(const std::vector<T>& v) { move(hw, ptr, v.data(), n); }
  std::vector<T> read() { return get(hw, ptr, n); }
  static std::vector<T> get(qor::network::qor_hw& hw, const T* from, size_t n) {
    std::vector<T> v(n);
    move(hw, v.data(), from, n);
    return v;
  }
  static void put(qor::network::qor_hw& hw, T* to, const std::vector<T>& v) {
    move(hw, to, v.data(), v.size());
  }
  static void move(qor::network::qor_hw& hw, void* to, const void* from, size_t n) {
    if (n > 0 && hw._device < 0) std::memcpy(to, from, n * sizeof(T));
    if (n > 0 && hw._device >= 0) {
      // A copy from pageable memory may still be queued when cudaMemcpy
      // returns, and the engine's streams do not wait for it.
      EXPECT_EQ(cudaMemcpy(to, from, n * sizeof(T), cudaMemcpyDefault), cudaSuccess);
      EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    }
  }
};

// Every grid of n processes as an ordered product of up to four sizes > 1.
std::vector<std::vector<int>> grids(int n);
// A grid as the -mode option writes it: "2x4".
inline std::string grid_text(const std::vector<int>& grid) {
  std::string text;
  for (int size : grid) text += (text.empty() ? "" : "x") + std::to_string(size);
  return text;
}

// True when the CUDA runtime reports a device; `why` says why not.
bool device_available(std::string* why = nullptr);
// Devices this process sees (0 without any).
int device_count();

// Rank and size in MPI_COMM_WORLD (MPI must be running).
int world_rank();
int world_size();

// One trace line: <S> HH:MM:SS.mmm <pid> <tid> QOR:<line>] [[MPI:<rank>] ]<text>
struct trace {
  char severity;
  int line;
  int rank;  // -1 without the rank field
  std::string text;
};
// The well-formed trace lines of `log`, in order; anything else is skipped.
std::vector<trace> traces(const std::string& log);
// "<severity>:<rank>:<text>" of each trace line (rank -1 when absent), so
// that a whole log compares with one EXPECT.
std::vector<std::string> trace_summary(const std::string& log);

// Whether all of `text` matches the POSIX extended regular expression
// `pattern`; the groups it captured go to `groups`.
bool matches(const std::string& text, const std::string& pattern, std::vector<std::string>* groups = nullptr);

// A numbered error message as the logger writes it (QOR_DEBUG unset).
std::string message_line(int id, const std::string& body);

// Data unique per element and rank whose sums are exact in the type: float
// sums of up to 64 ranks, half sums of up to 16.  A block that lands in the
// wrong place or is summed twice shows.
float value_of(bool half, int rank, size_t i);
// value_of for elements 0..n-1 (float or __half).
template <class T>
std::vector<T> input(int rank, size_t n);
// Sum of value_of over ranks 0..n-1 at element i.
float sum_of(bool half, int n, size_t i);
inline float as_float(float v) { return v; }
inline float as_float(__half v) { return __half2float(v); }
// "" when got[i] == expect(i) for i in [begin, end), else the first miss.
template <class T, class F>
std::string mismatch(const std::vector<T>& got, size_t begin, size_t end, F expect) {
  for (size_t i = begin; i < end && i < got.size(); ++i) {
    if (as_float(got[i]) != expect(i))
      return "element " + std::to_string(i) + " is " + std::to_string(as_float(got[i])) +
             ", expected " + std::to_string(expect(i));
  }
  return "";
}

}  // namespace qor_test

// Skips the current test, with the reason, when no GPU is usable.
#define QOR_REQUIRE_DEVICE()                                                \
  do {                                                                      \
    std::string qor_why_;                                                   \
    if (!::qor_test::device_available(&qor_why_)) GTEST_SKIP() << qor_why_; \
  } while (0)

// A suite over the modes whose GPU cases skip, with the reason, without a GPU.
class ModeTest : public testing::TestWithParam<qor_test::mode> {
 protected:
  void SetUp() override { if (GetParam().gpu) QOR_REQUIRE_DEVICE(); }
  // A hardware layer in the mode's memory, and body(T{}) for its element type T.
  std::unique_ptr<qor::network::qor_hw> layer(const std::string& options, MPI_Comm comm = MPI_COMM_WORLD) {
    return qor_test::make_hw(std::string(GetParam().gpu ? "-cpu_only 0 " : "-cpu_only 1 ") + options, comm);
  }
  template <class F>
  void by_type(F body) { GetParam().half ? body(__half{}) : body(float{}); }
};
