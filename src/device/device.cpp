// VexloDevice: the object a caller holds for one instrument. Most methods
// translate a channel number into the channel's selected profile and forward
// to the communication interface; every exception of the interface passes
// through unchanged.
#include "common/ref.hpp"

#include "common/args.hpp"
#include "common/call.hpp"
#include "common/classes.hpp"
#include "common/errors.hpp"
#include "common/log.hpp"
#include "common/message.hpp"
#include "common/state.hpp"
#include "device/temperature.hpp"
#include "subsystems.hpp"

namespace vexlo
{

namespace
{

ModuleState* state(Function* fn)
{
    return state_of(fn->module);
}

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

// self.communication_interface.<name>(args...), looked up at each call.
template <typename... Args>
PyObject* forward(PyObject* self, PyObject* name, Args... args)
{
    Ref ci(get_attr(self, VEXLO_NAME("communication_interface")));
    if (!ci)
        return nullptr;
    return call_method(ci.get(), name, args...);
}

// The same, with the channel's selected profile as the first argument. The
// profile is read through the device's own method, so overrides take effect.
template <typename... Args>
PyObject* forward_for_profile(PyObject* self, PyObject* channel, PyObject* name, Args... args)
{
    Ref profile(call_method(self, VEXLO_NAME("get_device_channel_selected_profile"), channel));
    if (!profile)
        return nullptr;
    return forward(self, name, profile.get(), args...);
}

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

PyObject* get_ndr(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "channel_number"}, 1, a))
        return nullptr;
    return forward(a[0], VEXLO_NAME("get_ndr"), channel_or_default(a[1]));
}

PyObject* get_model_number(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    return forward(args[0], VEXLO_NAME("get_model_number"));
}

PyObject* disconnect(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    return forward(args[0], VEXLO_NAME("disconnect"));
}

PyObject* get_number_of_loading_points(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "channel_number"}, 1, a))
        return nullptr;
    return forward_for_profile(a[0], channel_or_default(a[1]), VEXLO_NAME("get_number_of_loading_points"));
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
    Ref raw(forward(a[0], VEXLO_NAME("get_ndr"), channel_or_default(a[1])));
    if (!raw)
        return nullptr;
    return call_method(converter.get(), VEXLO_NAME("convert_adc"), raw.get());
}

PyObject* get_load_of_loading_point(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames)
{
    PyObject* a[3];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "point_index", "channel_number"}, 2, a))
        return nullptr;
    return forward_for_profile(a[0], channel_or_default(a[2]), VEXLO_NAME("get_load_of_loading_point"),
                               a[1]);
}

PyObject* get_loading_point_value(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames)
{
    PyObject* a[3];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "point_index", "channel_number"}, 2, a))
        return nullptr;
    return forward_for_profile(a[0], channel_or_default(a[2]), VEXLO_NAME("get_loading_point_value"),
                               a[1]);
}

PyObject* set_adc_of_loading_point(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames)
{
    // calibration_direction is accepted for callers that pass it; the
    // instrument's loading-point table needs no direction.
    PyObject* a[5];
    if (!bind_arguments(fn, args, nargs, kwnames,
                        {"self", "point_index", "adc_value", "calibration_direction", "channel_number"}, 3, a))
        return nullptr;
    return forward_for_profile(a[0], channel_or_default(a[4]), VEXLO_NAME("set_adc_of_loading_point"),
                               a[1], a[2]);
}

PyObject* set_load_of_loading_point(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames)
{
    PyObject* a[4];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "point_index", "load_value", "channel_number"},
                        3, a))
        return nullptr;
    return forward_for_profile(a[0], channel_or_default(a[3]), VEXLO_NAME("set_load_of_loading_point"),
                               a[1], a[2]);
}

PyObject* get_number_of_directions(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "channel_number"}, 1, a))
        return nullptr;
    return forward_for_profile(a[0], channel_or_default(a[1]), VEXLO_NAME("get_number_of_directions"));
}

PyObject* set_number_of_directions(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames)
{
    PyObject* a[3];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "number_of_directions", "channel_number"}, 2, a))
        return nullptr;
    return forward_for_profile(a[0], channel_or_default(a[2]), VEXLO_NAME("set_number_of_directions"),
                               a[1]);
}

