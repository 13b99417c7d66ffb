// The collective engine over real processes: partitions and schedules, the
// ring and recursive traversals on every grid, the element-wise folds, the
// working buffers, dumps, bounded waits and jitter.  GPU-mode cases run on
// the emulation, or on a GPU with an MPI that takes device memory.
//
// The program is linked with --wrap for MPI_Irecv, MPI_Isend, MPI_Wait and
// MPI_Test: the wrappers count calls, can make one fail (after doing the real
// work, so no message is left unmatched) and can run a hook at the next
// MPI_Wait, so that a message is sent only once a bounded wait gave up.
#include <gtest/gtest.h>
#include <mpi.h>
#include <sys/prctl.h>
#include <csignal>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "qor_exception.h"
#include "qor_algo.h"
#include "qor_sw.h"
#include "qor_test_support.h"
#if QOR_GPU_EMULATED
#include "gpu_emu.h"
#endif

namespace {
struct fault {
  int skip = -1;  // calls to let through before the failing one; -1: none
  bool due() { return skip >= 0 && skip-- == 0; }
};
fault irecv_fault, isend_fault, wait_fault;
long p2p_calls = 0, test_calls = 0, wait_calls = 0;
std::function<void()> before_wait;
}  // namespace

extern "C" {
int __real_MPI_Irecv(void*, int, MPI_Datatype, int, int, MPI_Comm, MPI_Request*);
int __real_MPI_Isend(const void*, int, MPI_Datatype, int, int, MPI_Comm, MPI_Request*);
int __real_MPI_Wait(MPI_Request*, MPI_Status*);
int __real_MPI_Test(MPI_Request*, int*, MPI_Status*);
int __wrap_MPI_Irecv(void* b, int n, MPI_Datatype t, int from, int tag, MPI_Comm c, MPI_Request* r) {
  ++p2p_calls;
  return irecv_fault.due() ? MPI_ERR_OTHER : __real_MPI_Irecv(b, n, t, from, tag, c, r);
}
int __wrap_MPI_Isend(const void* b, int n, MPI_Datatype t, int to, int tag, MPI_Comm c, MPI_Request* r) {
  ++p2p_calls;
  const int code = __real_MPI_Isend(b, n, t, to, tag, c, r);
  return isend_fault.due() ? MPI_ERR_OTHER : code;
}
int __wrap_MPI_Wait(MPI_Request* request, MPI_Status* status) {
  ++wait_calls;
  if (auto hook = std::exchange(before_wait, nullptr)) hook();
  const int code = __real_MPI_Wait(request, status);
  return wait_fault.due() ? MPI_ERR_OTHER : code;
}
// The bounded wait's failures go through its tests of completed requests.
int __wrap_MPI_Test(MPI_Request* request, int* flag, MPI_Status* status) {
  ++test_calls;
  const int code = __real_MPI_Test(request, flag, status);
  return code == MPI_SUCCESS && *flag && wait_fault.due() ? MPI_ERR_OTHER : code;
}
}  // extern "C"

