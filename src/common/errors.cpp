#include "common/errors.hpp"

#include "common/log.hpp"

namespace vexlo
{

Ref fetch_exception()
{
    return Ref(compat::take_raised_exception());
}

void restore_exception(const Ref& exception)
{
    compat::set_raised_exception(cppy::incref(exception.get()));
}

bool exception_matches(const Ref& exception, PyObject* cls)
{
    return exception && PyErr_GivenExceptionMatches(exception.get(), cls);
}

PyObject* raise(PyObject* cls, PyObject* message)
{
    Ref text(message);
    if (!text)
        return nullptr;
    PyErr_SetObject(cls, text.get());
    return nullptr;
}

PyObject* raise_from(PyObject* cls, PyObject* message, const Ref& cause)
{
    Ref text(message);
    if (!text)
        return nullptr;
    Ref error(PyObject_CallOneArg(cls, text.get()));
    if (!error)
        return nullptr;
    if (cause)
    {
        // Same links as "raise X from e" inside "except ... as e".
        PyException_SetContext(error.get(), cppy::incref(cause.get()));
        PyException_SetCause(error.get(), cppy::incref(cause.get()));
    }
    // Setting it does no implicit chaining, so the links set above stay.
    compat::set_raised_exception(error.release());
    return nullptr;
}

PyObject* raise_text(PyObject* cls, const char* text)
{
    PyErr_SetString(cls, text);
    return nullptr;
}

bool is_exception(const Ref& exception)
{
    return exception_matches(exception, PyExc_Exception);
}

Ref catch_exception()
{
    Ref error(fetch_exception());
    if (is_exception(error))
        return error;
    if (error)
        restore_exception(error);
    return Ref();
}

bool finally_set_attr(PyObject* object, PyObject* name, PyObject* value, Ref pending)
{
    if (!name || PyObject_SetAttr(object, name, value) < 0)
    {
        if (pending)
        {
            Ref error(fetch_exception());
            PyException_SetContext(error.get(), pending.release());
            restore_exception(error);
        }
        return false;
    }
    if (!pending)
        return true;
    restore_exception(pending);
    return false;
}

bool log_caught(PyObject* module, Level level, const char* prefix, const char* suffix)
{
    Ref error(catch_exception());
    return error && log(module, level, Message() << prefix << error.get() << suffix);
}

PyObject* raise_wrapped(PyObject* module, std::initializer_list<PyObject*> unchanged,
                        const char* log_prefix, PyObject* cls, const char* raise_prefix)
{
    Ref error(fetch_exception());
    bool passes = !is_exception(error);
    for (PyObject* kind : unchanged)
        passes = passes || exception_matches(error, kind);
    if (passes)
    {
        restore_exception(error);
        return nullptr;
    }
    if (log_prefix && !log(module, Level::Error, Message() << log_prefix << error.get()))
        return nullptr;
    return raise_from(cls, (Message() << raise_prefix << error.get()).build(), error);
}

}  // namespace vexlo
