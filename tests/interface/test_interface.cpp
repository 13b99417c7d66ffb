// The C interface as a framework calls it, one whole lifetime per test: MPI
// can start only once in a process, so CMakeLists.txt runs each test in a
// process (or an mpiexec job) of its own.
#include <gtest/gtest.h>
#include <mpi.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "qor.h"
#include "qor_hw.h"
#include "qor_stat.h"
#include "qor_state.h"
#include "qor_test_support.h"
#if QOR_GPU_EMULATED
#include "gpu_emu.h"
#endif

namespace {

using qor_test::input;
using qor_test::sum_of;

// Skips unless every process of the job has a GPU of its own: enough
// devices for the job (before MPI starts, the launcher's environment tells
// its size), or one picked for each process by CUDA_VISIBLE_DEVICES.
#define QOR_REQUIRE_A_GPU_EACH()                                                    \
  do {                                                                              \
    QOR_REQUIRE_DEVICE();                                                           \
    int devices_ = 0;                                                               \
    const char* job_ = std::getenv("OMPI_COMM_WORLD_SIZE");                         \
    cudaGetDeviceCount(&devices_);                                                  \
    if (devices_ < (job_ ? std::atoi(job_) : 1) && !std::getenv("CUDA_VISIBLE_DEVICES")) \
      GTEST_SKIP() << "a GPU per process is needed";                                \
  } while (0)

// A buffer in the library's memory, filled and read through its helpers.
template <class T>
struct lib_buffer {
  size_t n;
  void* ptr = nullptr;
  // Unless `synced`, the copy may still be under way, as a gradient kernel
  // of the caller's may be when the allreduce is called.
  explicit lib_buffer(const std::vector<T>& v, bool synced = true) : n(v.size()) {
    EXPECT_EQ(qor_malloc(&ptr, 256, n * sizeof(T)), (n * sizeof(T) + 255) / 256 * 256);
    EXPECT_EQ(qor_memcpy_host_to_device(ptr, v.data(), n * sizeof(T)), QOR_SUCCESS);
    if (synced) {
      EXPECT_EQ(qor_memsync(), QOR_SUCCESS);
    }
  }
  ~lib_buffer() { EXPECT_EQ(qor_free(ptr), QOR_SUCCESS); }
  std::vector<T> read() const {
    std::vector<T> v(n);
    EXPECT_EQ(qor_memcpy_device_to_host(v.data(), ptr, n * sizeof(T)), QOR_SUCCESS);
    EXPECT_EQ(qor_memsync(), QOR_SUCCESS);
    return v;
  }
};

// "" when every allreduce of the table gives the sum (or average) over the
// n processes of rank `me`; else the first miss.  Packed float buffers
// travel as halves: their data and sums are those of half buffers.
std::string allreduce_table(int me, int n, bool async = false, bool packed = false, bool synced = true) {
  for (size_t count : {size_t{0}, size_t{1}, size_t{1001}, size_t{300007}}) {
    for (QOR_Op op : {QOR_SUM, QOR_AVG}) {
      for (bool half : {false, true}) {
        // Packed buffers are float; host-CPU mode has no half sum.
        if (half && (packed || (global_hw_h && global_hw_h->_device < 0))) continue;
        const float scale = op == QOR_AVG ? 1.0f / n : 1.0f;
        auto expect = [&](size_t i) {
          const float sum = sum_of(half || packed, n, i) * scale;
          return half ? __half2float(__float2half(sum)) : sum;
        };
        std::string miss;
        auto run = [&](auto t) {
          using T = decltype(t);
          std::vector<T> data = input<T>(me, count);
          if constexpr (std::is_same<T, float>::value) {
            for (size_t i = 0; packed && i < count; ++i) data[i] = qor_test::value_of(true, me, i);
          }
          lib_buffer<T> buf(data, synced);
          const QOR_Type type = half ? QOR_HALF : QOR_FLOAT;
          const QOR_Status status = async ? qor_allreduce_async(buf.ptr, count, type, op)
                                          : qor_allreduce(buf.ptr, count, type, op);
          if (async) qor_wait();
          miss = status != QOR_SUCCESS ? "status 1" : qor_test::mismatch(buf.read(), 0, count, expect);
        };
        half ? run(__half{}) : run(float{});
        if (!miss.empty())
          return miss + " (" + std::to_string(count) + (half ? " half" : " float") + (op ? " avg)" : " sum)");
      }
    }
  }
  return "";
}

// qor_finalize, then MPI_Finalize where the library left MPI running; every
// emulated object is released by then.  True when qor_finalize shut MPI down.
bool finalize_all() {
  EXPECT_EQ(qor_finalize(), QOR_SUCCESS);
  int started = 0, finalized = 0;
  MPI_Initialized(&started);
  MPI_Finalized(&finalized);
  if (started && !finalized) MPI_Finalize();
#if QOR_GPU_EMULATED
  EXPECT_EQ(qoremu_live_nccl_comms() + qoremu_live_streams() + qoremu_live_cublas_handles() +
                qoremu_live_device_allocations() + qoremu_live_host_allocations(), 0u);
#endif
  return finalized;
}

std::string group_id() {
  char id[173];
  EXPECT_EQ(qor_generate_group_id(id), QOR_SUCCESS);
  return id;
}

// Worker i of n drives device n-1-i, so that index and device differ.
std::string mpiless(int n, int i, const std::string& id) {
  return "-qor_worker_count " + std::to_string(n) + " -qor_worker_index " + std::to_string(i) +
         " -qor_device_index " + std::to_string(n - 1 - i) + " -qor_group_id " + id;
}

}  // namespace

