// The C interface in legacy engine mode: qor_init builds the hardware layer
// over MPI_COMM_WORLD, the helpers work through its streams (or on the host
// in host-CPU mode), and qor_finalize releases it.  Compiled twice: with
// QOR_LEGACY_GPU for GPU mode, without it for host-CPU mode.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "allreduce_data.h"
#include "qor.h"
#include "qor_hw.h"
#include "qor_state.h"
#include "qor_test_support.h"
#if QOR_GPU_EMULATED
#include "gpu_emu.h"
#endif

namespace {

#if QOR_LEGACY_GPU
const char* const g_options = "-qor_legacy_allreduce 1 -mode b";
constexpr bool g_gpu_mode = true;
#else
const char* const g_options = "-qor_legacy_allreduce 1 -cpu_only 1 -mode r";
constexpr bool g_gpu_mode = false;
#endif

int g_rank = -1;
int g_size = 0;
bool g_started = false;
std::string g_init_log;

class legacy_environment : public testing::Environment {
 public:
  void SetUp() override {
    if (g_gpu_mode && !qor_test::device_available()) return;
    qor_test::stderr_capture capture;
    QOR_Status status = qor_init(g_options);
    g_init_log = capture.take();
    ASSERT_EQ(status, QOR_SUCCESS) << g_init_log;
    g_started = true;
    ASSERT_EQ(qor_rank(&g_rank), QOR_SUCCESS);
    ASSERT_EQ(qor_size(&g_size), QOR_SUCCESS);
  }
  void TearDown() override {
    if (!g_started) return;
    EXPECT_EQ(qor_finalize(), QOR_SUCCESS);
    EXPECT_EQ(global_hw_h, nullptr);
    EXPECT_EQ(global_stat_h, nullptr);
#if QOR_GPU_EMULATED
    EXPECT_EQ(qoremu_live_streams(), 0u);
    EXPECT_EQ(qoremu_live_cublas_handles(), 0u);
    EXPECT_EQ(qoremu_live_nccl_comms(), 0u);
    EXPECT_EQ(qoremu_live_device_allocations(), 0u);
    EXPECT_EQ(qoremu_live_host_allocations(), 0u);
#endif
  }
};

const testing::Environment* const g_environment =
    testing::AddGlobalTestEnvironment(new legacy_environment);

class LegacyMode : public testing::Test {
 protected:
  void SetUp() override {
    if (g_gpu_mode) QOR_REQUIRE_DEVICE();
    ASSERT_TRUE(g_started);
  }
};

TEST_F(LegacyMode, InitBuildsTheHardwareLayerOverTheWorld) {
  ASSERT_NE(global_hw_h, nullptr);
  EXPECT_FALSE(global_nccl_context);
  EXPECT_EQ(global_hw_h->_size, g_size);
  EXPECT_EQ(global_hw_h->_rank, g_rank);
  bool banner = g_init_log.find("==== Vorlan Corp. QOR 1.5.1 + (MPI ") != std::string::npos;
  EXPECT_EQ(banner, g_rank == 0) << g_init_log;
  int device = -2;
  ASSERT_EQ(qor_get_key_value(QOR_KEY_DEVICE, &device), QOR_SUCCESS);
  EXPECT_EQ(device, global_hw_h->_device);
  if (g_gpu_mode) {
    int local_rank = -1;
    ASSERT_EQ(qor_local_rank(&local_rank), QOR_SUCCESS);
    EXPECT_EQ(device, local_rank);
  } else {
    EXPECT_EQ(device, -1);
  }
}

TEST_F(LegacyMode, RepeatedInitKeepsTheLayerAndTheCollector) {
  qor::network::qor_hw* hw = global_hw_h;
  qor::network::qor_stat* stat = global_stat_h;
  global_sw_float_h.handle = &global_sw_float_h;  // any non-null marker
  global_sw_half_h.handle = &global_sw_half_h;
  ASSERT_EQ(qor_init(g_options), QOR_SUCCESS);
  EXPECT_EQ(global_hw_h, hw);
  EXPECT_EQ(global_stat_h, stat);
  EXPECT_EQ(global_sw_float_h.handle, nullptr);
  EXPECT_EQ(global_sw_half_h.handle, nullptr);
}

TEST_F(LegacyMode, AllreduceIsRefusedUntilTheEngineExists) {
  std::vector<float> host = qor_test::float_input(g_rank, 8);
  qor_test::stderr_capture capture;
  EXPECT_EQ(qor_allreduce(host.data(), 8, QOR_FLOAT, QOR_SUM), QOR_FAILURE);
  EXPECT_NE(capture.take().find("legacy engine's allreduce"), std::string::npos);
  EXPECT_EQ(host, qor_test::float_input(g_rank, 8));
}

TEST_F(LegacyMode, AveragingScalesByTheProcessCount) {
  const size_t count = 1003;
  void* buf = nullptr;
  ASSERT_GT(qor_malloc(&buf, 256, count * sizeof(float)), 1u);
  std::vector<float> f = qor_test::float_input(g_rank, count);
  ASSERT_EQ(qor_memcpy_host_to_device(buf, f.data(), count * sizeof(float)), QOR_SUCCESS);
  ASSERT_EQ(qor_memsync(), QOR_SUCCESS);
  qor_average_buffer(buf, count, QOR_FLOAT);
  std::vector<float> got(count);
  ASSERT_EQ(qor_memcpy_device_to_host(got.data(), buf, count * sizeof(float)), QOR_SUCCESS);
  ASSERT_EQ(qor_memsync(), QOR_SUCCESS);
  const float scale = static_cast<float>(1.0 / g_size);
  for (size_t i = 0; i < count; ++i) ASSERT_FLOAT_EQ(got[i], f[i] * scale) << i;

  // Half buffers are scaled as halves, and nothing past their end changes.
  std::vector<__half> h = qor_test::half_input(g_rank, count);
  h.push_back(__float2half(1234.0f));
  ASSERT_EQ(qor_memcpy_host_to_device(buf, h.data(), h.size() * 2), QOR_SUCCESS);
  ASSERT_EQ(qor_memsync(), QOR_SUCCESS);
  qor_average_buffer(buf, count, QOR_HALF);
  std::vector<__half> hgot(h.size());
  ASSERT_EQ(qor_memcpy_device_to_host(hgot.data(), buf, hgot.size() * 2), QOR_SUCCESS);
  ASSERT_EQ(qor_memsync(), QOR_SUCCESS);
  for (size_t i = 0; i < count; ++i) {
    ASSERT_LE(qor_test::half_ulps(hgot[i], __float2half(__half2float(h[i]) * scale)), 1) << i;
  }
  EXPECT_EQ(__half2float(hgot[count]), 1234.0f);
  ASSERT_EQ(qor_free(buf), QOR_SUCCESS);
}

TEST_F(LegacyMode, CopiesGathersAndScattersRoundTrip) {
  std::vector<unsigned char> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + g_rank);
  void* d = nullptr;
  ASSERT_GT(qor_malloc(&d, 1, data.size()), 1u);
  ASSERT_EQ(qor_memcpy_host_to_device(d, data.data(), data.size()), QOR_SUCCESS);
  ASSERT_EQ(qor_memsync(), QOR_SUCCESS);
  const std::vector<size_t> sizes = {100, 0, 333, 567};
  std::vector<char*> pieces;
  for (size_t s : sizes) {
    void* p = nullptr;
    qor_malloc(&p, 1, s == 0 ? 1 : s);
    pieces.push_back(static_cast<char*>(p));
  }
  std::vector<size_t> size_list = sizes;
  ASSERT_EQ(qor_memcpy_scatter(pieces.data(), size_list.data(), sizes.size(),
                               static_cast<char*>(d)),
            QOR_SUCCESS);
  ASSERT_EQ(qor_memsync(), QOR_SUCCESS);
  void* back = nullptr;
  ASSERT_GT(qor_malloc(&back, 1, data.size()), 1u);
  ASSERT_EQ(qor_memcpy_gather(static_cast<char*>(back), pieces.data(), size_list.data(),
                              sizes.size()),
            QOR_SUCCESS);
  ASSERT_EQ(qor_memsync(), QOR_SUCCESS);
  std::vector<unsigned char> got(data.size());
  ASSERT_EQ(qor_memcpy_device_to_host(got.data(), back, got.size()), QOR_SUCCESS);
  ASSERT_EQ(qor_memsync(), QOR_SUCCESS);
  EXPECT_EQ(got, data);
  for (char* p : pieces) qor_free(p);
  qor_free(d);
  qor_free(back);
}

