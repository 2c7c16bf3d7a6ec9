#include "common/log.hpp"

#include "common/call.hpp"
#include "common/ref.hpp"
#include "common/state.hpp"
#include <cstring>

namespace vexlo
{

namespace
{

PyObject* level_name(Level level)
{
    static PyObject* names[4] = {nullptr, nullptr, nullptr, nullptr};
    static const char* texts[4] = {"debug", "info", "warning", "error"};
    int index = static_cast<int>(level);
    return intern_once(names[index], texts[index]);
}

}  // namespace

// Each name, interned once. A new name object per lookup would cost a string
// on every log call, and would stay referenced from the interpreter's type
// attribute cache, which keys on the name object's address: thousands of
// dead copies of "logger" piled up there during a long stream.
PyObject* global_name(const char* name)
{
    struct Entry
    {
        const char* text;
        PyObject* name;
    };
    static Entry entries[16] = {};
    for (Entry& entry : entries)
    {
        if (entry.text && (entry.text == name || std::strcmp(entry.text, name) == 0))
            return cppy::incref(entry.name);
        if (!entry.text)
        {
            PyObject* interned = PyUnicode_InternFromString(name);
            if (!interned)
                return nullptr;
            entry = {name, interned};  // kept for the process, like the other interned names
            return cppy::incref(interned);
        }
    }
    return PyUnicode_InternFromString(name);  // more names than entries: still one object each
}

PyObject* module_global(PyObject* module, const char* name)
{
    Ref key(global_name(name));
    return key ? PyObject_GetAttr(module, key.get()) : nullptr;
}

bool log(PyObject* module, Level level, PyObject* message)
{
    Ref text(message);
    if (!text)
        return false;
    Ref logger(module_global(module, "logger"));
    if (!logger)
        return false;
    PyObject* method = level_name(level);
    if (!method)
        return false;
    PyObject* args[2] = {logger.get(), text.get()};
    Ref result(PyObject_VectorcallMethod(method, args, 2, nullptr));
    return static_cast<bool>(result);
}

int debug_wanted(PyObject* module)
{
    Ref logger(module_global(module, "logger"));
    if (!logger)
        return -1;
    ModuleState* st = state_of(module);
    PyObject* debug = level_name(Level::Debug);
    if (!debug)
        return -1;
    PyTypeObject* type = Py_TYPE(logger.get());
    if (reinterpret_cast<PyObject*>(type) != st->LoggerClass || !st->logger_debug ||
        compat::type_lookup(type, debug) != st->logger_debug)
        return 1;
    Ref dict(PyObject_GenericGetDict(logger.get(), nullptr));
    if (!dict)
        return -1;
    int own = PyDict_Contains(dict.get(), debug);
    if (own != 0)
        return own < 0 ? -1 : 1;
    Ref level(PyLong_FromLong(10));  // logging.DEBUG
    if (!level)
        return -1;
    Ref enabled(call_method(logger.get(), VEXLO_NAME("isEnabledFor"), level.get()));
    return enabled ? PyObject_IsTrue(enabled.get()) : -1;
}

bool log_text(PyObject* module, Level level, const char* text)
{
    return log(module, level, PyUnicode_FromString(text));
}

}  // namespace vexlo