PyObject* set_stream_state(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "stream_enabled"}, 2, a))
        return nullptr;
    return forward(a[0], VEXLO_NAME("set_streaming_state"), a[1]);
}

PyObject* get_stream_data(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    return forward(args[0], VEXLO_NAME("read_buffer_data"));
}

PyObject* get_sampling_rate(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "channel_number"}, 1, a))
        return nullptr;
    return forward_for_profile(a[0], channel_or_default(a[1]), VEXLO_NAME("get_sampling_rate"));
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
    Ref result(forward_for_profile(a[0], channel.get(), VEXLO_NAME("set_sampling_rate"), code.get()));
    if (!result)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* set_sampling_rate_value(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames)
{
    PyObject* a[3];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "samples_per_second", "channel_number"}, 2, a))
        return nullptr;
    return forward_for_profile(a[0], channel_or_default(a[2]), VEXLO_NAME("set_sampling_rate"), a[1]);
}

PyObject* get_instrument_serial_number(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    return forward(args[0], VEXLO_NAME("get_instrument_serial_number"));
}

PyObject* get_sensor_serial_number(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "channel_number"}, 1, a))
        return nullptr;
    return forward_for_profile(a[0], channel_or_default(a[1]), VEXLO_NAME("get_sensor_serial_number"));
}

PyObject* get_device_channel_selected_profile(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "channel_number"}, 1, a))
        return nullptr;
    return forward(a[0], VEXLO_NAME("get_device_channel_selected_profile"), channel_or_default(a[1]));
}

PyObject* set_device_channel_selected_profile(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames)
{
    PyObject* a[3];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "channel_number", "profile_number"}, 3, a))
        return nullptr;
    PyObject* self = a[0];
    Ref written(forward(self, VEXLO_NAME("set_device_channel_selected_profile"), a[1], a[2]));
    if (!written)
        return nullptr;
    // The single converter follows channel 0, whichever channel was written;
    // it is replaced only once the new one has loaded.
    Ref profile(call_method(self, VEXLO_NAME("get_device_channel_selected_profile")));
    if (!profile)
        return nullptr;
    Ref converter(forward(self, VEXLO_NAME("load_adc_converter"), profile.get()));
    if (!converter || PyObject_SetAttr(self, VEXLO_NAME("adc_converter"), converter.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_unit_of_measure(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "channel_number"}, 1, a))
        return nullptr;
    Ref code(forward_for_profile(a[0], channel_or_default(a[1]), VEXLO_NAME("get_unit_of_measure")));
    if (!code)
        return nullptr;
    return PyObject_CallOneArg(state(fn)->UnitOfMeasureEnum, code.get());
}

PyObject* set_unit_of_measure(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[3];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "unit_of_measure", "channel_number"}, 2, a))
        return nullptr;
    Ref code(get_attr(a[1], VEXLO_NAME("value")));
    if (!code)
        return nullptr;
    return forward_for_profile(a[0], channel_or_default(a[2]), VEXLO_NAME("set_unit_of_measure"), code.get());
}

PyObject* get_board_temperature(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    Ref raw(forward(args[0], VEXLO_NAME("get_board_temperature")));
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

PyObject* get_adc_for_profile(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "profile_number"}, 2, a))
        return nullptr;
    return forward(a[0], VEXLO_NAME("load_adc_converter"), a[1]);
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
    if (!result)
    {
        Ref error(fetch_exception());
        if (!exception_matches(error, PyExc_Exception))
        {
            restore_exception(error);
            return nullptr;
        }
        if (!log(fn->module, Level::Error, Message() << "Error during context manager cleanup: " << error))
            return nullptr;
    }
    // Never suppress the exception of the with block.
    Py_RETURN_FALSE;
}

