// VexloDevice: the object a caller holds for one instrument. Most methods
// translate a channel number into the channel's selected profile and forward
// to the communication interface, one table row each; every exception of
// the interface passes through unchanged.
#include "common/ref.hpp"

#include <string>

#include "common/args.hpp"
#include "common/call.hpp"
#include "common/classes.hpp"
#include "common/errors.hpp"
#include "common/log.hpp"
#include "common/message.hpp"
#include "common/models.hpp"
#include "common/state.hpp"
#include "device/device.hpp"
#include "device/temperature.hpp"
#include "subsystems.hpp"

namespace vexlo
{

namespace
{

// The integer 0, the default channel; kept for the life of the process like
// the interned names.
PyObject* zero()
{
    static PyObject* value = PyLong_FromLong(0);
    return value;
}

// An optional argument, or channel 0 when it was not given (borrowed).
PyObject* channel_or_default(PyObject* given)
{
    return given ? given : zero();
}

// self.communication_interface.<name>(profile, args...) with the channel's
// selected profile, read through the device's own method so that overrides
// take effect.
template <typename... Args>
PyObject* call_for_profile(PyObject* self, PyObject* channel, PyObject* name, Args... args)
{
    Ref profile(call_method(self, VEXLO_NAME("get_device_channel_selected_profile"), channel));
    if (!profile)
        return nullptr;
    return call_interface(self, name, profile.get(), args...);
}

// ------------------------------------------------------------ hand-written

const char* const kDirectConstruction =
    "VexloDevice cannot be instantiated directly. Use VexloSerialScanner.discover_devices() to "
    "obtain VexloDevice instances.";

PyObject* device_init(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[3];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "communication_interface", "_internal_token"},
                        2, a, 2))
        return nullptr;
    // Identity, not equality: only the scanner holds the module's token.
    if (a[2] != state(fn)->device_token)
        return raise_text(PyExc_TypeError, kDirectConstruction);
    PyObject* self = a[0];
    PyObject* ci = a[1];
    if (PyObject_SetAttr(self, VEXLO_NAME("communication_interface"), ci) < 0)
        return nullptr;
    Ref profile(call_method(ci, VEXLO_NAME("get_device_channel_selected_profile"), zero()));
    if (!profile)
        return nullptr;
    for (PyObject* name : {VEXLO_NAME("_teds_data"), VEXLO_NAME("_model_number"), VEXLO_NAME("_item_number"),
                           VEXLO_NAME("_firmware_version"), VEXLO_NAME("_cached_sampling_rate_for_teds"),
                           VEXLO_NAME("adc_converter")})
        if (!name || PyObject_SetAttr(self, name, Py_None) < 0)
            return nullptr;
    Ref converter(call_method(ci, VEXLO_NAME("load_adc_converter"), profile.get()));
    if (!converter || PyObject_SetAttr(self, VEXLO_NAME("adc_converter"), converter.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_reading(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "channel_number"}, 1, a))
        return nullptr;
    Ref converter(get_attr(a[0], VEXLO_NAME("adc_converter")));
    if (!converter)
        return nullptr;
    if (converter.get() == Py_None)
        return raise_text(state(fn)->VexloCalibrationError,
                          "ADC converter not initialized. Cannot convert reading.");
    Ref raw(call_interface(a[0], VEXLO_NAME("get_ndr"), channel_or_default(a[1])));
    if (!raw)
        return nullptr;
    return call_method(converter.get(), VEXLO_NAME("convert_adc"), raw.get());
}

// channel_number of set_sampling_rate is declared as an integer: an int
// passes as it is, another number goes through int(), anything else is
// refused before any traffic.
PyObject* channel_as_int(PyObject* given)
{
    if (!given)
        return cppy::incref(zero());
    if (PyLong_Check(given))
        return cppy::incref(given);
    PyNumberMethods* number = Py_TYPE(given)->tp_as_number;
    if (number && (number->nb_int || number->nb_index))
        return PyNumber_Long(given);
    PyErr_Format(PyExc_TypeError, "channel_number must be int, not %s", Py_TYPE(given)->tp_name);
    return nullptr;
}

