// ADCConverter: one profile's calibration and the conversion of raw counts.
//
// The arithmetic lives in adc_core.hpp. This layer gives the type its typed
// attributes and its four operations, which a Python subclass may override:
// convert_adc then calls the overriding direction operation, and without an
// override it computes in C++ directly.
#include "calibration/adc_converter.hpp"

#include "common/ref.hpp"
#include <new>

#include "common/args.hpp"
#include "common/fields.hpp"
#include "common/boundary.hpp"
#include "common/call.hpp"
#include "common/state.hpp"
#include "subsystems.hpp"

namespace vexlo
{

namespace
{

ADCConverterObject* as_converter(PyObject* self)
{
    return reinterpret_cast<ADCConverterObject*>(self);
}

adc::Calibration& calibration_of(PyObject* self)
{
    return as_converter(self)->calibration;
}

fields::FieldSet& converter_fields()
{
    using C = adc::Calibration;
    static fields::FieldSet set("vexlo_device_communication.ADCConverter", {
        VEXLO_FIELD(C, number_of_loading_points, Int32, "Loading points per direction in the instrument's calibration table."),
        VEXLO_FIELD(C, direction_1_offset_load, Double, "Load at the offset point of direction 1 (kept; the conversion takes it as zero)."),
        VEXLO_FIELD(C, direction_1_fullscale_load, Double, "Load at the fullscale point of direction 1."),
        VEXLO_FIELD(C, direction_1_offset_value, Double, "ADC count at the offset point of direction 1."),
        VEXLO_FIELD(C, direction_1_fullscale_value, Double, "ADC count at the fullscale point of direction 1."),
        VEXLO_FIELD(C, direction_2_offset_load, Double, "Load at the offset point of direction 2 (kept; the conversion takes it as zero)."),
        VEXLO_FIELD(C, direction_2_fullscale_load, Double, "Load at the fullscale point of direction 2."),
        VEXLO_FIELD(C, direction_2_offset_value, Double, "ADC count at the offset point of direction 2."),
        VEXLO_FIELD(C, direction_2_fullscale_value, Double, "ADC count at the fullscale point of direction 2."),
        VEXLO_FIELD(C, scale_factor, Double, "Multiplier applied after the interpolation."),
        VEXLO_FIELD(C, offset, Double, "Added after the scale factor."),
        VEXLO_FIELD(C, number_of_directions, Int32, "Direction code: 1 selects between two directions, any other value direction 1 alone."),
        VEXLO_FIELD(C, midpoint_offset, Double, "ADC count that separates direction 1 from direction 2; set by _set_midpoint_offset."),
    }, offsetof(ADCConverterObject, calibration));
    return set;
}

// --- Virtual dispatch -------------------------------------------------------

enum Operation : size_t
{
    kSetMidpoint,
    kDirection1,
    kDirection2,
    kConvert,
};

PyObject* operation_name(Operation operation)
{
    switch (operation)
    {
    case kSetMidpoint:
        return VEXLO_NAME("_set_midpoint_offset");
    case kDirection1:
        return VEXLO_NAME("calculate_for_direction_1");
    case kDirection2:
        return VEXLO_NAME("calculate_for_direction_2");
    case kConvert:
        break;
    }
    return VEXLO_NAME("convert_adc");
}

extern PyMethodDef converter_methods[];

bool is_native_descriptor(PyObject* found, Operation operation)
{
    return found && Py_IS_TYPE(found, &PyMethodDescr_Type) &&
           reinterpret_cast<PyMethodDescrObject*>(found)->d_method == &converter_methods[operation];
}

bool is_native_bound(PyObject* self, PyObject* found, Operation operation)
{
    return PyCFunction_Check(found) && PyCFunction_GET_SELF(found) == self &&
           reinterpret_cast<PyCFunctionObject*>(found)->m_ml == &converter_methods[operation];
}

// True when self.<name> is certainly the native implementation, answered
// from the class alone (the interpreter caches that lookup): the object has
// no instance dictionary and no custom attribute access.
bool resolves_natively(PyObject* self, Operation operation)
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject* name = operation_name(operation);
    return name && type->tp_getattro == PyObject_GenericGetAttr &&
           !fields::has_instance_dict(type) &&
           is_native_descriptor(compat::type_lookup(type, name), operation);
}

// The operation as self.<name> finds it: `override` stays null when that is
// the native implementation, and is the bound override otherwise. An
// override on the instance or through custom attribute access counts too.
bool resolve(PyObject* self, Operation operation, Ref& override)
{
    if (resolves_natively(self, operation))
        return true;
    override = get_attr(self, operation_name(operation));
    if (!override)
        return false;
    if (is_native_bound(self, override.get(), operation))
        override = nullptr;
    return true;
}

// The native implementation of a direction operation.
double native_direction(PyObject* self, Operation direction, uint64_t count)
{
    const adc::Calibration& c = calibration_of(self);
    return direction == kDirection1 ? adc::direction_1(c, count) : adc::direction_2(c, count);
}

bool call_direction(PyObject* self, Operation operation, uint64_t count, double* out)
{
    Ref override;
    if (!resolve(self, operation, override))
        return false;
    if (!override)
    {
        *out = native_direction(self, operation, count);
        return true;
    }
    Ref argument(PyLong_FromUnsignedLongLong(count));
    if (!argument)
        return false;
    Ref result(PyObject_CallOneArg(override.get(), argument.get()));
    return result && fields::to_double(result.get(), out);
}

// --- Arguments --------------------------------------------------------------

// The one argument ndr_adc of `method`, by position or by keyword (borrowed).
PyObject* count_value(const char* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    static const char* const names[] = {"ndr_adc"};
    PyObject* value = nullptr;
    return bind_native(method, args, nargs, kwnames, names, 1, &value) ? value : nullptr;
}

bool count_argument(const char* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    uint64_t* count)
{
    PyObject* value = count_value(method, args, nargs, kwnames);
    return value && fields::to_uint64(value, count);
}

// A reading with no unsigned 64-bit count is an error, never a wrapped or
// undefined conversion.
bool reading_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, uint64_t* count)
{
    PyObject* value = count_value("convert_adc", args, nargs, kwnames);
    double reading = 0.0;
    if (!value || !fields::to_double(value, &reading))
        return false;
    switch (adc::count_from_reading(reading, count))
    {
    case adc::CountError::None:
        return true;
    case adc::CountError::Negative:
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to unsigned long");
        return false;
    case adc::CountError::NotANumber:
        PyErr_SetString(PyExc_ValueError, "cannot convert float NaN to integer");
        return false;
    case adc::CountError::TooLarge:
        break;
    }
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to unsigned long");
    return false;
}

