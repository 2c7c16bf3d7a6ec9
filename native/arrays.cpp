// vexlo_tools._arrays: stream packets straight into caller-provided arrays,
// and each port's reader (Reader, over reading::PortReader) with the loop
// that reads ports into their readers (read_ports).
//
// The same packet scan and ADC arithmetic as the extension's own stream
// conversion (src/calibration/stream_core.hpp and adc_core.hpp), with
// results written into buffers instead of one object per sample. A
// converter with the native arithmetic is converted without the GIL; any
// other is asked through convert_adc for every packet, with the extension's
// skip rules.
#include <Python.h>

#include <atomic>
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
#include "common/boundary.hpp"
#include "common/buffer.hpp"
#include "common/compat.hpp"
#include "common/ref.hpp"
#include "port_reader.hpp"

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
    PyTypeObject* reader_type;
};

extern PyModuleDef module_def;

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

// The value of a count by the calibration's arithmetic (without the GIL).
struct NativeValue
{
    const adc::Calibration& calibration;

    stream::Outcome operator()(uint64_t count, double* value) const
    {
        *value = adc::convert(calibration, count);
        return stream::Outcome::Accepted;
    }
};

// The value of a count as converter.convert_adc gives it, with the
// extension's skip rules (with the GIL).
struct ValueByName
{
    ModuleState* st;
    PyObject* converter;

    stream::Outcome operator()(uint64_t count, double* calibrated) const
    {
        Ref number(PyLong_FromUnsignedLongLong(count));
        if (!number)
            return stream::Outcome::Abort;
        Ref value(PyObject_CallMethodOneArg(converter, st->convert_adc, number.get()));
        if (value && stream::result_as_double(value.get(), calibrated))
            return stream::Outcome::Accepted;
        Ref error(compat::take_raised_exception());
        if (!stream::skips_position(error.get()))
        {
            compat::set_raised_exception(error.release());
            return stream::Outcome::Abort;
        }
        return stream::Outcome::Rejected;
    }
};

// f(Packet{}) with the packet type of `packet_size` (3 or 4).
template <typename F>
auto with_packet(long packet_size, F&& f)
{
    return packet_size == 3 ? f(stream::ThreeBytePacket{}) : f(stream::FourBytePacket{});
}

// Converts data[0, size) into adc and value (room for size / packet_size samples).
template <typename ValueOf>
stream::ScanResult convert_into(long packet_size, const uint8_t* data, size_t size, uint32_t* adc, double* value,
                                size_t& taken, ValueOf&& value_of)
{
    return with_packet(packet_size, [&](auto packet) {
        return stream::scan<decltype(packet)>(data, size, [&](uint64_t count, size_t) {
            const stream::Outcome outcome = value_of(count, value + taken);
            if (outcome == stream::Outcome::Accepted)
                adc[taken++] = static_cast<uint32_t>(count);
            return outcome;
        });
    });
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
    uint32_t* adc = adc_view.items<uint32_t>();
    double* value = value_view.items<double>();
    size_t taken = 0;
    adc::Calibration calibration;
    if (native && !read_calibration(st, args[4], &calibration))
        return nullptr;
    stream::ScanResult scanned{};
    if (native)
    {
        Py_BEGIN_ALLOW_THREADS
        scanned = convert_into(packet_size, data.bytes(), data.size(), adc, value, taken, NativeValue{calibration});
        Py_END_ALLOW_THREADS
    }
    else if ((scanned = convert_into(packet_size, data.bytes(), data.size(), adc, value, taken,
                                     ValueByName{st, args[4]})).aborted)
        return nullptr;
    return Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(taken), static_cast<Py_ssize_t>(scanned.next),
                         static_cast<Py_ssize_t>(scanned.invalid));
}

// --- a port's reader -----------------------------------------------------------

// The Python face of a reading::PortReader: the converter it asks (or the
// calibration it applies), and how its last read of a port ended.
struct ReaderState
{
    std::unique_ptr<reading::PortReader> core;
    Ref converter;
    adc::Calibration calibration{};
    bool native = false;
    std::atomic<int> error{0};        // errno of a failed wait or read, -1 for end of file
    std::atomic<bool> writing{false};  // the ring's one writer at work
};

struct ReaderObject
{
    PyObject_HEAD
    ReaderState* state;
};

