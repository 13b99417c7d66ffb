// The emulated CUDA runtime: device count and ordinals, per-thread state,
// memory, copies, streams, error texts and failure injection.
#include <cuda_runtime.h>
#include <gpu_emu.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

// Every case starts from the default device count, device 0, no pending error
// or injection, and must leave nothing allocated behind.
class cuda_runtime : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("QOR_EMU_DEVICE_COUNT");
    qoremu_inject_failure("", -1, 0);
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    cudaGetLastError();
  }
  void TearDown() override {
    unsetenv("QOR_EMU_DEVICE_COUNT");
    qoremu_inject_failure("", -1, 0);
    EXPECT_EQ(qoremu_live_device_allocations(), 0u);
    EXPECT_EQ(qoremu_live_host_allocations(), 0u);
    EXPECT_EQ(qoremu_live_streams(), 0u);
  }
  static void set_device_count(const char* value) { setenv("QOR_EMU_DEVICE_COUNT", value, 1); }
};

// ---------------------------------------------------------------- devices

TEST_F(cuda_runtime, DeviceCountDefaultsToEight) {
  int count = -1;
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 8);
}

TEST_F(cuda_runtime, DeviceCountFollowsTheEnvironmentAtEveryCall) {
  int count = -1;
  for (const char* value : {"1", "3", "16", "2"}) {
    set_device_count(value);
    ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess) << value;
    EXPECT_EQ(count, std::atoi(value));
  }
  unsetenv("QOR_EMU_DEVICE_COUNT");
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 8);
}

TEST_F(cuda_runtime, MalformedDeviceCountFallsBackToTheDefault) {
  int count = -1;
  for (const char* value : {"", "abc", "4x", "-2", "99999999999999999999"}) {
    set_device_count(value);
    ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess) << "'" << value << "'";
    EXPECT_EQ(count, 8) << "'" << value << "'";
  }
}

TEST_F(cuda_runtime, DeviceCountRejectsNullOutput) {
  EXPECT_EQ(cudaGetDeviceCount(nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

TEST_F(cuda_runtime, NoDeviceFailsLikeAHostWithoutDriver) {
  set_device_count("0");
  int count = 7;
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorInsufficientDriver);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(static_cast<int>(cudaErrorInsufficientDriver), 35);
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInsufficientDriver),
               "CUDA driver version is insufficient for CUDA runtime version");
  EXPECT_STREQ(cudaGetErrorName(cudaErrorInsufficientDriver), "cudaErrorInsufficientDriver");
  // Peek keeps the error, get hands it out once.
  EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInsufficientDriver);
  EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInsufficientDriver);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInsufficientDriver);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
}

