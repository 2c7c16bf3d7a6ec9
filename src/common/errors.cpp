#include "common/errors.hpp"

#include "common/log.hpp"

namespace vexlo
{

cppy::ptr fetch_exception()
{
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type)
        return cppy::ptr();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value)
        PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return cppy::ptr(value);
}

void restore_exception(const cppy::ptr& exception)
{
    PyObject* value = exception.get();
    PyObject* traceback = PyException_GetTraceback(value);  // new ref or null
    PyErr_Restore(cppy::incref(reinterpret_cast<PyObject*>(Py_TYPE(value))),
                  cppy::incref(value), traceback);
}

bool exception_matches(const cppy::ptr& exception, PyObject* cls)
{
    return exception && PyErr_GivenExceptionMatches(exception.get(), cls);
}

PyObject* raise(PyObject* cls, PyObject* message)
{
    cppy::ptr text(message);
    if (!text)
        return nullptr;
    PyErr_SetObject(cls, text.get());
    return nullptr;
}

PyObject* raise_from(PyObject* cls, PyObject* message, const cppy::ptr& cause)
{
    cppy::ptr text(message);
    if (!text)
        return nullptr;
    cppy::ptr error(PyObject_CallOneArg(cls, text.get()));
    if (!error)
        return nullptr;
    if (cause)
    {
        // Same links as "raise X from e" inside "except ... as e".
        PyException_SetContext(error.get(), cppy::incref(cause.get()));
        PyException_SetCause(error.get(), cppy::incref(cause.get()));
    }
    // PyErr_Restore does no implicit chaining, so the links set above stay.
    PyObject* type = cppy::incref(reinterpret_cast<PyObject*>(Py_TYPE(error.get())));
    PyErr_Restore(type, error.release(), nullptr);
    return nullptr;
}

PyObject* raise_text(PyObject* cls, const char* text)
{
    PyErr_SetString(cls, text);
    return nullptr;
}

bool is_exception(const cppy::ptr& exception)
{
    return exception_matches(exception, PyExc_Exception);
}

cppy::ptr catch_exception()
{
    cppy::ptr error(fetch_exception());
    if (is_exception(error))
        return error;
    if (error)
        restore_exception(error);
    return cppy::ptr();
}

bool finally_set_attr(PyObject* object, PyObject* name, PyObject* value, cppy::ptr pending)
{
    if (!name || PyObject_SetAttr(object, name, value) < 0)
    {
        if (pending)
        {
            cppy::ptr error(fetch_exception());
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

PyObject* raise_wrapped(PyObject* module, std::initializer_list<PyObject*> unchanged,
                        const char* log_prefix, PyObject* cls, const char* raise_prefix)
{
    cppy::ptr error(fetch_exception());
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
