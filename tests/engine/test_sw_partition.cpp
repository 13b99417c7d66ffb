// Partitioning of the buffer into leaves, the per-dimension rings, rebinding
// and the recursive halving/doubling schedules, under mpiexec over several
// process counts and topologies, for both element types.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "qor_exception.h"
#include "qor_message.h"
#include "qor_test_support.h"
#include "sw_test_support.h"

namespace {

using namespace sw_test;

std::string join(const std::vector<int>& sizes) {
  std::string text;
  for (size_t i = 0; i < sizes.size(); ++i) text += (i ? "x" : "") + std::to_string(sizes[i]);
  return text;
}

// Every ordered way to write n as a product of one to four factors.
std::vector<std::vector<int>> factorizations(int n) {
  std::vector<std::vector<int>> all;
  std::vector<int> current;
  std::function<void(int)> extend = [&](int rest) {
    if (!current.empty() && rest == 1) all.push_back(current);
    if (current.size() == 4) return;
    for (int f = 1; f <= rest; ++f) {
      if (rest % f != 0) continue;
      // Trailing ones are trimmed by the hardware layer: leave them out.
      if (f == 1 && rest == 1 && !current.empty()) continue;
      current.push_back(f);
      extend(rest / f);
      current.pop_back();
    }
  };
  extend(n);
  return all;
}

// Checks everything that must hold after partitioning `count` elements:
// offsets, rings, the chain of segments through the dimensions, the
// mixed-radix leaf numbering, and that the processes agree on one layout.
template <class T>
void check_partition(const qor_hw& hw, const qor_sw<T>& sw, int count, MPI_Comm comm) {
  const int n = hw._size;
  // The collectives come first, so that a failed assertion on one process
  // cannot leave the others waiting.
  std::vector<int> off = sw._part_off;
  off.resize(static_cast<size_t>(n) + 1, -1);
  int own_leaf = 0;
  for (size_t d = 0, stride = static_cast<size_t>(n); d < hw._dim.size(); ++d) {
    stride /= static_cast<size_t>(hw._dim[d]._size);
    own_leaf += hw._dim[d]._rank * static_cast<int>(stride);
  }
  std::vector<int> all(off.size() * static_cast<size_t>(n));
  MPI_Allgather(off.data(), static_cast<int>(off.size()), MPI_INT, all.data(),
                static_cast<int>(off.size()), MPI_INT, comm);
  std::vector<int> leaves(static_cast<size_t>(n));
  MPI_Allgather(&own_leaf, 1, MPI_INT, leaves.data(), 1, MPI_INT, comm);

  ASSERT_EQ(sw._part_off.size(), off.size());
  EXPECT_EQ(off.front(), 0);
  EXPECT_EQ(off.back(), count);
  EXPECT_EQ(sw._buf_size, count);
  for (int i = 0; i < n; ++i) EXPECT_LE(off[i], off[i + 1]) << "leaf " << i;

  ASSERT_EQ(sw._rings.size(), hw._dim.size());
  int product = 1;
  int leaf = 0;
  int stride = n;
  int segment_off = 0;
  int segment_len = count;
  for (size_t d = 0; d < hw._dim.size(); ++d) {
    SCOPED_TRACE("dimension " + std::to_string(d));
    const int size = hw._dim[d]._size;
    const int rank = hw._dim[d]._rank;
    const qor_ring& R = sw._rings[d];
    product *= size;
    stride /= size;
    leaf += rank * stride;
    EXPECT_EQ(R._next, (rank + 1) % size);
    EXPECT_EQ(R._prev, (rank + size - 1) % size);
    ASSERT_EQ(R._net_size.size(), static_cast<size_t>(size));
    ASSERT_EQ(R._net_disp.size(), static_cast<size_t>(size) + 1);
    EXPECT_EQ(R._net_off, segment_off);
    EXPECT_EQ(R._net_disp[0], 0);
    for (int j = 0; j < size; ++j) EXPECT_EQ(R._net_disp[j + 1], R._net_disp[j] + R._net_size[j]);
    EXPECT_EQ(R._net_disp.back(), segment_len);
    // Leading parts: equal, aligned, as large as alignment allows.
    const int align = qor_hw::_align_part;
    const int leading = segment_len / size / align * align;
    for (int j = 0; j + 1 < size; ++j) EXPECT_EQ(R._net_size[j], leading) << "part " << j;
    EXPECT_EQ(R._net_size.back(), segment_len - (size - 1) * leading);
    EXPECT_GE(R._net_size.back(), R._net_size.front());
    EXPECT_EQ(R._diff_net_size, R._net_size.back() - R._net_size.front());
    segment_off += R._net_disp[rank];
    segment_len = R._net_size[rank];
  }
  EXPECT_EQ(product, n);
  // The part kept after the last dimension is this process's leaf.
  EXPECT_EQ(off[leaf], segment_off);
  EXPECT_EQ(off[leaf + 1] - off[leaf], segment_len);

  EXPECT_EQ(leaf, own_leaf);
  // One layout everywhere, and every leaf owned by exactly one process.
  for (int p = 0; p < n; ++p) {
    EXPECT_TRUE(std::equal(off.begin(), off.end(), all.begin() + p * (n + 1)))
        << "process " << p << " partitioned differently";
  }
  std::sort(leaves.begin(), leaves.end());
  for (int p = 0; p < n; ++p) EXPECT_EQ(leaves[p], p);
}

// Checks the schedules against the rings they come from.
template <class T>
void check_schedules(const qor_hw& hw, const qor_sw<T>& sw) {
  ASSERT_TRUE(sw.rcs_enabled());
  ASSERT_EQ(sw._rcs.size(), hw._dim.size());
  for (size_t d = 0; d < hw._dim.size(); ++d) {
    SCOPED_TRACE("dimension " + std::to_string(d));
    const int size = hw._dim[d]._size;
    const int rank = hw._dim[d]._rank;
    const qor_ring& R = sw._rings[d];
    const qor_rcs& S = sw._rcs[d];
    int depth = 0;
    while ((1 << depth) < size) ++depth;
    if ((1 << depth) != size || size < 2 || size > 1024) depth = 0;
    for (const std::vector<int>* list :
         {&S._my_off, &S._partner_off, &S._my_size, &S._partner_size, &S._partner_rank}) {
      EXPECT_EQ(list->size(), static_cast<size_t>(depth));
    }
    if (depth == 0 || S._my_size.size() != static_cast<size_t>(depth)) continue;
    int own = R._net_size[rank];
    for (int k = 0; k < depth; ++k) {
      const int w = 1 << k;
      const int partner = rank ^ w;
      const int g = rank / w * w;
      const int p = partner / w * w;
      int partner_len = 0;
      for (int j = p; j < p + w; ++j) partner_len += R._net_size[j];
      EXPECT_EQ(S._partner_rank[k], partner) << "step " << k;
      EXPECT_EQ(S._my_off[k], R._net_disp[g]) << "step " << k;
      EXPECT_EQ(S._partner_off[k], R._net_disp[p]) << "step " << k;
      EXPECT_EQ(S._my_size[k], own) << "step " << k;
      EXPECT_EQ(S._partner_size[k], partner_len) << "step " << k;
      own += partner_len;
    }
    EXPECT_EQ(S._my_size.back() + S._partner_size.back(), R._net_disp.back());
  }
}

template <class T>
class SwPartition : public layer_test {};
TYPED_TEST_SUITE(SwPartition, element_types, type_names);

TYPED_TEST(SwPartition, WorkedExampleOverTwoByTwo) {
  MPI_Comm group = split_groups(4);
  if (group == MPI_COMM_NULL) return;  // fewer than four processes left here
  {
    auto l = make_layer<TypeParam>("-mode r:2x2 -align_part 64", 1000, group);
    const qor_hw& hw = *l.hw;
    auto& sw = *l.sw;
    EXPECT_EQ(sw._part_off, (std::vector<int>{0, 192, 448, 704, 1000}));
    EXPECT_EQ(sw.get_buf_off(2), 448);
    EXPECT_EQ(sw.get_buf_size(3), 296);
    EXPECT_EQ(sw.get_buf(1), static_cast<TypeParam*>(l.buf->get()) + 192);
    ASSERT_EQ(sw._rings.size(), 2u);
    const int r0 = hw._dim[0]._rank;
    const int r1 = hw._dim[1]._rank;
    const qor_ring& d0 = sw._rings[0];
    EXPECT_EQ(d0._net_size, (std::vector<int>{448, 552}));
    EXPECT_EQ(d0._net_disp, (std::vector<int>{0, 448, 1000}));
    EXPECT_EQ(d0._diff_net_size, 104);
    EXPECT_EQ(d0._net_off, 0);
    EXPECT_EQ(d0._next, 1 - r0);
    EXPECT_EQ(d0._prev, 1 - r0);
    const qor_ring& d1 = sw._rings[1];
    if (r0 == 1) {
      EXPECT_EQ(d1._net_size, (std::vector<int>{256, 296}));
      EXPECT_EQ(d1._net_disp, (std::vector<int>{0, 256, 552}));
      EXPECT_EQ(d1._diff_net_size, 40);
      EXPECT_EQ(d1._net_off, 448);
    } else {
      EXPECT_EQ(d1._net_size, (std::vector<int>{192, 256}));
      EXPECT_EQ(d1._net_disp, (std::vector<int>{0, 192, 448}));
      EXPECT_EQ(d1._diff_net_size, 64);
      EXPECT_EQ(d1._net_off, 0);
    }
    EXPECT_EQ(d1._next, 1 - r1);
    check_partition(hw, sw, 1000, group);
  }
  MPI_Comm_free(&group);
}

TYPED_TEST(SwPartition, BufferBelowSizeTimesAlignmentGoesToTheLastPart) {
  for (int count : {0, 1, 63, this->size_ * 64 - 1}) {
    SCOPED_TRACE("count " + std::to_string(count));
    auto l = make_layer<TypeParam>("-mode r -align_part 64", count);
    const qor_ring& R = l.sw->_rings.at(0);
    for (int j = 0; j + 1 < this->size_; ++j) EXPECT_EQ(R._net_size[j], 0);
    EXPECT_EQ(R._net_size.back(), count);
    EXPECT_EQ(R._diff_net_size, this->size_ > 1 ? count : 0);
    for (int i = 0; i < this->size_; ++i) EXPECT_EQ(l.sw->_part_off[i], 0);
    check_partition(*l.hw, *l.sw, count, MPI_COMM_WORLD);
  }
  // The same inside one dimension of two: the first dimension cuts evenly,
  // the second cannot.
  if (this->size_ % 2 == 0 && this->size_ > 2) {
    const int inner = this->size_ / 2;
    auto l = make_layer<TypeParam>("-mode r:2x" + std::to_string(inner) + " -align_part 16",
                                   2 * 16 * inner - 32);
    const qor_ring& R = l.sw->_rings.at(1);
    for (int j = 0; j + 1 < inner; ++j) EXPECT_EQ(R._net_size[j], 0);
    EXPECT_EQ(R._net_size.back(), l.sw->_rings[0]._net_size[l.hw->_dim[0]._rank]);
    check_partition(*l.hw, *l.sw, 2 * 16 * inner - 32, MPI_COMM_WORLD);
  }
}

TYPED_TEST(SwPartition, DimensionsOfOneProcess) {
  const std::string n = std::to_string(this->size_);
  for (const std::string& topology : {"1x" + n, n + "x1", "1x1x" + n + "x1"}) {
    SCOPED_TRACE(topology);
    auto l = make_layer<TypeParam>("-mode r:" + topology + " -align_part 4", 999);
    for (size_t d = 0; d < l.hw->_dim.size(); ++d) {
      if (l.hw->_dim[d]._size != 1) continue;
      const qor_ring& R = l.sw->_rings[d];
      EXPECT_EQ(R._next, 0);
      EXPECT_EQ(R._prev, 0);
      ASSERT_EQ(R._net_size.size(), 1u);
      // One part: the whole segment the dimension works on.
      EXPECT_EQ(R._net_disp, (std::vector<int>{0, R._net_size[0]}));
      EXPECT_EQ(R._diff_net_size, 0);
    }
    check_partition(*l.hw, *l.sw, 999, MPI_COMM_WORLD);
  }
  if (this->size_ == 1) {
    auto l = make_layer<TypeParam>("-mode r", 1234);
    ASSERT_EQ(l.sw->_rings.size(), 1u);
    const qor_ring& R = l.sw->_rings[0];
    EXPECT_EQ(R._next, 0);
    EXPECT_EQ(R._prev, 0);
    EXPECT_EQ(R._net_size, (std::vector<int>{1234}));
    EXPECT_EQ(R._net_off, 0);
    EXPECT_EQ(l.sw->_part_off, (std::vector<int>{0, 1234}));
  }
}

TYPED_TEST(SwPartition, RandomSizesAndTopologiesKeepTheInvariants) {
  // The same seed everywhere: every process draws the same cases.
  std::mt19937 random(20240611u + static_cast<unsigned>(this->size_));
  std::vector<std::vector<int>> topologies = factorizations(this->size_);
  std::shuffle(topologies.begin(), topologies.end(), random);
  if (topologies.size() > 8) topologies.resize(8);
  const int aligns[] = {1, 3, 8, 64};
  for (const std::vector<int>& topology : topologies) {
    const int align = aligns[random() % 4];
    const std::string mode = "rc:" + join(topology);
    SCOPED_TRACE(mode + " align " + std::to_string(align));
    auto l = make_layer<TypeParam>("-mode " + mode + " -align_part " + std::to_string(align), 0);
    // A layer over no elements: all offsets 0, empty parts.
    check_partition(*l.hw, *l.sw, 0, MPI_COMM_WORLD);
    l.sw->enable_rcs();
    std::vector<int> counts = {1, 7, 100, 1000, 4099, this->size_ * align, this->size_ * align - 1};
    for (int i = 0; i < 8; ++i) counts.push_back(static_cast<int>(random() % 200000));
    for (int count : counts) {
      SCOPED_TRACE("count " + std::to_string(count));
      l.sw->update_buf(static_cast<TypeParam*>(l.buf->get()), count);
      check_partition(*l.hw, *l.sw, count, MPI_COMM_WORLD);
      check_schedules(*l.hw, *l.sw);
    }
  }
}

TYPED_TEST(SwPartition, UpdateBufRebindsOrRepartitions) {
  const std::string options = "-mode c:" + std::to_string(this->size_) + " -align_part 8";
  auto l = make_layer<TypeParam>(options, 1000);
  auto& sw = *l.sw;
  sw.enable_rcs();
  sw._best_rs_algo = {3};
  sw._best_ag_algo = {4};
  const std::vector<int> offsets = sw._part_off;
  const std::vector<qor_ring> rings = sw._rings;
  const std::vector<qor_rcs> schedules = sw._rcs;

  // Same size, another buffer: only the pointer changes.
  buffer other(*l.hw, 1000 * sizeof(TypeParam));
  sw.update_buf(static_cast<TypeParam*>(other.get()), 1000);
  EXPECT_EQ(sw._buf_base, static_cast<TypeParam*>(other.get()));
  EXPECT_EQ(sw._part_off, offsets);
  EXPECT_TRUE(same_rings(sw._rings, rings));
  EXPECT_TRUE(same_schedules(sw._rcs, schedules));

  // A new size: as if built for it, schedules included.
  for (int count : {777, 5, 100000, 1000}) {
    SCOPED_TRACE("count " + std::to_string(count));
    buffer fresh_buf(*l.hw, static_cast<size_t>(count) * sizeof(TypeParam));
    sw.update_buf(static_cast<TypeParam*>(fresh_buf.get()), count);
    qor_sw<TypeParam> fresh(*l.hw, static_cast<TypeParam*>(fresh_buf.get()), count, 0);
    fresh.enable_rcs();
    EXPECT_EQ(sw._part_off, fresh._part_off);
    EXPECT_TRUE(same_rings(sw._rings, fresh._rings));
    EXPECT_TRUE(same_schedules(sw._rcs, fresh._rcs));
    check_schedules(*l.hw, sw);
    sw.update_buf(static_cast<TypeParam*>(l.buf->get()), count);
  }
  EXPECT_EQ(sw._part_off, offsets);
  EXPECT_TRUE(same_rings(sw._rings, rings));
  EXPECT_TRUE(same_schedules(sw._rcs, schedules));
  EXPECT_EQ(sw._best_rs_algo, std::vector<int>{3});
  EXPECT_EQ(sw._best_ag_algo, std::vector<int>{4});

  // Without schedules a repartition builds none.
  sw.disable_rcs();
  EXPECT_FALSE(sw.rcs_enabled());
  sw.update_buf(sw._buf_base, 500);
  EXPECT_TRUE(sw._rcs.empty());
}

TYPED_TEST(SwPartition, NegativeSizeIsRefused) {
  auto hw = make_hw("-mode r -dbg_level 1");
  buffer buf(*hw, 64 * sizeof(TypeParam));
  auto* base = static_cast<TypeParam*>(buf.get());
  {
    qor_test::stderr_capture capture;
    try {
      qor_sw<TypeParam> sw(*hw, base, -1, 0);
      ADD_FAILURE() << "a layer over -1 elements was built";
    } catch (const QORException& e) {
      EXPECT_EQ(e.status, 6);
      EXPECT_EQ(e.id, 6);
      EXPECT_EQ(std::string(e.what()), "A QOR error has occurred on host " + qor::host_name() + ".");
    }
    const std::string log = capture.take();
    const auto lines = traces(log);
    ASSERT_EQ(lines.size(), 1u) << log;
    EXPECT_EQ(lines[0].severity, 'E');
    EXPECT_EQ(lines[0].text, "invalid buffer size -1");
    EXPECT_NE(log.find(message_line(6, "A QOR error has occurred on host " + qor::host_name() + ".")),
              std::string::npos);
  }
  qor_sw<TypeParam> sw(*hw, base, 64, 0);
  const std::vector<int> offsets = sw._part_off;
  qor_test::stderr_capture capture;
  EXPECT_THROW(sw.update_buf(base + 1, -64), QORException);
  capture.take();
  EXPECT_EQ(sw._buf_base, base);
  EXPECT_EQ(sw._buf_size, 64);
  EXPECT_EQ(sw._part_off, offsets);
}

// A partition that the partitioner never makes, to reach the ring check.
template <class T>
void craft(qor_sw<T>& sw, const std::vector<int>& leaves) {
  int at = 0;
  for (size_t i = 0; i < leaves.size(); ++i) {
    sw._part_off[i] = at;
    at += leaves[i];
  }
  sw._part_off[leaves.size()] = at;
  sw._buf_size = at;
}

TYPED_TEST(SwPartition, RingCheckRefusesAnInvalidPartition) {
  auto l = make_layer<TypeParam>("-mode r -dbg_level 2", 100);
  auto& sw = *l.sw;
  const int rank = l.hw->_rank;
  struct crafted {
    std::vector<int> leaves;
    int line;  // 0: valid
  };
  std::vector<crafted> cases;
  if (this->size_ == 1) {
    cases.push_back({{17}, 0});  // one part is always valid
  } else {
    std::vector<int> short_last(static_cast<size_t>(this->size_), 10);
    short_last.back() = 5;
    cases.push_back({short_last, 140});
    std::vector<int> longer_last(static_cast<size_t>(this->size_), 10);
    longer_last.back() = 30;
    cases.push_back({longer_last, 0});
    if (this->size_ > 2) {
      std::vector<int> unequal(static_cast<size_t>(this->size_), 10);
      unequal[1] = 11;
      unequal.back() = 40;
      cases.push_back({unequal, 134});
      // Unequal leading parts are reported even when the last one is short.
      unequal.back() = 1;
      cases.push_back({unequal, 134});
    }
  }
  for (const crafted& c : cases) {
    SCOPED_TRACE("line " + std::to_string(c.line));
    craft(sw, c.leaves);
    for (const char* debug : {"0", "1"}) {
      setenv("QOR_DEBUG", debug, 1);
      qor_test::stderr_capture capture;
      int line = 0;
      try {
        sw.enable_ring();
      } catch (const QORException& e) {
        line = e.line;
        EXPECT_EQ(e.status, 15);
        EXPECT_EQ(e.id, 15);
        EXPECT_EQ(e.file, "qor_sw.cpp");
        EXPECT_EQ(std::string(e.what()), "[MPI: " + std::to_string(rank) + "] Invalid partitioning.\n");
      }
      const std::string log = capture.take();
      EXPECT_EQ(line, c.line) << log;
      const auto dumped = traces_at(log, 39);
      if (c.line == 0) {
        EXPECT_TRUE(dumped.empty()) << log;
        EXPECT_EQ(log.find("QOR-1-15"), std::string::npos);
        continue;
      }
      // The ring's parts first, then the message.
      ASSERT_EQ(dumped.size(), c.leaves.size()) << log;
      for (size_t j = 0; j < dumped.size(); ++j) {
        EXPECT_EQ(dumped[j].severity, 'D');
        EXPECT_EQ(dumped[j].rank, rank);
        EXPECT_EQ(dumped[j].text,
                  "_net_size[" + std::to_string(j) + "]=" + std::to_string(c.leaves[j]));
      }
      const std::string message =
          message_line(15, "[MPI: " + std::to_string(rank) + "] Invalid partitioning.\n");
      const std::string position =
          std::string(debug) == "1" ? "[QOR DEBUG] qor_sw.cpp:" + std::to_string(c.line) : "";
      const size_t at = log.find(position + message);
      EXPECT_NE(at, std::string::npos) << log;
      EXPECT_LT(log.rfind("_net_size["), at);
    }
  }
  unsetenv("QOR_DEBUG");
  // Only checked from debug level 2 on.
  if (this->size_ > 2) {
    l.hw->_dbg_level = 1;
    std::vector<int> unequal(static_cast<size_t>(this->size_), 10);
    unequal[0] = 11;
    unequal.back() = 40;
    craft(sw, unequal);
    qor_test::stderr_capture capture;
    EXPECT_NO_THROW(sw.enable_ring());
    EXPECT_EQ(capture.take(), "");
  }
}

TYPED_TEST(SwPartition, SchedulesOfTheFourProcessExample) {
  MPI_Comm group = split_groups(4);
  if (group == MPI_COMM_NULL) return;  // fewer than four processes left here
  {
    // Alignment 10 cuts 43 elements into 10, 10, 10, 13.
    auto l = make_layer<TypeParam>("-mode c:4 -align_part 10", 43, group);
    auto& sw = *l.sw;
    EXPECT_FALSE(sw.rcs_enabled());
    sw.enable_rcs();
    ASSERT_EQ(sw._rings[0]._net_disp, (std::vector<int>{0, 10, 20, 30, 43}));
    const qor_rcs& S = sw._rcs.at(0);
    const int rank = l.hw->_dim[0]._rank;
    if (rank == 1) {
      EXPECT_EQ(S._partner_rank, (std::vector<int>{0, 3}));
      EXPECT_EQ(S._my_off, (std::vector<int>{10, 0}));
      EXPECT_EQ(S._my_size, (std::vector<int>{10, 20}));
      EXPECT_EQ(S._partner_off, (std::vector<int>{0, 20}));
      EXPECT_EQ(S._partner_size, (std::vector<int>{10, 23}));
    } else if (rank == 3) {
      EXPECT_EQ(S._partner_rank, (std::vector<int>{2, 1}));
      EXPECT_EQ(S._my_off, (std::vector<int>{30, 20}));
      EXPECT_EQ(S._my_size, (std::vector<int>{13, 23}));
      EXPECT_EQ(S._partner_off, (std::vector<int>{20, 0}));
      EXPECT_EQ(S._partner_size, (std::vector<int>{10, 20}));
    }
    check_schedules(*l.hw, sw);
    // Partners pair up: my partner at step k has me as its partner.
    std::vector<int> partners(8);
    MPI_Allgather(S._partner_rank.data(), 2, MPI_INT, partners.data(), 2, MPI_INT, group);
    for (int k = 0; k < 2; ++k) EXPECT_EQ(partners[S._partner_rank[k] * 2 + k], rank);
    sw.disable_rcs();
    EXPECT_FALSE(sw.rcs_enabled());
    EXPECT_TRUE(sw._rcs.empty());
  }
  MPI_Comm_free(&group);
}

TYPED_TEST(SwPartition, ScheduleDepthFollowsTheDimensionSize) {
  auto l = make_layer<TypeParam>("-mode c", 100);
  auto& sw = *l.sw;
  qor::network::qor_dim& D = l.hw->_dim[0];
  const int saved_size = D._size;
  const int saved_rank = D._rank;
  const qor_ring saved_ring = sw._rings[0];
  // Dimensions of 1024, 2048 and 6 processes, simulated on the records.
  struct sized {
    int size;
    int depth;
  };
  for (sized c : {sized{1024, 10}, sized{2048, 0}, sized{6, 0}, sized{2, 1}, sized{512, 9}}) {
    SCOPED_TRACE("size " + std::to_string(c.size));
    D._size = c.size;
    D._rank = c.size * 2 / 3 | 1;
    qor_ring& R = sw._rings[0];
    R._net_size.assign(static_cast<size_t>(c.size), 3);
    R._net_size.back() = 11;
    R._net_disp.assign(1, 0);
    for (int n : R._net_size) R._net_disp.push_back(R._net_disp.back() + n);
    sw.disable_rcs();
    sw.enable_rcs();
    ASSERT_EQ(sw._rcs.size(), 1u);
    EXPECT_EQ(sw._rcs[0]._partner_rank.size(), static_cast<size_t>(c.depth));
    check_schedules(*l.hw, sw);
  }
  sw.disable_rcs();
  D._size = saved_size;
  D._rank = saved_rank;
  sw._rings[0] = saved_ring;
}

TYPED_TEST(SwPartition, ScheduleOfOneDimensionDirectly) {
  auto l = make_layer<TypeParam>("-mode c", 0);
  // Eight parts of 5 and a last one of 9, rank 6.
  std::vector<int> cnt = {5, 5, 5, 5, 5, 5, 5, 9};
  std::vector<int> disp = {0};
  for (int n : cnt) disp.push_back(disp.back() + n);
  std::vector<int> partner(3), my_off(3), my_size(3), partner_off(3), partner_size(3);
  l.sw->enable_rcs(3, disp.data(), cnt.data(), 6, partner.data(), my_off.data(), my_size.data(),
                   partner_off.data(), partner_size.data());
  EXPECT_EQ(partner, (std::vector<int>{7, 4, 2}));
  EXPECT_EQ(my_off, (std::vector<int>{30, 30, 20}));
  EXPECT_EQ(my_size, (std::vector<int>{5, 14, 24}));
  EXPECT_EQ(partner_off, (std::vector<int>{35, 20, 0}));
  EXPECT_EQ(partner_size, (std::vector<int>{9, 10, 20}));
  EXPECT_EQ(my_size.back() + partner_size.back(), disp.back());
}

TEST(SwRcsRecord, ResizeKeepsEntriesAndZeroesNewOnes) {
  qor_rcs S;
  EXPECT_TRUE(S._my_off.empty());
  S.resize(2);
  S._my_off = {4, 5};
  S._partner_rank = {1, 2};
  S.resize(3);
  for (const std::vector<int>* list :
       {&S._my_off, &S._partner_off, &S._my_size, &S._partner_size, &S._partner_rank}) {
    EXPECT_EQ(list->size(), 3u);
    EXPECT_EQ(list->back(), 0);
  }
  EXPECT_EQ(S._my_off[1], 5);
  EXPECT_EQ(S._partner_rank[0], 1);
  S.resize(0);
  EXPECT_TRUE(S._partner_rank.empty());
}

TEST(SwRing, InitSetsNeighboursAndEmptyParts) {
  struct c {
    int rank, size, next, prev;
  };
  for (c x : {c{0, 1, 0, 0}, c{0, 4, 1, 3}, c{3, 4, 0, 2}, c{1, 2, 0, 0}, c{2, 5, 3, 1}}) {
    qor_ring R;
    EXPECT_EQ(R._next, -1);
    EXPECT_EQ(R._net_off, -1);
    R.init(x.rank, x.size);
    EXPECT_EQ(R._next, x.next);
    EXPECT_EQ(R._prev, x.prev);
    EXPECT_EQ(R._net_size, std::vector<int>(static_cast<size_t>(x.size), 0));
    EXPECT_EQ(R._net_disp, std::vector<int>(static_cast<size_t>(x.size) + 1, 0));
    EXPECT_EQ(R._net_off, 0);
    EXPECT_EQ(R._diff_net_size, 0);
  }
}

TEST(SwTypes, MpiTypesAndTheAxpyScale) {
  EXPECT_EQ(qor::network::mpi_type<float>(), MPI_FLOAT);
  EXPECT_EQ(qor::network::mpi_type<__half>(), MPI_SHORT);
  int bytes = 0;
  MPI_Type_size(qor::network::mpi_type<__half>(), &bytes);
  EXPECT_EQ(bytes, 2);
  EXPECT_EQ(qor::network::QOR_ONE, 1.0f);
}

}  // namespace
