// The emulated NCCL between real processes: run under mpiexec with 1 to 4
// ranks.  MPI only starts the processes and hands the unique id around; the
// communicators themselves meet in shared memory.
#include <cuda_fp16.h>
#include <gpu_emu.h>
#include <gtest/gtest.h>

#include "nccl_emu_test_support.h"
#include "qor_test_support.h"
#include <mpi.h>
#include <nccl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using qor_test::scoped_env;
using qor_test::shm_exists;
using qor_test::shm_path;
using qor_test::world_rank;
using qor_test::world_size;




// ------------------------------------------------------------ data ----

size_t type_bytes(ncclDataType_t type) { return type == ncclFloat ? 4 : type == ncclHalf ? 2 : 1; }

// Input element i of rank r: unique along a buffer over far more than one
// chunk (prime periods never line up with the power-of-two chunks) and
// different per rank, yet small enough that every sum is exact: below 2^24
// for float, 2048 for binary16; uint8 inputs pass 255 so sums wrap.
long input_value(ncclDataType_t type, int rank, size_t i) {
  switch (type) {
    case ncclFloat:
      return 1000L * rank + static_cast<long>(i % 1000003);
    case ncclHalf:
      return 100L * rank + static_cast<long>(i % 97);
    default:
      return static_cast<long>(i % 251) + 53L * rank + 180;
  }
}

void put(ncclDataType_t type, unsigned char* base, size_t i, long value) {
  switch (type) {
    case ncclFloat: {
      float f = static_cast<float>(value);
      std::memcpy(base + 4 * i, &f, 4);
      break;
    }
    case ncclHalf: {
      __half h = __float2half(static_cast<float>(value));
      std::memcpy(base + 2 * i, &h, 2);
      break;
    }
    default:
      base[i] = static_cast<unsigned char>(value & 0xff);  // sums wrap modulo 256
      break;
  }
}

double get(ncclDataType_t type, const unsigned char* base, size_t i) {
  switch (type) {
    case ncclFloat: {
      float f;
      std::memcpy(&f, base + 4 * i, 4);
      return f;
    }
    case ncclHalf: {
      __half h;
      std::memcpy(&h, base + 2 * i, 2);
      return __half2float(h);
    }
    default:
      return base[i];
  }
}

using bytes = std::vector<unsigned char>;

constexpr unsigned char sentinel = 0xa5;

// Compares `count` elements of `actual` (from element `offset`) with
// `expected`; reports the first mismatch and how many there are.
::testing::AssertionResult same_elements(ncclDataType_t type, const unsigned char* actual,
                                         const bytes& expected, size_t offset = 0) {
  const size_t es = type_bytes(type);
  const size_t count = expected.size() / es;
  if (count == 0 || std::memcmp(actual + offset * es, expected.data(), expected.size()) == 0) {
    return ::testing::AssertionSuccess();
  }
  size_t first = count;
  size_t wrong = 0;
  for (size_t i = 0; i < count; ++i) {
    if (std::memcmp(actual + (offset + i) * es, expected.data() + i * es, es) != 0) {
      if (first == count) first = i;
      ++wrong;
    }
  }
  return ::testing::AssertionFailure()
         << wrong << " of " << count << " elements differ; first at " << first << ": got "
         << get(type, actual, offset + first) << ", expected " << get(type, expected.data(), first);
}

::testing::AssertionResult all_sentinel(const unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != sentinel) return ::testing::AssertionFailure() << "byte " << i << " was overwritten";
  }
  return ::testing::AssertionSuccess();
}

// -------------------------------------------------------- fixture ----

class NcclEmu : public ::testing::Test {
 protected:
  void SetUp() override {
    rank = world_rank();
    size = world_size();
  }

