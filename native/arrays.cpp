// vexlo_tools._arrays: stream packets straight into caller-provided arrays.
//
// The same packet scan and ADC arithmetic as the extension's own stream
// conversion (src/calibration/stream_core.hpp and adc_core.hpp), with
// results written into buffers instead of one object per sample. A
// converter with the native arithmetic is converted without the GIL; any
// other is asked through convert_adc for every packet, with the extension's
// skip rules.
#include <Python.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#ifndef _WIN32
#include <poll.h>
#include <time.h>
#include <unistd.h>
#endif

#include "calibration/adc_core.hpp"
#include "common/converter_result.hpp"
#include "calibration/stream_core.hpp"
#include "common/buffer.hpp"
#include "common/compat.hpp"
#include "common/ref.hpp"

namespace
{

using namespace vexlo;

// --- module state -------------------------------------------------------------

// The attributes of a converter that make up its calibration, in the order
// of adc::Calibration; interned once per module.
constexpr const char* kCalibrationNames[] = {
    "number_of_loading_points",  "direction_1_offset_load",    "direction_1_fullscale_load",
    "direction_1_offset_value",  "direction_1_fullscale_value", "direction_2_offset_load",
    "direction_2_fullscale_load", "direction_2_offset_value",  "direction_2_fullscale_value",
    "scale_factor",              "offset",                     "number_of_directions",
    "midpoint_offset",
};
constexpr size_t kCalibrationCount = sizeof(kCalibrationNames) / sizeof(kCalibrationNames[0]);

struct ModuleState
{
    PyObject* names[kCalibrationCount];
    PyObject* convert_adc;
};

ModuleState* state_of(PyObject* module)
{
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

// --- buffers ------------------------------------------------------------------

// A writable array export held for the time of one call (the stream bytes
// use the module's BufferView). Released only with the GIL held, as the
// module's holders do: see common/ref.hpp.
class ArrayView
{
public:
    ArrayView() = default;
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;
    ~ArrayView()
    {
        if (m_open && compat::holds_gil())
            PyBuffer_Release(&m_view);
    }

    // A writable, C-contiguous, one-dimensional array of `format` items.
    bool open(PyObject* object, const char* format, Py_ssize_t itemsize, const char* what)
    {
        if (!(m_open = PyObject_GetBuffer(object, &m_view, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) == 0))
            return false;
        const char* given = m_view.format ? m_view.format : "B";
        if (given[0] == '=' || given[0] == '@' || given[0] == '<')
            ++given;
        if (given[0] == 'l' && given[1] == '\0' && m_view.itemsize == 8)
            given = "q";  // int64 where long has 64 bits
        if (m_view.ndim != 1 || m_view.itemsize != itemsize || std::strcmp(given, format) != 0)
        {
            PyErr_Format(PyExc_TypeError, "%s must be a one-dimensional array of %s, not format '%s' with %d dimension(s)",
                         what, format[0] == 'd' ? "float64" : format[0] == 'I' ? "uint32" : format[0] == 'q' ? "int64" : "bytes",
                         m_view.format ? m_view.format : "B", m_view.ndim);
            return false;
        }
        return true;
    }

    template <typename T>
    T* items() const
    {
        return static_cast<T*>(m_view.buf);
    }
    size_t count() const { return static_cast<size_t>(m_view.len / m_view.itemsize); }

private:
    Py_buffer m_view{};
    bool m_open = false;
};

// --- calibration --------------------------------------------------------------

bool read_int32(PyObject* value, int32_t* out)
{
    long number = PyLong_AsLong(value);
    if (number == -1 && PyErr_Occurred())
        return false;
    *out = static_cast<int32_t>(number);
    return true;
}

bool read_double(PyObject* value, double* out)
{
    double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred())
        return false;
    *out = number;
    return true;
}

// The calibration a converter holds, read through its attributes.
bool read_calibration(ModuleState* st, PyObject* converter, adc::Calibration* c)
{
    int32_t* ints[] = {&c->number_of_loading_points, &c->number_of_directions};
    double* doubles[] = {&c->direction_1_offset_load,    &c->direction_1_fullscale_load, &c->direction_1_offset_value,
                         &c->direction_1_fullscale_value, &c->direction_2_offset_load,   &c->direction_2_fullscale_load,
                         &c->direction_2_offset_value,   &c->direction_2_fullscale_value, &c->scale_factor,
                         &c->offset,                     &c->midpoint_offset};
    size_t next_int = 0;
    size_t next_double = 0;
    for (size_t i = 0; i < kCalibrationCount; ++i)
    {
        Ref value(PyObject_GetAttr(converter, st->names[i]));
        if (!value)
            return false;
        const bool is_int = i == 0 || i == 11;
        if (is_int ? !read_int32(value.get(), ints[next_int++]) : !read_double(value.get(), doubles[next_double++]))
            return false;
    }
    return true;
}

// --- conversion ---------------------------------------------------------------

// Where converted samples go: the first `room` into a ring (or plain arrays)
// from `at` on, wrapping at `capacity`; the next into `spill`; those beyond
// `keep` (a finite run's planned end) nowhere.
struct Outputs
{
    uint32_t* adc;
    double* value;
    size_t capacity;
    size_t at;
    size_t room;
    uint32_t* spill_adc;
    double* spill_value;
    size_t keep;
    size_t taken;

