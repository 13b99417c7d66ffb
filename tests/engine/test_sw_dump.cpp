// Diagnostic dumps: the partition and ring traces by debug level, and the
// gradient files (name, length, contents, replacement, unopenable paths).
#include <gtest/gtest.h>
#include <mpi.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "qor_exception.h"
#include "qor_test_support.h"
#include "sw_test_support.h"


namespace {

using namespace sw_test;

constexpr bool counted = emulated_flavour;

std::string dim_line(int d, int diff, bool same_host) {
  return std::string("d") + (d < 10 ? " " : "") + std::to_string(d) +
         "  diff_net_size=" + std::to_string(diff) + " same_host=" + (same_host ? "1" : "0");
}

// (line, rank, text) of every trace line with a rank field.
std::vector<std::string> summary(const std::string& log) {
  std::vector<std::string> out;
  for (const trace& t : traces(log)) {
    out.push_back(std::string(1, t.severity) + " " + std::to_string(t.line) + " " +
                  std::to_string(t.rank) + " " + t.text);
  }
  return out;
}

std::string entry(char severity, int line, int rank, const std::string& text) {
  return std::string(1, severity) + " " + std::to_string(line) + " " + std::to_string(rank) + " " +
         text;
}

template <class T>
std::string dumped(qor_sw<T>& sw) {
  qor_test::stderr_capture capture;
  sw.dump();
  return capture.take();
}

template <class T>
class SwDump : public layer_test {};
TYPED_TEST_SUITE(SwDump, element_types, type_names);

TYPED_TEST(SwDump, RingDumpWritesOneLinePerPart) {
  qor_ring R;
  {
    qor_test::stderr_capture capture;
    R.dump(0);
    EXPECT_EQ(capture.take(), "");
  }
  R.init(1, 3);
  R._net_size = {5, 7, 12};
  qor_test::stderr_capture capture;
  R.dump(3);
  EXPECT_EQ(summary(capture.take()),
            (std::vector<std::string>{entry('D', 39, 3, "_net_size[0]=5"),
                                      entry('D', 39, 3, "_net_size[1]=7"),
                                      entry('D', 39, 3, "_net_size[2]=12")}));
}

TYPED_TEST(SwDump, LayerDumpOfTheWorkedExample) {
  MPI_Comm group = split_groups(4);
  if (group == MPI_COMM_NULL) return;  // fewer than four processes left here
  {
    auto l = make_layer<TypeParam>("-mode r:2x2 -align_part 64 -dbg_level 1", 1000, group);
    auto& sw = *l.sw;
    const int rank = l.hw->_rank;
    const std::string head = "sw=" + pointer_text(&sw) + " _buf_base=" +
                             pointer_text(l.buf->get()) + " _buf_size=1000";
    // Level 1: the first line only, on every process that is asked.
    EXPECT_EQ(summary(dumped(sw)), std::vector<std::string>{entry('D', 332, rank, head)});

    l.hw->_dbg_level = 2;
    std::vector<std::string> expected = {entry('D', 332, rank, head),
                                         entry('D', 343, rank, dim_line(0, 104, true))};
    if (rank == 0) {
      expected.push_back(entry('D', 39, 0, "_net_size[0]=448"));
      expected.push_back(entry('D', 39, 0, "_net_size[1]=552"));
    }
    expected.push_back(entry('D', 343, rank, dim_line(1, l.hw->_dim[0]._rank == 1 ? 40 : 64, true)));
    if (rank == 0) {
      expected.push_back(entry('D', 39, 0, "_net_size[0]=192"));
      expected.push_back(entry('D', 39, 0, "_net_size[1]=256"));
    }
    EXPECT_EQ(summary(dumped(sw)), expected);
  }
  MPI_Comm_free(&group);
}

TYPED_TEST(SwDump, LayerDumpSkipsEvenPartsAcrossHosts) {
  // Alignment 8 and 8 elements a process: equal parts everywhere.
  auto l = make_layer<TypeParam>("-mode r -align_part 8 -dbg_level 2", 8 * this->size_);
  auto& sw = *l.sw;
  const int rank = l.hw->_rank;
  std::vector<std::string> ring;
  if (rank == 0) {
    for (int j = 0; j < this->size_; ++j) ring.push_back(entry('D', 39, 0, "_net_size[" + std::to_string(j) + "]=8"));
  }
  const std::string head = "sw=" + pointer_text(&sw) + " _buf_base=" + pointer_text(l.buf->get()) +
                           " _buf_size=" + std::to_string(8 * this->size_);
  // One host: the line is written although the parts are even.
  std::vector<std::string> expected = {entry('D', 332, rank, head),
                                       entry('D', 343, rank, dim_line(0, 0, true))};
  expected.insert(expected.end(), ring.begin(), ring.end());
  EXPECT_EQ(summary(dumped(sw)), expected);

  // Several hosts with even parts: nothing to report for the dimension.
  l.hw->_dim[0]._same_host = false;
  expected = {entry('D', 332, rank, head)};
  expected.insert(expected.end(), ring.begin(), ring.end());
  EXPECT_EQ(summary(dumped(sw)), expected);

  // Several hosts with uneven parts: reported (one process has one part).
  if (this->size_ == 1) {
    l.hw->_dim[0]._same_host = true;
    return;
  }
  sw.update_buf(sw._buf_base, 8 * this->size_ + 3);
  const std::string uneven_head = "sw=" + pointer_text(&sw) + " _buf_base=" +
                                  pointer_text(l.buf->get()) +
                                  " _buf_size=" + std::to_string(8 * this->size_ + 3);
  const std::vector<std::string> lines = summary(dumped(sw));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], entry('D', 332, rank, uneven_head));
  EXPECT_EQ(lines[1], entry('D', 343, rank, dim_line(0, 3, false)));
  EXPECT_EQ(lines.size(), 2u + (rank == 0 ? static_cast<size_t>(this->size_) : 0u));
  l.hw->_dim[0]._same_host = true;
}

