// The boundary between the interpreter and the module's C++: no C++
// exception may cross it. Every entry point (the Function call path, and the
// type slots and methods of the value classes through `guarded`) turns one
// into the Python error it stands for.
#pragma once

#include <Python.h>
#include <type_traits>

namespace vexlo
{

// Inside a catch (...) block: sets MemoryError for a failed allocation (or a
// container too large to allocate), SystemError naming anything else. The
// forced unwinding that ends a thread (pthread_exit during finalization) is
// rethrown: stopping it is fatal, and the GIL is not held then anyway.
void translate_exception();

template <auto F, typename = decltype(F)>
struct Guard;

template <auto F, typename R, typename... A>
struct Guard<F, R (*)(A...)>
{
    static R call(A... args)
    {
        try
        {
            return F(args...);
        }
        catch (...)
        {
            translate_exception();
            if constexpr (std::is_pointer_v<R>)
                return nullptr;
            else
                return static_cast<R>(-1);
        }
    }
};

// The slot or method F with C++ exceptions turned into Python errors, for
// slot tables, PyMethodDef and PyGetSetDef entries.
template <auto F>
constexpr auto guarded = &Guard<F>::call;

}  // namespace vexlo
