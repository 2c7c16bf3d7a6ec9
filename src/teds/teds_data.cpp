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
    PyObject* raw_data;       // strong; None by default
    int32_t template_id;
    PyObject* serial_number;  // strong; str or None
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

// ---------------------------------------------------------------- conversions

// Integer fields take integers, or objects with an integer conversion (a
// float is truncated), within 32 signed bits.
bool to_int32(PyObject* value, int32_t* out)
{
    Ref number;
    PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    if (PyLong_Check(value))
        number = cppy::incref(value);
    else if (nb && (nb->nb_index || nb->nb_int))
    {
        number = nb->nb_index ? PyNumber_Index(value) : PyNumber_Long(value);
        if (!number)
            return false;
    }
    else
    {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (result == -1 && PyErr_Occurred())
        return false;
    if (overflow || result > INT32_MAX || result < INT32_MIN)
    {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int32_t>(result);
    return true;
}

bool to_double(PyObject* value, double* out)
{
    double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred())
        return false;
    *out = result;
    return true;
}

bool to_text_or_none(PyObject* value)
{
    if (value == Py_None || PyUnicode_Check(value))
        return true;
    PyErr_Format(PyExc_TypeError, "Expected str, got %s", Py_TYPE(value)->tp_name);
    return false;
}

void set_defaults(TedsData* self, PyObject* empty_text)
{
    Py_XSETREF(self->raw_data, cppy::incref(Py_None));
    Py_XSETREF(self->serial_number, cppy::incref(empty_text));
    self->template_id = 0;
    self->engineering_unit = 0;
    self->min_capacity = 0.0;
    self->max_capacity = 0.0;
    self->min_electrical = 0.0;
    self->max_electrical = 0.0;
    self->reverse_scaling_enabled = false;
    self->reverse_max_electrical = 0.0;
}

// ------------------------------------------------------------------ the type

int teds_traverse(PyObject* ob, visitproc visit, void* arg)
{
    Py_VISIT(as_teds(ob)->raw_data);
    Py_VISIT(as_teds(ob)->serial_number);
    Py_VISIT(Py_TYPE(ob));
    return 0;
}

int teds_clear(PyObject* ob)
{
    Py_CLEAR(as_teds(ob)->raw_data);
    Py_CLEAR(as_teds(ob)->serial_number);
    return 0;
}

void teds_dealloc(PyObject* ob)
{
    PyTypeObject* type = Py_TYPE(ob);
    PyObject_GC_UnTrack(ob);
    teds_clear(ob);
    type->tp_free(ob);
    Py_DECREF(type);
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
    Ref empty(PyUnicode_FromStringAndSize("", 0));
    if (!empty)
        return nullptr;
    Ref self(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    set_defaults(as_teds(self.get()), empty.get());
    return self.release();
}

int teds_init(PyObject* self, PyObject* args, PyObject* kwargs)
{
    if (!no_arguments(Py_TYPE(self), args, kwargs))
        return -1;
    Ref empty(PyUnicode_FromStringAndSize("", 0));
    if (!empty)
        return -1;
    set_defaults(as_teds(self), empty.get());
    return 0;
}

// ------------------------------------------------------------- the fields

enum class Kind
{
    Object,    // raw_data: anything, deletable
    Text,      // serial_number: str or None, deletable
    Int32,
    Double,
    Boolean
};

struct FieldSpec
{
    const char* name;
    Kind kind;
    size_t offset;
    const char* doc;
};

// In declaration order.
const FieldSpec kFields[] = {
    {"raw_data", Kind::Object, offsetof(TedsData, raw_data),
     "The TEDS image exactly as it was handed to parse_from_bytes."},
    {"template", Kind::Int32, offsetof(TedsData, template_id), "The TEDS template ID."},
    {"serial_number", Kind::Text, offsetof(TedsData, serial_number),
     "The sensor serial number in decimal digits."},
    {"engineering_unit", Kind::Int32, offsetof(TedsData, engineering_unit),
     "The 6-bit engineering unit code."},
    {"min_capacity", Kind::Double, offsetof(TedsData, min_capacity),
     "Minimum physical value, in the sensor's native unit."},
    {"max_capacity", Kind::Double, offsetof(TedsData, max_capacity),
     "Maximum physical value (rated capacity), in the sensor's native unit."},
    {"min_electrical", Kind::Double, offsetof(TedsData, min_electrical),
     "Electrical output at min_capacity, in mV/V."},
    {"max_electrical", Kind::Double, offsetof(TedsData, max_electrical),
     "Electrical output at max_capacity, in mV/V."},
    {"reverse_scaling_enabled", Kind::Boolean, offsetof(TedsData, reverse_scaling_enabled),
     "Whether the data sheet carries reverse (second-direction) scaling."},
    {"reverse_max_electrical", Kind::Double, offsetof(TedsData, reverse_max_electrical),
     "Electrical output at full capacity in the reverse direction, in mV/V."},
};

constexpr size_t kFieldCount = sizeof(kFields) / sizeof(kFields[0]);

// Indices into kFields in alphabetical order of the names: the pickled state.
const size_t kStateOrder[kFieldCount] = {3, 5, 7, 4, 6, 0, 9, 8, 2, 1};

template <typename T>
T& slot(PyObject* self, const FieldSpec& spec)
{
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(self) + spec.offset);
}

PyObject* field_value(PyObject* self, const FieldSpec& spec)
{
    switch (spec.kind)
    {
    case Kind::Object:
    case Kind::Text:
        return cppy::incref(slot<PyObject*>(self, spec));
    case Kind::Int32:
        return PyLong_FromLong(slot<int32_t>(self, spec));
    case Kind::Double:
        return PyFloat_FromDouble(slot<double>(self, spec));
    case Kind::Boolean:
        return PyBool_FromLong(slot<bool>(self, spec));
    }
    return nullptr;
}

// A converted field value, held until it is stored.
struct Converted
{
    Ref object;
    int32_t integer = 0;
    double real = 0.0;
    bool flag = false;
};

bool convert_field(const FieldSpec& spec, PyObject* value, Converted* out)
{
    switch (spec.kind)
    {
    case Kind::Object:
        out->object = cppy::incref(value);
        return true;
    case Kind::Text:
        if (!to_text_or_none(value))
            return false;
        out->object = cppy::incref(value);
        return true;
    case Kind::Int32:
        return to_int32(value, &out->integer);
    case Kind::Double:
        return to_double(value, &out->real);
    case Kind::Boolean:
    {
        int truth = PyObject_IsTrue(value);
        if (truth < 0)
            return false;
        out->flag = truth != 0;
        return true;
    }
    }
    return false;
}

void store_field(PyObject* self, const FieldSpec& spec, Converted& value)
{
    switch (spec.kind)
    {
    case Kind::Object:
    case Kind::Text:
        Py_XSETREF(slot<PyObject*>(self, spec), value.object.release());
        break;
    case Kind::Int32:
        slot<int32_t>(self, spec) = value.integer;
        break;
    case Kind::Double:
        slot<double>(self, spec) = value.real;
        break;
    case Kind::Boolean:
        slot<bool>(self, spec) = value.flag;
        break;
    }
}

PyObject* field_get(PyObject* self, void* closure)
{
    return field_value(self, *static_cast<const FieldSpec*>(closure));
}

int field_set(PyObject* self, PyObject* value, void* closure)
{
    const FieldSpec& spec = *static_cast<const FieldSpec*>(closure);
    if (!value)
    {
        // Only the two object fields can be deleted; they become None.
        if (spec.kind == Kind::Object || spec.kind == Kind::Text)
        {
            Py_XSETREF(slot<PyObject*>(self, spec), cppy::incref(Py_None));
            return 0;
        }
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    Converted converted;
    if (!convert_field(spec, value, &converted))
        return -1;
    store_field(self, spec, converted);
    return 0;
}

PyGetSetDef g_getset[kFieldCount + 1];

void fill_getset()
{
    for (size_t i = 0; i < kFieldCount; ++i)
        g_getset[i] = {kFields[i].name, guarded<field_get>, guarded<field_set>, kFields[i].doc,
                       const_cast<FieldSpec*>(&kFields[i])};
    g_getset[kFieldCount] = {nullptr, nullptr, nullptr, nullptr, nullptr};
}

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded<teds_new>)},
    {Py_tp_init, reinterpret_cast<void*>(guarded<teds_init>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(teds_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(teds_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(teds_clear)},
    {Py_tp_doc, const_cast<char*>(kTypeDoc)},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "vexlo_device_communication.TEDSData",
    sizeof(TedsData),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    g_slots,
};

bool is_teds(PyObject* module, PyObject* ob)
{
    PyObject* type = state_of(module)->TEDSDataType;
    return type && PyObject_TypeCheck(ob, type_of(type));
}

PyObject* not_teds(PyObject* ob)
{
    PyErr_Format(PyExc_TypeError, "descriptor requires a 'TEDSData' object but received '%s'",
                 Py_TYPE(ob)->tp_name);
    return nullptr;
}

// ---------------------------------------------------------------- pickling

PyObject* teds_reduce(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    PyObject* self = args[0];
    if (!is_teds(fn->module, self))
        return not_teds(self);
    // A subclass instance carries its __dict__ after the fields.
    Ref extra(PyObject_GetAttr(self, VEXLO_NAME("__dict__")));
    if (!extra)
    {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return nullptr;
        PyErr_Clear();
    }
    else if (!PyDict_Check(extra.get()) || PyDict_GET_SIZE(extra.get()) == 0)
        extra = nullptr;
    Ref state(PyTuple_New(static_cast<Py_ssize_t>(kFieldCount + (extra ? 1 : 0))));
    if (!state)
        return nullptr;
    for (size_t i = 0; i < kFieldCount; ++i)
    {
        PyObject* value = field_value(self, kFields[kStateOrder[i]]);
        if (!value)
            return nullptr;
        PyTuple_SET_ITEM(state.get(), static_cast<Py_ssize_t>(i), value);
    }
    if (extra)
        PyTuple_SET_ITEM(state.get(), static_cast<Py_ssize_t>(kFieldCount), extra.release());
    return Py_BuildValue("(O()O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), state.get());
}

PyObject* teds_setstate(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "state"}, 2, a))
        return nullptr;
    PyObject* self = a[0];
    PyObject* state = a[1];
    if (!is_teds(fn->module, self))
        return not_teds(self);
    Py_ssize_t size = PyTuple_Check(state) ? PyTuple_GET_SIZE(state) : -1;
    if (size != static_cast<Py_ssize_t>(kFieldCount) &&
        size != static_cast<Py_ssize_t>(kFieldCount + 1))
    {
        PyErr_Format(PyExc_TypeError, "TEDSData state must be a tuple of %zu field values",
                     kFieldCount);
        return nullptr;
    }
    // Every value is converted before any is stored: a bad state changes nothing.
    Converted converted[kFieldCount];
    for (size_t i = 0; i < kFieldCount; ++i)
        if (!convert_field(kFields[kStateOrder[i]], PyTuple_GET_ITEM(state, i), &converted[i]))
            return nullptr;
    if (size > static_cast<Py_ssize_t>(kFieldCount))
    {
        PyObject* extra = PyTuple_GET_ITEM(state, kFieldCount);
        Ref dict(PyObject_GenericGetDict(self, nullptr));
        if (!dict || PyDict_Update(dict.get(), extra) < 0)
            return nullptr;
    }
    for (size_t i = 0; i < kFieldCount; ++i)
        store_field(self, kFields[kStateOrder[i]], converted[i]);
    Py_RETURN_NONE;
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
            return nullptr;
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
    Py_XSETREF(data->raw_data, cppy::incref(raw_bytes));
    if (!to_int32(template_byte, &data->template_id))
        return nullptr;
    teds::Fields fields = teds::decode(image.data());
    PyObject* serial = PyUnicode_FromFormat("%lu", static_cast<unsigned long>(fields.serial_number));
    if (!serial)
        return nullptr;
    Py_XSETREF(data->serial_number, serial);
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

bool add_function(PyObject* module, PyObject* type, const char* name, FunctionImpl impl,
                  const char* doc, bool is_static, const char* signature)
{
    std::string qualname = std::string("TEDSData.") + name;
    Ref function(make_function(module, impl, name, qualname.c_str(), doc, nullptr, signature));
    if (!function)
        return false;
    Ref member(is_static ? PyStaticMethod_New(function.get()) : function.release());
    return member && PyObject_SetAttrString(type, name, member.get()) == 0;
}

}  // namespace

bool add_teds_data_type(PyObject* module)
{
    fill_getset();
    Ref type(PyType_FromModuleAndSpec(module, &g_spec, nullptr));
    if (!type)
        return false;
    for (const StaticSpec& spec : kStatics)
        if (!add_function(module, type.get(), spec.name, spec.impl, spec.doc, true, spec.signature))
            return false;
    if (!add_function(module, type.get(), "__reduce__", teds_reduce,
                      "Pickle support: the field values in alphabetical order of their names.",
                      false, "(self)") ||
        !add_function(module, type.get(), "__setstate__", teds_setstate,
                      "Restore the fields from a pickled state.", false, "(self, state)"))
        return false;
    state_of(module)->TEDSDataType = cppy::incref(type.get());
    return PyModule_AddObjectRef(module, "TEDSData", type.get()) == 0;
}

}  // namespace vexlo
