// TEDSData: the parsed TEDS data sheet, a typed value class, and its four
// static methods. The bit decoding itself is in teds_image.
#include <Python.h>
#include "common/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/args.hpp"
#include "common/boundary.hpp"
#include "common/call.hpp"
#include "common/errors.hpp"
#include "common/fields.hpp"
#include "common/function.hpp"
#include "common/interrupt.hpp"
#include "common/message.hpp"
#include "common/state.hpp"
#include "protocol/bytes.hpp"
#include "subsystems.hpp"
#include "teds/teds_image.hpp"

namespace vexlo
{

namespace
{

struct TedsData
{
    PyObject_HEAD
    Ref raw_data;       // anything; None by default
    int32_t template_id;
    Ref serial_number;  // a str or None
    int32_t engineering_unit;
    double min_capacity;
    double max_capacity;
    double min_electrical;
    double max_electrical;
    bool reverse_scaling_enabled;
    double reverse_max_electrical;
};

TedsData* as_teds(PyObject* ob)
{
    return reinterpret_cast<TedsData*>(ob);
}

// The first line is the constructor's text signature, which inspect reads;
// the interpreter leaves it out of __doc__.
const char* const kTypeDoc =
    "TEDSData()\n--\n\n"
    "Parsed TEDS (IEEE 1451.4) data sheet of a sensor.\n\n"
    "Holds the sensor's serial number, engineering unit code, physical range,\n"
    "electrical range (mV/V) and reverse-scaling extension, as decoded from\n"
    "the 512-byte TEDS image by :meth:`parse_from_bytes`.\n\n"
    ":raises TypeError: If the constructor is given any argument.";

// ------------------------------------------------------------------ the type

fields::FieldSet& teds_fields()
{
    using T = TedsData;
    static fields::FieldSet set("vexlo_device_communication.TEDSData", {
        VEXLO_FIELD(T, raw_data, Object, "The TEDS image exactly as it was handed to parse_from_bytes."),
        // `template` is a C++ keyword, so this member has a name of its own.
        fields::Field{"template", fields::Kind::Int32, offsetof(T, template_id), "The TEDS template ID."},
        VEXLO_FIELD(T, serial_number, Text, "The sensor serial number in decimal digits."),
        VEXLO_FIELD(T, engineering_unit, Int32, "The 6-bit engineering unit code."),
        VEXLO_FIELD(T, min_capacity, Double, "Minimum physical value, in the sensor's native unit."),
        VEXLO_FIELD(T, max_capacity, Double, "Maximum physical value (rated capacity), in the sensor's native unit."),
        VEXLO_FIELD(T, min_electrical, Double, "Electrical output at min_capacity, in mV/V."),
        VEXLO_FIELD(T, max_electrical, Double, "Electrical output at max_capacity, in mV/V."),
        VEXLO_FIELD(T, reverse_scaling_enabled, Bool, "Whether the data sheet carries reverse (second-direction) scaling."),
        VEXLO_FIELD(T, reverse_max_electrical, Double, "Electrical output at full capacity in the reverse direction, in mV/V."),
    });
    return set;
}

// Every field back to its default: numbers 0, raw_data None, the serial
// number empty text.
bool set_defaults(PyObject* self)
{
    TedsData* data = as_teds(self);
    Ref empty(PyUnicode_FromStringAndSize("", 0));
    if (!empty)
        return false;
    data->raw_data.set(nullptr);
    data->serial_number.set(empty.release());
    data->template_id = 0;
    data->engineering_unit = 0;
    data->min_capacity = 0.0;
    data->max_capacity = 0.0;
    data->min_electrical = 0.0;
    data->max_electrical = 0.0;
    data->reverse_scaling_enabled = false;
    data->reverse_max_electrical = 0.0;
    return true;
}

bool no_arguments(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    if ((args && PyTuple_GET_SIZE(args) > 0) || (kwargs && PyDict_GET_SIZE(kwargs) > 0))
    {
        Ref name(PyType_GetName(type));
        if (name)
            PyErr_Format(PyExc_TypeError, "%U() takes no arguments", name.get());
        return false;
    }
    return true;
}

int teds_init(PyObject* self, PyObject* args, PyObject* kwargs);

PyObject* teds_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    // A subclass with its own __init__ takes its own arguments.
    if (type->tp_init == teds_init && !no_arguments(type, args, kwargs))
        return nullptr;
    Ref self(teds_fields().allocate(type));
    if (!self || !set_defaults(self.get()))
        return nullptr;
    return self.release();
}

int teds_init(PyObject* self, PyObject* args, PyObject* kwargs)
{
    if (!no_arguments(Py_TYPE(self), args, kwargs))
        return -1;
    return set_defaults(self) ? 0 : -1;
}

// ---------------------------------------------------------- static methods

PyObject* bytes_to_bits(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"byte_array", "skip_checksums"}, 1, a))
        return nullptr;
    bool skip = false;
    if (a[1])
    {
        int truth = PyObject_IsTrue(a[1]);
        if (truth < 0)
            return nullptr;
        skip = truth != 0;
    }
    std::vector<uint8_t> bytes;
    if (!collect_bytes(a[0], true, bytes))
        return nullptr;
    std::vector<uint8_t> data = teds::data_bytes(bytes.data(), bytes.size(), skip);
    Ref bits(PyList_New(static_cast<Py_ssize_t>(data.size() * 8)));
    if (!bits)
        return nullptr;
    // Signal handlers may run while the list is filled; untracked, its empty
    // slots stay out of gc.get_objects() and the like until it is complete.
    PyObject_GC_UnTrack(bits.get());
    Py_ssize_t index = 0;
    for (size_t i = 0; i < data.size(); ++i)
    {
        if (!no_interrupt(i))
        {
            // Only the filled part is released: the rest was never touched.
            Py_SET_SIZE(bits.get(), index);
            return nullptr;
        }
        for (int bit = 0; bit < 8; ++bit)
            PyList_SET_ITEM(bits.get(), index++, PyBool_FromLong((data[i] >> bit) & 1));
    }
    PyObject_GC_Track(bits.get());
    return bits.release();
}

