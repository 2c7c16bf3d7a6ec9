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

// The same for the methods of the typed value classes (METH_FASTCALL |
// METH_KEYWORDS, one required parameter today), with the messages of the
// interpreter's methods written in C.
bool bind_native(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 const char* const* names, int count, PyObject** out);

// The same for their constructors (tp_init), every parameter required, with
// the messages and order of checks of the interpreter's PyArg parser.
bool bind_constructor(const char* name, PyObject* args, PyObject* kwargs, const char* const* names, int count,
                      PyObject** out);

// The same for a function that takes no arguments besides `self` (if any).
bool bind_none(const Function* function, Py_ssize_t nargs, PyObject* kwnames, int count);

// A method row of a table: `self` followed by `count` (at most 4) parameter
// names, the first `required` of them required; no parameter at all binds
// as bind_none does. out[0] is self.
bool bind_method(const Function* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 const char* const* params, int count, int required, PyObject** out);

// The int that a C integer takes for `value`: an int as it is, else
// __index__, else (with `truncate_floats`) __int__, which truncates floats.
// Anything else, text included, is refused with TypeError "an integer is
// required". New reference, or null with an exception set.
PyObject* integer_of(PyObject* value, bool truncate_floats);

// Where an int lies against the range [low, high]. Failed: an exception is
// set (`integer` was no int).
enum class Range
{
    Inside,
    Below,
    Above,
    Failed
};

// Where the int `integer` lies against [low, high]; its value in *out when
// inside. Each caller raises its own error for a value outside.
Range in_range(PyObject* integer, long long low, long long high, long long* out);

// The value of `integer` when it lies in [low, high]; outside, `cls` is
// raised with `below` or `above` (null: `below` too). `integer` may be null,
// its conversion having failed. False with an exception set.
bool bounded(PyObject* integer, long long low, long long high, long long* out, PyObject* cls, const char* below,
             const char* above = nullptr);

// Converts to a C int with the interpreter's own errors (TypeError for a
// non-integer, OverflowError beyond 32 bits).
bool as_int(PyObject* value, int* out);

}  // namespace vexlo
