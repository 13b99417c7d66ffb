// Base64 text of the group identifier and the NCCL data type mapping.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "qor_test_support.h"
#include "qor_utilities.h"

namespace {

using bytes = std::vector<unsigned char>;

// Reference encoder, written as a bit accumulator with the alphabet computed
// from character ranges, so that it shares nothing with the table-driven
// library code.
char reference_digit(unsigned value) {
  if (value < 26) return static_cast<char>('A' + value);
  if (value < 52) return static_cast<char>('a' + (value - 26));
  if (value < 62) return static_cast<char>('0' + (value - 52));
  return value == 62 ? '+' : '/';
}

std::string reference_base64(const bytes& data) {
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (unsigned char b : data) {
    buffer = ((buffer << 8) | b) & 0xffffu;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out += reference_digit((buffer >> bits) & 0x3fu);
    }
  }
  if (bits > 0) out += reference_digit((buffer << (6 - bits)) & 0x3fu);
  while (out.size() % 4 != 0) out += '=';
  return out;
}

bytes random_bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> dist(0, 255);
  bytes data(n);
  for (auto& b : data) b = static_cast<unsigned char>(dist(gen));
  return data;
}

std::string encode(const bytes& data) { return encodeBase64(data.data(), data.size()); }

bytes id_bytes(const ncclUniqueId& id) {
  const auto* p = reinterpret_cast<const unsigned char*>(&id);
  return bytes(p, p + sizeof id);
}

