#include "common/boundary.hpp"

#include <exception>
#include <new>
#include <stdexcept>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "common/compat.hpp"

namespace vexlo
{

void translate_exception()
{
    try
    {
        throw;
    }
#if defined(__GLIBCXX__)
    catch (abi::__forced_unwind&)
    {
        compat::finalization_seen.store(true, std::memory_order_relaxed);
        throw;
    }
#endif
    catch (const std::bad_alloc&)
    {
        PyErr_NoMemory();
    }
    catch (const std::length_error&)
    {
        PyErr_NoMemory();
    }
    catch (const std::exception& error)
    {
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", error.what());
    }
    catch (...)
    {
        // Elsewhere (libc++) the forced unwinding is a foreign exception.
        if (!compat::holds_gil())
            throw;
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

}  // namespace vexlo
