// The C interface in the default MPI + NCCL start mode, run under mpiexec
// with 1 to 4 processes.  The library starts MPI itself in qor_init and
// shuts it down in qor_finalize, which the test environment calls last.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "allreduce_data.h"
#include "qor.h"
#include "qor_test_support.h"
#if QOR_GPU_EMULATED
#include "gpu_emu.h"
#endif

using qor_test::float_input;
using qor_test::float_sum;
using qor_test::half_input;
using qor_test::half_sum;

namespace {

int g_rank = -1;
int g_size = 0;
double g_e2e_before_first_allreduce = 0.0;
bool g_started = false;

class library_environment : public testing::Environment {
 public:
  void SetUp() override {
    if (!qor_test::device_available()) return;
    ASSERT_EQ(qor_init(""), QOR_SUCCESS);
    g_started = true;
    ASSERT_EQ(qor_get_key_value(QOR_KEY_E2E, &g_e2e_before_first_allreduce), QOR_SUCCESS);
    ASSERT_EQ(qor_rank(&g_rank), QOR_SUCCESS);
    ASSERT_EQ(qor_size(&g_size), QOR_SUCCESS);
  }
  void TearDown() override {
    if (!g_started) return;
    EXPECT_EQ(qor_finalize(), QOR_SUCCESS);
    int finalized = 0;
    MPI_Finalized(&finalized);
    EXPECT_EQ(finalized, 1) << "qor_finalize shuts down the MPI it started";
#if QOR_GPU_EMULATED
    EXPECT_EQ(qoremu_live_nccl_comms(), 0u);
    EXPECT_EQ(qoremu_live_streams(), 0u);
    EXPECT_EQ(qoremu_live_cublas_handles(), 0u);
    EXPECT_EQ(qoremu_live_device_allocations(), 0u);
#endif
  }
};

const testing::Environment* const g_environment =
    testing::AddGlobalTestEnvironment(new library_environment);

// Device buffer holding `host`; freed by the destructor.
template <class T>
class device_buffer {
 public:
  explicit device_buffer(const std::vector<T>& host) : _count(host.size()) {
    EXPECT_EQ(qor_malloc(&_ptr, 256, bytes()), (bytes() + 255) / 256 * 256);
    if (bytes() > 0) {
      EXPECT_EQ(qor_memcpy_host_to_device(_ptr, host.data(), bytes()), QOR_SUCCESS);
      EXPECT_EQ(qor_memsync(), QOR_SUCCESS);
    }
  }
  ~device_buffer() { EXPECT_EQ(qor_free(_ptr), QOR_SUCCESS); }
  void* get() const { return _ptr; }
  size_t bytes() const { return _count * sizeof(T); }
  std::vector<T> read() const {
    std::vector<T> host(_count);
    if (bytes() > 0) {
      EXPECT_EQ(qor_memcpy_device_to_host(host.data(), _ptr, bytes()), QOR_SUCCESS);
      EXPECT_EQ(qor_memsync(), QOR_SUCCESS);
    }
    return host;
  }

