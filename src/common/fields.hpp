// Typed value classes (ADCConverter, StreamReading, StreamConversionResult,
// TEDSData): C fields behind getset descriptors that enforce each field's
// type on assignment, the slot functions that keep the object fields, and
// pickling with the state in alphabetical order of the attribute names.
#pragma once

#include <Python.h>
#include "common/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/boundary.hpp"

namespace vexlo::fields
{

enum class Kind
{
    Int32,      // int32_t
    Double,     // double
    UInt64,     // uint64_t
    Bool,       // bool, assigned by truth value
    List,       // Ref: exactly a list, or None (null)
    ByteArray,  // Ref: exactly a bytearray, or None (null)
    Text,       // Ref: a str, or None (null)
    Object,     // Ref: anything; None is kept as null
};

struct Field
{
    const char* name;
    Kind kind;
    size_t offset;  // from the start of the object
    const char* doc;
};

// One row of a field table: the member of `Struct`, named once, gives the
// attribute's name and its offset in the struct.
#define VEXLO_FIELD(Struct, member, kind, doc) \
    ::vexlo::fields::Field{#member, ::vexlo::fields::Kind::kind, offsetof(Struct, member), doc}

// The fields of one type, in declaration order.
class FieldSet
{
public:
    // `type_name`: the type's qualified name, "vexlo_device_communication.X",
    // a literal (the type keeps pointing at it). `base`: where the struct
    // whose offsets the fields give starts in the object (0: the object).
    FieldSet(const char* type_name, std::vector<Field> fields, size_t base = 0);

    const char* type_name() const { return m_type_name; }

    // True when a field holds Python objects: the type takes part in GC.
    bool has_objects() const;

    // Getset descriptors for every field, null-terminated; lives as long as
    // the set. Numbers refuse deletion (NotImplementedError "__del__");
    // deleting an object field sets it to None.
    PyGetSetDef* getset() { return m_getset.data(); }

    // A new instance of `type` with every number 0 and every object None.
    PyObject* allocate(PyTypeObject* type) const;

    // The object fields, for the garbage collector and deallocation.
    int traverse(PyObject* self, visitproc visit, void* arg) const;
    void clear(PyObject* self) const;
    void destroy(PyObject* self) const;

    // (copyreg.__newobj__, (type(self),), state): the state is the field
    // values in alphabetical order of their names, followed by the instance
    // __dict__ when a subclass gave the object one.
    PyObject* reduce(PyObject* self) const;

    // __init__(self, <every field in declaration order>), all required, with
    // the interpreter's argument messages under the type's short name.
    bool init(PyObject* self, PyObject* args, PyObject* kwargs) const;

    // Restores a state made by reduce(), with the assignment rules. Every
    // value is converted before any is stored: a bad state changes nothing.
    bool set_state(PyObject* self, PyObject* state) const;

private:
    const char* m_type_name;
    std::vector<Field> m_fields;
    std::vector<size_t> m_alphabetical;
    std::vector<PyGetSetDef> m_getset;
    std::vector<const char*> m_names;
};

// Assignment conversions, with the messages of the typed attributes.
// An integer, or any object with an integer conversion (floats truncated
// toward zero); otherwise TypeError "an integer is required".
bool to_int32(PyObject* value, int32_t* out);
bool to_uint64(PyObject* value, uint64_t* out);
// Anything that converts to a float, as float() takes it.
bool to_double(PyObject* value, double* out);

// Assigns one field of `self` with its conversion (value non-null).
bool assign(PyObject* self, const Field& field, PyObject* value);

// True when instances of `type` carry an instance __dict__.
bool has_instance_dict(PyTypeObject* type);

// Creates the value type of `set` for the module from `slots` (ending
// without the terminating entry), keeps it in `state_slot` of the module
// state and adds it to the module under its short name.
bool add_type(PyObject* module, const FieldSet& set, int basicsize, std::vector<PyType_Slot> slots,
              PyObject*& state_slot);

// The slot functions and pickling methods of a value type whose fields are
// Set(): one shape for every value class.
template <FieldSet& (*Set)()>
PyObject* new_object(PyTypeObject* type, PyObject*, PyObject*)
{
    return Set().allocate(type);
}

template <FieldSet& (*Set)()>
int traverse_object(PyObject* self, visitproc visit, void* arg)
{
    return Set().traverse(self, visit, arg);
}

template <FieldSet& (*Set)()>
int clear_object(PyObject* self)
{
    Set().clear(self);
    return 0;
}

template <FieldSet& (*Set)()>
void dealloc_object(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_IS_GC(type))
        PyObject_GC_UnTrack(self);
    Set().destroy(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The deallocation of a set without object fields (a StreamReading, one per
// sample of a stream): nothing to release but the memory.
inline void dealloc_plain(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

template <FieldSet& (*Set)()>
PyObject* reduce_method(PyObject* self, PyObject*)
{
    return Set().reduce(self);
}

template <FieldSet& (*Set)()>
PyObject* setstate_method(PyObject* self, PyObject* state)
{
    if (!Set().set_state(self, state))
        return nullptr;
    Py_RETURN_NONE;
}

template <FieldSet& (*Set)()>
int init_object(PyObject* self, PyObject* args, PyObject* kwargs)
{
    return Set().init(self, args, kwargs) ? 0 : -1;
}

// The two pickling entries of a type's method table.
#define VEXLO_PICKLING_METHODS(set)                                                        \
    {"__reduce__", ::vexlo::guarded<::vexlo::fields::reduce_method<set>>, METH_NOARGS,      \
     nullptr},                                                                             \
    {                                                                                      \
        "__setstate__", ::vexlo::guarded<::vexlo::fields::setstate_method<set>>, METH_O,   \
            nullptr                                                                        \
    }

// A method table of the pickling entries alone.
template <FieldSet& (*Set)()>
PyMethodDef* pickling_methods()
{
    static PyMethodDef methods[] = {
        VEXLO_PICKLING_METHODS(Set),
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

// Makes the value class whose fields are Set(), keeps it in `state_slot` and
// adds it to the module: one helper for every value class. The slots are
// the kit's (allocation with every object None, __init__ taking the fields
// by name, deallocation, the descriptors, pickling, and the GC slots when a
// field holds objects), the docstring, and `own` (the type's own slots, which
// replace the kit's of the same kind).
template <FieldSet& (*Set)()>
bool add_value_type(PyObject* module, int basicsize, const char* doc, PyObject*& state_slot,
                    std::vector<PyType_Slot> own = {})
{
    auto slot = [](auto function) { return reinterpret_cast<void*>(function); };
    std::vector<PyType_Slot> kit = {
        {Py_tp_new, slot(guarded<new_object<Set>>)},
        {Py_tp_init, slot(guarded<init_object<Set>>)},
        {Py_tp_dealloc, Set().has_objects() ? slot(dealloc_object<Set>) : slot(dealloc_plain)},
        {Py_tp_getset, Set().getset()},
        {Py_tp_methods, pickling_methods<Set>()},
        {Py_tp_doc, const_cast<char*>(doc)},
    };
    if (Set().has_objects())
    {
        kit.push_back({Py_tp_traverse, slot(traverse_object<Set>)});
        kit.push_back({Py_tp_clear, slot(clear_object<Set>)});
    }
    for (const PyType_Slot& entry : kit)
    {
        bool replaced = false;
        for (const PyType_Slot& mine : own)
            replaced = replaced || mine.slot == entry.slot;
        if (!replaced)
            own.push_back(entry);
    }
    return add_type(module, Set(), basicsize, std::move(own), state_slot);
}

}  // namespace vexlo::fields
