// Ring and recursive traversals over real processes: reduce-scatter and
// allgather on every dimension of every grid the process count allows, alone
// and chained through all dimensions, with data that shows a block landing in
// the wrong place.  Built twice: for host-CPU mode (both flavours; the host
// sum) and for GPU mode (the GPU sum and bitwise OR; needs a device, and MPI
// that takes device memory when there are several processes).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "allreduce_data.h"
#include "qor_exception.h"
#include "qor_test_support.h"
#include "traversal_test_support.h"

#ifndef QOR_TRAVERSAL_GPU_MODE
#error "QOR_TRAVERSAL_GPU_MODE must be 0 (host-CPU mode) or 1 (GPU mode)"
#endif

namespace {

using namespace traversal_test;

constexpr bool gpu_mode = QOR_TRAVERSAL_GPU_MODE != 0;
// The sum the engine uses in this mode.
constexpr OPR sum_op = gpu_mode ? QOR_MDR_SUM : QOR_MDR_HOST_SUM;

std::string options_for(const std::string& mode) {
  return std::string(gpu_mode ? "-cpu_only 0" : "-cpu_only 1") + " -mode " + mode;
}

// Skips GPU-mode cases where they cannot run, with the reason.
#define REQUIRE_MODE()                                                          \
  do {                                                                          \
    if (gpu_mode) {                                                             \
      QOR_REQUIRE_DEVICE();                                                     \
      std::string why_;                                                         \
      if (world_size() > 1 && !mpi_takes_device_memory(&why_)) GTEST_SKIP() << why_; \
    }                                                                           \
  } while (0)

// --- data -------------------------------------------------------------------

template <class T>
float input_value(int world, size_t i);
template <>
float input_value<float>(int world, size_t i) {
  return qor_test::float_value(world, i);
}
template <>
float input_value<__half>(int world, size_t i) {
  return qor_test::half_value(world, i);
}

inline float as_float(float v) { return v; }
inline float as_float(__half v) { return __half2float(v); }
template <class T>
T from_float(float v);
template <>
float from_float<float>(float v) {
  return v;
}
template <>
__half from_float<__half>(float v) {
  return __float2half(v);
}

template <class T>
std::vector<T> input(int world, size_t n) {
  std::vector<T> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = from_float<T>(input_value<T>(world, i));
  return v;
}

// Sum of the inputs of `members` at element i; exact for these values.
template <class T>
float sum_over(const std::vector<int>& members, size_t i) {
  float s = 0.0f;
  for (int w : members) s += input_value<T>(w, i);
  return s;
}

std::vector<int> all_ranks() {
  std::vector<int> r(static_cast<size_t>(world_size()));
  for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<int>(i);
  return r;
}

// First element of [begin, end) that differs from expect(i), as a message;
// empty when all match.
template <class T>
std::string mismatch(const std::vector<T>& got, size_t begin, size_t end,
                     const std::function<float(size_t)>& expect) {
  for (size_t i = begin; i < end; ++i) {
    const float e = expect(i);
    if (as_float(got[i]) != e) {
      return "element " + std::to_string(i) + " is " + std::to_string(as_float(got[i])) +
             ", expected " + std::to_string(e);
    }
  }
  return "";
}

// --- one dimension, passes by algorithm ---------------------------------------

enum class algo { ring, rcs };

const char* name_of(algo a) { return a == algo::ring ? "ring" : "rcs"; }

template <class T, bool DBG>
void reduce_scatter(qor_sw<T>& sw, algo a, int d, qor_stat* stat = nullptr) {
  if (a == algo::ring) {
    ring_reduce_scatter<T, sum_op, DBG>(sw, d, 11 + d, stat);
  } else {
    rcs_reduce_scatter<T, sum_op, DBG>(sw, d, 11 + d, stat);
  }
}

template <class T, bool DBG>
void allgather(qor_sw<T>& sw, algo a, int d, qor_stat* stat = nullptr) {
  if (a == algo::ring) {
    ring_allgather<T, DBG>(sw, d, 21 + d, stat);
  } else {
    rcs_allgather<T, DBG>(sw, d, 21 + d, stat);
  }
}

bool power_of_two(int n) { return qor_hw::get_rcs_depth(n) > 0; }

// Whether this process can reduce T in this mode: the host sum is float only.
template <class T>
constexpr bool reducible() {
  return gpu_mode || std::is_same<T, float>::value;
}

// --- cases ----------------------------------------------------------------------

// Reduce-scatter, then allgather, over dimension d alone, on a fresh buffer.
template <class T, bool DBG>
void one_dimension(const std::string& mode, size_t n, algo a) {
  std::unique_ptr<qor_hw> hw = make_hw(options_for(mode));
  const int me = world_rank();
  engine_buffer<T> buf(*hw, n);
  qor_sw<T> sw(*hw, buf.get(), static_cast<int>(n), 0);
  if (a == algo::rcs) sw.enable_rcs();
  for (int d = 0; d < static_cast<int>(hw->_dim.size()); ++d) {
    auto& D = hw->_dim[static_cast<size_t>(d)];
    if (a == algo::rcs && !power_of_two(D._size)) continue;
    SCOPED_TRACE(std::string(name_of(a)) + " on dimension " + std::to_string(d) + " of " + mode +
                 (DBG ? ", bounded waits" : ""));
    const std::vector<int> members = dimension_members(*hw, d);
    auto& R = sw._rings[static_cast<size_t>(d)];
    const size_t seg = static_cast<size_t>(R._net_off);
    const size_t seg_end = seg + static_cast<size_t>(R._net_disp.back());
    const size_t own = seg + static_cast<size_t>(R._net_disp[static_cast<size_t>(D._rank)]);
    const size_t own_end = own + static_cast<size_t>(R._net_size[static_cast<size_t>(D._rank)]);
    auto unchanged = [&](size_t i) { return input_value<T>(me, i); };
    auto reduced = [&](size_t i) { return sum_over<T>(members, i); };

    buf.write(input<T>(me, n));
    reduce_scatter<T, DBG>(sw, a, d);
    std::vector<T> got = buf.read();
    EXPECT_EQ(mismatch(got, own, own_end, reduced), "") << "own part after reduce-scatter";
    EXPECT_EQ(mismatch(got, 0, seg, unchanged), "") << "before the segment";
    EXPECT_EQ(mismatch(got, seg_end, n, unchanged), "") << "after the segment";

    allgather<T, DBG>(sw, a, d);
    got = buf.read();
    EXPECT_EQ(mismatch(got, seg, seg_end, reduced), "") << "segment after allgather";
    EXPECT_EQ(mismatch(got, 0, seg, unchanged), "") << "before the segment";
    EXPECT_EQ(mismatch(got, seg_end, n, unchanged), "") << "after the segment";
  }
}

// Reduce-scatter through dimensions 0..n-1, each on the segment the process
// keeps, then allgather back n-1..0: every element holds the sum over all
// processes.  `rs` and `ag` pick the algorithm of each phase (RCS where the
// dimension allows it, else the ring).
template <class T, bool DBG>
void chained(const std::string& mode, size_t n, algo rs, algo ag) {
  std::unique_ptr<qor_hw> hw = make_hw(options_for(mode));
  const int me = world_rank();
  const int dims = static_cast<int>(hw->_dim.size());
  engine_buffer<T> buf(*hw, n);
  qor_sw<T> sw(*hw, buf.get(), static_cast<int>(n), 0);
  sw.enable_rcs();
  auto pick = [&](algo a, int d) {
    return a == algo::rcs && power_of_two(hw->_dim[static_cast<size_t>(d)]._size) ? algo::rcs
                                                                                 : algo::ring;
  };
  SCOPED_TRACE(std::string("reduce-scatter by ") + name_of(rs) + ", allgather by " + name_of(ag) +
               " over " + mode + (DBG ? ", bounded waits" : ""));
  buf.write(input<T>(me, n));
  for (int d = 0; d < dims; ++d) reduce_scatter<T, DBG>(sw, pick(rs, d), d);

  // The leaf this process owns, by the mixed-radix numbering of the grid.
  int leaf = 0;
  int stride = hw->_size;
  for (auto& D : hw->_dim) {
    stride /= D._size;
    leaf += D._rank * stride;
  }
  auto& last = sw._rings.back();
  auto& LD = hw->_dim.back();
  const size_t own = static_cast<size_t>(last._net_off + last._net_disp[static_cast<size_t>(LD._rank)]);
  ASSERT_EQ(own, static_cast<size_t>(sw.get_buf_off(leaf)));
  ASSERT_EQ(last._net_size[static_cast<size_t>(LD._rank)], sw.get_buf_size(leaf));
  const std::vector<int> everyone = all_ranks();
  auto total = [&](size_t i) { return sum_over<T>(everyone, i); };
  std::vector<T> got = buf.read();
  EXPECT_EQ(mismatch(got, own, own + static_cast<size_t>(sw.get_buf_size(leaf)), total), "")
      << "own leaf after the reduce-scatter chain";

  for (int d = dims - 1; d >= 0; --d) allgather<T, DBG>(sw, pick(ag, d), d);
  got = buf.read();
  EXPECT_EQ(mismatch(got, 0, n, total), "") << "whole buffer after the allgather chain";
}

// Allgather alone: each process fills only its own part of the segment
// (sentinels elsewhere); afterwards every part holds its owner's values.
template <class T, bool DBG>
void allgather_alone(const std::string& mode, size_t n, algo a) {
  std::unique_ptr<qor_hw> hw = make_hw(options_for(mode));
  const int me = world_rank();
  engine_buffer<T> buf(*hw, n);
  qor_sw<T> sw(*hw, buf.get(), static_cast<int>(n), 0);
  if (a == algo::rcs) sw.enable_rcs();
  for (int d = 0; d < static_cast<int>(hw->_dim.size()); ++d) {
    auto& D = hw->_dim[static_cast<size_t>(d)];
    if (a == algo::rcs && !power_of_two(D._size)) continue;
    SCOPED_TRACE(std::string(name_of(a)) + " allgather on dimension " + std::to_string(d) +
                 " of " + mode + (DBG ? ", bounded waits" : ""));
    const std::vector<int> members = dimension_members(*hw, d);
    auto& R = sw._rings[static_cast<size_t>(d)];
    const size_t seg = static_cast<size_t>(R._net_off);
    std::vector<T> data(n, from_float<T>(-1.0f));
    for (int p = 0; p < D._size; ++p) {
      if (p != D._rank) continue;
      for (int j = 0; j < R._net_size[static_cast<size_t>(p)]; ++j) {
        const size_t i = seg + static_cast<size_t>(R._net_disp[static_cast<size_t>(p)] + j);
        data[i] = from_float<T>(input_value<T>(me, i));
      }
    }
    buf.write(data);
    allgather<T, DBG>(sw, a, d);
    std::vector<T> got = buf.read();
    for (int p = 0; p < D._size; ++p) {
      const size_t b = seg + static_cast<size_t>(R._net_disp[static_cast<size_t>(p)]);
      const size_t e = b + static_cast<size_t>(R._net_size[static_cast<size_t>(p)]);
      const int owner = members[static_cast<size_t>(p)];
      EXPECT_EQ(mismatch(got, b, e, [&](size_t i) { return input_value<T>(owner, i); }), "")
          << "part " << p;
    }
    const size_t seg_end = seg + static_cast<size_t>(R._net_disp.back());
    auto sentinel = [](size_t) { return -1.0f; };
    EXPECT_EQ(mismatch(got, 0, seg, sentinel), "") << "before the segment";
    EXPECT_EQ(mismatch(got, seg_end, n, sentinel), "") << "after the segment";
  }
}

// --- parameterised suites -------------------------------------------------------

// Element type ('f' float, 'h' half) and buffer length.
using case_t = std::tuple<char, size_t>;

std::string case_name(const testing::TestParamInfo<case_t>& info) {
  return std::string(std::get<0>(info.param) == 'f' ? "float_" : "half_") +
         std::to_string(std::get<1>(info.param));
}

// Lengths: empty, shorter than one aligned part per process (all but the
// last part empty), and longer ones whose last part is longer than the rest.
const std::vector<size_t> lengths = {0, 5, 1003, 40009};

class Reduction : public testing::TestWithParam<case_t> {
 protected:
  void SetUp() override { REQUIRE_MODE(); }
};

class Gather : public Reduction {};

#define DISPATCH(elem, CALL)                 \
  do {                                       \
    if ((elem) == 'f') {                     \
      using T = float;                       \
      CALL;                                  \
    } else {                                 \
      using T = __half;                      \
      CALL;                                  \
    }                                        \
  } while (0)

TEST_P(Reduction, RingOnEachDimensionAlone) {
  const auto [elem, n] = GetParam();
  for (const std::string& mode : topologies(world_size())) {
    DISPATCH(elem, (one_dimension<T, false>(mode, n, algo::ring)));
    DISPATCH(elem, (one_dimension<T, true>(mode, n, algo::ring)));
  }
}

TEST_P(Reduction, RcsOnEachPowerOfTwoDimensionAlone) {
  const auto [elem, n] = GetParam();
  for (const std::string& mode : topologies(world_size())) {
    DISPATCH(elem, (one_dimension<T, false>(mode, n, algo::rcs)));
    DISPATCH(elem, (one_dimension<T, true>(mode, n, algo::rcs)));
  }
}

TEST_P(Reduction, ChainedThroughAllDimensions) {
  const auto [elem, n] = GetParam();
  for (const std::string& mode : topologies(world_size())) {
    DISPATCH(elem, (chained<T, false>(mode, n, algo::ring, algo::ring)));
    DISPATCH(elem, (chained<T, false>(mode, n, algo::rcs, algo::rcs)));
    // The two algorithms leave the same layout, so they combine.
    DISPATCH(elem, (chained<T, true>(mode, n, algo::ring, algo::rcs)));
    DISPATCH(elem, (chained<T, true>(mode, n, algo::rcs, algo::ring)));
  }
}

TEST_P(Gather, EveryPartArrivesFromItsOwner) {
  const auto [elem, n] = GetParam();
  for (const std::string& mode : topologies(world_size())) {
    DISPATCH(elem, (allgather_alone<T, false>(mode, n, algo::ring)));
    DISPATCH(elem, (allgather_alone<T, true>(mode, n, algo::rcs)));
  }
}

// The host sum exists for float only; in GPU mode both types reduce.
INSTANTIATE_TEST_SUITE_P(Lengths, Reduction,
                         testing::Combine(testing::ValuesIn(gpu_mode ? std::vector<char>{'f', 'h'}
                                                                     : std::vector<char>{'f'}),
                                          testing::ValuesIn(lengths)),
                         case_name);
INSTANTIATE_TEST_SUITE_P(Lengths, Gather,
                         testing::Combine(testing::Values('f', 'h'), testing::ValuesIn(lengths)),
                         case_name);

// --- hand-built partitions --------------------------------------------------------

// Parts of any lengths, empty ones included, in the order of the ranks: the
// traversal must take every part's own length from the count list.  With a
// large `base` the blocks travel as several pieces of unequal lengths.
template <class T, bool DBG>
void hand_built(algo a, int base = 17) {
  std::unique_ptr<qor_hw> hw = make_hw(options_for("r"));
  const int me = world_rank();
  const int size = world_size();
  std::vector<int> count(static_cast<size_t>(size));
  std::vector<int> disp(static_cast<size_t>(size) + 1, 0);
  for (int j = 0; j < size; ++j) {
    count[static_cast<size_t>(j)] = j % 3 == 1 ? 0 : base + 9 * ((j * 5) % 7);
    disp[static_cast<size_t>(j) + 1] = disp[static_cast<size_t>(j)] + count[static_cast<size_t>(j)];
  }
  const size_t n = static_cast<size_t>(disp.back()) + 6;  // 3 guard elements each side
  engine_buffer<T> buf(*hw, n);
  qor_sw<T> sw(*hw, buf.get(), static_cast<int>(n), 0);
  auto& D = hw->_dim[0];
  const int largest = *std::max_element(count.begin(), count.end());
  T* tmp = sw.get_temp_buf(static_cast<size_t>(largest));
  T* seg = buf.get() + 3;
  buf.write(input<T>(me, n));
  const std::vector<int> everyone = all_ranks();
  auto total = [&](size_t i) { return sum_over<T>(everyone, i); };
  auto unchanged = [&](size_t i) { return input_value<T>(me, i); };

  if (a == algo::ring) {
    const int prev = me == 0 ? size - 1 : me - 1;
    const int next = me + 1 == size ? 0 : me + 1;
    sw.template ring_traversal<sum_op, DBG>(reduce_stream(*hw), 0, me, size, D._comm, next, prev,
                                            prev, 5, seg, disp.data(), count.data(), tmp, nullptr);
    std::vector<T> got = buf.read();
    const size_t own = 3 + static_cast<size_t>(disp[static_cast<size_t>(me)]);
    EXPECT_EQ(mismatch(got, own, own + static_cast<size_t>(count[static_cast<size_t>(me)]), total),
              "");
    sw.template ring_traversal<QOR_MDR_NONE, DBG>(nullptr, 0, me, size, D._comm, next, prev, me,
                                                  6, seg, disp.data(), count.data(), nullptr,
                                                  nullptr);
  } else {
    // The schedule of these parts, built by the engine from the lists.
    const int s = qor_hw::get_rcs_depth(size);
    std::vector<int> partner(static_cast<size_t>(s)), my_off(static_cast<size_t>(s)),
        my_size(static_cast<size_t>(s)), partner_off(static_cast<size_t>(s)),
        partner_size(static_cast<size_t>(s));
    sw.enable_rcs(s, disp.data(), count.data(), me, partner.data(), my_off.data(),
                  my_size.data(), partner_off.data(), partner_size.data());
    T* scratch = sw.get_temp_buf(static_cast<size_t>(my_size.back()));
    sw.template recur_traversal<sum_op, DBG>(reduce_stream(*hw), 0, me, s, D._comm,
                                             partner.data(), 5, seg, partner_off.data(),
                                             partner_size.data(), my_off.data(), my_size.data(),
                                             scratch, nullptr);
    sw.template recur_traversal<QOR_MDR_NONE, DBG>(nullptr, 0, me, s, D._comm, partner.data(), 6,
                                                   seg, my_off.data(), my_size.data(),
                                                   partner_off.data(), partner_size.data(),
                                                   nullptr, nullptr);
  }
  std::vector<T> got = buf.read();
  EXPECT_EQ(mismatch(got, 3, n - 3, total), "");
  EXPECT_EQ(mismatch(got, 0, 3, unchanged), "") << "guard before";
  EXPECT_EQ(mismatch(got, n - 3, n, unchanged), "") << "guard after";
}

class HandBuiltParts : public testing::Test {
 protected:
  void SetUp() override { REQUIRE_MODE(); }
};

TEST_F(HandBuiltParts, RingTakesEachPartsOwnLength) {
  hand_built<float, false>(algo::ring);
  hand_built<float, true>(algo::ring);
  if constexpr (gpu_mode) hand_built<__half, false>(algo::ring);
}

// Over 1 MiB a block summed on the host is cut into pieces (2.4 MiB of
// float, not a whole number of pieces); in GPU mode these are large single
// messages.
constexpr int multi_piece_base = 600011;

TEST_F(HandBuiltParts, RingFoldsBlocksSentInPieces) {
  hand_built<float, false>(algo::ring, multi_piece_base);
  hand_built<float, true>(algo::ring, multi_piece_base);
  if constexpr (gpu_mode) hand_built<__half, false>(algo::ring, multi_piece_base);
}

TEST_F(HandBuiltParts, RcsFoldsBlocksSentInPieces) {
  // Other sizes have no schedule; RcsTakesEachGroupsOwnLength covers that.
  if (!power_of_two(world_size())) return;
  hand_built<float, false>(algo::rcs, multi_piece_base);
  if constexpr (gpu_mode) hand_built<__half, true>(algo::rcs, multi_piece_base);
}

TEST_F(HandBuiltParts, RcsTakesEachGroupsOwnLength) {
  if (!power_of_two(world_size())) {
    // Nothing to exchange: an empty schedule returns at once.
    std::unique_ptr<qor_hw> hw = make_hw(options_for("r"));
    std::vector<float> host(4, 3.0f);
    qor_sw<float> sw(*hw, host.data(), 4, 0);
    qor_stat stat;
    EXPECT_EQ((sw.recur_traversal<sum_op, false>(nullptr, 0, 0, 0, hw->_dim[0]._comm, nullptr, 1,
                                                 host.data(), nullptr, nullptr, nullptr, nullptr,
                                                 nullptr, &stat)),
              QOR_SUCCESS);
    EXPECT_EQ(stat._count, 0);
    EXPECT_EQ(host, std::vector<float>(4, 3.0f));
    return;
  }
  hand_built<float, false>(algo::rcs);
  hand_built<float, true>(algo::rcs);
  if constexpr (gpu_mode) hand_built<__half, true>(algo::rcs);
}

// --- statistics -------------------------------------------------------------------

void expect_row(const qor_stat& st, int i, char kind, int d, char tag, double sent, double received,
                bool reducing) {
  SCOPED_TRACE("statistics row " + std::to_string(i));
  EXPECT_EQ(st._algo[static_cast<size_t>(i)], kind);
  EXPECT_EQ(st._dim_id[static_cast<size_t>(i)], d);
  EXPECT_EQ(st._tag[static_cast<size_t>(i)], tag);
  EXPECT_EQ(st._send[static_cast<size_t>(i)], sent);
  EXPECT_EQ(st._recv[static_cast<size_t>(i)], received);
  EXPECT_GE(st._call[static_cast<size_t>(i)], 0.0);
  EXPECT_GE(st._wait[static_cast<size_t>(i)], 0.0);
  if (reducing) {
    EXPECT_GE(st._op[static_cast<size_t>(i)], 0.0);
  } else {
    EXPECT_EQ(st._op[static_cast<size_t>(i)], 0.0);
  }
  EXPECT_GE(st._time[static_cast<size_t>(i)], 0.0);
  if (i > 0) {
    EXPECT_GE(st._time[static_cast<size_t>(i)], st._time[static_cast<size_t>(i) - 1]);
  }
}

class Statistics : public testing::TestWithParam<char> {
 protected:
  void SetUp() override { REQUIRE_MODE(); }
};

template <class T>
void ring_statistics() {
  for (const std::string& mode : topologies(world_size())) {
    SCOPED_TRACE(mode);
    std::unique_ptr<qor_hw> hw = make_hw(options_for(mode));
    const size_t n = 1003;
    engine_buffer<T> buf(*hw, n);
    qor_sw<T> sw(*hw, buf.get(), static_cast<int>(n), 0);
    buf.write(input<T>(world_rank(), n));
    for (int d = 0; d < static_cast<int>(hw->_dim.size()); ++d) {
      auto& D = hw->_dim[static_cast<size_t>(d)];
      auto& R = sw._rings[static_cast<size_t>(d)];
      const int size = D._size;
      const int r = D._rank;
      auto part_bytes = [&](int p) {
        return static_cast<double>(R._net_size[static_cast<size_t>(((p % size) + size) % size)]) *
               static_cast<double>(sizeof(T));
      };
      qor_stat st;
      if constexpr (reducible<T>()) {
        ring_reduce_scatter<T, sum_op, true>(sw, d, 3, &st);
        ASSERT_EQ(st._count, size - 1);
        for (int s = 0; s < size - 1; ++s) {
          expect_row(st, s, 'r', d, ' ', part_bytes(r - 1 - s), part_bytes(r - 2 - s), true);
        }
      }
      st.reset();
      ring_allgather<T, false>(sw, d, 4, &st);
      ASSERT_EQ(st._count, size - 1);
      for (int s = 0; s < size - 1; ++s) {
        expect_row(st, s, 'r', d, ' ', part_bytes(r - s), part_bytes(r - 1 - s), false);
      }
    }
  }
}

template <class T>
void rcs_statistics() {
  for (const std::string& mode : topologies(world_size())) {
    SCOPED_TRACE(mode);
    std::unique_ptr<qor_hw> hw = make_hw(options_for(mode));
    const size_t n = 40009;
    engine_buffer<T> buf(*hw, n);
    qor_sw<T> sw(*hw, buf.get(), static_cast<int>(n), 0);
    sw.enable_rcs();
    buf.write(input<T>(world_rank(), n));
    for (int d = 0; d < static_cast<int>(hw->_dim.size()); ++d) {
      if (!power_of_two(hw->_dim[static_cast<size_t>(d)]._size)) continue;
      auto& S = sw._rcs[static_cast<size_t>(d)];
      const int s = static_cast<int>(S._my_size.size());
      auto bytes = [](int count) { return static_cast<double>(count) * sizeof(T); };
      qor_stat st;
      if constexpr (reducible<T>()) {
        rcs_reduce_scatter<T, sum_op, false>(sw, d, 3, &st);
        ASSERT_EQ(st._count, s);
        for (int step = 0; step < s; ++step) {
          const size_t k = static_cast<size_t>(s - 1 - step);
          expect_row(st, step, 'c', d, static_cast<char>('0' + step),
                        bytes(S._partner_size[k]), bytes(S._my_size[k]), true);
        }
      }
      st.reset();
      rcs_allgather<T, true>(sw, d, 4, &st);
      ASSERT_EQ(st._count, s);
      for (int step = 0; step < s; ++step) {
        const size_t k = static_cast<size_t>(step);
        expect_row(st, step, 'c', d, static_cast<char>('0' + step), bytes(S._my_size[k]),
                      bytes(S._partner_size[k]), false);
      }
    }
  }
}

TEST_P(Statistics, RingRecordsOneRowPerStepWithItsParts) {
  DISPATCH(GetParam(), ring_statistics<T>());
}

TEST_P(Statistics, RcsRecordsOneRowPerStepWithItsGroups) {
  DISPATCH(GetParam(), rcs_statistics<T>());
}

INSTANTIATE_TEST_SUITE_P(Types, Statistics, testing::Values('f', 'h'),
                         [](const testing::TestParamInfo<char>& info) {
                           return std::string(info.param == 'f' ? "float" : "half");
                         });

// --- dimensions of one process ------------------------------------------------------

class LoneDimension : public testing::Test {
 protected:
  void SetUp() override { REQUIRE_MODE(); }
};

// A dimension of one process returns before any transfer and records
// nothing; the buffer is left as it was.
TEST_F(LoneDimension, ReturnsAtOnceWithoutStatistics) {
  const std::string mode = world_size() == 1 ? "r" : "r:1x" + std::to_string(world_size());
  std::unique_ptr<qor_hw> hw = make_hw(options_for(mode));
  ASSERT_EQ(hw->_dim[0]._size, 1);
  const size_t n = 77;
  engine_buffer<float> buf(*hw, n);
  qor_sw<float> sw(*hw, buf.get(), static_cast<int>(n), 0);
  sw.enable_rcs();
  const std::vector<float> data = input<float>(world_rank(), n);
  buf.write(data);
  qor_stat st;
  ring_reduce_scatter<float, sum_op, false>(sw, 0, 3, &st);
  ring_reduce_scatter<float, sum_op, true>(sw, 0, 3, &st);
  ring_allgather<float, false>(sw, 0, 4, &st);
  ring_allgather<float, true>(sw, 0, 4, &st);
  EXPECT_TRUE(sw._rcs[0]._my_size.empty());
  rcs_reduce_scatter<float, sum_op, false>(sw, 0, 3, &st);
  rcs_allgather<float, true>(sw, 0, 4, &st);
  EXPECT_EQ(st._count, 0);
  EXPECT_EQ(buf.read(), data);
}

#if !QOR_TRAVERSAL_GPU_MODE

// --- the host sum on half precision ------------------------------------------------

// A half layer without a GPU cannot sum on the host: every process of the
// dimension fails alike with message 18 before anything is sent, the buffer
// stays as it was, and the communicator is clean for the next pass.
TEST(HalfHostSum, FailsInOrderWithStatus18) {
  std::unique_ptr<qor_hw> hw = make_hw(options_for("r"));
  const int me = world_rank();
  const size_t n = 1003;
  engine_buffer<__half> buf(*hw, n);
  qor_sw<__half> sw(*hw, buf.get(), static_cast<int>(n), 0);
  sw.enable_rcs();
  const std::vector<__half> data = input<__half>(me, n);
  const std::string text = "[MPI: " + std::to_string(me) +
                           "] Mode 'm' does not currently support half-precision floating point.";
  auto expect_failure = [&](const std::function<void()>& pass, const char* what) {
    SCOPED_TRACE(what);
    buf.write(data);
    qor_test::stderr_capture capture;
    bool threw = false;
    try {
      pass();
    } catch (const QORException& e) {
      threw = true;
      EXPECT_EQ(e.status, 18);
      EXPECT_EQ(e.id, 18);
      EXPECT_EQ(std::string(e.what()), text);
    }
    const std::string log = capture.take();
    EXPECT_EQ(threw, world_size() > 1) << "a dimension of one process has nothing to sum";
    if (world_size() > 1) {
      EXPECT_NE(log.find(message_line(18, text)), std::string::npos) << log;
    }
    std::vector<__half> got = buf.read();
    EXPECT_EQ(std::memcmp(got.data(), data.data(), n * sizeof(__half)), 0);
  };
  expect_failure([&] { ring_reduce_scatter<__half, QOR_MDR_HOST_SUM, false>(sw, 0, 3, nullptr); },
                 "ring");
  if (power_of_two(world_size())) {
    expect_failure(
        [&] { rcs_reduce_scatter<__half, QOR_MDR_HOST_SUM, true>(sw, 0, 3, nullptr); }, "rcs");
  }
  // Nothing was left in flight: an allgather on the same communicator with
  // the same tag still gathers exactly the owners' parts.
  auto& R = sw._rings[0];
  std::vector<__half> own(n, __float2half(-1.0f));
  const size_t b = static_cast<size_t>(R._net_disp[static_cast<size_t>(me)]);
  const size_t e = b + static_cast<size_t>(R._net_size[static_cast<size_t>(me)]);
  for (size_t i = b; i < e; ++i) own[i] = data[i];
  buf.write(own);
  ring_allgather<__half, false>(sw, 0, 3, nullptr);
  std::vector<__half> got = buf.read();
  for (int p = 0; p < world_size(); ++p) {
    const size_t pb = static_cast<size_t>(R._net_disp[static_cast<size_t>(p)]);
    const size_t pe = pb + static_cast<size_t>(R._net_size[static_cast<size_t>(p)]);
    EXPECT_EQ(mismatch(got, pb, pe, [&](size_t i) { return input_value<__half>(p, i); }), "")
        << "part " << p;
  }
}

#endif

#if QOR_TRAVERSAL_GPU_MODE

// --- bitwise OR on raw bit patterns -------------------------------------------------

// Bit patterns: one bit per process of the dimension in the low byte, the
// element index above it; float patterns stay ordinary numbers (exponent of
// 1.0, sign from the index), so MPI carries them unchanged either way.
uint32_t float_bits(int world, size_t i) {
  return (static_cast<uint32_t>(i & 1) << 31) | 0x3f800000u |
         (static_cast<uint32_t>(i % 32749) << 8) | (1u << (world % 8));
}
uint16_t half_bits(int world, size_t i) {
  return static_cast<uint16_t>((static_cast<unsigned>(i % 251) << 8) | (1u << (world % 8)));
}

template <class T, class Bits>
void bitwise_or(Bits bits_of) {
  for (const std::string& mode : topologies(world_size())) {
    std::unique_ptr<qor_hw> hw = make_hw(options_for(mode));
    const int me = world_rank();
    const size_t n = 4099;
    engine_buffer<T> buf(*hw, n);
    qor_sw<T> sw(*hw, buf.get(), static_cast<int>(n), 0);
    sw.enable_rcs();
    for (int d = 0; d < static_cast<int>(hw->_dim.size()); ++d) {
      for (algo a : {algo::ring, algo::rcs}) {
        if (a == algo::rcs && !power_of_two(hw->_dim[static_cast<size_t>(d)]._size)) continue;
        SCOPED_TRACE(std::string(name_of(a)) + " on dimension " + std::to_string(d) + " of " +
                     mode);
        std::vector<T> data(n);
        for (size_t i = 0; i < n; ++i) {
          auto b = bits_of(me, i);
          std::memcpy(static_cast<void*>(&data[i]), &b, sizeof b);
        }
        buf.write(data);
        if (a == algo::ring) {
          ring_reduce_scatter<T, QOR_MDR_BOR, false>(sw, d, 3, nullptr);
          ring_allgather<T, false>(sw, d, 4, nullptr);
        } else {
          rcs_reduce_scatter<T, QOR_MDR_BOR, true>(sw, d, 3, nullptr);
          rcs_allgather<T, false>(sw, d, 4, nullptr);
        }
        const std::vector<int> members = dimension_members(*hw, d);
        auto& R = sw._rings[static_cast<size_t>(d)];
        const size_t seg = static_cast<size_t>(R._net_off);
        const size_t seg_end = seg + static_cast<size_t>(R._net_disp.back());
        std::vector<T> got = buf.read();
        for (size_t i = 0; i < n; ++i) {
          decltype(bits_of(0, 0)) expect = bits_of(me, i);
          if (i >= seg && i < seg_end) {
            for (int w : members) expect = static_cast<decltype(expect)>(expect | bits_of(w, i));
          }
          decltype(expect) have;
          std::memcpy(&have, &got[i], sizeof have);
          ASSERT_EQ(have, expect) << "element " << i;
        }
      }
    }
  }
}

class BitwiseOr : public testing::Test {
 protected:
  void SetUp() override { REQUIRE_MODE(); }
};

TEST_F(BitwiseOr, FloatPatternsOverEveryDimension) { bitwise_or<float>(float_bits); }
TEST_F(BitwiseOr, HalfPatternsOverEveryDimension) { bitwise_or<__half>(half_bits); }

#endif

}  // namespace
