// The group identifier as text (base64 of the 128-byte NCCL unique id) and
// the NCCL data type of a QOR_Type.
#pragma once

#include <nccl.h>

#include <cstddef>
#include <string>
#include <vector>

#include "qor.h"

std::string encodeBase64(const unsigned char* data, size_t length);
// Malformed text ends the process.
std::vector<unsigned char> decodeBase64(const std::string& text);
// Needs exactly 172 characters; bytes the text does not cover are zero.
ncclUniqueId str_to_ncclId(const std::string& text);
// 0 ncclFloat, 1 ncclHalf, 2 ncclUint8; anything else ends the process.
ncclDataType_t get_nccl_datatype(QOR_Type type);

namespace qor {
// Length of the group identifier text.
constexpr size_t group_id_length = 172;
}  // namespace qor