TEST(Single, BeforeInitAndRefusedStarts) {
  float buf[4] = {1, 2, 3, 4};
  char* pieces[1] = {reinterpret_cast<char*>(buf)};
  size_t sizes[1] = {4};
  double value = 5.0;
  qor_test::stderr_capture capture;
  const std::vector<std::pair<const char*, QOR_Status>> calls = {
      {"qor_allreduce", qor_allreduce(buf, 4, QOR_FLOAT, QOR_SUM)}, {"qor_memsync", qor_memsync()},
      {"qor_memcpy_host_to_device", qor_memcpy_host_to_device(buf, buf + 2, 8)},
      {"qor_memcpy_device_to_host", qor_memcpy_device_to_host(buf, buf + 2, 8)},
      {"qor_memcpy_gather", qor_memcpy_gather(pieces[0], pieces, sizes, 1)},
      {"qor_memcpy_scatter", qor_memcpy_scatter(pieces, sizes, 1, pieces[0])},
      {"qor_get_key_value", qor_get_key_value(QOR_KEY_E2E, &value)}};
  const QOR_Status null_text = qor_init(nullptr);
  const std::string log = capture.take();
  const std::vector<std::string> lines = qor_test::trace_summary(log);
  for (const auto& [name, status] : calls) {
    EXPECT_EQ(status, QOR_FAILURE) << name;
    // A refusal that returns is a warning: "E" lines end the process.
    const std::string refusal = "W:-1:" + std::string(name) + ": QOR is not initialized (call qor_init first)";
    EXPECT_NE(std::find(lines.begin(), lines.end(), refusal), lines.end()) << log;
  }
  EXPECT_EQ(qor_wait(), QOR_SUCCESS) << "nothing pending";
  EXPECT_EQ(null_text, QOR_FAILURE);
  EXPECT_NE(log.find("[ERROR QOR-1-10] An unknown error has occurred. Additional information:\n"
                     "qor_init: the option text is a null pointer\n"), std::string::npos);
  // A start text that cannot be returned from ends the process.
  const auto r = qor_test::run_child([] { return qor_init("-qor_worker_count 2 -qor_worker_index 0") + 10; });
  EXPECT_EQ(std::make_pair(r.status, qor_test::trace_summary(r.log)),
            std::make_pair(1, std::vector<std::string>{"E:-1:QOR needs to be initialized with qor_worker_count, "
                                                        "qor_worker_index, qor_device_index, and qor_group_id."}));
  // A request that cannot finish (the hand-over slot made to look busy): the
  // bounded wait gives up with a line naming it, and never waits on the
  // worker itself.
  qor_ctrl = 1, qor_cnt = 7;
  {
    qor_test::stderr_capture bounded;
    EXPECT_FALSE(qor_wait_idle_for("qor_finalize", 'W', 0.05));
    const std::string line = qor_test::trace_summary(bounded.take()).at(0);
    EXPECT_TRUE(qor_test::matches(line, "W:-1:qor_finalize: the asynchronous allreduce of 7 elements at .* "
                                        "has not finished after 0.05 s")) << line;
  }
  qor_thrinit = 1, qor_thr = pthread_self();
  EXPECT_TRUE(qor_wait_idle_for("exit", 'E', 0.05)) << "on the worker thread";
  qor_thrinit = 0, qor_ctrl = 0, qor_cnt = 0;
  int started = 1;
  MPI_Initialized(&started);
  EXPECT_EQ(started, 0) << "none of these calls starts MPI";
}

