// Construction of the hardware layer in host-CPU mode under mpiexec: banner,
// options, conflicts, advice, refused values, the bound-to line, option
// record and run-time updates.  Every rank checks its own output.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hw_test_support.h"
#include "qor_hw.h"
#include "qor_message.h"
#include "qor_test_support.h"

namespace {

using hw_test::build;
using hw_test::build_failure;
using hw_test::options;
using hw_test::trace_texts;
using qor::network::qor_hw;

class HostLayer : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("QOR_DEBUG");
    rank_ = hw_test::world_rank();
    size_ = hw_test::world_size();
    comms_before_ = hw_test::live_comms();
    align_before_ = qor_hw::_align_part;
  }
  void TearDown() override {
    qor_hw::_align_part = align_before_;
    // Every layer of the test is gone by now: nothing it made may remain.
    EXPECT_EQ(hw_test::live_comms(), comms_before_);
  }
  std::string rank_text() const { return std::to_string(rank_); }
  int rank_ = 0;
  int size_ = 0;
  long comms_before_ = 0;
  int align_before_ = 8;
};

TEST_F(HostLayer, BannerOnRankZeroOnly) {
  auto b = build("-cpu_only 1");
  int version = 0, subversion = 0;
  MPI_Get_version(&version, &subversion);
  const std::string banner = "==== Vorlan Corp. QOR 1.5.1 + (MPI " + std::to_string(version) +
                             "." + std::to_string(subversion) + ") ====";
  auto info = trace_texts(b.log, 'I', rank_);
  if (rank_ == 0) {
    ASSERT_FALSE(info.empty()) << b.log;
    EXPECT_EQ(info.front(), banner);
  } else {
    EXPECT_EQ(b.log.find("Vorlan"), std::string::npos) << b.log;
  }
}

TEST_F(HostLayer, HostModeStateAfterConstruction) {
  auto b = build("-cpu_only 1");
  qor_hw& hw = *b.hw;
  EXPECT_EQ(hw._device, -1);
  EXPECT_EQ(hw._rank, rank_);
  EXPECT_EQ(hw._size, size_);
  int compare = MPI_UNEQUAL;
  MPI_Comm_compare(hw._comm, MPI_COMM_WORLD, &compare);
  EXPECT_EQ(compare, MPI_CONGRUENT);  // a duplicate, not the world itself
  EXPECT_TRUE(hw._streams.empty());
  EXPECT_TRUE(hw._pipe_streams.empty());
  EXPECT_EQ(hw._cublas, nullptr);
  EXPECT_EQ(hw._host_buf, nullptr);
  EXPECT_EQ(hw._cur_core, -1);
  EXPECT_EQ(hw._too_slow, 0);
  EXPECT_EQ(hw._slow_score, 0.0);
  EXPECT_TRUE(hw._shared_rs_algo.empty());
  EXPECT_TRUE(hw._shared_ag_algo.empty());
  EXPECT_EQ(hw._cpus, hw_test::affinity_cores());
  // No device: checking it, waiting for no stream and host buffers work.
  hw.check_device();
  hw.wait_stream(hw._streams, 0);
  hw.wait_stream(hw._streams, 3);
  void* p = nullptr;
  hw.malloc_init(&p, 256, 0x5a);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(static_cast<unsigned char*>(p)[i], 0x5a);
  hw.free(p);
  hw.malloc(&p, 64);
  EXPECT_NE(p, nullptr);
  hw.free(p);
  // NCCL and stream management have nothing to do without a device.
  hw.enable_nccl(true);
  std::vector<int> algo(hw._dim.size(), qor::network::ALG_NCCLB);
  hw.clean_cuda_streams(algo, algo);
  EXPECT_TRUE(hw._streams.empty());
  for (auto& dim : hw._dim) EXPECT_FALSE(dim.nccl_enabled());
}