TEST_F(cuda_runtime, LastErrorIsTheMostRecentFailure) {
  EXPECT_EQ(cudaSetDevice(-1), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaFree(reinterpret_cast<void*>(0x1000)), cudaErrorInvalidValue);
  // A success in between does not clear it.
  int device = -1;
  EXPECT_EQ(cudaGetDevice(&device), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

// One entry per device call: each must fail with the driver error when no
// device is emulated, record it, and change nothing.
struct device_call {
  const char* name;
  std::function<cudaError_t()> call;
};

std::ostream& operator<<(std::ostream& os, const device_call& c) { return os << c.name; }

// A valid stream and buffers are made before the device count drops.
struct call_fixture {
  cudaStream_t stream = nullptr;
  void* device = nullptr;
  void* host = nullptr;
  char bytes[64] = {};
};
call_fixture& fixture() {
  static call_fixture f;
  return f;
}

std::vector<device_call> device_calls() {
  return {
      {"cudaSetDevice", [] { return cudaSetDevice(0); }},
      {"cudaGetDevice", [] { int d = -1; return cudaGetDevice(&d); }},
      {"cudaDeviceSynchronize", [] { return cudaDeviceSynchronize(); }},
      {"cudaDeviceReset", [] { return cudaDeviceReset(); }},
      {"cudaMalloc", [] { void* p = nullptr; return cudaMalloc(&p, 64); }},
      {"cudaFree", [] { return cudaFree(fixture().device); }},
      {"cudaMallocHost", [] { void* p = nullptr; return cudaMallocHost(&p, 64); }},
      {"cudaFreeHost", [] { return cudaFreeHost(fixture().host); }},
      {"cudaMemcpy",
       [] { return cudaMemcpy(fixture().device, fixture().bytes, 64, cudaMemcpyHostToDevice); }},
      {"cudaMemcpyAsync",
       [] {
         return cudaMemcpyAsync(fixture().device, fixture().bytes, 64, cudaMemcpyHostToDevice,
                                fixture().stream);
       }},
      {"cudaMemset", [] { return cudaMemset(fixture().device, 1, 64); }},
      {"cudaMemsetAsync",
       [] { return cudaMemsetAsync(fixture().device, 1, 64, fixture().stream); }},
      {"cudaStreamCreate", [] { cudaStream_t s = nullptr; return cudaStreamCreate(&s); }},
      {"cudaStreamCreateWithFlags",
       [] {
         cudaStream_t s = nullptr;
         return cudaStreamCreateWithFlags(&s, cudaStreamNonBlocking);
       }},
      {"cudaStreamCreateWithPriority",
       [] { cudaStream_t s = nullptr; return cudaStreamCreateWithPriority(&s, 0, -1); }},
      {"cudaStreamDestroy", [] { return cudaStreamDestroy(fixture().stream); }},
      {"cudaStreamSynchronize", [] { return cudaStreamSynchronize(fixture().stream); }},
      {"cudaStreamQuery", [] { return cudaStreamQuery(fixture().stream); }},
      {"cudaDeviceGetStreamPriorityRange",
       [] { int l = 0, g = 0; return cudaDeviceGetStreamPriorityRange(&l, &g); }},
      {"cudaStreamGetPriority",
       [] { int p = 0; return cudaStreamGetPriority(fixture().stream, &p); }},
      {"cudaStreamGetFlags",
       [] { unsigned f = 0; return cudaStreamGetFlags(fixture().stream, &f); }},
      {"cudaStreamGetDevice", [] { int d = 0; return cudaStreamGetDevice(fixture().stream, &d); }},
  };
}

class DeviceCall : public cuda_runtime, public ::testing::WithParamInterface<device_call> {
 protected:
  void SetUp() override {
    cuda_runtime::SetUp();
    auto& f = fixture();
    ASSERT_EQ(cudaStreamCreate(&f.stream), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&f.device, 64), cudaSuccess);
    ASSERT_EQ(cudaMallocHost(&f.host, 64), cudaSuccess);
    ASSERT_EQ(cudaMemset(f.device, 0x5a, 64), cudaSuccess);
  }
  void TearDown() override {
    unsetenv("QOR_EMU_DEVICE_COUNT");
    qoremu_inject_failure("", -1, 0);
    auto& f = fixture();
    EXPECT_EQ(cudaStreamDestroy(f.stream), cudaSuccess);
    EXPECT_EQ(cudaFree(f.device), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(f.host), cudaSuccess);
    f = call_fixture{};
    cuda_runtime::TearDown();
  }
  // Nothing the calls could have touched may have changed.
  void expect_untouched() {
    auto& f = fixture();
    EXPECT_EQ(qoremu_live_device_allocations(), 1u);
    EXPECT_EQ(qoremu_live_host_allocations(), 1u);
    EXPECT_EQ(qoremu_live_streams(), 1u);
    const auto* bytes = static_cast<const unsigned char*>(f.device);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(bytes[i], 0x5a) << i;
  }
};

TEST_P(DeviceCall, FailsWithoutDriver) {
  set_device_count("0");
  EXPECT_EQ(GetParam().call(), cudaErrorInsufficientDriver);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInsufficientDriver);
  unsetenv("QOR_EMU_DEVICE_COUNT");
  expect_untouched();
}

TEST_P(DeviceCall, InjectedFailureIsReturnedOnceAndDoesNothing) {
  qoremu_inject_failure(GetParam().name, 0, cudaErrorNotSupported);
  EXPECT_EQ(GetParam().call(), cudaErrorNotSupported);
  EXPECT_EQ(cudaGetLastError(), cudaErrorNotSupported);
  expect_untouched();
}