TEST(Single, MpiStartedOnDemandAndFailedStartsLeaveNothing) {
  int rank = -1, size = 0, local_rank = -1, local_size = 0;
  ASSERT_EQ(qor_rank(&rank) + qor_size(&size) + qor_local_rank(&local_rank) + qor_local_size(&local_size), 0);
  EXPECT_EQ(std::make_tuple(rank, size, local_rank, local_size), std::make_tuple(0, 1, 0, 1));
  float root[2] = {1, 2};
  EXPECT_EQ(qor_bcast(root, 2, QOR_FLOAT, 0), QOR_SUCCESS) << "through MPI, before qor_init";
  {
    qor_test::stderr_capture capture;
    EXPECT_EQ(qor_init("-qor_legacy_allreduce 1 -cpu_only 1 -align_part abc"), QOR_FAILURE);
    const std::string log = capture.take();
    EXPECT_NE(log.find("invalid value \"abc\" for -align_part option"), std::string::npos) << log;
    EXPECT_EQ(qor_memsync(), QOR_FAILURE) << "no layer is left behind";
  }
  {
    qor_test::scoped_env no_gpu("QOR_EMU_DEVICE_COUNT", "0");
    if (!qor_test::device_available()) {
      qor_test::stderr_capture capture;
      EXPECT_EQ(qor_init(""), QOR_FAILURE);
      EXPECT_NE(capture.take().find("[ERROR QOR-1-2] A CUDA error has occurred on host "), std::string::npos);
    }
  }
  finalize_all();
  qor_test::stderr_capture capture;
  EXPECT_EQ(qor_rank(&rank), QOR_FAILURE);
  EXPECT_NE(capture.take().find("MPI has been finalized"), std::string::npos);
}

// MPI-less workers, started by mpiexec as a plain launcher (the library
// never touches MPI in this mode).  Worker 0 makes the group identifier and
// hands it to the others through a file; every worker drives its own device.
struct worker {
  int me, n;
  std::string id;
};
worker mpiless_start() {
  worker w{std::atoi(std::getenv("OMPI_COMM_WORLD_RANK")), std::atoi(std::getenv("OMPI_COMM_WORLD_SIZE")), ""};
  const char* job = std::getenv("OMPI_MCA_ess_base_jobid");  // unique to this mpiexec job
  const std::string file = "/tmp/qor_group_id_" + (job ? std::string(job) : std::to_string(getppid()));
  if (w.me == 0) {
    std::ofstream(file + ".new") << group_id();
    std::rename((file + ".new").c_str(), file.c_str());
  }
  for (int tries = 0; w.id.empty() && tries < 3000; ++tries, usleep(10000)) std::ifstream(file) >> w.id;
  EXPECT_EQ(qor_init(mpiless(w.n, w.me, w.id).c_str()), QOR_SUCCESS);
  if (w.me == 0) std::remove(file.c_str());  // every worker has joined
  return w;
}

