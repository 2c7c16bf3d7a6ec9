// Plain classes: real Python classes made with type(name, (object,), ns), so
// instances have an ordinary __dict__ and methods can be patched or
// overridden; their methods are Function objects.
#pragma once

#include <Python.h>
#include <vector>

#include "common/function.hpp"

namespace vexlo
{

enum class MemberKind
{
    Method,
    Property,  // read-only property whose getter is the function
    ClassMethod,
    StaticMethod
};

// One member, written as Python would: the name, the implementation and the
// parameters first, then the docstring; the kind and data only where they
// are not a plain method's.
struct MemberSpec
{
    const char* name;
    FunctionImpl impl;
    // Parameters as text for inspect.signature, e.g. "(self, port, timeout=1)".
    const char* signature;
    const char* doc;
    MemberKind kind = MemberKind::Method;
    long data = -1;  // >= 0: stored as the function's data (an int)
};

using MemberList = std::vector<MemberSpec>;

// New class `name` in the module, with the members in order. `extra` (may be
// null) holds further namespace entries, added first.
PyObject* make_class(PyObject* module, const char* name, const char* doc,
                     const MemberList& members, PyObject* extra = nullptr);

// Appends `more` to `list`.
void extend(MemberList& list, const MemberList& more);

}  // namespace vexlo