INSTANTIATE_TEST_SUITE_P(cuda_runtime, DeviceCall, ::testing::ValuesIn(device_calls()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- errors

struct error_text {
  cudaError_t code;
  const char* name;
  const char* text;
};

class ErrorText : public ::testing::TestWithParam<error_text> {};

TEST_P(ErrorText, MatchesTheRuntime) {
  EXPECT_STREQ(cudaGetErrorName(GetParam().code), GetParam().name);
  EXPECT_STREQ(cudaGetErrorString(GetParam().code), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    cuda_runtime, ErrorText,
    ::testing::Values(
        error_text{cudaSuccess, "cudaSuccess", "no error"},
        error_text{cudaErrorInvalidValue, "cudaErrorInvalidValue", "invalid argument"},
        error_text{cudaErrorMemoryAllocation, "cudaErrorMemoryAllocation", "out of memory"},
        error_text{cudaErrorInitializationError, "cudaErrorInitializationError",
                   "initialization error"},
        error_text{cudaErrorInvalidMemcpyDirection, "cudaErrorInvalidMemcpyDirection",
                   "invalid copy direction for memcpy"},
        error_text{cudaErrorInsufficientDriver, "cudaErrorInsufficientDriver",
                   "CUDA driver version is insufficient for CUDA runtime version"},
        error_text{cudaErrorNoDevice, "cudaErrorNoDevice", "no CUDA-capable device is detected"},
        error_text{cudaErrorInvalidDevice, "cudaErrorInvalidDevice", "invalid device ordinal"},
        error_text{cudaErrorInvalidResourceHandle, "cudaErrorInvalidResourceHandle",
                   "invalid resource handle"},
        error_text{cudaErrorNotReady, "cudaErrorNotReady", "device not ready"},
        error_text{cudaErrorNotSupported, "cudaErrorNotSupported", "operation not supported"},
        error_text{cudaErrorUnknown, "cudaErrorUnknown", "unknown error"},
        // Codes the emulation does not know, as the runtime answers them.
        error_text{static_cast<cudaError_t>(42), "unrecognized error code",
                   "unrecognized error code"},
        error_text{static_cast<cudaError_t>(500), "unrecognized error code",
                   "unrecognized error code"}));

// ---------------------------------------------------------------- ordinals

TEST_F(cuda_runtime, SetDeviceAcceptsEveryOrdinalBelowTheCount) {
  set_device_count("4");
  for (int d = 0; d < 4; ++d) {
    ASSERT_EQ(cudaSetDevice(d), cudaSuccess);
    int current = -1;
    ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
    EXPECT_EQ(current, d);
  }
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(cuda_runtime, SetDeviceRejectsOrdinalsOutsideTheCount) {
  set_device_count("4");
  ASSERT_EQ(cudaSetDevice(2), cudaSuccess);
  for (int bad : {-1, 4, 5, 1000}) {
    EXPECT_EQ(cudaSetDevice(bad), cudaErrorInvalidDevice) << bad;
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
    int current = -1;
    ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
    EXPECT_EQ(current, 2) << "a rejected ordinal must not change the device";
  }
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDevice), "invalid device ordinal");
}

TEST_F(cuda_runtime, GetDeviceRejectsNullOutput) {
  EXPECT_EQ(cudaGetDevice(nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

TEST_F(cuda_runtime, CurrentDeviceIsPerThread) {
  ASSERT_EQ(cudaSetDevice(5), cudaSuccess);
  int seen_by_thread = -1;
  int after_set_in_thread = -1;
  std::thread worker([&] {
    cudaGetDevice(&seen_by_thread);
    cudaSetDevice(3);
    cudaGetDevice(&after_set_in_thread);
  });
  worker.join();
  EXPECT_EQ(seen_by_thread, 0);
  EXPECT_EQ(after_set_in_thread, 3);
  int mine = -1;
  ASSERT_EQ(cudaGetDevice(&mine), cudaSuccess);
  EXPECT_EQ(mine, 5);
}

TEST_F(cuda_runtime, LastErrorIsPerThread) {
  cudaError_t thread_failure = cudaSuccess;
  cudaError_t thread_peek = cudaSuccess;
  cudaError_t thread_after_get = cudaErrorUnknown;
  std::thread worker([&] {
    thread_failure = cudaSetDevice(100);
    thread_peek = cudaPeekAtLastError();
    cudaGetLastError();
    thread_after_get = cudaPeekAtLastError();
  });
  worker.join();
  EXPECT_EQ(thread_failure, cudaErrorInvalidDevice);
  EXPECT_EQ(thread_peek, cudaErrorInvalidDevice);
  EXPECT_EQ(thread_after_get, cudaSuccess);
  EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess) << "another thread's error leaked here";

  // And the other way round: this thread's error stays here.
  EXPECT_EQ(cudaFree(reinterpret_cast<void*>(0x40)), cudaErrorInvalidValue);
  cudaError_t seen_by_thread = cudaErrorUnknown;
  std::thread reader([&] { seen_by_thread = cudaPeekAtLastError(); });
  reader.join();
  EXPECT_EQ(seen_by_thread, cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

// ---------------------------------------------------------------- memory

struct allocator {
  const char* name;
  cudaError_t (*alloc)(void**, size_t);
  cudaError_t (*release)(void*);
  cudaError_t (*other_release)(void*);
  size_t (*live)();
};

std::ostream& operator<<(std::ostream& os, const allocator& a) { return os << a.name; }

class Memory : public cuda_runtime, public ::testing::WithParamInterface<allocator> {};

TEST_P(Memory, AllocationsAreAlignedWritableAndCounted) {
  const auto& a = GetParam();
  const size_t sizes[] = {1, 3, 255, 256, 257, 4096, 1 << 20};
  std::vector<void*> blocks;
  for (size_t size : sizes) {
    void* p = nullptr;
    ASSERT_EQ(a.alloc(&p, size), cudaSuccess) << size;
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 256, 0u) << size;
    std::memset(p, 0x3c, size);  // the whole block must be usable
    blocks.push_back(p);
    EXPECT_EQ(a.live(), blocks.size());
  }
  for (size_t i = 0; i < blocks.size(); ++i) {
    for (size_t j = 0; j < i; ++j) EXPECT_NE(blocks[i], blocks[j]);
  }
  for (void* p : blocks) ASSERT_EQ(a.release(p), cudaSuccess);
  EXPECT_EQ(a.live(), 0u);
}

TEST_P(Memory, SizeZeroAllocatesNothing) {
  const auto& a = GetParam();
  void* p = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(a.alloc(&p, 0), cudaSuccess);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(a.live(), 0u);
  EXPECT_EQ(a.release(p), cudaSuccess);
}

TEST_P(Memory, NullOutputPointerIsInvalid) {
  EXPECT_EQ(GetParam().alloc(nullptr, 16), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  EXPECT_EQ(GetParam().live(), 0u);
}

TEST_P(Memory, HugeAllocationFailsAsOutOfMemory) {
  void* p = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(GetParam().alloc(&p, SIZE_MAX - 16), cudaErrorMemoryAllocation);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
  EXPECT_EQ(GetParam().live(), 0u);
}

TEST_P(Memory, FreeingNullSucceeds) {
  EXPECT_EQ(GetParam().release(nullptr), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_P(Memory, FreeingWhatWasNotAllocatedFails) {
  const auto& a = GetParam();
  int on_stack = 0;
  std::vector<int> on_heap(8);
  EXPECT_EQ(a.release(&on_stack), cudaErrorInvalidValue);
  EXPECT_EQ(a.release(on_heap.data()), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);

  void* p = nullptr;
  ASSERT_EQ(a.alloc(&p, 512), cudaSuccess);
  // Interior address, the other kind's release, then a double free.
  EXPECT_EQ(a.release(static_cast<char*>(p) + 16), cudaErrorInvalidValue);
  EXPECT_EQ(a.other_release(p), cudaErrorInvalidValue);
  EXPECT_EQ(a.live(), 1u);
  EXPECT_EQ(a.release(p), cudaSuccess);
  EXPECT_EQ(a.release(p), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  EXPECT_EQ(a.live(), 0u);
}

cudaError_t malloc_device(void** p, size_t n) { return cudaMalloc(p, n); }
cudaError_t malloc_host(void** p, size_t n) { return cudaMallocHost(p, n); }

INSTANTIATE_TEST_SUITE_P(
    cuda_runtime, Memory,
    ::testing::Values(allocator{"device", malloc_device, cudaFree, cudaFreeHost,
                                qoremu_live_device_allocations},
                      allocator{"pinned_host", malloc_host, cudaFreeHost, cudaFree,
                                qoremu_live_host_allocations}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(cuda_runtime, FreshDeviceMemoryIsNotZero) {
  // Code that reads a buffer it never wrote must not get lucky zeros.
  float* p = nullptr;
  ASSERT_EQ(cudaMalloc(&p, 64 * sizeof(float)), cudaSuccess);
  std::vector<float> host(64, 0.0f);
  ASSERT_EQ(cudaMemcpy(host.data(), p, 64 * sizeof(float), cudaMemcpyDeviceToHost), cudaSuccess);
  for (float v : host) EXPECT_TRUE(std::isnan(v)) << "expected NaN filler, got " << v;
  ASSERT_EQ(cudaFree(p), cudaSuccess);
}

TEST_F(cuda_runtime, ConcurrentAllocationAndCopyFromManyThreads) {
  constexpr int threads = 4;
  constexpr int rounds = 500;
  std::atomic<int> failures{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([t, &failures] {
      for (int r = 0; r < rounds; ++r) {
        const size_t n = 16 + static_cast<size_t>((t * rounds + r) % 97);
        std::vector<unsigned char> in(n), out(n, 0);
        for (size_t i = 0; i < n; ++i) in[i] = static_cast<unsigned char>(t * 31 + r + i);
        void* d = nullptr;
        void* h = nullptr;
        cudaStream_t s = nullptr;
        if (cudaMalloc(&d, n) != cudaSuccess || cudaMallocHost(&h, n) != cudaSuccess ||
            cudaStreamCreate(&s) != cudaSuccess ||
            cudaMemcpyAsync(d, in.data(), n, cudaMemcpyHostToDevice, s) != cudaSuccess ||
            cudaMemcpyAsync(h, d, n, cudaMemcpyDeviceToHost, s) != cudaSuccess ||
            cudaStreamSynchronize(s) != cudaSuccess ||
            cudaMemcpy(out.data(), h, n, cudaMemcpyHostToHost) != cudaSuccess ||
            out != in || cudaStreamDestroy(s) != cudaSuccess || cudaFree(d) != cudaSuccess ||
            cudaFreeHost(h) != cudaSuccess) {
          ++failures;
        }
      }
    });
  }
  for (auto& th : pool) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(qoremu_live_device_allocations(), 0u);
  EXPECT_EQ(qoremu_live_host_allocations(), 0u);
  EXPECT_EQ(qoremu_live_streams(), 0u);
}

// ---------------------------------------------------------------- copies

struct copy_case {
  const char* name;
  cudaMemcpyKind kind;
  bool async;
};

std::ostream& operator<<(std::ostream& os, const copy_case& c) { return os << c.name; }

class Copy : public cuda_runtime, public ::testing::WithParamInterface<copy_case> {
 protected:
  cudaError_t copy(void* dst, const void* src, size_t n, cudaMemcpyKind kind,
                   cudaStream_t stream = nullptr) {
    return GetParam().async ? cudaMemcpyAsync(dst, src, n, kind, stream)
                            : cudaMemcpy(dst, src, n, kind);
  }
};

TEST_P(Copy, MovesTheBytes) {
  const size_t n = 1000;
  std::vector<unsigned char> source(n), result(n, 0);
  std::iota(source.begin(), source.end(), static_cast<unsigned char>(7));
  unsigned char* a = nullptr;
  unsigned char* b = nullptr;
  ASSERT_EQ(cudaMalloc(&a, n), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&b, n), cudaSuccess);
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
  // Whatever the kind says, a copy lands exactly the bytes asked for.
  ASSERT_EQ(cudaMemcpy(a, source.data(), n, cudaMemcpyHostToDevice), cudaSuccess);
  ASSERT_EQ(copy(b + 1, a + 3, n - 10, GetParam().kind, stream), cudaSuccess);
  ASSERT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
  ASSERT_EQ(cudaMemcpy(result.data(), b, n, cudaMemcpyDeviceToHost), cudaSuccess);
  for (size_t i = 0; i < n - 10; ++i) ASSERT_EQ(result[i + 1], source[i + 3]) << i;
  EXPECT_EQ(result[0], 0xff) << "the byte before the destination was written";
  EXPECT_EQ(result[n - 9], 0xff) << "the byte after the destination was written";
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
  ASSERT_EQ(cudaFree(a), cudaSuccess);
  ASSERT_EQ(cudaFree(b), cudaSuccess);
}

TEST_P(Copy, OverlappingRangesAreCopiedAsIfThroughABuffer) {
  std::vector<int> data(100);
  std::iota(data.begin(), data.end(), 0);
  ASSERT_EQ(copy(data.data() + 10, data.data(), 50 * sizeof(int), GetParam().kind), cudaSuccess);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(data[10 + i], i);
  std::iota(data.begin(), data.end(), 0);
  ASSERT_EQ(copy(data.data(), data.data() + 10, 50 * sizeof(int), GetParam().kind), cudaSuccess);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(data[i], i + 10);
}

TEST_P(Copy, NullPointerWithBytesIsInvalid) {
  char buffer[8] = {};
  EXPECT_EQ(copy(nullptr, buffer, 8, GetParam().kind), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  EXPECT_EQ(copy(buffer, nullptr, 8, GetParam().kind), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  // Nothing to copy, nothing to check.
  EXPECT_EQ(copy(nullptr, nullptr, 0, GetParam().kind), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_P(Copy, UnknownDirectionIsRejected) {
  char a[4] = {1, 2, 3, 4};
  char b[4] = {};
  for (int kind : {5, 6, 7}) {
    EXPECT_EQ(copy(b, a, 4, static_cast<cudaMemcpyKind>(kind)), cudaErrorInvalidMemcpyDirection)
        << kind;
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidMemcpyDirection);
  }
  EXPECT_EQ(b[0], 0);
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidMemcpyDirection),
               "invalid copy direction for memcpy");
}

INSTANTIATE_TEST_SUITE_P(
    cuda_runtime, Copy,
    ::testing::Values(copy_case{"HostToHost", cudaMemcpyHostToHost, false},
                      copy_case{"HostToDevice", cudaMemcpyHostToDevice, false},
                      copy_case{"DeviceToHost", cudaMemcpyDeviceToHost, false},
                      copy_case{"DeviceToDevice", cudaMemcpyDeviceToDevice, false},
                      copy_case{"Default", cudaMemcpyDefault, false},
                      copy_case{"HostToHostAsync", cudaMemcpyHostToHost, true},
                      copy_case{"HostToDeviceAsync", cudaMemcpyHostToDevice, true},
                      copy_case{"DeviceToHostAsync", cudaMemcpyDeviceToHost, true},
                      copy_case{"DeviceToDeviceAsync", cudaMemcpyDeviceToDevice, true},
                      copy_case{"DefaultAsync", cudaMemcpyDefault, true}),
    [](const auto& info) { return std::string(info.param.name); });

class AsyncCopy : public cuda_runtime, public ::testing::WithParamInterface<cudaMemcpyKind> {};

TEST_P(AsyncCopy, DestroyedOrUnknownStreamIsRejected) {
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
  ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
  cudaStream_t made_up = reinterpret_cast<cudaStream_t>(uintptr_t{0x5550});
  char a[4] = {1, 2, 3, 4};
  char b[4] = {};
  for (cudaStream_t bad : {stream, made_up}) {
    EXPECT_EQ(cudaMemcpyAsync(b, a, 4, GetParam(), bad), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
  }
  EXPECT_EQ(b[0], 0) << "a rejected copy must not run";
}

INSTANTIATE_TEST_SUITE_P(cuda_runtime, AsyncCopy,
                         ::testing::Values(cudaMemcpyHostToHost, cudaMemcpyHostToDevice,
                                           cudaMemcpyDeviceToHost, cudaMemcpyDeviceToDevice,
                                           cudaMemcpyDefault));

TEST_F(cuda_runtime, AsyncWorkOnOneStreamRunsInOrder) {
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking), cudaSuccess);
  int* d = nullptr;
  ASSERT_EQ(cudaMalloc(&d, 4 * sizeof(int)), cudaSuccess);
  std::vector<int> first = {1, 2, 3, 4}, out(4, -1);
  ASSERT_EQ(cudaMemsetAsync(d, 0, 4 * sizeof(int), stream), cudaSuccess);
  ASSERT_EQ(cudaMemcpyAsync(d + 1, first.data(), 2 * sizeof(int), cudaMemcpyHostToDevice, stream),
            cudaSuccess);
  ASSERT_EQ(cudaMemcpyAsync(out.data(), d, 4 * sizeof(int), cudaMemcpyDeviceToHost, stream),
            cudaSuccess);
  ASSERT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
  EXPECT_EQ(out, (std::vector<int>{0, 1, 2, 0}));
  ASSERT_EQ(cudaFree(d), cudaSuccess);
  ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
}

// ---------------------------------------------------------------- memset

class Memset : public cuda_runtime, public ::testing::WithParamInterface<bool> {
 protected:
  cudaError_t set(void* p, int value, size_t n, cudaStream_t stream = nullptr) {
    return GetParam() ? cudaMemsetAsync(p, value, n, stream) : cudaMemset(p, value, n);
  }
};

TEST_P(Memset, FillsTheLowByteOfTheValue) {
  unsigned char* d = nullptr;
  ASSERT_EQ(cudaMalloc(&d, 300), cudaSuccess);
  ASSERT_EQ(set(d, 0, 300), cudaSuccess);
  ASSERT_EQ(set(d + 10, 0x1ab, 200), cudaSuccess);
  std::vector<unsigned char> host(300);
  ASSERT_EQ(cudaMemcpy(host.data(), d, 300, cudaMemcpyDeviceToHost), cudaSuccess);
  for (size_t i = 0; i < 300; ++i) {
    ASSERT_EQ(host[i], (i >= 10 && i < 210) ? 0xab : 0x00) << i;
  }
  ASSERT_EQ(cudaFree(d), cudaSuccess);
}

TEST_P(Memset, NullPointerWithBytesIsInvalid) {
  EXPECT_EQ(set(nullptr, 0, 4), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  EXPECT_EQ(set(nullptr, 0, 0), cudaSuccess);
}

INSTANTIATE_TEST_SUITE_P(cuda_runtime, Memset, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Async" : "Sync"; });

TEST_F(cuda_runtime, MemsetAsyncRejectsADestroyedStream) {
  unsigned char byte = 9;
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
  ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
  EXPECT_EQ(cudaMemsetAsync(&byte, 0, 1, stream), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(byte, 9) << "a rejected memset must not run";
}

// ---------------------------------------------------------------- streams

TEST_F(cuda_runtime, StreamsAreDistinctCountedAndReleased) {
  std::vector<cudaStream_t> made(5, nullptr);
  ASSERT_EQ(cudaStreamCreate(&made[0]), cudaSuccess);
  ASSERT_EQ(cudaStreamCreateWithFlags(&made[1], cudaStreamDefault), cudaSuccess);
  ASSERT_EQ(cudaStreamCreateWithFlags(&made[2], cudaStreamNonBlocking), cudaSuccess);
  ASSERT_EQ(cudaStreamCreateWithPriority(&made[3], cudaStreamNonBlocking, -3), cudaSuccess);
  ASSERT_EQ(cudaStreamCreateWithPriority(&made[4], cudaStreamDefault, 0), cudaSuccess);
  EXPECT_EQ(qoremu_live_streams(), 5u);
  for (size_t i = 0; i < made.size(); ++i) {
    ASSERT_NE(made[i], nullptr);
    for (size_t j = 0; j < i; ++j) EXPECT_NE(made[i], made[j]);
    EXPECT_EQ(cudaStreamSynchronize(made[i]), cudaSuccess);
    EXPECT_EQ(cudaStreamQuery(made[i]), cudaSuccess);
  }
  for (cudaStream_t s : made) ASSERT_EQ(cudaStreamDestroy(s), cudaSuccess);
  EXPECT_EQ(qoremu_live_streams(), 0u);
}

TEST_F(cuda_runtime, StreamRemembersFlagsPriorityAndDevice) {
  ASSERT_EQ(cudaSetDevice(3), cudaSuccess);
  cudaStream_t blocking = nullptr;
  cudaStream_t urgent = nullptr;
  ASSERT_EQ(cudaStreamCreate(&blocking), cudaSuccess);
  ASSERT_EQ(cudaStreamCreateWithPriority(&urgent, cudaStreamNonBlocking, -4), cudaSuccess);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);

  unsigned flags = 99;
  int priority = 99;
  int device = 99;
  ASSERT_EQ(cudaStreamGetFlags(blocking, &flags), cudaSuccess);
  EXPECT_EQ(flags, static_cast<unsigned>(cudaStreamDefault));
  ASSERT_EQ(cudaStreamGetPriority(blocking, &priority), cudaSuccess);
  EXPECT_EQ(priority, 0);
  ASSERT_EQ(cudaStreamGetFlags(urgent, &flags), cudaSuccess);
  EXPECT_EQ(flags, static_cast<unsigned>(cudaStreamNonBlocking));
  ASSERT_EQ(cudaStreamGetPriority(urgent, &priority), cudaSuccess);
  EXPECT_EQ(priority, -4);
  ASSERT_EQ(cudaStreamGetDevice(urgent, &device), cudaSuccess);
  EXPECT_EQ(device, 3) << "a stream belongs to the device current at its creation";
  // The null stream has the defaults and the current device.
  ASSERT_EQ(cudaStreamGetDevice(nullptr, &device), cudaSuccess);
  EXPECT_EQ(device, 1);
  ASSERT_EQ(cudaStreamGetPriority(nullptr, &priority), cudaSuccess);
  EXPECT_EQ(priority, 0);

  ASSERT_EQ(cudaStreamDestroy(blocking), cudaSuccess);
  ASSERT_EQ(cudaStreamDestroy(urgent), cudaSuccess);
  EXPECT_EQ(cudaStreamGetFlags(urgent, &flags), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaStreamGetFlags(nullptr, nullptr), cudaErrorInvalidValue);
}

// requested priority, expected priority
class StreamPriority : public cuda_runtime,
                       public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(StreamPriority, IsClampedToTheDeviceRange) {
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreateWithPriority(&stream, cudaStreamNonBlocking, GetParam().first),
            cudaSuccess);
  int priority = 99;
  ASSERT_EQ(cudaStreamGetPriority(stream, &priority), cudaSuccess);
  EXPECT_EQ(priority, GetParam().second);
  ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
}

INSTANTIATE_TEST_SUITE_P(cuda_runtime, StreamPriority,
                         ::testing::Values(std::make_pair(0, 0), std::make_pair(-1, -1),
                                           std::make_pair(-5, -5), std::make_pair(-6, -5),
                                           std::make_pair(-1000, -5), std::make_pair(1, 0),
                                           std::make_pair(42, 0)));

TEST_F(cuda_runtime, PriorityRangeIsZeroToMinusFive) {
  int least = 99;
  int greatest = 99;
  ASSERT_EQ(cudaDeviceGetStreamPriorityRange(&least, &greatest), cudaSuccess);
  EXPECT_EQ(least, 0);
  EXPECT_EQ(greatest, -5);
  least = 99;
  greatest = 99;
  EXPECT_EQ(cudaDeviceGetStreamPriorityRange(nullptr, &greatest), cudaSuccess);
  EXPECT_EQ(greatest, -5);
  EXPECT_EQ(cudaDeviceGetStreamPriorityRange(&least, nullptr), cudaSuccess);
  EXPECT_EQ(least, 0);
}

TEST_F(cuda_runtime, StreamCreationRejectsBadArguments) {
  EXPECT_EQ(cudaStreamCreate(nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(cudaStreamCreateWithFlags(nullptr, 0), cudaErrorInvalidValue);
  EXPECT_EQ(cudaStreamCreateWithPriority(nullptr, 0, 0), cudaErrorInvalidValue);
  cudaStream_t stream = nullptr;
  EXPECT_EQ(cudaStreamCreateWithFlags(&stream, 0x2), cudaErrorInvalidValue);
  EXPECT_EQ(cudaStreamCreateWithPriority(&stream, 0x10, 0), cudaErrorInvalidValue);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  EXPECT_EQ(qoremu_live_streams(), 0u);
}

TEST_F(cuda_runtime, DestroyedOrUnknownStreamsAreRejected) {
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
  ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
  cudaStream_t made_up = reinterpret_cast<cudaStream_t>(uintptr_t{0x7777});
  for (cudaStream_t bad : {stream, made_up}) {
    EXPECT_EQ(cudaStreamDestroy(bad), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaStreamSynchronize(bad), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaStreamQuery(bad), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
  }
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidResourceHandle), "invalid resource handle");
  EXPECT_EQ(qoremu_live_streams(), 0u);
}

TEST_F(cuda_runtime, NullStreamIsValidButCannotBeDestroyed) {
  EXPECT_EQ(cudaStreamSynchronize(nullptr), cudaSuccess);
  EXPECT_EQ(cudaStreamQuery(nullptr), cudaSuccess);
  EXPECT_EQ(cudaStreamDestroy(nullptr), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
}

TEST_F(cuda_runtime, DeviceResetReleasesOnlyTheCurrentDevice) {
  void* on0 = nullptr;
  void* on1 = nullptr;
  void* pinned = nullptr;
  cudaStream_t s0 = nullptr;
  cudaStream_t s1 = nullptr;
  ASSERT_EQ(cudaMalloc(&on0, 64), cudaSuccess);
  ASSERT_EQ(cudaStreamCreate(&s0), cudaSuccess);
  ASSERT_EQ(cudaMallocHost(&pinned, 64), cudaSuccess);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&on1, 64), cudaSuccess);
  ASSERT_EQ(cudaStreamCreate(&s1), cudaSuccess);
  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);

  ASSERT_EQ(cudaDeviceReset(), cudaSuccess);
  EXPECT_EQ(qoremu_live_device_allocations(), 1u);
  EXPECT_EQ(qoremu_live_streams(), 1u);
  EXPECT_EQ(qoremu_live_host_allocations(), 1u);
  EXPECT_EQ(cudaFree(on0), cudaErrorInvalidValue) << "reset already released it";
  EXPECT_EQ(cudaStreamQuery(s0), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaStreamQuery(s1), cudaSuccess);

  EXPECT_EQ(cudaFree(on1), cudaSuccess);
  EXPECT_EQ(cudaStreamDestroy(s1), cudaSuccess);
  EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
  cudaGetLastError();
}

// ---------------------------------------------------------------- injection

TEST_F(cuda_runtime, InjectionHonoursTheSkipCount) {
  qoremu_inject_failure("cudaMalloc", 2, cudaErrorMemoryAllocation);
  void* p[4] = {};
  EXPECT_EQ(cudaMalloc(&p[0], 8), cudaSuccess);
  EXPECT_EQ(cudaMalloc(&p[1], 8), cudaSuccess);
  p[2] = reinterpret_cast<void*>(0x99);
  EXPECT_EQ(cudaMalloc(&p[2], 8), cudaErrorMemoryAllocation);
  EXPECT_EQ(p[2], reinterpret_cast<void*>(0x99)) << "an injected failure must do nothing";
  EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
  EXPECT_EQ(cudaMalloc(&p[3], 8), cudaSuccess) << "an injection fires once";
  EXPECT_EQ(qoremu_live_device_allocations(), 3u);
  for (void* q : {p[0], p[1], p[3]}) EXPECT_EQ(cudaFree(q), cudaSuccess);
}

TEST_F(cuda_runtime, InjectionIsPerFunctionName) {
  qoremu_inject_failure("cudaStreamCreateWithPriority", 0, cudaErrorInvalidValue);
  cudaStream_t a = nullptr;
  cudaStream_t b = nullptr;
  EXPECT_EQ(cudaStreamCreate(&a), cudaSuccess);
  EXPECT_EQ(cudaStreamCreateWithFlags(&b, 0), cudaSuccess);
  cudaStream_t c = nullptr;
  EXPECT_EQ(cudaStreamCreateWithPriority(&c, 0, -1), cudaErrorInvalidValue);
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(qoremu_live_streams(), 2u);
  EXPECT_EQ(cudaStreamDestroy(a), cudaSuccess);
  EXPECT_EQ(cudaStreamDestroy(b), cudaSuccess);
  cudaGetLastError();
}

TEST_F(cuda_runtime, NegativeSkipClearsPendingInjections) {
  qoremu_inject_failure("cudaSetDevice", 0, cudaErrorUnknown);
  qoremu_inject_failure("cudaGetDevice", 1, cudaErrorUnknown);
  qoremu_inject_failure("", -1, 0);
  int d = -1;
  EXPECT_EQ(cudaSetDevice(1), cudaSuccess);
  EXPECT_EQ(cudaGetDevice(&d), cudaSuccess);
  EXPECT_EQ(cudaGetDevice(&d), cudaSuccess);
  EXPECT_EQ(d, 1);
}

TEST_F(cuda_runtime, InjectedDeviceCountFailureLeavesCountAlone) {
  qoremu_inject_failure("cudaGetDeviceCount", 0, cudaErrorNoDevice);
  int count = -3;
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorNoDevice);
  EXPECT_EQ(count, -3);
  EXPECT_EQ(cudaGetLastError(), cudaErrorNoDevice);
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 8);
}

}  // namespace
