// The emulated NCCL within one process: the local API, argument checks,
// failure injection, the init time-out, and communicators whose ranks are
// threads of this process (each thread maps the segment on its own, as a
// separate process would).
#include <cuda_fp16.h>
#include <cuda_runtime.h>
#include <gpu_emu.h>
#include <gtest/gtest.h>

#include "nccl_emu_test_support.h"
#include "qor_test_support.h"
#include <nccl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using qor_test::scoped_env;
using qor_test::shm_exists;
using qor_test::shm_path;



// Runs body(rank) for ranks 0..n-1 on n threads at once.
void on_rank_threads(int n, const std::function<void(int)>& body) {
  std::vector<std::thread> threads;
  for (int r = 0; r < n; ++r) threads.emplace_back(body, r);
  for (std::thread& t : threads) t.join();
}

// A pointer that no communicator ever had, to check it is overwritten.
ncclComm_t poison() { return reinterpret_cast<ncclComm_t>(static_cast<uintptr_t>(0x1)); }

class NcclLocal : public ::testing::Test {
 protected:
  void TearDown() override {
    qoremu_inject_failure("", -1, 0);
    EXPECT_EQ(qoremu_live_nccl_comms(), 0u) << "a communicator was not destroyed";
    for (const ncclUniqueId& id : ids) EXPECT_FALSE(shm_exists(id)) << shm_path(id) << " left behind";
  }

  ncclUniqueId fresh_id() {
    ncclUniqueId id;
    std::memset(&id, 0x5a, sizeof id);
    EXPECT_EQ(ncclGetUniqueId(&id), ncclSuccess);
    ids.push_back(id);
    return id;
  }

  ncclComm_t single_rank_comm() {
    ncclComm_t comm = nullptr;
    EXPECT_EQ(ncclCommInitRank(&comm, 1, fresh_id(), 0), ncclSuccess);
    return comm;
  }

  std::vector<ncclUniqueId> ids;
};

// ------------------------------------------------------- local calls ----

TEST_F(NcclLocal, InitRecordsTheRingOrderItSaw) {
  qoremu_nccl_rings_clear();
  {
    scoped_env rings("NCCL_RINGS", "1 0 3 2");
    ncclComm_t comm = single_rank_comm();
    EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
  }
  const char* saved = std::getenv("NCCL_RINGS");
  std::string restore = saved ? saved : "";
  unsetenv("NCCL_RINGS");
  ncclComm_t comm = single_rank_comm();
  EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
  if (saved) setenv("NCCL_RINGS", restore.c_str(), 1);
  ASSERT_EQ(qoremu_nccl_rings_count(), 2u);
  EXPECT_STREQ(qoremu_nccl_rings_at(0), "1 0 3 2");
  EXPECT_STREQ(qoremu_nccl_rings_at(1), "");
  EXPECT_EQ(qoremu_nccl_rings_at(2), nullptr);
  qoremu_nccl_rings_clear();
  EXPECT_EQ(qoremu_nccl_rings_count(), 0u);
}

TEST_F(NcclLocal, VersionIsTheHeaders) {
  int version = -1;
  EXPECT_EQ(ncclGetVersion(&version), ncclSuccess);
  EXPECT_EQ(version, NCCL_VERSION_CODE);
  EXPECT_EQ(version, NCCL_MAJOR * 10000 + NCCL_MINOR * 100 + NCCL_PATCH);
  EXPECT_EQ(ncclGetVersion(nullptr), ncclInvalidArgument);
}

struct error_text {
  int code;
  const char* text;
};

void PrintTo(const error_text& c, std::ostream* os) { *os << c.code; }

class NcclErrorStrings : public NcclLocal, public ::testing::WithParamInterface<error_text> {};

TEST_P(NcclErrorStrings, AreNcclsTexts) {
  EXPECT_STREQ(ncclGetErrorString(static_cast<ncclResult_t>(GetParam().code)), GetParam().text);
}