ReaderState& state(PyObject* self)
{
    return *reinterpret_cast<ReaderObject*>(self)->state;
}

// Holds the reader as its ring's one writer for a scope: a second writer is refused.
class Writing
{
public:
    bool enter(ReaderState& reader)
    {
        if (reader.writing.exchange(true))
        {
            PyErr_SetString(PyExc_RuntimeError, "the reader is writing into its ring on another thread");
            return false;
        }
        m_reader = &reader;
        return true;
    }
    Writing() = default;
    Writing(const Writing&) = delete;
    Writing& operator=(const Writing&) = delete;
    ~Writing()
    {
        if (m_reader)
            m_reader->writing.store(false);
    }

private:
    ReaderState* m_reader = nullptr;
};

// Converts what the reader received since its last conversion into its ring;
// returns false when a converter's error is raised (with the GIL then).
// Native arithmetic needs no GIL.
bool convert_received(ModuleState* st, ReaderState& reader, uint64_t& kept)
{
    const long packet_size = static_cast<long>(reader.core->packet_size());
    const stream::ScanResult scanned = with_packet(packet_size, [&](auto packet) {
        using Packet = decltype(packet);
        return reader.native ? reader.core->convert<Packet>(NativeValue{reader.calibration}, kept)
                             : reader.core->convert<Packet>(ValueByName{st, reader.converter.get()}, kept);
    });
    return !scanned.aborted;
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    static const char* names[] = {"packet_size", "capacity", "buffer_size", "converter", "native", "keep", nullptr};
    PyObject* size_object = nullptr;
    Py_ssize_t capacity = 0;
    Py_ssize_t buffer_size = 0;
    PyObject* converter = nullptr;
    int native = 0;
    PyObject* keep_object = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OnnOp|O:Reader", const_cast<char**>(names), &size_object,
                                     &capacity, &buffer_size, &converter, &native, &keep_object))
        return nullptr;
    long packet_size = 0;
    if (!read_packet_size(size_object, &packet_size))
        return nullptr;
    uint64_t keep = reading::PortReader::kForever;
    if (keep_object != Py_None)
    {
        const Py_ssize_t limit = PyLong_AsSsize_t(keep_object);
        if (limit == -1 && PyErr_Occurred())
            return nullptr;
        if (limit < 0)
            return PyErr_Format(PyExc_ValueError, "keep must be at least 0, not %zd", limit);
        keep = static_cast<uint64_t>(limit);
    }
    if (capacity < 1)
        return PyErr_Format(PyExc_ValueError, "a ring holds at least one sample, not %zd", capacity);
    if (buffer_size < packet_size)
        return PyErr_Format(PyExc_ValueError, "the buffer must hold a packet at least, not %zd bytes", buffer_size);
    ModuleState* st = state_of(PyType_GetModuleByDef(type, &module_def));
    adc::Calibration calibration{};
    if (native && !read_calibration(st, converter, &calibration))
        return nullptr;
    Ref self(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    auto reader = std::make_unique<ReaderState>();
    reader->core = std::make_unique<reading::PortReader>(
        static_cast<size_t>(packet_size), static_cast<size_t>(capacity), keep, static_cast<size_t>(buffer_size));
    reader->converter = Ref(converter, true);
    reader->calibration = calibration;
    reader->native = native != 0;
    reinterpret_cast<ReaderObject*>(self.get())->state = reader.release();
    return self.release();
}

int reader_traverse(PyObject* self, visitproc visit, void* arg)
{
    Py_VISIT(Py_TYPE(self));
    ReaderState* reader = reinterpret_cast<ReaderObject*>(self)->state;
    if (reader)
        Py_VISIT(reader->converter.get());
    return 0;
}

int reader_clear(PyObject* self)
{
    ReaderState* reader = reinterpret_cast<ReaderObject*>(self)->state;
    if (reader)
        reader->converter = Ref();
    return 0;
}

void reader_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete reinterpret_cast<ReaderObject*>(self)->state;
    reinterpret_cast<ReaderObject*>(self)->state = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t reader_length(PyObject* self)
{
    return static_cast<Py_ssize_t>(state(self).core->held());
}