namespace {

using namespace qor::network;
using qor_test::engine_buffer, qor_test::make_hw, qor_test::message_line, qor_test::world_rank, qor_test::world_size;

// One phase of dimension d with algorithm a: the layer's sum (the host's in
// host-CPU mode) for the reduce-scatter, or the allgather.
template <class T, bool DBG = false>
QOR_Status phase(qor_sw<T>& sw, int a, int d, bool rs, qor_stat* stat = nullptr) {
  sw._best_rs_algo[d] = sw._best_ag_algo[d] = a;
  if (!rs) return sw.template allgatherv<DBG>(d, stat);
  return sw._hw->_device >= 0 ? sw.template reduce_scatter<QOR_MDR_SUM, DBG>(d, stat)
                              : sw.template reduce_scatter<QOR_MDR_HOST_SUM, DBG>(d, stat);
}

// Algorithms per phase: every dimension runs rs/ag but the last, which runs
// last_rs/last_ag; MPI in place where the first phase runs MPI.
struct mix {
  const char* name;
  int rs, ag, last_rs, last_ag;
  bool inplace = false;
};
const mix mixes[] = {{"ring", ALG_RING, ALG_RING, ALG_RING, ALG_RING},         {"rcs", ALG_RCS, ALG_RCS, ALG_RCS, ALG_RCS},
                     {"ring_rcs", ALG_RING, ALG_RCS, ALG_RING, ALG_RCS},       {"rcs_ring", ALG_RCS, ALG_RING, ALG_RCS, ALG_RING},
                     {"mpi", ALG_MPI, ALG_MPI, ALG_MPI, ALG_MPI},              {"mpi_rcs", ALG_MPI, ALG_RCS, ALG_MPI, ALG_RCS},
                     {"ring_last_mpia", ALG_RING, ALG_RING, ALG_MPIA, ALG_NOOP}, {"ring_last_nccla", ALG_RING, ALG_RING, ALG_NCCLA, ALG_NOOP},
                     {"ring_ncclr", ALG_RING, ALG_NCCLR, ALG_RING, ALG_NCCLR}, {"ncclr_mpi", ALG_NCCLR, ALG_MPI, ALG_NCCLR, ALG_MPI},
                     {"ncclb", ALG_NCCLB, ALG_NCCLB, ALG_NCCLB, ALG_NCCLB},    {"mpi_inplace", ALG_MPI, ALG_MPI, ALG_MPI, ALG_MPI, true},
                     {"mpi_rcs_inplace", ALG_MPI, ALG_RCS, ALG_MPI, ALG_RCS, true}, {"shm", ALG_SHM, ALG_SHM, ALG_SHM, ALG_SHM},
                     {"shm_ring", ALG_SHM, ALG_RING, ALG_RING, ALG_SHM},      {"mpi_shm", ALG_MPI, ALG_SHM, ALG_SHM, ALG_MPI},
                     {"shm_last_shma", ALG_SHM, ALG_SHM, ALG_SHMA, ALG_NOOP}};

// The rows of dimension d that an algorithm records: kind and tag letters,
// and but for ring steps the bytes sent and received; MPIA and NCCLA count
// their segment twice, NCCLA after an empty separator row (dimension 0's).
// SHM copies the other parts into its slot (the buffer is no pool memory)
// and reads the own part from every peer; SHMA copies the whole segment in
// and reads it from every peer.
std::string rows_of(int a, const qor_dim& D, const qor_rcs& S, const qor_ring& R, size_t elem, bool later_nccla) {
  const size_t segment = static_cast<size_t>(R._net_disp.back());
  const size_t own = D._size > 1 ? static_cast<size_t>(R._net_size[static_cast<size_t>(D._rank)]) : 0;
  std::string rows;
  if (a == ALG_SHM && D._size > 1) {
    rows = "s :" + std::to_string((segment - own) * elem) + "/" + std::to_string(own * (D._size - 1) * elem);
  }
  if (a == ALG_SHMA && D._size > 1) {
    rows = "sa:" + std::to_string(segment * elem) + "/" + std::to_string(segment * (D._size - 1) * elem);
  }
  if (a == ALG_RING) for (int s = 1; s < D._size; ++s) rows += "r ";
  // Recursive steps walk the schedule from its widest group, with its bytes.
  const size_t s = S._my_size.size();
  for (size_t n = 0; a == ALG_RCS && n < s; ++n) {
    rows += "c" + std::to_string(n) + ":" + std::to_string(S._partner_size[s - 1 - n] * elem) + "/" +
            std::to_string(S._my_size[s - 1 - n] * elem);
  }
  const std::string once = std::to_string(segment * elem) + "/" + std::to_string(segment * elem);
  const std::string twice = std::to_string(2 * segment * elem) + "/" + std::to_string(2 * segment * elem);
  const std::map<int, std::string> one = {{ALG_MPI, "m :" + once},   {ALG_MPIA, "ma:" + twice}, {ALG_NCCLR, "n :" + once},
                                          {ALG_NCCLB, "b :" + once}, {ALG_NCCLA, "- :0/0na:" + twice}};
  return (one.count(a) ? one.at(a) : rows) + (later_nccla ? "- :0/0" : "");
}

// Reduce-scatter through the dimensions, allgather back: every element is the
// sum over all processes.  A dimension that cannot run its algorithm (RCS
// without a schedule, NCCL without a device) stops the phase with status 1;
// half sums through MPI are message 18.
template <class T, bool DBG>
void allreduce_case(qor_sw<T>& sw, size_t n, const mix& m) {
  qor_hw& hw = *sw._hw;
  const int dims = static_cast<int>(hw._dim.size());
  engine_buffer<T> buf(hw, n);
  sw.update_buf(buf.ptr, static_cast<int>(n));
  buf.write(qor_test::input<T>(world_rank(), n));
  int expect_rs = 0, expect_ag = 0;
  for (int d = 0; d < dims; ++d) {
    sw._best_rs_algo[d] = d + 1 < dims ? m.rs : m.last_rs;
    sw._best_ag_algo[d] = d + 1 < dims ? m.ag : m.last_ag;
    // As the algorithm table says: what cannot run is status 1, a half
    // sum where there is none message 18.
    auto status_of = [&](int a) {
      if (cannot_run(hw, static_cast<size_t>(d), sw._rcs, a)) return 1;
      return std::is_same<T, __half>::value && !find_algo(a)->sums_half ? 18 : 0;
    };
    if (!expect_rs) expect_rs = status_of(sw._best_rs_algo[d]);
    if (status_of(sw._best_ag_algo[d]) == 1) expect_ag = 1;
  }
  qor_stat stat;
  int rs = 0;
  const qor_test::raised_t r = qor_test::raised([&] {
    rs = hw._device >= 0 ? sw.template reduce_scatter<QOR_MDR_SUM, DBG>(&stat)
                         : sw.template reduce_scatter<QOR_MDR_HOST_SUM, DBG>(&stat);
  });
  if (expect_rs == 18) {
    EXPECT_EQ(std::make_pair(r.error.id, r.error.status), std::make_pair(18, 18)) << r.log;
    return;
  }
  ASSERT_EQ(std::make_pair(r.error.id, rs), std::make_pair(0, expect_rs)) << r.log;
  if (rs) return;
  const auto total = [&](size_t i) { return qor_test::sum_of(std::is_same<T, __half>::value, world_size(), i); };
  // The leaf this process keeps holds the total after the reduce-scatter.
  int leaf = 0;
  for (const qor_dim& D : hw._dim) leaf = leaf * D._size + D._rank;
  const size_t from = sw.get_buf_off(leaf), to = from + sw.get_buf_size(leaf);
  EXPECT_EQ(qor_test::mismatch(buf.read(), from, to, total), "") << "own leaf " << leaf;
  std::string rows;
  for (int i = 0; i < stat._count; ++i) {
    if (stat._dim_id[i] != 0) continue;
    rows += std::string{stat._algo[i], stat._tag[i]};
    if (stat._algo[i] != 'r') rows += ":" + std::to_string(static_cast<long>(stat._send[i])) + "/" + std::to_string(static_cast<long>(stat._recv[i]));
  }
  const bool later_nccla = dims > 1 && sw._best_rs_algo[dims - 1] == ALG_NCCLA;
  EXPECT_EQ(rows, rows_of(sw._best_rs_algo[0], hw._dim[0], sw._rcs[0], sw._rings[0], sizeof(T), later_nccla));
  EXPECT_EQ(sw.template allgatherv<DBG>(nullptr), expect_ag);
  if (!expect_ag) {
    EXPECT_EQ(qor_test::mismatch(buf.read(), 0, n, total), "") << "whole buffer after the allgather";
  }
}

using Decent = ModeTest;

// Every grid (and four dimensions, three of one process) by its -mode text.
std::vector<std::string> grid_texts() {
  std::vector<std::string> texts = {"1x1x1x" + std::to_string(world_size())};
  for (const std::vector<int>& g : qor_test::grids(world_size())) texts.push_back(qor_test::grid_text(g));
  return texts;
}

// Mode, grid, mix, and a length from shorter than one part per process up to blocks
// that travel in pieces (-1: the largest, host blocks of more pieces than are in flight).
using grid_case = std::tuple<qor_test::mode, std::string, mix, int>;

class Engine : public testing::TestWithParam<grid_case> {
 protected:
  static void TearDownTestSuite() { kept_.second.reset(); }
  static inline std::pair<std::string, std::unique_ptr<qor_hw>> kept_;
};

}  // namespace

