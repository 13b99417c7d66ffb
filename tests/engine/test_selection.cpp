// Algorithm selection and tuning by measurement over real processes: letters
// to algorithms with their substitutions and fusing, the published choice of
// a shared layer, and the timed search driven by a scripted clock, so that
// ties, early abandons and the maximum over processes are deterministic.
#include <gtest/gtest.h>
#include <mpi.h>

#include <map>
#include <string>
#include <vector>

#include "qor_clock.h"
#include "qor_sw.h"
#include "qor_test_support.h"
#if QOR_GPU_EMULATED
#include "gpu_emu.h"
#endif

namespace {
int per_host = 0;  // > 0: every per_host consecutive world ranks pretend to be a host
}  // namespace

extern "C" {
int __real_MPI_Comm_split_type(MPI_Comm, int, int, MPI_Info, MPI_Comm*);
int __wrap_MPI_Comm_split_type(MPI_Comm comm, int type, int key, MPI_Info info, MPI_Comm* out) {
  if (type == 9 && per_host > 0) return MPI_Comm_split(comm, qor_test::world_rank() / per_host, key, out);
  return __real_MPI_Comm_split_type(comm, type, key, info, out);
}
}  // extern "C"

namespace {

using namespace qor::network;
using qor_test::engine_buffer, qor_test::make_hw, qor_test::world_rank, qor_test::world_size;

// Both lists in one letter per dimension: "rs/ag".
std::string lists(const qor_sw<float>& sw) {
  const std::map<int, char> letter = {{ALG_NOOP, '0'}, {ALG_NCCLB, 'b'}, {ALG_NCCLR, 'n'}, {ALG_RING, 'r'}, {ALG_RCS, 'c'},
                                      {ALG_MPI, 'm'},  {ALG_MPIA, 'M'},  {ALG_NCCLA, 'N'}, {ALG_SHM, 's'},
                                      {ALG_SHMA, 'S'}};
  std::string text;
  for (int a : sw._best_rs_algo) text += letter.at(a);
  text += '/';
  for (int a : sw._best_ag_algo) text += letter.at(a);
  return text;
}

struct selection {
  QOR_Status status;
  std::string lists;
  std::vector<std::string> lines;  // trace lines, "<severity>:<rank>:<text>"
  std::string log;
};

// Selection on a new layer over 64 elements of hw, the lists equal on all processes.
selection select_on(qor_hw& hw) {
  engine_buffer<float> buf(hw, 64);
  qor_sw<float> sw(hw, buf.ptr, 64, 0);
  selection s{};
  s.log = qor_test::raised([&] { s.status = sw.select_algo(); }).log;
  s.lines = qor_test::trace_summary(s.log);
  s.lists = lists(sw);
  std::string first = s.lists;
  first.resize(32);
  MPI_Bcast(&first[0], 32, MPI_CHAR, 0, MPI_COMM_WORLD);
  EXPECT_EQ(first.c_str(), s.lists) << "the processes selected differently";
  return s;
}

struct letters_case {
  const char* name;
  bool gpu;
  size_t dims;  // of the first grid of the job with that many; skipped without one
  std::string letters, options;
  std::string lists;
  std::vector<std::string> rank0_lines;
};

bool power_of_two(int n) { return n > 1 && (n & (n - 1)) == 0; }

std::vector<letters_case> letters_cases() {
  const bool rcs = power_of_two(world_size());
  const std::string w = "W:0:forced to apply ";
  return {
      {"ring_nccl", true, 3, "rn", "", "rnn/rnn", {"I:0:selected algo: RING   NCCLR  NCCLR   - NCCLR  NCCLR  RING   "}},
      {"mpi_off", true, 2, "m", "-mpi_mode 0", "nn/nn",
       {w + "NCCLR to dim[0] as MPI     cannot be used", w + "NCCLR to dim[1] as MPI     cannot be used",
        "I:0:selected algo: NCCLR  NCCLR   - NCCLR  NCCLR  "}},
      {"mpi_packed", true, 1, "m", "-pack 0.5", "r/r", {w + "RING to dim[0] as MPI     cannot be used", "I:0:selected algo: RING    - RING   "}},
      {"nccl_fused", true, 1, "n", "-fuse_dim 1", "N/N", {"I:0:fusing NCCLR   to NCCLA  ", "I:0:selected algo: NCCLA   - NCCLA  "}},
      {"nccl_on_the_host", false, 1, "n", "", "r/r", {w + "RING to dim[0] as NCCLR   cannot be used", "I:0:selected algo: RING    - RING   "}},
      {"rcs", false, 1, "c", "", rcs ? "c/c" : "r/r",
       rcs ? std::vector<std::string>{"I:0:selected algo: RCS     - RCS    "}
           : std::vector<std::string>{w + "RING to dim[0] as RCS     cannot be used", "I:0:selected algo: RING    - RING   "}},
      {"ring_mpi_fused", false, 2, "rm", "-fuse_dim 1", "rM/rM",
       {"I:0:fusing MPI     to MPIA   ", "I:0:selected algo: RING   MPIA    - MPIA   RING   "}},
      {"mpi_ring_unfused", false, 2, "mr", "-fuse_dim 1", "mr/mr", {"I:0:selected algo: MPI    RING    - RING   MPI    "}},
      {"shm", false, 2, "sr", "-fuse_dim 1", "sr/sr", {"I:0:selected algo: SHM    RING    - RING   SHM    "}},
      {"shm_fused", false, 2, "rs", "-fuse_dim 1", "rS/rS",
       {"I:0:fusing SHM     to SHMA   ", "I:0:selected algo: RING   SHMA    - SHMA   RING   "}},
      {"shm_off", false, 1, "s", "-shm 0", "r/r", {w + "RING to dim[0] as SHM     cannot be used", "I:0:selected algo: RING    - RING   "}},
      {"shm_on_gpu", true, 1, "s", "", "r/r", {w + "RING to dim[0] as SHM     cannot be used", "I:0:selected algo: RING    - RING   "}},
  };
}
class Letters : public testing::TestWithParam<letters_case> {};

}  // namespace

