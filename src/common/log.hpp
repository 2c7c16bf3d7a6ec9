// Logging goes through the module attribute `logger`, looked up at each call
// so that a patched logger takes effect.
#pragma once

#include <Python.h>

#include "common/message.hpp"

namespace vexlo
{

enum class Level
{
    Debug,
    Info,
    Warning,
    Error
};

// Calls logger.<level>(message). `message` is stolen (null: error already
// set). Returns false with an exception set on failure.
bool log(PyObject* module, Level level, PyObject* message);

inline bool log(PyObject* module, Level level, Message& message)
{
    return log(module, level, message.build());
}

inline bool log(PyObject* module, Level level, Message&& message)
{
    return log(module, level, message.build());
}

// Same for a literal text.
bool log_text(PyObject* module, Level level, const char* text);

// Module attribute by name (new reference), looked up at call time.
PyObject* module_global(PyObject* module, const char* name);

}  // namespace vexlo