TEST_P(Engine, AllreduceWithTheMixPerDimensionAndPhase) {
  const auto& [m, grid, a, length] = GetParam();
  if (m.gpu) QOR_REQUIRE_DEVICE();
  const size_t n = length >= 0 ? length : m.gpu ? 40009 : 2500003;
  const std::string options = std::string(m.gpu ? "-cpu_only 0" : "-cpu_only 1") + " -mode r:" + grid + " -mpi_inplace " + (a.inplace ? "1" : "0");
  // One layer per case would multiply the suite's time.
  if (kept_.first != options) kept_.second.reset(), kept_ = {options, make_hw(options)};
  ASSERT_TRUE(kept_.second);
  // One NCCL communicator per peer (NCCLB) where no two processes share a device: NCCL refuses that.
  if (m.gpu && qor_test::device_count() >= world_size()) kept_.second->enable_nccl(true);
  auto run = [&](auto t) {
    qor_sw<decltype(t)> sw(*kept_.second, nullptr, 0, 0);
    sw.enable_rcs();
    a.rs == a.ag ? allreduce_case<decltype(t), false>(sw, n, a) : allreduce_case<decltype(t), true>(sw, n, a);
  };
  m.half ? run(__half{}) : run(float{});
}

std::string case_name(const testing::TestParamInfo<grid_case>& info) {
  const auto& [m, grid, a, n] = info.param;
  return qor_test::mode_name({m, 0}) + "_r" + grid + "_" + a.name + "_" + (n >= 0 ? "n" + std::to_string(n) : "large");
}
INSTANTIATE_TEST_SUITE_P(Modes, Engine,
                         testing::Combine(testing::ValuesIn(qor_test::modes), testing::ValuesIn(grid_texts()),
                                          testing::ValuesIn(mixes), testing::Values(0, 5, 1003, -1)), case_name);

