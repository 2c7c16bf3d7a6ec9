// Making _Command descriptors from C++, as the catalogue does for every read.
#pragma once

#include <Python.h>

namespace vexlo
{

// A new _Command from the constructor's seven arguments, in their order
// (high byte, low byte, command length, arguments length, payload length,
// receive length, payload type). New reference, or null with an exception.
PyObject* new_command(PyObject* module, PyObject* const* arguments);

}  // namespace vexlo