// The letters with every substitution, fusing, and the summary line: rank 0
// alone writes, and nothing but these lines.
TEST_P(Letters, SubstitutionsAndFusing) {
  const letters_case& c = GetParam();
  if (c.gpu && qor_test::device_count() < world_size()) GTEST_SKIP() << "NCCL needs a device per process";
  std::string grid;
  for (const std::vector<int>& g : qor_test::grids(world_size()))
    if (grid.empty() && g.size() == c.dims) grid = ":" + qor_test::grid_text(g);
  if (grid.empty() && c.dims > 1) GTEST_SKIP() << "no grid of " << c.dims << " dimensions";
  auto hw = make_hw(std::string(c.gpu ? "-cpu_only 0 " : "-cpu_only 1 ") + "-mode " + c.letters + grid + " " + c.options);
  const selection s = select_on(*hw);
  EXPECT_EQ(s.status, QOR_SUCCESS);
  EXPECT_EQ(s.lists, c.lists);
  EXPECT_EQ(s.lines, world_rank() == 0 ? c.rank0_lines : std::vector<std::string>{});
}
INSTANTIATE_TEST_SUITE_P(Selection, Letters, testing::ValuesIn(letters_cases()),
                         [](const testing::TestParamInfo<letters_case>& info) { return std::string(info.param.name); });

TEST(Selection, UnknownLetterIsMessage17OnEveryProcess) {
  auto hw = make_hw("-cpu_only 1 -mode rx");
  const selection s = select_on(*hw);
  EXPECT_EQ(s.status, QOR_FAILURE);
  const std::string why = "[MPI: " + std::to_string(world_rank()) + "] Unknown algorithm selected 'x'.\n";
  EXPECT_NE(s.log.find(qor_test::message_line(17, why)), std::string::npos) << s.log;
}