// Own segment plus both ring neighbours' segments, on dimensions of 1, 2, 3
// and 5 processes; large enough that the sends are still in flight while
// the first sum runs.
TEST_P(Decent, AddsBothNeighbours) {
  for (int k : {1, 2, 3, 5}) {
    if (k > world_size()) continue;
    MPI_Comm sub;
    MPI_Comm_split(MPI_COMM_WORLD, world_rank() / k, world_rank(), &sub);
    const int me = world_rank() % k;
    if (world_rank() - me + k <= world_size()) {  // in a whole group of k
      auto hw = layer("", sub);
      by_type([&](auto t) {
        using T = decltype(t);
        const size_t n = 300007;
        engine_buffer<T> buf(*hw, n);
        buf.write(qor_test::input<T>(me, n));
        qor_sw<T> sw(*hw, buf.ptr, static_cast<int>(n), 0);
        for (bool dbg : {false, true}) {
          if (dbg) buf.write(qor_test::input<T>(me, n));
          qor_stat stat;
          EXPECT_EQ((dbg ? phase<T, true>(sw, ALG_DECENT, 0, true, &stat) : phase<T>(sw, ALG_DECENT, 0, true, &stat)), 0);
          const bool half = std::is_same<T, __half>::value;
          EXPECT_EQ(qor_test::mismatch(buf.read(), 0, n, [&](size_t i) {
            return qor_test::value_of(half, me, i) + qor_test::value_of(half, (me + 1) % k, i) + qor_test::value_of(half, (me + k - 1) % k, i);
          }), "") << k << " processes";
          EXPECT_EQ(std::make_tuple(stat._count, stat._algo[0], stat._send[0]), std::make_tuple(1, 'd', 2.0 * n * sizeof(T)));
        }
      });
    }
    MPI_Comm_free(&sub);
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, Decent, testing::ValuesIn(qor_test::modes), qor_test::mode_name);

TEST(Partition, WorkedExampleOfTwoByTwo) {
  if (world_size() % 4) GTEST_SKIP() << "a 2x2 grid takes the processes four at a time";
  MPI_Comm four;
  MPI_Comm_split(MPI_COMM_WORLD, world_rank() / 4, world_rank(), &four);
  auto hw = make_hw("-cpu_only 1 -mode r:2x2 -align_part 64", four);
  MPI_Comm_free(&four);  // the layer works on a copy
  std::vector<float> buf(1000);
  qor_sw<float> sw(*hw, buf.data(), 1000, 0);
  EXPECT_EQ(sw._part_off, (std::vector<int>{0, 192, 448, 704, 1000}));
  EXPECT_EQ(sw._rings[0]._net_size, (std::vector<int>{448, 552}));
  const bool upper = world_rank() % 4 >= 2;
  EXPECT_EQ(sw._rings[1]._net_off, upper ? 448 : 0);
  EXPECT_EQ(sw._rings[1]._net_size, upper ? (std::vector<int>{256, 296}) : (std::vector<int>{192, 256}));
  EXPECT_EQ(sw._rings[1]._net_disp, upper ? (std::vector<int>{0, 256, 552}) : (std::vector<int>{0, 192, 448}));
  qor_hw::_align_part = 8;
}

TEST(Partition, ShortLastPartIsMessageFifteenAtDebugLevelTwo) {
  auto hw = make_hw("-cpu_only 1 -dbg_level 2");
  if (world_size() < 2) GTEST_SKIP() << "one part cannot be shorter than another";
  const int P = world_size();
  qor_sw<float> sw(*hw, nullptr, 0, 0);
  for (int j = 0; j <= P; ++j) sw._part_off[j] = j < P ? 8 * j : 8 * (P - 1) + 4;
  qor_test::stderr_capture capture;
  EXPECT_THROW(sw.enable_ring(), QORException);
  const std::string log = capture.take();
  EXPECT_NE(log.find(message_line(15, "[MPI: " + std::to_string(world_rank()) + "] Invalid partitioning.\n")),
            std::string::npos) << log;
  const auto lines = qor_test::traces(log);
  ASSERT_EQ(lines.size(), static_cast<size_t>(P)) << log;
  EXPECT_EQ(std::make_tuple(lines.back().line, lines.back().text),
            std::make_tuple(39, "_net_size[" + std::to_string(P - 1) + "]=4"));
}

// The scratch buffer grows with headroom; a refused size changes nothing.  The
// residue starts at zero and keeps its prefix when the buffer grows, as the
// engine's own stream sees it in GPU mode (skipped without a GPU).
TEST(Buffers, RebindResidueAndScratch) {
  {
    auto hw = make_hw("-cpu_only 1");
    std::vector<float> c(150);
    qor_sw<float> sw(*hw, c.data(), 150, 0);
    float* scratch = sw.get_temp_buf(10);
    EXPECT_EQ(sw.get_temp_buf(11), scratch) << "10 % headroom";
    sw.get_temp_buf(12);
    EXPECT_GE(sw._temp_buf_size, 12u);
    qor_test::stderr_capture capture;
    EXPECT_THROW(sw.update_buf(c.data(), -1), QORException);
    EXPECT_EQ(qor_test::trace_summary(capture.take()).front(), "E:" + std::to_string(world_rank()) + ":invalid buffer size -1");
    EXPECT_EQ(sw._buf_size, 150);
  }
  for (bool gpu : {false, true}) {
    if (gpu) QOR_REQUIRE_DEVICE();
    auto hw = make_hw(gpu ? "-cpu_only 0" : "-cpu_only 1");
    engine_buffer<float> a(*hw, 100), b(*hw, 100), c(*hw, 150), first(*hw, 150), second(*hw, 150);
    // Zeroed ahead: the synchronisation of a write must not stand in for the
    // library's own.
    first.write(std::vector<float>(150, 0.0f)), second.write(std::vector<float>(150, 0.0f));
    qor_sw<float> sw(*hw, a.ptr, 100, 0);
    sw.update_buf(b.ptr, 100);
    EXPECT_EQ(sw._buf_base, b.ptr) << "a buffer of the same size is rebound";
    // Not the stream of the cuBLAS handle: the float sum must wait for its own.
    cudaStream_t stream = nullptr;
    if (gpu) cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking);
    // What the engine reads from the residue: it is folded into zeros.
    auto seen = [&](engine_buffer<float>& folded, size_t n) {
      gpu ? sw.reduce_op<QOR_MDR_SUM>(stream, static_cast<int>(n), sw._residue, folded.ptr, 0)
          : sw.reduce_op<QOR_MDR_HOST_SUM>(stream, static_cast<int>(n), sw._residue, folded.ptr, 0);
      const std::vector<float> all = folded.read();
      return std::vector<float>(all.begin(), all.begin() + n);
    };
    sw.get_residue();
    EXPECT_EQ(seen(first, 100), std::vector<float>(100, 0.0f));
    std::vector<float> want(150, 0.0f);
    for (int i = 0; i < 100; ++i) want[i] = i + 1.0f;
    engine_buffer<float>::put(*hw, sw._residue, std::vector<float>(want.begin(), want.begin() + 100));
    sw.update_buf(c.ptr, 150);
    EXPECT_EQ(seen(second, 150), want) << "the accumulated prefix carries over";
    if (gpu) cudaStreamDestroy(stream);
  }
}

