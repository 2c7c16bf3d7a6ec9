// _CommandOperations: the command catalogue, frame building, checksum
// validation and payload conversion.
#include "common/ref.hpp"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "common/args.hpp"
#include "common/buffer.hpp"
#include "common/call.hpp"
#include "common/classes.hpp"
#include "common/errors.hpp"
#include "common/interrupt.hpp"
#include "common/log.hpp"
#include "common/message.hpp"
#include "common/state.hpp"
#include "protocol/bytes.hpp"
#include "protocol/checksum.hpp"
#include "protocol/command.hpp"
#include "protocol/payload.hpp"
#include "subsystems.hpp"

namespace vexlo
{

namespace
{

struct CatalogueEntry
{
    const char* name;
    int high;
    int low;
    int command_length;
    int arguments_length;
    int payload_length;
    int receive_length;
    const char* payload_type;  // null: the integer 5 (activity inquiry)
};

// Get_Ndr_Command is served from the instance's ndr_command instead.
const CatalogueEntry kCatalogue[] = {
    {"Get_Model_Number_Command", 0x01, 0x01, 5, 0, 10, 15, "ascii"},
    {"Get_Board_Temperature", 0x00, 0x07, 5, 0, 4, 9, "int"},
    {"Get_Ndr_Command", 0x00, 0x05, 6, 1, 4, 9, "int"},
    {"Slave_Activity_Inquiry_Command", 0x00, 0x01, 5, 0, 5, 0, nullptr},
    {"Get_Sampling_Rate_Command", 0x03, 0x1E, 6, 1, 1, 6, "int"},
    {"Set_Sampling_Rate_Command", 0x04, 0x1E, 7, 2, 0, 5, "NA"},
    {"Get_Number_Of_Loading_Points_Command", 0x03, 0x17, 6, 1, 1, 6, "int"},
    {"Get_Load_Of_Loading_Point_Command", 0x03, 0x18, 7, 2, 4, 9, "float"},
    {"Get_Loading_Point_Value_Command", 0x03, 0x19, 7, 2, 4, 9, "int"},
    {"Get_Number_Of_Directions_Command", 0x03, 0x0B, 6, 1, 1, 6, "int"},
    {"Set_Load_Of_Loading_Point_Command", 0x04, 0x18, 11, 2, 4, 5, "int"},
    {"Set_Loading_Point_Value_Command", 0x04, 0x19, 11, 2, 4, 5, "int"},
    {"Set_Number_Of_Directions_Command", 0x04, 0x0B, 7, 2, 0, 5, "int"},
    {"Set_Streaming_State_Command", 0x00, 0x0C, 6, 1, 0, 5, "raw"},
    {"Get_Instrument_Serial_Number_Command", 0x01, 0x00, 5, 0, 4, 9, "int"},
    {"Get_Sensor_Serial_Number_Command", 0x03, 0x00, 6, 1, 4, 9, "int"},
    {"Get_Item_Number_Command", 0x01, 0x02, 5, 0, 10, 15, "ascii"},
    {"Get_Device_Channel_Selected_Profile_Command", 0x01, 0x0A, 6, 1, 1, 6, "int"},
    {"Set_Device_Channel_Selected_Profile_Command", 0x02, 0x0A, 7, 2, 0, 5, "NA"},
    {"Get_Device_Unit_Of_Measure_Command", 0x03, 0x0C, 6, 1, 1, 6, "int"},
    {"Set_Device_Unit_Of_Measure_Command", 0x04, 0x0C, 7, 2, 0, 5, "NA"},
    {"Get_TEDS_Laser_Command", 0x01, 0x1F, 5, 0, 8, 13, "raw"},
    {"Get_TEDS_Data_Command", 0x01, 0x1E, 6, 1, 32, 37, "raw"},
    {"TEDS_Is_Connected_Command", 0x01, 0x20, 5, 0, 1, 6, "int"},
    {"Get_Auto_TEDS_Command", 0x01, 0x21, 5, 0, 1, 6, "int"},
    {"Get_Auto_TEDS_V1_Command", 0x01, 0x22, 5, 0, 1, 6, "int"},
    {"Set_Auto_TEDS_Command", 0x02, 0x21, 6, 1, 0, 5, "NA"},
    {"Set_Auto_TEDS_V1_Command", 0x02, 0x22, 6, 1, 0, 5, "NA"},
    {"Set_All_TEDS_Data_Command", 0x02, 0x1D, 5, 0, 0, 5, "NA"},
    {"Get_Firmware_Version_With_Patch_Command", 0x01, 0x04, 5, 0, 3, 8, "hex_string"},
};

constexpr long kNdrIndex = 2;

// The payload type names, interned once for the process like the attribute
// names: the catalogue builds a descriptor on every read.
PyObject* payload_type_name(const char* text)
{
    static const char* texts[] = {"ascii", "int", "float", "raw", "hex_string", "NA"};
    static PyObject* names[sizeof(texts) / sizeof(texts[0])] = {};
    for (size_t i = 0; i < sizeof(texts) / sizeof(texts[0]); ++i)
    {
        if (std::strcmp(texts[i], text) != 0)
            continue;
        return cppy::xincref(intern_once(names[i], texts[i]));
    }
    return PyUnicode_FromString(text);
}

PyObject* catalogue_command(PyObject* module, const CatalogueEntry& entry)
{
    Ref payload_type(entry.payload_type ? payload_type_name(entry.payload_type)
                                              : PyLong_FromLong(5));
    if (!payload_type)
        return nullptr;
    // Every number in the catalogue is a small int, which the interpreter
    // keeps; these calls allocate nothing.
    Ref numbers[] = {PyLong_FromLong(entry.high),           PyLong_FromLong(entry.low),
                           PyLong_FromLong(entry.command_length), PyLong_FromLong(entry.arguments_length),
                           PyLong_FromLong(entry.payload_length), PyLong_FromLong(entry.receive_length)};
    for (const Ref& number : numbers)
        if (!number)
            return nullptr;
    PyObject* args[] = {numbers[0].get(), numbers[1].get(), numbers[2].get(), numbers[3].get(),
                        numbers[4].get(), numbers[5].get(), payload_type.get()};
    return new_command(module, args);
}

PyObject* operations_init(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    Ref ndr(catalogue_command(fn->module, kCatalogue[kNdrIndex]));
    if (!ndr || PyObject_SetAttr(args[0], VEXLO_NAME("ndr_command"), ndr.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* catalogue_entry(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    long index = PyLong_AsLong(fn->data);
    if (index == kNdrIndex)
        return get_attr(args[0], VEXLO_NAME("ndr_command"));
    return catalogue_command(fn->module, kCatalogue[index]);
}

// Slices are a multiple of 256 bytes long, so each starts at weight 1 again
// and their checksums add up.
constexpr size_t kSlice = 16 * kSignalInterval;

// The checksum of `size` bytes, walked in slices with a look for signals
// before each.
bool checksum_walk(const uint8_t* data, size_t size, uint8_t* out)
{
    uint8_t sum = 0;
    for (size_t offset = 0; offset < size; offset += kSlice)
    {
        if (PyErr_CheckSignals() < 0)
            return false;
        const size_t length = size - offset < kSlice ? size - offset : kSlice;
        sum = static_cast<uint8_t>(sum + checksum(data + offset, length));
    }
    *out = sum;
    return true;
}

// The contents of a bytes or bytearray object, in place. Within one slice
// nothing runs that could look for signals or resize the data, so no export
// and no look are needed there (frames are a few bytes).
const uint8_t* bytes_of(PyObject* data, size_t* size)
{
    const bool is_bytes = PyBytes_Check(data);
    *size = static_cast<size_t>(is_bytes ? PyBytes_GET_SIZE(data) : PyByteArray_GET_SIZE(data));
    return reinterpret_cast<const uint8_t*>(is_bytes ? PyBytes_AS_STRING(data) : PyByteArray_AS_STRING(data));
}

// Checksum of any iterable of integers 0..255; bytes and bytearray are read
// in place.
bool checksum_of(PyObject* sequence, uint8_t* out)
{
    if (PyBytes_Check(sequence) || PyByteArray_Check(sequence))
    {
        size_t size = 0;
        const uint8_t* data = bytes_of(sequence, &size);
        if (size <= kSlice)
        {
            *out = checksum(data, size);
            return true;
        }
        BufferView view;
        return view.open(sequence) && checksum_walk(view.bytes(), view.size(), out);
    }
    std::vector<uint8_t> bytes;
    if (!collect_bytes(sequence, false, bytes))
        return false;
    return checksum_walk(bytes.data(), bytes.size(), out);
}

PyObject* calculate_checksum(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "byte_array"}, 2, a))
        return nullptr;
    uint8_t sum = 0;
    if (!checksum_of(a[1], &sum))
        return nullptr;
    return PyLong_FromLong(sum);
}

// Whether self.calculate_checksum is this module's own operation, so that
// the checksum can be taken in place; an override on the instance, the class
// or a subclass is called instead. 1, 0, or -1 with an exception set.
int checksum_is_native(PyObject* module, PyObject* self)
{
    Ref bound(get_attr(self, VEXLO_NAME("calculate_checksum")));
    if (!bound)
        return -1;
    if (!PyMethod_Check(bound.get()) || PyMethod_GET_SELF(bound.get()) != self)
        return 0;
    PyObject* function = PyMethod_GET_FUNCTION(bound.get());
    return Py_IS_TYPE(function, type_of(state_of(module)->FunctionType)) &&
           reinterpret_cast<Function*>(function)->impl == calculate_checksum;
}

// Appends one byte to an exact bytearray.
bool append_raw(PyObject* frame, uint8_t byte)
{
    Py_ssize_t size = PyByteArray_GET_SIZE(frame);
    if (PyByteArray_Resize(frame, size + 1) < 0)
        return false;
    PyByteArray_AS_STRING(frame)[size] = static_cast<char>(byte);
    return true;
}

// frame.append(value), done in place for an exact bytearray with the same
// conversion and errors as bytearray.append.
bool append_byte(PyObject* frame, PyObject* value)
{
    if (!PyByteArray_CheckExact(frame))
    {
        Ref appended(call_method(frame, VEXLO_NAME("append"), value));
        return static_cast<bool>(appended);
    }
    uint8_t byte = 0;
    return byte_like_bytearray(value, &byte) && append_raw(frame, byte);
}

// Appends the argument bytes to the frame: bytes-like data is copied in
// place, anything else goes through bytearray.extend.
bool extend_frame(PyObject* frame, PyObject* arguments)
{
    if (PyByteArray_CheckExact(frame) && (PyBytes_Check(arguments) || PyByteArray_Check(arguments)))
    {
        const char* data = PyBytes_Check(arguments) ? PyBytes_AS_STRING(arguments)
                                                    : PyByteArray_AS_STRING(arguments);
        Py_ssize_t size = PyBytes_Check(arguments) ? PyBytes_GET_SIZE(arguments)
                                                   : PyByteArray_GET_SIZE(arguments);
        Py_ssize_t old = PyByteArray_GET_SIZE(frame);
        if (frame == arguments)
        {
            std::string copy(data, static_cast<size_t>(size));
            if (PyByteArray_Resize(frame, old + size) < 0)
                return false;
            std::memcpy(PyByteArray_AS_STRING(frame) + old, copy.data(), copy.size());
            return true;
        }
        if (PyByteArray_Resize(frame, old + size) < 0)
            return false;
        std::memcpy(PyByteArray_AS_STRING(frame) + old, data, static_cast<size_t>(size));
        return true;
    }
    Ref result(call_method(frame, VEXLO_NAME("extend"), arguments));
    return static_cast<bool>(result);
}

PyObject* build_frame(PyObject* module, PyObject* self, PyObject* command, PyObject* arguments)
{
    Ref frame(call_method(command, VEXLO_NAME("toByteArray")));
    if (!frame || !extend_frame(frame.get(), arguments))
        return nullptr;
    int native = checksum_is_native(module, self);
    if (native < 0)
        return nullptr;
    Ref sum;
    if (native)
    {
        uint8_t value = 0;
        if (!checksum_of(frame.get(), &value))
            return nullptr;
        if (PyByteArray_CheckExact(frame.get()))
            return append_raw(frame.get(), value) ? frame.release() : nullptr;
        sum = PyLong_FromLong(value);
    }
    else
        sum = call_method(self, VEXLO_NAME("calculate_checksum"), frame.get());
    if (!sum || !append_byte(frame.get(), sum.get()))
        return nullptr;
    return frame.release();
}

PyObject* get_command_byte_array(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames)
{
    PyObject* a[3];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "command", "arguments"}, 2, a))
        return nullptr;
    ModuleState* st = state(fn);
    PyObject* arguments = a[2] ? a[2] : st->empty_arguments;
    int is_command = PyObject_IsInstance(a[1], st->CommandClass);
    if (is_command < 0)
        return nullptr;
    if (!is_command)
    {
        Ref type_name(PyType_GetName(Py_TYPE(a[1])));
        if (!type_name)
            return nullptr;
        return raise(st->VexloProtocolError, Message() << "Invalid command type: " << type_name);
    }
    PyObject* frame = build_frame(fn->module, a[0], a[1], arguments);
    if (frame)
        return frame;
    return raise_wrapped(fn->module, {st->VexloProtocolError}, "Error constructing command: ",
                         st->VexloProtocolError, "Failed to construct command: ");
}