// The first layer publishes its choice; the next one takes it over and
// neither logs nor measures (a measurement would be collective and log).
TEST(Selection, SharedChoiceIsTakenOverSilently) {
  auto hw = make_hw("-cpu_only 1 -mode p -share_algo 1 -dbg_level 1");
  const selection first = select_on(*hw);
  ASSERT_EQ(first.status, QOR_SUCCESS);
  if (world_rank() == 0) {
    EXPECT_NE(first.log.find(" to be shared\n"), std::string::npos) << first.log;
  }
  const selection second = select_on(*hw);
  EXPECT_EQ(second.status, QOR_SUCCESS);
  EXPECT_EQ(second.lists, first.lists);
  EXPECT_EQ(second.log, "");
}

namespace {

// The scripted clock: every reading advances by the cost of the layer's
// current combination, so a trial's average is that cost.
qor_sw<float>* timed = nullptr;
double fake_now = 0.0;
std::map<int, double> rs_cost, ag_cost;
double scripted_clock() {
  return fake_now += rs_cost.at(timed->_best_rs_algo[0]) + ag_cost.at(timed->_best_ag_algo.back());
}

struct clock_seam {
  clock_seam() { tuning_clock = scripted_clock; }
  ~clock_seam() { tuning_clock = qor::monotonic_seconds; }
};

// Selection by the scripted clock on a new layer over 1001 elements of this
// process's input: its status, lists and log, and whether the buffer holds
// the input again afterwards.
struct timed_selection {
  QOR_Status status = QOR_FAILURE;
  std::string lists, log;
  bool restored = false;
};
timed_selection select_timed(qor_hw& hw) {
  engine_buffer<float> buf(hw, 1001);
  const std::vector<float> data = qor_test::input<float>(world_rank(), 1001);
  buf.write(data);
  qor_sw<float> sw(hw, buf.ptr, 1001, 0);
  timed = &sw;
  clock_seam seam;
  timed_selection t;
  t.log = qor_test::raised([&] { t.status = sw.select_algo(); }).log;
  t.lists = lists(sw);
  t.restored = buf.read() == data;
  return t;
}

}  // namespace

// Host-CPU mode, one dimension: the NCCL candidates cannot run and are
// skipped without a line; RCS ties with RING and the earlier stays; MPI's
// first trial is beyond 1.5 times the best on rank 0 only, and the maximum
// over the processes abandons it everywhere; fusing then wins with MPIA.
// The buffer is the same afterwards.
TEST(Tuning, SearchTiesAbandonsFusesAndRestoresTheBuffer) {
  const bool rcs = power_of_two(world_size());
  const double rank0_mpi = world_rank() == 0 ? 9.0 : 1.0;
  // Candidates that cannot run still read the clock before their first trial.
  rs_cost = {{ALG_NCCLB, 0.0}, {ALG_NCCLR, 0.0}, {ALG_NCCLA, 0.0}, {ALG_RING, 3.0}, {ALG_RCS, 3.0}, {ALG_MPI, rank0_mpi}, {ALG_MPIA, 20.0}, {ALG_SHM, 4.0}, {ALG_SHMA, 30.0}};
  ag_cost = {{ALG_NCCLB, 0.0}, {ALG_NCCLR, 0.0}, {ALG_NCCLA, 0.0}, {ALG_RING, 2.0}, {ALG_RCS, 2.0}, {ALG_MPI, 0.5}, {ALG_MPIA, 0.0}, {ALG_SHM, 0.5}, {ALG_SHMA, 0.0}};
  for (int fuse : {1, 0}) {
    auto hw = make_hw("-cpu_only 1 -mode p -dbg_level 1 -fuse_dim " + std::to_string(fuse));
    const timed_selection t = select_timed(*hw);
    const std::string& log = t.log;
    ASSERT_EQ(t.status, QOR_SUCCESS) << log;
    EXPECT_EQ(t.lists, fuse ? "M/M" : "r/m");
    EXPECT_EQ(hw->_fuse_dim, fuse ? -1 : 0);
    EXPECT_TRUE(t.restored);
    std::vector<std::string> expect = {"I:0:rs: RING    5.000e+00*"};
    if (rcs) expect.push_back("I:0:rs: RCS     5.000e+00");
    expect.insert(expect.end(), {"I:0:rs: MPI     1.100e+01!", "I:0:rs: SHM     6.000e+00", "I:0:ag: RING    5.000e+00*"});
    if (rcs) expect.push_back("I:0:ag: RCS     5.000e+00");
    // A tie with MPI, which was tried first.
    expect.insert(expect.end(), {"I:0:ag: MPI     3.500e+00*", "I:0:ag: SHM     3.500e+00"});
    if (fuse) expect.insert(expect.end(), {"I:0:fs: MPIA    MPIA    2.000e+00*", "I:0:fs: SHMA    SHMA    3.000e+00"});
    expect.push_back(fuse ? "I:0:selected algo: MPIA    - MPIA   " : "I:0:selected algo: RING    - MPI    ");
    EXPECT_EQ(qor_test::trace_summary(log), world_rank() == 0 ? expect : std::vector<std::string>{});
  }
}

