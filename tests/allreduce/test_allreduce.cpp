// Whole allreduce calls through the driver over real processes: gradient
// accumulation, the status of a dimension that cannot run, device
// synchronisation, statistics and monitor calls, gradient dumps, and the
// CPU rebinding of a straggler.
#include <gtest/gtest.h>
#include <mpi.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "qor_allreduce.h"
#include "qor_clock.h"
#include "qor_sw_pipe.h"
#include "qor_test_support.h"
#if QOR_GPU_EMULATED
#include "gpu_emu.h"
#endif

namespace {

using namespace qor::network;
using qor_test::engine_buffer, qor_test::make_hw, qor_test::world_rank, qor_test::world_size;

using Driver = ModeTest;

// The driver instance the library uses for the layer's type.
template <class T>
QOR_Status call(qor_sw<T>& sw, size_t iter, qor_stat& stat) {
  return allreduce<T, QOR_MDR_SUM>(&sw, iter, &stat);
}

// A duration, not a clock reading.
bool is_duration(double seconds) { return seconds >= 0.0 && seconds < 0.5 * qor::monotonic_seconds(); }

}  // namespace

// comm_iter 4: calls 1 to 3 hand back zeros and keep the gradients; call 4
// sends the sum of four; the residue is empty again afterwards.  Iteration
// 0 always communicates; periods of 1, 0 or below never keep a residue.
TEST_P(Driver, AccumulatesOverTheCommunicationPeriod) {
  if (GetParam().half && world_size() > 4) GTEST_SKIP() << "four half gradients of more than 4 processes are not exact";
  for (int period : {4, 1, 0, -2}) {
    auto hw = layer("-mode r");
    hw->_comm_iter = period;
    by_type([&](auto t) {
      using T = decltype(t);
      const size_t n = 1003;
      const bool half = std::is_same<T, __half>::value;
      engine_buffer<T> buf(*hw, n);
      qor_sw<T> sw(*hw, buf.ptr, static_cast<int>(n), 0);
      qor_stat stat;
      for (size_t iter = 0; iter <= 4; ++iter) {
        buf.write(qor_test::input<T>(world_rank(), n));
        ASSERT_EQ(call(sw, iter, stat), QOR_SUCCESS);
        const bool held = period > 1 && iter % period != 0;
        const int gradients = period > 1 && iter == 4 ? 4 : 1;
        EXPECT_EQ(qor_test::mismatch(buf.read(), 0, n, [&](size_t i) {
          return held ? 0.0f : gradients * qor_test::sum_of(half, world_size(), i);
        }), "") << "period " << period << ", iteration " << iter;
        EXPECT_TRUE(is_duration(stat._e2e)) << stat._e2e;
      }
      EXPECT_EQ(sw.residue_available(), period > 1);
      if (sw.residue_available()) {
        EXPECT_EQ(qor_test::mismatch(engine_buffer<T>::get(*hw, sw._residue, n), 0, n, [](size_t) { return 0.0f; }), "");
      }
    });
  }
}

// A dimension without NCCL cannot run an NCCL phase: the call answers 1
// with the buffer as it was, and still records its duration.
TEST_P(Driver, ADimensionThatCannotRunIsTheCallsStatus) {
  auto hw = layer("-mode r");
  by_type([&](auto t) {
    using T = decltype(t);
    const size_t n = 257;
    engine_buffer<T> buf(*hw, n);
    const std::vector<T> mine = qor_test::input<T>(world_rank(), n);
    buf.write(mine);
    qor_sw<T> sw(*hw, buf.ptr, static_cast<int>(n), 0);
    for (int& a : sw._best_rs_algo) a = ALG_NCCLR;
    qor_stat stat;
    for (int mon : {0, 1}) {
      hw->_mon_iter = mon;
      EXPECT_EQ(call(sw, 1, stat), QOR_FAILURE);
      EXPECT_EQ(qor_test::mismatch(buf.read(), 0, n, [&](size_t i) { return qor_test::as_float(mine[i]); }), "");
      EXPECT_TRUE(is_duration(stat._e2e)) << stat._e2e;
    }
  });
}

