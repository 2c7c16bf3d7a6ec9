// Helpers that the operations of _SerialCommunicationInterface share.
#pragma once

#include <Python.h>
#include "common/ref.hpp"

namespace vexlo
{

// `not connection or not connection.is_open`, inverted: 1 when the link has
// an open port, 0 when not, -1 with an exception set.
int connection_is_open(PyObject* connection);

// self.send_convert_return_sequence (query) or self.send_sequence (setting)
// with the catalogue entry `command_name` of self.commands and `arguments`,
// everything looked up at the moment of the call.
PyObject* send_command(PyObject* self, PyObject* command_name, PyObject* arguments, bool query);

// A query without argument bytes (a new empty bytearray each time).
PyObject* send_query(PyObject* self, PyObject* command_name);

}  // namespace vexlo
