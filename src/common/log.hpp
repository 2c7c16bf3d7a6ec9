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

// 0 when a debug record would certainly be dropped: the logger is exactly a
// logging.Logger with the class's own debug method (none of its own, none
// patched on the class) that is not enabled for DEBUG, so that calling its
// debug would do nothing. 1 otherwise (a test double, a patched method, or
// enabled), -1 with an exception set. Hot paths ask first and build no text
// when the record would be dropped.
int debug_wanted(PyObject* module);

// Same for a literal text.
bool log_text(PyObject* module, Level level, const char* text);

// Module attribute by name (new reference), looked up at call time.
PyObject* module_global(PyObject* module, const char* name);

}  // namespace vexlo
