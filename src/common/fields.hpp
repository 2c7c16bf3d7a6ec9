// Typed value classes (ADCConverter, StreamReading, StreamConversionResult,
// TEDSData): C fields behind getset descriptors that enforce each field's
// type on assignment, the slot functions that keep the object fields, and
// pickling with the state in alphabetical order of the attribute names.
#pragma once

#include <Python.h>
#include "common/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

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

// The fields of one type, in declaration order.
class FieldSet
{
public:
    FieldSet(std::vector<Field> fields);

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

    // Assigns every field in declaration order, with the assignment rules.
    bool assign_all(PyObject* self, PyObject* const* values) const;

    // Restores a state made by reduce(), with the assignment rules. Every
    // value is converted before any is stored: a bad state changes nothing.
    bool set_state(PyObject* self, PyObject* state) const;

private:
    std::vector<Field> m_fields;
    std::vector<size_t> m_alphabetical;
    std::vector<PyGetSetDef> m_getset;
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

// Creates the type of `spec` for the module, keeps it in `slot` of the
// module state and adds it to the module under the name after the last dot.
bool add_type(PyObject* module, PyType_Spec* spec, PyObject*& slot);

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

// The two pickling entries of a type's method table.
#define VEXLO_PICKLING_METHODS(set)                                                        \
    {"__reduce__", ::vexlo::fields::reduce_method<set>, METH_NOARGS, nullptr},             \
    {                                                                                      \
        "__setstate__", ::vexlo::fields::setstate_method<set>, METH_O, nullptr             \
    }

}  // namespace vexlo::fields
