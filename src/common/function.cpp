#include "common/function.hpp"

#include "common/ref.hpp"
#include <structmember.h>

#include "common/boundary.hpp"
#include "common/state.hpp"

namespace vexlo
{

namespace
{

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames)
{
    Function* self = reinterpret_cast<Function*>(callable);
    try
    {
        return self->impl(self, args, PyVectorcall_NARGS(nargsf), kwnames);
    }
    catch (...)
    {
        translate_exception();
        return nullptr;
    }
}

int function_traverse(PyObject* ob, visitproc visit, void* arg)
{
    Function* self = reinterpret_cast<Function*>(ob);
    Py_VISIT(self->module);
    Py_VISIT(self->data);
    Py_VISIT(self->dict);
    Py_VISIT(Py_TYPE(ob));
    return 0;
}

int function_clear(PyObject* ob)
{
    Function* self = reinterpret_cast<Function*>(ob);
    Py_CLEAR(self->module);
    Py_CLEAR(self->data);
    Py_CLEAR(self->dict);
    return 0;
}

void function_dealloc(PyObject* ob)
{
    PyTypeObject* type = Py_TYPE(ob);
    PyObject_GC_UnTrack(ob);
    function_clear(ob);
    type->tp_free(ob);
    Py_DECREF(type);
}

// Binding like a Python function: through the class the function itself,
// through an instance a bound method.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*)
{
    if (!obj || obj == Py_None)
        return cppy::incref(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* ob)
{
    Ref qualname(PyObject_GetAttrString(ob, "__qualname__"));
    if (!qualname)
    {
        PyErr_Clear();
        return PyUnicode_FromFormat("<function at %p>", ob);
    }
    return PyUnicode_FromFormat("<function %S at %p>", qualname.get(), ob);
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "vexlo_device_communication._function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    function_slots,
};

bool set_item(PyObject* dict, const char* key, PyObject* value)
{
    return PyDict_SetItemString(dict, key, value) == 0;
}

}  // namespace

bool add_function_type(PyObject* module)
{
    PyObject* type = PyType_FromModuleAndSpec(module, &function_spec, nullptr);
    if (!type)
        return false;
    state_of(module)->FunctionType = type;
    return true;
}

PyObject* make_function(PyObject* module, FunctionImpl impl, const char* name,
                        const char* qualname, const char* doc, PyObject* data,
                        const char* signature)
{
    PyTypeObject* type = type_of(state_of(module)->FunctionType);
    Ref ob(type->tp_alloc(type, 0));
    if (!ob)
        return nullptr;
    Function* self = reinterpret_cast<Function*>(ob.get());
    self->vectorcall = function_vectorcall;
    self->impl = impl;
    self->module = cppy::incref(module);
    self->data = cppy::xincref(data);
    self->name = name;
    self->dict = PyDict_New();
    if (!self->dict)
        return nullptr;
    Ref py_name(PyUnicode_FromString(name));
    Ref py_qualname(PyUnicode_FromString(qualname));
    Ref py_doc(doc ? PyUnicode_FromString(doc) : cppy::incref(Py_None));
    if (!py_name || !py_qualname || !py_doc)
        return nullptr;
    if (!set_item(self->dict, "__name__", py_name.get()) ||
        !set_item(self->dict, "__qualname__", py_qualname.get()) ||
        !set_item(self->dict, "__doc__", py_doc.get()) ||
        !set_item(self->dict, "__module__", state_of(module)->module_name))
        return nullptr;
    if (signature)
    {
        Ref text(PyUnicode_FromString(signature));
        if (!text || !set_item(self->dict, "__text_signature__", text.get()))
            return nullptr;
    }
    return ob.release();
}

}  // namespace vexlo
