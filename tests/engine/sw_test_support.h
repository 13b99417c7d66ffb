// Helpers of the software layer tests.
//
// Every suite source is built twice: once for host-CPU mode and once, with
// QOR_SW_TEST_GPU=1, for GPU mode (the emulation, or a real device where one
// is usable for every process; otherwise every case is skipped with the
// reason).  The fixture `layer_test` checks in the emulated flavour that a
// case leaves no device or pinned host memory behind.
#pragma once

#include <cuda_fp16.h>
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "qor_hw.h"
#include "qor_sw.h"
#include "qor_test_support.h"

#ifndef QOR_SW_TEST_GPU
#define QOR_SW_TEST_GPU 0
#endif

namespace sw_test {

using qor::network::qor_hw;
using qor::network::qor_rcs;
using qor::network::qor_ring;
using qor::network::qor_sw;

constexpr bool gpu_mode = QOR_SW_TEST_GPU != 0;

using qor_test::world_rank;
using qor_test::world_size;

// "-cpu_only 1" or "-cpu_only 0", by the mode this program tests.
std::string mode_options();

// Empty when every process of `comm` can run the mode under test, else why
// not; the same answer on every process of `comm`.
std::string mode_unusable(MPI_Comm comm);

using qor_test::message_line;
using qor_test::trace;
using qor_test::traces;
using qor_test::traces_at;

// A hardware layer over `comm` from the full option table with `text`
// applied (the mode's -cpu_only item first); what it wrote goes to `log`.
std::unique_ptr<qor_hw> make_hw(const std::string& text, MPI_Comm comm = MPI_COMM_WORLD,
                                std::string* log = nullptr);

// Memory that stands for the caller's gradient buffer: device memory in GPU
// mode, host memory otherwise.
class buffer {
 public:
  buffer(const qor_hw& hw, size_t bytes);
  ~buffer();
  buffer(const buffer&) = delete;
  buffer& operator=(const buffer&) = delete;
  void* get() const { return _ptr; }

 private:
  bool _device;
  void* _ptr;
};

// Copies between test vectors and memory of the layer (device in GPU mode).
void to_layer(const qor_hw& hw, void* dst, const void* src, size_t bytes);
void from_layer(const qor_hw& hw, void* dst, const void* src, size_t bytes);

// Consecutive groups of `n` world processes; MPI_COMM_NULL on the processes
// left over.  Free a non-null result with MPI_Comm_free.
MPI_Comm split_groups(int n);

// A fresh directory of this process, removed with everything in it.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return _path; }
  // Names of the entries, sorted.
  std::vector<std::string> entries() const;

 private:
  std::string _path;
};

// The bytes of a file; `exists` says whether it could be read.
std::vector<unsigned char> read_file(const std::string& path, bool* exists = nullptr);

// A pointer as the library's trace lines print it.
std::string pointer_text(const void* p);

// Live device and pinned host allocations; only the emulation counts them
// (0 in the cuda flavour).
#if defined(QOR_GPU_EMULATED)
constexpr bool emulated_flavour = true;
#else
constexpr bool emulated_flavour = false;
#endif
long live_device_allocations();
long live_pinned_allocations();

// Open file descriptors of this process.
int open_fds();

// Values with distinct bit patterns (for __half, raw binary16 patterns).
template <class T>
std::vector<T> pattern(size_t n, unsigned seed) {
  std::vector<T> values(n);
  for (size_t i = 0; i < n; ++i) {
    if constexpr (std::is_same<T, float>::value) {
      values[i] = static_cast<float>(seed) * 1000.0f + static_cast<float>(i) + 0.25f;
    } else {
      const uint16_t bits = static_cast<uint16_t>(seed * 4099u + i * 7u + 1u);
      std::memcpy(static_cast<void*>(&values[i]), &bits, sizeof bits);
    }
  }
  return values;
}

template <class T>
std::vector<unsigned char> bytes_of(const std::vector<T>& values) {
  std::vector<unsigned char> raw(values.size() * sizeof(T));
  if (!raw.empty()) std::memcpy(raw.data(), static_cast<const void*>(values.data()), raw.size());
  return raw;
}

// Whole rings and schedules, for comparisons.
bool same_ring(const qor_ring& a, const qor_ring& b);
bool same_rcs(const qor_rcs& a, const qor_rcs& b);
::testing::AssertionResult same_rings(const std::vector<qor_ring>& a,
                                      const std::vector<qor_ring>& b);
::testing::AssertionResult same_schedules(const std::vector<qor_rcs>& a,
                                          const std::vector<qor_rcs>& b);

// The layer of one test: hardware layer, caller's buffer, software layer;
// released in the reverse order.
template <class T>
struct layer {
  std::unique_ptr<qor_hw> hw;
  std::unique_ptr<buffer> buf;
  std::unique_ptr<qor_sw<T>> sw;
  std::string log;  // written while the hardware and software layers were built
};

// Builds a layer over `count` elements of a fresh buffer.
template <class T>
layer<T> make_layer(const std::string& text, int count, MPI_Comm comm = MPI_COMM_WORLD) {
  layer<T> l;
  l.hw = make_hw(text, comm, &l.log);
  l.buf = std::make_unique<buffer>(*l.hw, static_cast<size_t>(count > 0 ? count : 1) * sizeof(T));
  qor_test::stderr_capture capture;
  l.sw = std::make_unique<qor_sw<T>>(*l.hw, static_cast<T*>(l.buf->get()), count, 0);
  l.log += capture.take();
  return l;
}

// Names of the element types in test names.
struct type_names {
  template <class T>
  static std::string GetName(int) {
    return std::is_same<T, float>::value ? "float" : "half";
  }
};
using element_types = ::testing::Types<float, __half>;

// Base fixture: skips the case where the mode cannot run; in the emulated
// flavour checks that the case released every device and pinned buffer.
class layer_test : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  int rank_ = 0;
  int size_ = 0;

 private:
  size_t device_allocations_ = 0;
  size_t host_allocations_ = 0;
};

}  // namespace sw_test
