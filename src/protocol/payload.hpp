// Decoding of response payloads, on plain bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexlo
{

// Lowercase hexadecimal digits, two per byte.
std::string to_hex(const uint8_t* data, size_t size);

// IEEE 754 single, least significant byte first, widened to double.
double float32_le(const uint8_t* data);

}  // namespace vexlo
