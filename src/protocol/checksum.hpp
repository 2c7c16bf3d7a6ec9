// Position-weighted checksum of the instrument protocol: the sum of
// (i + 1) * byte[i], modulo 256.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexlo
{

inline uint8_t checksum(const uint8_t* data, size_t size)
{
    uint8_t sum = 0;
    uint8_t weight = 1;
    for (size_t i = 0; i < size; ++i, ++weight)
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(data[i] * weight));
    return sum;
}

}  // namespace vexlo
