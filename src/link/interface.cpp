// _SerialCommunicationInterface: the link to one instrument on one port.
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
#include "protocol/bytes.hpp"
#include "subsystems.hpp"

namespace vexlo
{

namespace
{

// serial.<name>, with `serial` looked up in the module namespace at each
// call so that patches of the package or of the module global take effect.
PyObject* serial_attribute(PyObject* module, PyObject* name)
{
    Ref serial(module_global(module, "serial"));
    if (!serial)
        return nullptr;
    return get_attr(serial.get(), name);
}

// A keyword-name tuple created once for the process, like the interned names.
PyObject* keywords(PyObject*& slot, std::initializer_list<const char*> names)
{
    if (slot)
        return slot;
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple)
        return nullptr;
    Py_ssize_t i = 0;
    for (const char* name : names)
    {
        PyObject* text = PyUnicode_InternFromString(name);
        if (!text)
            return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i++, text);
    }
    slot = tuple.release();
    return slot;
}

// ---------------------------------------------------------------- constructor

PyObject* interface_init(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[4];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "comport", "baud_rate", "timeout"}, 2, a))
        return nullptr;
    PyObject* self = a[0];
    Ref baud_rate(a[2] ? cppy::incref(a[2]) : PyLong_FromLong(9600));
    Ref timeout(a[3] ? cppy::incref(a[3]) : PyLong_FromLong(models::kReadTimeoutSeconds));
    if (!baud_rate || !timeout)
        return nullptr;
    if (PyObject_SetAttr(self, VEXLO_NAME("comport"), a[1]) < 0 ||
        PyObject_SetAttr(self, VEXLO_NAME("baud_rate"), baud_rate.get()) < 0 ||
        PyObject_SetAttr(self, VEXLO_NAME("timeout"), timeout.get()) < 0 ||
        PyObject_SetAttr(self, VEXLO_NAME("serial_connection"), Py_None) < 0)
        return nullptr;
    Ref commands(PyObject_CallNoArgs(state(fn)->CommandOperationsClass));
    if (!commands || PyObject_SetAttr(self, VEXLO_NAME("commands"), commands.get()) < 0 ||
        PyObject_SetAttr(self, VEXLO_NAME("_cached_model_number"), Py_None) < 0 ||
        PyObject_SetAttr(self, VEXLO_NAME("_cached_item_number"), Py_None) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// -------------------------------------------------------------------- connect

// Asks for the model and item number; a failure leaves both caches None and
// is only logged, since a silent instrument is still a connected port.
bool cache_identity(PyObject* module, PyObject* self)
{
    Ref model(call_method(self, VEXLO_NAME("get_model_number")));
    if (model && PyObject_SetAttr(self, VEXLO_NAME("_cached_model_number"), model.get()) == 0)
    {
        Ref item(call_method(self, VEXLO_NAME("get_item_number")));
        if (item && PyObject_SetAttr(self, VEXLO_NAME("_cached_item_number"), item.get()) == 0)
            return true;
    }
    if (!log_caught(module, Level::Warning, "Failed to cache device info during connect: "))
        return false;
    return PyObject_SetAttr(self, VEXLO_NAME("_cached_model_number"), Py_None) == 0 &&
           PyObject_SetAttr(self, VEXLO_NAME("_cached_item_number"), Py_None) == 0;
}

// Opens the port and caches the identity. `opened` receives the new port as
// soon as it exists, so that a later failure can close it again.
bool open_and_identify(PyObject* module, PyObject* self, PyObject* comport, PyObject* baud_rate,
                       Ref& opened)
{
    static PyObject* serial_keywords = nullptr;
    Ref serial_class(serial_attribute(module, VEXLO_NAME("Serial")));
    Ref timeout(get_attr(self, VEXLO_NAME("timeout")));
    PyObject* names = keywords(serial_keywords, {"port", "baudrate", "timeout"});
    if (!serial_class || !timeout || !names)
        return false;
    PyObject* values[] = {comport, baud_rate, timeout.get()};
    opened = PyObject_Vectorcall(serial_class.get(), values, 0, names);
    if (!opened || PyObject_SetAttr(self, VEXLO_NAME("serial_connection"), opened.get()) < 0)
        return false;
    if (!log(module, Level::Info,
             Message() << "Successfully connected to " << comport << " at " << baud_rate << " baud"))
        return false;
    return cache_identity(module, self);
}

// A connect that fails after the port was opened closes that port and puts
// the previous connection back, so a failed connect leaves the link as it was.
void undo_open(PyObject* self, const Ref& opened, const Ref& previous)
{
    Ref pending(fetch_exception());
    Ref closed(call_method(opened.get(), VEXLO_NAME("close")));
    PyErr_Clear();
    if (previous ? PyObject_SetAttr(self, VEXLO_NAME("serial_connection"), previous.get())
                 : PyObject_DelAttr(self, VEXLO_NAME("serial_connection")))
        PyErr_Clear();
    restore_exception(pending);
}

PyObject* connect(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    PyObject* self = args[0];
    PyObject* module = fn->module;
    Ref comport(get_attr(self, VEXLO_NAME("comport")));
    Ref baud_rate(get_attr(self, VEXLO_NAME("baud_rate")));
    if (!comport || !baud_rate)
        return nullptr;
    Ref previous(get_attr(self, VEXLO_NAME("serial_connection")));
    if (!previous)
    {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return nullptr;
        PyErr_Clear();
    }
    Ref opened;
    if (open_and_identify(module, self, comport.get(), baud_rate.get(), opened))
        Py_RETURN_NONE;
    if (opened)
        undo_open(self, opened, previous);
    Ref error(catch_exception());
    if (!error)
        return nullptr;
    ModuleState* st = state(fn);
    Ref serial_exception(serial_attribute(module, VEXLO_NAME("SerialException")));
    if (!serial_exception)
        return nullptr;
    if (exception_matches(error, serial_exception.get()))
    {
        if (!log(module, Level::Error,
                 Message() << "Failed to connect to " << comport << ": " << error.get()))
            return nullptr;
        return raise_from(st->VexloConnectionError,
                          (Message() << "Could not open serial port " << comport << " at "
                                     << baud_rate << " baud: " << error.get())
                              .build(),
                          error);
    }
    if (!log(module, Level::Error,
             Message() << "Unexpected error connecting to " << comport << ": " << error.get()))
        return nullptr;
    return raise_from(st->VexloConnectionError,
                      (Message() << "Unexpected connection error: " << error.get()).build(), error);
}

// ----------------------------------------------------------------- disconnect

bool close_port(PyObject* module, PyObject* connection)
{
    Ref name(get_attr(connection, VEXLO_NAME("port")));
    if (!name)
        return false;
    Ref closed(call_method(connection, VEXLO_NAME("close")));
    if (!closed)
        return false;
    return log(module, Level::Info, Message() << "Disconnected from " << name);
}

PyObject* disconnect(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    PyObject* self = args[0];
    Ref connection(get_attr(self, VEXLO_NAME("serial_connection")));
    if (!connection)
        return nullptr;
    int open = connection_is_open(connection.get());
    if (open <= 0)
        return open < 0 ? nullptr : cppy::incref(Py_None);
    if (!close_port(fn->module, connection.get()))
    {
        Ref error(fetch_exception());
        if (is_exception(error))
            log(fn->module, Level::Warning, Message() << "Error during disconnect: " << error.get());
        else
            restore_exception(error);
    }
    // The link lets go of the port whatever happened while closing it.
    if (!finally_set_attr(self, VEXLO_NAME("serial_connection"), Py_None, fetch_exception()))
        return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------- exchange

bool log_and_raise(PyObject* module, Level level, Message& record, PyObject* cls, Message& text)
{
    if (log(module, level, record))
        raise(cls, text);
    return false;
}

// len(value) as an int, or null.
PyObject* length_of(PyObject* value)
{
    Py_ssize_t size = PyObject_Size(value);
    return size < 0 ? nullptr : PyLong_FromSsize_t(size);
}

// Empties the input buffer and writes the request; a short write is logged.
bool write_frame(PyObject* module, PyObject* connection, PyObject* command_bytes)
{
    Ref reset(call_method(connection, VEXLO_NAME("reset_input_buffer")));
    if (!reset)
        return false;
    Ref written(call_method(connection, VEXLO_NAME("write"), command_bytes));
    if (!written)
        return false;
    Ref total(length_of(command_bytes));
    if (!total)
        return false;
    int short_write = PyObject_RichCompareBool(written.get(), total.get(), Py_NE);
    if (short_write <= 0)
        return short_write == 0;
    return log(module, Level::Warning,
               Message() << "Incomplete write: sent " << written << "/" << total << " bytes");
}

// One exchange on an open port: reset, write, one blocking read. Returns the
// response or null with the failure pending.
PyObject* exchange(PyObject* module, PyObject* self, PyObject* connection, PyObject* command_bytes,
                   PyObject* command_length)
{
    static PyObject* read_keywords = nullptr;
    ModuleState* st = state_of(module);
    if (!write_frame(module, connection, command_bytes))
        return nullptr;
    PyObject* names = keywords(read_keywords, {"size"});
    if (!names)
        return nullptr;
    PyObject* read_args[] = {connection, command_length};
    Ref response(PyObject_VectorcallMethod(VEXLO_NAME("read"), read_args, 1, names));
    if (!response)
        return nullptr;
    int received_any = PyObject_IsTrue(response.get());
    if (received_any < 0)
        return nullptr;
    if (!received_any)
    {
        Ref timeout(get_attr(self, VEXLO_NAME("timeout")));
        if (!timeout)
            return nullptr;
        log_and_raise(module, Level::Error,
                      Message() << "Timeout waiting for response (expected " << command_length
                                << " bytes)",
                      st->VexloTimeoutError,
                      Message() << "No response received within " << timeout << "s timeout");
        return nullptr;
    }
    Ref got(length_of(response.get()));
    if (!got)
        return nullptr;
    int too_short = PyObject_RichCompareBool(got.get(), command_length, Py_LT);
    if (too_short < 0)
        return nullptr;
    if (too_short)
    {
        log_and_raise(module, Level::Warning,
                      Message() << "Incomplete response: received " << got << "/" << command_length
                                << " bytes",
                      st->VexloCommunicationError,
                      Message() << "Incomplete response: expected " << command_length
                                << " bytes, got " << got);
        return nullptr;
    }
    return response.release();
}

// Turns the pending failure of a port operation into the module's errors:
// the port's timeout, the module's own communication errors unchanged, the
// port's other errors, anything else. Always returns null.
PyObject* map_port_failure(PyObject* module, PyObject* self)
{
    ModuleState* st = state_of(module);
    Ref error(catch_exception());
    if (!error)
        return nullptr;
    Ref timeout_exception(serial_attribute(module, VEXLO_NAME("SerialTimeoutException")));
    if (!timeout_exception)
        return nullptr;
    if (exception_matches(error, timeout_exception.get()))
    {
        Ref timeout(get_attr(self, VEXLO_NAME("timeout")));
        if (!timeout || !log(module, Level::Error, Message() << "Serial timeout: " << error.get()))
            return nullptr;
        return raise_from(st->VexloTimeoutError,
                          (Message() << "Command timed out after " << timeout << "s").build(), error);
    }
    if (exception_matches(error, st->VexloCommunicationError))
    {
        restore_exception(error);
        return nullptr;
    }
    Ref serial_exception(serial_attribute(module, VEXLO_NAME("SerialException")));
    if (!serial_exception)
        return nullptr;
    if (exception_matches(error, serial_exception.get()))
    {
        if (!log(module, Level::Error, Message() << "Serial communication error: " << error.get()))
            return nullptr;
        return raise_from(
            st->VexloCommunicationError,
            (Message() << "Serial error during command transmission: " << error.get()).build(), error);
    }
    if (!log(module, Level::Error, Message() << "Unexpected error during communication: " << error.get()))
        return nullptr;
    return raise_from(st->VexloCommunicationError,
                      (Message() << "Unexpected communication error: " << error.get()).build(), error);
}

// self.serial_connection when its port is open; otherwise null with
// VexloCommunicationError(message) raised, after `log_first` (if given) is
// logged at error level.
PyObject* open_connection(Function* fn, PyObject* self, const char* log_first, const char* message)
{
    Ref connection(get_attr(self, VEXLO_NAME("serial_connection")));
    if (!connection)
        return nullptr;
    int open = connection_is_open(connection.get());
    if (open > 0)
        return connection.release();
    if (open < 0 || (log_first && !log_text(fn->module, Level::Error, log_first)))
        return nullptr;
    return raise_text(state(fn)->VexloCommunicationError, message);
}

PyObject* send_command_with_response(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames)
{
    PyObject* a[3];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "command_bytes", "command_length"}, 3, a))
        return nullptr;
    Ref connection(open_connection(fn, a[0], "Attempted to send command on closed connection",
                                         "Serial connection not open"));
    if (!connection)
        return nullptr;
    PyObject* response = exchange(fn->module, a[0], connection.get(), a[1], a[2]);
    if (response)
        return response;
    return map_port_failure(fn->module, a[0]);
}

