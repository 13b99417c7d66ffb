// The software layer's own memory: the scratch buffer and its growth, the
// residue buffer, construction and its trace line, and release.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qor_exception.h"
#include "qor_test_support.h"
#include "sw_test_support.h"


namespace {

using namespace sw_test;

// Whether device allocations are counted: GPU mode on the emulation.
constexpr bool counted = gpu_mode && emulated_flavour;

template <class T>
std::vector<T> read_back(const qor_hw& hw, const T* source, size_t n) {
  std::vector<T> values(n);
  from_layer(hw, values.data(), source, n * sizeof(T));
  return values;
}

template <class T>
class SwBuffers : public layer_test {};
TYPED_TEST_SUITE(SwBuffers, element_types, type_names);

TYPED_TEST(SwBuffers, ConstructionStartsEmptyAndTracesByLevel) {
  const std::string desc = "rc:" + std::to_string(this->size_);
  for (int level : {0, 1, 2, 5, 6}) {
    SCOPED_TRACE("dbg_level " + std::to_string(level));
    auto hw = make_hw("-mode " + desc + " -dbg_level " + std::to_string(level));
    buffer buf(*hw, 50 * sizeof(TypeParam));
    qor_test::stderr_capture capture;
    auto sw = std::make_unique<qor_sw<TypeParam>>(*hw, static_cast<TypeParam*>(buf.get()), 50, 3);
    const std::string log = capture.take();
    EXPECT_EQ(sw->_hw, hw.get());
    EXPECT_EQ(sw->_pipe_id, 3);
    EXPECT_EQ(sw->_buf_base, static_cast<TypeParam*>(buf.get()));
    EXPECT_EQ(sw->_buf_size, 50);
    EXPECT_EQ(sw->_residue, nullptr);
    EXPECT_FALSE(sw->residue_available());
    EXPECT_EQ(sw->_temp_buf, nullptr);
    EXPECT_EQ(sw->_temp_buf_size, 0u);
    EXPECT_TRUE(sw->_rcs.empty());
    EXPECT_TRUE(sw->_best_rs_algo.empty());
    EXPECT_TRUE(sw->_best_ag_algo.empty());
    const bool on = this->rank_ == 0 ? level >= 2 : level >= 6;
    const auto lines = traces(log);
    if (!on) {
      EXPECT_TRUE(lines.empty()) << log;
      continue;
    }
    // Written before the buffer is attached.
    ASSERT_EQ(lines.size(), 1u) << log;
    EXPECT_EQ(lines[0].severity, 'D');
    EXPECT_EQ(lines[0].line, 22);
    EXPECT_EQ(lines[0].rank, this->rank_);
    EXPECT_EQ(lines[0].text, "qor_sw created " + pointer_text(sw.get()) + " _buf_base=" +
                                 pointer_text(nullptr) + " _buf_size=0 _hw->_desc=" + desc);
  }
}

TYPED_TEST(SwBuffers, ScratchBufferGrowsWithHeadroom) {
  auto l = make_layer<TypeParam>("-mode r -dbg_level 2", 300);
  auto& sw = *l.sw;
  const std::string device = std::to_string(l.hw->_device);
  const long base = live_device_allocations();
  {
    qor_test::stderr_capture capture;
    EXPECT_EQ(sw.get_temp_buf(0), nullptr);
    EXPECT_EQ(capture.take(), "");
  }
  qor_test::stderr_capture capture;
  TypeParam* first = sw.get_temp_buf(100);
  std::string log = capture.take();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(sw._temp_buf, first);
  EXPECT_EQ(sw._temp_buf_size, 110u);
  if (counted) {
    EXPECT_EQ(live_device_allocations(), base + 1);
  }
  auto lines = traces(log);
  if (this->rank_ == 0) {
    ASSERT_EQ(lines.size(), 1u) << log;
    EXPECT_EQ(lines[0].severity, 'D');
    EXPECT_EQ(lines[0].line, 262);
    EXPECT_EQ(lines[0].rank, 0);
    EXPECT_EQ(lines[0].text, "allocating _temp_buf_size=110 on device=" + device);
  } else {
    EXPECT_TRUE(lines.empty()) << log;
  }

  // Reused, contents included, up to its capacity.
  const std::vector<TypeParam> values = pattern<TypeParam>(110, 4);
  to_layer(*l.hw, first, values.data(), 110 * sizeof(TypeParam));
  qor_test::stderr_capture quiet;
  EXPECT_EQ(sw.get_temp_buf(105), first);
  EXPECT_EQ(sw.get_temp_buf(110), first);
  EXPECT_EQ(quiet.take(), "");
  EXPECT_EQ(sw._temp_buf_size, 110u);
  EXPECT_EQ(bytes_of(read_back(*l.hw, first, 110)), bytes_of(values));

  l.hw->_dbg_level = 6;  // every process traces from 6 on
  qor_test::stderr_capture again;
  TypeParam* second = sw.get_temp_buf(111);
  log = again.take();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(sw._temp_buf_size, 122u);
  if (counted) {
    EXPECT_EQ(live_device_allocations(), base + 1);  // the old one went
  }
  lines = traces_at(log, 262);
  ASSERT_EQ(lines.size(), 1u) << log;
  EXPECT_EQ(lines[0].text, "allocating _temp_buf_size=122 on device=" + device);
  // The whole capacity is usable.
  const std::vector<TypeParam> more = pattern<TypeParam>(122, 5);
  to_layer(*l.hw, second, more.data(), 122 * sizeof(TypeParam));
  EXPECT_EQ(bytes_of(read_back(*l.hw, second, 122)), bytes_of(more));

  l.hw->_dbg_level = 0;
  EXPECT_NE(sw.get_temp_buf(100000), nullptr);
  EXPECT_EQ(sw._temp_buf_size, 110000u);
  // A repartition leaves the scratch buffer alone.
  TypeParam* kept = sw._temp_buf;
  sw.update_buf(sw._buf_base, 10);
  EXPECT_EQ(sw._temp_buf, kept);
  EXPECT_EQ(sw._temp_buf_size, 110000u);
}

TYPED_TEST(SwBuffers, ScratchRequestBeyondTheAddressSpaceIsRefused) {
  auto l = make_layer<TypeParam>("-mode r", 10);
  auto& sw = *l.sw;
  TypeParam* first = sw.get_temp_buf(100);
  for (size_t n : {SIZE_MAX, SIZE_MAX / 2, SIZE_MAX / sizeof(TypeParam)}) {
    SCOPED_TRACE(n);
    qor_test::stderr_capture capture;
    try {
      sw.get_temp_buf(n);
      ADD_FAILURE() << "no exception";
    } catch (const QORException& e) {
      EXPECT_EQ(e.status, 6);
      EXPECT_EQ(e.id, 6);
    }
    const std::string log = capture.take();
    const auto lines = traces(log);
    ASSERT_EQ(lines.size(), 1u) << log;
    EXPECT_EQ(lines[0].severity, 'E');
    EXPECT_NE(lines[0].text.find("cannot allocate"), std::string::npos);
    EXPECT_NE(log.find(message_line(6, "A QOR error has occurred on host " + qor::host_name() + ".")),
              std::string::npos);
    // The scratch buffer in hand is kept.
    EXPECT_EQ(sw._temp_buf, first);
    EXPECT_EQ(sw._temp_buf_size, 110u);
  }
}

TYPED_TEST(SwBuffers, ResidueIsAllocatedZeroFilledOnce) {
  auto l = make_layer<TypeParam>("-mode r -dbg_level 6", 1000);
  auto& sw = *l.sw;
  const long base = live_device_allocations();
  EXPECT_FALSE(sw.residue_available());
  qor_test::stderr_capture capture;
  TypeParam* residue = sw.get_residue();
  std::string log = capture.take();
  ASSERT_NE(residue, nullptr);
  EXPECT_TRUE(sw.residue_available());
  EXPECT_EQ(sw._residue, residue);
  if (counted) {
    EXPECT_EQ(live_device_allocations(), base + 1);
  }
  auto lines = traces(log);
  ASSERT_EQ(lines.size(), 1u) << log;
  EXPECT_EQ(lines[0].severity, 'D');
  EXPECT_EQ(lines[0].line, 245);
  EXPECT_EQ(lines[0].rank, this->rank_);
  EXPECT_EQ(lines[0].text, "allocating _residue=1000 on device=" + std::to_string(l.hw->_device));
  const std::vector<unsigned char> zeros(1000 * sizeof(TypeParam), 0);
  EXPECT_EQ(bytes_of(read_back(*l.hw, residue, 1000)), zeros);

  // Later requests hand out the same buffer with what it holds.
  const std::vector<TypeParam> values = pattern<TypeParam>(1000, 6);
  to_layer(*l.hw, residue, values.data(), 1000 * sizeof(TypeParam));
  qor_test::stderr_capture quiet;
  EXPECT_EQ(sw.get_residue(), residue);
  buffer other(*l.hw, 1000 * sizeof(TypeParam));
  sw.update_buf(static_cast<TypeParam*>(other.get()), 1000);
  EXPECT_EQ(sw.get_residue(), residue);
  EXPECT_EQ(quiet.take(), "");
  EXPECT_EQ(bytes_of(read_back(*l.hw, residue, 1000)), bytes_of(values));
  if (counted) {
    EXPECT_EQ(live_device_allocations(), base + 2);  // and the other buffer
  }
  sw.update_buf(static_cast<TypeParam*>(l.buf->get()), 1000);
}

TYPED_TEST(SwBuffers, ResidueFollowsANewBufferSize) {
  auto l = make_layer<TypeParam>("-mode r -dbg_level 6", 1000);
  auto& sw = *l.sw;
  const long base = live_device_allocations();
  const std::vector<TypeParam> values = pattern<TypeParam>(1000, 7);
  to_layer(*l.hw, sw.get_residue(), values.data(), 1000 * sizeof(TypeParam));

  // Growing keeps what was accumulated and adds zeros.
  buffer larger(*l.hw, 1500 * sizeof(TypeParam));
  qor_test::stderr_capture capture;
  sw.update_buf(static_cast<TypeParam*>(larger.get()), 1500);
  const std::string log = capture.take();
  const auto lines = traces_at(log, 245);
  ASSERT_EQ(lines.size(), 1u) << log;
  EXPECT_EQ(lines[0].text, "allocating _residue=1500 on device=" + std::to_string(l.hw->_device));
  ASSERT_TRUE(sw.residue_available());
  std::vector<unsigned char> expected = bytes_of(values);
  expected.resize(1500 * sizeof(TypeParam), 0);
  EXPECT_EQ(bytes_of(read_back(*l.hw, sw._residue, 1500)), expected);
  if (counted) {
    EXPECT_EQ(live_device_allocations(), base + 2);  // residue and the larger buffer
  }

  // Shrinking keeps the prefix.
  sw.update_buf(static_cast<TypeParam*>(l.buf->get()), 600);
  expected.resize(600 * sizeof(TypeParam));
  EXPECT_EQ(bytes_of(read_back(*l.hw, sw._residue, 600)), expected);
  if (counted) {
    EXPECT_EQ(live_device_allocations(), base + 2);
  }

  // Without a residue a new size allocates none.
  auto m = make_layer<TypeParam>("-mode r", 100);
  m.sw->update_buf(m.sw->_buf_base, 50);
  EXPECT_FALSE(m.sw->residue_available());
}

TYPED_TEST(SwBuffers, DestructionReleasesOwnedBuffersOnly) {
  auto hw = make_hw("-mode r");
  buffer buf(*hw, 500 * sizeof(TypeParam));
  const std::vector<TypeParam> values = pattern<TypeParam>(500, 8);
  to_layer(*hw, buf.get(), values.data(), 500 * sizeof(TypeParam));
  const long base = live_device_allocations();
  {
    qor_sw<TypeParam> sw(*hw, static_cast<TypeParam*>(buf.get()), 500, 0);
    ASSERT_NE(sw.get_temp_buf(64), nullptr);
    ASSERT_NE(sw.get_residue(), nullptr);
    if (counted) {
      EXPECT_EQ(live_device_allocations(), base + 2);
    }
  }
  if (counted) {
    EXPECT_EQ(live_device_allocations(), base);
  }
  // The caller's buffer is untouched and still the caller's (its release
  // is checked when `buf` goes).
  EXPECT_EQ(bytes_of(read_back(*hw, static_cast<const TypeParam*>(buf.get()), 500)),
            bytes_of(values));
  // Two layers on one hardware layer, released in any order.
  auto first = std::make_unique<qor_sw<TypeParam>>(*hw, static_cast<TypeParam*>(buf.get()), 500, 0);
  auto second = std::make_unique<qor_sw<TypeParam>>(*hw, static_cast<TypeParam*>(buf.get()), 250, 1);
  first->get_temp_buf(10);
  second->get_temp_buf(20);
  second->get_residue();
  first.reset();
  EXPECT_NE(second->get_temp_buf(20), nullptr);
  second.reset();
  if (counted) {
    EXPECT_EQ(live_device_allocations(), base);
  }
}

}  // namespace
