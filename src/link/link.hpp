// Helpers that the operations of _SerialCommunicationInterface share.
#pragma once

#include <Python.h>
#include <cppy/cppy.h>

namespace vexlo
{

// True for an Exception instance: guarded blocks catch these and let
// KeyboardInterrupt, SystemExit and the like pass unchanged.
bool is_exception(const cppy::ptr& error);

// `not connection or not connection.is_open`, inverted: 1 when the link has
// an open port, 0 when not, -1 with an exception set.
int connection_is_open(PyObject* connection);

}  // namespace vexlo
