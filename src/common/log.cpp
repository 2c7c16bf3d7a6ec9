#include "common/log.hpp"

#include <cppy/cppy.h>

namespace vexlo
{

namespace
{

PyObject* level_name(Level level)
{
    static PyObject* names[4] = {nullptr, nullptr, nullptr, nullptr};
    static const char* texts[4] = {"debug", "info", "warning", "error"};
    int index = static_cast<int>(level);
    if (!names[index])
        names[index] = PyUnicode_InternFromString(texts[index]);  // immortal for the process
    return names[index];
}

}  // namespace

PyObject* module_global(PyObject* module, const char* name)
{
    return PyObject_GetAttrString(module, name);
}

bool log(PyObject* module, Level level, PyObject* message)
{
    cppy::ptr text(message);
    if (!text)
        return false;
    cppy::ptr logger(module_global(module, "logger"));
    if (!logger)
        return false;
    PyObject* method = level_name(level);
    if (!method)
        return false;
    PyObject* args[2] = {logger.get(), text.get()};
    cppy::ptr result(PyObject_VectorcallMethod(method, args, 2, nullptr));
    return static_cast<bool>(result);
}

bool log_text(PyObject* module, Level level, const char* text)
{
    return log(module, level, PyUnicode_FromString(text));
}

}  // namespace vexlo