// The texts of libnccl 2.28, which callers print and tests compare.
INSTANTIATE_TEST_SUITE_P(
    Codes, NcclErrorStrings,
    ::testing::Values(error_text{ncclSuccess, "no error"},
                      error_text{ncclUnhandledCudaError, "unhandled cuda error (run with NCCL_DEBUG=INFO for details)"},
                      error_text{ncclSystemError, "unhandled system error (run with NCCL_DEBUG=INFO for details)"},
                      error_text{ncclInternalError, "internal error - please report this issue to the NCCL developers"},
                      error_text{ncclInvalidArgument, "invalid argument (run with NCCL_DEBUG=WARN for details)"},
                      error_text{ncclInvalidUsage, "invalid usage (run with NCCL_DEBUG=WARN for details)"},
                      error_text{ncclRemoteError, "remote process exited or there was a network error"},
                      error_text{ncclInProgress, "NCCL operation in progress"},
                      error_text{ncclNumResults, "unknown result code"}, error_text{-1, "unknown result code"},
                      error_text{1000, "unknown result code"}),
    [](const ::testing::TestParamInfo<error_text>& info) {
      return info.param.code < 0 ? std::string("minus") + std::to_string(-info.param.code)
                                 : std::string("code") + std::to_string(info.param.code);
    });

TEST_F(NcclLocal, UniqueIdsAreRandomShmNamesAndCreateNothing) {
  ncclUniqueId a = fresh_id();
  ncclUniqueId b = fresh_id();
  for (const ncclUniqueId* id : {&a, &b}) {
    const std::string text(id->internal);
    const std::string prefix = "/qoremu_nccl_";
    ASSERT_EQ(text.size(), prefix.size() + 32) << text;
    EXPECT_EQ(text.compare(0, prefix.size(), prefix), 0) << text;
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef", prefix.size()), std::string::npos) << text;
    // The rest of the 128 bytes is zero, not left over from the caller.
    for (size_t i = text.size(); i < sizeof id->internal; ++i) ASSERT_EQ(id->internal[i], 0) << "byte " << i;
    EXPECT_FALSE(shm_exists(*id)) << "the id alone created a segment";
  }
  EXPECT_NE(std::memcmp(&a, &b, sizeof a), 0);
  EXPECT_EQ(ncclGetUniqueId(nullptr), ncclInvalidArgument);
}

TEST_F(NcclLocal, SingleRankCommunicator) {
  ncclUniqueId id = fresh_id();
  ncclComm_t comm = poison();
  ASSERT_EQ(ncclCommInitRank(&comm, 1, id, 0), ncclSuccess);
  ASSERT_NE(comm, nullptr);
  ASSERT_NE(comm, poison());
  // Every rank has attached, so the name is gone while the mapping lives on.
  EXPECT_FALSE(shm_exists(id));
  EXPECT_EQ(qoremu_live_nccl_comms(), 1u);
  int count = -1;
  int rank = -1;
  EXPECT_EQ(ncclCommCount(comm, &count), ncclSuccess);
  EXPECT_EQ(ncclCommUserRank(comm, &rank), ncclSuccess);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(rank, 0);
  EXPECT_EQ(ncclCommCount(comm, nullptr), ncclInvalidArgument);
  EXPECT_EQ(ncclCommUserRank(comm, nullptr), ncclInvalidArgument);
  EXPECT_EQ(ncclCommCount(nullptr, &count), ncclInvalidArgument);
  EXPECT_EQ(ncclCommUserRank(nullptr, &rank), ncclInvalidArgument);
  float data[3] = {1.5f, -2.0f, 3.25f};
  float out[3] = {0, 0, 0};
  EXPECT_EQ(ncclAllReduce(data, out, 3, ncclFloat, ncclSum, comm, nullptr), ncclSuccess);
  EXPECT_EQ(std::memcmp(data, out, sizeof data), 0);
  EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
  EXPECT_EQ(qoremu_live_nccl_comms(), 0u);
  EXPECT_EQ(ncclCommDestroy(nullptr), ncclInvalidArgument);
}

// ------------------------------------------------------ init errors ----

enum class id_kind { valid, zero, bad_digit, upper_case, short_hex };

struct init_case {
  const char* name;
  bool null_comm;
  int nranks;
  int rank;
  id_kind id;
};

void PrintTo(const init_case& c, std::ostream* os) { *os << c.name; }

class NcclInitArguments : public NcclLocal, public ::testing::WithParamInterface<init_case> {};