// SHM is tried where it can run and kept where it is fastest, and with
// fusing its one-phase form too; where a dimension spans hosts neither is
// a candidate, and the lists name none.
TEST(Tuning, SharedMemoryWinsWithinAHostOnly) {
  rs_cost = {{ALG_NCCLB, 0.0}, {ALG_NCCLR, 0.0}, {ALG_NCCLA, 0.0}, {ALG_RING, 3.0}, {ALG_RCS, 3.0},
             {ALG_MPI, 3.0},   {ALG_MPIA, 1e3},  {ALG_SHM, 1.0},   {ALG_SHMA, 10.0}};
  ag_cost = {{ALG_NCCLB, 0.0}, {ALG_NCCLR, 0.0}, {ALG_NCCLA, 0.0}, {ALG_RING, 2.0}, {ALG_RCS, 2.0},
             {ALG_MPI, 2.0},   {ALG_MPIA, 0.0},  {ALG_SHM, 0.5},   {ALG_SHMA, 0.0}};
  for (int fuse : {0, 1}) {
    for (int hosts : {0, 1}) {
      per_host = hosts;
      auto hw = make_hw("-cpu_only 1 -mode p -dbg_level 1 -fuse_dim " + std::to_string(fuse));
      per_host = 0;
      const timed_selection t = select_timed(*hw);
      const bool apart = hosts == 1 && world_size() > 1;
      EXPECT_EQ(t.status, QOR_SUCCESS) << t.log;
      // One fused phase of 10 / 10 beats SHM's 1.0 + 0.5.
      EXPECT_EQ(t.lists, apart ? "r/r" : fuse ? "S/S" : "s/s") << t.log;
      EXPECT_EQ(t.log.find("SHM     ") != std::string::npos, world_rank() == 0 && !apart) << t.log;
      EXPECT_EQ(t.log.find("fs: SHMA") != std::string::npos, world_rank() == 0 && !apart && fuse) << t.log;
      EXPECT_TRUE(t.restored);
    }
  }
}

// Without MPI transport on the host no candidate can run: the selection
// fails instead of leaving "no algorithm" in the lists.
TEST(Tuning, NoCandidateThatRunsFailsTheSelection) {
  auto hw = make_hw("-cpu_only 1 -mode p -mpi_mode 0");
  engine_buffer<float> buf(*hw, 100);
  const std::vector<float> data = qor_test::input<float>(world_rank(), 100);
  buf.write(data);
  qor_sw<float> sw(*hw, buf.ptr, 100, 0);
  QOR_Status status = QOR_SUCCESS;
  const std::string log = qor_test::raised([&] { status = sw.select_algo(); }).log;
  EXPECT_EQ(status, QOR_FAILURE);
  EXPECT_EQ(buf.read(), data);
  if (world_rank() == 0) {
    EXPECT_NE(log.find("use_best: no reduce-scatter combination could run on this set-up"), std::string::npos) << log;
  }
}