  void TearDown() override {
    qoremu_inject_failure("", -1, 0);
    EXPECT_EQ(qoremu_live_nccl_comms(), 0u) << "a communicator was not destroyed";
    for (const ncclUniqueId& id : used_ids) {
      EXPECT_FALSE(shm_exists(id)) << shm_path(id) << " left behind";
    }
    // Nobody starts the next test while a peer still checks this one.
    MPI_Barrier(MPI_COMM_WORLD);
  }

  // `n` fresh unique ids, made on rank 0 and the same on every rank.
  std::vector<ncclUniqueId> shared_ids(int n) {
    std::vector<ncclUniqueId> ids(n);
    if (rank == 0) {
      for (ncclUniqueId& id : ids) EXPECT_EQ(ncclGetUniqueId(&id), ncclSuccess);
    }
    MPI_Bcast(ids.data(), static_cast<int>(n * sizeof(ncclUniqueId)), MPI_BYTE, 0, MPI_COMM_WORLD);
    used_ids.insert(used_ids.end(), ids.begin(), ids.end());
    return ids;
  }

  // A communicator over all ranks.
  ncclComm_t world_comm() {
    ncclUniqueId id = shared_ids(1)[0];
    ncclComm_t comm = nullptr;
    EXPECT_EQ(ncclCommInitRank(&comm, size, id, rank), ncclSuccess);
    return comm;
  }

  int rank = 0;
  int size = 1;
  std::vector<ncclUniqueId> used_ids;
};

// ---------------------------------------------- collectives by definition ----

enum class coll { allreduce, reduce_scatter, allgather, reduce, broadcast, bcast };

struct coll_case {
  coll op;
  bool root_last;  // reduce and broadcasts: root 0 or the last rank
  const char* name;
};

struct coll_param {
  coll_case c;
  ncclDataType_t type;
  size_t count;
  bool in_place;
};

std::string type_name(ncclDataType_t type) {
  return type == ncclFloat ? "float" : type == ncclHalf ? "half" : "uint8";
}

void PrintTo(const coll_param& p, std::ostream* os) {
  *os << p.c.name << ", " << type_name(p.type) << ", count " << p.count
      << (p.in_place ? ", in place" : ", out of place");
}

// Counts: empty, single, odd and prime (not divisible by 2, 3 or 4), a
// little over a power of two, and several chunks with a ragged tail.  The
// reduce-scatter and allgather counts are per rank, so their big case is
// smaller.
std::vector<coll_param> coll_params() {
  const coll_case cases[] = {
      {coll::allreduce, false, "AllReduce"},       {coll::reduce_scatter, false, "ReduceScatter"},
      {coll::allgather, false, "AllGather"},       {coll::reduce, false, "ReduceRootFirst"},
      {coll::reduce, true, "ReduceRootLast"},      {coll::broadcast, false, "BroadcastRootFirst"},
      {coll::broadcast, true, "BroadcastRootLast"}, {coll::bcast, true, "BcastRootLast"},
  };
  std::vector<coll_param> out;
  for (const coll_case& c : cases) {
    const bool per_rank = c.op == coll::reduce_scatter || c.op == coll::allgather;
    for (ncclDataType_t type : {ncclFloat, ncclHalf, ncclUint8}) {
      for (size_t count : {size_t{0}, size_t{1}, size_t{7}, size_t{13}, size_t{65537},
                           per_rank ? size_t{1000003} : size_t{3000001}}) {
        for (bool in_place : {false, true}) {
          if (c.op == coll::bcast && !in_place) continue;  // ncclBcast has one buffer
          out.push_back({c, type, count, in_place});
        }
      }
    }
  }
  return out;
}

std::string coll_param_name(const ::testing::TestParamInfo<coll_param>& info) {
  const coll_param& p = info.param;
  return std::string(p.c.name) + "_" + type_name(p.type) + "_" + std::to_string(p.count) +
         (p.in_place ? "_inplace" : "_outofplace");
}

class Collectives : public NcclEmu, public ::testing::WithParamInterface<coll_param> {};

