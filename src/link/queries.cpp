// Instrument queries and settings of _SerialCommunicationInterface.
#include "common/ref.hpp"

#include <cstdint>
#include <cstring>
#include <string>

#include "common/args.hpp"
#include "common/call.hpp"
#include "common/classes.hpp"
#include "common/errors.hpp"
#include "common/log.hpp"
#include "common/message.hpp"
#include "common/models.hpp"
#include "common/state.hpp"
#include "link/link.hpp"
#include "link/version.hpp"
#include "protocol/bytes.hpp"
#include "subsystems.hpp"

namespace vexlo
{

namespace
{

enum class Kind
{
    Query,   // send_convert_return_sequence; returns the converted payload
    Setting  // send_sequence; returns None
};

// A 4-byte value that follows the one-byte arguments, taken from the last
// parameter.
enum class Tail
{
    None,
    LoadFloat,  // IEEE single, least significant byte first (struct "<f")
    AdcCount    // unsigned 32-bit, most significant byte first (int.to_bytes)
};

struct Operation
{
    const char* name;
    const char* command;  // catalogue entry on self.commands
    Kind kind;
    Tail tail;
    const char* params[3];  // all but the tail's sent as one byte each
    const char* doc;
};

constexpr int kMaxParams = 3;

// Parameter lines shared by the docstrings, joined as literals.
#define PROFILE ":param profile_number: The profile number, 0 to 255.\n"
#define POINT ":param point_index: The point index, 0 to 255.\n"

const Operation kOperations[] = {
    {"get_instrument_serial_number", "Get_Instrument_Serial_Number_Command", Kind::Query, Tail::None, {},
     "Read the instrument's serial number.\n\n"
     ":return: The serial number."},
    {"get_sensor_serial_number", "Get_Sensor_Serial_Number_Command", Kind::Query, Tail::None, {"profile"},
     "Read the serial number of the sensor of a profile.\n\n"
     ":param profile: The profile number, 0 to 255.\n"
     ":return: The sensor serial number."},
    {"get_board_temperature", "Get_Board_Temperature", Kind::Query, Tail::None, {},
     "Read the raw board temperature.\n\n"
     ":return: The unconverted 4-byte temperature reading."},
    {"get_ndr", "Get_Ndr_Command", Kind::Query, Tail::None, {"channel_number"},
     "Read the current raw ADC count of a channel.\n\n"
     ":param channel_number: The channel number, 0 to 255.\n"
     ":return: The raw ADC count."},
    {"get_number_of_loading_points", "Get_Number_Of_Loading_Points_Command", Kind::Query, Tail::None,
     {"profile_number"},
     "Read the number of loading points per direction of a profile.\n\n" PROFILE
     ":return: The number of loading points."},
    {"get_load_of_loading_point", "Get_Load_Of_Loading_Point_Command", Kind::Query, Tail::None,
     {"profile_number", "point_index"},
     "Read the load of one loading point.\n\n" PROFILE POINT
     ":return: The load at the point."},
    {"get_loading_point_value", "Get_Loading_Point_Value_Command", Kind::Query, Tail::None,
     {"profile_number", "point_index"},
     "Read the ADC count of one loading point.\n\n" PROFILE POINT
     ":return: The ADC count at the point."},
    {"set_load_of_loading_point", "Set_Load_Of_Loading_Point_Command", Kind::Setting, Tail::LoadFloat,
     {"profile_number", "point_index", "load_value"},
     "Write the load of one loading point.\n\n" PROFILE POINT
     ":param load_value: The load, sent as a single-precision float.\n"
     ":return: None.\n"
     ":raises struct.error: If the load does not convert to a float."},
    {"set_adc_of_loading_point", "Set_Loading_Point_Value_Command", Kind::Setting, Tail::AdcCount,
     {"profile_number", "point_index", "adc_value"},
     "Write the ADC count of one loading point.\n\n" PROFILE POINT
     ":param adc_value: The ADC count, an unsigned 32-bit integer.\n"
     ":return: None.\n"
     ":raises OverflowError: If the count is negative or needs more than 32 bits."},
    {"get_number_of_directions", "Get_Number_Of_Directions_Command", Kind::Query, Tail::None, {"profile_number"},
     "Read the direction code of a profile.\n\n" PROFILE
     ":return: The direction code."},
    {"set_number_of_directions", "Set_Number_Of_Directions_Command", Kind::Setting, Tail::None,
     {"profile_number", "number_of_directions"},
     "Write the direction code of a profile.\n\n" PROFILE
     ":param number_of_directions: The direction code, 0 to 255.\n"
     ":return: None."},
    {"get_sampling_rate", "Get_Sampling_Rate_Command", Kind::Query, Tail::None, {"profile_number"},
     "Read the sampling-rate code of a profile.\n\n" PROFILE
     ":return: The sampling-rate code."},
    {"get_unit_of_measure", "Get_Device_Unit_Of_Measure_Command", Kind::Query, Tail::None, {"profile_number"},
     "Read the unit code of a profile.\n\n" PROFILE
     ":return: The unit code."},
    {"set_unit_of_measure", "Set_Device_Unit_Of_Measure_Command", Kind::Setting, Tail::None,
     {"profile_number", "unit_of_measure"},
     "Write the unit code of a profile.\n\n" PROFILE
     ":param unit_of_measure: The unit code, 0 to 255.\n"
     ":return: None."},
    {"get_device_channel_selected_profile", "Get_Device_Channel_Selected_Profile_Command", Kind::Query, Tail::None,
     {"channel_number"},
     "Read the profile selected on a channel.\n\n"
     ":param channel_number: The channel number, 0 to 255.\n"
     ":return: The profile number."},
    {"set_device_channel_selected_profile", "Set_Device_Channel_Selected_Profile_Command", Kind::Setting, Tail::None,
     {"channel_number", "profile_number"},
     "Select the profile of a channel.\n\n"
     ":param channel_number: The channel number, 0 to 255.\n" PROFILE
     ":return: None."},
    {"set_streaming_state", "Set_Streaming_State_Command", Kind::Setting, Tail::None, {"stream_enabled"},
     "Switch streaming on (1) or off (0).\n\n"
     ":param stream_enabled: 1 or True to stream, 0 or False to stop.\n"
     ":return: None."},
};

constexpr long kOperationCount = static_cast<long>(sizeof kOperations / sizeof kOperations[0]);

const char* const kArgumentErrors =
    ":raises ValueError: If a one-byte value is outside 0 to 255.\n"
    ":raises TypeError: If a one-byte value is not an integer.\n";

int param_count(const Operation& op)
{
    int count = 0;
    while (count < kMaxParams && op.params[count])
        ++count;
    return count;
}

// The leading parameters, sent as one byte each.
int byte_count(const Operation& op)
{
    return param_count(op) - (op.tail == Tail::None ? 0 : 1);
}

// Interned catalogue names, created once like the other attribute names.
PyObject* command_name(long index)
{
    static PyObject* names[kOperationCount] = {};
    return intern_once(names[index], kOperations[index].command);
}

// Appends `tail` (normally bytes) to the bytearray `arguments`.
bool append(PyObject* arguments, PyObject* tail)
{
    if (!PyBytes_Check(tail))
    {
        Ref extended(call_method(arguments, VEXLO_NAME("extend"), tail));
        return static_cast<bool>(extended);
    }
    Py_ssize_t old = PyByteArray_GET_SIZE(arguments);
    if (PyByteArray_Resize(arguments, old + PyBytes_GET_SIZE(tail)) < 0)
        return false;
    std::memcpy(PyByteArray_AS_STRING(arguments) + old, PyBytes_AS_STRING(tail),
                static_cast<size_t>(PyBytes_GET_SIZE(tail)));
    return true;
}

// The 4 bytes of a loading-point value, with the errors of the conversions
// themselves (struct.error for a load that is no float, OverflowError and
// AttributeError for a count that is not an unsigned 32-bit int).
PyObject* pack_tail(PyObject* module, Tail tail, PyObject* value)
{
    if (tail == Tail::LoadFloat)
    {
        Ref struct_module(module_global(module, "struct"));
        PyObject* format = VEXLO_NAME("<f");
        if (!struct_module || !format)
            return nullptr;
        return call_method(struct_module.get(), VEXLO_NAME("pack"), format, value);
    }
    Ref length(PyLong_FromLong(4));
    PyObject* order = VEXLO_NAME("big");
    if (!length || !order)
        return nullptr;
    return call_method(value, VEXLO_NAME("to_bytes"), length.get(), order);
}

// The argument bytes of an operation, all built before anything is sent.
PyObject* encode_arguments(PyObject* module, const Operation& op, PyObject* const* values)
{
    uint8_t bytes[kMaxParams] = {};
    for (int i = 0; i < byte_count(op); ++i)
        if (!byte_like_bytearray(values[i], &bytes[i]))
            return nullptr;
    Ref arguments(
        PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(bytes), byte_count(op)));
    if (!arguments)
        return nullptr;
    if (op.tail == Tail::None)
        return arguments.release();
    Ref packed(pack_tail(module, op.tail, values[byte_count(op)]));
    if (!packed || !append(arguments.get(), packed.get()))
        return nullptr;
    return arguments.release();
}

PyObject* run_operation(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    const long index = PyLong_AsLong(fn->data);
    const Operation& op = kOperations[index];
    PyObject* a[1 + kMaxParams];
    if (!bind_method(fn, args, nargs, kwnames, op.params, param_count(op), param_count(op), a))
        return nullptr;
    Ref arguments(encode_arguments(fn->module, op, a + 1));
    if (!arguments)
        return nullptr;
    Ref result(send_command(a[0], command_name(index), arguments.get(), op.kind == Kind::Query));
    if (!result || op.kind == Kind::Query)
        return result.release();
    Py_RETURN_NONE;
}

// ------------------------------------------------------------ firmware version

PyObject* get_firmware_version_with_patch(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    Ref result(send_query(args[0], VEXLO_NAME("Get_Firmware_Version_With_Patch_Command")));
    if (!result)
        return nullptr;
    std::string version;
    if (PyUnicode_Check(result.get()))
    {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(result.get(), &size);
        if (!text)
            PyErr_Clear();  // not encodable (lone surrogates): no version either
        else if (format_firmware_version(std::string(text, static_cast<size_t>(size)), version))
            return PyUnicode_FromStringAndSize(version.data(), static_cast<Py_ssize_t>(version.size()));
    }
    // Anything but six hexadecimal digits is no version: cutting it in pairs
    // would give a plausible-looking but wrong text.
    Ref shown(PyObject_Repr(result.get()));
    if (!shown || !log(fn->module, Level::Debug,
                       Message() << "Error parsing firmware version: expected six hexadecimal "
                                    "digits, got "
                                 << shown))
        return nullptr;
    return PyUnicode_FromString("0.0.0");
}

// --------------------------------------------------------------- sampling rate

const char* const kPlusPrimeOnlyText = "The 38,400 SPS rate is only available on PLX310 Plus Prime";

// hashlib.sha256(item_number.encode("utf-8")).hexdigest()
PyObject* item_digest(PyObject* module, PyObject* item_number)
{
    PyObject* encoding = VEXLO_NAME("utf-8");
    if (!encoding)
        return nullptr;
    Ref encoded(call_method(item_number, VEXLO_NAME("encode"), encoding));
    Ref hashlib(encoded ? module_global(module, "hashlib") : nullptr);
    if (!hashlib)
        return nullptr;
    Ref hash(call_method(hashlib.get(), VEXLO_NAME("sha256"), encoded.get()));
    if (!hash)
        return nullptr;
    return call_method(hash.get(), VEXLO_NAME("hexdigest"));
}

// True when the rate may be sent to this instrument; false with an exception
// set otherwise (VexloInvalidParameterError for the refused rate). The
// conditions are tested in order and stop at the first that fails.
bool check_rate(PyObject* module, uint8_t rate, PyObject* model, PyObject* digest)
{
    if (rate != models::kHighRateCode)
        return true;
    int plx310 = compare_text(model, models::kEditionModel, Py_EQ);
    if (plx310 <= 0)
        return plx310 == 0;
    int other_edition = compare_text(digest, models::kPlusPrimeItemDigest, Py_NE);
    if (other_edition <= 0)
        return other_edition == 0;
    if (log_text(module, Level::Error, kPlusPrimeOnlyText))
        raise_text(state_of(module)->VexloInvalidParameterError, kPlusPrimeOnlyText);
    return false;
}

PyObject* set_sampling_rate(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[3];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "profile_number", "samples_per_second"}, 3,
                        a))
        return nullptr;
    // Encoded first: bad arguments must not cost the two queries.
    uint8_t bytes[2];
    if (!byte_like_bytearray(a[1], &bytes[0]) || !byte_like_bytearray(a[2], &bytes[1]))
        return nullptr;
    Ref item(send_query(a[0], VEXLO_NAME("Get_Item_Number_Command")));
    if (!item)
        return nullptr;
    Ref model(send_query(a[0], VEXLO_NAME("Get_Model_Number_Command")));
    if (!model)
        return nullptr;
    Ref digest(item_digest(fn->module, item.get()));
    if (!digest)
        return nullptr;
    if (!check_rate(fn->module, bytes[1], model.get(), digest.get()))
        return nullptr;
    Ref arguments(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(bytes), 2));
    if (!arguments)
        return nullptr;
    Ref sent(send_command(a[0], VEXLO_NAME("Set_Sampling_Rate_Command"), arguments.get(), false));
    if (!sent)
        return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