TEST_F(HostLayer, OptionsAreReadIntoMembers) {
  auto b = build(
      "-cpu_only 1 -dbg_level 1 -mode rm -mon_iter 5 -dump_iter 6 -comm_iter 7 -dev_sync 1 "
      "-jitter_thold 0.25 -rebind_iter 9 -pipe 1 -pipe_thold 100 -omp 3 -fuse_dim 2 "
      "-dump_grad_path /tmp/grads -mpi_inplace 1 -share_algo 1 -cross_node_nccl 0 -mpi_mode 2 "
      "-align_part 16 -comp_min_size 0");
  qor_hw& hw = *b.hw;
  EXPECT_EQ(hw._dbg_level, 1);
  EXPECT_EQ(hw._desc, "rm");
  EXPECT_EQ(hw._mon_iter, 5);
  EXPECT_EQ(hw._dump_iter, 6);
  EXPECT_EQ(hw._comm_iter, 7);
  EXPECT_EQ(hw._dev_sync, 1);
  EXPECT_EQ(hw._jitter_thold, 0.25);
  EXPECT_EQ(hw._rebind_iter, 9);
  EXPECT_EQ(hw._pipe, 1);
  EXPECT_EQ(hw._pipe_thold, 100);
  EXPECT_EQ(hw._pack, 0.0f);
  EXPECT_EQ(hw._omp, 3);
  EXPECT_EQ(hw._fuse_dim, 2);
  EXPECT_EQ(hw._dump_grad_path, "/tmp/grads");
  EXPECT_EQ(hw._mpi_inplace, 1);
  EXPECT_EQ(hw._share_algo, 1);
  EXPECT_EQ(hw._cross_node_nccl, 0);
  EXPECT_EQ(hw._mpi_mode, 2);
  EXPECT_EQ(qor_hw::_align_part, 16);
  EXPECT_EQ(qor_hw::get_avg_buf_size(1000, 3), 320);
  EXPECT_EQ(hw._comp_min_size, 0);
}

TEST_F(HostLayer, DefaultsOfTheOptionTable) {
  auto b = build("-cpu_only 1");
  qor_hw& hw = *b.hw;
  EXPECT_EQ(hw._desc, "r");
  EXPECT_EQ(hw._dbg_level, 0);
  EXPECT_EQ(hw._jitter_thold, 0.5);
  EXPECT_EQ(hw._pipe, 1);
  EXPECT_EQ(hw._omp, 1);
  EXPECT_EQ(hw._cross_node_nccl, 1);
  EXPECT_EQ(hw._mpi_mode, 1);
  EXPECT_EQ(hw._comp_min_size, -1);
  EXPECT_EQ(qor_hw::_align_part, 8);
  EXPECT_EQ(hw._dump_grad_path, "");
}

// strtol/strtod semantics: not a number reads 0, a leading number is taken;
// a key missing from the map reads as the empty text.
TEST_F(HostLayer, NumbersAreReadLikeStrtol) {
  auto opts = options("-cpu_only 1 -mon_iter abc -dump_iter 12ab -omp 2.9");
  opts["jitter_thold"] = "1e-3x";  // a '-' cannot pass the option parser
  opts.erase("comm_iter");
  opts.erase("dbg_level");
  opts["rebind_iter"] = "99999999999999999999";  // saturates instead of wrapping
  auto b = build(opts);
  EXPECT_EQ(b.hw->_mon_iter, 0);
  EXPECT_EQ(b.hw->_dump_iter, 12);
  EXPECT_EQ(b.hw->_jitter_thold, 1e-3);
  EXPECT_EQ(b.hw->_omp, 2);
  EXPECT_EQ(b.hw->_comm_iter, 0);
  EXPECT_EQ(b.hw->_dbg_level, 0);
  EXPECT_EQ(b.hw->_rebind_iter, 2147483647);
}

// Only the exact text "0" asks for a GPU; every other text is host-CPU mode
// without message 16, even where the emulation offers devices.
class CpuOnlyText : public HostLayer, public testing::WithParamInterface<const char*> {};