// A block above 64 MiB travels in as many pieces as there are request
// slots, 64: one ring step of two processes, its sends and receives counted.
TEST(Buffers, BlockAboveTheCapTravelsInSixtyFourPieces) {
  if (world_size() != 2) GTEST_SKIP() << "one ring step of two processes";
  auto hw = make_hw("-cpu_only 1");
  const size_t n = 2 * ((size_t{1} << 24) + 8);  // two blocks of 64 MiB + 32 bytes
  std::vector<float> buf = qor_test::input<float>(world_rank(), n);
  qor_sw<float> sw(*hw, buf.data(), static_cast<int>(n), 0);
  ASSERT_EQ(sw._rings[0]._net_size, (std::vector<int>{(1 << 24) + 8, (1 << 24) + 8}));
  p2p_calls = 0;
  EXPECT_EQ(phase(sw, ALG_RING, 0, true), QOR_SUCCESS);
  EXPECT_EQ(p2p_calls, 2 * 64);
  const size_t own = world_rank() * n / 2;
  EXPECT_EQ(qor_test::mismatch(buf, own, own + n / 2, [](size_t i) { return qor_test::sum_of(false, 2, i); }), "");
}

TEST(Dumps, GradientFiles) {
  const std::string dir = "/tmp/qor_dump_" + std::to_string(getppid());
  auto hw = make_hw("-cpu_only 1 -dump_grad_path " + dir + "_missing/g");
  std::vector<float> grad = qor_test::input<float>(world_rank(), 77);
  qor_sw<float> sw(*hw, grad.data(), 77, 0);
  const std::string me = std::to_string(world_rank());
  qor_test::stderr_capture capture;
  sw.dump_grad(3, "b");
  hw->_dump_grad_path = dir + ".g";
  sw.dump_grad(5, "fw");
  const auto lines = qor_test::traces(capture.take());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(std::make_tuple(lines[0].severity, lines[0].line, lines[0].text),
            std::make_tuple('W', 304, "cannot fopen " + dir + "_missing/g.3.b." + me));
  const std::string file = dir + ".g.5.fw." + me;
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(file.c_str());
  EXPECT_EQ(bytes, std::string(reinterpret_cast<const char*>(grad.data()), grad.size() * sizeof(float))) << file;
}

