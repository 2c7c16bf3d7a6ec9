// _Command: one instrument command descriptor.
#include "common/ref.hpp"

#include "common/args.hpp"
#include "common/call.hpp"
#include "common/classes.hpp"
#include "common/function.hpp"
#include "common/state.hpp"
#include "protocol/command.hpp"
#include "protocol/bytes.hpp"
#include "subsystems.hpp"

namespace vexlo
{

namespace
{

// The attribute names in declaration order, interned once: building a name
// string on every store or read would cost more than the store itself.
PyObject* field_name(int index)
{
    static const char* const texts[] = {"command_high_byte", "command_low_byte", "command_length",
                                        "arguments_length",  "payload_length",   "payload_type",
                                        "receive_length"};
    static PyObject* names[sizeof texts / sizeof texts[0]] = {};
    return intern_once(names[index], texts[index]);
}

// The constructor's seven arguments in their order, stored in declaration
// order: payload_type before receive_length.
bool store_fields(PyObject* self, PyObject* const* arguments)
{
    PyObject* values[] = {arguments[0], arguments[1], arguments[2], arguments[3],
                          arguments[4], arguments[6], arguments[5]};
    for (int i = 0; i < 7; ++i)
    {
        PyObject* name = field_name(i);
        if (!name || PyObject_SetAttr(self, name, values[i]) < 0)
            return false;
    }
    return true;
}

PyObject* command_init(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[8];
    if (!bind_arguments(fn, args, nargs, kwnames,
                        {"self", "command_high_byte", "command_low_byte", "command_length",
                         "arguments_length", "payload_length", "receive_length", "payload_type"},
                        7, a))
        return nullptr;
    if (!a[7] && !(a[7] = VEXLO_NAME("NA")))
        return nullptr;
    if (!store_fields(a[0], a + 1))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* command_to_byte_array(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    uint8_t frame[4] = {0, 0, 0, 0};
    const int fields[] = {2, 0, 1};  // command_length, command_high_byte, command_low_byte
    for (int i = 0; i < 3; ++i)
    {
        Ref value(get_attr(args[0], field_name(fields[i])));
        if (!value || !byte_like_bytearray(value.get(), &frame[i + 1]))
            return nullptr;
    }
    return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(frame), 4);
}

}  // namespace

PyObject* new_command(PyObject* module, PyObject* const* arguments)
{
    PyObject* cls = state_of(module)->CommandClass;
    PyTypeObject* type = type_of(cls);
    // While _Command is made as it was defined (its own __init__, object's
    // __new__, the plain metaclass), the instance is made and filled here;
    // the class call would only add the interpreter's generic construction
    // steps. A patched __init__ or __new__ gets the class call.
    PyObject* init = compat::type_lookup(type, VEXLO_NAME("__init__"));
    if (Py_IS_TYPE(cls, &PyType_Type) && type->tp_new == PyBaseObject_Type.tp_new && init &&
        Py_IS_TYPE(init, type_of(state_of(module)->FunctionType)) &&
        reinterpret_cast<Function*>(init)->impl == command_init)
    {
        // object.__new__ itself, which also lays out the instance's attribute
        // storage; the empty tuple is the interpreter's shared one.
        Ref no_arguments(PyTuple_New(0));
        if (!no_arguments)
            return nullptr;
        Ref self(type->tp_new(type, no_arguments.get(), nullptr));
        if (!self || !store_fields(self.get(), arguments))
            return nullptr;
        return self.release();
    }
    return PyObject_Vectorcall(cls, arguments, 7, nullptr);
}

const char* const command_doc =
    "Descriptor of one instrument command.\n\n"
    "Holds the two command bytes, the request and response lengths, and the length\n"
    "and type of the response payload.";

MemberList command_members()
{
    return {
        {"__init__", command_init,
         "(self, command_high_byte, command_low_byte, command_length, arguments_length, "
         "payload_length, receive_length, payload_type='NA')",
         "Describe one instrument command; the values are stored unchecked.\n\n"
         ":param command_high_byte: First byte of the command code.\n"
         ":param command_low_byte: Second byte of the command code.\n"
         ":param command_length: Length of the request frame, checksum included.\n"
         ":param arguments_length: Number of argument bytes (informative only).\n"
         ":param payload_length: Number of payload bytes in the response.\n"
         ":param receive_length: Length of the response frame, checksum included.\n"
         ":param payload_type: How the payload is converted: ascii, int, float, raw,\n"
         "    hex_string, or NA for a response without payload."},
        {"toByteArray", command_to_byte_array, "(self)",
         "Return the first four request frame bytes: 0, command length, high byte, low byte.\n\n"
         ":return: A new 4-byte bytearray.\n"
         ":raises ValueError: If a value lies outside 0 to 255.\n"
         ":raises TypeError: If a value is not an integer."},
    };
}

}  // namespace vexlo