TEST_P(NcclInitArguments, AreRejectedWithoutCreatingAnything) {
  const init_case& c = GetParam();
  ncclUniqueId id = fresh_id();
  const size_t digits = std::strlen("/qoremu_nccl_");
  switch (c.id) {
    case id_kind::valid:
      break;
    case id_kind::zero:
      std::memset(&id, 0, sizeof id);
      break;
    case id_kind::bad_digit:
      id.internal[digits + 5] = 'g';
      break;
    case id_kind::upper_case:
      id.internal[digits] = 'A';
      break;
    case id_kind::short_hex:
      id.internal[digits + 31] = '\0';
      break;
  }
  ncclComm_t comm = poison();
  EXPECT_EQ(ncclCommInitRank(c.null_comm ? nullptr : &comm, c.nranks, id, c.rank), ncclInvalidArgument);
  if (!c.null_comm) {
    EXPECT_EQ(comm, nullptr);
  }
  EXPECT_FALSE(shm_exists(ids.back()));
}

INSTANTIATE_TEST_SUITE_P(
    Bad, NcclInitArguments,
    ::testing::Values(init_case{"NullComm", true, 1, 0, id_kind::valid},
                      init_case{"ZeroRanks", false, 0, 0, id_kind::valid},
                      init_case{"NegativeRanks", false, -2, 0, id_kind::valid},
                      init_case{"NegativeRank", false, 2, -1, id_kind::valid},
                      init_case{"RankEqualsCount", false, 2, 2, id_kind::valid},
                      init_case{"RankBeyondCount", false, 3, 7, id_kind::valid},
                      init_case{"ZeroId", false, 1, 0, id_kind::zero},
                      init_case{"NonHexId", false, 1, 0, id_kind::bad_digit},
                      init_case{"UpperCaseId", false, 1, 0, id_kind::upper_case},
                      init_case{"ShortId", false, 1, 0, id_kind::short_hex}),
    [](const ::testing::TestParamInfo<init_case>& info) { return std::string(info.param.name); });

TEST_F(NcclLocal, InitWithoutDeviceFailsLikeNccl) {
  scoped_env no_device("QOR_EMU_DEVICE_COUNT", "0");
  ncclUniqueId id = fresh_id();
  ncclComm_t comm = poison();
  EXPECT_EQ(ncclCommInitRank(&comm, 1, id, 0), ncclUnhandledCudaError);
  EXPECT_EQ(comm, nullptr);
  EXPECT_FALSE(shm_exists(id));
}

struct missing_case {
  int nranks;
  int rank;
};

void PrintTo(const missing_case& c, std::ostream* os) { *os << "rank " << c.rank << " of " << c.nranks; }

class NcclInitTimeout : public NcclLocal, public ::testing::WithParamInterface<missing_case> {};

// Only this rank ever arrives: the init gives up after QOR_EMU_NCCL_TIMEOUT
// instead of waiting for ever, and removes the segment it created.
TEST_P(NcclInitTimeout, ReturnsRemoteErrorAndRemovesTheSegment) {
  scoped_env timeout("QOR_EMU_NCCL_TIMEOUT", "0.5");
  ncclUniqueId id = fresh_id();
  ncclComm_t comm = poison();
  EXPECT_EQ(ncclCommInitRank(&comm, GetParam().nranks, id, GetParam().rank), ncclRemoteError);
  EXPECT_EQ(comm, nullptr);
  EXPECT_FALSE(shm_exists(id));
  // The id can be used again afterwards; a complete group then succeeds.
  std::vector<ncclComm_t> comms(GetParam().nranks, nullptr);
  on_rank_threads(GetParam().nranks, [&](int r) {
    EXPECT_EQ(ncclCommInitRank(&comms[r], GetParam().nranks, id, r), ncclSuccess);
  });
  for (ncclComm_t c : comms) EXPECT_EQ(ncclCommDestroy(c), ncclSuccess);
}

INSTANTIATE_TEST_SUITE_P(Missing, NcclInitTimeout,
                         ::testing::Values(missing_case{2, 0}, missing_case{2, 1}, missing_case{4, 3}),
                         [](const ::testing::TestParamInfo<missing_case>& info) {
                           return "rank" + std::to_string(info.param.rank) + "of" +
                                  std::to_string(info.param.nranks);
                         });