PyObject* validate_response_checksum(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "response_bytes"}, 2, a))
        return nullptr;
    ModuleState* st = state(fn);
    Py_ssize_t size = PyObject_Size(a[1]);
    if (size < 0)
        return nullptr;
    if (size < 2)
        return raise_text(st->VexloProtocolError, "Response too short for checksum validation");
    int differs = -1;
    int native = 0;
    if (PyBytes_CheckExact(a[1]) || PyByteArray_CheckExact(a[1]))
    {
        native = checksum_is_native(fn->module, a[0]);
        if (native < 0)
            return nullptr;
    }
    if (native)
    {
        // The frame in place: no copy of the body, no call. Its size is read
        // again, since the attribute lookup may have run Python code.
        size_t length = 0;
        const uint8_t* data = bytes_of(a[1], &length);
        BufferView frame;  // held only over a walk long enough to look for signals
        if (length >= 2 && length - 1 > kSlice)
        {
            if (!frame.open(a[1]))
                return nullptr;
            data = frame.bytes();
            length = frame.size();
        }
        if (length < 2)
            return raise_text(st->VexloProtocolError, "Response too short for checksum validation");
        uint8_t sum = 0;
        if (length - 1 <= kSlice)
            sum = checksum(data, length - 1);
        else if (!checksum_walk(data, length - 1, &sum))
            return nullptr;
        differs = data[length - 1] != sum;
    }
    else
    {
        Ref received(PySequence_GetItem(a[1], size - 1));
        if (!received)
            return nullptr;
        Ref body(PySequence_GetSlice(a[1], 0, size - 1));
        if (!body)
            return nullptr;
        Ref calculated(call_method(a[0], VEXLO_NAME("calculate_checksum"), body.get()));
        if (!calculated)
            return nullptr;
        differs = PyObject_RichCompareBool(received.get(), calculated.get(), Py_NE);
        if (differs < 0)
            return nullptr;
    }
    if (differs)
    {
        if (!log_text(fn->module, Level::Error, "Checksum mismatch"))
            return nullptr;
        return raise_text(st->VexloProtocolError, "Invalid checksum in response");
    }
    Py_RETURN_NONE;
}

