// Raising the module's errors with one message, chained to a cause exactly as
// "raise X(msg) from e" does, and catching the pending exception as an object.
#pragma once

#include <Python.h>
#include "common/ref.hpp"
#include <initializer_list>

#include "common/log.hpp"
#include "common/message.hpp"

namespace vexlo
{

// The pending exception, normalised and with its traceback attached; clears
// the error indicator. Null when nothing is pending.
Ref fetch_exception();

// What "except Exception as e" takes: the pending exception when it is an
// Exception (the error indicator is then clear), or null with anything else
// (KeyboardInterrupt, SystemExit) left pending.
Ref catch_exception();

// Makes `exception` (an exception instance) the pending exception again.
void restore_exception(const Ref& exception);

// True when `exception` is an instance of `cls` (a class or tuple of classes).
bool exception_matches(const Ref& exception, PyObject* cls);

// True for an Exception: what an "except Exception" handler catches, so not
// KeyboardInterrupt or SystemExit.
bool is_exception(const Ref& exception);

// Ends a guarded block whose work failed with the pending exception. An
// exception that is not an Exception, or is an instance of one of `unchanged`,
// propagates as it is; any other one is logged at error level as
// log_prefix + str(e) (no record when log_prefix is null) and replaced by
// cls(raise_prefix + str(e)) raised from it. Always returns nullptr.
PyObject* raise_wrapped(PyObject* module, std::initializer_list<PyObject*> unchanged,
                        const char* log_prefix, PyObject* cls, const char* raise_prefix);

// The end of "except Exception as e: logger.<level>(prefix + str(e) +
// suffix)" after a failed block. True once an Exception was caught and
// logged (the error indicator clear); false with anything else left pending,
// or with the logging's own failure.
bool log_caught(PyObject* module, Level level, const char* prefix, const char* suffix = "");

// The end of "try: <block> finally: setattr(object, name, value)": the
// attribute is set whatever the block did. The block's exception (`pending`,
// null when it succeeded) is pending again afterwards, or becomes the context
// of a failure of the setting itself. True when neither failed.
bool finally_set_attr(PyObject* object, PyObject* name, PyObject* value, Ref pending);

// raise cls(message); message is stolen and may be null (error already set).
// Always returns nullptr, so callers can `return raise(...)`.
PyObject* raise(PyObject* cls, PyObject* message);

inline PyObject* raise(PyObject* cls, Message& message)
{
    return raise(cls, message.build());
}

inline PyObject* raise(PyObject* cls, Message&& message)
{
    return raise(cls, message.build());
}

// raise cls(message) from cause; message is stolen. Returns nullptr.
PyObject* raise_from(PyObject* cls, PyObject* message, const Ref& cause);

// raise cls(text) for a plain literal message.
PyObject* raise_text(PyObject* cls, const char* text);

}  // namespace vexlo