TEST_P(Collectives, MatchTheirDefinition) {
  const coll_param p = GetParam();
  const ncclDataType_t type = p.type;
  const size_t es = type_bytes(type);
  const size_t count = p.count;
  const size_t n = static_cast<size_t>(size);
  const int root = p.c.root_last ? size - 1 : 0;
  ncclComm_t comm = world_comm();
  ASSERT_NE(comm, nullptr);

  // Element counts of the input and output, by the collective's definition.
  size_t in_count = count;
  size_t out_count = count;
  if (p.c.op == coll::reduce_scatter) in_count = n * count;
  if (p.c.op == coll::allgather) out_count = n * count;

  // The rank's own input, as a separate copy for the out-of-place check.
  bytes input(in_count * es);
  for (size_t i = 0; i < in_count; ++i) put(type, input.data(), i, input_value(type, rank, i));

  // Buffers: out of place, a send and a receive buffer (receive filled with
  // the sentinel); in place, one buffer laid out as the call requires.
  bytes send;
  bytes recv;
  bytes one;
  const unsigned char* sendbuff = nullptr;
  unsigned char* recvbuff = nullptr;
  size_t out_offset = 0;  // where the output starts in the buffer checked
  if (!p.in_place) {
    send = input;
    recv.assign(out_count * es, sentinel);
    sendbuff = send.data();
    recvbuff = recv.data();
  } else {
    switch (p.c.op) {
      case coll::reduce_scatter:  // recvbuff == sendbuff + rank * recvcount
        one = input;
        sendbuff = one.data();
        recvbuff = one.data() + rank * count * es;
        out_offset = rank * count;
        break;
      case coll::allgather:  // sendbuff == recvbuff + rank * sendcount
        one.assign(out_count * es, sentinel);
        std::copy(input.begin(), input.end(), one.begin() + rank * count * es);
        recvbuff = one.data();
        sendbuff = one.data() + rank * count * es;
        break;
      case coll::broadcast:
      case coll::bcast:
        // Only the root's buffer carries data; the others must be replaced.
        if (rank == root) {
          one = input;
        } else {
          one.assign(count * es, sentinel);
        }
        sendbuff = recvbuff = one.data();
        break;
      default:
        one = input;
        sendbuff = recvbuff = one.data();
        break;
    }
  }

  ncclResult_t result = ncclInternalError;
  switch (p.c.op) {
    case coll::allreduce:
      result = ncclAllReduce(sendbuff, recvbuff, count, type, ncclSum, comm, nullptr);
      break;
    case coll::reduce_scatter:
      result = ncclReduceScatter(sendbuff, recvbuff, count, type, ncclSum, comm, nullptr);
      break;
    case coll::allgather:
      result = ncclAllGather(sendbuff, recvbuff, count, type, comm, nullptr);
      break;
    case coll::reduce:
      result = ncclReduce(sendbuff, recvbuff, count, type, ncclSum, root, comm, nullptr);
      break;
    case coll::broadcast:
      result = ncclBroadcast(sendbuff, recvbuff, count, type, root, comm, nullptr);
      break;
    case coll::bcast:
      result = ncclBcast(recvbuff, count, type, root, comm, nullptr);
      break;
  }
  EXPECT_EQ(result, ncclSuccess) << ncclGetErrorString(result);

  // Closed-form expected output of this rank.
  bytes expected(out_count * es);
  bool untouched = false;  // reduce on a non-root rank: output must not change
  switch (p.c.op) {
    case coll::allreduce:
    case coll::reduce:
      untouched = p.c.op == coll::reduce && rank != root;
      for (size_t i = 0; i < count; ++i) {
        long sum = 0;
        for (int r = 0; r < size; ++r) sum += input_value(type, r, i);
        put(type, expected.data(), i, sum);
      }
      break;
    case coll::reduce_scatter:
      for (size_t i = 0; i < count; ++i) {
        long sum = 0;
        for (int r = 0; r < size; ++r) sum += input_value(type, r, rank * count + i);
        put(type, expected.data(), i, sum);
      }
      break;
    case coll::allgather:
      for (int r = 0; r < size; ++r) {
        for (size_t i = 0; i < count; ++i) put(type, expected.data(), r * count + i, input_value(type, r, i));
      }
      break;
    case coll::broadcast:
    case coll::bcast:
      for (size_t i = 0; i < count; ++i) put(type, expected.data(), i, input_value(type, root, i));
      break;
  }

  if (!p.in_place) {
    EXPECT_TRUE(same_elements(type, send.data(), input)) << "the send buffer changed";
    if (untouched) {
      EXPECT_TRUE(all_sentinel(recv.data(), recv.size())) << "non-root receive buffer written";
    } else {
      EXPECT_TRUE(same_elements(type, recv.data(), expected));
    }
  } else if (untouched) {
    EXPECT_TRUE(same_elements(type, one.data(), input)) << "non-root buffer changed";
  } else {
    EXPECT_TRUE(same_elements(type, one.data(), expected, out_offset));
    if (p.c.op == coll::reduce_scatter) {
      // Only this rank's block is output; the rest of the buffer stays.
      bytes head(input.begin(), input.begin() + rank * count * es);
      bytes tail(input.begin() + (rank + 1) * count * es, input.end());
      EXPECT_TRUE(same_elements(type, one.data(), head)) << "before own block";
      EXPECT_TRUE(same_elements(type, one.data(), tail, (rank + 1) * count)) << "after own block";
    }
  }

  EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
}