bool text_equals(PyObject* text, const char* literal)
{
    return PyUnicode_CompareWithASCIIString(text, literal) == 0;
}

// The "ascii" conversion: the text without its NUL characters.
PyObject* decode_ascii(PyObject* payload, bool has_buffer, const uint8_t* data, size_t size)
{
    if (has_buffer)
    {
        // Plain ASCII: the text without its NULs, made at once. Anything
        // else goes to the decoder below, for its own error message.
        std::string text;
        text.reserve(size);
        size_t i = 0;
        for (; i < size && data[i] < 0x80; ++i)
            if (data[i])
                text.push_back(static_cast<char>(data[i]));
        if (i == size)
            return PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    }
    Ref decoded;
    if (has_buffer)
        decoded = PyUnicode_DecodeASCII(reinterpret_cast<const char*>(data),
                                        static_cast<Py_ssize_t>(size), "strict");
    else
    {
        Ref encoding(PyUnicode_FromString("ascii"));
        if (!encoding)
            return nullptr;
        decoded = call_method(payload, VEXLO_NAME("decode"), encoding.get());
    }
    if (!decoded)
        return nullptr;
    Ref nul(PyUnicode_FromStringAndSize("\0", 1));
    Ref empty(PyUnicode_FromStringAndSize("", 0));
    if (!nul || !empty)
        return nullptr;
    return PyUnicode_Replace(decoded.get(), nul.get(), empty.get(), -1);
}