PyObject* set_sampling_rate(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[3];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "samples_per_second", "channel_number"}, 2, a))
        return nullptr;
    Ref channel(channel_as_int(a[2]));
    if (!channel)
        return nullptr;
    // The code is taken before the profile query, so a wrong argument costs
    // no exchange with the instrument.
    Ref code(get_attr(a[1], VEXLO_NAME("value")));
    if (!code)
        return nullptr;
    Ref result(call_for_profile(a[0], channel.get(), VEXLO_NAME("set_sampling_rate"), code.get()));
    if (!result)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* set_device_channel_selected_profile(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames)
{
    PyObject* a[3];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "channel_number", "profile_number"}, 3, a))
        return nullptr;
    PyObject* self = a[0];
    Ref written(call_interface(self, VEXLO_NAME("set_device_channel_selected_profile"), a[1], a[2]));
    if (!written)
        return nullptr;
    // The single converter follows channel 0, whichever channel was written.
    Ref profile(call_method(self, VEXLO_NAME("get_device_channel_selected_profile")));
    if (!profile || !load_converter(self, profile.get()))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_board_temperature(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    Ref raw(call_interface(args[0], VEXLO_NAME("get_board_temperature")));
    if (!raw)
        return nullptr;
    // The difference is exact in Python's integers whatever the count; only
    // then is it rounded to a double, as true division would.
    Ref full_scale(PyLong_FromLongLong(board_temperature::kAdcMax));
    if (!full_scale)
        return nullptr;
    Ref difference(PyNumber_Subtract(full_scale.get(), raw.get()));
    if (!difference)
        return nullptr;
    double value = PyFloat_AsDouble(difference.get());
    if (value == -1.0 && PyErr_Occurred())
        return nullptr;
    return PyFloat_FromDouble(board_temperature::celsius_from_difference(value));
}

PyObject* get_adc_converter(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    return get_attr(args[0], VEXLO_NAME("adc_converter"));
}

PyObject* device_enter(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    if (!log_text(fn->module, Level::Debug, "Entering VexloDevice context"))
        return nullptr;
    return cppy::incref(args[0]);
}

PyObject* device_exit(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[4];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "exc_type", "exc_val", "exc_tb"}, 4, a))
        return nullptr;
    if (!log_text(fn->module, Level::Debug, "Exiting VexloDevice context"))
        return nullptr;
    Ref result(call_method(a[0], VEXLO_NAME("disconnect")));
    if (!result && !log_caught(fn->module, Level::Error, "Error during context manager cleanup: "))
        return nullptr;
    // Never suppress the exception of the with block.
    Py_RETURN_FALSE;
}


// ----------------------------------------------------------------- the rows

// How a forwarding row reaches the interface.
enum class Route
{
    Direct,   // the arguments as given; an absent channel_number is 0
    Profile,  // the last parameter, channel_number (default 0), picks the
              // profile, which goes first in place of it
};

// What a forwarding row changes on the way.
enum class Adapt
{
    None,
    ValueOfFirst,  // the first argument's .value is sent (an enumeration member)
    UnitResult,    // the result becomes a UnitOfMeasureEnum member
};

constexpr int kMaxParams = 4;

struct Forward
{
    const char* target = nullptr;  // the interface's method
    Route route = Route::Direct;
    const char* params[kMaxParams] = {};  // after self
    int required = 0;                     // leading params that must be given
    int unsent = -1;  // a parameter accepted but not sent (-1: none)
    Adapt adapt = Adapt::None;
};

// A method of VexloDevice: hand-written (`impl`), or a forwarder described
// by `forward`. Exposing an interface command on the device is one row.
struct Row
{
    const char* name;
    FunctionImpl impl;  // null: a forwarder
    const char* signature;
    const char* doc;
    Forward forward = {};
};

// Pieces shared by the method docstrings, joined as literals.
#define CHANNEL_PARAM ":param channel_number: The channel number (default 0).\n"
#define LINK_RAISES                                                              \
    ":raises VexloCommunicationError: If the exchange with the instrument fails.\n" \
    ":raises VexloTimeoutError: If the instrument does not answer.\n"            \
    ":raises VexloProtocolError: If the response is malformed."

