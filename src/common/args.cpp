#include "common/args.hpp"

#include "common/ref.hpp"
#include <climits>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "common/function.hpp"

namespace vexlo
{

namespace
{

PyObject* qualname_of(const Function* function)
{
    PyObject* dict = function->dict;
    PyObject* qualname = dict ? PyDict_GetItemString(dict, "__qualname__") : nullptr;
    if (qualname && PyUnicode_Check(qualname))
        return cppy::incref(qualname);
    return PyUnicode_FromString(function->name);
}

bool type_error(const Function* function, const char* format, ...)
{
    Ref qualname(qualname_of(function));
    if (!qualname)
        return false;
    va_list vargs;
    va_start(vargs, format);
    Ref rest(PyUnicode_FromFormatV(format, vargs));
    va_end(vargs);
    if (!rest)
        return false;
    PyErr_Format(PyExc_TypeError, "%U()%U", qualname.get(), rest.get());
    return false;
}

const char* plural(Py_ssize_t n)
{
    return n == 1 ? "" : "s";
}

// What matching the arguments to the parameter names found; each caller
// words the failure as its kind of callable does.
struct Match
{
    Py_ssize_t bad_keyword = -1;  // the first keyword (call order) naming no parameter or a given one
    int bad_index = -1;  // the parameter a repeating bad keyword names
    Py_ssize_t unknown = -1;  // the first keyword naming no parameter (or not text)
    int repeated = -1;        // the lowest parameter given by position and by keyword
    int missing = -1;         // the first required parameter left without a value
};

// Index of the parameter `key` names; -1 for none, -2 with an exception set
// when `utf8` asks for the key's UTF-8 text and it has none.
int parameter_index(PyObject* key, const char* const* names, int count, bool utf8)
{
    if (!PyUnicode_Check(key))
        return -1;
    const char* text = utf8 ? PyUnicode_AsUTF8(key) : nullptr;
    if (utf8 && !text)
        return -2;
    for (int i = 0; i < count; ++i)
        if (utf8 ? std::strcmp(names[i], text) == 0 : PyUnicode_CompareWithASCIIString(key, names[i]) == 0)
            return i;
    return -1;
}

// Positional arguments (at most `count`) first, then each keyword into its
// parameter. `python` compares keys as Python functions do (their UTF-8
// text) and stops at the first bad keyword. False with an exception set.
bool match(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* const* names, int count,
           int required, bool python, PyObject** out, Match& found)
{
    for (int i = 0; i < count; ++i)
        out[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw && !(python && found.bad_keyword >= 0); ++k)
    {
        int index = parameter_index(PyTuple_GET_ITEM(kwnames, k), names, count, python);
        if (index == -2)
            return false;
        if (index >= 0 && !out[index])
        {
            out[index] = args[nargs + k];
            continue;
        }
        if (found.bad_keyword < 0)
        {
            found.bad_keyword = k;
            found.bad_index = index;
        }
        if (index < 0 && found.unknown < 0)
            found.unknown = k;
        if (index >= 0 && (found.repeated < 0 || index < found.repeated))
            found.repeated = index;
    }
    found.missing = 0;
    while (found.missing < required && out[found.missing])
        ++found.missing;
    if (found.missing == required)
        found.missing = -1;
    return true;
}

// "'a', 'b', and 'c'", as Python lists missing arguments.
std::string quoted_list(const std::vector<const char*>& names)
{
    std::string list;
    for (size_t i = 0; i < names.size(); ++i)
    {
        if (i > 0)
            list += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
        list += "'";
        list += names[i];
        list += "'";
    }
    return list;
}

}  // namespace

bool bind_arguments(const Function* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, const char* const* name_list, int name_count, int required,
                    PyObject** out, int first_keyword_only)
{
    const Py_ssize_t count = name_count;
    const Py_ssize_t positional = first_keyword_only < 0 ? count : first_keyword_only;
    if (nargs > positional)
    {
        Py_ssize_t given = nargs;
        if (required < positional)
            return type_error(function, " takes from %zd to %zd positional arguments but %zd %s given",
                              static_cast<Py_ssize_t>(required), positional, given,
                              given == 1 ? "was" : "were");
        return type_error(function, " takes %zd positional argument%s but %zd %s given", positional,
                          plural(positional), given, given == 1 ? "was" : "were");
    }
    if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)
    {
        // Positional only, the common call: nothing to match.
        for (int i = 0; i < name_count; ++i)
            out[i] = i < nargs ? args[i] : nullptr;
        if (nargs >= required)
            return true;
    }
    Match found;
    if (!match(args, nargs, kwnames, name_list, name_count, required, true, out, found))
        return false;
    if (found.bad_keyword >= 0)
        return type_error(function,
                          found.bad_index >= 0 ? " got multiple values for argument '%U'"
                                              : " got an unexpected keyword argument '%U'",
                          PyTuple_GET_ITEM(kwnames, found.bad_keyword));
    if (found.missing < 0)
        return true;
    std::vector<const char*> missing;
    for (int i = found.missing; i < required; ++i)
        if (!out[i])
            missing.push_back(name_list[i]);
    bool keyword_only = first_keyword_only >= 0 && required > first_keyword_only;
    return type_error(function, " missing %zd required %sargument%s: %s",
                      static_cast<Py_ssize_t>(missing.size()), keyword_only ? "keyword-only " : "positional ",
                      plural(static_cast<Py_ssize_t>(missing.size())), quoted_list(missing).c_str());
}