INSTANTIATE_TEST_SUITE_P(Modes, Driver, testing::ValuesIn(qor_test::modes), qor_test::mode_name);

#if QOR_GPU_EMULATED
// dev_sync 1 synchronises the device before the call, 2 before and after,
// 3 after only, anything else never.
TEST(Driver, DeviceSynchronisationCountedThroughTheEmulation) {
  QOR_REQUIRE_DEVICE();
  auto hw = make_hw("-cpu_only 0 -mode r");
  engine_buffer<float> buf(*hw, 100);
  buf.write(std::vector<float>(100, 1.0f));
  qor_sw<float> sw(*hw, buf.ptr, 100, 0);
  qor_stat stat;
  std::vector<size_t> counted;
  for (int sync = 0; sync <= 4; ++sync) {
    hw->_dev_sync = sync;
    const size_t before = qoremu_calls("cudaDeviceSynchronize");
    call(sw, 1, stat);
    counted.push_back(qoremu_calls("cudaDeviceSynchronize") - before);
  }
  EXPECT_EQ(counted, (std::vector<size_t>{0, 1, 2, 1, 0}));
}
#endif

// A call that is both a dump and a monitor call is a dump call: statistics
// of rank 0 at dbg_level 1, of the fastest and slowest processes at 2, the
// spread on rank 0, gradient files before the collective (the residue of
// the held-back call 1 folded in) and after it; no monitor line.
// Monitor calls: one line per process with the call's jitter.
TEST(Driver, DumpAndMonitorCalls) {
  const std::string me = std::to_string(world_rank()), path = "/tmp/qor_driver_" + std::to_string(getppid());
  const std::string number = "[0-9]\\.[0-9]{3}e[-+][0-9]{2}";
  for (int level : {1, 2}) {
    auto hw = make_hw("-cpu_only 1 -mode r -comm_iter 2 -dump_iter 2 -mon_iter 2 -dbg_level " + std::to_string(level) +
                      " -dump_grad_path " + path);
    const std::vector<float> input = qor_test::input<float>(world_rank(), 64);
    std::vector<float> grad = input;
    qor_sw<float> sw(*hw, grad.data(), 64, 0);
    qor_stat stat;
    EXPECT_EQ((allreduce<float, QOR_MDR_HOST_SUM>(&sw, 1, &stat)), QOR_SUCCESS);
    std::copy(input.begin(), input.end(), grad.begin());
    qor_test::stderr_capture capture;
    EXPECT_EQ((allreduce<float, QOR_MDR_HOST_SUM>(&sw, 2, &stat)), QOR_SUCCESS);
    const std::string log = capture.take();
    EXPECT_EQ(log.find("monitor"), std::string::npos) << log;
    const bool reported = log.find("*sum = ") != std::string::npos;
    struct { double e2e; int reported; } mine = {stat._e2e, reported}, all[64];
    MPI_Allgather(&mine, sizeof mine, MPI_BYTE, all, sizeof mine, MPI_BYTE, MPI_COMM_WORLD);
    double low = all[0].e2e, high = all[0].e2e;
    for (int r = 0; r < world_size(); ++r) low = std::min(low, all[r].e2e), high = std::max(high, all[r].e2e);
    EXPECT_EQ(reported, level == 1 ? world_rank() == 0 : mine.e2e == low || mine.e2e == high) << log;
    const std::vector<std::string> lines = qor_test::trace_summary(log);
    const bool statistics = std::count(lines.begin(), lines.end(), "I:0:QOR performance statistics sw_buf_size=64 hw_device=-1");
    EXPECT_EQ(statistics, world_rank() == 0);
    EXPECT_EQ(!lines.empty() && qor_test::matches(lines.back(), "I:0:e2e_min=" + number + " e2e_max=" + number), world_rank() == 0) << log;
    for (const char* tag : {"b", "a"}) {
      const std::string file = path + ".2." + tag + "." + me;
      const bool kept = *tag == 'b' || world_rank() == 0;
      std::ifstream in(file, std::ios::binary);
      std::vector<float> got(65);
      in.read(reinterpret_cast<char*>(got.data()), 65 * sizeof(float));
      EXPECT_EQ(in.gcount(), kept ? 256 : 0) << file;
      EXPECT_EQ(qor_test::mismatch(got, 0, kept ? 64 : 0, [&](size_t i) {
        return 2 * (*tag == 'b' ? input[i] : qor_test::sum_of(false, world_size(), i));
      }), "") << file;
      EXPECT_EQ(std::remove(file.c_str()) == 0, kept) << file;
    }
  }
  auto hw = make_hw("-cpu_only 1 -mode r -mon_iter 3");
  std::vector<float> grad(64, 1.0f);
  qor_sw<float> sw(*hw, grad.data(), 64, 0);
  qor_stat stat;
  for (size_t iter = 1; iter <= 3; ++iter) {
    qor_test::stderr_capture capture;
    allreduce<float, QOR_MDR_HOST_SUM>(&sw, iter, &stat);
    std::string lines;
    for (const std::string& line : qor_test::trace_summary(capture.take())) lines += line + "\n";
    EXPECT_EQ(qor_test::matches(lines, "I:" + me + ":monitor e2e=" + number + " jitter=" + number + "\n"), iter == 3) << lines;
  }
  EXPECT_GE(stat._jitter, 0.0) << "the monitor call measures jitter";
}

