// The TEDS image (IEEE 1451.4 data sheet, 512 bytes in 16 pages of 32) and
// its bit fields, on plain bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexlo
{
namespace teds
{

constexpr size_t kImageSize = 512;
constexpr size_t kPageSize = 32;
constexpr size_t kPageCount = kImageSize / kPageSize;

// The bytes that carry data: every byte but the page checksums (indices that
// are multiples of 32) when `skip_checksums` is set, otherwise all of them.
std::vector<uint8_t> data_bytes(const uint8_t* data, size_t size, bool skip_checksums);

// Stream bit n is bit (n mod 8) of byte (n div 8), least significant first;
// bits past the end read as 0.
inline bool stream_bit(const std::vector<uint8_t>& stream, size_t n)
{
    size_t byte = n / 8;
    return byte < stream.size() && ((stream[byte] >> (n % 8)) & 1u);
}

// A field of up to 32 bits whose first bit is its least significant.
uint32_t field(const std::vector<uint8_t>& stream, size_t start, size_t length);

// A binary32 bit pattern widened exactly to double.
double single_from_pattern(uint32_t pattern);

// The 32-bit pattern read back as a signed (two's complement) integer.
inline int32_t as_signed(uint32_t pattern)
{
    return static_cast<int32_t>(pattern);
}

// The decoded fields of one image.
struct Fields
{
    uint32_t serial_number = 0;
    int32_t engineering_unit = 0;
    double min_capacity = 0.0;
    double max_capacity = 0.0;
    double min_electrical = 0.0;  // mV/V
    double max_electrical = 0.0;  // mV/V
    bool reverse_scaling_enabled = false;
    double reverse_max_electrical = 0.0;  // mV/V
};

// Decodes a 512-byte image (the page checksums are left out, not verified).
Fields decode(const uint8_t* image);

// One half-page read of the whole-image read: the page asked for, and the
// image addresses (high * 256 + low, low from first_low to last_low) that
// its answer fills.
struct PagePattern
{
    int page;
    int high;
    int first_low;
    int last_low;
};

// The 32 half-pages, page 0 first half to page 15 second half.
const std::array<PagePattern, 2 * kPageCount>& page_patterns();

// Where in the page answer the bytes for `pattern` start.
inline int first_page_index(const PagePattern& pattern)
{
    if (pattern.first_low < static_cast<int>(kPageSize))
        return pattern.first_low;
    return pattern.first_low % static_cast<int>(kPageSize) == 0 ? 0 : 16;
}

}  // namespace teds
}  // namespace vexlo