    void put(uint64_t count, double calibrated)
    {
        if (taken < room && taken < keep)
        {
            size_t i = at + taken;
            if (i >= capacity)
                i -= capacity;
            adc[i] = static_cast<uint32_t>(count);
            value[i] = calibrated;
        }
        else if (taken < keep)
        {
            spill_adc[taken - room] = static_cast<uint32_t>(count);
            spill_value[taken - room] = calibrated;
        }
        ++taken;
    }

    size_t kept() const { return taken < keep ? taken : keep; }
    size_t direct() const { return kept() < room ? kept() : room; }
};

template <typename Packet>
stream::ScanResult scan_native(const adc::Calibration& calibration, const uint8_t* data, size_t size, Outputs& out)
{
    return stream::scan<Packet>(data, size, [&](uint64_t count, size_t) {
        out.put(count, adc::convert(calibration, count));
        return stream::Outcome::Accepted;
    });
}

template <typename Packet>
stream::ScanResult scan_by_name(ModuleState* st, PyObject* converter, const uint8_t* data, size_t size, Outputs& out)
{
    return stream::scan<Packet>(data, size, [&](uint64_t count, size_t) {
        Ref number(PyLong_FromUnsignedLongLong(count));
        if (!number)
            return stream::Outcome::Abort;
        Ref value(PyObject_CallMethodOneArg(converter, st->convert_adc, number.get()));
        double calibrated = 0.0;
        if (value && stream::result_as_double(value.get(), &calibrated))
        {
            out.put(count, calibrated);
            return stream::Outcome::Accepted;
        }
        Ref error(compat::take_raised_exception());
        if (!stream::skips_position(error.get()))
        {
            compat::set_raised_exception(error.release());
            return stream::Outcome::Abort;
        }
        return stream::Outcome::Rejected;
    });
}

// Without the GIL.
stream::ScanResult scan_native(const adc::Calibration& calibration, long packet_size, const uint8_t* data, size_t size,
                               Outputs& out)
{
    return packet_size == 3 ? scan_native<stream::ThreeBytePacket>(calibration, data, size, out)
                            : scan_native<stream::FourBytePacket>(calibration, data, size, out);
}

// With the GIL: converter.convert_adc for every packet.
stream::ScanResult scan_by_name(ModuleState* st, PyObject* converter, long packet_size, const uint8_t* data,
                                size_t size, Outputs& out)
{
    return packet_size == 3 ? scan_by_name<stream::ThreeBytePacket>(st, converter, data, size, out)
                            : scan_by_name<stream::FourBytePacket>(st, converter, data, size, out);
}

bool read_packet_size(PyObject* object, long* packet_size)
{
    *packet_size = PyLong_AsLong(object);
    if (*packet_size == -1 && PyErr_Occurred())
        return false;
    if (*packet_size != 3 && *packet_size != 4)
    {
        PyErr_Format(PyExc_ValueError, "packet_size must be 3 or 4, not %ld", *packet_size);
        return false;
    }
    return true;
}

const char* const kConvertDoc =
    "convert(data, packet_size, adc, value, converter, native)\n--\n\n"
    "Convert stream packets into the arrays adc and value.\n\n"
    ":param data: the stream bytes, the previous remainder in front.\n"
    ":param packet_size: 3 or 4.\n"
    ":param adc: a writable uint32 array with room for len(data) // packet_size counts.\n"
    ":param value: a writable float64 array of the same room.\n"
    ":param converter: the converter.\n"
    ":param native: True when converter is exactly the extension's ADCConverter with its\n"
    "    own operations: its calibration is read once and applied without the GIL;\n"
    "    otherwise converter.convert_adc is called for every packet.\n"
    ":return: (samples written, offset of the remainder, byte positions skipped).\n"
    ":raises ValueError: a packet size other than 3 or 4, or arrays too short.\n"
    ":raises TypeError: an array of another type.";

PyObject* convert(PyObject* module, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 6)
        return PyErr_Format(PyExc_TypeError, "convert() takes 6 arguments (%zd given)", nargs);
    ModuleState* st = state_of(module);
    long packet_size = 0;
    if (!read_packet_size(args[1], &packet_size))
        return nullptr;
    int native = PyObject_IsTrue(args[5]);
    if (native < 0)
        return nullptr;
    BufferView data;
    ArrayView adc_view;
    ArrayView value_view;
    if (!data.open(args[0]) || !adc_view.open(args[2], "I", 4, "adc") || !value_view.open(args[3], "d", 8, "value"))
        return nullptr;
    const size_t room = data.size() / static_cast<size_t>(packet_size);
    if (adc_view.count() < room || value_view.count() < room)
        return PyErr_Format(PyExc_ValueError, "adc and value need room for %zu samples", room);
    Outputs out{adc_view.items<uint32_t>(), value_view.items<double>(), room, 0, room, nullptr, nullptr, room, 0};
    adc::Calibration calibration;
    if (native && !read_calibration(st, args[4], &calibration))
        return nullptr;
    stream::ScanResult scanned{};
    if (native)
    {
        Py_BEGIN_ALLOW_THREADS
        scanned = scan_native(calibration, packet_size, data.bytes(), data.size(), out);
        Py_END_ALLOW_THREADS
    }
    else if ((scanned = scan_by_name(st, args[4], packet_size, data.bytes(), data.size(), out)).aborted)
        return nullptr;
    return Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(out.taken), static_cast<Py_ssize_t>(scanned.next),
                         static_cast<Py_ssize_t>(scanned.invalid));
}