PyObject* reader_feed(PyObject* self, PyObject* data_object)
{
    ReaderState& reader = state(self);
    Writing writing;
    BufferView data;
    if (!writing.enter(reader) || !data.open(data_object))
        return nullptr;
    ModuleState* st = state_of(PyType_GetModuleByDef(Py_TYPE(self), &module_def));
    uint64_t kept = 0;
    size_t at = 0;
    do
    {
        at += reader.core->put_bytes(data.bytes() + at, data.size() - at);
        if (!convert_received(st, reader, kept))
            return nullptr;
    } while (at < data.size());
    return PyLong_FromUnsignedLongLong(kept);
}

PyObject* reader_take(PyObject* self, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 2)
        return PyErr_Format(PyExc_TypeError, "take() takes 2 arguments (%zd given)", nargs);
    ArrayView adc;
    ArrayView value;
    if (!adc.open(args[0], "I", 4, "adc") || !value.open(args[1], "d", 8, "value"))
        return nullptr;
    uint64_t first = 0;
    const size_t taken = state(self).core->take(adc.items<uint32_t>(), value.items<double>(),
                                                std::min(adc.count(), value.count()), &first);
    return Py_BuildValue("(Kn)", static_cast<unsigned long long>(first), static_cast<Py_ssize_t>(taken));
}

template <uint64_t (reading::PortReader::*F)() const>
PyObject* get_count(PyObject* self, void*)
{
    return PyLong_FromUnsignedLongLong((state(self).core.get()->*F)());
}

PyObject* get_keep(PyObject* self, void*)
{
    const uint64_t keep = state(self).core->keep();
    return keep == reading::PortReader::kForever ? Py_NewRef(Py_None) : PyLong_FromUnsignedLongLong(keep);
}

PyObject* get_reached(PyObject* self, void*)
{
    return PyBool_FromLong(state(self).core->due() == 0);
}

PyObject* get_remainder(PyObject* self, void*)
{
    const reading::PortReader& core = *state(self).core;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(core.remainder()),
                                     static_cast<Py_ssize_t>(core.remainder_size()));
}

PyObject* get_failure(PyObject* self, void*)
{
    const int error = state(self).error;
    if (error == 0)
        Py_RETURN_NONE;
    if (error < 0)
        return PyObject_CallFunction(PyExc_OSError, "s", "end of file on the port");
    return PyObject_CallFunction(PyExc_OSError, "is", error, std::strerror(error));
}

const char* const kReaderDoc =
    "Reader(packet_size, capacity, buffer_size, converter, native, keep=None)\n--\n\n"
    "One port's reader: the bytes of an unfinished packet, the ring of samples, what a finite run keeps,\n"
    "and the counters. It is its ring's only writer (feed(), read_ports()); a consumer takes from any thread.\n"
    "When the ring is full, the oldest samples make room and are counted in overrun.\n\n"
    ":param packet_size: 3 or 4.\n"
    ":param capacity: the samples the ring holds.\n"
    ":param buffer_size: bytes a read of the port takes at most, after the remainder.\n"
    ":param converter: the converter.\n"
    ":param native: as for convert().\n"
    ":param keep: samples to keep at most (a finite run's plan; the rest are converted and dropped);\n"
    "    None for an open-ended run.";

