// Finding stream packets in a raw buffer. Plain C++, no Python objects.
//
// A packet has no marker: it is recognised only by its last byte matching the
// checksum of the bytes before it. On a mismatch the scan slides one byte to
// find the packet boundary again.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexlo::stream
{

// Four-byte packets: a 24-bit sample, most significant byte first, then
// (b0 + 2 b1 + 3 b2) mod 256. The sample fills the upper three bytes of the
// 32-bit count.
struct FourBytePacket
{
    static constexpr size_t size = 4;

    static bool valid(const uint8_t* p)
    {
        return static_cast<uint8_t>(p[0] + 2 * p[1] + 3 * p[2]) == p[3];
    }

    static uint64_t count(const uint8_t* p)
    {
        return (uint64_t{p[0]} << 24) | (uint64_t{p[1]} << 16) | (uint64_t{p[2]} << 8);
    }
};

// Three-byte packets (highest sampling rate): a 16-bit sample, then
// (b0 + 2 b1) mod 256. The sample fills the upper two bytes of the count.
struct ThreeBytePacket
{
    static constexpr size_t size = 3;

    static bool valid(const uint8_t* p) { return static_cast<uint8_t>(p[0] + 2 * p[1]) == p[2]; }

    static uint64_t count(const uint8_t* p) { return (uint64_t{p[0]} << 24) | (uint64_t{p[1]} << 16); }
};

// What the caller made of one checksum-valid position.
enum class Outcome
{
    Accepted,  // a reading was taken: the scan moves past the packet
    Rejected,  // the conversion failed in a way that is counted and skipped
    Abort      // stop at once (an error to propagate)
};

struct ScanResult
{
    size_t next;     // first position not consumed: the remainder starts here
    size_t invalid;  // positions skipped, by checksum or by rejection
    bool aborted;
};

// Scans `data[0, size)`. For every position whose checksum matches, calls
// on_packet(count, position) -> Outcome. Positions are size_t, so buffers of
// any length are scanned without overflow.
template <typename Packet, typename OnPacket>
ScanResult scan(const uint8_t* data, size_t size, OnPacket&& on_packet)
{
    ScanResult result{0, 0, false};
    size_t& index = result.next;
    while (size >= Packet::size && index <= size - Packet::size)
    {
        const uint8_t* p = data + index;
        if (!Packet::valid(p))
        {
            ++result.invalid;
            ++index;
            continue;
        }
        switch (on_packet(Packet::count(p), index))
        {
        case Outcome::Accepted:
            index += Packet::size;
            break;
        case Outcome::Rejected:
            ++result.invalid;
            ++index;
            break;
        case Outcome::Abort:
            result.aborted = true;
            return result;
        }
    }
    return result;
}

}  // namespace vexlo::stream