// --- reading a port -----------------------------------------------------------

#ifndef _WIN32

int milliseconds(double seconds)
{
    if (seconds < 0)
        return -1;
    const double ms = seconds * 1000.0;
    return ms >= 2e9 ? 2000000000 : static_cast<int>(ms + 0.999);
}

double monotonic()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

bool read_descriptor(PyObject* object, int* descriptor)
{
    const long number = PyLong_AsLong(object);
    if (number == -1 && PyErr_Occurred())
        return false;
    if (number < -1 || number > INT32_MAX)
    {
        PyErr_Format(PyExc_ValueError, "not a file descriptor: %ld", number);
        return false;
    }
    *descriptor = static_cast<int>(number);
    return true;
}

bool open_cell(PyObject* object, ArrayView& view, const char* what)
{
    if (!view.open(object, "q", 8, what))
        return false;
    if (view.count() == 0)
    {
        PyErr_Format(PyExc_ValueError, "%s must hold at least one item", what);
        return false;
    }
    return true;
}

// One port of a read_ports() call: where its bytes go, and what came of them.
class PortJob
{
public:
    static constexpr Py_ssize_t kFields = 13;

    // Checks and holds one item of the ports argument (with the GIL).
    bool open(ModuleState* st, PyObject* item)
    {
        Ref fields(PySequence_Fast(item, "each port must be a tuple"));
        if (!fields)
            return false;
        if (PySequence_Fast_GET_SIZE(fields.get()) != kFields)
        {
            PyErr_Format(PyExc_TypeError, "each port is a tuple of %zd items, not %zd", kFields,
                         PySequence_Fast_GET_SIZE(fields.get()));
            return false;
        }
        PyObject** f = PySequence_Fast_ITEMS(fields.get());
        if (!read_descriptor(f[0], &m_port) || !read_packet_size(f[3], &m_packet_size))
            return false;
        const Py_ssize_t held = PyLong_AsSsize_t(f[2]);
        const Py_ssize_t room = PyLong_AsSsize_t(f[7]);
        const Py_ssize_t keep = PyLong_AsSsize_t(f[8]);
        if (PyErr_Occurred())
            return false;
        const int native = PyObject_IsTrue(f[12]);
        if (native < 0)
            return false;
        m_native = native != 0;
        if (!m_buffer.open(f[1], "B", 1, "buffer") || !m_ring_adc.open(f[4], "I", 4, "ring_adc") ||
            !m_ring_value.open(f[5], "d", 8, "ring_value") || !open_cell(f[6], m_end_view, "ring_end") ||
            !m_adc.open(f[9], "I", 4, "adc") || !m_value.open(f[10], "d", 8, "value"))
            return false;
        m_size = m_buffer.count();
        if (held < 0 || static_cast<size_t>(held) >= m_size)
        {
            PyErr_Format(PyExc_ValueError, "held must be at least 0 and below %zu, not %zd", m_size, held);
            return false;
        }
        m_held = static_cast<size_t>(held);
        m_capacity = m_ring_adc.count();
        m_end = m_end_view.items<int64_t>();
        m_first_end = *m_end;
        if (m_ring_value.count() != m_capacity || m_capacity == 0 || m_first_end < 0 || room < 0 ||
            static_cast<size_t>(room) > m_capacity || keep < 0)
        {
            PyErr_Format(PyExc_ValueError, "a ring of %zu samples has no room of %zd after %lld (keeping %zd)",
                         m_capacity, room, static_cast<long long>(m_first_end), keep);
            return false;
        }
        m_room = static_cast<size_t>(room);
        m_keep = static_cast<size_t>(keep);
        const size_t packets = m_size / static_cast<size_t>(m_packet_size);
        if (m_adc.count() < packets || m_value.count() < packets)
        {
            PyErr_Format(PyExc_ValueError, "adc and value need room for %zu samples", packets);
            return false;
        }
        m_converter = Ref(f[11], true);
        return !m_native || read_calibration(st, m_converter.get(), &m_calibration);
    }

