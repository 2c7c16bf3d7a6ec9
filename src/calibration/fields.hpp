// Typed attributes of the value classes (ADCConverter, StreamReading,
// StreamConversionResult): C fields behind getset descriptors that enforce
// each field's type on assignment, and pickling with the state in
// alphabetical order of the attribute names.
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
    List,       // Ref: exactly a list, or None (null)
    ByteArray,  // Ref: exactly a bytearray, or None (null)
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

    // (copyreg.__newobj__, (type(self),), state): the state is the field
    // values in alphabetical order of their names, followed by the instance
    // __dict__ when a subclass gave the object one.
    PyObject* reduce(PyObject* self) const;

    // Assigns every field in declaration order, with the assignment rules.
    bool assign_all(PyObject* self, PyObject* const* values) const;

    // Restores a state made by reduce(), with the assignment rules.
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
// Anything that converts to a float.
bool to_double(PyObject* value, double* out);

// Assigns one field of `self` with its conversion (value non-null).
bool assign(PyObject* self, const Field& field, PyObject* value);

// tp_dealloc of a value class whose fields hold no Python objects.
void plain_dealloc(PyObject* self);

// True when instances of `type` carry an instance __dict__.
bool has_instance_dict(PyTypeObject* type);

}  // namespace vexlo::fields
