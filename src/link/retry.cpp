// retry_on_timeout: a decorator factory that repeats an operation when, and
// only when, it fails with VexloTimeoutError.
#include <climits>

#include "common/ref.hpp"

#include "common/args.hpp"
#include "common/call.hpp"
#include "common/errors.hpp"
#include "common/function.hpp"
#include "common/log.hpp"
#include "common/state.hpp"
#include "subsystems.hpp"

namespace vexlo
{

namespace
{

const char* const kRetryDoc =
    "Retry an operation that fails with VexloTimeoutError.\n\n"
    ":param max_attempts: Total number of attempts, the first one included.\n"
    ":param delay: Pause between two attempts, in seconds.\n"
    ":return: A decorator that wraps a callable with the retries.\n"
    ":raises ValueError: If max_attempts is below 1.";

// data: (func, max_attempts, delay)
PyObject* wrapper_call(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* func = PyTuple_GET_ITEM(fn->data, 0);
    long long max_attempts = PyLong_AsLongLong(PyTuple_GET_ITEM(fn->data, 1));
    PyObject* delay = PyTuple_GET_ITEM(fn->data, 2);
    PyObject* timeout_error = state_of(fn->module)->VexloTimeoutError;
    Ref last;
    for (long long attempt = 1; attempt <= max_attempts; ++attempt)
    {
        PyObject* result = PyObject_Vectorcall(func, args, static_cast<size_t>(nargs), kwnames);
        if (result)
            return result;
        Ref error(fetch_exception());
        if (!exception_matches(error, timeout_error))
        {
            restore_exception(error);
            return nullptr;
        }
        last = error;
        if (attempt < max_attempts)
        {
            if (!log_text(fn->module, Level::Warning, "Attempting Retry"))
                return nullptr;
            Ref time_module(module_global(fn->module, "time"));
            if (!time_module)
                return nullptr;
            Ref slept(call_method(time_module.get(), VEXLO_NAME("sleep"), delay));
            if (!slept)
                return nullptr;
        }
        else if (!log_text(fn->module, Level::Error, "Retries failed after "))
            return nullptr;
    }
    restore_exception(last);
    return nullptr;
}

// data: (max_attempts, delay)
PyObject* decorator_call(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[1];
    if (!bind_arguments(fn, args, nargs, kwnames, {"func"}, 1, a))
        return nullptr;
    Ref data(PyTuple_Pack(3, a[0], PyTuple_GET_ITEM(fn->data, 0), PyTuple_GET_ITEM(fn->data, 1)));
    if (!data)
        return nullptr;
    Ref wrapper(make_function(fn->module, wrapper_call, "wrapper",
                                    "retry_on_timeout.<locals>.decorator.<locals>.wrapper", nullptr,
                                    data.get()));
    if (!wrapper)
        return nullptr;
    Ref functools(module_global(fn->module, "functools"));
    if (!functools)
        return nullptr;
    Ref wraps(call_method(functools.get(), VEXLO_NAME("wraps"), a[0]));
    if (!wraps)
        return nullptr;
    return PyObject_CallOneArg(wraps.get(), wrapper.get());
}

PyObject* retry_on_timeout(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"max_attempts", "delay"}, 0, a))
        return nullptr;
    Ref max_attempts(a[0] ? PyNumber_Index(a[0]) : PyLong_FromLong(3));
    Ref delay(a[1] ? cppy::incref(a[1]) : PyFloat_FromDouble(0.1));
    if (!max_attempts || !delay)
        return nullptr;
    long long count = 0;
    Range where = in_range(max_attempts.get(), 1, LLONG_MAX, &count);
    if (where == Range::Below)
        PyErr_SetString(PyExc_ValueError, "max_attempts must be at least 1");
    if (where == Range::Above)
        PyErr_SetString(PyExc_OverflowError, "max_attempts is too large");
    if (where != Range::Inside)
        return nullptr;
    Ref data(PyTuple_Pack(2, max_attempts.get(), delay.get()));
    if (!data)
        return nullptr;
    return make_function(fn->module, decorator_call, "decorator",
                         "retry_on_timeout.<locals>.decorator", nullptr, data.get());
}

}  // namespace

PyObject* make_retry_on_timeout(PyObject* module)
{
    return make_function(module, retry_on_timeout, "retry_on_timeout", "retry_on_timeout", kRetryDoc,
                         nullptr, "(max_attempts=3, delay=0.1)");
}

}  // namespace vexlo