    int port() const { return m_port; }
    bool native() const { return m_native; }
    // Failed, or out of ring room or with all it keeps after a read: not read again in this call.
    bool done() const { return m_error != 0 || (m_received != 0 && (m_spilled != 0 || m_kept >= m_keep)); }
    // Read bytes still to convert (with the GIL, when the converter is not native).
    bool pending() const { return m_got != 0; }
    // Came back to a port at least half full: the next round should not pause.
    bool late() const { return m_last > m_size / 2; }

    // Without the GIL: one read of what the port holds after the remainder.
    void read_now(short revents)
    {
        if (revents & POLLNVAL)
        {
            m_error = EBADF;
            return;
        }
        for (;;)
        {
            const ssize_t n = read(m_port, m_buffer.items<uint8_t>() + m_held, m_size - m_held);
            if (n > 0)
                m_got = m_last = static_cast<size_t>(n);
            else if (n == 0)
                m_error = -1;  // end of file: the port is gone
            else if (errno == EINTR)
                continue;
            else if (errno != EAGAIN && errno != EWOULDBLOCK)
                m_error = errno;
            return;
        }
    }

    void fail(int error) { m_error = error; }
    void new_round() { m_last = 0; }

    // Converts what read_now read and publishes the ring's new end; returns the samples
    // written into the ring, or -1 when a converter's error is raised (with the GIL then).
    ptrdiff_t convert(ModuleState* st)
    {
        const size_t at = static_cast<size_t>((m_first_end + static_cast<int64_t>(m_written)) %
                                              static_cast<int64_t>(m_capacity));
        Outputs out{m_ring_adc.items<uint32_t>(), m_ring_value.items<double>(), m_capacity, at, m_room - m_written,
                    m_adc.items<uint32_t>(), m_value.items<double>(), m_keep - m_kept, 0};
        uint8_t* bytes = m_buffer.items<uint8_t>();
        const size_t total = m_held + m_got;
        const stream::ScanResult scanned =
            m_native ? scan_native(m_calibration, m_packet_size, bytes, total, out)
                     : scan_by_name(st, m_converter.get(), m_packet_size, bytes, total, out);
        if (scanned.aborted)
            return -1;
        m_held = total - scanned.next;
        std::memmove(bytes, bytes + scanned.next, m_held);
        m_received += m_got;
        m_got = 0;
        m_written += out.direct();
        m_spilled = out.kept() - out.direct();
        m_kept += out.kept();
        m_skipped += scanned.invalid;
        __atomic_store_n(m_end, m_first_end + static_cast<int64_t>(m_written), __ATOMIC_RELEASE);
        return static_cast<ptrdiff_t>(out.direct());
    }

