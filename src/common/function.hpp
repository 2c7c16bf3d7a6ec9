// A callable that behaves like a Python function defined in the module: it
// binds as a method when stored on a class (types.MethodType), has an instance
// __dict__ (so functools.wraps and attribute assignment work) and keeps a
// strong reference to the module, which its implementation receives.
#pragma once

#include <Python.h>

namespace vexlo
{

struct Function;

// `self` is the function object; args/nargs/kwnames follow vectorcall.
using FunctionImpl = PyObject* (*)(Function* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);

struct Function
{
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FunctionImpl impl;
    PyObject* module;  // strong
    PyObject* data;    // strong or null: per-function data (closure, table index)
    PyObject* dict;    // strong or null
    const char* name;  // static text used in argument errors
};

// Creates the heap type; stores it in the module state. Returns false on error.
bool add_function_type(PyObject* module);

// New function object. `qualname` is used for __qualname__ and in argument
// errors; `doc` may be null. `data` is borrowed (may be null). `signature`
// (may be null) becomes __text_signature__, which inspect.signature reads.
PyObject* make_function(PyObject* module, FunctionImpl impl, const char* name,
                        const char* qualname, const char* doc, PyObject* data = nullptr,
                        const char* signature = nullptr);

}  // namespace vexlo