// The conversions by payload type. With `has_buffer`, `data` and `size` are
// the payload's bytes and `payload` is not used (it may be null); otherwise
// the equivalent Python operations run on `payload`.
PyObject* convert_bytes(PyObject* module, PyObject* payload, bool has_buffer, const uint8_t* data,
                        size_t size, PyObject* return_type, bool* known)
{
    *known = true;
    if (text_equals(return_type, "hex_string"))
    {
        if (!has_buffer)
            return call_method(payload, VEXLO_NAME("hex"));
        std::string hex = to_hex(data, size);
        return PyUnicode_FromStringAndSize(hex.data(), static_cast<Py_ssize_t>(hex.size()));
    }
    if (text_equals(return_type, "ascii"))
        return decode_ascii(payload, has_buffer, data, size);
    if (text_equals(return_type, "int"))
    {
        if (has_buffer)
            return compat::long_from_big_endian(data, size);
        Ref order(PyUnicode_FromString("big"));
        if (!order)
            return nullptr;
        return call_method(reinterpret_cast<PyObject*>(&PyLong_Type), VEXLO_NAME("from_bytes"),
                           payload, order.get());
    }
    if (text_equals(return_type, "float"))
    {
        Py_ssize_t length = has_buffer ? static_cast<Py_ssize_t>(size) : PyObject_Size(payload);
        if (length < 0)
            return nullptr;
        if (length != 4)
            return raise(state_of(module)->VexloProtocolError,
                         Message() << "Float conversion requires 4 bytes, got "
                                   << static_cast<long long>(length));
        if (!has_buffer)
        {
            PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%.200s'",
                         Py_TYPE(payload)->tp_name);
            return nullptr;
        }
        return PyFloat_FromDouble(float32_le(data));
    }
    *known = false;
    return nullptr;
}