// --- Methods ----------------------------------------------------------------

PyObject* set_midpoint_offset(PyObject* self, PyObject*)
{
    adc::Calibration& c = calibration_of(self);
    c.midpoint_offset = adc::midpoint(c);
    Py_RETURN_NONE;
}

// calculate_for_direction_1 and calculate_for_direction_2.
template <Operation direction>
PyObject* calculate_for_direction(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    const char* name = direction == kDirection1 ? "calculate_for_direction_1" : "calculate_for_direction_2";
    uint64_t count = 0;
    if (!count_argument(name, args, nargs, kwnames, &count))
        return nullptr;
    return PyFloat_FromDouble(native_direction(self, direction, count));
}

PyObject* convert_adc(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    uint64_t count = 0;
    if (!reading_argument(args, nargs, kwnames, &count))
        return nullptr;
    double result = 0.0;
    switch (adc::route(calibration_of(self), count))
    {
    case adc::Route::Direction1:
        if (!call_direction(self, kDirection1, count, &result))
            return nullptr;
        break;
    case adc::Route::Direction2:
        if (!call_direction(self, kDirection2, count, &result))
            return nullptr;
        break;
    case adc::Route::Zero:
        break;
    }
    return PyFloat_FromDouble(result);
}

template <typename F>
PyCFunction method(F function)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// --- Type -------------------------------------------------------------------

PyObject* converter_new(PyTypeObject* type, PyObject*, PyObject*)
{
    // Arguments are refused by __init__, so that a subclass may take its own.
    PyObject* self = type->tp_alloc(type, 0);
    if (self)
        new (&calibration_of(self)) adc::Calibration();
    return self;
}