// The bitwise OR of halves on the host, then on the GPU (skipped without one).
TEST(Folds, BitwiseOrPassAndHalfOnTheHost) {
  const int P = world_size(), me = world_rank();
  {  // Only float has a host sum: a half pass fails before any message moves.
    auto hw = make_hw("-cpu_only 1");
    std::vector<__half> data(16 * P);
    qor_sw<__half> sw(*hw, data.data(), 16 * P, 0);
    sw.enable_rcs();
    for (int a : {ALG_RING, ALG_RCS}) {
      if (P < 2 || (a == ALG_RCS && sw._rcs[0]._my_size.empty())) continue;  // no pass, or no schedule
      p2p_calls = 0;
      qor_test::stderr_capture capture;
      EXPECT_THROW(phase(sw, a, 0, true), QORException);
      EXPECT_EQ(capture.take(), message_line(18, "[MPI: " + std::to_string(me) +
                                                     "] Mode 'm' does not currently support half-precision floating point."));
      EXPECT_EQ(p2p_calls, 0);
    }
  }
  for (bool gpu : {false, true}) {
    if (gpu) QOR_REQUIRE_DEVICE();
    auto hw = make_hw(gpu ? "-cpu_only 0" : "-cpu_only 1");
    engine_buffer<__half> buf(*hw, 64 * P);
    std::vector<__half> bits(64 * P);
    for (size_t i = 0; i < bits.size(); ++i) bits[i] = __ushort_as_half(static_cast<unsigned short>(1 << me | 1 | i << 8));
    buf.write(bits);
    qor_sw<__half> sw(*hw, buf.ptr, 64 * P, 0);
    sw._best_rs_algo[0] = ALG_MPI;  // OR has no MPI form: the ring runs
    sw.reduce_scatter<QOR_MDR_BOR, false>(0, nullptr);
    const std::vector<__half> got = buf.read();
    const int own = sw._rings[0]._net_disp[me];
    for (int i = own; i < own + sw._rings[0]._net_size[me]; ++i)
      ASSERT_EQ(__half_as_ushort(got[i]), static_cast<unsigned short>(((1 << P) - 1) | 1 | i << 8)) << i;
#if QOR_GPU_EMULATED
    // A kernel that cannot start is message 2, not a block left unreduced.
    for (int op = 0; op < 2 * gpu; ++op) {
      qoremu_inject_failure("cudaLaunchKernel", 0, cudaErrorLaunchOutOfResources);
      const qor_test::raised_t r = qor_test::raised([&] {
        op ? sw.reduce_op<QOR_MDR_SUM>(hw->_streams[0], 4, buf.ptr, buf.ptr, 0)
           : sw.reduce_op<QOR_MDR_BOR>(hw->_streams[0], 4, buf.ptr, buf.ptr, 0);
      });
      EXPECT_EQ(std::make_pair(r.error.id, r.error.status), std::make_pair(2, 6)) << r.log;
    }
#endif
  }
}

