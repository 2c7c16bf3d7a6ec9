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

}  // namespace

bool bind_arguments(const Function* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, const char* const* name_list, int name_count, int required,
                    PyObject** out, int first_keyword_only)
{
    const Py_ssize_t count = name_count;
    const Py_ssize_t positional = first_keyword_only < 0 ? count : first_keyword_only;
    for (Py_ssize_t i = 0; i < count; ++i)
        out[i] = nullptr;
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
    for (Py_ssize_t i = 0; i < nargs; ++i)
        out[i] = args[i];
    if (kwnames)
    {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
        {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const char* key_text = PyUnicode_AsUTF8(key);
            if (!key_text)
                return false;
            Py_ssize_t index = -1;
            for (Py_ssize_t i = 0; i < count; ++i)
            {
                if (std::strcmp(name_list[i], key_text) == 0)
                {
                    index = i;
                    break;
                }
            }
            if (index < 0)
                return type_error(function, " got an unexpected keyword argument '%U'", key);
            if (out[index])
                return type_error(function, " got multiple values for argument '%U'", key);
            out[index] = args[nargs + k];
        }
    }
    // Every call passes here: look for a missing argument before building
    // anything for the message.
    int first_missing = 0;
    while (first_missing < required && out[first_missing])
        ++first_missing;
    if (first_missing < required)
    {
        std::vector<const char*> missing;
        for (int i = first_missing; i < required; ++i)
            if (!out[i])
                missing.push_back(name_list[i]);
        std::string list;
        for (size_t i = 0; i < missing.size(); ++i)
        {
            if (i > 0)
                list += (i + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ") : ", ";
            list += "'";
            list += missing[i];
            list += "'";
        }
        bool keyword_only = first_keyword_only >= 0 && required > first_keyword_only;
        return type_error(function, " missing %zd required %sargument%s: %s",
                          static_cast<Py_ssize_t>(missing.size()),
                          keyword_only ? "keyword-only " : "positional ",
                          plural(static_cast<Py_ssize_t>(missing.size())), list.c_str());
    }
    return true;
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

bool as_int(PyObject* value, int* out)
{
    Ref index(PyNumber_Index(value));
    if (!index)
        return false;
    int overflow = 0;
    long result = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (result == -1 && PyErr_Occurred())
        return false;
    if (overflow || result > INT_MAX || result < INT_MIN)
    {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    }
    *out = static_cast<int>(result);
    return true;
}

}  // namespace vexlo
