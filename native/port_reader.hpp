// One port's reader: the bytes of an unfinished packet, the ring of samples,
// what a finite run keeps, and the counters. Plain C++, no Python objects.
//
// The reader is the ring's only writer: bytes come in (read from the port's
// descriptor into the buffer, or fed), packets are scanned and converted
// into the ring. One thread writes at a time; a consumer takes from any
// other. Samples go straight into the ring's free room, its end published
// as they are written, so a consumer sees them at once; when the ring is
// full, the oldest samples make room under the ring's lock and are counted.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

#include "calibration/stream_core.hpp"

namespace vexlo::reading
{

class PortReader
{
public:
    static constexpr uint64_t kForever = std::numeric_limits<uint64_t>::max();

    // `keep`: samples to keep at most (a finite run's plan), kForever for an open-ended run.
    PortReader(size_t packet_size, size_t capacity, uint64_t keep, size_t buffer_size)
        : m_packet_size(packet_size), m_capacity(capacity), m_keep(keep), m_adc(capacity), m_value(capacity),
          m_buffer(buffer_size)
    {
        // A scan converts at most a buffer's packets: the spill never allocates while reading.
        m_spill_adc.reserve(buffer_size / packet_size);
        m_spill_value.reserve(buffer_size / packet_size);
    }

    size_t packet_size() const { return m_packet_size; }
    size_t capacity() const { return m_capacity; }
    uint64_t keep() const { return m_keep; }

    // The number of the oldest sample held, and the number the next sample gets
    // (every sample ever kept: the received count).
    uint64_t start() const { return m_start.load(std::memory_order_acquire); }
    uint64_t end() const { return m_end.load(std::memory_order_acquire); }
    uint64_t held() const
    {
        // The end is read first: the start can only pass it by a drop, which moves both.
        const uint64_t last = end();
        const uint64_t first = start();
        return last > first ? last - first : 0;
    }
    // Samples a finite run still keeps.
    uint64_t due() const { return m_keep == kForever ? kForever : m_keep - std::min(m_keep, end()); }
    // Counted after the end that covers the samples it counts is published: an
    // overrun read before the end never exceeds what that end implies.
    uint64_t overrun() const { return m_overrun.load(std::memory_order_acquire); }
    uint64_t corrupted() const { return m_corrupted.load(std::memory_order_relaxed); }
    uint64_t bytes() const { return m_bytes.load(std::memory_order_relaxed); }

    // The bytes of an unfinished packet, carried to the next read.
    const uint8_t* remainder() const { return m_buffer.data(); }
    size_t remainder_size() const { return m_held; }

    // Where the next read of the port goes: after the remainder.
    uint8_t* free_bytes() { return m_buffer.data() + m_held; }
    size_t free_size() const { return m_buffer.size() - m_held; }
    // A read put `got` bytes at free_bytes(); the next convert() takes them.
    void received(size_t got) { m_got += got; }
    bool pending() const { return m_got != 0; }

    // Copies up to free_size() bytes of `data` after the remainder; returns how many.
    size_t put_bytes(const uint8_t* data, size_t size)
    {
        const size_t n = std::min(size, free_size() - m_got);
        std::memcpy(free_bytes() + m_got, data, n);
        m_got += n;
        return n;
    }

