// binary16 conversions of the GPU emulation, checked against bit patterns
// known from IEEE 754 and against a reference that rounds in double by
// picking the nearest of the neighbouring binary16 values.
#include <cuda_fp16.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

uint32_t float_bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

float bits_float(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

uint16_t to_bits(float f) { return __half_as_ushort(__float2half_rn(f)); }

bool half_is_nan(uint16_t h) { return (h & 0x7c00u) == 0x7c00u && (h & 0x03ffu) != 0; }

// Value of a finite binary16 pattern, decoded from its fields in double.
double half_value(uint16_t h) {
  int exponent = (h >> 10) & 0x1f;
  int mantissa = h & 0x3ff;
  double magnitude = exponent == 0 ? std::ldexp(mantissa, -24)
                                   : std::ldexp(1024 + mantissa, exponent - 25);
  return (h & 0x8000u) ? -magnitude : magnitude;
}

// Every non-negative finite binary16 value in increasing order, followed by
// 2^16 standing for the pattern 0x7c00: IEEE rounds to infinity exactly when
// a value would round to 2^16 with an unbounded exponent.
struct half_table {
  std::vector<double> values;
  std::vector<uint16_t> patterns;
  half_table() {
    for (uint32_t h = 0; h <= 0x7bffu; ++h) {
      values.push_back(half_value(static_cast<uint16_t>(h)));
      patterns.push_back(static_cast<uint16_t>(h));
    }
    values.push_back(65536.0);
    patterns.push_back(0x7c00u);
  }
};

const half_table& table() {
  static const half_table t;
  return t;
}

// Reference float -> binary16 for non-NaN input: nearest of the two
// neighbouring table entries, a tie going to the even pattern.
uint16_t reference_to_bits(float f) {
  const uint16_t sign = std::signbit(f) ? 0x8000u : 0;
  const double a = std::fabs(static_cast<double>(f));
  const auto& t = table();
  if (a >= 65536.0) return sign | 0x7c00u;
  auto upper = std::lower_bound(t.values.begin(), t.values.end(), a);
  size_t hi = static_cast<size_t>(upper - t.values.begin());
  if (t.values[hi] == a || hi == 0) return sign | t.patterns[hi];
  size_t lo = hi - 1;
  double below = a - t.values[lo];
  double above = t.values[hi] - a;
  uint16_t pick;
  if (below < above) {
    pick = t.patterns[lo];
  } else if (above < below) {
    pick = t.patterns[hi];
  } else {
    pick = (t.patterns[lo] & 1u) == 0 ? t.patterns[lo] : t.patterns[hi];
  }
  return sign | pick;
}

struct known_conversion {
  const char* name;
  float input;
  uint16_t expected;
};

std::ostream& operator<<(std::ostream& os, const known_conversion& c) { return os << c.name; }

class KnownConversion : public ::testing::TestWithParam<known_conversion> {};

TEST_P(KnownConversion, FloatToHalfGivesThePattern) {
  const known_conversion& c = GetParam();
  EXPECT_EQ(to_bits(c.input), c.expected) << std::hex << "input bits 0x" << float_bits(c.input);
  EXPECT_EQ(__half_as_ushort(__float2half(c.input)), c.expected);
}

TEST_P(KnownConversion, PatternWidensBackToTheRoundedValue) {
  const known_conversion& c = GetParam();
  float widened = __half2float(__ushort_as_half(c.expected));
  if (c.expected == 0x7c00u || c.expected == 0xfc00u) {
    EXPECT_TRUE(std::isinf(widened));
    EXPECT_EQ(std::signbit(widened), (c.expected & 0x8000u) != 0);
  } else {
    EXPECT_EQ(static_cast<double>(widened), half_value(c.expected));
    EXPECT_EQ(std::signbit(widened), (c.expected & 0x8000u) != 0);
  }
}

const known_conversion known_conversions[] = {
    {"one", 1.0f, 0x3c00},
    {"minus_two", -2.0f, 0xc000},
    {"zero", 0.0f, 0x0000},
    {"minus_zero", -0.0f, 0x8000},
    {"largest_finite", 65504.0f, 0x7bff},
    {"just_below_overflow_tie", 65519.0f, 0x7bff},
    {"overflow_tie_to_infinity", 65520.0f, 0x7c00},
    {"large_to_infinity", 1.0e6f, 0x7c00},
    {"float_max_to_infinity", 3.4028234e38f, 0x7c00},
    {"minus_overflow", -65520.0f, 0xfc00},
    {"infinity", INFINITY, 0x7c00},
    {"minus_infinity", -INFINITY, 0xfc00},
    {"smallest_subnormal", std::ldexp(1.0f, -24), 0x0001},
    {"half_smallest_subnormal_ties_to_zero", std::ldexp(1.0f, -25), 0x0000},
    {"minus_half_smallest_subnormal", -std::ldexp(1.0f, -25), 0x8000},
    {"above_half_smallest_subnormal", std::nextafter(std::ldexp(1.0f, -25), 1.0f), 0x0001},
    {"one_and_a_half_subnormal_ties_to_even", 1.5f * std::ldexp(1.0f, -24), 0x0002},
    {"two_and_a_half_subnormal_ties_to_even", 2.5f * std::ldexp(1.0f, -24), 0x0002},
    {"tiny_float_to_zero", 1.0e-30f, 0x0000},
    {"smallest_normal", std::ldexp(1.0f, -14), 0x0400},
    {"largest_subnormal", 1023.0f * std::ldexp(1.0f, -24), 0x03ff},
    {"subnormal_rounds_up_into_normal", 1023.5f * std::ldexp(1.0f, -24), 0x0400},
    {"normal_tie_to_even_down", 1.0f + std::ldexp(1.0f, -11), 0x3c00},
    {"normal_tie_to_even_up", 1.0f + 3.0f * std::ldexp(1.0f, -11), 0x3c02},
    {"normal_above_tie", std::nextafter(1.0f + std::ldexp(1.0f, -11), 2.0f), 0x3c01},
    {"mantissa_carry_into_exponent", 2047.0f / 1024.0f + std::ldexp(1.0f, -11), 0x4000},
    {"one_third", 1.0f / 3.0f, 0x3555},
    {"minus_pi", -3.14159265f, 0xc248},
};

INSTANTIATE_TEST_SUITE_P(fp16, KnownConversion, ::testing::ValuesIn(known_conversions),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(fp16Nan, FloatNanStaysQuietNanWithItsSign) {
  const uint32_t nans[] = {0x7fc00000u, 0xffc00000u, 0x7f800001u, 0xff800001u,
                           0x7fffffffu, 0x7f802000u, 0x7fa00000u, 0xffbfffffu};
  for (uint32_t bits : nans) {
    uint16_t h = to_bits(bits_float(bits));
    EXPECT_TRUE(half_is_nan(h)) << std::hex << bits << " -> " << h;
    EXPECT_EQ((h & 0x8000u) != 0, (bits & 0x80000000u) != 0) << std::hex << bits;
    EXPECT_NE(h & 0x0200u, 0u) << "NaN must come out quiet: " << std::hex << bits;
  }
}

TEST(fp16AllPatterns, WideningIsExact) {
  for (uint32_t h = 0; h <= 0xffffu; ++h) {
    const uint16_t p = static_cast<uint16_t>(h);
    const float f = __half2float(__ushort_as_half(p));
    if (half_is_nan(p)) {
      ASSERT_TRUE(std::isnan(f)) << std::hex << h;
      ASSERT_EQ(std::signbit(f), (p & 0x8000u) != 0) << std::hex << h;
    } else if ((p & 0x7fffu) == 0x7c00u) {
      ASSERT_TRUE(std::isinf(f)) << std::hex << h;
      ASSERT_EQ(std::signbit(f), (p & 0x8000u) != 0) << std::hex << h;
    } else {
      ASSERT_EQ(static_cast<double>(f), half_value(p)) << std::hex << h;
      ASSERT_EQ(std::signbit(f), (p & 0x8000u) != 0) << std::hex << h;
    }
  }
}

TEST(fp16AllPatterns, RoundTripThroughFloat) {
  for (uint32_t h = 0; h <= 0xffffu; ++h) {
    const uint16_t p = static_cast<uint16_t>(h);
    const uint16_t back = to_bits(__half2float(__ushort_as_half(p)));
    if (half_is_nan(p)) {
      // Payload and sign survive; a signalling NaN comes back quiet.
      ASSERT_EQ(back, p | 0x0200u) << std::hex << h;
    } else {
      ASSERT_EQ(back, p) << std::hex << h;
    }
  }
}

TEST(fp16AllPatterns, BitCastsAreIdentity) {
  for (uint32_t h = 0; h <= 0xffffu; ++h) {
    const uint16_t p = static_cast<uint16_t>(h);
    ASSERT_EQ(__half_as_ushort(__ushort_as_half(p)), p);
  }
}

// Every midpoint between neighbouring binary16 values is a float, so the ties
// and the floats right next to them can all be checked.
TEST(fp16Reference, MidpointsAndTheirNeighbours) {
  const auto& t = table();
  for (size_t i = 0; i + 1 < t.values.size(); ++i) {
    const float mid = static_cast<float>((t.values[i] + t.values[i + 1]) / 2);
    ASSERT_EQ(static_cast<double>(mid), (t.values[i] + t.values[i + 1]) / 2);
    for (float sign : {1.0f, -1.0f}) {
      const float probes[] = {sign * mid, sign * std::nextafter(mid, 0.0f),
                              sign * std::nextafter(mid, INFINITY)};
      for (float f : probes) {
        ASSERT_EQ(to_bits(f), reference_to_bits(f)) << std::hexfloat << f;
      }
    }
  }
}

TEST(fp16Reference, EveryHalfValueAndItsFloatNeighbours) {
  const auto& t = table();
  for (size_t i = 0; i + 1 < t.values.size(); ++i) {
    const float v = static_cast<float>(t.values[i]);
    const float probes[] = {v, -v, std::nextafter(v, 0.0f), std::nextafter(v, INFINITY)};
    for (float f : probes) {
      ASSERT_EQ(to_bits(f), reference_to_bits(f)) << std::hexfloat << f;
    }
  }
}

// Floats drawn from the whole bit space, and drawn with exponents around the
// binary16 range where all the rounding cases live.
TEST(fp16Reference, RandomFloats) {
  std::mt19937 rng(20240611u);
  std::uniform_int_distribution<uint32_t> any_bits;
  std::uniform_int_distribution<uint32_t> mantissa(0, 0x7fffffu);
  std::uniform_int_distribution<int> exponent(127 - 27, 127 + 17);  // 2^-27 .. 2^17
  std::uniform_int_distribution<int> coin(0, 1);
  for (int i = 0; i < 1000000; ++i) {
    uint32_t bits;
    if (i % 4 == 0) {
      bits = any_bits(rng);
    } else {
      bits = (static_cast<uint32_t>(coin(rng)) << 31) |
             (static_cast<uint32_t>(exponent(rng)) << 23) | mantissa(rng);
    }
    const float f = bits_float(bits);
    if (std::isnan(f)) {
      ASSERT_TRUE(half_is_nan(to_bits(f))) << std::hex << bits;
      continue;
    }
    ASSERT_EQ(to_bits(f), reference_to_bits(f)) << std::hex << "float bits 0x" << bits;
  }
}

// The reference itself must agree with the patterns known from IEEE 754,
// or the comparisons above would prove nothing.
TEST(fp16Reference, ReferenceAgreesWithKnownPatterns) {
  for (const auto& c : known_conversions) {
    EXPECT_EQ(reference_to_bits(c.input), c.expected) << c.name;
  }
}

}  // namespace