 private:
  size_t _count;
  void* _ptr = nullptr;
};

class MpiNcclMode : public testing::Test {
 protected:
  void SetUp() override { QOR_REQUIRE_DEVICE(); }
};

struct allreduce_case {
  size_t count;
  QOR_Op op;
};

std::string case_name(const testing::TestParamInfo<allreduce_case>& info) {
  return std::to_string(info.param.count) + (info.param.op == QOR_AVG ? "_avg" : "_sum");
}

class Allreduce : public MpiNcclMode, public testing::WithParamInterface<allreduce_case> {};

TEST_P(Allreduce, FloatEqualsReferenceSum) {
  const auto [count, op] = GetParam();
  device_buffer<float> buf(float_input(g_rank, count));
  ASSERT_EQ(qor_allreduce(buf.get(), count, QOR_FLOAT, op), QOR_SUCCESS);
  std::vector<float> got = buf.read();
  const float scale = static_cast<float>(1.0 / g_size);
  for (size_t i = 0; i < count; ++i) {
    float sum = float_sum(g_size, i);
    if (op == QOR_SUM) {
      ASSERT_EQ(got[i], sum) << "element " << i;
    } else {
      ASSERT_FLOAT_EQ(got[i], sum * scale) << "element " << i;
    }
  }
}

TEST_P(Allreduce, HalfEqualsReferenceWithinRounding) {
  const auto [count, op] = GetParam();
  device_buffer<__half> buf(half_input(g_rank, count));
  ASSERT_EQ(qor_allreduce(buf.get(), count, QOR_HALF, op), QOR_SUCCESS);
  std::vector<__half> got = buf.read();
  const float scale = static_cast<float>(1.0 / g_size);
  for (size_t i = 0; i < count; ++i) {
    float sum = half_sum(g_size, i);
    if (op == QOR_SUM) {
      ASSERT_EQ(__half2float(got[i]), sum) << "element " << i;
    } else {
      ASSERT_LE(qor_test::half_ulps(got[i], __float2half(sum * scale)), 1) << "element " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, Allreduce,
                         testing::Values(allreduce_case{0, QOR_SUM}, allreduce_case{1, QOR_SUM},
                                         allreduce_case{7, QOR_SUM}, allreduce_case{1001, QOR_SUM},
                                         allreduce_case{300007, QOR_SUM},
                                         allreduce_case{1, QOR_AVG}, allreduce_case{1001, QOR_AVG}),
                         case_name);

TEST_F(MpiNcclMode, E2eIsMinusOneBeforeTheFirstAllreduceThenTheDuration) {
  EXPECT_EQ(g_e2e_before_first_allreduce, -1.0);
  device_buffer<float> buf(float_input(g_rank, 64));
  ASSERT_EQ(qor_allreduce(buf.get(), 64, QOR_FLOAT, QOR_SUM), QOR_SUCCESS);
  double e2e = -1.0;
  ASSERT_EQ(qor_get_key_value(QOR_KEY_E2E, &e2e), QOR_SUCCESS);
  EXPECT_GE(e2e, 0.0);
  EXPECT_LT(e2e, 60.0) << "a duration, not a clock reading";
}

TEST_F(MpiNcclMode, KeysReadTheirValues) {
  double jitter = 0.0;
  ASSERT_EQ(qor_get_key_value(QOR_KEY_JITTER, &jitter), QOR_SUCCESS);
  EXPECT_EQ(jitter, -1.0) << "no jitter measurement in the NCCL modes";
  for (QOR_Key key : {QOR_KEY_BW_DIM0, QOR_KEY_BW_DIM1, QOR_KEY_BW_DIM2, QOR_KEY_BW_DIM3}) {
    double bw = -1.0;
    ASSERT_EQ(qor_get_key_value(key, &bw), QOR_SUCCESS);
    EXPECT_EQ(bw, 0.0) << "no transfers are recorded in the NCCL modes, key " << key;
  }
  int device = -2;
  ASSERT_EQ(qor_get_key_value(QOR_KEY_DEVICE, &device), QOR_SUCCESS);
  int local_rank = -1;
  ASSERT_EQ(qor_local_rank(&local_rank), QOR_SUCCESS);
  EXPECT_EQ(device, local_rank);
}

TEST_F(MpiNcclMode, UndefinedKeyIsRefusedWithItsNumber) {
  for (int key : {7, 100, -1}) {
    double value = 12.5;
    qor_test::stderr_capture capture;
    EXPECT_EQ(qor_get_key_value(static_cast<QOR_Key>(key), &value), QOR_FAILURE);
    EXPECT_EQ(capture.take(), " undefined QOR_Key (" + std::to_string(key) + ")");
    EXPECT_EQ(value, 12.5);
  }
}

TEST_F(MpiNcclMode, RankSizeAndHostLocalValuesOnOneHost) {
  int world_rank = -1;
  int world_size = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &world_rank);
  MPI_Comm_size(MPI_COMM_WORLD, &world_size);
  EXPECT_EQ(g_rank, world_rank);
  EXPECT_EQ(g_size, world_size);
  int local_rank = -1;
  int local_size = 0;
  ASSERT_EQ(qor_local_rank(&local_rank), QOR_SUCCESS);
  ASSERT_EQ(qor_local_size(&local_size), QOR_SUCCESS);
  EXPECT_EQ(local_rank, world_rank) << "all processes share this host";
  EXPECT_EQ(local_size, world_size);
}

TEST_F(MpiNcclMode, InvalidTypeTouchesNothing) {
  std::vector<float> input = float_input(g_rank, 33);
  device_buffer<float> buf(input);
  EXPECT_EQ(qor_allreduce(buf.get(), 33, static_cast<QOR_Type>(2), QOR_SUM), QOR_FAILURE);
  EXPECT_EQ(qor_allreduce(buf.get(), 33, static_cast<QOR_Type>(-1), QOR_SUM), QOR_FAILURE);
  EXPECT_EQ(buf.read(), input);
}

TEST_F(MpiNcclMode, BroadcastFromEveryRootForEveryType) {
  for (int root = 0; root < g_size; ++root) {
    std::vector<float> f(101);
    for (size_t i = 0; i < f.size(); ++i) f[i] = static_cast<float>(g_rank * 1000 + i);
    device_buffer<float> fbuf(f);
    ASSERT_EQ(qor_bcast(fbuf.get(), 101, QOR_FLOAT, root), QOR_SUCCESS);
    std::vector<float> fgot = fbuf.read();
    for (size_t i = 0; i < f.size(); ++i) ASSERT_EQ(fgot[i], root * 1000.0f + i) << i;

    std::vector<__half> h(77);
    for (size_t i = 0; i < h.size(); ++i) h[i] = __float2half(static_cast<float>(g_rank * 100 + i));
    device_buffer<__half> hbuf(h);
    ASSERT_EQ(qor_bcast(hbuf.get(), 77, QOR_HALF, root), QOR_SUCCESS);
    std::vector<__half> hgot = hbuf.read();
    for (size_t i = 0; i < h.size(); ++i) ASSERT_EQ(__half2float(hgot[i]), root * 100.0f + i) << i;

    std::vector<unsigned char> b(300);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>(g_rank * 31 + i);
    device_buffer<unsigned char> bbuf(b);
    ASSERT_EQ(qor_bcast(bbuf.get(), 300, QOR_BYTE, root), QOR_SUCCESS);
    std::vector<unsigned char> bgot = bbuf.read();
    for (size_t i = 0; i < b.size(); ++i)
      ASSERT_EQ(bgot[i], static_cast<unsigned char>(root * 31 + i)) << i;
  }
}

TEST_F(MpiNcclMode, BroadcastOfAnUnknownTypeOverMpiFails) {
  float x = 1.0f;
  EXPECT_EQ(qor_bcast(&x, 1, static_cast<QOR_Type>(3), 0), QOR_FAILURE);
}

TEST_F(MpiNcclMode, MallocRoundsUpToTheAlignment) {
  void* p = nullptr;
  EXPECT_EQ(qor_malloc(&p, 256, 1000), 1024u);
  EXPECT_NE(p, nullptr);
  EXPECT_EQ(qor_free(p), QOR_SUCCESS);
  EXPECT_EQ(qor_malloc(&p, 1, 0), 0u);
  EXPECT_EQ(qor_free(p), QOR_SUCCESS);
  EXPECT_EQ(qor_malloc(&p, 8, 8), 8u);
  EXPECT_EQ(qor_free(p), QOR_SUCCESS);
}

TEST_F(MpiNcclMode, MallocWithZeroAlignmentFails) {
  void* p = nullptr;
  qor_test::stderr_capture capture;
  EXPECT_EQ(qor_malloc(&p, 0, 100), 1u);
  EXPECT_NE(capture.take().find("alignment"), std::string::npos);
  EXPECT_EQ(p, nullptr);
}

TEST_F(MpiNcclMode, GatherAndScatterRoundTrip) {
  const std::vector<size_t> sizes = {5, 0, 17, 1, 64};
  const size_t total = std::accumulate(sizes.begin(), sizes.end(), size_t{0});
  std::vector<std::vector<unsigned char>> pieces;
  std::vector<device_buffer<unsigned char>*> devices;
  std::vector<char*> pointers;
  for (size_t p = 0; p < sizes.size(); ++p) {
    std::vector<unsigned char> piece(sizes[p]);
    for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<unsigned char>(p * 40 + i);
    pieces.push_back(piece);
    devices.push_back(new device_buffer<unsigned char>(piece));
    pointers.push_back(static_cast<char*>(devices.back()->get()));
  }
  std::vector<size_t> size_list = sizes;
  device_buffer<unsigned char> packed(std::vector<unsigned char>(total, 0xee));
  ASSERT_EQ(qor_memcpy_gather(static_cast<char*>(packed.get()), pointers.data(),
                              size_list.data(), sizes.size()),
            QOR_SUCCESS);
  ASSERT_EQ(qor_memsync(), QOR_SUCCESS);
  std::vector<unsigned char> expected;
  for (auto& piece : pieces) expected.insert(expected.end(), piece.begin(), piece.end());
  EXPECT_EQ(packed.read(), expected);

  // Scatter into fresh pieces gives back the originals.
  std::vector<device_buffer<unsigned char>*> targets;
  std::vector<char*> target_pointers;
  for (size_t s : sizes) {
    targets.push_back(new device_buffer<unsigned char>(std::vector<unsigned char>(s, 0)));
    target_pointers.push_back(static_cast<char*>(targets.back()->get()));
  }
  ASSERT_EQ(qor_memcpy_scatter(target_pointers.data(), size_list.data(), sizes.size(),
                               static_cast<char*>(packed.get())),
            QOR_SUCCESS);
  ASSERT_EQ(qor_memsync(), QOR_SUCCESS);
  for (size_t p = 0; p < sizes.size(); ++p) EXPECT_EQ(targets[p]->read(), pieces[p]) << p;
  EXPECT_EQ(qor_memcpy_gather(nullptr, nullptr, nullptr, 0), QOR_SUCCESS);
  for (auto* d : devices) delete d;
  for (auto* d : targets) delete d;
}

TEST_F(MpiNcclMode, AllreduceMpiEntryMapsTypesAndRefusesTheRest) {
  device_buffer<float> buf(float_input(g_rank, 10));
  EXPECT_EQ(qor_allreduce_mpi("", buf.get(), 10, MPI_FLOAT, MPI_SUM, MPI_COMM_WORLD), 0);
  std::vector<float> got = buf.read();
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], float_sum(g_size, i));
  device_buffer<__half> hbuf(half_input(g_rank, 9));
  EXPECT_EQ(qor_allreduce_mpi("", hbuf.get(), 9, MPI_SHORT, MPI_SUM, MPI_COMM_WORLD), 0);
  std::vector<__half> hgot = hbuf.read();
  for (size_t i = 0; i < hgot.size(); ++i) ASSERT_EQ(__half2float(hgot[i]), half_sum(g_size, i));
  EXPECT_EQ(qor_allreduce_mpi("", buf.get(), 10, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD), 1);
  qor_test::stderr_capture capture;
  EXPECT_EQ(qor_allreduce_mpi("", buf.get(), 10, MPI_FLOAT, MPI_MAX, MPI_COMM_WORLD), 1);
  EXPECT_EQ(qor_allreduce_mpi("", buf.get(), 10, MPI_FLOAT, MPI_SUM, MPI_COMM_SELF), 1);
  EXPECT_NE(capture.take().find("MPI_SUM over MPI_COMM_WORLD"), std::string::npos);
}

