// Failures of the CUDA calls behind the software layer's memory and dumps,
// made by the emulation's failure injection: each is reported as message 2
// with its line, and leaves no memory, file or dangling pointer behind.
// In host-CPU mode the dump must not need CUDA at all.
#include <cuda_runtime.h>
#include <gpu_emu.h>
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "qor_exception.h"
#include "qor_test_support.h"
#include "sw_test_support.h"

namespace {

using namespace sw_test;

template <class T>
class SwEmu : public layer_test {};
TYPED_TEST_SUITE(SwEmu, element_types, type_names);

#if QOR_SW_TEST_GPU

std::string cuda_body(cudaError_t error) {
  return "A CUDA error has occurred on host " + qor::host_name() + ":\n" +
         cudaGetErrorString(error);
}

struct failure {
  bool thrown = false;
  int status = 0;
  int id = 0;
  int line = 0;
  std::string file;
  std::string what;
  std::string log;
};

// Runs `call`, expecting a QORException.
template <class F>
failure expect_failure(F call) {
  failure f;
  qor_test::stderr_capture capture;
  try {
    call();
  } catch (const QORException& e) {
    f.thrown = true;
    f.status = e.status;
    f.id = e.id;
    f.line = e.line;
    f.file = e.file;
    f.what = e.what();
  }
  f.log = capture.take();
  return f;
}

void expect_cuda_message(const failure& f, cudaError_t error, const std::string& file, int line) {
  EXPECT_TRUE(f.thrown);
  EXPECT_EQ(f.status, 6);
  EXPECT_EQ(f.id, 2);
  if (!file.empty()) {
    EXPECT_EQ(f.file, file);
  }
  if (line > 0) {
    EXPECT_EQ(f.line, line);
  }
  EXPECT_EQ(f.what, cuda_body(error));
  EXPECT_NE(f.log.find(message_line(2, cuda_body(error))), std::string::npos) << f.log;
}

TYPED_TEST(SwEmu, PinnedAllocationFailureOfTheDump) {
  temp_dir dir;
  const std::string prefix = dir.path() + "/g";
  const size_t pinned = qoremu_live_host_allocations();
  {
    auto l = make_layer<TypeParam>("-mode r -dump_grad_path " + prefix, 100);
    auto& sw = *l.sw;
    sw.dump_grad(1, "b");
    ASSERT_NE(l.hw->_host_buf, nullptr);
    const int fds = open_fds();
    setenv("QOR_DEBUG", "1", 1);
    qoremu_inject_failure("cudaMallocHost", 0, cudaErrorMemoryAllocation);
    const failure f = expect_failure([&] { sw.dump_grad(2, "b"); });
    unsetenv("QOR_DEBUG");
    expect_cuda_message(f, cudaErrorMemoryAllocation, "qor_sw_dump.cpp", 317);
    EXPECT_NE(f.log.find("[QOR DEBUG] qor_sw_dump.cpp:317"), std::string::npos) << f.log;
    // The old buffer went, the new one never came: nothing to release twice.
    EXPECT_EQ(l.hw->_host_buf, nullptr);
    EXPECT_EQ(qoremu_live_host_allocations(), pinned);
    EXPECT_EQ(open_fds(), fds);  // the file was closed
    // The next dump works again.
    sw.dump_grad(3, "b");
    EXPECT_EQ(read_file(prefix + ".3.b." + std::to_string(this->rank_)).size(),
              100 * sizeof(TypeParam));
  }
  EXPECT_EQ(qoremu_live_host_allocations(), pinned);
}

TYPED_TEST(SwEmu, PinnedReleaseFailureOfTheDump) {
  temp_dir dir;
  const size_t pinned = qoremu_live_host_allocations();
  {
    auto l = make_layer<TypeParam>("-mode r -dump_grad_path " + dir.path() + "/g", 100);
    l.sw->dump_grad(1, "b");
    void* held = l.hw->_host_buf;
    ASSERT_NE(held, nullptr);
    const int fds = open_fds();
    qoremu_inject_failure("cudaFreeHost", 0, cudaErrorInvalidValue);
    const failure f = expect_failure([&] { l.sw->dump_grad(2, "b"); });
    expect_cuda_message(f, cudaErrorInvalidValue, "qor_sw_dump.cpp", 315);
    EXPECT_EQ(open_fds(), fds);
    // Not released, so still the hardware layer's to release.
    EXPECT_EQ(l.hw->_host_buf, held);
  }
  EXPECT_EQ(qoremu_live_host_allocations(), pinned);
}

TYPED_TEST(SwEmu, CopyFailureOfTheDump) {
  temp_dir dir;
  const size_t pinned = qoremu_live_host_allocations();
  {
    auto l = make_layer<TypeParam>("-mode r -dump_grad_path " + dir.path() + "/g", 100);
    const int fds = open_fds();
    qoremu_inject_failure("cudaMemcpy", 0, cudaErrorInvalidValue);
    const failure f = expect_failure([&] { l.sw->dump_grad(2, "a"); });
    expect_cuda_message(f, cudaErrorInvalidValue, "qor_sw_dump.cpp", 318);
    EXPECT_EQ(open_fds(), fds);
    EXPECT_NE(l.hw->_host_buf, nullptr);
    EXPECT_EQ(qoremu_live_host_allocations(), pinned + 1);
  }
  EXPECT_EQ(qoremu_live_host_allocations(), pinned);
}

TYPED_TEST(SwEmu, ScratchAllocationFailureLeavesNoFreedBuffer) {
  auto l = make_layer<TypeParam>("-mode r", 100);
  auto& sw = *l.sw;
  const size_t base = qoremu_live_device_allocations();
  ASSERT_NE(sw.get_temp_buf(100), nullptr);
  qoremu_inject_failure("cudaMalloc", 0, cudaErrorMemoryAllocation);
  const failure f = expect_failure([&] { sw.get_temp_buf(200); });
  expect_cuda_message(f, cudaErrorMemoryAllocation, "", 0);
  EXPECT_EQ(sw._temp_buf, nullptr);
  EXPECT_EQ(sw._temp_buf_size, 0u);
  EXPECT_EQ(qoremu_live_device_allocations(), base);
  // A smaller request must not get the released buffer back.
  TypeParam* fresh = sw.get_temp_buf(50);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(sw._temp_buf_size, 55u);
  EXPECT_EQ(qoremu_live_device_allocations(), base + 1);
  EXPECT_EQ(cudaMemset(fresh, 0, 55 * sizeof(TypeParam)), cudaSuccess);
}

TYPED_TEST(SwEmu, ResidueAllocationAndFillFailures) {
  auto l = make_layer<TypeParam>("-mode r", 300);
  auto& sw = *l.sw;
  const size_t base = qoremu_live_device_allocations();
  struct injected {
    const char* function;
    cudaError_t error;
  };
  for (injected c : {injected{"cudaMalloc", cudaErrorMemoryAllocation},
                     injected{"cudaMemset", cudaErrorInvalidValue}}) {
    SCOPED_TRACE(c.function);
    qoremu_inject_failure(c.function, 0, c.error);
    const failure f = expect_failure([&] { sw.get_residue(); });
    expect_cuda_message(f, c.error, "", 0);
    EXPECT_FALSE(sw.residue_available());
    EXPECT_EQ(qoremu_live_device_allocations(), base);  // a failed fill frees its memory
  }
  TypeParam* residue = sw.get_residue();
  ASSERT_NE(residue, nullptr);
  std::vector<TypeParam> values(300);
  ASSERT_EQ(cudaMemcpy(values.data(), residue, 300 * sizeof(TypeParam), cudaMemcpyDeviceToHost),
            cudaSuccess);
  EXPECT_EQ(bytes_of(values), std::vector<unsigned char>(300 * sizeof(TypeParam), 0));
}

TYPED_TEST(SwEmu, ResidueCopyFailureOnANewSizeChangesNothing) {
  auto l = make_layer<TypeParam>("-mode r", 1000);
  auto& sw = *l.sw;
  const std::vector<TypeParam> values = pattern<TypeParam>(1000, 11);
  TypeParam* residue = sw.get_residue();
  ASSERT_EQ(cudaMemcpy(residue, values.data(), 1000 * sizeof(TypeParam), cudaMemcpyHostToDevice),
            cudaSuccess);
  const size_t base = qoremu_live_device_allocations();
  const std::vector<int> offsets = sw._part_off;
  qoremu_inject_failure("cudaMemcpy", 0, cudaErrorInvalidValue);
  const failure f = expect_failure([&] { sw.update_buf(sw._buf_base, 2000); });
  expect_cuda_message(f, cudaErrorInvalidValue, "qor_sw.cpp", 0);
  EXPECT_EQ(sw._buf_size, 1000);
  EXPECT_EQ(sw._part_off, offsets);
  EXPECT_EQ(sw._residue, residue);
  EXPECT_EQ(qoremu_live_device_allocations(), base);
  std::vector<TypeParam> back(1000);
  ASSERT_EQ(cudaMemcpy(back.data(), residue, 1000 * sizeof(TypeParam), cudaMemcpyDeviceToHost),
            cudaSuccess);
  EXPECT_EQ(bytes_of(back), bytes_of(values));
}

#else  // host-CPU mode

TYPED_TEST(SwEmu, HostModeDumpNeedsNoCuda) {
  temp_dir dir;
  const std::string prefix = dir.path() + "/g";
  auto l = make_layer<TypeParam>("-mode r -dump_grad_path " + prefix, 333);
  const std::vector<TypeParam> values = pattern<TypeParam>(333, 12);
  to_layer(*l.hw, l.sw->_buf_base, values.data(), 333 * sizeof(TypeParam));
  // As on a machine without a GPU or driver: every CUDA call fails.
  setenv("QOR_EMU_DEVICE_COUNT", "0", 1);
  qor_test::stderr_capture capture;
  EXPECT_NO_THROW(l.sw->dump_grad(5, "a"));
  const std::string log = capture.take();
  unsetenv("QOR_EMU_DEVICE_COUNT");
  EXPECT_EQ(log, "");
  EXPECT_EQ(read_file(prefix + ".5.a." + std::to_string(this->rank_)), bytes_of(values));
  EXPECT_EQ(l.hw->_host_buf, nullptr);
}

#endif

}  // namespace