bool bind_native(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 const char* const* names, int count, PyObject** out)
{
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > count)
    {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly one argument (%zd given)", name, nargs + nkw);
        return false;
    }
    if (nkw == 0 && nargs == count)
    {
        // Every argument by position, the common call: nothing to match.
        for (int i = 0; i < count; ++i)
            out[i] = args[i];
        return true;
    }
    Match found;
    if (!match(args, nargs, kwnames, names, count, count, false, out, found))
        return false;
    if (found.bad_keyword >= 0 && found.bad_index < 0)
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                     PyTuple_GET_ITEM(kwnames, found.bad_keyword));
    else if (found.bad_keyword >= 0)
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%d)", name,
                     names[found.bad_index], found.bad_index + 1);
    else if (found.missing >= 0)
        PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", name,
                     names[found.missing], found.missing + 1);
    return !PyErr_Occurred();
}

bool bind_constructor(const char* name, PyObject* args, PyObject* kwargs, const char* const* names, int count,
                      PyObject** out)
{
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nargs + nkw > count)
    {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %d %sargument%s (%zd given)", name, count,
                     nargs == 0 ? "keyword " : "", plural(count), nargs + nkw);
        return false;
    }
    // The call as vectorcall has it: the values in one array, the keys in a tuple.
    std::vector<PyObject*> values;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        values.push_back(PyTuple_GET_ITEM(args, i));
    Ref kwnames(PyTuple_New(nkw));
    if (!kwnames)
        return false;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (Py_ssize_t k = 0; kwargs && PyDict_Next(kwargs, &position, &key, &value); ++k)
    {
        PyTuple_SET_ITEM(kwnames.get(), k, cppy::incref(key));
        values.push_back(value);
    }
    Match found;
    if (!match(values.data(), nargs, kwnames.get(), names, count, count, false, out, found))
        return false;
    // The order of the interpreter's own parser: missing, then repeated, then unknown.
    if (found.missing >= 0)
        PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", name,
                     names[found.missing], found.missing + 1);
    else if (found.repeated >= 0)
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%d)", name,
                     names[found.repeated], found.repeated + 1);
    else if (found.unknown >= 0 && !PyUnicode_Check(PyTuple_GET_ITEM(kwnames.get(), found.unknown)))
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    else if (found.unknown >= 0)
        PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s()",
                     PyTuple_GET_ITEM(kwnames.get(), found.unknown), name);
    return !PyErr_Occurred();
}

bool bind_none(const Function* function, Py_ssize_t nargs, PyObject* kwnames, int count)
{
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0)
        return type_error(function, " got an unexpected keyword argument '%U'",
                          PyTuple_GET_ITEM(kwnames, 0));
    if (nargs != count)
    {
        if (nargs < count)
            return type_error(function, " missing 1 required positional argument: 'self'");
        return type_error(function, " takes %d positional argument%s but %zd %s given", count,
                          plural(count), nargs, nargs == 1 ? "was" : "were");
    }
    return true;
}

bool bind_method(const Function* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 const char* const* params, int count, int required, PyObject** out)
{
    constexpr int kMaxParams = 4;
    if (count == 0)
    {
        if (!bind_none(function, nargs, kwnames, 1))
            return false;
        out[0] = args[0];
        return true;
    }
    if (count > kMaxParams)
    {
        PyErr_SetString(PyExc_SystemError, "bind_method: too many parameters");
        return false;
    }
    const char* names[1 + kMaxParams] = {"self"};
    for (int i = 0; i < count; ++i)
        names[1 + i] = params[i];
    return bind_arguments(function, args, nargs, kwnames, names, 1 + count, 1 + required, out);
}

PyObject* integer_of(PyObject* value, bool truncate_floats)
{
    if (PyLong_Check(value))
        return cppy::incref(value);
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (number && number->nb_index)
        return PyNumber_Index(value);
    if (truncate_floats && number && number->nb_int)
        return PyNumber_Long(value);
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
}

Range in_range(PyObject* integer, long long low, long long high, long long* out)
{
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (value == -1 && PyErr_Occurred())
        return Range::Failed;
    if (overflow < 0 || (overflow == 0 && value < low))
        return Range::Below;
    if (overflow > 0 || value > high)
        return Range::Above;
    *out = value;
    return Range::Inside;
}

bool bounded(PyObject* integer, long long low, long long high, long long* out, PyObject* cls, const char* below,
             const char* above)
{
    switch (integer ? in_range(integer, low, high, out) : Range::Failed)
    {
    case Range::Inside:
        return true;
    case Range::Below:
        PyErr_SetString(cls, below);
        return false;
    case Range::Above:
        PyErr_SetString(cls, above ? above : below);
        return false;
    case Range::Failed:
        break;
    }
    return false;
}

bool as_int(PyObject* value, int* out)
{
    Ref index(PyNumber_Index(value));
    long long result = 0;
    if (!bounded(index.get(), INT_MIN, INT_MAX, &result, PyExc_OverflowError,
                 "Python int too large to convert to C int"))
        return false;
    *out = static_cast<int>(result);
    return true;
}

}  // namespace vexlo