// In the order of the class namespace.
const Row kRows[] = {
    {"__init__", device_init, "(self, communication_interface, *, _internal_token=None)",
     "Create the device for a connected interface; reserved for VexloSerialScanner.\n\n"
     ":param communication_interface: The connected serial communication interface.\n"
     ":param _internal_token: The private creation token.\n"
     ":raises TypeError: If the creation token is missing or wrong.\n"
     ":raises VexloCalibrationError: If the calibration cannot be loaded.\n" LINK_RAISES},
    {"get_ndr", nullptr, "(self, channel_number=0)",
     "Read the raw ADC count of a channel.\n\n" CHANNEL_PARAM
     ":return: The raw ADC count of the channel's normal data request.\n" LINK_RAISES,
     {"get_ndr", Route::Direct, {"channel_number"}, 0, -1, Adapt::None}},
    {"get_model_number", nullptr, "(self)",
     "Read the model number of the instrument.\n\n"
     ":return: The model number text.\n" LINK_RAISES,
     {"get_model_number", Route::Direct, {}, 0, -1, Adapt::None}},
    {"disconnect", nullptr, "(self)",
     "Close the serial link to the instrument.\n\n"
     ":return: None.",
     {"disconnect", Route::Direct, {}, 0, -1, Adapt::None}},
    {"get_number_of_loading_points", nullptr, "(self, channel_number=0)",
     "Read the number of loading points of the channel's selected profile.\n\n" CHANNEL_PARAM
     ":return: The number of loading points.\n" LINK_RAISES,
     {"get_number_of_loading_points", Route::Profile, {"channel_number"}, 0, -1, Adapt::None}},
    {"get_reading", get_reading, "(self, channel_number=0)",
     "Read a calibrated value from a channel.\n\n" CHANNEL_PARAM
     ":return: The calibrated reading.\n"
     ":raises VexloCalibrationError: If the device has no ADC converter.\n" LINK_RAISES},
    {"get_load_of_loading_point", nullptr, "(self, point_index, channel_number=0)",
     "Read the load of a loading point of the channel's selected profile.\n\n"
     ":param point_index: The index of the loading point.\n" CHANNEL_PARAM
     ":return: The load at the point.\n" LINK_RAISES,
     {"get_load_of_loading_point", Route::Profile, {"point_index", "channel_number"}, 1, -1, Adapt::None}},
    {"get_loading_point_value", nullptr, "(self, point_index, channel_number=0)",
     "Read the ADC count of a loading point of the channel's selected profile.\n\n"
     ":param point_index: The index of the loading point.\n" CHANNEL_PARAM
     ":return: The ADC count at the point.\n" LINK_RAISES,
     {"get_loading_point_value", Route::Profile, {"point_index", "channel_number"}, 1, -1, Adapt::None}},
    {"set_adc_of_loading_point", nullptr,
      "(self, point_index, adc_value, calibration_direction=None, channel_number=0)",
     "Write the ADC count of a loading point of the channel's selected profile.\n\n"
     ":param point_index: The index of the loading point.\n"
     ":param adc_value: The ADC count to store.\n"
     ":param calibration_direction: Accepted for compatibility; has no effect.\n" CHANNEL_PARAM
     ":return: None.\n" LINK_RAISES,
     {"set_adc_of_loading_point", Route::Profile,
       {"point_index", "adc_value", "calibration_direction", "channel_number"}, 2, 2, Adapt::None}},
    {"set_load_of_loading_point", nullptr, "(self, point_index, load_value, channel_number=0)",
     "Write the load of a loading point of the channel's selected profile.\n\n"
     ":param point_index: The index of the loading point.\n"
     ":param load_value: The load to store.\n" CHANNEL_PARAM
     ":return: None.\n" LINK_RAISES,
     {"set_load_of_loading_point", Route::Profile, {"point_index", "load_value", "channel_number"}, 2, -1,
       Adapt::None}},
    {"get_number_of_directions", nullptr, "(self, channel_number=0)",
     "Read the direction code of the channel's selected profile.\n\n" CHANNEL_PARAM
     ":return: The direction code.\n" LINK_RAISES,
     {"get_number_of_directions", Route::Profile, {"channel_number"}, 0, -1, Adapt::None}},
    {"set_number_of_directions", nullptr, "(self, number_of_directions, channel_number=0)",
     "Write the direction code of the channel's selected profile.\n\n"
     ":param number_of_directions: The direction code to store.\n" CHANNEL_PARAM
     ":return: None.\n" LINK_RAISES,
     {"set_number_of_directions", Route::Profile, {"number_of_directions", "channel_number"}, 1, -1,
       Adapt::None}},
    {"set_stream_state", nullptr, "(self, stream_enabled)",
     "Switch streaming on or off.\n\n"
     ":param stream_enabled: True to start streaming, False to stop it.\n"
     ":return: None.\n" LINK_RAISES,
     {"set_streaming_state", Route::Direct, {"stream_enabled"}, 1, -1, Adapt::None}},
    {"get_stream_data", nullptr, "(self)",
     "Read the bytes waiting in the serial port's input buffer.\n\n"
     ":return: The waiting bytes, possibly none.\n"
     ":raises VexloCommunicationError: If the serial link is not open.",
     {"read_buffer_data", Route::Direct, {}, 0, -1, Adapt::None}},
    {"get_sampling_rate", nullptr, "(self, channel_number=0)",
     "Read the sampling-rate code of the channel's selected profile.\n\n" CHANNEL_PARAM
     ":return: The sampling-rate code as an integer.\n" LINK_RAISES,
     {"get_sampling_rate", Route::Profile, {"channel_number"}, 0, -1, Adapt::None}},
    {"set_sampling_rate", set_sampling_rate, "(self, samples_per_second, channel_number=0)",
     "Set the sampling rate of the channel's selected profile.\n\n"
     ":param samples_per_second: A member of one of the sampling-rate enumerations.\n"
     ":param channel_number: The channel number, an int (default 0).\n"
     ":return: None.\n"
     ":raises TypeError: If channel_number is not a number.\n"
     ":raises VexloInvalidParameterError: If the instrument does not support the rate.\n" LINK_RAISES},
    {"set_sampling_rate_value", nullptr, "(self, samples_per_second, channel_number=0)",
     "Set the sampling rate of the channel's selected profile from a raw rate code.\n\n"
     ":param samples_per_second: The sampling-rate code.\n" CHANNEL_PARAM
     ":return: None.\n"
     ":raises VexloInvalidParameterError: If the instrument does not support the rate.\n" LINK_RAISES,
     {"set_sampling_rate", Route::Profile, {"samples_per_second", "channel_number"}, 1, -1, Adapt::None}},
    {"get_instrument_serial_number", nullptr, "(self)",
     "Read the serial number of the instrument.\n\n"
     ":return: The instrument serial number.\n" LINK_RAISES,
     {"get_instrument_serial_number", Route::Direct, {}, 0, -1, Adapt::None}},
    {"get_sensor_serial_number", nullptr, "(self, channel_number=0)",
     "Read the sensor serial number of the channel's selected profile.\n\n" CHANNEL_PARAM
     ":return: The sensor serial number.\n" LINK_RAISES,
     {"get_sensor_serial_number", Route::Profile, {"channel_number"}, 0, -1, Adapt::None}},
    {"get_device_channel_selected_profile", nullptr, "(self, channel_number=0)",
     "Read the profile selected on a channel.\n\n" CHANNEL_PARAM
     ":return: The selected profile number.\n" LINK_RAISES,
     {"get_device_channel_selected_profile", Route::Direct, {"channel_number"}, 0, -1, Adapt::None}},
    {"set_device_channel_selected_profile", set_device_channel_selected_profile,
      "(self, channel_number, profile_number)",
     "Select a profile on a channel, then reload the ADC converter for channel 0's profile.\n\n"
     ":param channel_number: The channel number.\n"
     ":param profile_number: The profile to select.\n"
     ":return: None.\n"
     ":raises VexloCalibrationError: If the calibration cannot be loaded.\n" LINK_RAISES},
    {"get_unit_of_measure", nullptr, "(self, channel_number=0)",
     "Read the unit of measure of the channel's selected profile.\n\n" CHANNEL_PARAM
     ":return: The unit as a UnitOfMeasureEnum member.\n"
     ":raises ValueError: If the instrument reports an unknown unit code.\n" LINK_RAISES,
     {"get_unit_of_measure", Route::Profile, {"channel_number"}, 0, -1, Adapt::UnitResult}},
    {"set_unit_of_measure", nullptr, "(self, unit_of_measure, channel_number=0)",
     "Set the unit of measure of the channel's selected profile.\n\n"
     ":param unit_of_measure: A UnitOfMeasureEnum member.\n" CHANNEL_PARAM
     ":return: None.\n" LINK_RAISES,
     {"set_unit_of_measure", Route::Profile, {"unit_of_measure", "channel_number"}, 1, -1,
       Adapt::ValueOfFirst}},
    {"get_board_temperature", get_board_temperature, "(self)",
     "Read the board temperature of the instrument.\n\n" LINK_RAISES
     "\n:return: Device Board Temperature in degrees Celsius."},
    {"get_adc_converter", get_adc_converter, "(self)",
     "Return the current ADC converter, without instrument traffic.\n\n"
     ":return: The current ADCConverter, or None."},
    {"get_adc_for_profile", nullptr, "(self, profile_number)",
     "Load the calibration of a profile into a new ADC converter.\n\n"
     "The device's own converter is left unchanged.\n\n"
     ":param profile_number: The profile number.\n"
     ":return: A new ADCConverter.\n"
     ":raises VexloCalibrationError: If the calibration cannot be loaded.\n" LINK_RAISES,
     {"load_adc_converter", Route::Direct, {"profile_number"}, 1, -1, Adapt::None}},
    {"__enter__", device_enter, "(self)",
     "Enter the context.\n\n"
     ":return: The device itself."},
    {"__exit__", device_exit, "(self, exc_type, exc_val, exc_tb)",
     "Leave the context: disconnect, logging any failure.\n\n"
     ":param exc_type: The type of the exception raised in the block, or None.\n"
     ":param exc_val: The exception raised in the block, or None.\n"
     ":param exc_tb: Its traceback, or None.\n"
     ":return: False, so an exception of the block propagates."},
};

