#include "teds/teds_image.hpp"

#include <cstring>

namespace vexlo
{
namespace teds
{

namespace
{

// Field positions in the data stream (checksum bytes left out).
constexpr size_t kSerialStart = 40, kSerialBits = 24;
constexpr size_t kUnitStart = 74, kUnitBits = 6;
constexpr size_t kMinCapacityStart = 80;
constexpr size_t kMaxCapacityStart = 112;
constexpr size_t kMinElectricalStart = 146;
constexpr size_t kMaxElectricalStart = 178;
constexpr size_t kReverseFlagStart = 568, kReverseFlagBits = 8;
constexpr size_t kReverseMaxElectricalStart = 576;
constexpr uint32_t kReverseFlagOn = 0x55;

// Electrical values are stored in V/V and kept in mV/V.
constexpr double kMilliPerUnit = 1000.0;

double single_at(const std::vector<uint8_t>& stream, size_t start)
{
    return single_from_pattern(field(stream, start, 32));
}

std::array<PagePattern, 2 * kPageCount> make_patterns()
{
    std::array<PagePattern, 2 * kPageCount> patterns{};
    for (int page = 0; page < static_cast<int>(kPageCount); ++page)
    {
        int high = page / 8;
        int base = static_cast<int>(kPageSize) * (page % 8);
        patterns[2 * page] = {page, high, base, base + 15};
        patterns[2 * page + 1] = {page, high, base + 16, base + 31};
    }
    return patterns;
}

}  // namespace

std::vector<uint8_t> data_bytes(const uint8_t* data, size_t size, bool skip_checksums)
{
    std::vector<uint8_t> out;
    out.reserve(size);
    for (size_t i = 0; i < size; ++i)
        if (!skip_checksums || i % kPageSize != 0)
            out.push_back(data[i]);
    return out;
}

uint32_t field(const std::vector<uint8_t>& stream, size_t start, size_t length)
{
    uint32_t value = 0;
    for (size_t i = 0; i < length && i < 32; ++i)
        if (stream_bit(stream, start + i))
            value |= uint32_t{1} << i;
    return value;
}

double single_from_pattern(uint32_t pattern)
{
    float value;
    std::memcpy(&value, &pattern, sizeof value);
    return static_cast<double>(value);
}

Fields decode(const uint8_t* image)
{
    std::vector<uint8_t> stream = data_bytes(image, kImageSize, true);
    Fields fields;
    fields.serial_number = field(stream, kSerialStart, kSerialBits);
    fields.engineering_unit = static_cast<int32_t>(field(stream, kUnitStart, kUnitBits));
    fields.min_capacity = single_at(stream, kMinCapacityStart);
    fields.max_capacity = single_at(stream, kMaxCapacityStart);
    fields.min_electrical = single_at(stream, kMinElectricalStart) * kMilliPerUnit;
    fields.max_electrical = single_at(stream, kMaxElectricalStart) * kMilliPerUnit;
    fields.reverse_scaling_enabled =
        field(stream, kReverseFlagStart, kReverseFlagBits) == kReverseFlagOn;
    fields.reverse_max_electrical = single_at(stream, kReverseMaxElectricalStart) * kMilliPerUnit;
    return fields;
}

const std::array<PagePattern, 2 * kPageCount>& page_patterns()
{
    static const std::array<PagePattern, 2 * kPageCount> patterns = make_patterns();
    return patterns;
}

}  // namespace teds
}  // namespace vexlo