#if QOR_GPU_EMULATED && QOR_LEGACY_GPU
// With per-peer streams the copy is cut into one chunk per stream, the last
// taking the remainder: a failure injected into chunk k leaves exactly the
// bytes of the chunks before it copied.
TEST_F(LegacyMode, CopyIsChunkedOverTheStreams) {
  global_hw_h->enable_nccl(false);
  const size_t n = global_hw_h->_streams.size();
  ASSERT_EQ(n, static_cast<size_t>(global_hw_h->_dim[0]._size));
  const size_t bytes = 10;
  for (size_t failing = 0; failing < n; ++failing) {
    std::vector<unsigned char> src(bytes), dst(bytes, 0);
    std::iota(src.begin(), src.end(), 1);
    qoremu_inject_failure("cudaMemcpyAsync", static_cast<int>(failing), 1);
    qor_test::stderr_capture capture;
    EXPECT_EQ(qor_memcpy_host_to_device(dst.data(), src.data(), bytes), QOR_FAILURE);
    EXPECT_NE(capture.take().find("[ERROR QOR-1-2]"), std::string::npos);
    qoremu_inject_failure("", -1, 0);
    cudaGetLastError();
    const size_t copied = failing * (bytes / n);
    for (size_t i = 0; i < bytes; ++i) {
      EXPECT_EQ(dst[i], i < copied ? src[i] : 0) << "failing chunk " << failing << " byte " << i;
    }
  }
  std::vector<unsigned char> src(bytes), dst(bytes, 0);
  std::iota(src.begin(), src.end(), 1);
  EXPECT_EQ(qor_memcpy_host_to_device(dst.data(), src.data(), bytes), QOR_SUCCESS);
  EXPECT_EQ(qor_memsync(), QOR_SUCCESS);
  EXPECT_EQ(dst, src);
}
#endif

}  // namespace