// Two threads join with inconsistent arguments: one is told its call is
// wrong, the other that its peer failed; neither waits out the time-out
// (set long here) and nothing is left behind.
TEST_F(NcclLocal, InconsistentInitsFailBoth) {
  scoped_env timeout("QOR_EMU_NCCL_TIMEOUT", "30");
  struct join {
    int nranks;
    int rank;
  };
  const std::vector<std::pair<join, join>> cases = {
      {{2, 0}, {2, 0}},  // the same rank twice
      {{2, 0}, {3, 1}},  // different communicator sizes
  };
  for (const auto& c : cases) {
    ncclUniqueId id = fresh_id();
    ncclResult_t result[2] = {ncclSuccess, ncclSuccess};
    ncclComm_t comm[2] = {poison(), poison()};
    on_rank_threads(2, [&](int t) {
      const join& j = t == 0 ? c.first : c.second;
      result[t] = ncclCommInitRank(&comm[t], j.nranks, id, j.rank);
    });
    EXPECT_TRUE((result[0] == ncclInvalidUsage && result[1] == ncclRemoteError) ||
                (result[0] == ncclRemoteError && result[1] == ncclInvalidUsage))
        << ncclGetErrorString(result[0]) << " / " << ncclGetErrorString(result[1]);
    EXPECT_EQ(comm[0], nullptr);
    EXPECT_EQ(comm[1], nullptr);
    EXPECT_FALSE(shm_exists(id));
  }
}

// ------------------------------------------------- collective errors ----

struct call_case {
  const char* name;
  std::function<ncclResult_t(ncclComm_t, float*, float*)> call;
};

void PrintTo(const call_case& c, std::ostream* os) { *os << c.name; }

class NcclCollectiveArguments : public NcclLocal, public ::testing::WithParamInterface<call_case> {};

TEST_P(NcclCollectiveArguments, AreRejectedAndLeaveTheCommunicatorUsable) {
  ncclComm_t comm = single_rank_comm();
  ASSERT_NE(comm, nullptr);
  float in[4] = {1, 2, 3, 4};
  float out[4] = {9, 9, 9, 9};
  EXPECT_EQ(GetParam().call(comm, in, out), ncclInvalidArgument);
  for (float v : out) EXPECT_EQ(v, 9.0f) << "a rejected call wrote its output";
  EXPECT_EQ(ncclAllReduce(in, out, 4, ncclFloat, ncclSum, comm, nullptr), ncclSuccess);
  EXPECT_EQ(out[3], 4.0f);
  EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
}

cudaStream_t bogus_stream() {
  static int not_a_stream;
  return reinterpret_cast<cudaStream_t>(&not_a_stream);
}

