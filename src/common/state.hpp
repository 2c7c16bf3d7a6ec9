// Per-module state: the error classes, types and classes that the module's
// operations need without going through the module's namespace.
#pragma once

#include <Python.h>

#include "common/function.hpp"

namespace vexlo
{

// One entry per strong reference held by the module state.
#define VEXLO_STATE_OBJECTS(X)                                                 \
    X(VexloDeviceError)                                                        \
    X(VexloConnectionError)                                                    \
    X(VexloCommunicationError)                                                 \
    X(VexloTimeoutError)                                                       \
    X(VexloProtocolError)                                                      \
    X(VexloInvalidParameterError)                                              \
    X(VexloDeviceNotFoundError)                                                \
    X(VexloCalibrationError)                                                   \
    X(VexloTEDSError)                                                          \
    X(VexloTEDSNotSupportedError)                                              \
    X(VexloTEDSNotConnectedError)                                              \
    X(VexloTEDSDataCorruptedError)                                             \
    X(FunctionType)                                                            \
    X(ADCConverterType)                                                        \
    X(TEDSDataType)                                                            \
    X(StreamReadingType)                                                       \
    X(StreamConversionResultType)                                              \
    X(CommandClass)                                                            \
    X(CommandOperationsClass)                                                  \
    X(SerialInterfaceClass)                                                    \
    X(DeviceClass)                                                             \
    X(ScannerClass)                                                            \
    X(UnitOfMeasureEnum)                                                       \
    X(device_token)                                                            \
    X(teds_unit_mapping)                                                       \
    X(empty_arguments)                                                         \
    X(LoggerClass)                                                             \
    X(logger_debug)                                                            \
    X(module_name)

struct ModuleState
{
#define VEXLO_STATE_FIELD(name) PyObject* name;
    VEXLO_STATE_OBJECTS(VEXLO_STATE_FIELD)
#undef VEXLO_STATE_FIELD
};

extern PyModuleDef module_def;

inline ModuleState* state_of(PyObject* module)
{
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

// The state of the module a Function belongs to.
inline ModuleState* state(const Function* fn)
{
    return state_of(fn->module);
}

inline PyTypeObject* type_of(PyObject* type_object)
{
    return reinterpret_cast<PyTypeObject*>(type_object);
}

}  // namespace vexlo