    PyObject* result() const
    {
        return Py_BuildValue("(nnnnni)", static_cast<Py_ssize_t>(m_written), static_cast<Py_ssize_t>(m_spilled),
                             static_cast<Py_ssize_t>(m_held), static_cast<Py_ssize_t>(m_skipped),
                             static_cast<Py_ssize_t>(m_received), m_error);
    }

private:
    ArrayView m_buffer;
    ArrayView m_ring_adc;
    ArrayView m_ring_value;
    ArrayView m_end_view;
    ArrayView m_adc;
    ArrayView m_value;
    Ref m_converter;
    adc::Calibration m_calibration{};
    int m_port = -1;
    long m_packet_size = 4;
    bool m_native = false;
    size_t m_size = 0;
    size_t m_capacity = 0;
    size_t m_room = 0;
    size_t m_keep = 0;
    int64_t* m_end = nullptr;
    int64_t m_first_end = 0;
    size_t m_held = 0;
    size_t m_got = 0;   // read, not yet converted
    size_t m_last = 0;  // bytes of the last read
    size_t m_written = 0;
    size_t m_spilled = 0;
    size_t m_kept = 0;
    size_t m_skipped = 0;
    size_t m_received = 0;
    int m_error = 0;  // errno, or -1 for end of file
};

// Without the GIL: waits `pause_ms` on the wake descriptor alone (the readers'
// pace: more bytes per read, fewer reads), then up to `timeout_ms` for any
// port or the wake descriptor, and reads each port that holds bytes with one
// call. Returns whether anything was read; once woken (`woken` set), it only
// takes what the ports already hold. `fds` has a slot per job and one for wake, last.
bool wait_and_read(std::vector<std::unique_ptr<PortJob>>& jobs, std::vector<pollfd>& fds, int wake, int pause_ms,
                   int timeout_ms, bool& woken)
{
    if (pause_ms > 0)
    {
        pollfd alone{wake, POLLIN, 0};
        int ready;
        while ((ready = poll(&alone, 1, pause_ms)) < 0 && errno == EINTR)
        {
        }
        if (ready < 0)
        {
            for (auto& job : jobs)
                job->fail(errno);
            return false;
        }
        if (ready > 0)
        {
            woken = true;
            timeout_ms = 0;
        }
    }
    for (size_t i = 0; i < jobs.size(); ++i)
    {
        jobs[i]->new_round();
        fds[i] = {jobs[i]->done() ? -1 : jobs[i]->port(), POLLIN, 0};  // a negative descriptor is left out
    }
    fds.back() = {wake, POLLIN, 0};
    int ready;
    while ((ready = poll(fds.data(), fds.size(), timeout_ms)) < 0 && errno == EINTR)
    {
    }
    if (ready < 0)
    {
        const int error = errno;
        for (auto& job : jobs)
            if (!job->done())
                job->fail(error);
        return false;
    }
    woken = woken || fds.back().revents != 0;
    bool any = false;
    for (size_t i = 0; i < jobs.size(); ++i)
        if (fds[i].fd >= 0 && fds[i].revents != 0)
        {
            jobs[i]->read_now(fds[i].revents);
            any = any || jobs[i]->pending();
        }
    return any;
}

