// Loading a profile's stored calibration into a new ADCConverter.
#include "common/ref.hpp"

#include "common/args.hpp"
#include "common/call.hpp"
#include "common/classes.hpp"
#include "common/errors.hpp"
#include "common/log.hpp"
#include "common/message.hpp"
#include "common/models.hpp"
#include "common/state.hpp"
#include "link/link.hpp"
#include "subsystems.hpp"

namespace vexlo
{

namespace
{


// Which point of the table each calibration value comes from.
enum class Point
{
    First,      // 0
    Last,       // n - 1
    SecondFirst,  // n: first point of direction 2
    SecondLast  // 2n - 1
};

struct Read
{
    const char* attribute;
    bool load;  // get_load_of_loading_point, else get_loading_point_value
    Point point;
};

// The eight exchanges in their order on the wire.
const Read kReads[] = {
    {"direction_1_offset_load", true, Point::First},
    {"direction_1_fullscale_load", true, Point::Last},
    {"direction_1_offset_value", false, Point::First},
    {"direction_1_fullscale_value", false, Point::Last},
    {"direction_2_offset_load", true, Point::SecondFirst},
    {"direction_2_fullscale_load", true, Point::SecondLast},
    {"direction_2_offset_value", false, Point::SecondFirst},
    {"direction_2_fullscale_value", false, Point::SecondLast},
};

long point_index(Point point, long n)
{
    switch (point)
    {
    case Point::First:
        return 0;
    case Point::Last:
        return n - 1;
    case Point::SecondFirst:
        return n;
    case Point::SecondLast:
        return 2 * n - 1;
    }
    return 0;
}

bool set(PyObject* converter, const char* name, PyObject* value)
{
    return value && PyObject_SetAttrString(converter, name, value) == 0;
}

// The steps of the loading; null with the failure pending.
PyObject* load(PyObject* module, PyObject* self, PyObject* profile)
{
    ModuleState* st = state_of(module);
    Ref converter(PyObject_CallNoArgs(st->ADCConverterType));
    if (!converter)
        return nullptr;
    Ref count(call_method(self, VEXLO_NAME("get_number_of_loading_points"), profile));
    if (!set(converter.get(), "number_of_loading_points", count.get()))
        return nullptr;
    // Read back: the attribute holds the count converted to a 32-bit integer.
    Ref stored(PyObject_GetAttrString(converter.get(), "number_of_loading_points"));
    if (!stored)
        return nullptr;
    long n = PyLong_AsLong(stored.get());
    if (n == -1 && PyErr_Occurred())
        return nullptr;
    if (n < 1 || n > models::kMaxLoadingPoints)
        return raise(st->VexloCalibrationError, Message() << "Invalid number of loading points: " << n);
    for (const Read& read : kReads)
    {
        Ref index(PyLong_FromLong(point_index(read.point, n)));
        if (!index)
            return nullptr;
        PyObject* query = read.load ? VEXLO_NAME("get_load_of_loading_point")
                                    : VEXLO_NAME("get_loading_point_value");
        Ref value(call_method(self, query, profile, index.get()));
        if (!set(converter.get(), read.attribute, value.get()))
            return nullptr;
    }
    Ref one(PyFloat_FromDouble(1.0));
    Ref zero(PyFloat_FromDouble(0.0));
    if (!set(converter.get(), "scale_factor", one.get()) || !set(converter.get(), "offset", zero.get()))
        return nullptr;
    Ref directions(call_method(self, VEXLO_NAME("get_number_of_directions"), profile));
    if (!set(converter.get(), "number_of_directions", directions.get()))
        return nullptr;
    Ref midpoint(call_method(converter.get(), VEXLO_NAME("_set_midpoint_offset")));
    if (!midpoint)
        return nullptr;
    if (!log(module, Level::Debug, Message() << "Loaded ADC converter for profile " << profile))
        return nullptr;
    return converter.release();
}

PyObject* load_adc_converter(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "profile"}, 2, a))
        return nullptr;
    PyObject* converter = load(fn->module, a[0], a[1]);
    if (converter)
        return converter;
    ModuleState* st = state_of(fn->module);
    return raise_wrapped(fn->module, {st->VexloCommunicationError, st->VexloCalibrationError},
                         "Failed to load ADC converter: ", st->VexloCalibrationError,
                         "Error loading calibration data: ");
}

}  // namespace

MemberList interface_calibration_members()
{
    return {
        {"load_adc_converter", load_adc_converter, "(self, profile)",
         "Read a profile's stored calibration into a new ADCConverter.\n\n"
         ":param profile: The profile number.\n"
         ":return: A new ADCConverter.\n"
         ":raises VexloCalibrationError: If the calibration is invalid or cannot be read.\n"
         ":raises VexloCommunicationError: If an exchange fails."},
    };
}

}  // namespace vexlo