#undef CHANNEL_PARAM
#undef LINK_RAISES

constexpr long kRowCount = static_cast<long>(sizeof kRows / sizeof kRows[0]);

int param_count(const Forward& f)
{
    int count = 0;
    while (count < kMaxParams && f.params[count])
        ++count;
    return count;
}

// Interned target names, created once like the other attribute names.
PyObject* target_name(long index)
{
    static PyObject* names[kRowCount] = {};
    return intern_once(names[index], kRows[index].forward.target);
}

PyObject* run_row(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    const long index = PyLong_AsLong(fn->data);
    const Forward& f = kRows[index].forward;
    const int count = param_count(f);
    PyObject* a[1 + kMaxParams];
    if (!bind_method(fn, args, nargs, kwnames, f.params, count, f.required, a))
        return nullptr;
    PyObject* self = a[0];
    // call[0] is the interface; call[1] the profile, when the row has one.
    PyObject* call[2 + kMaxParams];
    const int first = f.route == Route::Profile ? 2 : 1;
    const int given = f.route == Route::Profile ? count - 1 : count;
    int n = first;
    for (int i = 0; i < given; ++i)
        if (i != f.unsent)
            call[n++] = channel_or_default(a[1 + i]);
    // The argument is converted before any exchange with the instrument.
    Ref value;
    if (f.adapt == Adapt::ValueOfFirst)
    {
        value = get_attr(call[first], VEXLO_NAME("value"));
        if (!value)
            return nullptr;
        call[first] = value.get();
    }
    Ref profile;
    if (f.route == Route::Profile)
    {
        profile = call_method(self, VEXLO_NAME("get_device_channel_selected_profile"),
                              channel_or_default(a[count]));
        if (!profile)
            return nullptr;
        call[1] = profile.get();
    }
    Ref ci(get_attr(self, VEXLO_NAME("communication_interface")));
    PyObject* name = target_name(index);
    if (!ci || !name)
        return nullptr;
    call[0] = ci.get();
    Ref result(PyObject_VectorcallMethod(name, call, static_cast<size_t>(n), nullptr));
    if (!result || f.adapt != Adapt::UnitResult)
        return result.release();
    return PyObject_CallOneArg(state(fn)->UnitOfMeasureEnum, result.get());
}

}  // namespace