const char* const kReadPortsDoc =
    "read_ports(wake, pause, timeout, news, waiting, ports)\n--\n\n"
    "Wait for any of the ports, read each that holds bytes with one system call after what its buffer\n"
    "holds, and convert the packets straight into its ring's free room, publishing the ring's new end;\n"
    "again and again, for up to news seconds, without the GIL, until woken, or a port fails, runs out of\n"
    "ring room or has all it keeps (with a converter that is not native: once, converting with the GIL).\n\n"
    ":param wake: a descriptor that becomes readable to end the wait (-1: none).\n"
    ":param pause: seconds to wait for wake alone before each wait for the ports (the readers' pace).\n"
    ":param timeout: seconds to wait at most for the ports (0: take what they hold; below 0: for ever).\n"
    ":param news: seconds after which to return at the latest, once something was read.\n"
    ":param waiting: an int64 array whose first item, above 0, says a consumer waits: return as soon\n"
    "    as samples were written.\n"
    ":param ports: a sequence of tuples (port, buffer, held, packet_size, ring_adc, ring_value,\n"
    "    ring_end, room, keep, adc, value, converter, native): the port's file descriptor; a bytearray,\n"
    "    the remainder of the last read in front, and its length held; 3 or 4; the ring's uint32 counts\n"
    "    and float64 values; an int64 array whose first item is the number the ring's next sample gets,\n"
    "    advanced as samples are written; how many samples the ring takes after its end (wrapping)\n"
    "    without dropping any; samples to keep at most (the rest are converted and dropped); writable\n"
    "    uint32 and float64 arrays with room for len(buffer) // packet_size samples, for those beyond\n"
    "    the ring's room; the converter; native as for convert().\n"
    ":return: per port, (samples written into the ring, samples written into adc and value, length\n"
    "    of the new remainder, now in front of buffer, byte positions skipped, bytes read, error):\n"
    "    error is 0, the errno of a failed wait or read, or -1 for end of file (the port is gone);\n"
    "    what came before it is converted and counted.\n"
    ":raises ValueError: held not below len(buffer), room beyond the ring, or arrays too short.";