TEST(MpiLess, Workers) {
  QOR_REQUIRE_A_GPU_EACH();
  const worker w = mpiless_start();
  int rank = -1, size = -1, local_rank = -1, local_size = -1, device = -1;
  qor_rank(&rank), qor_size(&size), qor_local_rank(&local_rank), qor_local_size(&local_size);
  qor_get_key_value(QOR_KEY_DEVICE, &device);
  const int own = w.n - 1 - w.me;
  EXPECT_EQ(std::make_tuple(rank, size, local_rank, local_size, device),
            std::make_tuple(w.me, w.n, own, 1, own % qor_test::device_count()));
  EXPECT_EQ(allreduce_table(w.me, w.n, w.me % 2), "");
  {
    lib_buffer<float> value(std::vector<float>(29, w.me + 1.0f));
    EXPECT_EQ(qor_bcast(value.ptr, 29, QOR_FLOAT, w.n - 1), QOR_SUCCESS);
    EXPECT_EQ(value.read(), std::vector<float>(29, w.n * 1.0f)) << "broadcast from the last worker";
  }
  finalize_all();
  int started = 1;
  MPI_Initialized(&started);
  EXPECT_EQ(started, 0);
}

// Exit with an asynchronous request outstanding: the request finishes
// before the process goes, and the exit is clean.
TEST(MpiLess, ExitWithAnAsynchronousRequestOutstanding) {
  QOR_REQUIRE_A_GPU_EACH();
  static const worker w = mpiless_start();
  static const size_t count = 1 << 20;
  static void* buffer;  // read by the check at exit
  const std::vector<float> mine = input<float>(w.me, count);
  qor_malloc(&buffer, 4, count * sizeof(float));
  qor_memcpy_host_to_device(buffer, mine.data(), count * sizeof(float));
  qor_memsync();
  // Registered before the first asynchronous call, so it runs after the
  // library's own exit handler: the exit status tells the result.
  std::atexit([] {
    if (__atomic_load_n(&qor_ctrl, __ATOMIC_SEQ_CST) != 0) {
      std::fprintf(stderr, "at exit: the request is still outstanding\n");
      _exit(4);
    }
    std::vector<float> got(count);
    qor_memcpy_device_to_host(got.data(), buffer, count * sizeof(float));
    qor_memsync();
    const std::string miss = qor_test::mismatch(got, 0, count, [](size_t i) { return sum_of(false, w.n, i); });
    std::fprintf(stderr, "at exit: %s\n", miss.empty() ? "the sum is complete" : miss.c_str());
    _exit(miss.empty() ? 0 : 3);
  });
  ASSERT_EQ(qor_allreduce_async(buffer, count, QOR_FLOAT, QOR_SUM), QOR_SUCCESS);
  std::exit(0);
}

