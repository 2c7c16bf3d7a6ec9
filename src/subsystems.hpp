// What each subsystem contributes to the module. The module entry calls these
// in the order in which the module-level names are created.
#pragma once

#include <Python.h>

#include "common/classes.hpp"

namespace vexlo
{

// Typed value classes, registered on the module first. Each sets its type
// in the module state and adds it to the module. Return false on error.
bool add_adc_converter_type(PyObject* module);         // calibration/
bool add_teds_data_type(PyObject* module);             // teds/
bool add_stream_types(PyObject* module);               // calibration/

// retry_on_timeout: a new function object.
PyObject* make_retry_on_timeout(PyObject* module);     // link/

// Members of the plain classes, gathered from the subsystems that define them.
MemberList command_members();                           // protocol/
MemberList command_operations_members();                // protocol/
MemberList interface_link_members();                    // link/
MemberList interface_query_members();                   // link/
MemberList interface_calibration_members();             // calibration/
MemberList interface_teds_members();                    // teds/
MemberList stream_converter_members();                  // calibration/
MemberList device_members();                            // device/
MemberList device_teds_members();                       // teds/
MemberList scanner_members();                           // device/

// Annotations of VexloDevice methods, set once the class exists.
bool annotate_device_class(PyObject* device_class);   // device/

// Class docstrings.
extern const char* const device_doc;                   // device/
extern const char* const scanner_doc;                  // device/
extern const char* const stream_converter_doc;         // calibration/
extern const char* const command_doc;                  // protocol/
extern const char* const command_operations_doc;       // protocol/
extern const char* const interface_doc;                // link/

}  // namespace vexlo