PyMethodDef reader_methods[] = {
    {"feed", guarded<reader_feed>, METH_O,
     "feed(data)\n--\n\nConvert stream bytes after the remainder into the ring; return the samples kept.\n\n"
     ":raises RuntimeError: the reader is writing on another thread."},
    {"take", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<reader_take>)), METH_FASTCALL,
     "take(adc, value)\n--\n\nCopy up to len(adc) of the oldest samples held into adc (uint32) and value\n"
     "(float64), oldest first, and let them go; return (the first one's number, how many)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"start", get_count<&reading::PortReader::start>, nullptr, "The number of the oldest sample held.", nullptr},
    {"end", get_count<&reading::PortReader::end>, nullptr,
     "The number the next sample gets: every sample kept so far (the received count).", nullptr},
    {"overrun", get_count<&reading::PortReader::overrun>, nullptr,
     "Samples dropped from the full ring to make room.", nullptr},
    {"corrupted", get_count<&reading::PortReader::corrupted>, nullptr, "Byte positions the scan skipped.", nullptr},
    {"bytes_read", get_count<&reading::PortReader::bytes>, nullptr, "Stream bytes received.", nullptr},
    {"keep", get_keep, nullptr, "Samples kept at most, or None.", nullptr},
    {"reached", get_reached, nullptr, "Whether a finite run has all it keeps.", nullptr},
    {"remainder", get_remainder, nullptr, "The bytes of an unfinished packet, carried to the next read.", nullptr},
    {"failure", get_failure, nullptr,
     "The OSError that ended the reading of the port (read_ports()), or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>(kReaderDoc)},
    {Py_tp_new, reinterpret_cast<void*>(guarded<reader_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {Py_sq_length, reinterpret_cast<void*>(reader_length)},
    {Py_mp_length, reinterpret_cast<void*>(reader_length)},
    {0, nullptr},
};

PyType_Spec reader_spec = {"vexlo_tools._arrays.Reader", sizeof(ReaderObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, reader_slots};

// --- reading ports --------------------------------------------------------------

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

// One port of a read_ports() call: its descriptor and its reader.
struct PortJob
{
    Ref object;
    ReaderState* reader = nullptr;
    Writing writing;
    int port = -1;
    size_t last = 0;  // bytes of the last read

    // Failed, or with all it keeps: not read again in this call.
    bool done() const { return reader->error != 0 || reader->core->due() == 0; }
    // Came back to a port at least half full: the next round should not pause.
    bool late() const { return last > reader->core->free_size() / 2; }

    // Without the GIL: one read of what the port holds after the remainder.
    void read_now(short revents)
    {
        if (revents & POLLNVAL)
        {
            reader->error = EBADF;
            return;
        }
        reading::PortReader& core = *reader->core;
        for (;;)
        {
            const ssize_t n = read(port, core.free_bytes(), core.free_size());
            if (n > 0)
                core.received(last = static_cast<size_t>(n));
            else if (n == 0)
                reader->error = -1;  // end of file: the port is gone
            else if (errno == EINTR)
                continue;
            else if (errno != EAGAIN && errno != EWOULDBLOCK)
                reader->error = errno;
            return;
        }
    }
};

// Without the GIL: waits `pause_ms` on the wake descriptor alone (the readers'
// pace: more bytes per read, fewer reads), then up to `timeout_ms` for any
// port or the wake descriptor, and reads each port that holds bytes with one
// call. Returns whether anything was read; once woken (`woken` set), it only
// takes what the ports already hold. `fds` has a slot per job and one for wake, last.
bool wait_and_read(std::vector<PortJob>& jobs, std::vector<pollfd>& fds, int wake, int pause_ms, int timeout_ms,
                   bool& woken)
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
                job.reader->error = errno;
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
        jobs[i].last = 0;
        fds[i] = {jobs[i].done() ? -1 : jobs[i].port, POLLIN, 0};  // a negative descriptor is left out
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
            if (!job.done())
                job.reader->error = error;
        return false;
    }
    woken = woken || fds.back().revents != 0;
    bool any = false;
    for (size_t i = 0; i < jobs.size(); ++i)
        if (fds[i].fd >= 0 && fds[i].revents != 0)
        {
            jobs[i].read_now(fds[i].revents);
            any = any || jobs[i].reader->core->pending();
        }
    return any;
}

const char* const kReadPortsDoc =
    "read_ports(readers, descriptors, wake, pause, timeout, news, waiting)\n--\n\n"
    "Wait for any of the ports, read each that holds bytes with one system call after what its reader's\n"
    "buffer holds, and convert the packets into its reader's ring; again and again, for up to news seconds,\n"
    "without the GIL, until woken, or a port fails or its reader has all it keeps (with a converter that\n"
    "is not native: once, converting with the GIL). A failure is the reader's: see Reader.failure;\n"
    "what came before it is converted and counted.\n\n"
    ":param readers: a sequence of Reader, one per port, each read by nobody else meanwhile.\n"
    ":param descriptors: the ports' file descriptors, in the same order.\n"
    ":param wake: a descriptor that becomes readable to end the wait (-1: none).\n"
    ":param pause: seconds to wait for wake alone before each wait for the ports (the readers' pace).\n"
    ":param timeout: seconds to wait at most for the ports (0: take what they hold; below 0: for ever).\n"
    ":param news: seconds after which to return at the latest, once something was read.\n"
    ":param waiting: an int64 array whose first item, above 0, says a consumer waits: return as soon\n"
    "    as samples were kept.\n"
    ":raises TypeError: a reader that is not a Reader, or descriptors of another length.\n"
    ":raises RuntimeError: a reader is writing on another thread.";

PyObject* read_ports(PyObject* module, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 7)
        return PyErr_Format(PyExc_TypeError, "read_ports() takes 7 arguments (%zd given)", nargs);
    ModuleState* st = state_of(module);
    int wake = -1;
    if (!read_descriptor(args[2], &wake))
        return nullptr;
    const double pause = PyFloat_AsDouble(args[3]);
    const double timeout = PyFloat_AsDouble(args[4]);
    const double news = PyFloat_AsDouble(args[5]);
    if (PyErr_Occurred())
        return nullptr;
    ArrayView waiting_view;
    if (!waiting_view.open(args[6], "q", 8, "waiting"))
        return nullptr;
    if (waiting_view.count() == 0)
        return PyErr_Format(PyExc_ValueError, "waiting must hold at least one item");
    Ref readers(PySequence_Fast(args[0], "readers must be a sequence"));
    Ref descriptors(readers ? PySequence_Fast(args[1], "descriptors must be a sequence") : nullptr);
    if (!descriptors)
        return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(readers.get());
    if (PySequence_Fast_GET_SIZE(descriptors.get()) != count)
        return PyErr_Format(PyExc_TypeError, "%zd readers and %zd descriptors", count,
                            PySequence_Fast_GET_SIZE(descriptors.get()));
    std::vector<PortJob> jobs(static_cast<size_t>(count));
    std::vector<pollfd> fds(static_cast<size_t>(count) + 1);
    bool all_native = true;
    for (Py_ssize_t i = 0; i < count; ++i)
    {
        PortJob& job = jobs[static_cast<size_t>(i)];
        PyObject* item = PySequence_Fast_GET_ITEM(readers.get(), i);
        if (!PyObject_TypeCheck(item, st->reader_type))
            return PyErr_Format(PyExc_TypeError, "readers must be Reader objects, not %s", Py_TYPE(item)->tp_name);
        job.object = Ref(item, true);
        job.reader = &state(item);
        if (!read_descriptor(PySequence_Fast_GET_ITEM(descriptors.get(), i), &job.port) ||
            !job.writing.enter(*job.reader))
            return nullptr;
        all_native = all_native && job.reader->native;
    }
    const int64_t* waiting = waiting_view.items<int64_t>();
    uint64_t kept = 0;
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
            if (job.reader->core->pending())
            {
                const uint64_t before = kept;
                convert_received(st, *job.reader, kept);  // native: no error to raise
                written = written || kept > before;
            }
            late = late || job.late();
            go_on = go_on && !job.done();
        }
        if (woken || !go_on || (written && __atomic_load_n(waiting, __ATOMIC_ACQUIRE) > 0) || monotonic() >= deadline)
            break;
    }
    Py_END_ALLOW_THREADS
    for (auto& job : jobs)
        if (job.reader->core->pending() && !convert_received(st, *job.reader, kept))
            return nullptr;
    Py_RETURN_NONE;
}

#endif

PyMethodDef module_methods[] = {
    {"convert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(convert)), METH_FASTCALL, kConvertDoc},
#ifndef _WIN32
    {"read_ports", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<read_ports>)), METH_FASTCALL,
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
    if (!(st->convert_adc = PyUnicode_InternFromString("convert_adc")))
        return -1;
    st->reader_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &reader_spec, nullptr));
    if (!st->reader_type)
        return -1;
    return PyModule_AddObjectRef(module, "Reader", reinterpret_cast<PyObject*>(st->reader_type));
}

int module_traverse(PyObject* module, visitproc visit, void* arg)
{
    ModuleState* st = state_of(module);
    if (!st)
        return 0;
    for (PyObject* name : st->names)
        Py_VISIT(name);
    Py_VISIT(st->convert_adc);
    Py_VISIT(st->reader_type);
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
    Py_CLEAR(st->reader_type);
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
    "Stream packets into caller-provided arrays and into ports' readers\n"
    "(the extension's packet scan and ADC arithmetic).",
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
