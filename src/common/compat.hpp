// The one place that knows which interpreter version the module is built
// for: private and deprecated C API is used only here, with the public
// equivalent wherever the version has one.
#pragma once

#include <Python.h>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vexlo::compat
{

// Set when the interpreter begins to finalize (by an atexit callback, which
// runs before any daemon thread can be ended), or when the forced unwinding
// of an ended thread is caught. Until then the answer below needs no call
// into the interpreter: reference holders ask on every release. One flag per
// shared object (hidden visibility), so each extension watches for itself.
inline std::atomic<bool> finalization_seen{false};

// Registers the callback that sets finalization_seen; each extension module
// calls it once from its exec slot. False with an exception set.
inline bool watch_finalization()
{
    static PyMethodDef seen = {
        "_finalization_seen",
        [](PyObject*, PyObject*) -> PyObject* {
            finalization_seen.store(true, std::memory_order_relaxed);
            Py_RETURN_NONE;
        },
        METH_NOARGS, nullptr};
    PyObject* atexit = PyImport_ImportModule("atexit");
    if (!atexit)
        return false;
    PyObject* callback = PyCFunction_New(&seen, nullptr);
    PyObject* result = callback ? PyObject_CallMethod(atexit, "register", "O", callback) : nullptr;
    Py_XDECREF(result);
    Py_XDECREF(callback);
    Py_DECREF(atexit);
    return result != nullptr;
}

// True when the calling thread holds the GIL (is attached to the
// interpreter). The module's code only runs with the GIL held, with one
// exception: a daemon thread that tries to take the GIL back while the
// interpreter finalizes is ended with pthread_exit, and the forced unwinding
// runs the destructors of the module's frames without it. Holders ask this
// before they release anything.
inline bool holds_gil()
{
    if (!finalization_seen.load(std::memory_order_relaxed))
        return true;
#if PY_VERSION_HEX >= 0x030D0000
    // The attached thread state is per thread: null exactly when detached.
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    // 3.11 keeps one "current" thread state for the whole runtime (the GIL
    // holder's). Threads are ended only after finalization has begun; until
    // then the invariant above answers. Afterwards only the thread whose own
    // state is the current one holds the GIL.
    if (!_Py_IsFinalizing())
        return true;
    PyThreadState* current = _PyThreadState_UncheckedGet();
    return current && current == PyGILState_GetThisThreadState();
#endif
}

// The pending exception as one object (normalised, traceback attached);
// clears the error indicator. New reference, or null when none is pending.
inline PyObject* take_raised_exception()
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type)
        return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value)
        PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Makes `exception` (an exception instance, stolen) the pending exception,
// with its own traceback and links, and no implicit chaining; null clears it.
inline void set_raised_exception(PyObject* exception)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    if (!exception)
    {
        PyErr_Clear();
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

// The attribute `name` as found on the type along its MRO, without
// descriptors applied; borrowed, or null (no error set) when absent. No
// public equivalent exists before 3.14.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name)
{
    return _PyType_Lookup(type, name);
}

// The unsigned big-endian integer of `size` bytes (0 for none).
inline PyObject* long_from_big_endian(const uint8_t* data, size_t size)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyLong_FromUnsignedNativeBytes(data, size, Py_ASNATIVEBYTES_BIG_ENDIAN);
#else
    return _PyLong_FromByteArray(data, size, 0, 0);
#endif
}

}  // namespace vexlo::compat
