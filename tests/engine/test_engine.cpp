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
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "qor_exception.h"
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
using qor_test::message_line;

int world_rank() { return qor_test::world_rank(); }
int world_size() { return qor_test::world_size(); }

std::unique_ptr<qor_hw> make_hw(const std::string& text, MPI_Comm comm = MPI_COMM_WORLD) {
  qor_test::built b = qor_test::build(text, comm);
  EXPECT_TRUE(b.hw) << b.log;
  return std::move(b.hw);
}

// n elements in the memory the engine works on: the device's in GPU mode.
template <class T>
struct engine_buffer {
  qor_hw& hw;
  size_t n;
  T* ptr = nullptr;
  engine_buffer(qor_hw& h, size_t count) : hw(h), n(count) {
    hw.malloc(reinterpret_cast<void**>(&ptr), (n + 1) * sizeof(T));
  }
  ~engine_buffer() { hw.free(ptr); }
  void write(const std::vector<T>& v) { move(hw, ptr, v.data(), n); }
  std::vector<T> read() {
    std::vector<T> v(n);
    move(hw, v.data(), ptr, n);
    return v;
  }
  static void put(qor_hw& hw, T* to, const std::vector<T>& v) { move(hw, to, v.data(), v.size()); }
  static void move(qor_hw& hw, void* to, const void* from, size_t n) {
    if (n > 0 && hw._device < 0) std::memcpy(to, from, n * sizeof(T));
    if (n > 0 && hw._device >= 0) {
      // A copy from pageable memory may still be queued when cudaMemcpy
      // returns, and the engine's streams do not wait for it.
      EXPECT_EQ(cudaMemcpy(to, from, n * sizeof(T), cudaMemcpyDefault), cudaSuccess);
      EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    }
  }
};

enum class algo { ring, rcs };

// One pass of dimension d with the arguments the engine's driver takes from
// the dimension, its ring and its schedule; OP QOR_MDR_NONE is the allgather.
template <class T, OPR OP, bool DBG>
void pass(qor_sw<T>& sw, algo a, int d, qor_stat* stat = nullptr) {
  qor_dim& D = sw._hw->_dim[d];
  qor_ring& R = sw._rings[d];
  constexpr bool rs = OP != QOR_MDR_NONE;
  cudaStream_t stream = sw._hw->_device >= 0 ? sw._hw->_streams[0] : nullptr;
  T* seg = sw._buf_base + R._net_off;
  if (a == algo::ring) {
    T* tmp = rs ? sw.get_temp_buf(*std::max_element(R._net_size.begin(), R._net_size.end())) : nullptr;
    sw.template ring_traversal<OP, DBG>(stream, d, D._rank, D._size, D._comm, R._next, R._prev,
                                        rs ? R._prev : D._rank, 11 + d, seg, R._net_disp.data(),
                                        R._net_size.data(), tmp, stat);
    return;
  }
  qor_rcs& S = sw._rcs[d];
  const int s = static_cast<int>(S._my_size.size());
  T* tmp = rs && s ? sw.get_temp_buf(S._my_size.back()) : nullptr;
  int* send_off = rs ? S._partner_off.data() : S._my_off.data();
  int* send_cnt = rs ? S._partner_size.data() : S._my_size.data();
  int* recv_off = rs ? S._my_off.data() : S._partner_off.data();
  int* recv_cnt = rs ? S._my_size.data() : S._partner_size.data();
  sw.template recur_traversal<OP, DBG>(stream, d, D._rank, s, D._comm, S._partner_rank.data(), 21 + d,
                                       seg, send_off, send_cnt, recv_off, recv_cnt, tmp, stat);
}

