#include "sw_test_support.h"

#include <cuda_runtime.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <stdexcept>

#include "qor_option.h"
#include "qor_test_support.h"

#if defined(QOR_GPU_EMULATED)
#include <gpu_emu.h>
#endif

namespace sw_test {

std::string mode_options() { return gpu_mode ? "-cpu_only 0" : "-cpu_only 1"; }

std::string mode_unusable(MPI_Comm comm) {
  if (!gpu_mode) return "";
  // The hardware layer takes the device numbered by the rank on the host.
  MPI_Comm host = MPI_COMM_NULL;
  MPI_Comm_split_type(comm, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &host);
  int local_rank = 0;
  MPI_Comm_rank(host, &local_rank);
  MPI_Comm_free(&host);
  std::string why;
  int usable = 1;
  if (!qor_test::device_available(&why)) {
    usable = 0;
  } else {
    int count = 0;
    cudaGetDeviceCount(&count);
    if (local_rank >= count) {
      usable = 0;
      why = "GPU mode needs one GPU per process on the host: " + std::to_string(count) +
            " for " + std::to_string(local_rank + 1) + " or more processes";
    }
  }
  int all = 0;
  MPI_Allreduce(&usable, &all, 1, MPI_INT, MPI_MIN, comm);
  if (all) return "";
  return why.empty() ? std::string("another process cannot use its GPU") : why;
}

std::unique_ptr<qor_hw> make_hw(const std::string& text, MPI_Comm comm, std::string* log) {
  std::map<std::string, std::string> options = parse_option(mode_options() + " " + text);
  qor_test::stderr_capture capture;
  std::unique_ptr<qor_hw> hw;
  try {
    hw = std::make_unique<qor_hw>(comm, options);
  } catch (...) {
    std::fputs(capture.take().c_str(), stderr);  // the reason belongs in the test output
    throw;
  }
  std::string written = capture.take();
  if (log) *log = written;
  // A GPU-mode suite that ran on the host would prove nothing about GPU mode.
  EXPECT_EQ(hw->_device >= 0, gpu_mode) << "device " << hw->_device;
  return hw;
}

buffer::buffer(const qor_hw& hw, size_t bytes) : _device(hw._device >= 0), _ptr(nullptr) {
  if (_device) {
    if (cudaMalloc(&_ptr, bytes) != cudaSuccess) throw std::runtime_error("cudaMalloc failed");
  } else {
    _ptr = std::calloc(bytes, 1);
    if (!_ptr) throw std::bad_alloc();
  }
}

buffer::~buffer() {
  if (_device) {
    // Success also shows that the layer did not free the caller's buffer.
    EXPECT_EQ(cudaFree(_ptr), cudaSuccess);
  } else {
    std::free(_ptr);
  }
}

void to_layer(const qor_hw& hw, void* dst, const void* src, size_t bytes) {
  if (bytes == 0) return;
  if (hw._device >= 0) {
    ASSERT_EQ(cudaMemcpy(dst, src, bytes, cudaMemcpyHostToDevice), cudaSuccess);
  } else {
    std::memcpy(dst, src, bytes);
  }
}

void from_layer(const qor_hw& hw, void* dst, const void* src, size_t bytes) {
  if (bytes == 0) return;
  if (hw._device >= 0) {
    ASSERT_EQ(cudaMemcpy(dst, src, bytes, cudaMemcpyDeviceToHost), cudaSuccess);
  } else {
    std::memcpy(dst, src, bytes);
  }
}

MPI_Comm split_groups(int n) {
  const int rank = world_rank();
  const int groups = world_size() / n;
  const int colour = rank / n < groups ? rank / n : MPI_UNDEFINED;
  MPI_Comm group = MPI_COMM_NULL;
  MPI_Comm_split(MPI_COMM_WORLD, colour, rank, &group);
  return group;
}

temp_dir::temp_dir() {
  char name[] = "/tmp/qor_sw_test_XXXXXX";
  if (!mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
  _path = name;
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(_path, ignored);
}

std::vector<std::string> temp_dir::entries() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(_path))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<unsigned char> read_file(const std::string& path, bool* exists) {
  std::vector<unsigned char> bytes;
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (exists) *exists = in != nullptr;
  if (!in) return bytes;
  unsigned char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(in);
  return bytes;
}

std::string pointer_text(const void* p) {
  std::ostringstream out;
  out << p;
  return out.str();
}

long live_device_allocations() {
#if defined(QOR_GPU_EMULATED)
  return static_cast<long>(qoremu_live_device_allocations());
#else
  return 0;
#endif
}

long live_pinned_allocations() {
#if defined(QOR_GPU_EMULATED)
  return static_cast<long>(qoremu_live_host_allocations());
#else
  return 0;
#endif
}

int open_fds() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

bool same_ring(const qor_ring& a, const qor_ring& b) {
  return a._next == b._next && a._prev == b._prev && a._net_off == b._net_off &&
         a._diff_net_size == b._diff_net_size && a._net_disp == b._net_disp &&
         a._net_size == b._net_size;
}

bool same_rcs(const qor_rcs& a, const qor_rcs& b) {
  return a._my_off == b._my_off && a._partner_off == b._partner_off &&
         a._my_size == b._my_size && a._partner_size == b._partner_size &&
         a._partner_rank == b._partner_rank;
}

::testing::AssertionResult same_rings(const std::vector<qor_ring>& a,
                                      const std::vector<qor_ring>& b) {
  if (a.size() != b.size())
    return ::testing::AssertionFailure() << a.size() << " rings against " << b.size();
  for (size_t d = 0; d < a.size(); ++d) {
    if (!same_ring(a[d], b[d])) return ::testing::AssertionFailure() << "ring " << d << " differs";
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult same_schedules(const std::vector<qor_rcs>& a,
                                          const std::vector<qor_rcs>& b) {
  if (a.size() != b.size())
    return ::testing::AssertionFailure() << a.size() << " schedules against " << b.size();
  for (size_t d = 0; d < a.size(); ++d) {
    if (!same_rcs(a[d], b[d]))
      return ::testing::AssertionFailure() << "schedule " << d << " differs";
  }
  return ::testing::AssertionSuccess();
}

void layer_test::SetUp() {
  unsetenv("QOR_DEBUG");
  rank_ = world_rank();
  size_ = world_size();
#if defined(QOR_GPU_EMULATED)
  device_allocations_ = qoremu_live_device_allocations();
  host_allocations_ = qoremu_live_host_allocations();
#endif
  if (gpu_mode) {
    QOR_REQUIRE_DEVICE();
    const std::string why = mode_unusable(MPI_COMM_WORLD);
    if (!why.empty()) GTEST_SKIP() << why;
  }
}

void layer_test::TearDown() {
  unsetenv("QOR_DEBUG");
#if defined(QOR_GPU_EMULATED)
  qoremu_inject_failure("", -1, 0);
  EXPECT_EQ(qoremu_live_device_allocations(), device_allocations_) << "device memory left behind";
  EXPECT_EQ(qoremu_live_host_allocations(), host_allocations_) << "pinned memory left behind";
#endif
}

}  // namespace sw_test