TEST_P(CpuOnlyText, KeepsHostMode) {
  auto opts = options("");
  opts["cpu_only"] = GetParam();
  auto b = build(opts);
  EXPECT_EQ(b.hw->_device, -1);
  EXPECT_TRUE(b.hw->_streams.empty());
  auto warnings = trace_texts(b.log, 'W', rank_);
  const std::string advice = std::string("[-cpu_only ") + GetParam() + "] can degrade performance";
  if (rank_ == 0) {
    EXPECT_NE(std::find(warnings.begin(), warnings.end(), advice), warnings.end()) << b.log;
  } else {
    EXPECT_TRUE(warnings.empty()) << b.log;
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, CpuOnlyText, testing::Values("1", "yes", "00", "0 ", " 0", ""));

TEST_F(HostLayer, AdviceLinesInOrderOnRankZeroOnly) {
  auto b = build("-cpu_only 1 -comm_iter 3 -fuse_dim 2 -dev_sync 1 -mpi_inplace 7 -omp 4");
  auto warnings = trace_texts(b.log, 'W', -1);
  if (rank_ == 0) {
    const std::vector<std::string> expected = {
        "[-comm_iter 3] reduces the communication frequency (may hurt convergence)",
        "[-fuse_dim 2] allows to invoke native allreduce",
        "[-dev_sync 1] can degrade performance",
        "[-cpu_only 1] can degrade performance",
        "[-mpi_inplace 7] may not run on some MPI implementations",
        "degenerated into dim=" + std::to_string(size_),
    };
    EXPECT_EQ(warnings, expected) << b.log;
  } else {
    EXPECT_TRUE(warnings.empty()) << b.log;
  }
}

TEST_F(HostLayer, NoAdviceForZeroValues) {
  auto b = build("-cpu_only 1 -comm_iter 0 -fuse_dim 0 -dev_sync 0 -mpi_inplace 0 -mode r:" +
                 std::to_string(size_));
  auto warnings = trace_texts(b.log, 'W', -1);
  if (rank_ == 0) {
    EXPECT_EQ(warnings, std::vector<std::string>{"[-cpu_only 1] can degrade performance"});
  } else {
    EXPECT_TRUE(warnings.empty());
  }
}

TEST_F(HostLayer, BoundToLineOnEveryRankFromDebugLevelTwo) {
  std::string expected = "gpu -1 bound to { ";
  for (int core : hw_test::affinity_cores()) expected += std::to_string(core) + " ";
  expected += "}";
  for (int level : {0, 1, 2, 3}) {
    SCOPED_TRACE("dbg_level " + std::to_string(level));
    auto b = build("-cpu_only 1 -dbg_level " + std::to_string(level));
    auto info = trace_texts(b.log, 'I', rank_);
    const bool found = std::find(info.begin(), info.end(), expected) != info.end();
    EXPECT_EQ(found, level >= 2) << b.log;
  }
}

struct conflict_case {
  const char* text;
  const char* option;
  const char* value;
};

class HostConflict : public HostLayer, public testing::WithParamInterface<conflict_case> {};

TEST_P(HostConflict, MessageTwelveNamesBothOptions) {
  const conflict_case& c = GetParam();
  auto f = build_failure(options(c.text));
  ASSERT_TRUE(f.threw_qor) << f.log;
  EXPECT_EQ(f.status, 12);
  EXPECT_EQ(f.id, qor_message::MSG_PARAM_CONFLICT);
  const std::string body = "[MPI: " + rank_text() + "] Parameter '" + c.option + " " + c.value +
                           "' cannot be used with parameter '-cpu_only 1'.\n";
  EXPECT_EQ(f.what, body);
  EXPECT_NE(f.log.find(hw_test::message_line(12, body)), std::string::npos) << f.log;
}

INSTANTIATE_TEST_SUITE_P(
    Options, HostConflict,
    testing::Values(conflict_case{"-cpu_only 1 -pipe 2", "-pipe", "2"},
                    conflict_case{"-cpu_only 1 -pipe 3 -pack 0.5 -comp_min_size 9", "-pipe", "3"},
                    conflict_case{"-cpu_only 1 -pack 0.5", "-pack", "0.5"},
                    conflict_case{"-cpu_only 1 -pack 2e3 -comp_min_size 9", "-pack", "2e3"},
                    conflict_case{"-cpu_only 1 -comp_min_size 10", "-comp_min_size", "10"}));

TEST_F(HostLayer, NoConflictAtTheLimits) {
  auto b = build("-cpu_only 1 -pipe 1 -pack 0.0 -comp_min_size 0");
  EXPECT_EQ(b.hw->_device, -1);
}

// Values that would crash later are refused at construction, on every rank,
// with an error line naming the option, then message 6.
struct refused_case {
  const char* key;
  const char* value;
};

class RefusedValue : public HostLayer, public testing::WithParamInterface<refused_case> {};

TEST_P(RefusedValue, ConstructionFailsNamingTheOption) {
  const refused_case& c = GetParam();
  auto opts = options("-cpu_only 1");
  opts[c.key] = c.value;
  qor_hw::_align_part = 24;
  auto f = build_failure(opts);
  ASSERT_TRUE(f.threw_qor) << f.log;
  EXPECT_EQ(f.status, 6);
  EXPECT_EQ(f.id, qor_message::MSG_QOR);
  auto errors = trace_texts(f.log, 'E', rank_);
  ASSERT_EQ(errors.size(), 1u) << f.log;
  EXPECT_EQ(errors[0].rfind(std::string("invalid value \"") + c.value + "\" for -" + c.key +
                                " option (",
                            0),
            0u)
      << errors[0];
  EXPECT_NE(f.log.find("[ERROR QOR-1-6] A QOR error has occurred on host "), std::string::npos);
  // The process-wide alignment keeps its value.
  EXPECT_EQ(qor_hw::_align_part, 24);
}

INSTANTIATE_TEST_SUITE_P(Values, RefusedValue,
                         testing::Values(refused_case{"align_part", "0"},
                                         refused_case{"align_part", "-8"},
                                         refused_case{"align_part", "abc"},
                                         refused_case{"align_part", ""},
                                         refused_case{"mode", ":4x2"},
                                         refused_case{"mode", ":"},
                                         refused_case{"mode", ""}));

TEST_F(HostLayer, AlgorithmLetters) {
  auto b = build("-cpu_only 1 -mode rm");
  qor_hw& hw = *b.hw;
  EXPECT_EQ(hw.get_num_algo(), 2);
  EXPECT_EQ(hw.get_algo(0), 'r');
  EXPECT_EQ(hw.get_algo(1), 'm');
  EXPECT_EQ(hw.get_algo(5), 'm');
  EXPECT_TRUE(hw.check_algo('m'));
  EXPECT_FALSE(hw.check_algo('p'));
  // The questions are about the text only.
  hw._desc = "rm:4x2";
  EXPECT_EQ(hw.get_num_algo(), 2);
  EXPECT_EQ(hw.get_algo(0), 'r');
  EXPECT_EQ(hw.get_algo(1), 'm');
  EXPECT_EQ(hw.get_algo(5), 'm');
  EXPECT_TRUE(hw.check_algo('m'));
  EXPECT_FALSE(hw.check_algo('p'));
  hw._desc = "r";
  EXPECT_EQ(hw.get_num_algo(), 1);
  EXPECT_EQ(hw.get_algo(3), 'r');
  hw._desc = "bnc:2x2x2";
  EXPECT_EQ(hw.get_num_algo(), 3);
  EXPECT_EQ(hw.get_algo(2), 'c');
  EXPECT_EQ(hw.get_algo(3), 'c');
  EXPECT_TRUE(hw.check_algo('n'));
  EXPECT_FALSE(hw.check_algo('m'));
  EXPECT_EQ(hw.get_algo(-1), 'b');  // never past either end
  hw._desc = "";
  EXPECT_EQ(hw.get_num_algo(), 0);
  EXPECT_EQ(hw.get_algo(0), '\0');
}

TEST_F(HostLayer, AlgorithmLettersOfAConstructedTopology) {
  auto b = build("-cpu_only 1 -mode cb:" + std::to_string(size_) + "x1");
  EXPECT_EQ(b.hw->get_num_algo(), 2);
  EXPECT_EQ(b.hw->get_algo(0), 'c');
  EXPECT_EQ(b.hw->get_algo(3), 'b');
}

TEST_F(HostLayer, OptionRecordLayout) {
  auto b = build("-cpu_only 1 -dbg_level 1 -mon_iter 4 -dump_iter 5 -comm_iter 6");
  qor_hw& hw = *b.hw;
  hw._mon_iter = -7;  // signed
  unsigned char buf[20];
  std::memset(buf, 0xab, sizeof buf);
  EXPECT_EQ(hw.serialize_option(reinterpret_cast<char*>(buf)), 16);
  int32_t fields[4];
  std::memcpy(fields, buf, 16);
  EXPECT_EQ(fields[0], 1);
  EXPECT_EQ(fields[1], -7);
  EXPECT_EQ(fields[2], 5);
  EXPECT_EQ(fields[3], 6);
  for (int i = 16; i < 20; ++i) EXPECT_EQ(buf[i], 0xab) << "byte " << i << " written";
}

TEST_F(HostLayer, OptionRecordCarriesRankZerosValuesToAll) {
  // Rank 0 has its own values; the record makes every rank agree.
  auto b = build("-cpu_only 1 -dbg_level " + std::string(rank_ == 0 ? "3" : "0") +
                 " -mon_iter " + std::to_string(10 + rank_) + " -dump_iter 2");
  qor_hw& hw = *b.hw;
  hw._comm_iter = rank_ == 0 ? 11 : 0;
  char record[16];
  if (rank_ == 0) {
    EXPECT_EQ(hw.serialize_option(record), 16);
  }
  MPI_Bcast(record, 16, MPI_BYTE, 0, MPI_COMM_WORLD);
  const int other_options = hw._rebind_iter;
  hw.deserialize_option(record);
  EXPECT_EQ(hw._dbg_level, 3);
  EXPECT_EQ(hw._mon_iter, 10);
  EXPECT_EQ(hw._dump_iter, 2);
  EXPECT_EQ(hw._comm_iter, 11);
  EXPECT_EQ(hw._rebind_iter, other_options);
}

TEST_F(HostLayer, UpdateOptionKeepsUntouchedKeys) {
  auto b = build(
      "-cpu_only 1 -mon_iter 5 -dump_iter 6 -comm_iter 7 -rebind_iter 8 "
      "-jitter_thold 0.000123456789012345 -dump_grad_path /tmp/g");
  qor_hw& hw = *b.hw;
  const double jitter = hw._jitter_thold;
  qor_test::stderr_capture capture;
  hw.update_option("-dbg_level 1");
  std::string log = capture.take();
  EXPECT_EQ(hw._dbg_level, 1);
  EXPECT_EQ(hw._mon_iter, 5);
  EXPECT_EQ(hw._dump_iter, 6);
  EXPECT_EQ(hw._comm_iter, 7);
  EXPECT_EQ(hw._rebind_iter, 8);
  EXPECT_EQ(hw._jitter_thold, jitter);  // not even rounded
  EXPECT_EQ(hw._dump_grad_path, "/tmp/g");
  // The "with" line follows the level before the update (0): none.
  EXPECT_EQ(trace_texts(log, 'I', rank_),
            std::vector<std::string>{"update_option dbg_level=1 mon_iter=5 dump_iter=6 comm_iter=7"})
      << log;
}

TEST_F(HostLayer, UpdateOptionChangesTheRunTimeSet) {
  auto b = build("-cpu_only 1 -dbg_level 1");
  qor_hw& hw = *b.hw;
  const std::string text =
      "-mon_iter 9 -dump_iter 3 -comm_iter 2 -rebind_iter 4 -jitter_thold 2.5 -dump_grad_path /x";
  qor_test::stderr_capture capture;
  hw.update_option(text);
  std::string log = capture.take();
  EXPECT_EQ(hw._dbg_level, 1);
  EXPECT_EQ(hw._mon_iter, 9);
  EXPECT_EQ(hw._dump_iter, 3);
  EXPECT_EQ(hw._comm_iter, 2);
  EXPECT_EQ(hw._rebind_iter, 4);
  EXPECT_EQ(hw._jitter_thold, 2.5);
  EXPECT_EQ(hw._dump_grad_path, "/x");
  std::vector<std::string> expected;
  if (rank_ == 0) expected.push_back("update_option with " + text);
  expected.push_back("update_option dbg_level=1 mon_iter=9 dump_iter=3 comm_iter=2");
  EXPECT_EQ(trace_texts(log, 'I', rank_), expected) << log;
}

TEST_F(HostLayer, UpdateOptionWithLineOnEveryRankAtLevelSix) {
  auto b = build("-cpu_only 1 -dbg_level 6");
  qor_test::stderr_capture capture;
  b.hw->update_option("");
  std::string log = capture.take();
  const std::vector<std::string> expected = {
      "update_option with ", "update_option dbg_level=6 mon_iter=0 dump_iter=0 comm_iter=0"};
  EXPECT_EQ(trace_texts(log, 'I', rank_), expected) << log;
}

TEST_F(HostLayer, RepeatedConstructionLeaksNothing) {
  for (int i = 0; i < 5; ++i) {
    auto b = build("-cpu_only 1 -mode r:1x" + std::to_string(size_));
    EXPECT_EQ(b.hw->_dim.size(), size_ > 1 ? 2u : 1u);
  }
}

}  // namespace
