// libFuzzer target: the group identifier text and base64
// (src/common/qor_utilities.cpp): decodeBase64, encodeBase64, str_to_ncclId
// and get_nccl_datatype.
//
// Exits by design.  Malformed text ends the process through
// qor::exit_with_error ("Base64 data length not divisible by 4.", "Base64
// data is invalid.", "Base64 data is uneven.", "NCCL ID needs to have 172
// characters.").  trace_double.cpp turns that call into a thrown
// fuzz::fuzz_exit (see trace_double.h); the target catches it only around
// the library call and checks that the text is the one `model` predicts
// from an independent reading of the rule.  Nothing else is caught, so a
// crash, sanitizer report, leak or hang still ends the run; a result that
// differs from the model aborts with the input saved.
//
// The input is used three ways:
//   - as base64 text for decodeBase64 (and, when it is 172 characters or
//     longer, its first 172 characters for str_to_ncclId);
//   - as raw bytes: decodeBase64(encodeBase64(bytes)) must give them back;
//   - as the bytes of a group identifier (zero-padded or cut to its size):
//     str_to_ncclId(encodeBase64(id)) must give the identifier back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qor_utilities.h"
#include "trace_double.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "fuzz_base64: %s: [%s]\n", what, detail.c_str());
  std::abort();
}

int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Expected result of decodeBase64: the bytes, or the exit text.  Trailing
// '=' are padding (any number of them); every other character must be of
// the alphabet; the text is read four characters at a time and a last group
// of a single character carries no whole byte.
struct decoded {
  bool exits = false;
  std::string exit_text;
  std::vector<unsigned char> bytes;
};

decoded model_decode(const std::string& text) {
  decoded result;
  if (text.size() % 4 != 0) {
    result.exits = true;
    result.exit_text = "Base64 data length not divisible by 4.";
    return result;
  }
  size_t m = text.size();
  while (m > 0 && text[m - 1] == '=') --m;
  for (size_t i = 0; i < m; i += 4) {
    const size_t n = m - i < 4 ? m - i : 4;
    unsigned bits = 0;
    for (size_t j = 0; j < n; ++j) {
      const int v = sextet(text[i + j]);
      if (v < 0) {
        result.exits = true;
        result.exit_text = "Base64 data is invalid.";
        return result;
      }
      bits |= static_cast<unsigned>(v) << (18 - 6 * j);
    }
    if (n == 1) {
      result.exits = true;
      result.exit_text = "Base64 data is uneven.";
      return result;
    }
    for (size_t k = 0; k + 1 < n; ++k) result.bytes.push_back(static_cast<unsigned char>(bits >> (16 - 8 * k)));
  }
  return result;
}

void check_decode(const std::string& text) {
  const decoded expected = model_decode(text);
  fuzz::clear_trace();
  try {
    const std::vector<unsigned char> got = decodeBase64(text);
    if (expected.exits) fail("decode accepted, expected an exit", text);
    if (got != expected.bytes) fail("decoded bytes differ from the model", text);
  } catch (const fuzz::fuzz_exit& exit) {
    if (!expected.exits) fail("decode exited, expected acceptance", exit.text);
    if (exit.text != expected.exit_text) fail("decode exit text differs", exit.text);
  }
}

void check_id_text(const std::string& text) {
  const decoded expected = model_decode(text);
  try {
    const ncclUniqueId id = str_to_ncclId(text);
    if (text.size() != qor::group_id_length) fail("identifier of a wrong length accepted", text);
    if (expected.exits) fail("identifier accepted, expected an exit", text);
    unsigned char want[sizeof id];
    std::memset(want, 0, sizeof want);
    std::memcpy(want, expected.bytes.data(),
                expected.bytes.size() < sizeof want ? expected.bytes.size() : sizeof want);
    if (std::memcmp(&id, want, sizeof want) != 0) fail("identifier differs from the model", text);
  } catch (const fuzz::fuzz_exit& exit) {
    if (text.size() != qor::group_id_length) {
      if (exit.text != "NCCL ID needs to have 172 characters.") fail("length exit text", exit.text);
      return;
    }
    if (!expected.exits) fail("identifier exited, expected acceptance", exit.text);
    if (exit.text != expected.exit_text) fail("identifier exit text differs", exit.text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  // Text.
  check_decode(text);
  check_id_text(text);
  if (size > qor::group_id_length) check_id_text(text.substr(0, qor::group_id_length));

  // Bytes: encoding is total and decoding gives them back.
  const std::string encoded = encodeBase64(data, size);
  if (encoded.size() != (size + 2) / 3 * 4) fail("encoded length", encoded);
  for (char c : encoded) {
    if (sextet(c) < 0 && c != '=') fail("encoded character outside the alphabet", encoded);
  }
  try {
    const std::vector<unsigned char> back = decodeBase64(encoded);
    if (back.size() != size || (size > 0 && std::memcmp(back.data(), data, size) != 0))
      fail("round trip changed the bytes", encoded);
  } catch (const fuzz::fuzz_exit& exit) {
    fail("own encoding refused", exit.text);
  }

  // A group identifier made of the input bytes.
  ncclUniqueId id;
  static_assert(sizeof id == 128, "the identifier text is sized for 128 bytes");
  std::memset(&id, 0, sizeof id);
  std::memcpy(&id, data, size < sizeof id ? size : sizeof id);
  const std::string id_text = encodeBase64(reinterpret_cast<const unsigned char*>(&id), sizeof id);
  if (id_text.size() != qor::group_id_length) fail("identifier text length", id_text);
  try {
    const ncclUniqueId back = str_to_ncclId(id_text);
    if (std::memcmp(&back, &id, sizeof id) != 0) fail("identifier round trip", id_text);
  } catch (const fuzz::fuzz_exit& exit) {
    fail("own identifier text refused", exit.text);
  }

  // The data type table (QOR_Type has int as its underlying type, so any
  // int is a value of it): 0..2 map, anything else ends the process.
  if (size >= 4) {
    int32_t type = 0;
    std::memcpy(&type, data, sizeof type);
    if (size % 2 == 0) type = static_cast<int32_t>(data[0] % 6) - 1;  // mostly near the range
    try {
      const ncclDataType_t got = get_nccl_datatype(static_cast<QOR_Type>(type));
      const ncclDataType_t want[] = {ncclFloat, ncclHalf, ncclUint8};
      if (type < 0 || type > 2 || got != want[type]) fail("data type", std::to_string(type));
    } catch (const fuzz::fuzz_exit& exit) {
      if (type >= 0 && type <= 2) fail("data type exited", exit.text);
      if (exit.text != "Invalid QOR data type: " + std::to_string(type) + ".")
        fail("data type exit text", exit.text);
    }
  }
  return 0;
}