INSTANTIATE_TEST_SUITE_P(
    Bad, NcclCollectiveArguments,
    ::testing::Values(
        call_case{"NullComm", [](ncclComm_t, float* i, float* o) {
                    return ncclAllReduce(i, o, 4, ncclFloat, ncclSum, nullptr, nullptr);
                  }},
        call_case{"Int32", [](ncclComm_t c, float* i, float* o) {
                    return ncclAllReduce(i, o, 4, ncclInt32, ncclSum, c, nullptr);
                  }},
        call_case{"Int8", [](ncclComm_t c, float* i, float* o) {
                    return ncclReduceScatter(i, o, 4, ncclInt8, ncclSum, c, nullptr);
                  }},
        call_case{"Double", [](ncclComm_t c, float* i, float* o) {
                    return ncclAllGather(i, o, 2, ncclDouble, c, nullptr);
                  }},
        call_case{"Bfloat16", [](ncclComm_t c, float* i, float* o) {
                    return ncclBroadcast(i, o, 4, ncclBfloat16, 0, c, nullptr);
                  }},
        call_case{"TypeOutOfRange", [](ncclComm_t c, float* i, float* o) {
                    return ncclReduce(i, o, 4, static_cast<ncclDataType_t>(ncclNumTypes), ncclSum, 0, c, nullptr);
                  }},
        call_case{"Prod", [](ncclComm_t c, float* i, float* o) {
                    return ncclAllReduce(i, o, 4, ncclFloat, ncclProd, c, nullptr);
                  }},
        call_case{"Max", [](ncclComm_t c, float* i, float* o) {
                    return ncclReduceScatter(i, o, 4, ncclFloat, ncclMax, c, nullptr);
                  }},
        call_case{"Min", [](ncclComm_t c, float* i, float* o) {
                    return ncclReduce(i, o, 4, ncclHalf, ncclMin, 0, c, nullptr);
                  }},
        call_case{"Avg", [](ncclComm_t c, float* i, float* o) {
                    return ncclAllReduce(i, o, 4, ncclUint8, ncclAvg, c, nullptr);
                  }},
        call_case{"OpOutOfRange", [](ncclComm_t c, float* i, float* o) {
                    return ncclAllReduce(i, o, 4, ncclFloat, static_cast<ncclRedOp_t>(ncclNumOps), c, nullptr);
                  }},
        call_case{"NullSend", [](ncclComm_t c, float*, float* o) {
                    return ncclAllReduce(nullptr, o, 4, ncclFloat, ncclSum, c, nullptr);
                  }},
        call_case{"NullRecv", [](ncclComm_t c, float* i, float*) {
                    return ncclAllGather(i, nullptr, 4, ncclFloat, c, nullptr);
                  }},
        call_case{"NullScatterRecv", [](ncclComm_t c, float* i, float*) {
                    return ncclReduceScatter(i, nullptr, 4, ncclFloat, ncclSum, c, nullptr);
                  }},
        call_case{"NullRootRecvOfReduce", [](ncclComm_t c, float* i, float*) {
                    return ncclReduce(i, nullptr, 4, ncclFloat, ncclSum, 0, c, nullptr);
                  }},
        call_case{"NullRootSendOfBroadcast", [](ncclComm_t c, float*, float* o) {
                    return ncclBroadcast(nullptr, o, 4, ncclFloat, 0, c, nullptr);
                  }},
        call_case{"NullBcast", [](ncclComm_t c, float*, float*) {
                    return ncclBcast(nullptr, 4, ncclFloat, 0, c, nullptr);
                  }},
        call_case{"NegativeRoot", [](ncclComm_t c, float* i, float* o) {
                    return ncclReduce(i, o, 4, ncclFloat, ncclSum, -1, c, nullptr);
                  }},
        call_case{"RootEqualsCount", [](ncclComm_t c, float* i, float* o) {
                    return ncclBroadcast(i, o, 4, ncclFloat, 1, c, nullptr);
                  }},
        call_case{"BcastRootOutOfRange", [](ncclComm_t c, float*, float* o) {
                    return ncclBcast(o, 4, ncclFloat, 5, c, nullptr);
                  }},
        call_case{"UnknownStream", [](ncclComm_t c, float* i, float* o) {
                    return ncclAllReduce(i, o, 4, ncclFloat, ncclSum, c, bogus_stream());
                  }}),
    [](const ::testing::TestParamInfo<call_case>& info) { return std::string(info.param.name); });

// Count 0 is a successful no-op, even with null buffers.
TEST_F(NcclLocal, CountZeroIsANoOp) {
  ncclComm_t comm = single_rank_comm();
  ASSERT_NE(comm, nullptr);
  for (ncclDataType_t type : {ncclFloat, ncclHalf, ncclUint8}) {
    EXPECT_EQ(ncclAllReduce(nullptr, nullptr, 0, type, ncclSum, comm, nullptr), ncclSuccess);
    EXPECT_EQ(ncclReduceScatter(nullptr, nullptr, 0, type, ncclSum, comm, nullptr), ncclSuccess);
    EXPECT_EQ(ncclAllGather(nullptr, nullptr, 0, type, comm, nullptr), ncclSuccess);
    EXPECT_EQ(ncclReduce(nullptr, nullptr, 0, type, ncclSum, 0, comm, nullptr), ncclSuccess);
    EXPECT_EQ(ncclBroadcast(nullptr, nullptr, 0, type, 0, comm, nullptr), ncclSuccess);
    EXPECT_EQ(ncclBcast(nullptr, 0, type, 0, comm, nullptr), ncclSuccess);
  }
  EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
}

// Streams of the emulated runtime are accepted while they exist.
TEST_F(NcclLocal, StreamsAreValidatedOnly) {
  ncclComm_t comm = single_rank_comm();
  ASSERT_NE(comm, nullptr);
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
  float in[2] = {1, 2};
  float out[2] = {0, 0};
  EXPECT_EQ(ncclAllReduce(in, out, 2, ncclFloat, ncclSum, comm, stream), ncclSuccess);
  EXPECT_EQ(out[1], 2.0f);  // done at the call, no synchronisation needed
  EXPECT_EQ(cudaStreamDestroy(stream), cudaSuccess);
  EXPECT_EQ(ncclAllReduce(in, out, 2, ncclFloat, ncclSum, comm, stream), ncclInvalidArgument);
  EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
}

// ------------------------------------------------- failure injection ----