std::string escape_regex(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::string(".[]()*+?{}|^$\\").find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

// The whole standard error of a process that ends after one error line.
std::string only_error_line(const std::string& text) {
  return "^E [0-2][0-9]:[0-5][0-9]:[0-6][0-9][.][0-9]{3} +[0-9]+ [0-9]+ QOR:[0-9]+ *\\] " +
         escape_regex(text) + "\n$";
}

const char* const invalid_data = "Base64 data is invalid.";
const char* const not_divisible = "Base64 data length not divisible by 4.";
const char* const uneven = "Base64 data is uneven.";
const char* const wrong_id_length = "NCCL ID needs to have 172 characters.";

class DeathTestBase : public testing::Test {
 protected:
  static void SetUpTestSuite() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

}  // namespace

// ---- encoding ------------------------------------------------------------

TEST(Base64Encode, Rfc4648Vectors) {
  const std::vector<std::pair<std::string, std::string>> vectors = {
      {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& v : vectors) {
    const bytes data(v.first.begin(), v.first.end());
    EXPECT_EQ(encode(data), v.second) << v.first;
    EXPECT_EQ(decodeBase64(v.second), data) << v.second;
  }
}

TEST(Base64Encode, EmptyInputWithNullPointer) { EXPECT_EQ(encodeBase64(nullptr, 0), ""); }

TEST(Base64Encode, EveryByteValue) {
  bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(encode(all), reference_base64(all));
  EXPECT_EQ(decodeBase64(encode(all)), all);
  EXPECT_EQ(encode({0xfb, 0xff, 0xbf}), "+/+/");
}

class Base64RoundTrip : public testing::TestWithParam<size_t> {};

TEST_P(Base64RoundTrip, MatchesReferenceAndDecodesBack) {
  const size_t n = GetParam();
  for (unsigned seed : {1u, 2u, 3u}) {
    const bytes data = random_bytes(n, seed * 1000 + static_cast<unsigned>(n));
    const std::string text = encode(data);
    ASSERT_EQ(text.size(), (n + 2) / 3 * 4);
    EXPECT_EQ(text, reference_base64(data));
    // The significant characters are followed by padding only.
    const size_t significant = (n * 4 + 2) / 3;
    EXPECT_EQ(text.find('='), n % 3 == 0 ? std::string::npos : significant);
    EXPECT_EQ(decodeBase64(text), data);
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths0To130, Base64RoundTrip, testing::Range<size_t>(0, 131));

// ---- decoding --------------------------------------------------------------

struct decode_case {
  const char* name;
  std::string text;
  bytes expected;
};

void PrintTo(const decode_case& c, std::ostream* os) { *os << c.name; }

class Base64Decode : public testing::TestWithParam<decode_case> {};

TEST_P(Base64Decode, GivesTheBytes) {
  qor_test::stderr_capture capture;
  const bytes decoded = decodeBase64(GetParam().text);
  EXPECT_EQ(capture.take(), "");
  EXPECT_EQ(decoded, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Base64Decode,
    testing::Values(decode_case{"Empty", "", {}},
                    decode_case{"FourLettersA", "AAAA", {0, 0, 0}},
                    decode_case{"PaddingOnly", "====", {}},
                    decode_case{"PaddingOnlyTwoGroups", "========", {}},
                    decode_case{"OneByte", "/w==", {0xff}},
                    decode_case{"TwoBytes", "//8=", {0xff, 0xff}},
                    decode_case{"ExtraPaddingGroupDropped", "AAAA====", {0, 0, 0}},
                    decode_case{"UnusedLowBitsIgnored", "Zh==", {'f'}},
                    decode_case{"PlusAndSlash", "+/+/", {0xfb, 0xff, 0xbf}}),
    [](const testing::TestParamInfo<decode_case>& info) { return std::string(info.param.name); });

struct decode_error_case {
  const char* name;
  std::string text;
  std::string error;
};

void PrintTo(const decode_error_case& c, std::ostream* os) { *os << c.name; }

class Base64DecodeDeathTest : public testing::TestWithParam<decode_error_case> {
 protected:
  static void SetUpTestSuite() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_P(Base64DecodeDeathTest, EndsTheProcess) {
  EXPECT_EXIT(decodeBase64(GetParam().text), testing::ExitedWithCode(1),
              only_error_line(GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Base64DecodeDeathTest,
    testing::Values(
        decode_error_case{"LengthOne", "A", not_divisible},
        decode_error_case{"LengthSix", "AAAAAA", not_divisible},
        decode_error_case{"UnpaddedTwo", "Zg", not_divisible},
        decode_error_case{"LengthSeven", "Zm9vYmE", not_divisible},
        decode_error_case{"LetterAndThreePads", "A===", uneven},
        decode_error_case{"FiveSignificant", "AAAAA===", uneven},
        decode_error_case{"Dash", "AA-A", invalid_data},
        decode_error_case{"UrlSafeUnderscore", "AA_A", invalid_data},
        decode_error_case{"Blank", "AA A", invalid_data},
        decode_error_case{"Newline", "AAAA\nAAA", invalid_data},
        decode_error_case{"NulByte", std::string("AA\0A", 4), invalid_data},
        decode_error_case{"PadInsideGroup", "A=AA", invalid_data},
        decode_error_case{"PadBeforeLastChar", "AA=A", invalid_data},
        decode_error_case{"PadGroupBeforeData", "AA==AAAA", invalid_data},
        decode_error_case{"LeadingPads", "==AA", invalid_data},
        decode_error_case{"InvalidInLaterGroup", "AAAAAA*A", invalid_data},
        decode_error_case{"Byte128", "AAA\x80", invalid_data},
        decode_error_case{"Byte255", "\xff" "AAA", invalid_data},
        decode_error_case{"Utf8Letter", "AA\xc3\xa9", invalid_data}),
    [](const testing::TestParamInfo<decode_error_case>& info) {
      return std::string(info.param.name);
    });

// ---- group identifier --------------------------------------------------------

TEST(GroupId, EncodedIdentifierIs172CharactersWithOnePad) {
  const bytes raw = random_bytes(128, 7);
  const std::string text = encode(raw);
  ASSERT_EQ(text.size(), qor::group_id_length);
  EXPECT_EQ(text.find('='), 171u);
  EXPECT_EQ(id_bytes(str_to_ncclId(text)), raw);
}

TEST(GroupId, RoundTripOfManyIdentifiers) {
  for (unsigned seed = 0; seed < 50; ++seed) {
    const bytes raw = random_bytes(128, 100 + seed);
    EXPECT_EQ(id_bytes(str_to_ncclId(encode(raw))), raw) << seed;
  }
}

TEST(GroupId, UnpaddedTextKeepsOnlyTheFirst128Bytes) {
  // 172 characters without padding decode to 129 bytes; the identifier
  // holds 128.
  const bytes raw = random_bytes(129, 11);
  const std::string text = encode(raw);
  ASSERT_EQ(text.size(), 172u);
  ASSERT_EQ(text.find('='), std::string::npos);
  EXPECT_EQ(id_bytes(str_to_ncclId(text)), bytes(raw.begin(), raw.begin() + 128));
}

namespace {

// Leaves a recognisable pattern on the stack below the caller's frame.
__attribute__((noinline)) void dirty_stack() {
  volatile unsigned char junk[4096];
  for (size_t i = 0; i < sizeof junk; ++i) junk[i] = 0xa5;
}

// Decodes into an identifier that lives where dirty_stack() just wrote.
__attribute__((noinline)) bytes decode_on_dirty_stack(const std::string& text) {
  ncclUniqueId id = str_to_ncclId(text);
  return id_bytes(id);
}

}  // namespace

struct short_id_case {
  const char* name;
  size_t covered;  // bytes the text encodes
  std::string padding;
};

void PrintTo(const short_id_case& c, std::ostream* os) { *os << c.name; }

class GroupIdShort : public testing::TestWithParam<short_id_case> {};

TEST_P(GroupIdShort, UncoveredBytesAreZero) {
  const short_id_case& c = GetParam();
  bytes raw = random_bytes(c.covered, 21);
  for (auto& b : raw) b |= 1;  // no zero byte, so the zero tail is visible
  const std::string text = encode(raw).substr(0, (c.covered * 4 + 2) / 3) + c.padding;
  ASSERT_EQ(text.size(), 172u);
  bytes expected = raw;
  expected.resize(128, 0);
  dirty_stack();
  EXPECT_EQ(decode_on_dirty_stack(text), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paddings, GroupIdShort,
    testing::Values(short_id_case{"TwoPads", 127, "=="}, short_id_case{"FourPads", 126, "===="},
                    short_id_case{"EightPads", 123, "========"}),
    [](const testing::TestParamInfo<short_id_case>& info) { return std::string(info.param.name); });

TEST(GroupId, AllPaddingGivesZeroIdentifier) {
  dirty_stack();
  EXPECT_EQ(decode_on_dirty_stack(std::string(172, '=')), bytes(128, 0));
}

struct id_error_case {
  const char* name;
  std::string text;
  std::string error;
};

void PrintTo(const id_error_case& c, std::ostream* os) { *os << c.name; }

class GroupIdDeathTest : public testing::TestWithParam<id_error_case> {
 protected:
  static void SetUpTestSuite() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_P(GroupIdDeathTest, EndsTheProcess) {
  EXPECT_EXIT(str_to_ncclId(GetParam().text), testing::ExitedWithCode(1),
              only_error_line(GetParam().error));
}

namespace {
std::string valid_id_text() { return encode(random_bytes(128, 5)); }
std::string with_char(std::string text, size_t pos, char c) {
  text[pos] = c;
  return text;
}
}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Texts, GroupIdDeathTest,
    testing::Values(
        id_error_case{"Empty", "", wrong_id_length},
        id_error_case{"Length171", valid_id_text().substr(0, 171), wrong_id_length},
        id_error_case{"Length173", valid_id_text() + "A", wrong_id_length},
        id_error_case{"Length176", valid_id_text() + "AAAA", wrong_id_length},
        id_error_case{"DashInside", with_char(valid_id_text(), 40, '-'), invalid_data},
        id_error_case{"HighByteInside", with_char(valid_id_text(), 100, '\xe9'), invalid_data},
        id_error_case{"PadInside", with_char(valid_id_text(), 3, '='), invalid_data},
        id_error_case{"ThreePads", valid_id_text().substr(0, 169) + "===", uneven}),
    [](const testing::TestParamInfo<id_error_case>& info) { return std::string(info.param.name); });

// ---- data types --------------------------------------------------------------

TEST(DataType, MapsTheThreeLibraryTypes) {
  EXPECT_EQ(get_nccl_datatype(QOR_FLOAT), ncclFloat);
  EXPECT_EQ(get_nccl_datatype(QOR_HALF), ncclHalf);
  EXPECT_EQ(get_nccl_datatype(QOR_BYTE), ncclUint8);
  EXPECT_EQ(get_nccl_datatype(static_cast<QOR_Type>(0)), ncclFloat32);
  EXPECT_EQ(get_nccl_datatype(static_cast<QOR_Type>(1)), ncclFloat16);
  EXPECT_EQ(get_nccl_datatype(static_cast<QOR_Type>(2)), ncclUint8);
}

using DataTypeDeathTest = DeathTestBase;

TEST_F(DataTypeDeathTest, UnknownTypeEndsTheProcess) {
  EXPECT_EXIT(get_nccl_datatype(static_cast<QOR_Type>(3)), testing::ExitedWithCode(1),
              only_error_line("Invalid QOR data type: 3."));
}