// A position argument as a clamped Py_ssize_t (huge values stay huge).
bool position(PyObject* value, Py_ssize_t* out)
{
    Ref index(PyNumber_Index(value));
    if (!index)
        return false;
    *out = PyNumber_AsSsize_t(index.get(), nullptr);
    return !(*out == -1 && PyErr_Occurred());
}

// The bit pattern of `length` (0..32) entries of `bit_array` from `start`
// (non-negative) on, first entry least significant; entries past the end
// count as 0.
bool read_bits(PyObject* bit_array, Py_ssize_t start, Py_ssize_t length, uint32_t* out)
{
    uint32_t pattern = 0;
    for (Py_ssize_t i = 0; i < length; ++i)
    {
        // The size is read on every step: an element's truth test may run
        // Python code that changes the sequence.
        Py_ssize_t size = PySequence_Size(bit_array);
        if (size < 0)
            return false;
        if (start >= size || i >= size - start)
            break;
        Ref item(PySequence_GetItem(bit_array, start + i));
        if (!item)
            return false;
        int truth = PyObject_IsTrue(item.get());
        if (truth < 0)
            return false;
        if (truth)
            pattern |= uint32_t{1} << i;
    }
    *out = pattern;
    return true;
}

bool check_start(Py_ssize_t start)
{
    if (start < 0)
    {
        PyErr_Format(PyExc_ValueError, "start_index must not be negative, got %zd", start);
        return false;
    }
    return true;
}

PyObject* bits_to_int(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[3];
    if (!bind_arguments(fn, args, nargs, kwnames, {"bit_array", "start_index", "length"}, 3, a))
        return nullptr;
    Py_ssize_t start = 0;
    Py_ssize_t length = 0;
    if (!position(a[1], &start) || !position(a[2], &length) || !check_start(start))
        return nullptr;
    // The sum is a signed 32-bit integer: a longer field has no value.
    if (length > 32)
    {
        PyErr_Format(PyExc_ValueError, "length must not exceed 32, got %zd", length);
        return nullptr;
    }
    uint32_t pattern = 0;
    if (length > 0 && !read_bits(a[0], start, length, &pattern))
        return nullptr;
    return PyLong_FromLong(teds::as_signed(pattern));
}

PyObject* bits_to_float(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"bit_array", "start_index"}, 2, a))
        return nullptr;
    Py_ssize_t start = 0;
    if (!position(a[1], &start) || !check_start(start))
        return nullptr;
    uint32_t pattern = 0;
    if (!read_bits(a[0], start, 32, &pattern))
        return nullptr;
    return PyFloat_FromDouble(teds::single_from_pattern(pattern));
}

// Steps of the parse that may fail; wrapped by parse_from_bytes.
PyObject* parse_guarded(PyObject* module, PyObject* raw_bytes, PyObject* template_byte)
{
    std::vector<uint8_t> image;
    if (!collect_bytes(raw_bytes, true, image))
        return nullptr;
    if (image.size() != teds::kImageSize)
    {
        // Only possible when the sequence changed size while it was read.
        PyErr_Format(PyExc_ValueError, "TEDS data changed size while being read (%zu bytes)",
                     image.size());
        return nullptr;
    }
    PyTypeObject* type = type_of(state_of(module)->TEDSDataType);
    Ref result(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(type)));
    if (!result)
        return nullptr;
    TedsData* data = as_teds(result.get());
    data->raw_data.set(raw_bytes, true);
    if (!fields::to_int32(template_byte, &data->template_id))
        return nullptr;
    teds::Fields fields = teds::decode(image.data());
    PyObject* serial = PyUnicode_FromFormat("%lu", static_cast<unsigned long>(fields.serial_number));
    if (!serial)
        return nullptr;
    data->serial_number.set(serial);
    data->engineering_unit = fields.engineering_unit;
    data->min_capacity = fields.min_capacity;
    data->max_capacity = fields.max_capacity;
    data->min_electrical = fields.min_electrical;
    data->max_electrical = fields.max_electrical;
    data->reverse_scaling_enabled = fields.reverse_scaling_enabled;
    data->reverse_max_electrical = fields.reverse_max_electrical;
    return result.release();
}