// MPI + NCCL mode with MPI started by the library, or by the application
// before qor_init.
void mpi_nccl_run(bool application_mpi) {
  QOR_REQUIRE_A_GPU_EACH();
  if (application_mpi) MPI_Init(nullptr, nullptr);
  ASSERT_EQ(qor_init(""), QOR_SUCCESS);
  ASSERT_EQ(qor_init(""), QOR_SUCCESS) << "a second start replaces the first (finalize_all counts leaks)";
  int me = -1, n = 0, local_rank = -1, local_size = 0, device = -1;
  double e2e = 0, jitter = 0, bandwidth = -1;
  ASSERT_EQ(qor_rank(&me) + qor_size(&n) + qor_local_rank(&local_rank) + qor_local_size(&local_size), 0);
  // All processes of a test job run on this host.
  EXPECT_EQ(std::make_tuple(me, n, local_rank, local_size),
            std::make_tuple(qor_test::world_rank(), qor_test::world_size(), me, n));
  qor_get_key_value(QOR_KEY_E2E, &e2e);
  qor_get_key_value(QOR_KEY_JITTER, &jitter);
  qor_get_key_value(QOR_KEY_BW_DIM3, &bandwidth);
  qor_get_key_value(QOR_KEY_DEVICE, &device);
  EXPECT_EQ(std::make_tuple(e2e, jitter, bandwidth, device),
            std::make_tuple(-1.0, -1.0, 0.0, local_rank % qor_test::device_count()));
  EXPECT_EQ(allreduce_table(me, n), "");
  {
    // The gradient may still be being written on a stream of the caller's.
    cudaStream_t caller = nullptr;
    cudaStreamCreateWithFlags(&caller, cudaStreamNonBlocking);
    lib_buffer<float> gradient(std::vector<float>(3, 1.0f));
    cudaMemsetAsync(gradient.ptr, 0, 3 * sizeof(float), caller);
    EXPECT_EQ(qor_allreduce(gradient.ptr, 3, QOR_FLOAT, QOR_SUM), QOR_SUCCESS);
    EXPECT_EQ(gradient.read(), std::vector<float>(3, 0.0f));
    EXPECT_EQ(qor_allreduce_async(gradient.ptr, 3, QOR_BYTE, QOR_SUM), QOR_SUCCESS);
    EXPECT_EQ(qor_wait(), QOR_FAILURE) << "the request failed on the worker";
    EXPECT_EQ(qor_wait(), QOR_SUCCESS) << "reported once";
    cudaStreamDestroy(caller);
  }
  EXPECT_EQ(allreduce_table(me, n, true), "") << "asynchronous";
  {
    // A second request before qor_wait waits for the first one's hand-over.
    lib_buffer<float> first(input<float>(me, 1001)), second(input<float>(me, 1001));
    EXPECT_EQ(qor_allreduce_async(first.ptr, 1001, QOR_FLOAT, QOR_SUM), QOR_SUCCESS);
    EXPECT_EQ(qor_allreduce_async(second.ptr, 1001, QOR_FLOAT, QOR_SUM), QOR_SUCCESS);
    EXPECT_EQ(qor_wait(), QOR_SUCCESS);
    for (const lib_buffer<float>* b : {&first, &second})
      EXPECT_EQ(qor_test::mismatch(b->read(), 0, 1001, [&](size_t i) { return sum_of(false, n, i); }), "");
  }
  qor_get_key_value(QOR_KEY_E2E, &e2e);
  EXPECT_TRUE(e2e >= 0.0 && e2e < 60.0) << e2e << " is no duration: a clock reading?";
  {
    qor_test::stderr_capture capture;
    EXPECT_EQ(qor_get_key_value(static_cast<QOR_Key>(-1), &e2e), QOR_FAILURE);
    EXPECT_EQ(capture.take(), " undefined QOR_Key (-1)");
  }
  {
    lib_buffer<float> buf(input<float>(me, 10));
    EXPECT_EQ(qor_allreduce(buf.ptr, 10, QOR_BYTE, QOR_SUM), QOR_FAILURE);
    EXPECT_EQ(qor_bcast(buf.ptr, -1, QOR_FLOAT, 0), QOR_FAILURE);
    EXPECT_EQ(buf.read(), input<float>(me, 10)) << "an invalid type or count touches nothing";
    EXPECT_EQ(qor_allreduce_mpi("", buf.ptr, 10, MPI_FLOAT, MPI_SUM, MPI_COMM_WORLD), 0);
    EXPECT_EQ(qor_test::mismatch(buf.read(), 0, 10, [&](size_t i) { return sum_of(false, n, i); }), "");
    qor_test::stderr_capture quiet;
    for (auto [type, op, comm] : {std::make_tuple(MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD),
                                   std::make_tuple(MPI_FLOAT, MPI_SUM, MPI_COMM_SELF)})
      EXPECT_EQ(qor_allreduce_mpi("", buf.ptr, 10, type, op, comm), 1);
  }
  for (int root = 0; root < n; ++root) {
    for (auto [type, count] : {std::make_pair(QOR_HALF, 7), std::make_pair(QOR_BYTE, 14)}) {
      lib_buffer<__half> h(std::vector<__half>(7, __float2half(me + 1.0f)));
      EXPECT_EQ(qor_bcast(h.ptr, count, type, root), QOR_SUCCESS);
      EXPECT_EQ(__half2float(h.read()[6]), root + 1.0f) << "type " << type;
    }
  }
  EXPECT_TRUE(finalize_all()) << "qor_finalize shuts MPI down, whoever started it";
}