    // Scans the remainder and the bytes received since, converting each packet
    // with value_of(count, double*) -> stream::Outcome, into the ring. Returns
    // the scan's result; the samples kept are added to `kept`.
    template <typename Packet, typename ValueOf>
    stream::ScanResult convert(ValueOf&& value_of, uint64_t& kept)
    {
        const uint64_t first_end = m_end.load(std::memory_order_relaxed);
        const uint64_t room = m_capacity - std::min<uint64_t>(m_capacity, first_end - start());
        uint64_t next = first_end;  // the number the next sample kept gets
        size_t at = static_cast<size_t>(first_end % m_capacity);
        m_spill_adc.clear();
        m_spill_value.clear();
        const size_t total = m_held + m_got;
        const stream::ScanResult scanned = stream::scan<Packet>(m_buffer.data(), total, [&](uint64_t count, size_t) {
            double calibrated = 0.0;
            const stream::Outcome outcome = value_of(count, &calibrated);
            if (outcome != stream::Outcome::Accepted || next >= m_keep)
                return outcome;  // converted beyond the plan: dropped
            if (next - first_end < room)
            {
                m_adc[at] = static_cast<uint32_t>(count);
                m_value[at] = calibrated;
                if (++at == m_capacity)
                    at = 0;
            }
            else
            {
                m_spill_adc.push_back(static_cast<uint32_t>(count));
                m_spill_value.push_back(calibrated);
            }
            ++next;
            return outcome;
        });
        m_held = total - scanned.next;
        std::memmove(m_buffer.data(), m_buffer.data() + scanned.next, m_held);
        m_bytes.fetch_add(m_got, std::memory_order_relaxed);
        m_got = 0;
        m_corrupted.fetch_add(scanned.invalid, std::memory_order_relaxed);
        const uint64_t direct = std::min(next - first_end, room);
        m_end.store(first_end + direct, std::memory_order_release);
        if (!m_spill_adc.empty())
            overrun_with_spill();
        kept += next - first_end;
        return scanned;
    }

    // Copies up to `most` of the oldest samples held into adc and value and
    // lets them go; returns how many, their first number in `first`.
    size_t take(uint32_t* adc, double* value, size_t most, uint64_t* first)
    {
        std::lock_guard<std::mutex> lock(m_ring_lock);
        const uint64_t from = m_start.load(std::memory_order_relaxed);
        const size_t n = static_cast<size_t>(std::min<uint64_t>(most, end() - from));
        const size_t at = static_cast<size_t>(from % m_capacity);
        const size_t head = std::min(n, m_capacity - at);
        std::memcpy(adc, m_adc.data() + at, head * sizeof(uint32_t));
        std::memcpy(value, m_value.data() + at, head * sizeof(double));
        std::memcpy(adc + head, m_adc.data(), (n - head) * sizeof(uint32_t));
        std::memcpy(value + head, m_value.data(), (n - head) * sizeof(double));
        m_start.store(from + n, std::memory_order_release);
        *first = from;
        return n;
    }

private:
    // The samples beyond the ring's free room: the oldest make room for them
    // (a batch larger than the ring keeps its newest part), counted as overrun.
    void overrun_with_spill()
    {
        std::lock_guard<std::mutex> lock(m_ring_lock);
        const size_t n = m_spill_adc.size();
        const size_t skip = n > m_capacity ? n - m_capacity : 0;
        const uint64_t last = m_end.load(std::memory_order_relaxed);
        const uint64_t from = m_start.load(std::memory_order_relaxed);
        const uint64_t dropped = last + n - from > m_capacity ? last + n - from - m_capacity : 0;
        size_t at = static_cast<size_t>((last + skip) % m_capacity);
        for (size_t i = skip; i < n; ++i)
        {
            m_adc[at] = m_spill_adc[i];
            m_value[at] = m_spill_value[i];
            if (++at == m_capacity)
                at = 0;
        }
        m_start.store(from + dropped, std::memory_order_release);
        m_end.store(last + n, std::memory_order_release);
        m_overrun.fetch_add(dropped, std::memory_order_release);
    }

    const size_t m_packet_size;
    const size_t m_capacity;
    const uint64_t m_keep;
    std::vector<uint32_t> m_adc;
    std::vector<double> m_value;
    std::atomic<uint64_t> m_start{0};
    std::atomic<uint64_t> m_end{0};
    std::mutex m_ring_lock;  // a take against a drop of the oldest samples
    std::atomic<uint64_t> m_overrun{0};
    std::atomic<uint64_t> m_corrupted{0};
    std::atomic<uint64_t> m_bytes{0};
    std::vector<uint8_t> m_buffer;
    size_t m_held = 0;  // the remainder, in front of the buffer
    size_t m_got = 0;   // received after it, not yet converted
    std::vector<uint32_t> m_spill_adc;
    std::vector<double> m_spill_value;
};

}  // namespace vexlo::reading