PyObject* parse_from_bytes(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"raw_bytes", "template_byte"}, 2, a))
        return nullptr;
    ModuleState* st = state_of(fn->module);
    Py_ssize_t size = PyObject_Size(a[0]);
    if (size < 0)
        return nullptr;
    if (size != static_cast<Py_ssize_t>(teds::kImageSize))
        return raise(st->VexloTEDSDataCorruptedError,
                     Message() << "TEDS data must be 512 bytes, got " << static_cast<long long>(size));
    PyObject* result = parse_guarded(fn->module, a[0], a[1]);
    if (result)
        return result;
    // An interrupt raised by an element's conversion ends the parse as it is.
    return raise_wrapped(fn->module, {}, nullptr, st->VexloTEDSDataCorruptedError,
                         "Failed to parse TEDS data: ");
}

struct StaticSpec
{
    const char* name;
    FunctionImpl impl;
    const char* doc;
    const char* signature;
};

const StaticSpec kStatics[] = {
    {"bytes_to_bits", bytes_to_bits,
     "Convert bytes to a list of bits, least significant bit of each byte first.\n\n"
     ":param byte_array: A sequence of integers 0 to 255.\n"
     ":param skip_checksums: Leave out every byte whose index is a multiple of 32\n"
     "    (the TEDS page checksums).\n"
     ":return: A new list of booleans, eight for each byte taken.\n"
     ":raises TypeError: If an element has no integer conversion.\n"
     ":raises OverflowError: If an element lies outside 0 to 255.",
     "(byte_array, skip_checksums=False)"},
    {"bits_to_int", bits_to_int,
     "Read an integer from a bit list, first bit least significant.\n\n"
     ":param bit_array: A sequence of bit values, taken by truth.\n"
     ":param start_index: Position of the field's first bit.\n"
     ":param length: Number of bits, at most 32; 0 or less gives 0.\n"
     ":return: The signed 32-bit value; positions past the end count as 0.\n"
     ":raises ValueError: If length exceeds 32 or start_index is negative.",
     "(bit_array, start_index, length)"},
    {"bits_to_float", bits_to_float,
     "Read an IEEE 754 single from 32 bits of a bit list.\n\n"
     ":param bit_array: A sequence of bit values, taken by truth.\n"
     ":param start_index: Position of the first (least significant) bit.\n"
     ":return: The single-precision value as a float; positions past the end count as 0.\n"
     ":raises ValueError: If start_index is negative.",
     "(bit_array, start_index)"},
    {"parse_from_bytes", parse_from_bytes,
     "Parse a 512-byte TEDS image.\n\n"
     ":param raw_bytes: The TEDS image, 16 pages of 32 bytes.\n"
     ":param template_byte: The TEDS template ID.\n"
     ":return: A new TEDSData.\n"
     ":raises VexloTEDSDataCorruptedError: If the image is not 512 bytes long or\n"
     "    cannot be parsed.",
     "(raw_bytes, template_byte)"},
};

// A static method: a module function stored on the class.
bool add_static(PyObject* module, PyObject* type, const StaticSpec& spec)
{
    std::string qualname = std::string("TEDSData.") + spec.name;
    Ref function(
        make_function(module, spec.impl, spec.name, qualname.c_str(), spec.doc, nullptr, spec.signature));
    Ref member(function ? PyStaticMethod_New(function.get()) : nullptr);
    return member && PyObject_SetAttrString(type, spec.name, member.get()) == 0;
}

}  // namespace

bool add_teds_data_type(PyObject* module)
{
    ModuleState* st = state_of(module);
    if (!fields::add_value_type<teds_fields>(module, sizeof(TedsData), kTypeDoc, st->TEDSDataType,
                                             {
                                                 {Py_tp_new, reinterpret_cast<void*>(guarded<teds_new>)},
                                                 {Py_tp_init, reinterpret_cast<void*>(guarded<teds_init>)},
                                             }))
        return false;
    for (const StaticSpec& spec : kStatics)
        if (!add_static(module, st->TEDSDataType, spec))
            return false;
    return true;
}

}  // namespace vexlo