TEST_F(MpiNcclMode, AsyncGivesTheSynchronousResult) {
  const size_t count = 4099;
  device_buffer<float> a(float_input(g_rank, count));
  device_buffer<float> b(float_input(g_rank, count));
  ASSERT_EQ(qor_allreduce(a.get(), count, QOR_FLOAT, QOR_AVG), QOR_SUCCESS);
  ASSERT_EQ(qor_allreduce_async(b.get(), count, QOR_FLOAT, QOR_AVG), QOR_SUCCESS);
  EXPECT_EQ(qor_thrinit, 1);
  ASSERT_EQ(qor_wait(), QOR_SUCCESS);
  EXPECT_EQ(qor_ctrl, 0);
  EXPECT_EQ(b.read(), a.read());
}

TEST_F(MpiNcclMode, SecondAsyncRequestWaitsForTheFirst) {
  device_buffer<float> a(float_input(g_rank, 5000));
  device_buffer<__half> b(half_input(g_rank, 3001));
  ASSERT_EQ(qor_allreduce_async(a.get(), 5000, QOR_FLOAT, QOR_SUM), QOR_SUCCESS);
  ASSERT_EQ(qor_allreduce_async(b.get(), 3001, QOR_HALF, QOR_SUM), QOR_SUCCESS);
  ASSERT_EQ(qor_wait(), QOR_SUCCESS);
  std::vector<float> fa = a.read();
  for (size_t i = 0; i < fa.size(); ++i) ASSERT_EQ(fa[i], float_sum(g_size, i)) << i;
  std::vector<__half> hb = b.read();
  for (size_t i = 0; i < hb.size(); ++i) ASSERT_EQ(__half2float(hb[i]), half_sum(g_size, i)) << i;
}