// The reduce-scatter pass of the layer's mode: the GPU sum, or the host sum
// (float only: half layers in host-CPU mode are refused, see below).
template <class T, bool DBG = false>
void reduce_scatter(qor_sw<T>& sw, algo a, int d, qor_stat* stat = nullptr) {
  if (sw._hw->_device >= 0) {
    pass<T, QOR_MDR_SUM, DBG>(sw, a, d, stat);
  } else if constexpr (std::is_same<T, float>::value) {
    pass<T, QOR_MDR_HOST_SUM, DBG>(sw, a, d, stat);
  }
}

// The reduce-scatter or the allgather of dimension 0 of a float layer.
template <bool DBG>
void either_pass(qor_sw<float>& sw, algo a, bool rs) {
  rs ? reduce_scatter<float, DBG>(sw, a, 0) : pass<float, QOR_MDR_NONE, DBG>(sw, a, 0);
}

template <class T, bool DBG>
void allreduce_case(qor_hw& hw, size_t n, algo rs, algo ag) {
  engine_buffer<T> buf(hw, n);
  qor_sw<T> sw(hw, buf.ptr, static_cast<int>(n), 0);
  sw.enable_rcs();
  auto pick = [&](algo a, int d) { return a == algo::rcs && sw._rcs[d]._my_size.size() ? a : algo::ring; };
  buf.write(qor_test::input<T>(world_rank(), n));
  qor_stat stat;
  for (int d = 0; d < static_cast<int>(hw._dim.size()); ++d) reduce_scatter<T, DBG>(sw, pick(rs, d), d, &stat);
  // The leaf this process keeps holds the total after the reduce-scatter.
  int leaf = 0;
  for (const qor_dim& D : hw._dim) leaf = leaf * D._size + D._rank;
  const auto total = [&](size_t i) { return qor_test::sum_of(std::is_same<T, __half>::value, world_size(), i); };
  const size_t from = sw.get_buf_off(leaf), to = from + sw.get_buf_size(leaf);
  EXPECT_EQ(qor_test::mismatch(buf.read(), from, to, total), "") << "own leaf " << leaf;
  // Statistics of dimension 0: one row per step, of its kind, with its bytes.
  const qor_rcs& S = sw._rcs[0];
  const bool rcs = pick(rs, 0) == algo::rcs;
  int rows = 0;
  for (int i = 0; i < stat._count; ++i) {
    if (stat._dim_id[i] != 0) continue;
    EXPECT_EQ(std::make_pair(stat._algo[i], stat._tag[i]), rcs ? std::make_pair('c', static_cast<char>('0' + rows))
                                                               : std::make_pair('r', ' '));
    const size_t k = S._my_size.size() - 1 - rows++;
    if (rcs) {
      EXPECT_EQ(std::make_pair(stat._send[i], stat._recv[i]),
                std::make_pair(S._partner_size[k] * sizeof(T) * 1.0, S._my_size[k] * sizeof(T) * 1.0));
    }
  }
  EXPECT_EQ(rows, rcs ? static_cast<int>(S._my_size.size()) : hw._dim[0]._size - 1);
  for (int d = static_cast<int>(hw._dim.size()) - 1; d >= 0; --d) pass<T, QOR_MDR_NONE, DBG>(sw, pick(ag, d), d);
  EXPECT_EQ(qor_test::mismatch(buf.read(), 0, n, total), "") << "whole buffer after the allgather";
}

struct mode {
  bool gpu, half;
};

class Engine : public testing::TestWithParam<mode> {
 protected:
  void SetUp() override {
    if (!GetParam().gpu) return;
    QOR_REQUIRE_DEVICE();
  }
  std::unique_ptr<qor_hw> layer(const std::string& topology) {
    return make_hw(std::string(GetParam().gpu ? "-cpu_only 0" : "-cpu_only 1") + " -mode r" + topology);
  }
  template <class F>
  void by_type(F body) {
    GetParam().half ? body(__half{}) : body(float{});
  }
};

}  // namespace