// ------------------------------------------------------------------ sequences

// Builds the frame and exchanges it; `commands` and `command` receive the
// catalogue and the descriptor for the caller. The response, or null.
PyObject* send_frame(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Ref& commands, PyObject** command)
{
    PyObject* a[3];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "command", "arguments"}, 2, a))
        return nullptr;
    PyObject* arguments = a[2] ? a[2] : state(fn)->empty_arguments;
    *command = a[1];
    commands = get_attr(a[0], VEXLO_NAME("commands"));
    if (!commands)
        return nullptr;
    Ref frame(call_method(commands.get(), VEXLO_NAME("get_command_byte_array"), a[1], arguments));
    if (!frame)
        return nullptr;
    Ref receive_length(get_attr(a[1], VEXLO_NAME("receive_length")));
    if (!receive_length)
        return nullptr;
    return call_method(a[0], VEXLO_NAME("send_command_with_response"), frame.get(),
                       receive_length.get());
}

PyObject* send_sequence(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    Ref commands;
    PyObject* command = nullptr;
    Ref response(send_frame(fn, args, nargs, kwnames, commands, &command));
    if (!response)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* send_convert_return_sequence(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames)
{
    Ref commands;
    PyObject* command = nullptr;
    Ref response(send_frame(fn, args, nargs, kwnames, commands, &command));
    if (!response)
        return nullptr;
    Ref valid(call_method(commands.get(), VEXLO_NAME("validate_response_checksum"),
                                response.get()));
    if (!valid)
        return nullptr;
    Ref payload_length(get_attr(command, VEXLO_NAME("payload_length")));
    Ref payload_type(get_attr(command, VEXLO_NAME("payload_type")));
    if (!payload_length || !payload_type)
        return nullptr;
    return call_method(commands.get(), VEXLO_NAME("convert_payload"), payload_length.get(),
                       payload_type.get(), response.get());
}

// ---------------------------------------------------------------- buffer read

PyObject* read_waiting(PyObject* module, PyObject* connection)
{
    Ref waiting(get_attr(connection, VEXLO_NAME("in_waiting")));
    if (!waiting)
        return nullptr;
    int wanted = debug_wanted(module);
    if (wanted < 0 || (wanted && !log(module, Level::Debug, Message() << "Reading " << waiting << " bytes from buffer")))
        return nullptr;
    return call_method(connection, VEXLO_NAME("read"), waiting.get());
}

PyObject* read_buffer_data(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    Ref connection(
        open_connection(fn, args[0], nullptr, "Cannot read buffer: serial connection not open"));
    if (!connection)
        return nullptr;
    PyObject* data = read_waiting(fn->module, connection.get());
    if (data)
        return data;
    // A port that fails while streaming (unplugged, say) reports as the
    // exchange does, with the module's own errors.
    return map_port_failure(fn->module, args[0]);
}

// ------------------------------------------------------------ identity queries

PyObject* get_model_number(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    Ref model(send_query(args[0], VEXLO_NAME("Get_Model_Number_Command")));
    if (!model || !log(fn->module, Level::Debug, Message() << "Device model: " << model))
        return nullptr;
    return model.release();
}

PyObject* get_item_number(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_none(fn, nargs, kwnames, 1))
        return nullptr;
    return send_query(args[0], VEXLO_NAME("Get_Item_Number_Command"));
}

}  // namespace