INSTANTIATE_TEST_SUITE_P(Grid, Collectives, ::testing::ValuesIn(coll_params()), coll_param_name);

// ------------------------------------------------------- sum order ----

// Sums whose value depends on the order of the additions: all ranks must
// get the rank-order result 0 + 1 + ... + n-1, bit for bit.
TEST_F(NcclEmu, FloatSumsAreInRankOrderAndIdenticalOnAllRanks) {
  const size_t count = 70001;  // more than one chunk
  auto value = [](int r, size_t i) {
    // Large and small magnitudes with alternating signs: rounding differs
    // with the order of the additions.
    const float big = 1.0e8f + static_cast<float>(i % 17) * 8.0f;
    switch (r % 4) {
      case 0: return big;
      case 1: return 1.0f + static_cast<float>(i % 5) * 0.25f;
      case 2: return -big;
      default: return 0.5f + static_cast<float>(i % 3);
    }
  };
  ncclComm_t comm = world_comm();
  ASSERT_NE(comm, nullptr);
  std::vector<float> data(count);
  for (size_t i = 0; i < count; ++i) data[i] = value(rank, i);
  // Reduce to the last rank first, then allreduce in place.
  std::vector<float> reduced(count, -1.0f);
  EXPECT_EQ(ncclReduce(data.data(), reduced.data(), count, ncclFloat, ncclSum, size - 1, comm, nullptr),
            ncclSuccess);
  EXPECT_EQ(ncclAllReduce(data.data(), data.data(), count, ncclFloat, ncclSum, comm, nullptr), ncclSuccess);

  size_t wrong = 0;
  size_t wrong_reduced = 0;
  for (size_t i = 0; i < count; ++i) {
    float sum = value(0, i);
    for (int r = 1; r < size; ++r) sum += value(r, i);
    if (std::memcmp(&sum, &data[i], sizeof sum) != 0 && wrong++ == 0) {
      ADD_FAILURE() << "allreduce element " << i << ": got " << data[i] << ", rank-order sum " << sum;
    }
    if (rank == size - 1 && std::memcmp(&sum, &reduced[i], sizeof sum) != 0 && wrong_reduced++ == 0) {
      ADD_FAILURE() << "reduce element " << i << ": got " << reduced[i] << ", rank-order sum " << sum;
    }
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(wrong_reduced, 0u);

  // Bitwise equal across ranks: compare against rank 0's result.
  std::vector<float> first(data);
  MPI_Bcast(first.data(), static_cast<int>(count), MPI_FLOAT, 0, MPI_COMM_WORLD);
  EXPECT_EQ(std::memcmp(first.data(), data.data(), count * sizeof(float)), 0);
  EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
}

// binary16 sums accumulate in float and round once, to nearest even: above
// 2048 only even integers exist, so adding 1 per rank one step at a time in
// binary16 would never move 2048, while the float sum does.
TEST_F(NcclEmu, HalfSumsRoundOnceToNearestEven) {
  const size_t count = 8;
  std::vector<__half> data(count);
  for (size_t i = 0; i < count; ++i) {
    data[i] = __float2half(rank == 0 ? 2048.0f + 2.0f * static_cast<float>(i) : 1.0f);
  }
  ncclComm_t comm = world_comm();
  ASSERT_NE(comm, nullptr);
  EXPECT_EQ(ncclAllReduce(data.data(), data.data(), count, ncclHalf, ncclSum, comm, nullptr), ncclSuccess);
  for (size_t i = 0; i < count; ++i) {
    // Exact sum s in [2048, 4096), where binary16 steps by 2: an odd s is
    // a tie, going to the neighbour whose mantissa (x - 2048) / 2 is even.
    long s = 2048 + 2 * static_cast<long>(i) + (size - 1);
    long nearest = s % 2 == 0 ? s : ((s - 1) % 4 == 0 ? s - 1 : s + 1);
    EXPECT_EQ(__half2float(data[i]), static_cast<float>(nearest)) << "element " << i << ", exact sum " << s;
  }
  EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
}

// Only the root's buffer matters on the receive side of reduce and on the
// send side of broadcast; the other ranks may pass null there.
TEST_F(NcclEmu, NonRootsMayPassNullWhereTheirBufferIsUnused) {
  const size_t count = 1001;
  const int root = size - 1;
  ncclComm_t comm = world_comm();
  ASSERT_NE(comm, nullptr);
  std::vector<float> in(count);
  for (size_t i = 0; i < count; ++i) in[i] = static_cast<float>(input_value(ncclFloat, rank, i));
  std::vector<float> out(count, -1.0f);
  float* reduce_out = rank == root ? out.data() : nullptr;
  EXPECT_EQ(ncclReduce(in.data(), reduce_out, count, ncclFloat, ncclSum, root, comm, nullptr), ncclSuccess);
  if (rank == root) {
    for (size_t i = 0; i < count; ++i) {
      long sum = 0;
      for (int r = 0; r < size; ++r) sum += input_value(ncclFloat, r, i);
      ASSERT_EQ(out[i], static_cast<float>(sum)) << "element " << i;
    }
  }
  const float* broadcast_in = rank == root ? in.data() : nullptr;
  std::fill(out.begin(), out.end(), -1.0f);
  EXPECT_EQ(ncclBroadcast(broadcast_in, out.data(), count, ncclFloat, root, comm, nullptr), ncclSuccess);
  for (size_t i = 0; i < count; ++i) {
    ASSERT_EQ(out[i], static_cast<float>(input_value(ncclFloat, root, i))) << "element " << i;
  }
  EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
}

// ------------------------------------------------ several communicators ----

// Eight communicators over all ranks at once, used interleaved in the same
// order everywhere, each with its own data and type.
TEST_F(NcclEmu, EightCommunicatorsAtOnceInterleaved) {
  const int comms = 8;
  const size_t count = 40009;
  std::vector<ncclUniqueId> ids = shared_ids(comms);
  std::vector<ncclComm_t> comm(comms, nullptr);
  for (int c = 0; c < comms; ++c) {
    EXPECT_EQ(ncclCommInitRank(&comm[c], size, ids[c], rank), ncclSuccess);
    ASSERT_NE(comm[c], nullptr);
  }
  EXPECT_EQ(qoremu_live_nccl_comms(), static_cast<size_t>(comms));
  const ncclDataType_t types[] = {ncclFloat, ncclHalf, ncclUint8};
  for (int round = 0; round < 3; ++round) {
    std::vector<bytes> data(comms);
    for (int c = 0; c < comms; ++c) {
      ncclDataType_t type = types[c % 3];
      data[c].resize(count * type_bytes(type));
      // The communicator's index shifts the data, so a crossed pair shows.
      for (size_t i = 0; i < count; ++i) put(type, data[c].data(), i, input_value(type, rank, i + 31 * c + round));
    }
    for (int c = 0; c < comms; ++c) {
      EXPECT_EQ(ncclAllReduce(data[c].data(), data[c].data(), count, types[c % 3], ncclSum, comm[c], nullptr),
                ncclSuccess);
    }
    for (int c = 0; c < comms; ++c) {
      ncclDataType_t type = types[c % 3];
      bytes expected(count * type_bytes(type));
      for (size_t i = 0; i < count; ++i) {
        long sum = 0;
        for (int r = 0; r < size; ++r) sum += input_value(type, r, i + 31 * c + round);
        put(type, expected.data(), i, sum);
      }
      EXPECT_TRUE(same_elements(type, data[c].data(), expected)) << "communicator " << c << ", round " << round;
    }
  }
  for (int c = 0; c < comms; ++c) EXPECT_EQ(ncclCommDestroy(comm[c]), ncclSuccess);
}

// ------------------------------------------------ tests that need peers ----
// Registered only when mpiexec started two or more processes, so that a
// one-process run reports nothing it could not check.

// Open MPI tells each process the world size before MPI_Init, which is
// when the tests are registered.
int peers_world_size() {
  const char* size = std::getenv("OMPI_COMM_WORLD_SIZE");
  return size ? std::atoi(size) : 1;
}

bool has_peers() { return peers_world_size() >= 2; }

// The first and the last rank, in turn, as the one that misbehaves.
std::vector<int> misbehaving_ranks() {
  if (!has_peers()) return {};
  return {0, peers_world_size() - 1};
}

class WithPeers : public NcclEmu {
 protected:
  void SetUp() override {
    NcclEmu::SetUp();
    ASSERT_GE(size, 2) << "registered only when there are peers";
  }
};

// One communicator per pair of ranks, as a library with a communicator per
// peer has: created in one global order of the pairs (deadlock-free, since
// every rank meets its partner at the earliest pair it still has), then
// used interleaved in the same order.
class PerPeer : public WithPeers, public ::testing::WithParamInterface<ncclDataType_t> {};

TEST_P(PerPeer, CommunicatorPerPairInterleaved) {
  const ncclDataType_t type = GetParam();
  const size_t es = type_bytes(type);
  std::vector<std::pair<int, int>> pairs;
  for (int a = 0; a < size; ++a) {
    for (int b = a + 1; b < size; ++b) pairs.emplace_back(a, b);
  }
  std::vector<ncclUniqueId> ids = shared_ids(static_cast<int>(pairs.size()));
  std::vector<ncclComm_t> comm(pairs.size(), nullptr);
  for (size_t k = 0; k < pairs.size(); ++k) {
    if (pairs[k].first != rank && pairs[k].second != rank) continue;
    const int my = pairs[k].first == rank ? 0 : 1;
    EXPECT_EQ(ncclCommInitRank(&comm[k], 2, ids[k], my), ncclSuccess);
    int user_rank = -1;
    int count = -1;
    EXPECT_EQ(ncclCommUserRank(comm[k], &user_rank), ncclSuccess);
    EXPECT_EQ(ncclCommCount(comm[k], &count), ncclSuccess);
    EXPECT_EQ(user_rank, my);
    EXPECT_EQ(count, 2);
  }
  EXPECT_EQ(qoremu_live_nccl_comms(), static_cast<size_t>(size - 1));
  const size_t count = 70001;
  for (int round = 0; round < 2; ++round) {
    for (size_t k = 0; k < pairs.size(); ++k) {
      if (!comm[k]) continue;
      // Inputs follow the world rank shifted by pair and round, so data
      // from the wrong communicator or round shows.
      const size_t shift = 101 * k + round;
      bytes send(count * es);
      for (size_t i = 0; i < count; ++i) put(type, send.data(), i, input_value(type, rank, i + shift));
      bytes gathered(2 * count * es, sentinel);
      bytes summed(count * es, sentinel);
      EXPECT_EQ(ncclAllGather(send.data(), gathered.data(), count, type, comm[k], nullptr), ncclSuccess);
      EXPECT_EQ(ncclAllReduce(send.data(), summed.data(), count, type, ncclSum, comm[k], nullptr), ncclSuccess);
      bytes want_gathered(2 * count * es);
      bytes want_summed(count * es);
      for (size_t i = 0; i < count; ++i) {
        long a = input_value(type, pairs[k].first, i + shift);
        long b = input_value(type, pairs[k].second, i + shift);
        put(type, want_gathered.data(), i, a);
        put(type, want_gathered.data(), count + i, b);
        put(type, want_summed.data(), i, a + b);
      }
      EXPECT_TRUE(same_elements(type, gathered.data(), want_gathered))
          << "pair " << pairs[k].first << "-" << pairs[k].second << ", round " << round;
      EXPECT_TRUE(same_elements(type, summed.data(), want_summed))
          << "pair " << pairs[k].first << "-" << pairs[k].second << ", round " << round;
    }
  }
  for (ncclComm_t c : comm) {
    if (c) {
      EXPECT_EQ(ncclCommDestroy(c), ncclSuccess);
    }
  }
}

std::vector<ncclDataType_t> per_peer_types() {
  if (!has_peers()) return {};
  return {ncclFloat, ncclHalf, ncclUint8};
}

INSTANTIATE_TEST_SUITE_P(Types, PerPeer, ::testing::ValuesIn(per_peer_types()),
                         [](const ::testing::TestParamInfo<ncclDataType_t>& info) {
                           return type_name(info.param);
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(PerPeer);

class PeerFailure : public WithPeers, public ::testing::WithParamInterface<int> {};

// A peer that never makes the call: the others get ncclRemoteError within
// the time-out, and the communicator stays failed for everybody.
TEST_P(PeerFailure, PeerSkipsCollective) {
  const int absent = GetParam();
  ncclComm_t comm = nullptr;
  {
    scoped_env timeout("QOR_EMU_NCCL_TIMEOUT", "0.5");
    comm = world_comm();
  }
  ASSERT_NE(comm, nullptr);
  std::vector<float> data(100, 1.0f);
  if (rank != absent) {
    EXPECT_EQ(ncclAllReduce(data.data(), data.data(), data.size(), ncclFloat, ncclSum, comm, nullptr),
              ncclRemoteError);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  // Now even the rank that skipped fails at once, without waiting.
  EXPECT_EQ(ncclAllReduce(data.data(), data.data(), data.size(), ncclFloat, ncclSum, comm, nullptr),
            ncclRemoteError);
  EXPECT_EQ(ncclBroadcast(data.data(), data.data(), data.size(), ncclFloat, 0, comm, nullptr), ncclRemoteError);
  for (float v : data) ASSERT_EQ(v, 1.0f) << "a failed call wrote its output";
  EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
}

// A peer that destroys its communicator instead of joining the call; the
// time-out is long, the others must not need it.
TEST_P(PeerFailure, PeerLeaves) {
  const int leaving = GetParam();
  ncclComm_t comm = world_comm();
  ASSERT_NE(comm, nullptr);
  if (rank != leaving) {
    bytes data(64, 3);
    EXPECT_EQ(ncclAllReduce(data.data(), data.data(), data.size(), ncclUint8, ncclSum, comm, nullptr),
              ncclRemoteError);
    EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](unsigned char b) { return b == 3; }));
  }
  EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
}

INSTANTIATE_TEST_SUITE_P(Rank, PeerFailure, ::testing::ValuesIn(misbehaving_ranks()));
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(PeerFailure);

// Calls that do not match across ranks: rank 0 differs from the others.
enum class mismatch { count, type, collective, root, sequence };

class Mismatch : public WithPeers, public ::testing::WithParamInterface<mismatch> {};

TEST_P(Mismatch, FailsOnAllRanksWithoutWriting) {
  ncclComm_t comm = world_comm();
  ASSERT_NE(comm, nullptr);
  const bool odd_one = rank == 0;
  const size_t count = 24;
  std::vector<float> send(count * size, 1.0f);
  bytes recv(count * size * sizeof(float), sentinel);
  auto* out = reinterpret_cast<float*>(recv.data());
  ncclResult_t result = ncclInternalError;
  switch (GetParam()) {
    case mismatch::count:
      result = ncclAllReduce(send.data(), out, odd_one ? count : count - 1, ncclFloat, ncclSum, comm, nullptr);
      break;
    case mismatch::type:
      result = ncclAllReduce(send.data(), out, count, odd_one ? ncclFloat : ncclUint8, ncclSum, comm, nullptr);
      break;
    case mismatch::collective:
      result = odd_one ? ncclAllReduce(send.data(), out, count, ncclFloat, ncclSum, comm, nullptr)
                       : ncclBroadcast(send.data(), out, count, ncclFloat, 0, comm, nullptr);
      break;
    case mismatch::root:
      result = ncclBroadcast(send.data(), out, count, ncclFloat, odd_one ? 0 : 1, comm, nullptr);
      break;
    case mismatch::sequence:
      // A call rejected on one rank only must not pair its next call with
      // the peers' previous one.
      if (odd_one) {
        EXPECT_EQ(ncclAllReduce(send.data(), out, count, ncclFloat, ncclMax, comm, nullptr), ncclInvalidArgument);
      } else {
        EXPECT_EQ(ncclAllReduce(send.data(), out, count, ncclFloat, ncclSum, comm, nullptr), ncclInvalidUsage);
      }
      result = ncclAllReduce(send.data(), out, count, ncclFloat, ncclSum, comm, nullptr);
      break;
  }
  EXPECT_EQ(result, ncclInvalidUsage) << ncclGetErrorString(result);
  EXPECT_TRUE(all_sentinel(recv.data(), recv.size()));
  // The ranks are out of step: later calls fail at once.
  EXPECT_NE(ncclAllReduce(send.data(), out, count, ncclFloat, ncclSum, comm, nullptr), ncclSuccess);
  EXPECT_EQ(ncclCommDestroy(comm), ncclSuccess);
}

std::vector<mismatch> mismatch_cases() {
  if (!has_peers()) return {};
  return {mismatch::count, mismatch::type, mismatch::collective, mismatch::root, mismatch::sequence};
}

std::string mismatch_text(mismatch m) {
  switch (m) {
    case mismatch::count: return "Count";
    case mismatch::type: return "Datatype";
    case mismatch::collective: return "Collective";
    case mismatch::root: return "Root";
    default: return "Sequence";
  }
}

void PrintTo(mismatch m, std::ostream* os) { *os << mismatch_text(m); }

INSTANTIATE_TEST_SUITE_P(Calls, Mismatch, ::testing::ValuesIn(mismatch_cases()),
                         [](const ::testing::TestParamInfo<mismatch>& info) { return mismatch_text(info.param); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Mismatch);

}  // namespace