MemberList interface_query_members()
{
    static std::string docs[kOperationCount];
    static std::string signatures[kOperationCount];
    MemberList members;
    for (long i = 0; i < kOperationCount; ++i)
    {
        const Operation& op = kOperations[i];
        docs[i] = std::string(op.doc) + "\n";
        if (byte_count(op) > 0)
            docs[i] += kArgumentErrors;
        docs[i] += op.kind == Kind::Query
                       ? ":raises VexloCommunicationError: If the exchange fails.\n"
                         ":raises VexloProtocolError: If the response is invalid."
                       : ":raises VexloCommunicationError: If the exchange fails.";
        signatures[i] = "(self";
        for (int p = 0; p < param_count(op); ++p)
            signatures[i] += std::string(", ") + op.params[p];
        signatures[i] += ")";
        members.push_back(
            {op.name, run_operation, signatures[i].c_str(), docs[i].c_str(), MemberKind::Method, i});
    }
    extend(members,
           {
               {"get_firmware_version_with_patch", get_firmware_version_with_patch, "(self)",
                "Read the firmware version.\n\n"
                ":return: The version as three pairs of hexadecimal digits, for instance "
                "01.0a.03; 0.0.0 if the instrument's answer is no version.\n"
                ":raises VexloCommunicationError: If the exchange fails.\n"
                ":raises VexloProtocolError: If the response is invalid."},
               {"set_sampling_rate", set_sampling_rate, "(self, profile_number, samples_per_second)",
                "Set the sampling-rate code of a profile.\n\n" PROFILE
                ":param samples_per_second: The sampling-rate code, 0 to 255.\n"
                ":return: None.\n"
                ":raises VexloInvalidParameterError: If the 38,400 SPS rate is asked of a PLX310 "
                "that is not the Plus Prime edition.\n"
                ":raises ValueError: If a value is outside 0 to 255.\n"
                ":raises TypeError: If a value is not an integer.\n"
                ":raises VexloCommunicationError: If an exchange fails."},
           });
    return members;
}

#undef PROFILE
#undef POINT

}  // namespace vexlo