PyObject* read_ports(PyObject* module, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 6)
        return PyErr_Format(PyExc_TypeError, "read_ports() takes 6 arguments (%zd given)", nargs);
    ModuleState* st = state_of(module);
    int wake = -1;
    if (!read_descriptor(args[0], &wake))
        return nullptr;
    const double pause = PyFloat_AsDouble(args[1]);
    const double timeout = PyFloat_AsDouble(args[2]);
    const double news = PyFloat_AsDouble(args[3]);
    if (PyErr_Occurred())
        return nullptr;
    ArrayView waiting_view;
    if (!open_cell(args[4], waiting_view, "waiting"))
        return nullptr;
    Ref ports(PySequence_Fast(args[5], "ports must be a sequence"));
    if (!ports)
        return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(ports.get());
    std::vector<std::unique_ptr<PortJob>> jobs;
    std::vector<pollfd> fds;
    try
    {
        jobs.reserve(static_cast<size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i)
            jobs.push_back(std::make_unique<PortJob>());
        fds.resize(static_cast<size_t>(count) + 1);
    }
    catch (const std::bad_alloc&)
    {
        return PyErr_NoMemory();
    }
    bool all_native = true;
    for (Py_ssize_t i = 0; i < count; ++i)
    {
        if (!jobs[static_cast<size_t>(i)]->open(st, PySequence_Fast_GET_ITEM(ports.get(), i)))
            return nullptr;
        all_native = all_native && jobs[static_cast<size_t>(i)]->native();
    }
    const int64_t* waiting = waiting_view.items<int64_t>();
    Py_BEGIN_ALLOW_THREADS
    const double deadline = monotonic() + news;
    bool late = false;
    for (;;)
    {
        bool woken = false;
        if (!wait_and_read(jobs, fds, wake, late ? 0 : milliseconds(pause), milliseconds(timeout), woken) ||
            !all_native)
            break;
        bool written = false;
        bool go_on = true;
        late = false;
        for (auto& job : jobs)
        {
            if (job->pending())
                written = job->convert(st) > 0 || written;
            late = late || job->late();
            go_on = go_on && !job->done();
        }
        if (woken || !go_on || (written && __atomic_load_n(waiting, __ATOMIC_ACQUIRE) > 0) || monotonic() >= deadline)
            break;
    }
    Py_END_ALLOW_THREADS
    for (auto& job : jobs)
        if (job->pending() && job->convert(st) < 0 && PyErr_Occurred())
            return nullptr;
    Ref results(PyList_New(count));
    if (!results)
        return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i)
    {
        PyObject* result = jobs[static_cast<size_t>(i)]->result();
        if (!result)
            return nullptr;
        PyList_SET_ITEM(results.get(), i, result);
    }
    return results.release();
}

#endif

PyMethodDef module_methods[] = {
    {"convert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(convert)), METH_FASTCALL, kConvertDoc},
#ifndef _WIN32
    {"read_ports", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_ports)), METH_FASTCALL,
     kReadPortsDoc},
#endif
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module)
{
    if (!compat::watch_finalization())
        return -1;
    ModuleState* st = state_of(module);
    for (size_t i = 0; i < kCalibrationCount; ++i)
        if (!(st->names[i] = PyUnicode_InternFromString(kCalibrationNames[i])))
            return -1;
    return (st->convert_adc = PyUnicode_InternFromString("convert_adc")) ? 0 : -1;
}

int module_traverse(PyObject* module, visitproc visit, void* arg)
{
    ModuleState* st = state_of(module);
    if (!st)
        return 0;
    for (PyObject* name : st->names)
        Py_VISIT(name);
    Py_VISIT(st->convert_adc);
    return 0;
}

int module_clear(PyObject* module)
{
    ModuleState* st = state_of(module);
    if (!st)
        return 0;
    for (PyObject*& name : st->names)
        Py_CLEAR(name);
    Py_CLEAR(st->convert_adc);
    return 0;
}

void module_free(void* module)
{
    module_clear(static_cast<PyObject*>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vexlo_tools._arrays",
    "Stream packets into caller-provided arrays (the extension's packet scan and ADC arithmetic).",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

PyMODINIT_FUNC PyInit__arrays()
{
    return PyModuleDef_Init(&module_def);
}