PyObject* send_command(PyObject* self, PyObject* command_name, PyObject* arguments, bool query)
{
    Ref commands(get_attr(self, VEXLO_NAME("commands")));
    if (!commands)
        return nullptr;
    Ref command(get_attr(commands.get(), command_name));
    if (!command)
        return nullptr;
    PyObject* sequence = query ? VEXLO_NAME("send_convert_return_sequence") : VEXLO_NAME("send_sequence");
    return call_method(self, sequence, command.get(), arguments);
}

PyObject* send_query(PyObject* self, PyObject* command_name)
{
    Ref arguments(new_bytearray());
    if (!arguments)
        return nullptr;
    return send_command(self, command_name, arguments.get(), true);
}

int connection_is_open(PyObject* connection)
{
    int present = PyObject_IsTrue(connection);
    if (present <= 0)
        return present;
    Ref is_open(get_attr(connection, VEXLO_NAME("is_open")));
    if (!is_open)
        return -1;
    return PyObject_IsTrue(is_open.get());
}

const char* const interface_doc =
    "The serial link to one instrument on one port.\n\n"
    "Carries the command exchange, the instrument queries and settings, calibration\n"
    "loading and TEDS access.";

MemberList interface_link_members()
{
    return {
        {"__init__", interface_init, "(self, comport, baud_rate=9600, timeout=1)",
         "Create a link to the instrument on one serial port; the port is not opened.\n\n"
         ":param comport: The port name.\n"
         ":param baud_rate: The baud rate.\n"
         ":param timeout: The read timeout in seconds."},
        {"connect", connect, "(self)",
         "Open the serial port and cache the instrument's model and item number.\n\n"
         ":return: None.\n"
         ":raises VexloConnectionError: If the port cannot be opened."},
        {"disconnect", disconnect, "(self)",
         "Close the serial port; failures are logged, not raised.\n\n"
         ":return: None."},
        {"send_command_with_response", send_command_with_response, "(self, command_bytes, command_length)",
         "Write one request frame and read its fixed-length response.\n\n"
         ":param command_bytes: The complete request frame.\n"
         ":param command_length: The number of response bytes expected.\n"
         ":return: The response bytes.\n"
         ":raises VexloTimeoutError: If nothing arrives within the read timeout.\n"
         ":raises VexloCommunicationError: If the link is closed, the response is short or the "
         "port fails."},
        {"send_sequence", send_sequence,
         // The default, one shared empty bytearray, has no text form that
         // inspect can read; the parameter is listed without it.
         "(self, command, arguments)",
         "Send a setting command and discard its response.\n\n"
         ":param command: The command descriptor.\n"
         ":param arguments: The argument bytes.\n"
         ":return: None.\n"
         ":raises VexloCommunicationError: If the exchange fails.\n"
         ":raises VexloProtocolError: If the frame cannot be built."},
        {"send_convert_return_sequence", send_convert_return_sequence, "(self, command, arguments)",
         "Send a query command, validate the response and convert its payload.\n\n"
         ":param command: The command descriptor.\n"
         ":param arguments: The argument bytes.\n"
         ":return: The converted payload.\n"
         ":raises VexloCommunicationError: If the exchange fails.\n"
         ":raises VexloProtocolError: If the frame, checksum or payload is invalid."},
        {"read_buffer_data", read_buffer_data, "(self)",
         "Read whatever the port has buffered, without waiting.\n\n"
         ":return: The waiting bytes, possibly none.\n"
         ":raises VexloCommunicationError: If the link is closed or the port fails."},
        {"get_model_number", get_model_number, "(self)",
         "Ask the instrument for its model number.\n\n"
         ":return: The model number, for instance PLX310.\n"
         ":raises VexloCommunicationError: If the exchange fails.\n"
         ":raises VexloProtocolError: If the response is invalid."},
        {"get_item_number", get_item_number, "(self)",
         "Ask the instrument for its item number.\n\n"
         ":return: The item number.\n"
         ":raises VexloCommunicationError: If the exchange fails.\n"
         ":raises VexloProtocolError: If the response is invalid."},
    };
}

}  // namespace vexlo