// A request nobody answers while the wait polls: one "F" line after 100000
// polls, then the request still completes before the call returns, so the
// late message lands while its buffer is still the caller's.
TEST(Waits, StuckRequestWritesOneTimeoutLineThenCompletes) {
  if (world_size() > 3) GTEST_SKIP() << "the wait is the same with more processes, and slower on shared cores";
  const int saved_slack = prctl(PR_GET_TIMERSLACK);
  prctl(PR_SET_TIMERSLACK, 1UL);  // short sleeps keep 100000 polls brief
  const int me = world_rank(), P = world_size();
  auto hw = make_hw("-cpu_only 1");
  qor_sw<float> sw(*hw, nullptr, 0, 0);
  std::vector<int> in(257, -1), out(257);
  for (int i = 0; i < 257; ++i) out[i] = me * 1000 + i;
  MPI_Request request, send_request;
  __real_MPI_Irecv(in.data(), 257, MPI_INT, (me + P - 1) % P, 99, hw->_comm, &request);
  before_wait = [&] {
    MPI_Barrier(hw->_comm);  // every process has stopped polling
    __real_MPI_Isend(out.data(), 257, MPI_INT, (me + 1) % P, 99, hw->_comm, &send_request);
  };
  test_calls = wait_calls = 0;
  qor_test::stderr_capture capture;
  sw.MPI_Wait_Timeout(40 + me, &request);
  const std::string log = capture.take();
  __real_MPI_Wait(&send_request, MPI_STATUS_IGNORE);
  prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved_slack));
  EXPECT_EQ(std::make_pair(test_calls, wait_calls), std::make_pair(100000L, 1L));
  EXPECT_NE(log.find("QOR:869 ] [MPI:  " + std::to_string(40 + me) + "] TIMEOUT\n"), std::string::npos) << log;
  EXPECT_EQ(qor_test::trace_summary(log), std::vector<std::string>{"F:" + std::to_string(40 + me) + ":TIMEOUT"});
  EXPECT_EQ(in[256], ((me + P - 1) % P) * 1000 + 256);
}