TEST(MpiNccl, WholeRunWithMpiStartedByTheLibrary) { mpi_nccl_run(false); }
TEST(MpiNccl, WholeRunWithMpiStartedByTheApplication) { mpi_nccl_run(true); }

// Legacy engine mode: the hardware layer over the world, the helpers in its
// memory (plain host memory in host-CPU mode).
void legacy_run(bool gpu, bool application_mpi) {
  if (gpu) QOR_REQUIRE_A_GPU_EACH();
  if (application_mpi) MPI_Init(nullptr, nullptr);
  ASSERT_EQ(qor_init(gpu ? "-qor_legacy_allreduce 1 -mode b" : "-qor_legacy_allreduce 1 -cpu_only 1"), QOR_SUCCESS);
  int me = -1, n = 0, device = -2;
  qor_rank(&me), qor_size(&n), qor_get_key_value(QOR_KEY_DEVICE, &device);
  EXPECT_EQ(device, gpu ? qor_test::world_rank() % qor_test::device_count() : -1);
  // Bandwidth keys 2 to 5 read dimensions 0 to 3 of the recorded transfers.
  global_stat_h->add_xact('r', 0.0, 1, 1.0, 1.0, 0.0, 1e9, 1e9, ' ');
  double bandwidth[2] = {-1.0, -1.0};
  qor_get_key_value(QOR_KEY_BW_DIM0, &bandwidth[0]), qor_get_key_value(QOR_KEY_BW_DIM1, &bandwidth[1]);
  EXPECT_EQ(std::vector<double>(bandwidth, bandwidth + 2), (std::vector<double>{0.0, 1.0}));
  // One stream per peer: the copies are cut in one piece per stream.
  if (gpu) global_hw_h->enable_nccl(false);
  {
    // One buffer scattered into pieces of another, a byte apart, and gathered back.
    std::vector<size_t> sizes = {3, 0, 1000, 18};
    std::vector<char> all(1021), spread(1025, 0);
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<char>(i * 7 + me);
    lib_buffer<char> packed(all), pieces(spread), back(std::vector<char>(all.size(), 0));
    std::vector<char*> at;
    for (size_t p = 0, offset = 0; p < sizes.size(); offset += sizes[p++]) {
      at.push_back(static_cast<char*>(pieces.ptr) + offset + p);
      std::copy(all.begin() + offset, all.begin() + offset + sizes[p], spread.begin() + offset + p);
    }
    EXPECT_EQ(qor_memcpy_scatter(at.data(), sizes.data(), sizes.size(), static_cast<char*>(packed.ptr)), 0);
    EXPECT_EQ(pieces.read(), spread);
    EXPECT_EQ(qor_memcpy_gather(static_cast<char*>(back.ptr), at.data(), sizes.data(), sizes.size()), 0);
    EXPECT_EQ(back.read(), all);
    // Host memory goes to MPI as it is; device memory, staged.
    std::vector<float> root(5, me + 1.0f);
    lib_buffer<float> device_root(root);
    EXPECT_EQ(qor_bcast(root.data(), 5, QOR_FLOAT, n - 1), QOR_SUCCESS);
    EXPECT_EQ(qor_bcast(device_root.ptr, 5, QOR_FLOAT, n - 1), QOR_SUCCESS);
    EXPECT_EQ(root, std::vector<float>(5, n * 1.0f));
    EXPECT_EQ(device_root.read(), root);
    std::vector<__half> halves(3, __float2half(me + 1.0f));
    EXPECT_EQ(qor_bcast(halves.data(), 3, QOR_HALF, n - 1), QOR_SUCCESS);
    EXPECT_EQ(__half2float(halves[2]), n * 1.0f) << "every byte of the last half";
  }
  finalize_all();
}

