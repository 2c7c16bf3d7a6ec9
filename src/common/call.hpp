// Calling operations by attribute at the moment of use, as Python code does,
// so overrides and patches on a class or an instance take effect.
#pragma once

#include <Python.h>
#include "common/ref.hpp"

namespace vexlo
{

// The interned `text`, kept in `slot` for the life of the process once
// made; a failed first attempt sets an error and is retried at the next use.
inline PyObject* intern_once(PyObject*& slot, const char* text)
{
    if (!slot)
        slot = PyUnicode_InternFromString(text);
    return slot;
}

// An interned attribute name, created once per use site.
#define VEXLO_NAME(text)                                                        \
    ([]() -> PyObject* {                                                        \
        static PyObject* interned = nullptr;                                    \
        return ::vexlo::intern_once(interned, text);                            \
    }())

// self.<name>(*args): new reference or null with an exception set.
template <typename... Args>
PyObject* call_method(PyObject* self, PyObject* name, Args... args)
{
    if (!name)
        return nullptr;
    PyObject* array[] = {self, args...};
    return PyObject_VectorcallMethod(name, array, 1 + sizeof...(Args), nullptr);
}

// getattr(object, name): new reference or null with an exception set.
inline PyObject* get_attr(PyObject* object, PyObject* name)
{
    return name ? PyObject_GetAttr(object, name) : nullptr;
}

// `value <op> text` as Python evaluates it (op: Py_EQ or Py_NE): 1, 0, or
// -1 with an exception set. Used for the model and item-number gates, where
// the value comes from the instrument (or from a patched method).
inline int compare_text(PyObject* value, const char* text, int op)
{
    Ref other(PyUnicode_FromString(text));
    return other ? PyObject_RichCompareBool(value, other.get(), op) : -1;
}

// self.communication_interface.<name>(*args), the interface looked up at
// each call: how a device and its TEDS methods reach the link.
template <typename... Args>
PyObject* call_interface(PyObject* self, PyObject* name, Args... args)
{
    Ref ci(get_attr(self, VEXLO_NAME("communication_interface")));
    if (!ci)
        return nullptr;
    return call_method(ci.get(), name, args...);
}

}  // namespace vexlo