// Each rebinding moves one entry, last first, by 8 inside its block of 80;
// entries of 1024 and above stay in the list but out of the applied set.
TEST(Rebind, WalksTheListFromItsLastEntry) {
  struct rebind_case {
    std::vector<int> cpus;
    int cur;
    double score;
    std::vector<int> after;
    int cur_after;
    double score_after;
  } cases[] = {{{0, 8, 16}, -1, 3.0, {0, 8, 24}, 1, 2.0},        {{0, 8, 24}, 1, 2.5, {0, 16, 24}, 0, 2.0},
               {{72}, -1, 3.0, {0}, -1, 2.0},                    {{150, 152}, -1, 3.0, {150, 80}, 0, 2.0},
               {{150, 80}, 0, 3.0, {158, 80}, -1, 2.0},          {{0, 1030}, -1, 3.0, {0, 1038}, 0, 2.0},
               {{0, 8, 16}, -1, 2.0, {0, 8, 16}, -1, 2.0},       {{}, -1, 3.0, {}, -2, 2.0}};
  auto hw = make_hw("-cpu_only 1 -dbg_level 1");
  for (const rebind_case& c : cases) {
    hw->_cpus = c.cpus, hw->_cur_core = c.cur, hw->_slow_score = c.score;
    cpu_set_t bound;
    std::string log;
    // On a thread of its own: the binding applies to the calling thread.
    std::thread([&] {
      qor_test::stderr_capture capture;
      rebind_core<float, false>(hw.get(), 7, static_cast<qor_sw<float>*>(nullptr));
      log = capture.take();
      sched_getaffinity(0, sizeof bound, &bound);
    }).join();
    EXPECT_EQ(std::make_tuple(hw->_cpus, hw->_cur_core, hw->_slow_score), std::make_tuple(c.after, c.cur_after, c.score_after));
    if (c.cpus == std::vector<int>{0, 8, 16} && c.score > 2.0) {
      EXPECT_EQ(qor_test::trace_summary(log), std::vector<std::string>{"D:" + std::to_string(world_rank()) +
                                                                       ":iter=7 rebinding from old_core 16 to old_core 24 : 3.000e+00"});
      EXPECT_TRUE(CPU_ISSET(0, &bound) && !CPU_ISSET(1, &bound)) << "bound to 0, 8 and 24";
    }
  }
  // The driver measures jitter (a barrier over all processes, "j") and
  // rebinds ("R") at iteration 1, at multiples of the period and while the
  // too-slow flag is set (call 4); a monitor call (5) only measures; plain
  // calls do neither.
  hw->_rebind_iter = 3, hw->_mon_iter = 5, hw->_jitter_thold = 1000.0;
  std::vector<float> grad(16, 1.0f);
  qor_sw<float> sw(*hw, grad.data(), 16, 0);
  qor_stat stat;
  std::string calls;
  qor_test::stderr_capture quiet;
  for (size_t iter = 1; iter <= 7; ++iter) {
    hw->_slow_score = 5.0, hw->_too_slow = iter == 4, stat._jitter = -1.0;
    std::thread([&] { allreduce<float, QOR_MDR_HOST_SUM>(&sw, iter, &stat); }).join();
    calls += (stat._jitter < 0.0 ? "-" : "j") + std::string(hw->_slow_score == 2.0 ? "R " : " ");
  }
  EXPECT_EQ(calls, "jR - jR jR j jR - ");
}