struct injected_case {
  const char* function;
  ncclResult_t code;
  std::function<ncclResult_t(ncclComm_t)> call;
};

void PrintTo(const injected_case& c, std::ostream* os) { *os << c.function; }

class NcclInjection : public NcclLocal, public ::testing::WithParamInterface<injected_case> {};

// The injected code comes back once, after the given number of successful
// calls, and the call then works again.
TEST_P(NcclInjection, ReturnsTheInjectedCodeOnce) {
  const injected_case& c = GetParam();
  ncclComm_t comm = single_rank_comm();
  ASSERT_NE(comm, nullptr);
  qoremu_inject_failure(c.function, 1, c.code);
  EXPECT_EQ(c.call(comm), ncclSuccess) << "failed before its turn";
  EXPECT_EQ(c.call(comm), c.code);
  EXPECT_EQ(c.call(comm), ncclSuccess);
  EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
}

float inj_in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
float inj_out[8];

INSTANTIATE_TEST_SUITE_P(
    Functions, NcclInjection,
    ::testing::Values(
        injected_case{"ncclGetVersion", ncclInternalError,
                      [](ncclComm_t) {
                        int v;
                        return ncclGetVersion(&v);
                      }},
        injected_case{"ncclGetUniqueId", ncclSystemError,
                      [](ncclComm_t) {
                        ncclUniqueId id;
                        return ncclGetUniqueId(&id);
                      }},
        injected_case{"ncclCommCount", ncclInvalidUsage,
                      [](ncclComm_t c) {
                        int n;
                        return ncclCommCount(c, &n);
                      }},
        injected_case{"ncclCommUserRank", ncclInternalError,
                      [](ncclComm_t c) {
                        int r;
                        return ncclCommUserRank(c, &r);
                      }},
        injected_case{"ncclAllReduce", ncclUnhandledCudaError,
                      [](ncclComm_t c) { return ncclAllReduce(inj_in, inj_out, 8, ncclFloat, ncclSum, c, nullptr); }},
        injected_case{"ncclReduceScatter", ncclSystemError,
                      [](ncclComm_t c) {
                        return ncclReduceScatter(inj_in, inj_out, 8, ncclFloat, ncclSum, c, nullptr);
                      }},
        injected_case{"ncclAllGather", ncclRemoteError,
                      [](ncclComm_t c) { return ncclAllGather(inj_in, inj_out, 8, ncclFloat, c, nullptr); }},
        injected_case{"ncclReduce", ncclInternalError,
                      [](ncclComm_t c) { return ncclReduce(inj_in, inj_out, 8, ncclFloat, ncclSum, 0, c, nullptr); }},
        injected_case{"ncclBroadcast", ncclInvalidUsage,
                      [](ncclComm_t c) { return ncclBroadcast(inj_in, inj_out, 8, ncclFloat, 0, c, nullptr); }},
        injected_case{"ncclBcast", ncclSystemError,
                      [](ncclComm_t c) { return ncclBcast(inj_out, 8, ncclFloat, 0, c, nullptr); }}),
    [](const ::testing::TestParamInfo<injected_case>& info) { return std::string(info.param.function); });

TEST_F(NcclLocal, InjectedInitCreatesNothing) {
  ncclUniqueId id = fresh_id();
  qoremu_inject_failure("ncclCommInitRank", 0, ncclSystemError);
  ncclComm_t comm = nullptr;
  EXPECT_EQ(ncclCommInitRank(&comm, 1, id, 0), ncclSystemError);
  EXPECT_EQ(comm, nullptr);
  EXPECT_FALSE(shm_exists(id));
  EXPECT_EQ(qoremu_live_nccl_comms(), 0u);
  EXPECT_EQ(ncclCommInitRank(&comm, 1, id, 0), ncclSuccess);
  EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
}

TEST_F(NcclLocal, InjectedDestroyKeepsTheCommunicator) {
  ncclComm_t comm = single_rank_comm();
  ASSERT_NE(comm, nullptr);
  qoremu_inject_failure("ncclCommDestroy", 0, ncclInternalError);
  EXPECT_EQ(ncclCommDestroy(comm), ncclInternalError);
  EXPECT_EQ(qoremu_live_nccl_comms(), 1u);
  float v = 2;
  EXPECT_EQ(ncclAllReduce(&v, &v, 1, ncclFloat, ncclSum, comm, nullptr), ncclSuccess);
  EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
}