// A repeated start keeps the first start's hardware layer (and drops the cached
// layers): rebuilt from options and `more`, or their refusal (status 0: rebuilt).
QORException restart(const std::string& options, const std::string& more) {
  EXPECT_EQ(qor_init(options.c_str()), QOR_SUCCESS);
  return qor_test::replace_hw(global_hw_h, options + " " + more);
}

// The engine end to end, one kind of cached layer after the other: plain,
// pipelined, pipelining below its threshold, packed, packed and pipelined,
// compressed; changing sizes, sums and averages, synchronous and
// asynchronous calls.  A pipelined layer given fusing keeps NCCL on
// dimension 0; with dev_sync 1 a packed layer waits for the caller's writes
// before packing.  Host-CPU mode tunes its algorithms by measurement, has
// no half sum and refuses pipelining and packing.
void legacy_engine_run(bool gpu) {
  if (gpu) QOR_REQUIRE_A_GPU_EACH();
  const std::string options = gpu ? "-qor_legacy_allreduce 1 -mode b" : "-qor_legacy_allreduce 1 -cpu_only 1 -mode p";
  ASSERT_EQ(qor_init(options.c_str()), QOR_SUCCESS);
  int me = -1, n = 0;
  qor_rank(&me), qor_size(&n);
  // The layer's options, the kinds of float and half layer made.
  for (const auto& [more, float_type, half_type] : std::vector<std::tuple<std::string, int, int>>{
           {"", 0, 1}, {"-pipe 3", 2, 3}, {"-pipe 3 -pipe_thold 1073741824", 0, 1}, {"-pack 1", 1, -1},
           {"-pack 1 -pipe 3", 3, -1}, {"-pipe 2 -mode n -fuse_dim 1", 2, 3}, {"-pack 1 -pipe 3 -dev_sync 1", 3, -1},
           {"-pack 1 -dev_sync 1", 1, -1}, {"-comp_min_size 0", 0, 1}, {"-mode s", 0, 1}, {"-mode s -shm_pool 0", 0, 1}}) {
    // On GPUs the letter s is the ring (the selection tests check that).
    if (gpu && more.find("-mode s") != std::string::npos) continue;
    const bool pipelined = more.find("-pipe ") != std::string::npos, packed = more.find("-pack") != std::string::npos;
    const QORException refusal = restart(options, more);
    EXPECT_EQ(refusal.id, !gpu && (pipelined || packed) ? 12 : 0) << more;
    if (refusal.id) continue;
    // Host-CPU mode hands out the shared pool, which the SHM algorithm
    // reads where it lies, unless the pool is off.
    {
      lib_buffer<float> probe(std::vector<float>(5, 1.0f));
      const bool pooled = global_hw_h->_shm_pool && global_hw_h->_shm_pool->holds(probe.ptr, 5 * sizeof(float));
      EXPECT_EQ(pooled, !gpu && more.find("-shm_pool 0") == std::string::npos) << more;
    }
    EXPECT_EQ(allreduce_table(me, n, !pipelined, packed, more.find("-dev_sync") == std::string::npos), "") << more;
    EXPECT_EQ(global_sw_float_h.type, float_type);
    lib_buffer<__half> halves(std::vector<__half>(10, __float2half(1.0f)));
    qor_test::stderr_capture capture;
    const QOR_Status half = qor_allreduce(halves.ptr, 10, QOR_HALF, QOR_SUM);
    const std::string log = capture.take();
    const bool refused = !gpu || half_type < 0;
    EXPECT_EQ(half, refused ? QOR_FAILURE : QOR_SUCCESS);
    EXPECT_EQ(__half2float(halves.read()[9]), refused ? 1.0f : n) << "a refused half buffer is left alone";
    if (!refused) {
      EXPECT_EQ(global_sw_half_h.type, half_type);
    }
    // The host has no half sum; a packed layer's memory holds no further halves.
    const std::string why = gpu ? " QOR_SW cannot be compressed further\n" : "[ERROR QOR-1-18] ";
    EXPECT_EQ(refused && log.find(why) != std::string::npos, refused) << log;
  }
  qor_test::stderr_capture quiet;
  // Half buffers on the host are refused whatever the algorithms, one
  // process, which needs no sum, included.
  ASSERT_EQ(restart(options, "-mode r").id, 0);
  {
    lib_buffer<__half> halves(std::vector<__half>(3, __float2half(1.0f)));
    EXPECT_EQ(qor_allreduce(halves.ptr, 3, QOR_HALF, QOR_SUM), gpu ? QOR_SUCCESS : QOR_FAILURE);
  }
  // A layer whose selection failed is not kept: every call selects again.
  ASSERT_EQ(restart(options, "-mode x").id, 0);
  {
    lib_buffer<float> one(std::vector<float>(4, 1.0f));
    for (int call = 0; call < 2; ++call) EXPECT_EQ(qor_allreduce(one.ptr, 4, QOR_FLOAT, QOR_SUM), QOR_FAILURE);
    EXPECT_EQ(global_sw_float_h.handle, nullptr);
  }
  // Refused calls leave the caller's buffer as it was: a packed one gets its
  // floats back (rounded to half, which these are exactly), not the packed
  // halves; a half one is refused before dimension 0 sums into it when a
  // later dimension has no half sum.
  const std::string grid = n >= 4 && n % 2 == 0 ? "2x" + std::to_string(n / 2) : "";
  for (const auto& [more, type] : std::vector<std::pair<std::string, QOR_Type>>{
           {"-mode r -pack 1 -pipe 2", QOR_FLOAT}, {"-mode nm:" + grid, QOR_HALF}}) {
    if (!gpu || (type == QOR_HALF && grid.empty())) continue;  // needs a GPU each; two dimensions of 2 or more
    ASSERT_EQ(restart(options, more).id, 0);
    std::vector<float> input(1000);
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<float>(i % 97) - 48.0f;
    lib_buffer<float> floats(input);
    std::vector<__half> halves_in(input.size());
    for (size_t i = 0; i < input.size(); ++i) halves_in[i] = __float2half(input[i]);
    lib_buffer<__half> halves(halves_in);
    void* buf = type == QOR_FLOAT ? static_cast<void*>(floats.ptr) : static_cast<void*>(halves.ptr);
    EXPECT_EQ(qor_allreduce(buf, input.size(), type, QOR_SUM), QOR_FAILURE) << more;
    EXPECT_EQ(floats.read(), input) << more;
    EXPECT_EQ(std::memcmp(halves.read().data(), halves_in.data(), input.size() * sizeof(__half)), 0) << more;
  }
  EXPECT_EQ(qor_allreduce(nullptr, size_t{1} << 31, QOR_FLOAT, QOR_SUM), QOR_FAILURE) << "more elements than an int counts";
  EXPECT_NE(quiet.take().find("elements in one call; the engine takes at most 2147483647"), std::string::npos);
  finalize_all();
}

TEST(Legacy, HostMode) { legacy_run(false, false); }
TEST(Legacy, GpuModeWithMpiStartedByTheApplication) { legacy_run(true, true); }
TEST(LegacyEngine, OnTheHost) { legacy_engine_run(false); }
TEST(LegacyEngine, OnGpus) { legacy_engine_run(true); }

// Compression around every kind of float layer; test_interface_comp runs it
// with a compressor that hands back an array of its own (comp_double.cpp).
TEST(LegacyEngine, CompressedLayers) {
  QOR_REQUIRE_A_GPU_EACH();
  int me = -1, n = 0;
  for (int pack : {0, 1}) {
    for (int pipe : {1, 3}) {
      const std::string more = "-comp_min_size 0 -pack " + std::to_string(pack) + " -pipe " + std::to_string(pipe);
      ASSERT_EQ(restart("-qor_legacy_allreduce 1 -mode b", more).id, 0);
      qor_rank(&me), qor_size(&n);
      EXPECT_EQ(allreduce_table(me, n, false, pack > 0), "") << more;
      EXPECT_EQ(global_sw_float_h.type, pack + (pipe > 1 ? 2 : 0));
    }
  }
  finalize_all();
}