namespace {

// Each recorded row: 'l' rows as "l<elements>" (tag 1: NCCL streams were
// waited for), separators as "|", the inner phases' rows by their letter.
std::string schedule_rows(const qor_stat& stat) {
  std::string rows;
  for (int i = 0; i < stat._count; ++i) {
    if (stat._algo[i] == 'l') {
      rows += "l" + std::to_string(static_cast<long>(stat._send[i]) / 4) + (stat._tag[i] == 1 ? "" : "?");
    } else {
      rows += stat._algo[i] == '-' ? '|' : stat._algo[i];
    }
  }
  return rows;
}

}  // namespace

struct pipe_case {
  const char* name;
  int stages;
  std::string mode, rows;
  std::vector<int> offsets;
};
// Processes per group of dimension 1 in the two-dimensional case (1: none).
int inner() { return world_size() % 2 == 0 && world_size() > 2 ? world_size() / 2 : 1; }
std::vector<pipe_case> pipe_cases() {
  const std::string R(static_cast<size_t>(inner() - 1), 'r');  // one inner ring phase
  return {{"three_stages_nccl", 3, "n", "l328|l656|l672|l344|", {0, 328, 656, 1000}},
          {"tuned", 2, "p", "l496|l1000|l504|", {0, 496, 1000}},
          {"nccl_fusing", 2, "n -fuse_dim 1", "l496|l1000|l504|", {0, 496, 1000}},
          {"tuned_fusing", 2, "p -fuse_dim 1", "l496|l1000|l504|", {0, 496, 1000}},
          {"two_dimensions", 2, "br:" + std::to_string(world_size() / inner()) + "x" + std::to_string(inner()),
           "l496|" + R + "l504|" + R + R + "|" + R + "l496|l504|", {0, 496, 1000}}};
}
class Pipeline : public testing::TestWithParam<pipe_case> {};

// The wave front, stage k running phase p at step k + p: three stages over
// one dimension, two over two dimensions (dimension 1 by the ring), and
// tuning, which measures dimension 0 of a stage with NCCL only.  Fusing,
// asked for or measured, leaves a pipelined dimension 0 alone.  Every
// element is the sum, through the schedule and through the driver.
TEST_P(Pipeline, WaveFrontSchedulesAndSums) {
  QOR_REQUIRE_DEVICE();
  if (qor_test::device_count() < world_size()) GTEST_SKIP() << "NCCL needs a device per process";
  const pipe_case& c = GetParam();
  if (c.mode.find(':') != std::string::npos && inner() == 1) GTEST_SKIP() << "no grid of two dimensions of 2 or more";
  auto hw = make_hw("-cpu_only 0 -pipe " + std::to_string(c.stages) + " -mode " + c.mode);
  const size_t n = 1000;
  engine_buffer<float> buf(*hw, n), moved(*hw, n);
  qor_sw_pipe<float> pipe(*hw, buf.ptr, static_cast<int>(n), c.stages);
  ASSERT_EQ(pipe.select_algo(), QOR_SUCCESS);
  EXPECT_EQ(pipe._pipe_off, c.offsets);
  for (int dim0 : {pipe._pipe.back()->_best_rs_algo[0], pipe._pipe.back()->_best_ag_algo[0]})
    EXPECT_TRUE(dim0 == ALG_NCCLB || dim0 == ALG_NCCLR) << dim0 << " " << c.mode;
  const auto sum = [](size_t i) { return qor_test::sum_of(false, world_size(), i); };
  qor_stat stat;
  buf.write(qor_test::input<float>(world_rank(), n));
  ASSERT_EQ((allreduce_core<float, QOR_MDR_SUM, false>(&pipe, &stat)), QOR_SUCCESS);
  EXPECT_EQ(qor_test::mismatch(buf.read(), 0, n, sum), "") << c.mode;
  EXPECT_EQ(schedule_rows(stat), c.rows) << c.mode;
  // Same count, new address: every stage follows, the cut stays.
  pipe.update_buf(moved.ptr, static_cast<int>(n));
  for (int k = 0; k < c.stages; ++k) EXPECT_EQ(pipe._pipe[k]->_buf_base, moved.ptr + c.offsets[k]);
  moved.write(qor_test::input<float>(world_rank(), n));
  ASSERT_EQ((allreduce<float, QOR_MDR_SUM>(&pipe, 1, &stat)), QOR_SUCCESS);
  EXPECT_EQ(qor_test::mismatch(moved.read(), 0, n, sum), "") << c.mode << " through the driver";
}
INSTANTIATE_TEST_SUITE_P(Schedules, Pipeline, testing::ValuesIn(pipe_cases()),
                         [](const testing::TestParamInfo<pipe_case>& info) { return std::string(info.param.name); });