// ------------------------------------------------ ranks on threads ----

class NcclThreadRanks : public NcclLocal, public ::testing::WithParamInterface<int> {};

// Several mappings of one segment in one process, several chunks per call.
TEST_P(NcclThreadRanks, CollectivesMatchTheirDefinition) {
  const int n = GetParam();
  const size_t count = 100003;
  ncclUniqueId id = fresh_id();
  on_rank_threads(n, [&](int r) {
    ncclComm_t comm = nullptr;
    ASSERT_EQ(ncclCommInitRank(&comm, n, id, r), ncclSuccess);

    // Allreduce of floats, out of place.
    std::vector<float> in(count);
    std::vector<float> out(count, -1.0f);
    for (size_t i = 0; i < count; ++i) in[i] = static_cast<float>(r * 1000 + static_cast<long>(i));
    EXPECT_EQ(ncclAllReduce(in.data(), out.data(), count, ncclFloat, ncclSum, comm, nullptr), ncclSuccess);
    size_t wrong = 0;
    for (size_t i = 0; i < count; ++i) {
      if (out[i] != static_cast<float>(n * static_cast<long>(i) + 1000L * n * (n - 1) / 2)) ++wrong;
    }
    EXPECT_EQ(wrong, 0u) << "allreduce, rank " << r;

    // Reduce-scatter of binary16, in place: block b of rank k holds k + b.
    std::vector<__half> buf(n * count);
    for (int b = 0; b < n; ++b) {
      for (size_t i = 0; i < count; ++i) buf[b * count + i] = __float2half(static_cast<float>(r + b + i % 7));
    }
    EXPECT_EQ(ncclReduceScatter(buf.data(), buf.data() + r * count, count, ncclHalf, ncclSum, comm, nullptr),
              ncclSuccess);
    wrong = 0;
    for (size_t i = 0; i < count; ++i) {
      float want = static_cast<float>(n * (n - 1) / 2 + n * r + n * static_cast<long>(i % 7));
      if (__half2float(buf[r * count + i]) != want) ++wrong;
    }
    EXPECT_EQ(wrong, 0u) << "reduce-scatter, rank " << r;

    // Allgather of bytes, out of place.
    std::vector<unsigned char> mine(count);
    std::vector<unsigned char> all(n * count, 0);
    for (size_t i = 0; i < count; ++i) mine[i] = static_cast<unsigned char>(r * 61 + i % 253);
    EXPECT_EQ(ncclAllGather(mine.data(), all.data(), count, ncclUint8, comm, nullptr), ncclSuccess);
    wrong = 0;
    for (int k = 0; k < n; ++k) {
      for (size_t i = 0; i < count; ++i) {
        if (all[k * count + i] != static_cast<unsigned char>(k * 61 + i % 253)) ++wrong;
      }
    }
    EXPECT_EQ(wrong, 0u) << "allgather, rank " << r;

    EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
  });
}

INSTANTIATE_TEST_SUITE_P(Ranks, NcclThreadRanks, ::testing::Values(2, 3, 4));

// A wait that runs out fails the communicator for every rank: the late rank
// gets the error at once, and later calls fail too.
TEST_F(NcclLocal, TimeOutInCollectiveFailsTheCommunicator) {
  ncclUniqueId id = fresh_id();
  scoped_env timeout("QOR_EMU_NCCL_TIMEOUT", "0.5");
  std::promise<void> first_gave_up;
  std::shared_future<void> gave_up = first_gave_up.get_future().share();
  on_rank_threads(2, [&](int r) {
    ncclComm_t comm = nullptr;
    ASSERT_EQ(ncclCommInitRank(&comm, 2, id, r), ncclSuccess);
    float v[5] = {1, 1, 1, 1, 1};
    if (r == 0) {
      EXPECT_EQ(ncclAllReduce(v, v, 5, ncclFloat, ncclSum, comm, nullptr), ncclRemoteError);
      first_gave_up.set_value();
    } else {
      gave_up.wait();
    }
    EXPECT_EQ(ncclAllReduce(v, v, 5, ncclFloat, ncclSum, comm, nullptr), ncclRemoteError);
    EXPECT_EQ(ncclAllGather(v, v, 1, ncclFloat, comm, nullptr), ncclRemoteError);
    for (float x : v) EXPECT_EQ(x, 1.0f);
    EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
  });
}

}  // namespace