// The conversions on a payload object: on its buffer when it has one.
PyObject* convert_known(PyObject* module, PyObject* payload, PyObject* return_type, bool* known)
{
    BufferView view;
    bool has_buffer = PyObject_CheckBuffer(payload) && view.open(payload);
    if (!has_buffer)
        PyErr_Clear();
    return convert_bytes(module, payload, has_buffer, has_buffer ? view.bytes() : nullptr,
                         has_buffer ? view.size() : 0, return_type, known);
}

PyObject* convert_guarded(PyObject* module, int length, PyObject* return_type, PyObject* frame)
{
    ModuleState* st = state_of(module);
    if (PyUnicode_Check(return_type) && text_equals(return_type, "raw"))
        return PySequence_GetSlice(frame, 4, PY_SSIZE_T_MAX);
    Py_ssize_t size = PyObject_Size(frame);
    if (size < 0)
        return nullptr;
    const long long needed = static_cast<long long>(length) + 4;
    if (static_cast<long long>(size) < needed)
        return raise(st->VexloProtocolError,
                     Message() << "Payload too short: expected " << needed << " bytes, got "
                               << static_cast<long long>(size));
    if ((PyBytes_CheckExact(frame) || PyByteArray_CheckExact(frame)) && length >= 0 &&
        PyUnicode_Check(return_type))
    {
        // The payload read in place: for these frames frame[4:length + 4]
        // is exactly these bytes, and the conversions run no Python code.
        const char* bytes = PyBytes_CheckExact(frame) ? PyBytes_AS_STRING(frame) : PyByteArray_AS_STRING(frame);
        bool known = false;
        PyObject* result = convert_bytes(module, nullptr, true, reinterpret_cast<const uint8_t*>(bytes) + 4,
                                         static_cast<size_t>(length), return_type, &known);
        if (known)
            return result;
        return raise(st->VexloProtocolError, Message() << "Unknown payload type: " << return_type);
    }
    // Slice bounds follow Python's rules, negative lengths included.
    Ref stop(PyLong_FromLongLong(needed));
    Ref start(PyLong_FromLong(4));
    if (!stop || !start)
        return nullptr;
    Ref bounds(PySlice_New(start.get(), stop.get(), nullptr));
    if (!bounds)
        return nullptr;
    Ref payload(PyObject_GetItem(frame, bounds.get()));
    if (!payload)
        return nullptr;
    if (PyUnicode_Check(return_type))
    {
        bool known = false;
        PyObject* result = convert_known(module, payload.get(), return_type, &known);
        if (known)
            return result;
    }
    return raise(st->VexloProtocolError, Message() << "Unknown payload type: " << return_type);
}