int converter_init(PyObject* self, PyObject* args, PyObject* kwargs)
{
    if (PyTuple_GET_SIZE(args) == 0 && (!kwargs || PyDict_GET_SIZE(kwargs) == 0))
        return 0;
    Ref name(PyType_GetName(Py_TYPE(self)));
    if (!name)
        return -1;
    if (PyTuple_GET_SIZE(args) > 0)
        PyErr_Format(PyExc_TypeError, "%U() takes no arguments", name.get());
    else
        PyErr_Format(PyExc_TypeError, "%U() takes no keyword arguments", name.get());
    return -1;
}

// The first line is the constructor's text signature, which inspect reads;
// the interpreter leaves it out of __doc__.
const char* const kConverterDoc =
    "ADCConverter()\n--\n\n"
    "Calibration of one instrument profile, and the conversion of raw ADC counts.\n"
    "\n"
    "Each of the two directions is described by its offset point (no load) and\n"
    "its fullscale point (rated load). ``number_of_directions`` 1 chooses between\n"
    "the directions by the shape of the calibration and ``midpoint_offset``; any\n"
    "other value converts every count on direction 1. A subclass may override any\n"
    "of the four operations; ``convert_adc`` then uses the override.\n"
    "\n"
    ":raises TypeError: If the constructor is given any argument.";

// Indexed by Operation.
PyMethodDef converter_methods[] = {
    {"_set_midpoint_offset", guarded<set_midpoint_offset>, METH_NOARGS,
     "_set_midpoint_offset($self, /)\n--\n\n"
     "Set midpoint_offset to the count halfway between the two offset counts.\n\n"
     ":return: None."},
    {"calculate_for_direction_1", method(guarded<calculate_for_direction<kDirection1>>), kFastcall,
     "calculate_for_direction_1($self, /, ndr_adc)\n--\n\n"
     "Convert a raw count on direction 1.\n\n"
     ":param ndr_adc: The raw ADC count, a non-negative integer (a float is truncated).\n"
     ":return: The calibrated value.\n"
     ":raises OverflowError: If the count is negative or beyond 64 bits.\n"
     ":raises TypeError: If the count has no integer conversion."},
    {"calculate_for_direction_2", method(guarded<calculate_for_direction<kDirection2>>), kFastcall,
     "calculate_for_direction_2($self, /, ndr_adc)\n--\n\n"
     "Convert a raw count on direction 2, whose loads read negative.\n\n"
     ":param ndr_adc: The raw ADC count, a non-negative integer (a float is truncated).\n"
     ":return: The calibrated value.\n"
     ":raises OverflowError: If the count is negative or beyond 64 bits.\n"
     ":raises TypeError: If the count has no integer conversion."},
    {"convert_adc", method(guarded<convert_adc>), kFastcall,
     "convert_adc($self, /, ndr_adc)\n--\n\n"
     "Convert a raw count into a calibrated value on the direction it belongs to.\n\n"
     ":param ndr_adc: The raw ADC count; a fractional part is dropped.\n"
     ":return: The calibrated value.\n"
     ":raises OverflowError: If the count is negative or not below 2**64.\n"
     ":raises ValueError: If the count is NaN.\n"
     ":raises TypeError: If the count is not a number."},
    VEXLO_PICKLING_METHODS(converter_fields),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const adc::Calibration* native_calibration(PyObject* module, PyObject* converter)
{
    if (Py_TYPE(converter) != type_of(state_of(module)->ADCConverterType))
        return nullptr;
    for (Operation operation : {kConvert, kDirection1, kDirection2})
        if (!resolves_natively(converter, operation))
            return nullptr;
    return &calibration_of(converter);
}

bool add_adc_converter_type(PyObject* module)
{
    return fields::add_value_type<converter_fields>(
        module, sizeof(ADCConverterObject), kConverterDoc, state_of(module)->ADCConverterType,
        {
            {Py_tp_new, reinterpret_cast<void*>(guarded<converter_new>)},
            {Py_tp_init, reinterpret_cast<void*>(guarded<converter_init>)},
            {Py_tp_methods, converter_methods},
        });
}

}  // namespace vexlo