TYPED_TEST(SwDump, GradientFileHoldsTheBuffer) {
  temp_dir dir;
  const std::string prefix = dir.path() + "/grad";
  const std::string rank = std::to_string(this->rank_);
  const long pinned = live_pinned_allocations();
  for (int count : {1000, 7, 0}) {
    SCOPED_TRACE("count " + std::to_string(count));
    auto l = make_layer<TypeParam>("-mode r -dump_grad_path " + prefix, count);
    auto& sw = *l.sw;
    const std::vector<TypeParam> values = pattern<TypeParam>(static_cast<size_t>(count), 9);
    to_layer(*l.hw, sw._buf_base, values.data(), values.size() * sizeof(TypeParam));
    const std::string file = prefix + ".12.b." + rank;
    {
      // An existing file is replaced.
      std::FILE* old = std::fopen(file.c_str(), "wb");
      ASSERT_NE(old, nullptr);
      std::fputs(std::string(9000, 'x').c_str(), old);
      std::fclose(old);
    }
    qor_test::stderr_capture capture;
    const int fds = open_fds();
    sw.dump_grad(12, "b");
    sw.dump_grad(-1, "a");
    EXPECT_EQ(capture.take(), "");
    EXPECT_EQ(open_fds(), fds);
    bool exists = false;
    const std::vector<unsigned char> bytes = read_file(file, &exists);
    ASSERT_TRUE(exists);
    EXPECT_EQ(bytes.size(), static_cast<size_t>(count) * sizeof(TypeParam));
    EXPECT_EQ(bytes, bytes_of(values));
    EXPECT_EQ(read_file(prefix + ".-1.a." + rank), bytes_of(values));
    if (count == 1000) {
      EXPECT_EQ(bytes.size(), sizeof(TypeParam) == 2 ? 2000u : 4000u);
    }
    // The pinned copy stays with the hardware layer, one at a time.
    if (l.hw->_device >= 0) {
      if (count > 0) {
        EXPECT_NE(l.hw->_host_buf, nullptr);
      }
      if (counted) {
        EXPECT_EQ(live_pinned_allocations(), pinned + (count > 0 ? 1 : 0));
      }
    } else {
      EXPECT_EQ(l.hw->_host_buf, nullptr);
      if (counted) {
        EXPECT_EQ(live_pinned_allocations(), pinned);
      }
    }
    std::remove(file.c_str());
    std::remove((prefix + ".-1.a." + rank).c_str());
  }
  EXPECT_TRUE(dir.entries().empty());
}

TYPED_TEST(SwDump, NoPathMeansNoFile) {
  temp_dir dir;
  auto l = make_layer<TypeParam>("-mode r", 100);
  const long pinned = live_pinned_allocations();
  qor_test::stderr_capture capture;
  l.sw->dump_grad(3, "b");
  EXPECT_EQ(capture.take(), "");
  EXPECT_EQ(l.hw->_host_buf, nullptr);
  if (counted) {
    EXPECT_EQ(live_pinned_allocations(), pinned);
  }
  // Nothing in the working directory or anywhere we look.
  bool exists = true;
  read_file(".3.b." + std::to_string(this->rank_), &exists);
  EXPECT_FALSE(exists);
  EXPECT_TRUE(dir.entries().empty());
}

TYPED_TEST(SwDump, FailedWriteIsAWarning) {
  temp_dir dir;
  const std::string prefix = dir.path() + "/grad";
  const std::string file = prefix + ".3.b." + std::to_string(this->rank_);
  // Every write to /dev/full fails as on a full disk.
  ASSERT_EQ(symlink("/dev/full", file.c_str()), 0);
  auto l = make_layer<TypeParam>("-mode r -dump_grad_path " + prefix, 100);
  qor_test::stderr_capture capture;
  EXPECT_NO_THROW(l.sw->dump_grad(3, "b"));
  const std::vector<qor_test::trace> lines = traces(capture.take());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].severity, 'W');
  EXPECT_EQ(lines[0].text, "cannot write " + file);
}

TYPED_TEST(SwDump, UnopenableFileIsAWarning) {
  temp_dir dir;
  const std::string prefix = dir.path() + "/missing/grad";
  auto l = make_layer<TypeParam>("-mode r -dump_grad_path " + prefix, 100);
  const long pinned = live_pinned_allocations();
  qor_test::stderr_capture capture;
  const int fds = open_fds();
  EXPECT_NO_THROW(l.sw->dump_grad(3, "b"));
  const std::string log = capture.take();
  EXPECT_EQ(summary(log), std::vector<std::string>{entry(
                              'W', 304, this->rank_,
                              "cannot fopen " + prefix + ".3.b." + std::to_string(this->rank_))});
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_EQ(open_fds(), fds);
  EXPECT_EQ(l.hw->_host_buf, nullptr);
  if (counted) {
    EXPECT_EQ(live_pinned_allocations(), pinned);
  }
  EXPECT_TRUE(dir.entries().empty());
}

}  // namespace
