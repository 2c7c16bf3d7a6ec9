// What VexloDevice's methods in other subsystems (its TEDS methods) share
// with those of device/.
#pragma once

#include <Python.h>

namespace vexlo
{

// self.adc_converter = self.communication_interface.load_adc_converter(profile):
// the converter is replaced only once the new one has loaded. False with an
// exception set.
bool load_converter(PyObject* self, PyObject* profile);

}  // namespace vexlo
