// The holder of owned references: cppy::ptr, with a destructor that is safe
// on a thread that no longer holds the GIL.
//
// During finalization CPython ends a daemon thread that tries to take the
// GIL back (after running Python code, or after a blocking port read) with
// pthread_exit. Its forced unwinding runs the destructors of every C++ frame
// in between, and a Py_DECREF there would free objects without the GIL:
// heap corruption, or an abort under PYTHONMALLOC=debug. Leaking is the
// sound choice: the thread is ending and the process is on its way out. The
// check sits in the holder rather than at each call into the interpreter
// because nearly any C API call can run Python code and so end the thread.
// The unwinding itself is never stopped (see translate_exception).
#pragma once

#include <Python.h>
#include <cppy/cppy.h>

#include "common/compat.hpp"

namespace vexlo
{

class Ref : public cppy::ptr
{
public:
    using cppy::ptr::ptr;
    using cppy::ptr::operator=;

    Ref() = default;
    Ref(const Ref& other) = default;
    Ref(Ref&& other) noexcept : cppy::ptr(other.release()) {}

    Ref& operator=(const Ref& other)
    {
        cppy::ptr::operator=(other);
        return *this;
    }

    Ref& operator=(Ref&& other) noexcept
    {
        if (this != &other)
            cppy::ptr::operator=(other.release());
        return *this;
    }

    ~Ref()
    {
        if (m_ob && !compat::holds_gil())
            m_ob = nullptr;  // leaked on purpose; see above
    }
};

}  // namespace vexlo
