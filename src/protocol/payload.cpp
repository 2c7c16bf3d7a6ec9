#include "protocol/payload.hpp"

#include <cstring>

namespace vexlo
{

std::string to_hex(const uint8_t* data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text(size * 2, '0');
    for (size_t i = 0; i < size; ++i)
    {
        text[2 * i] = digits[data[i] >> 4];
        text[2 * i + 1] = digits[data[i] & 0x0F];
    }
    return text;
}

double float32_le(const uint8_t* data)
{
    uint32_t bits = static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
                    (static_cast<uint32_t>(data[2]) << 16) | (static_cast<uint32_t>(data[3]) << 24);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return static_cast<double>(value);
}

}  // namespace vexlo