// A pipelined layer's stage: the fused trial would win on the clock, but
// the pipelined allreduce drives dimension 0 with NCCLB or NCCLR only.
TEST(Tuning, PipelinedDimensionZeroIsNeverFused) {
  QOR_REQUIRE_DEVICE();
  if (qor_test::device_count() < world_size()) GTEST_SKIP() << "NCCL needs a device per process";
  const std::map<int, double> cost = {{ALG_NCCLB, 3.0}, {ALG_NCCLR, 3.0}, {ALG_RING, 3.0}, {ALG_RCS, 3.0},
                                      {ALG_MPI, 3.0},   {ALG_MPIA, 0.0},  {ALG_NCCLA, 0.0}};
  rs_cost = ag_cost = cost;
  auto hw = make_hw("-cpu_only 0 -mode p -dbg_level 1 -fuse_dim 1");
  engine_buffer<float> buf(*hw, 64);
  qor_sw<float> stage(*hw, buf.ptr, 64, 1);
  timed = &stage;
  clock_seam seam;
  const std::string log = qor_test::raised([&] { EXPECT_EQ(stage.select_algo(), QOR_SUCCESS); }).log;
  EXPECT_EQ(lists(stage), "b/b") << log;
  EXPECT_EQ(log.find("fs: "), std::string::npos) << log;
}

// Two dimensions whose groups differ: with the first N/2 + 1 ranks on one
// host and the rest on another, NCCL runs in some groups of a dimension and
// not in others.  Every process must drop the same combinations (rank 0
// times none with NCCL where a group lacks it), or those that went on would
// run collectives the others skipped; the buffer is restored.
TEST(Tuning, GroupsThatDifferAgreeOnEveryCombination) {
  QOR_REQUIRE_DEVICE();
  const int N = world_size();
  if ((N != 4 && N != 8) || qor_test::device_count() < N) GTEST_SKIP() << "needs 4 or 8 processes with a device each";
  per_host = N / 2 + 1;
  auto hw = make_hw("-cpu_only 0 -cross_node_nccl 0 -dbg_level 1 -mode p:2x" + std::to_string(N / 2));
  per_host = 0;
  std::vector<int> nccl_everywhere(hw->_dim.size(), 1);
  for (const qor_dim& D : hw->_dim) {
    int same = D._same_host, all_same = 0, any_same = 0;
    MPI_Allreduce(&same, &all_same, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
    MPI_Allreduce(&same, &any_same, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    nccl_everywhere[static_cast<size_t>(D._index)] = all_same == any_same;
  }
  ASSERT_NE(nccl_everywhere, std::vector<int>(hw->_dim.size(), 1)) << "every dimension is alike in all its groups";
  engine_buffer<float> buf(*hw, 1001);
  const std::vector<float> data = qor_test::input<float>(world_rank(), 1001);
  buf.write(data);
  qor_sw<float> sw(*hw, buf.ptr, 1001, 0);
  const std::string log = qor_test::raised([&] { EXPECT_EQ(sw.select_algo(), QOR_SUCCESS); }).log;
  for (const qor_test::trace& t : qor_test::traces(log)) {
    for (size_t d = 0; t.text.compare(1, 3, "s: ") == 0 && d < nccl_everywhere.size(); ++d)
      EXPECT_FALSE(!nccl_everywhere[d] && t.text.compare(4 + 8 * d, 4, "NCCL") == 0) << t.text;
  }
  EXPECT_EQ(buf.read(), data);
  std::string mine = lists(sw), first = mine;
  MPI_Bcast(&first[0], static_cast<int>(first.size()), MPI_CHAR, 0, MPI_COMM_WORLD);
  EXPECT_EQ(mine, first);
}

#if QOR_GPU_EMULATED
// The copy that saves the buffer fails: message 2, and its pinned memory goes.
TEST(Tuning, FailedSaveOfTheBufferLeaksNothing) {
  QOR_REQUIRE_DEVICE();
  auto hw = make_hw("-cpu_only 0 -mode p");
  engine_buffer<float> buf(*hw, 64);
  qor_sw<float> sw(*hw, buf.ptr, 64, 0);
  const size_t pinned = qoremu_live_host_allocations();
  qoremu_inject_failure("cudaMemcpy", 0, cudaErrorIllegalAddress);
  EXPECT_EQ(qor_test::raised([&] { sw.select_algo(); }).error.id, 2);
  EXPECT_EQ(qoremu_live_host_allocations(), pinned);
}
#endif