// Dimension 0 of a pipelined layer runs NCCL only: a ring there, in either
// phase, is message 11 naming it and the dimension, raised before anything
// is queued, so the buffer is what it was, also once the device is idle.
TEST(Pipeline, RingOnDimensionZeroIsMessage11) {
  QOR_REQUIRE_DEVICE();
  auto hw = make_hw("-cpu_only 0 -pipe 2 -mode n");
  const std::vector<float> data = qor_test::input<float>(world_rank(), 64);
  for (int rs : {ALG_RING, ALG_NCCLR}) {
    engine_buffer<float> buf(*hw, 64);
    buf.write(data);
    qor_sw_pipe<float> pipe(*hw, buf.ptr, 64, 2);
    ASSERT_EQ(pipe.select_algo(), QOR_SUCCESS);
    for (auto& stage : pipe._pipe) stage->_best_rs_algo[0] = rs, stage->_best_ag_algo[0] = ALG_RING;
    const qor_test::raised_t r = qor_test::raised([&] { allreduce_core<float, QOR_MDR_SUM, false>(&pipe, nullptr); });
    EXPECT_EQ(std::make_pair(r.error.id, r.error.status), std::make_pair(11, 11));
    const std::string body = "[MPI: " + std::to_string(world_rank()) + "] Pipelining does not support 'RING   ' at dimension '0'.\n";
    EXPECT_NE(r.log.find(qor_test::message_line(11, body)), std::string::npos) << r.log;
    EXPECT_EQ(buf.read(), data) << rs;
    EXPECT_EQ(buf.read(), data) << rs << " after the device went idle";
  }
}

// A published choice is taken over where it runs NCCL on dimension 0; a
// ring there is not: the pipelined layer selects its own, says so on rank
// 0, and leaves the published choice to the layers that share it.
TEST(Pipeline, SharedChoiceOnlyWhereItRuns) {
  QOR_REQUIRE_DEVICE();
  if (qor_test::device_count() < world_size()) GTEST_SKIP() << "NCCL needs a device per process";
  auto hw = make_hw("-cpu_only 0 -pipe 2 -mode n -share_algo 1");
  engine_buffer<float> buf(*hw, 64);
  hw->enable_nccl(false);
  const std::string refusal = "W:0:shared algo RING    - RING    cannot run on a pipelined layer: selecting its own";
  for (int shared : {ALG_NCCLR, ALG_RING}) {
    hw->_shared_rs_algo = hw->_shared_ag_algo = {shared};
    qor_sw_pipe<float> pipe(*hw, buf.ptr, 64, 2);
    const std::string log = qor_test::raised([&] { EXPECT_EQ(pipe.select_algo(), QOR_SUCCESS); }).log;
    EXPECT_EQ(pipe._pipe[0]->_best_ag_algo, std::vector<int>{ALG_NCCLR});
    EXPECT_EQ(hw->_shared_rs_algo, std::vector<int>{shared});
    const std::vector<std::string> lines = qor_test::trace_summary(log);
    EXPECT_EQ(!lines.empty() && lines[0] == refusal, shared == ALG_RING && world_rank() == 0) << log;
  }
}
