#include "common/classes.hpp"

#include "common/ref.hpp"
#include <string>

#include "common/state.hpp"

namespace vexlo
{

namespace
{

PyObject* wrap_member(PyObject* function, MemberKind kind)
{
    switch (kind)
    {
    case MemberKind::Method:
        return cppy::incref(function);
    case MemberKind::Property:
        return PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), function);
    case MemberKind::ClassMethod:
        return PyClassMethod_New(function);
    case MemberKind::StaticMethod:
        return PyStaticMethod_New(function);
    }
    return nullptr;
}

}  // namespace

PyObject* make_class(PyObject* module, const char* name, const char* doc,
                     const MemberList& members, PyObject* extra)
{
    Ref ns(extra ? PyDict_Copy(extra) : PyDict_New());
    if (!ns)
        return nullptr;
    Ref py_name(PyUnicode_FromString(name));
    Ref py_doc(doc ? PyUnicode_FromString(doc) : cppy::incref(Py_None));
    if (!py_name || !py_doc)
        return nullptr;
    if (PyDict_SetItemString(ns.get(), "__module__", state_of(module)->module_name) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", py_name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", py_doc.get()) < 0)
        return nullptr;
    for (const MemberSpec& member : members)
    {
        std::string qualname = std::string(name) + "." + member.name;
        Ref data;
        if (member.data >= 0)
        {
            data = PyLong_FromLong(member.data);
            if (!data)
                return nullptr;
        }
        Ref function(make_function(module, member.impl, member.name, qualname.c_str(),
                                         member.doc, data.get(), member.signature));
        if (!function)
            return nullptr;
        Ref wrapped(wrap_member(function.get(), member.kind));
        if (!wrapped || PyDict_SetItemString(ns.get(), member.name, wrapped.get()) < 0)
            return nullptr;
    }
    return PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "O(O)O", py_name.get(),
                                 reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get());
}

void extend(MemberList& list, const MemberList& more)
{
    list.insert(list.end(), more.begin(), more.end());
}

}  // namespace vexlo