TEST_F(MpiNcclMode, AsyncWithAnInvalidTypeCompletesAndLeavesTheBuffer) {
  std::vector<float> input = float_input(g_rank, 50);
  device_buffer<float> buf(input);
  EXPECT_EQ(qor_allreduce_async(buf.get(), 50, static_cast<QOR_Type>(2), QOR_SUM), QOR_SUCCESS);
  EXPECT_EQ(qor_wait(), QOR_SUCCESS);
  EXPECT_EQ(buf.read(), input);
  EXPECT_EQ(qor_wait(), QOR_SUCCESS) << "nothing pending returns at once";
}

TEST_F(MpiNcclMode, RepeatedInitReplacesTheContextWithoutLeaking) {
#if QOR_GPU_EMULATED
  const size_t comms = qoremu_live_nccl_comms();
  const size_t streams = qoremu_live_streams();
  const size_t handles = qoremu_live_cublas_handles();
#endif
  ASSERT_EQ(qor_init(""), QOR_SUCCESS);
  ASSERT_EQ(qor_init(""), QOR_SUCCESS);
#if QOR_GPU_EMULATED
  EXPECT_EQ(qoremu_live_nccl_comms(), comms);
  EXPECT_EQ(qoremu_live_streams(), streams);
  EXPECT_EQ(qoremu_live_cublas_handles(), handles);
#endif
  device_buffer<float> buf(float_input(g_rank, 100));
  ASSERT_EQ(qor_allreduce(buf.get(), 100, QOR_FLOAT, QOR_SUM), QOR_SUCCESS);
  std::vector<float> got = buf.read();
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], float_sum(g_size, i));
}

}  // namespace
