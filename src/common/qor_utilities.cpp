#include "qor_utilities.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "qor_trace.h"

namespace {

constexpr char gBase64Map1[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char base64_pad = '=';
constexpr unsigned char base64_invalid = 255;

// Reverse of gBase64Map1 over the 7-bit characters; every other entry is
// invalid.  A function-local static is built once, thread-safely, at the
// first decode and only read afterwards.
const std::array<unsigned char, 128>& base64_reverse_map() {
  static const std::array<unsigned char, 128> gBase64Map2 = [] {
    std::array<unsigned char, 128> map;
    map.fill(base64_invalid);
    for (unsigned char i = 0; i < 64; ++i)
      map[static_cast<unsigned char>(gBase64Map1[i])] = i;
    return map;
  }();
  return gBase64Map2;
}

// Value 0..63 of a base64 character.  Bytes of 128 and more are rejected
// before they can index the 128-entry table.
unsigned char base64_value(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  const unsigned char value = byte < 128 ? base64_reverse_map()[byte] : base64_invalid;
  if (value == base64_invalid) QOR_EXIT_WITH_ERROR("Base64 data is invalid.");
  return value;
}

}  // namespace

std::string encodeBase64(const unsigned char* data, size_t length) {
  std::string text;
  text.reserve((length + 2) / 3 * 4);
  for (size_t i = 0; i < length; i += 3) {
    const size_t n = std::min<size_t>(3, length - i);
    // The missing bytes of a short last group count as zero bits.
    const unsigned long group = (static_cast<unsigned long>(data[i]) << 16) |
                                (n > 1 ? static_cast<unsigned long>(data[i + 1]) << 8 : 0) |
                                (n > 2 ? static_cast<unsigned long>(data[i + 2]) : 0);
    text += gBase64Map1[(group >> 18) & 0x3f];
    text += gBase64Map1[(group >> 12) & 0x3f];
    text += n > 1 ? gBase64Map1[(group >> 6) & 0x3f] : base64_pad;
    text += n > 2 ? gBase64Map1[group & 0x3f] : base64_pad;
  }
  return text;
}

std::vector<unsigned char> decodeBase64(const std::string& text) {
  if (text.size() % 4 != 0) QOR_EXIT_WITH_ERROR("Base64 data length not divisible by 4.");
  const size_t last = text.find_last_not_of(base64_pad);
  if (last == std::string::npos) return {};  // empty, or padding only
  const size_t m = last + 1;
  std::vector<unsigned char> bytes;
  bytes.reserve(m * 3 / 4);
  for (size_t i = 0; i < m; i += 4) {
    const size_t n = std::min<size_t>(4, m - i);
    unsigned long group = 0;
    for (size_t j = 0; j < 4; ++j)
      group = (group << 6) | (j < n ? base64_value(text[i + j]) : 0u);
    // One character carries only six bits: not even one byte.
    if (n == 1) QOR_EXIT_WITH_ERROR("Base64 data is uneven.");
    bytes.push_back(static_cast<unsigned char>(group >> 16));
    if (n > 2) bytes.push_back(static_cast<unsigned char>(group >> 8));
    if (n > 3) bytes.push_back(static_cast<unsigned char>(group));
  }
  return bytes;
}

ncclUniqueId str_to_ncclId(const std::string& text) {
  if (text.size() != qor::group_id_length)
    QOR_EXIT_WITH_ERROR("NCCL ID needs to have " + std::to_string(qor::group_id_length) +
                        " characters.");
  const std::vector<unsigned char> bytes = decodeBase64(text);
  // A text ending in "==" or more covers fewer than all bytes; the rest are
  // zero rather than whatever was on the stack.  Unpadded text decodes to
  // one byte more than the identifier holds, which is dropped.
  ncclUniqueId id;
  std::memset(&id, 0, sizeof id);
  if (!bytes.empty()) std::memcpy(&id, bytes.data(), std::min(bytes.size(), sizeof id));
  return id;
}

ncclDataType_t get_nccl_datatype(QOR_Type type) {
  switch (type) {
    case QOR_FLOAT:
      return ncclFloat;
    case QOR_HALF:
      return ncclHalf;
    case QOR_BYTE:
      return ncclUint8;
  }
  QOR_EXIT_WITH_ERROR("Invalid QOR data type: " + std::to_string(static_cast<int>(type)) + ".");
}