bool load_converter(PyObject* self, PyObject* profile)
{
    Ref converter(call_interface(self, VEXLO_NAME("load_adc_converter"), profile));
    return converter && PyObject_SetAttr(self, VEXLO_NAME("adc_converter"), converter.get()) == 0;
}

const char* const device_doc =
    "Represents one VEXLO device connected over a serial port.\n"
    "\n"
    "This class must not be instantiated directly: use\n"
    "VexloSerialScanner.discover_devices() to obtain instances. Direct\n"
    "instantiation raises TypeError.\n"
    "\n"
    "Example::\n"
    "\n"
    "    devices = VexloSerialScanner.discover_devices()\n"
    "    device = devices[0]\n"
    "    value = device.get_reading()\n";

MemberList device_members()
{
    MemberList members;
    for (long i = 0; i < kRowCount; ++i)
    {
        const Row& row = kRows[i];
        members.push_back({row.name, row.impl ? row.impl : run_row, row.signature, row.doc,
                           MemberKind::Method, row.impl ? -1 : i});
    }
    return members;
}

bool annotate_device_class(PyObject* device_class)
{
    // The rate is one of the models' enumerations, named as text so that
    // nothing is imported or checked for it.
    Ref method(PyObject_GetAttrString(device_class, "set_sampling_rate"));
    if (!method)
        return false;
    std::string rate_type = "Union[";
    for (const models::Model& model : models::table())
        rate_type += std::string(rate_type.size() > 6 ? ", " : "") + model.name + "SamplingRateEnum";
    rate_type += "]";
    Ref annotations(Py_BuildValue("{s:s,s:O,s:O}", "samples_per_second", rate_type.c_str(),
                                        "channel_number", reinterpret_cast<PyObject*>(&PyLong_Type),
                                        "return", Py_None));
    return annotations && PyObject_SetAttrString(method.get(), "__annotations__", annotations.get()) == 0;
}

}  // namespace vexlo
