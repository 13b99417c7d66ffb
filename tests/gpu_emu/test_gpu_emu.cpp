// What the library's tests rely on in the GPU emulation: binary16 rounding,
// NCCL collectives between processes and their failures, and the places
// where it is as strict as a GPU (memory, copies, streams, devices).
#include <cublas_v2.h>
#include <cuda_fp16.h>
#include <gtest/gtest.h>
#include <mpi.h>
#include <nccl.h>

#include <cmath>
#include <csignal>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "gpu_emu.h"
#include "gpu_emu_kernel.h"
#include "qor_test_support.h"

namespace {

using qor_test::scoped_env;

// Each process on a device of its own, as NCCL requires.
ncclComm_t join(const char* timeout = "30", int device = qor_test::world_rank()) {
  scoped_env env("QOR_EMU_NCCL_TIMEOUT", timeout);
  EXPECT_EQ(cudaSetDevice(device), cudaSuccess);
  ncclUniqueId id;
  if (qor_test::world_rank() == 0) ncclGetUniqueId(&id);
  MPI_Bcast(&id, sizeof id, MPI_BYTE, 0, MPI_COMM_WORLD);
  ncclComm_t comm = nullptr;
  EXPECT_EQ(ncclCommInitRank(&comm, qor_test::world_size(), id, qor_test::world_rank()), ncclSuccess);
  return comm;
}

// A device copy of `v` (one element more, so that an empty one is real).
template <class T>
T* on_device(const std::vector<T>& v) {
  T* p = nullptr;
  EXPECT_EQ(cudaMalloc(&p, (v.size() + 1) * sizeof(T)), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(p, v.data(), v.size() * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  return p;
}

template <class T>
std::vector<T> on_host(const T* p, size_t n) {
  std::vector<T> v(n);
  EXPECT_EQ(cudaMemcpy(v.data(), p, n * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
  return v;
}

}  // namespace

TEST(Fp16, RoundsToNearestEvenWithSubnormalsInfinityAndNan) {
  const std::vector<std::pair<float, unsigned short>> cases = {
      {0.0f, 0x0000},   {-0.0f, 0x8000},  {1.0f, 0x3c00},   {65504.0f, 0x7bff}, {65519.0f, 0x7bff},
      {65520.0f, 0x7c00}, {INFINITY, 0x7c00}, {NAN, 0x7e00}, {std::ldexp(1.0f, -24), 0x0001},
      {std::ldexp(1.0f, -25), 0x0000}, {std::ldexp(1.5f, -25), 0x0001}, {std::ldexp(1.0f, -14), 0x0400},
      {1.0f + std::ldexp(1.0f, -11), 0x3c00}, {1.0f + std::ldexp(3.0f, -11), 0x3c02}, {-2.5f, 0xc100}};
  for (const auto& [f, bits] : cases) EXPECT_EQ(__half_as_ushort(__float2half(f)), bits) << f;
  for (unsigned bits = 0; bits < 0x10000; ++bits) {
    const float f = __half2float(__ushort_as_half(static_cast<unsigned short>(bits)));
    EXPECT_TRUE(std::isnan(f) || __half_as_ushort(__float2half(f)) == bits) << "pattern " << bits;
  }
}

// Each collective of each type against its definition, also over counts
// that take several rounds of the shared segment.  The library sums float
// and half and broadcasts bytes.
TEST(Nccl, CollectivesMatchTheirDefinition) {
  ncclComm_t comm = join();
  const int n = qor_test::world_size(), me = qor_test::world_rank();
  for (size_t count : {size_t{0}, size_t{1}, size_t{200003}}) {
    auto each_type = [&](auto t, ncclDataType_t type) {
      using T = decltype(t);
      const bool half = type == ncclHalf;
      SCOPED_TRACE(std::to_string(count) + (half ? " halves" : " floats"));
      T* mine = on_device(qor_test::input<T>(me, count));
      T* all = on_device(qor_test::input<T>(me, count * n));
      T* out = on_device(std::vector<T>(count * n));
      auto sum = [&](size_t i) { return qor_test::sum_of(half, n, i); };
      auto check = [&](size_t elements, const std::function<float(size_t)>& want) {
        EXPECT_EQ(qor_test::mismatch(on_host(out, elements), 0, elements, want), "");
      };
      ASSERT_EQ(ncclAllReduce(mine, out, count, type, ncclSum, comm, nullptr), ncclSuccess);
      check(count, sum);
      ASSERT_EQ(ncclReduceScatter(all, out, count, type, ncclSum, comm, nullptr), ncclSuccess);
      check(count, [&](size_t i) { return sum(me * count + i); });
      ASSERT_EQ(ncclAllGather(mine, out, count, type, comm, nullptr), ncclSuccess);
      check(count * n, [&](size_t i) { return qor_test::value_of(half, i / count, i % count); });
      ASSERT_EQ(ncclReduce(mine, out, count, type, ncclSum, 0, comm, nullptr), ncclSuccess);
      check(me == 0 ? count : 0, sum);
      ASSERT_EQ(ncclBroadcast(mine, out, count * sizeof(T), ncclUint8, n - 1, comm, nullptr), ncclSuccess);
      check(count, [&](size_t i) { return qor_test::value_of(half, n - 1, i); });
      cudaFree(mine), cudaFree(all), cudaFree(out);
    };
    each_type(float{}, ncclFloat);
    each_type(__half{}, ncclHalf);
  }
  EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
}

// The exchange happens at the call, the result lands when its stream gets
// there: a host that does not wait for that stream reads the old values.
TEST(Nccl, ResultsLandWhenTheirStreamIsWaitedFor) {
  ncclComm_t comm = join();
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking), cudaSuccess);
  float* buf = on_device(std::vector<float>(4, 1.0f));
  ASSERT_EQ(ncclAllReduce(buf, buf, 4, ncclFloat, ncclSum, comm, stream), ncclSuccess);
  EXPECT_EQ(on_host(buf, 4), std::vector<float>(4, 1.0f));
  ASSERT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
  EXPECT_EQ(on_host(buf, 4), std::vector<float>(4, qor_test::world_size() * 1.0f));
  cudaFree(buf), cudaStreamDestroy(stream), ncclCommDestroy(comm);
}

// Half sums round after every addition, in ring order: share p of the
// elements is summed from rank p+1 round to rank p.  Rank 0 gives 2048,
// the others 1: a 1 added to 2048 is lost (ties to even), ones added first
// are not, so shares differ where one rounding at the end would not.
TEST(Nccl, HalfSumsRoundAfterEachAdditionInRingOrder) {
  const int n = qor_test::world_size(), me = qor_test::world_rank();
  ncclComm_t comm = join();
  __half* buf = on_device(std::vector<__half>(n, __float2half(me == 0 ? 2048.0f : 1.0f)));
  ASSERT_EQ(ncclAllReduce(buf, buf, n, ncclHalf, ncclSum, comm, nullptr), ncclSuccess);
  const std::vector<__half> got = on_host(buf, n);
  bool order_shows = false;
  for (int p = 0; p < n; ++p) {
    float want = p + 1 == n ? 2048.0f : 1.0f;
    for (int k = p + 2; k <= p + n; ++k) want = __half2float(__float2half(want + (k % n == 0 ? 2048.0f : 1.0f)));
    EXPECT_EQ(__half2float(got[p]), want) << "share " << p;
    order_shows |= want != __half2float(__float2half(2048.0f + (n - 1)));
  }
  EXPECT_EQ(order_shows, n > 2) << "with two ranks one rounding at the end gives the same";
  cudaFree(buf);
  ncclCommDestroy(comm);
}

// The suite's failure injection: once, after the given number of calls;
// a kernel launch that fails sets the last error and runs nothing.
TEST(Runtime, AnInjectedFailureComesOnceAfterItsSkips) {
  void* p[3] = {};
  qoremu_inject_failure("cudaMalloc", 1, cudaErrorMemoryAllocation);
  const std::vector<int> codes = {cudaMalloc(&p[0], 4), cudaMalloc(&p[1], 4), cudaMalloc(&p[2], 4)};
  EXPECT_EQ(codes, (std::vector<int>{cudaSuccess, cudaErrorMemoryAllocation, cudaSuccess}));
  cudaGetLastError();
  bool ran = false;
  qoremu_inject_failure("cudaLaunchKernel", 0, cudaErrorLaunchOutOfResources);
  qoremu_launch(nullptr, {{p[0], 4}}, [&](void* const*) { ran = true; });
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_FALSE(ran);
  cudaFree(p[0]), cudaFree(p[2]);
}

// Calls that do not match, buffers NCCL cannot use and two ranks on one
// device fail on every rank; a peer that never comes or leaves makes the
// others fail instead of waiting forever.
TEST(Nccl, MismatchesAndMissingPeersFailOnEveryRank) {
  const int me = qor_test::world_rank();
  if (qor_test::world_size() < 2) GTEST_SKIP() << "one rank has no peer";
  const std::vector<float> ones(8, 1.0f);
  float* buf = on_device(ones);
  ncclComm_t comm = join("1");
  std::vector<float> host = ones;
  EXPECT_EQ(ncclAllReduce(host.data(), host.data(), 8, ncclFloat, ncclSum, comm, nullptr), ncclInvalidArgument)
      << "host memory";
  EXPECT_EQ(ncclAllReduce(buf, buf, me == 0 ? 7 : 8, ncclFloat, ncclSum, comm, nullptr), ncclInvalidUsage);
  EXPECT_EQ(on_host(buf, 8), ones) << "nothing written";
  ncclCommDestroy(comm);
  comm = join("1");
  if (me != 0) {
    EXPECT_EQ(ncclAllReduce(buf, buf, 8, ncclFloat, ncclSum, comm, nullptr), ncclRemoteError)
        << "rank 0 never joins this call: the others give up after the time-out";
  }
  MPI_Barrier(MPI_COMM_WORLD);
  ncclCommDestroy(comm);
  comm = join();
  if (me == 0) ncclCommDestroy(comm);
  MPI_Barrier(MPI_COMM_WORLD);
  if (me != 0) {
    EXPECT_EQ(ncclAllReduce(buf, buf, 8, ncclFloat, ncclSum, comm, nullptr), ncclRemoteError) << "rank 0 left";
    ncclCommDestroy(comm);
  }
  scoped_env env("QOR_EMU_NCCL_TIMEOUT", "30");
  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  ncclUniqueId id;
  if (me == 0) ncclGetUniqueId(&id);
  MPI_Bcast(&id, sizeof id, MPI_BYTE, 0, MPI_COMM_WORLD);
  EXPECT_EQ(ncclCommInitRank(&comm, qor_test::world_size(), id, me), ncclInvalidUsage) << "all on device 0";
  EXPECT_EQ(qoremu_live_nccl_comms(), 0u);
  cudaFree(buf);
}

// Device memory is out of the host's reach, also once released; a child
// forked after its parent used the runtime cannot use it.
TEST(Memory, HostAccessFaultsAndForkedChildrenHaveNoRuntime) {
  float* live = on_device(std::vector<float>(4));
  float* gone = on_device(std::vector<float>(4));
  cudaFree(gone);
  // The default action, also under a sanitizer that catches SIGSEGV itself.
  const auto fault = [](const std::function<void()>& access) {
    return [access] { std::signal(SIGSEGV, SIG_DFL); access(); return 0; };
  };
  const std::vector<std::pair<std::function<int()>, int>> cases = {
      {fault([&] { (void)*const_cast<volatile float*>(live); }), -SIGSEGV},
      {fault([&] { *const_cast<volatile float*>(gone) = 1.0f; }), -SIGSEGV},
      {[] { void* p = nullptr; return static_cast<int>(cudaMalloc(&p, 4)); }, cudaErrorInitializationError}};
  for (const auto& [body, status] : cases) EXPECT_EQ(qor_test::run_child(body).status, status);
  cudaFree(live);
}

// Copies are checked against where their pointers live; a kernel given
// anything but memory of its device faults when it runs.
TEST(Memory, CopyKindsAndKernelBuffersAreChecked) {
  float* dev = on_device(std::vector<float>(4, 2.0f));
  float* freed = on_device(std::vector<float>(4));
  cudaFree(freed);
  float host[4] = {};
  struct copy_case {
    void* dst;
    const void* src;
    cudaMemcpyKind kind;
    cudaError_t result;
  } cases[] = {{dev, host, cudaMemcpyHostToDevice, cudaSuccess},    {host, dev, cudaMemcpyHostToDevice, cudaErrorInvalidValue},
               {host, dev, cudaMemcpyDeviceToDevice, cudaErrorInvalidValue}, {dev, host, cudaMemcpyHostToHost, cudaErrorInvalidValue},
               {host, dev, cudaMemcpyDefault, cudaSuccess},         {dev, freed, cudaMemcpyDefault, cudaErrorInvalidValue},
               {dev + 2, host, cudaMemcpyHostToDevice, cudaErrorInvalidValue}};
  for (const copy_case& c : cases) {
    EXPECT_EQ(cudaMemcpy(c.dst, c.src, 4 * sizeof(float), c.kind), c.result) << c.kind;
    cudaGetLastError();
  }
  EXPECT_EQ(cudaMemset(host, 0, sizeof host), cudaErrorInvalidValue);
  cudaGetLastError();
  qoremu_launch(nullptr, {{dev, 16}, {host, 16}}, [](void* const*) {});
  EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "the launch itself succeeds";
  EXPECT_EQ(cudaStreamSynchronize(nullptr), cudaErrorIllegalAddress);
  cudaFree(dev);
}

// Queued work runs at the synchronisation that needs it: a non-blocking
// stream is not waited for by the legacy default stream, a blocking one
// is; pageable sources are staged at the call, pinned targets filled late.
TEST(Streams, WorkRunsLaterInTheRuntimesOrder) {
  cudaStream_t non_blocking = nullptr, blocking = nullptr;
  cudaStreamCreateWithFlags(&non_blocking, cudaStreamNonBlocking);
  cudaStreamCreate(&blocking);
  unsigned char* dev = on_device(std::vector<unsigned char>(2, 0));
  cudaMemsetAsync(dev, 7, 1, non_blocking);
  cudaMemsetAsync(dev + 1, 9, 1, blocking);
  EXPECT_EQ(on_host(dev, 2), (std::vector<unsigned char>{0, 9})) << "the legacy stream waits for the blocking one only";
  EXPECT_EQ(cudaStreamQuery(non_blocking), cudaErrorNotReady);
  EXPECT_EQ(cudaStreamQuery(non_blocking), cudaSuccess);
  EXPECT_EQ(on_host(dev, 2), (std::vector<unsigned char>{7, 9}));
  unsigned char source[2] = {1, 2}, *pinned = nullptr;
  cudaMemcpyAsync(dev, source, 2, cudaMemcpyHostToDevice, non_blocking);
  source[0] = 5;
  cudaMallocHost(&pinned, 2);
  pinned[0] = pinned[1] = 0;
  cudaMemcpyAsync(pinned, dev, 2, cudaMemcpyDeviceToHost, non_blocking);
  EXPECT_EQ(pinned[0], 0) << "not copied before the synchronisation";
  EXPECT_EQ(cudaStreamSynchronize(non_blocking), cudaSuccess);
  EXPECT_EQ(std::vector<unsigned char>(pinned, pinned + 2), (std::vector<unsigned char>{1, 2}));
  cudaFreeHost(pinned), cudaFree(dev), cudaStreamDestroy(non_blocking), cudaStreamDestroy(blocking);
}

// The current device is per thread; kernels and cuBLAS run only on the
// device their stream or handle was made on; CUDA_VISIBLE_DEVICES picks
// and renumbers devices as the runtime does.
TEST(Devices, PerThreadBoundWorkAndVisibleDevices) {
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  cudaStream_t stream = nullptr;
  cublasHandle_t handle = nullptr;
  cudaStreamCreate(&stream);
  cublasCreate(&handle);
  float* x = on_device(std::vector<float>(4, 1.0f));
  int other = -1;
  std::thread([&] { cudaGetDevice(&other); }).join();
  EXPECT_EQ(other, 0);
  cudaSetDevice(0);
  qoremu_launch(stream, {{x, 16}}, [](void* const*) {});
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
  const float one = 1.0f;
  EXPECT_EQ(cublasSaxpy(handle, 4, &one, x, 1, x, 1), CUBLAS_STATUS_EXECUTION_FAILED);
  cudaSetDevice(1);
  cublasDestroy(handle), cudaStreamDestroy(stream), cudaFree(x);
  const std::vector<std::pair<const char*, int>> visible = {{"3,1", 2}, {"", 0}, {"2,x,1", 1}, {"1,1", 0}, {"8", 0}};
  for (const auto& [list, count] : visible) {
    scoped_env env("CUDA_VISIBLE_DEVICES", list);
    int seen = -1;
    cudaGetDeviceCount(&seen);
    EXPECT_EQ(seen, count) << list;
  }
  cudaGetLastError();
}
