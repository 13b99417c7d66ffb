// What the library's tests rely on in the GPU emulation: binary16 rounding,
// and NCCL collectives between processes and their failures.
#include <cuda_fp16.h>
#include <gtest/gtest.h>
#include <mpi.h>
#include <nccl.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "gpu_emu.h"
#include "qor_test_support.h"

namespace {

ncclComm_t join(const char* timeout = "30") {
  qor_test::scoped_env env("QOR_EMU_NCCL_TIMEOUT", timeout);
  ncclUniqueId id;
  if (qor_test::world_rank() == 0) ncclGetUniqueId(&id);
  MPI_Bcast(&id, sizeof id, MPI_BYTE, 0, MPI_COMM_WORLD);
  ncclComm_t comm = nullptr;
  EXPECT_EQ(ncclCommInitRank(&comm, qor_test::world_size(), id, qor_test::world_rank()), ncclSuccess);
  return comm;
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
      const std::vector<T> mine = qor_test::input<T>(me, count), all = qor_test::input<T>(me, count * n);
      std::vector<T> out(all.size());
      auto sum = [&](size_t i) { return qor_test::sum_of(half, n, i); };
      auto check = [&](size_t elements, const std::function<float(size_t)>& want) {
        EXPECT_EQ(qor_test::mismatch(out, 0, elements, want), "");
      };
      ASSERT_EQ(ncclAllReduce(mine.data(), out.data(), count, type, ncclSum, comm, nullptr), ncclSuccess);
      check(count, sum);
      ASSERT_EQ(ncclReduceScatter(all.data(), out.data(), count, type, ncclSum, comm, nullptr), ncclSuccess);
      check(count, [&](size_t i) { return sum(me * count + i); });
      ASSERT_EQ(ncclAllGather(mine.data(), out.data(), count, type, comm, nullptr), ncclSuccess);
      check(count * n, [&](size_t i) { return qor_test::value_of(half, i / count, i % count); });
      ASSERT_EQ(ncclReduce(mine.data(), out.data(), count, type, ncclSum, 0, comm, nullptr), ncclSuccess);
      check(me == 0 ? count : 0, sum);
      ASSERT_EQ(ncclBroadcast(mine.data(), out.data(), count * sizeof(T), ncclUint8, n - 1, comm, nullptr), ncclSuccess);
      check(count, [&](size_t i) { return qor_test::value_of(half, n - 1, i); });
    };
    each_type(float{}, ncclFloat);
    each_type(__half{}, ncclHalf);
  }
  EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
}

// The suite's failure injection: once, after the given number of calls.
TEST(Runtime, AnInjectedFailureComesOnceAfterItsSkips) {
  void* p[3] = {};
  qoremu_inject_failure("cudaMalloc", 1, cudaErrorMemoryAllocation);
  const std::vector<int> codes = {cudaMalloc(&p[0], 4), cudaMalloc(&p[1], 4), cudaMalloc(&p[2], 4)};
  EXPECT_EQ(codes, (std::vector<int>{cudaSuccess, cudaErrorMemoryAllocation, cudaSuccess}));
  cudaFree(p[0]), cudaFree(p[2]);
}

// Calls that do not match fail on every rank; a peer that never comes or
// leaves makes the others fail instead of waiting forever.
TEST(Nccl, MismatchesAndMissingPeersFailOnEveryRank) {
  const int me = qor_test::world_rank();
  if (qor_test::world_size() < 2) GTEST_SKIP() << "one rank has no peer";
  std::vector<float> buf(8, 1.0f);
  ncclComm_t comm = join("1");
  EXPECT_EQ(ncclAllReduce(buf.data(), buf.data(), me == 0 ? 7 : 8, ncclFloat, ncclSum, comm, nullptr), ncclInvalidUsage);
  EXPECT_EQ(buf, std::vector<float>(8, 1.0f)) << "nothing written";
  ncclCommDestroy(comm);
  comm = join("1");
  if (me != 0) {
    EXPECT_EQ(ncclAllReduce(buf.data(), buf.data(), 8, ncclFloat, ncclSum, comm, nullptr), ncclRemoteError)
        << "rank 0 never joins this call: the others give up after the time-out";
  }
  MPI_Barrier(MPI_COMM_WORLD);
  ncclCommDestroy(comm);
  comm = join();
  if (me == 0) ncclCommDestroy(comm);
  MPI_Barrier(MPI_COMM_WORLD);
  if (me != 0) {
    EXPECT_EQ(ncclAllReduce(buf.data(), buf.data(), 8, ncclFloat, ncclSum, comm, nullptr), ncclRemoteError) << "rank 0 left";
    ncclCommDestroy(comm);
  }
  EXPECT_EQ(qoremu_live_nccl_comms(), 0u);
}
