// _Command: one instrument command descriptor.
#include <cppy/cppy.h>

#include "common/args.hpp"
#include "common/classes.hpp"
#include "protocol/bytes.hpp"
#include "subsystems.hpp"

namespace vexlo
{

namespace
{

const char* const kFields[] = {"command_high_byte", "command_low_byte", "command_length",
                               "arguments_length", "payload_length", "payload_type",
                               "receive_length"};

PyObject* command_init(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[8];
    if (!bind_arguments(fn, args, nargs, kwnames,
                        {"self", "command_high_byte", "command_low_byte", "command_length",
                         "arguments_length", "payload_length", "receive_length", "payload_type"},
                        7, a))
        return nullptr;
    cppy::ptr default_type;
    if (!a[7])
    {
        default_type = PyUnicode_InternFromString("NA");
        if (!default_type)
            return nullptr;
        a[7] = default_type.get();
    }
    // Stored in declaration order, payload_type before receive_length.
    PyObject* values[] = {a[1], a[2], a[3], a[4], a[5], a[7], a[6]};
    for (int i = 0; i < 7; ++i)
        if (PyObject_SetAttrString(a[0], kFields[i], values[i]) < 0)
            return nullptr;
    Py_RETURN_NONE;
}

PyObject* command_to_byte_array(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    uint8_t frame[4] = {0, 0, 0, 0};
    const char* names[] = {"command_length", "command_high_byte", "command_low_byte"};
    for (int i = 0; i < 3; ++i)
    {
        cppy::ptr value(PyObject_GetAttrString(args[0], names[i]));
        if (!value || !byte_like_bytearray(value.get(), &frame[i + 1]))
            return nullptr;
    }
    return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(frame), 4);
}

}  // namespace

const char* const command_doc =
    "Descriptor of one instrument command.\n\n"
    "Holds the two command bytes, the request and response lengths, and the length\n"
    "and type of the response payload.";

MemberList command_members()
{
    return {
        {"__init__", command_init,
         "Describe one instrument command; the values are stored unchecked.\n\n"
         ":param command_high_byte: First byte of the command code.\n"
         ":param command_low_byte: Second byte of the command code.\n"
         ":param command_length: Length of the request frame, checksum included.\n"
         ":param arguments_length: Number of argument bytes (informative only).\n"
         ":param payload_length: Number of payload bytes in the response.\n"
         ":param receive_length: Length of the response frame, checksum included.\n"
         ":param payload_type: How the payload is converted: ascii, int, float, raw,\n"
         "    hex_string, or NA for a response without payload.",
         MemberKind::Method, -1,
         "(self, command_high_byte, command_low_byte, command_length, arguments_length, "
         "payload_length, receive_length, payload_type='NA')"},
        {"toByteArray", command_to_byte_array,
         "Return the first four request frame bytes: 0, command length, high byte, low byte.\n\n"
         ":return: A new 4-byte bytearray.\n"
         ":raises ValueError: If a value lies outside 0 to 255.\n"
         ":raises TypeError: If a value is not an integer.",
         MemberKind::Method, -1, "(self)"},
    };
}

}  // namespace vexlo