// Reduce-scatter through the dimensions in ascending order, allgather back:
// every element is the sum over all processes, for every grid, both
// algorithms in either phase, both waits and lengths shorter than one part
// per process up to blocks that travel in several pieces.
TEST_P(Engine, AllreduceOnEveryGridWithEitherAlgorithmPerPhase) {
  const size_t large = GetParam().gpu ? 40009 : 700001;
  std::vector<std::vector<int>> all = qor_test::grids(world_size());
  all.push_back({1, world_size()});
  for (const std::vector<int>& grid : all) {
    std::string text = ":";
    for (int size : grid) text += std::to_string(size) + "x";
    text.pop_back();
    auto hw = layer(text);
    for (size_t n : {size_t{0}, size_t{5}, size_t{1003}, large}) {
      for (algo rs : {algo::ring, algo::rcs}) {
        for (algo ag : {algo::ring, algo::rcs}) {
          SCOPED_TRACE("grid r" + text + ", " + std::to_string(n) + " elements, algorithms " +
                       std::to_string(static_cast<int>(rs)) + std::to_string(static_cast<int>(ag)));
          by_type([&](auto t) {
            rs == ag ? allreduce_case<decltype(t), false>(*hw, n, rs, ag)
                     : allreduce_case<decltype(t), true>(*hw, n, rs, ag);
          });
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, Engine, testing::Values(mode{false, false}, mode{true, false}, mode{true, true}),
                         [](const testing::TestParamInfo<mode>& info) {
                           return std::string(info.param.gpu ? "gpu_" : "host_") + (info.param.half ? "half" : "float");
                         });

TEST(Partition, WorkedExampleOfTwoByTwo) {
  MPI_Comm four;
  MPI_Comm_split(MPI_COMM_WORLD, world_rank() / 4, world_rank(), &four);
  int size = 0, rank = 0;
  MPI_Comm_size(four, &size);
  MPI_Comm_rank(four, &rank);
  if (size == 4) {
    auto hw = make_hw("-cpu_only 1 -mode r:2x2 -align_part 64", four);
    std::vector<float> buf(1000);
    qor_sw<float> sw(*hw, buf.data(), 1000, 0);
    EXPECT_EQ(sw._part_off, (std::vector<int>{0, 192, 448, 704, 1000}));
    EXPECT_EQ(sw._rings[0]._net_size, (std::vector<int>{448, 552}));
    const bool upper = rank >= 2;
    EXPECT_EQ(sw._rings[1]._net_off, upper ? 448 : 0);
    EXPECT_EQ(sw._rings[1]._net_size, upper ? (std::vector<int>{256, 296}) : (std::vector<int>{192, 256}));
    EXPECT_EQ(sw._rings[1]._net_disp, upper ? (std::vector<int>{0, 256, 552}) : (std::vector<int>{0, 192, 448}));
  }
  MPI_Comm_free(&four);
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

// The residue starts at zero and keeps its prefix when the buffer grows,
// as the engine's own stream sees it in GPU mode.
TEST(Buffers, RebindResidueAndScratch) {
  for (bool gpu : {false, true}) {
    if (gpu && !qor_test::device_available()) continue;
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

TEST(Folds, BitwiseOrPassAndHalfOnTheHost) {
  const int P = world_size(), me = world_rank();
  if (qor_test::device_available()) {
    auto hw = make_hw("-cpu_only 0");
    engine_buffer<__half> buf(*hw, 64 * P);
    std::vector<__half> bits(64 * P);
    for (size_t i = 0; i < bits.size(); ++i) bits[i] = __ushort_as_half(static_cast<unsigned short>(1 << me | 1 | i << 8));
    buf.write(bits);
    qor_sw<__half> sw(*hw, buf.ptr, 64 * P, 0);
    pass<__half, QOR_MDR_BOR, false>(sw, algo::ring, 0);
    const std::vector<__half> got = buf.read();
    const int own = sw._rings[0]._net_disp[me];
    for (int i = own; i < own + sw._rings[0]._net_size[me]; ++i)
      ASSERT_EQ(__half_as_ushort(got[i]), static_cast<unsigned short>(((1 << P) - 1) | 1 | i << 8)) << i;
#if QOR_GPU_EMULATED
    // A kernel that cannot start is message 2, not a block left unreduced.
    for (int op = 0; op < 2; ++op) {
      qoremu_inject_failure("cudaLaunchKernel", 0, cudaErrorLaunchOutOfResources);
      const qor_test::raised_t r = qor_test::raised([&] {
        op ? sw.reduce_op<QOR_MDR_SUM>(hw->_streams[0], 4, buf.ptr, buf.ptr, 0)
           : sw.reduce_op<QOR_MDR_BOR>(hw->_streams[0], 4, buf.ptr, buf.ptr, 0);
      });
      EXPECT_EQ(std::make_pair(r.error.id, r.error.status), std::make_pair(2, 6)) << r.log;
    }
#endif
  }
  // Only float has a host sum: a half pass fails before any message moves.
  auto hw = make_hw("-cpu_only 1");
  std::vector<__half> data(16 * P);
  qor_sw<__half> sw(*hw, data.data(), 16 * P, 0);
  sw.enable_rcs();
  for (algo a : {algo::ring, algo::rcs}) {
    if (P < 2 || (a == algo::rcs && sw._rcs[0]._my_size.empty())) continue;
    p2p_calls = 0;
    qor_test::stderr_capture capture;
    EXPECT_THROW((pass<__half, QOR_MDR_HOST_SUM, false>(sw, a, 0)), QORException);
    EXPECT_EQ(capture.take(), message_line(18, "[MPI: " + std::to_string(me) +
                                                   "] Mode 'm' does not currently support half-precision floating point."));
    EXPECT_EQ(p2p_calls, 0);
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
  const int P = world_size();
  struct failure_case {
    algo a;
    bool rs, dbg;
    fault* f;
    int skip, line;
  } cases[] = {{algo::ring, true, false, &irecv_fault, 0, 935}, {algo::ring, false, false, &isend_fault, 0, 936},
               {algo::ring, true, false, &wait_fault, 0, 944},  {algo::ring, true, false, &wait_fault, 1, 961},
               {algo::ring, false, true, &wait_fault, 0, 865},  {algo::rcs, true, false, &irecv_fault, 0, 828},
               {algo::rcs, false, false, &isend_fault, 0, 829}, {algo::rcs, true, false, &wait_fault, 0, 835},
               {algo::rcs, false, false, &wait_fault, 1, 852},  {algo::rcs, true, true, &wait_fault, 1, 865}};
  // Layers of failed passes live until every process is past them: an
  // abandoned request may still be written into.
  std::vector<std::shared_ptr<void>> kept;
  for (const failure_case& c : cases) {
    auto hw = std::shared_ptr<qor_hw>(make_hw("-cpu_only 1"));
    auto data = std::make_shared<std::vector<float>>(1003, 1.0f);
    auto sw = std::make_shared<qor_sw<float>>(*hw, data->data(), 1003, 0);
    kept.insert(kept.end(), {hw, data, sw});
    sw->enable_rcs();
    if (P < 2 || (c.a == algo::rcs && sw->_rcs[0]._my_size.empty())) continue;
    c.f->skip = c.skip;
    const qor_test::raised_t r = qor_test::raised([&] {
      c.dbg ? either_pass<true>(*sw, c.a, c.rs) : either_pass<false>(*sw, c.a, c.rs);
    });
    EXPECT_EQ(std::make_tuple(r.error.line, r.error.status, r.error.id), std::make_tuple(c.line, 6, 5));
    irecv_fault = isend_fault = wait_fault = fault{};
  }
  MPI_Barrier(MPI_COMM_WORLD);
  while (!kept.empty()) kept.pop_back();  // layers before their hardware layer
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