PyObject* convert_payload(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[4];
    if (!bind_arguments(fn, args, nargs, kwnames,
                        {"self", "length", "return_type", "payload_byte_array"}, 4, a))
        return nullptr;
    int length = 0;
    if (!as_int(a[1], &length))
        return nullptr;
    PyObject* result = convert_guarded(fn->module, length, a[2], a[3]);
    if (result)
        return result;
    ModuleState* st = state(fn);
    return raise_wrapped(fn->module, {st->VexloProtocolError}, "Payload conversion failed: ",
                         st->VexloProtocolError, "Failed to convert payload: ");
}

}  // namespace

const char* const command_operations_doc =
    "The instrument's command catalogue.\n\n"
    "Each catalogue property gives a command descriptor; the methods build request\n"
    "frames, compute and validate checksums and convert response payloads.";

MemberList command_operations_members()
{
    MemberList members = {
        {"__init__", operations_init, "(self)",
         "Create the catalogue and its normal data request descriptor, ndr_command."},
    };
    // One docstring per entry, kept for the life of the process: the member
    // list only points at it.
    static std::string docs[std::size(kCatalogue)];
    long index = 0;
    for (const CatalogueEntry& entry : kCatalogue)
    {
        static const char* const kHex = "0123456789ABCDEF";
        std::string& doc = docs[index];
        doc = std::string("Descriptor of the command ") + kHex[entry.high >> 4] + kHex[entry.high & 15] +
              " " + kHex[entry.low >> 4] + kHex[entry.low & 15] + " (a _Command).";
        members.push_back({entry.name, catalogue_entry, nullptr, doc.c_str(), MemberKind::Property, index++});
    }
    extend(members,
           {
               {"get_command_byte_array", get_command_byte_array,
                // The default, one shared empty bytearray, has no text form that
                // inspect can read; the parameter is listed without it.
                "(self, command, arguments)",
                "Build the complete request frame for a command.\n\n"
                ":param command: The command descriptor.\n"
                ":param arguments: The argument bytes.\n"
                ":return: The request frame, checksum included.\n"
                ":raises VexloProtocolError: If the frame cannot be built."},
               {"calculate_checksum", calculate_checksum, "(self, byte_array)",
                "Compute the position-weighted checksum of a byte sequence.\n\n"
                ":param byte_array: The bytes to sum.\n"
                ":return: The checksum, 0 to 255."},
               {"validate_response_checksum", validate_response_checksum, "(self, response_bytes)",
                "Check the checksum byte that closes a response frame.\n\n"
                ":param response_bytes: The whole response frame.\n"
                ":return: None.\n"
                ":raises VexloProtocolError: If the frame is too short or the checksum differs."},
               {"convert_payload", convert_payload, "(self, length, return_type, payload_byte_array)",
                "Convert the payload of a validated response frame.\n\n"
                ":param length: The payload length in bytes.\n"
                ":param return_type: The payload type.\n"
                ":param payload_byte_array: The whole response frame.\n"
                ":return: The converted value.\n"
                ":raises VexloProtocolError: If the payload cannot be converted."},
           });
    return members;
}

}  // namespace vexlo