// Every process makes the same call fail, so all stop at the same point: the
// failure is its message, raised at the fixed line of the failing call.
TEST(Failures, EachFailingCallIsReportedAtItsLine) {
  if (world_size() < 2) GTEST_SKIP() << "one process sends nothing";
  struct failure_case {
    int a;
    bool rs, dbg;
    fault* f;
    int skip, line;
  } cases[] = {{ALG_RING, true, false, &irecv_fault, 0, 935}, {ALG_RING, false, false, &isend_fault, 0, 936},
               {ALG_RING, true, false, &wait_fault, 0, 944},  {ALG_RING, true, false, &wait_fault, 1, 961},
               {ALG_RING, false, true, &wait_fault, 0, 865},  {ALG_RCS, true, false, &irecv_fault, 0, 828},
               {ALG_RCS, false, false, &isend_fault, 0, 829}, {ALG_RCS, true, false, &wait_fault, 0, 835},
               {ALG_RCS, false, false, &wait_fault, 1, 852},  {ALG_RCS, true, true, &wait_fault, 1, 865}};
  // Layers of failed passes live until every process is past them: an
  // abandoned request may still be written into.
  std::vector<std::shared_ptr<void>> kept;
  for (const failure_case& c : cases) {
    auto hw = std::shared_ptr<qor_hw>(make_hw("-cpu_only 1"));
    auto data = std::make_shared<std::vector<float>>(1003, 1.0f);
    auto sw = std::make_shared<qor_sw<float>>(*hw, data->data(), 1003, 0);
    kept.insert(kept.end(), {hw, data, sw});
    sw->enable_rcs();
    if (c.a == ALG_RCS && sw->_rcs[0]._my_size.empty()) continue;  // RCS has no schedule here
    c.f->skip = c.skip;
    const qor_test::raised_t r = qor_test::raised([&] {
      c.dbg ? phase<float, true>(*sw, c.a, 0, c.rs) : phase<float>(*sw, c.a, 0, c.rs);
    });
    EXPECT_EQ(std::make_tuple(r.error.line, r.error.status, r.error.id), std::make_tuple(c.line, 6, 5));
    irecv_fault = isend_fault = wait_fault = fault{};
  }
  MPI_Barrier(MPI_COMM_WORLD);
  while (!kept.empty()) kept.pop_back();  // layers before their hardware layer
}

// An algorithm value that selection never stores stops the process at the
// line log readers know.
TEST(Failures, UnknownAlgorithmIsAnAssertionAtItsLine) {
  auto hw = make_hw("-cpu_only 1");
  std::vector<float> data(64, 1.0f);
  qor_sw<float> sw(*hw, data.data(), 64, 0);
  for (int line : {1366, 1407}) {
    const qor_test::child_result c = qor_test::run_child([&] {
      sw._best_rs_algo[0] = sw._best_ag_algo[0] = 6;
      line == 1366 ? sw.reduce_scatter<QOR_MDR_HOST_SUM, false>(0, nullptr) : sw.allgatherv<false>(0, nullptr);
      return 0;
    });
    EXPECT_EQ(c.status, -SIGABRT);
    EXPECT_TRUE(qor_test::matches(c.log, ".*qor_sw_phases.cpp:" + std::to_string(line) + ": .*Assertion `false' failed.*")) << c.log;
  }
}

// The last process to reach the barrier waits least: it is the straggler
// when the slowest wait passes the threshold; its score rises by 1 and
// decays by 0.5 per quiet measurement.
TEST(Jitter, TheLastToArriveIsTheStraggler) {
  const int P = world_size(), me = world_rank();
  if (P < 2) GTEST_SKIP() << "one process is never late";
  auto hw = make_hw("-cpu_only 1 -dbg_level 1 -jitter_thold 0.001");
  qor_sw<float> sw(*hw, nullptr, 0, 0);
  qor_stat stat;
  const bool last = me == P - 1;
  if (last) usleep(50000);
  qor_test::stderr_capture capture;
  const bool straggler = sw.measure_jitter<false>(&stat);
  const std::vector<std::string> lines = qor_test::trace_summary(capture.take());
  EXPECT_EQ(std::make_tuple(straggler, hw->_too_slow, hw->_slow_score), std::make_tuple(last, 1, last ? 1.0 : 0.0));
  EXPECT_GT(stat._jitter, last ? -1.0 : 0.04);
  // The straggler's lines, the second with the score before this measurement.
  const std::string m = std::to_string(me), number = "[0-9]\\.[0-9]{3}e[-+][0-9]{2}";
  std::string log;
  for (const std::string& line : lines) log += line + "\n";
  EXPECT_TRUE(qor_test::matches(log, !last ? "" : "W:" + m + ":MPI_Barrier took " + number +
                                              " !!!TOO SLOW!!! max_jitter=" + number + "\nI:" + m + ":max_jitter=" +
                                              number + " min_jitter=" + number + " : 0\\.000e\\+00\n"))
      << log;
  hw->_jitter_thold = 1000.0;  // quiet whatever the load: the score decays
  qor_test::stderr_capture quiet;
  EXPECT_FALSE(sw.measure_jitter<true>(&stat));
  EXPECT_EQ(std::make_pair(hw->_too_slow, hw->_slow_score), std::make_pair(0, last ? 0.5 : 0.0));
}
