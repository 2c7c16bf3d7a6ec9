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

struct PortRead
{
    size_t received;
    int error;   // errno of a failed wait or read
    bool ended;  // the port reported end of file: it is gone
};

int milliseconds(double seconds)
{
    if (seconds < 0)
        return -1;
    const double ms = seconds * 1000.0;
    return ms >= 2e9 ? 2000000000 : static_cast<int>(ms + 0.999);
}

// Without the GIL. Waits `pause_ms` on the wake descriptor alone (the
// reader's pace: more bytes per read, fewer reads), then up to `timeout_ms`
// for the port or the wake descriptor, and reads what the port holds with
// one call. Once woken it only takes what the port already holds.
PortRead wait_and_read(int port, int wake, int pause_ms, int timeout_ms, uint8_t* room, size_t size)
{
    if (pause_ms > 0)
    {
        pollfd woken{wake, POLLIN, 0};
        int ready;
        while ((ready = poll(&woken, 1, pause_ms)) < 0 && errno == EINTR)
        {
        }
        if (ready < 0)
            return {0, errno, false};
        if (ready > 0)
            timeout_ms = 0;
    }
    pollfd fds[2] = {{port, POLLIN, 0}, {wake, POLLIN, 0}};
    for (;;)
    {
        if (poll(fds, 2, timeout_ms) < 0)
        {
            if (errno == EINTR)
                continue;
            return {0, errno, false};
        }
        if (fds[0].revents == 0)
            return {0, 0, false};  // woken, or nothing came in time
        if (fds[0].revents & POLLNVAL)
            return {0, EBADF, false};
        const ssize_t n = read(port, room, size);
        if (n > 0)
            return {static_cast<size_t>(n), 0, false};
        if (n == 0)
            return {0, 0, true};
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return {0, 0, false};
        return {0, errno, false};
    }
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

const char* const kReadPortDoc =
    "read_port(port, wake, pause, timeout, news, buffer, held, packet_size, ring_adc, ring_value, ring_end,\n"
    "          room, keep, waiting, adc, value, converter, native)\n--\n\n"
    "Wait for the port, read it with one system call after what buffer holds, and convert the packets\n"
    "straight into a ring's free room, publishing its new end; again and again, for up to news seconds,\n"
    "while the samples fit, without the GIL (with a converter that is not native: once, converting\n"
    "with the GIL).\n\n"
    ":param port: the port's file descriptor.\n"
    ":param wake: a descriptor that becomes readable to end the wait (-1: none).\n"
    ":param pause: seconds to wait for wake alone before each wait for the port (the reader's pace).\n"
    ":param timeout: seconds to wait at most for the port (0: take what it holds; below 0: for ever).\n"
    ":param news: seconds after which to return at the latest, once something was read.\n"
    ":param buffer: a bytearray, the remainder of the last read in front.\n"
    ":param held: the length of that remainder.\n"
    ":param packet_size: 3 or 4.\n"
    ":param ring_adc: the ring's uint32 counts.\n"
    ":param ring_value: its float64 values, as many.\n"
    ":param ring_end: an int64 array whose first item is the number the ring's next sample gets;\n"
    "    advanced as samples are written.\n"
    ":param room: how many samples the ring takes after its end (wrapping) without dropping any.\n"
    ":param keep: samples to keep at most; the rest are converted and dropped.\n"
    ":param waiting: an int64 array whose first item, above 0, says a consumer waits: return as soon\n"
    "    as samples were written.\n"
    ":param adc: a writable uint32 array with room for len(buffer) // packet_size counts: the\n"
    "    samples beyond the ring's room go here.\n"
    ":param value: a writable float64 array of the same room.\n"
    ":param converter: the converter.\n"
    ":param native: as for convert().\n"
    ":return: (samples written into the ring, samples written into adc and value, length of the new\n"
    "    remainder, now in front of buffer, byte positions skipped, bytes read, error): error is 0,\n"
    "    the errno of a failed wait or read, or -1 for end of file (the port is gone); what came\n"
    "    before it is converted and counted.\n"
    ":raises ValueError: held not below len(buffer), room beyond the ring, or arrays too short.";

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

double monotonic()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

PyObject* read_port(PyObject* module, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 18)
        return PyErr_Format(PyExc_TypeError, "read_port() takes 18 arguments (%zd given)", nargs);
    ModuleState* st = state_of(module);
    int port = -1;
    int wake = -1;
    long packet_size = 0;
    if (!read_descriptor(args[0], &port) || !read_descriptor(args[1], &wake) || !read_packet_size(args[7], &packet_size))
        return nullptr;
    const double pause = PyFloat_AsDouble(args[2]);
    const double timeout = PyFloat_AsDouble(args[3]);
    const double news = PyFloat_AsDouble(args[4]);
    const Py_ssize_t held = PyLong_AsSsize_t(args[6]);
    const Py_ssize_t ring_room = PyLong_AsSsize_t(args[11]);
    const Py_ssize_t keep = PyLong_AsSsize_t(args[12]);
    if (PyErr_Occurred())
        return nullptr;
    const int native = PyObject_IsTrue(args[17]);
    if (native < 0)
        return nullptr;
    ArrayView buffer_view;
    ArrayView ring_adc;
    ArrayView ring_value;
    ArrayView end_view;
    ArrayView waiting_view;
    ArrayView adc_view;
    ArrayView value_view;
    if (!buffer_view.open(args[5], "B", 1, "buffer") || !ring_adc.open(args[8], "I", 4, "ring_adc") ||
        !ring_value.open(args[9], "d", 8, "ring_value") || !open_cell(args[10], end_view, "ring_end") ||
        !open_cell(args[13], waiting_view, "waiting") || !adc_view.open(args[14], "I", 4, "adc") ||
        !value_view.open(args[15], "d", 8, "value"))
        return nullptr;
    const size_t size = buffer_view.count();
    if (held < 0 || static_cast<size_t>(held) >= size)
        return PyErr_Format(PyExc_ValueError, "held must be at least 0 and below %zu, not %zd", size, held);
    const size_t capacity = ring_adc.count();
    int64_t* end = end_view.items<int64_t>();
    const int64_t first_end = *end;
    if (ring_value.count() != capacity || capacity == 0 || first_end < 0 || ring_room < 0 ||
        static_cast<size_t>(ring_room) > capacity || keep < 0)
        return PyErr_Format(PyExc_ValueError, "a ring of %zu samples has no room of %zd after %lld (keeping %zd)",
                            capacity, ring_room, static_cast<long long>(first_end), keep);
    const size_t room = size / static_cast<size_t>(packet_size);
    if (adc_view.count() < room || value_view.count() < room)
        return PyErr_Format(PyExc_ValueError, "adc and value need room for %zu samples", room);
    adc::Calibration calibration;
    if (native && !read_calibration(st, args[16], &calibration))
        return nullptr;
    uint8_t* bytes = buffer_view.items<uint8_t>();
    const int64_t* waiting = waiting_view.items<int64_t>();
    size_t now_held = static_cast<size_t>(held);
    size_t written = 0;   // into the ring, published
    size_t spilled = 0;   // into adc and value
    size_t kept = 0;
    size_t skipped = 0;
    size_t received = 0;
    int error = 0;
    PortRead got{};
    auto read_once = [&] {
        const bool late = got.received > size / 2;  // came back to a port half full: no pause
        got = wait_and_read(port, wake, late ? 0 : milliseconds(pause), milliseconds(timeout), bytes + now_held,
                            size - now_held);
        error = got.error ? got.error : got.ended ? -1 : 0;
        return got.received > 0;
    };
    // Converts what read_once read, publishes the ring's end; returns whether to go on reading.
    auto convert_once = [&](bool by_name) {
        Outputs out{ring_adc.items<uint32_t>(), ring_value.items<double>(), capacity,
                    static_cast<size_t>((first_end + static_cast<int64_t>(written)) % static_cast<int64_t>(capacity)),
                    static_cast<size_t>(ring_room) - written, adc_view.items<uint32_t>(), value_view.items<double>(),
                    static_cast<size_t>(keep) - kept, 0};
        const size_t total = now_held + got.received;
        const stream::ScanResult scanned = by_name ? scan_by_name(st, args[16], packet_size, bytes, total, out)
                                                   : scan_native(calibration, packet_size, bytes, total, out);
        if (scanned.aborted)
            return false;
        now_held = total - scanned.next;
        std::memmove(bytes, bytes + scanned.next, now_held);
        written += out.direct();
        spilled = out.kept() - out.direct();
        kept += out.kept();
        skipped += scanned.invalid;
        received += got.received;
        __atomic_store_n(end, first_end + static_cast<int64_t>(written), __ATOMIC_RELEASE);
        return !spilled && kept < static_cast<size_t>(keep) &&
               !(out.direct() && __atomic_load_n(waiting, __ATOMIC_ACQUIRE) > 0);
    };
    bool more = false;
    Py_BEGIN_ALLOW_THREADS
    more = read_once();
    if (native)
    {
        const double deadline = monotonic() + news;
        while (more && convert_once(false) && monotonic() < deadline)
            more = read_once();
        more = false;
    }
    Py_END_ALLOW_THREADS
    if (more && !convert_once(true) && PyErr_Occurred())
        return nullptr;
    return Py_BuildValue("(nnnnni)", static_cast<Py_ssize_t>(written), static_cast<Py_ssize_t>(spilled),
                         static_cast<Py_ssize_t>(now_held), static_cast<Py_ssize_t>(skipped),
                         static_cast<Py_ssize_t>(received), error);
}

#endif

PyMethodDef module_methods[] = {
    {"convert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(convert)), METH_FASTCALL, kConvertDoc},
#ifndef _WIN32
    {"read_port", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_port)), METH_FASTCALL,
     kReadPortDoc},
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
