// Argument binding for Function implementations, with the interpreter's own
// messages for missing, surplus and duplicate arguments.
#pragma once

#include <Python.h>
#include <initializer_list>

namespace vexlo
{

struct Function;

// Binds positional and keyword arguments to `names` (in order). The first
// `required` names must be given; the rest are optional and left null when
// absent. Names from `first_keyword_only` on can only be given by keyword
// (-1: none). Results are borrowed references in `out` (size of names).
bool bind_arguments(const Function* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, const char* const* names, int count, int required,
                    PyObject** out, int first_keyword_only = -1);

// The same with the names as a list, for hand-written calls.
inline bool bind_arguments(const Function* function, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, std::initializer_list<const char*> names, int required,
                           PyObject** out, int first_keyword_only = -1)
{
    return bind_arguments(function, args, nargs, kwnames, names.begin(), static_cast<int>(names.size()),
                          required, out, first_keyword_only);
}

// The same for a function that takes no arguments besides `self` (if any).
bool bind_none(const Function* function, Py_ssize_t nargs, PyObject* kwnames, int count);

// A method row of a table: `self` followed by `count` (at most 4) parameter
// names, the first `required` of them required; no parameter at all binds
// as bind_none does. out[0] is self.
bool bind_method(const Function* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 const char* const* params, int count, int required, PyObject** out);

// Converts to a C int with the interpreter's own errors (TypeError for a
// non-integer, OverflowError beyond 32 bits).
bool as_int(PyObject* value, int* out);

}  // namespace vexlo