// Pieces shared by the method docstrings, joined as literals.
#define CHANNEL_PARAM ":param channel_number: The channel number (default 0).\n"
#define LINK_RAISES                                                              \
    ":raises VexloCommunicationError: If the exchange with the instrument fails.\n" \
    ":raises VexloTimeoutError: If the instrument does not answer.\n"            \
    ":raises VexloProtocolError: If the response is malformed."

}  // namespace

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
    return {
        {"__init__", device_init,
         "Create the device for a connected interface; reserved for VexloSerialScanner.\n\n"
         ":param communication_interface: The connected serial communication interface.\n"
         ":param _internal_token: The private creation token.\n"
         ":raises TypeError: If the creation token is missing or wrong.\n"
         ":raises VexloCalibrationError: If the calibration cannot be loaded.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, communication_interface, *, _internal_token=None)"},
        {"get_ndr", get_ndr,
         "Read the raw ADC count of a channel.\n\n" CHANNEL_PARAM
         ":return: The raw ADC count of the channel's normal data request.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, channel_number=0)"},
        {"get_model_number", get_model_number,
         "Read the model number of the instrument.\n\n"
         ":return: The model number text.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self)"},
        {"disconnect", disconnect,
         "Close the serial link to the instrument.\n\n"
         ":return: None.",
         MemberKind::Method, -1, "(self)"},
        {"get_number_of_loading_points", get_number_of_loading_points,
         "Read the number of loading points of the channel's selected profile.\n\n" CHANNEL_PARAM
         ":return: The number of loading points.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, channel_number=0)"},
        {"get_reading", get_reading,
         "Read a calibrated value from a channel.\n\n" CHANNEL_PARAM
         ":return: The calibrated reading.\n"
         ":raises VexloCalibrationError: If the device has no ADC converter.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, channel_number=0)"},
        {"get_load_of_loading_point", get_load_of_loading_point,
         "Read the load of a loading point of the channel's selected profile.\n\n"
         ":param point_index: The index of the loading point.\n" CHANNEL_PARAM
         ":return: The load at the point.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, point_index, channel_number=0)"},
        {"get_loading_point_value", get_loading_point_value,
         "Read the ADC count of a loading point of the channel's selected profile.\n\n"
         ":param point_index: The index of the loading point.\n" CHANNEL_PARAM
         ":return: The ADC count at the point.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, point_index, channel_number=0)"},
        {"set_adc_of_loading_point", set_adc_of_loading_point,
         "Write the ADC count of a loading point of the channel's selected profile.\n\n"
         ":param point_index: The index of the loading point.\n"
         ":param adc_value: The ADC count to store.\n"
         ":param calibration_direction: Accepted for compatibility; has no effect.\n" CHANNEL_PARAM
         ":return: None.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, point_index, adc_value, calibration_direction=None, channel_number=0)"},
        {"set_load_of_loading_point", set_load_of_loading_point,
         "Write the load of a loading point of the channel's selected profile.\n\n"
         ":param point_index: The index of the loading point.\n"
         ":param load_value: The load to store.\n" CHANNEL_PARAM
         ":return: None.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, point_index, load_value, channel_number=0)"},
        {"get_number_of_directions", get_number_of_directions,
         "Read the direction code of the channel's selected profile.\n\n" CHANNEL_PARAM
         ":return: The direction code.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, channel_number=0)"},
        {"set_number_of_directions", set_number_of_directions,
         "Write the direction code of the channel's selected profile.\n\n"
         ":param number_of_directions: The direction code to store.\n" CHANNEL_PARAM
         ":return: None.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, number_of_directions, channel_number=0)"},
        {"set_stream_state", set_stream_state,
         "Switch streaming on or off.\n\n"
         ":param stream_enabled: True to start streaming, False to stop it.\n"
         ":return: None.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, stream_enabled)"},
        {"get_stream_data", get_stream_data,
         "Read the bytes waiting in the serial port's input buffer.\n\n"
         ":return: The waiting bytes, possibly none.\n"
         ":raises VexloCommunicationError: If the serial link is not open.",
         MemberKind::Method, -1, "(self)"},
        {"get_sampling_rate", get_sampling_rate,
         "Read the sampling-rate code of the channel's selected profile.\n\n" CHANNEL_PARAM
         ":return: The sampling-rate code as an integer.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, channel_number=0)"},
        {"set_sampling_rate", set_sampling_rate,
         "Set the sampling rate of the channel's selected profile.\n\n"
         ":param samples_per_second: A member of one of the sampling-rate enumerations.\n"
         ":param channel_number: The channel number, an int (default 0).\n"
         ":return: None.\n"
         ":raises TypeError: If channel_number is not a number.\n"
         ":raises VexloInvalidParameterError: If the instrument does not support the rate.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, samples_per_second, channel_number=0)"},
        {"set_sampling_rate_value", set_sampling_rate_value,
         "Set the sampling rate of the channel's selected profile from a raw rate code.\n\n"
         ":param samples_per_second: The sampling-rate code.\n" CHANNEL_PARAM
         ":return: None.\n"
         ":raises VexloInvalidParameterError: If the instrument does not support the rate.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, samples_per_second, channel_number=0)"},
        {"get_instrument_serial_number", get_instrument_serial_number,
         "Read the serial number of the instrument.\n\n"
         ":return: The instrument serial number.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self)"},
        {"get_sensor_serial_number", get_sensor_serial_number,
         "Read the sensor serial number of the channel's selected profile.\n\n" CHANNEL_PARAM
         ":return: The sensor serial number.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, channel_number=0)"},
        {"get_device_channel_selected_profile", get_device_channel_selected_profile,
         "Read the profile selected on a channel.\n\n" CHANNEL_PARAM
         ":return: The selected profile number.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, channel_number=0)"},
        {"set_device_channel_selected_profile", set_device_channel_selected_profile,
         "Select a profile on a channel, then reload the ADC converter for channel 0's profile.\n\n"
         ":param channel_number: The channel number.\n"
         ":param profile_number: The profile to select.\n"
         ":return: None.\n"
         ":raises VexloCalibrationError: If the calibration cannot be loaded.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, channel_number, profile_number)"},
        {"get_unit_of_measure", get_unit_of_measure,
         "Read the unit of measure of the channel's selected profile.\n\n" CHANNEL_PARAM
         ":return: The unit as a UnitOfMeasureEnum member.\n"
         ":raises ValueError: If the instrument reports an unknown unit code.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, channel_number=0)"},
        {"set_unit_of_measure", set_unit_of_measure,
         "Set the unit of measure of the channel's selected profile.\n\n"
         ":param unit_of_measure: A UnitOfMeasureEnum member.\n" CHANNEL_PARAM
         ":return: None.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, unit_of_measure, channel_number=0)"},
        {"get_board_temperature", get_board_temperature,
         "Read the board temperature of the instrument.\n\n" LINK_RAISES
         "\n:return: Device Board Temperature in degrees Celsius.",
         MemberKind::Method, -1, "(self)"},
        {"get_adc_converter", get_adc_converter,
         "Return the current ADC converter, without instrument traffic.\n\n"
         ":return: The current ADCConverter, or None.",
         MemberKind::Method, -1, "(self)"},
        {"get_adc_for_profile", get_adc_for_profile,
         "Load the calibration of a profile into a new ADC converter.\n\n"
         "The device's own converter is left unchanged.\n\n"
         ":param profile_number: The profile number.\n"
         ":return: A new ADCConverter.\n"
         ":raises VexloCalibrationError: If the calibration cannot be loaded.\n" LINK_RAISES,
         MemberKind::Method, -1, "(self, profile_number)"},
        {"__enter__", device_enter,
         "Enter the context.\n\n"
         ":return: The device itself.",
         MemberKind::Method, -1, "(self)"},
        {"__exit__", device_exit,
         "Leave the context: disconnect, logging any failure.\n\n"
         ":param exc_type: The type of the exception raised in the block, or None.\n"
         ":param exc_val: The exception raised in the block, or None.\n"
         ":param exc_tb: Its traceback, or None.\n"
         ":return: False, so an exception of the block propagates.",
         MemberKind::Method, -1, "(self, exc_type, exc_val, exc_tb)"},
    };
}

bool annotate_device_class(PyObject* device_class)
{
    // The rate is one of the four models' enumerations, named as text so
    // that nothing is imported or checked for it.
    Ref method(PyObject_GetAttrString(device_class, "set_sampling_rate"));
    if (!method)
        return false;
    Ref annotations(Py_BuildValue(
        "{s:s,s:O,s:O}", "samples_per_second",
        "Union[PLX310SamplingRateEnum, MVR420SamplingRateEnum, DTA530SamplingRateEnum, "
        "HSK640SamplingRateEnum]",
        "channel_number", reinterpret_cast<PyObject*>(&PyLong_Type), "return", Py_None));
    return annotations && PyObject_SetAttrString(method.get(), "__annotations__", annotations.get()) == 0;
}

}  // namespace vexlo
