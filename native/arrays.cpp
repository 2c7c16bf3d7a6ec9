// vexlo_tools._arrays: stream packets straight into caller-provided arrays.
//
// The same packet scan and ADC arithmetic as the extension's own stream
// conversion (src/calibration/stream_core.hpp and adc_core.hpp), with
// results written into buffers instead of one object per sample. A
// converter with the native arithmetic is converted without the GIL; any
// other is asked through convert_adc for every packet, with the extension's
// skip rules.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

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
        if (m_view.ndim != 1 || m_view.itemsize != itemsize || std::strcmp(given, format) != 0)
        {
            PyErr_Format(PyExc_TypeError, "%s must be a one-dimensional array of %s, not format '%s' with %d dimension(s)",
                         what, format[0] == 'd' ? "float64" : "uint32", m_view.format ? m_view.format : "B",
                         m_view.ndim);
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

struct Outputs
{
    uint32_t* adc;
    double* value;
    size_t taken;
};

template <typename Packet>
stream::ScanResult scan_native(const adc::Calibration& calibration, const BufferView& data, Outputs& out)
{
    return stream::scan<Packet>(data.bytes(), data.size(), [&](uint64_t count, size_t) {
        out.adc[out.taken] = static_cast<uint32_t>(count);
        out.value[out.taken] = adc::convert(calibration, count);
        ++out.taken;
        return stream::Outcome::Accepted;
    });
}

template <typename Packet>
stream::ScanResult scan_by_name(ModuleState* st, PyObject* converter, const BufferView& data, Outputs& out)
{
    return stream::scan<Packet>(data.bytes(), data.size(), [&](uint64_t count, size_t) {
        Ref number(PyLong_FromUnsignedLongLong(count));
        if (!number)
            return stream::Outcome::Abort;
        Ref value(PyObject_CallMethodOneArg(converter, st->convert_adc, number.get()));
        double calibrated = 0.0;
        if (value && stream::result_as_double(value.get(), &calibrated))
        {
            out.adc[out.taken] = static_cast<uint32_t>(count);
            out.value[out.taken] = calibrated;
            ++out.taken;
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
    long packet_size = PyLong_AsLong(args[1]);
    if (packet_size == -1 && PyErr_Occurred())
        return nullptr;
    if (packet_size != 3 && packet_size != 4)
        return PyErr_Format(PyExc_ValueError, "packet_size must be 3 or 4, not %ld", packet_size);
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
    Outputs out{adc_view.items<uint32_t>(), value_view.items<double>(), 0};
    stream::ScanResult scanned{};
    if (native)
    {
        adc::Calibration calibration;
        if (!read_calibration(st, args[4], &calibration))
            return nullptr;
        Py_BEGIN_ALLOW_THREADS
        scanned = packet_size == 3 ? scan_native<stream::ThreeBytePacket>(calibration, data, out)
                                   : scan_native<stream::FourBytePacket>(calibration, data, out);
        Py_END_ALLOW_THREADS
    }
    else
    {
        scanned = packet_size == 3 ? scan_by_name<stream::ThreeBytePacket>(st, args[4], data, out)
                                   : scan_by_name<stream::FourBytePacket>(st, args[4], data, out);
        if (scanned.aborted)
            return nullptr;
    }
    return Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(out.taken), static_cast<Py_ssize_t>(scanned.next),
                         static_cast<Py_ssize_t>(scanned.invalid));
}

PyMethodDef module_methods[] = {
    {"convert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(convert)), METH_FASTCALL, kConvertDoc},
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
