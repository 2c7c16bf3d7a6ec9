#include "common/fields.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <type_traits>
#include <variant>

#include "common/converter_result.hpp"
#include "common/boundary.hpp"
#include "common/args.hpp"

namespace vexlo::fields
{

namespace
{

template <typename T>
T& slot(PyObject* self, const Field& field)
{
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(self) + field.offset);
}

bool is_object(Kind kind)
{
    return kind == Kind::List || kind == Kind::ByteArray || kind == Kind::Text || kind == Kind::Object;
}

PyObject* get_field(PyObject* self, void* closure)
{
    const Field& field = *static_cast<const Field*>(closure);
    switch (field.kind)
    {
    case Kind::Int32:
        return PyLong_FromLong(slot<int32_t>(self, field));
    case Kind::Double:
        return PyFloat_FromDouble(slot<double>(self, field));
    case Kind::UInt64:
        return PyLong_FromUnsignedLongLong(slot<uint64_t>(self, field));
    case Kind::Bool:
        return PyBool_FromLong(slot<bool>(self, field));
    case Kind::List:
    case Kind::ByteArray:
    case Kind::Text:
    case Kind::Object:
        break;
    }
    PyObject* value = slot<Ref>(self, field).get();
    return cppy::incref(value ? value : Py_None);
}

int set_field(PyObject* self, PyObject* value, void* closure)
{
    const Field& field = *static_cast<const Field*>(closure);
    if (value)
        return assign(self, field, value) ? 0 : -1;
    if (is_object(field.kind))
    {
        slot<Ref>(self, field).set(nullptr);
        return 0;
    }
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

bool refuse(PyObject* value, const char* type_name)
{
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type_name, Py_TYPE(value)->tp_name);
    return false;
}

bool check_exact(PyObject* value, PyTypeObject* type, const char* type_name)
{
    return value == Py_None || Py_IS_TYPE(value, type) || refuse(value, type_name);
}

// A field value converted and waiting to be stored, held as the field's C
// type.
using Value = std::variant<int32_t, double, uint64_t, bool, Ref>;

bool to_bool(PyObject* value, bool* out)
{
    int truth = PyObject_IsTrue(value);
    *out = truth > 0;
    return truth >= 0;
}

template <typename T>
bool convert_number(bool (*to)(PyObject*, T*), PyObject* value, Value& out)
{
    T number{};
    if (!to(value, &number))
        return false;
    out.emplace<T>(number);
    return true;
}

bool convert(const Field& field, PyObject* value, Value& out)
{
    switch (field.kind)
    {
    case Kind::Int32:
        return convert_number(to_int32, value, out);
    case Kind::Double:
        return convert_number(to_double, value, out);
    case Kind::UInt64:
        return convert_number(to_uint64, value, out);
    case Kind::Bool:
        return convert_number(to_bool, value, out);
    case Kind::List:
        if (!check_exact(value, &PyList_Type, "list"))
            return false;
        break;
    case Kind::ByteArray:
        if (!check_exact(value, &PyByteArray_Type, "bytearray"))
            return false;
        break;
    case Kind::Text:
        if (value != Py_None && !PyUnicode_Check(value))
            return refuse(value, "str");
        break;
    case Kind::Object:
        break;
    }
    // None is kept as null.
    out.emplace<Ref>(value == Py_None ? nullptr : cppy::incref(value));
    return true;
}

void store(PyObject* self, const Field& field, Value& value)
{
    std::visit(
        [&](auto& held) {
            using T = std::decay_t<decltype(held)>;
            // The field holds the new value before the old one is released, so
            // code run by that release sees a consistent object.
            if constexpr (std::is_same_v<T, Ref>)
                slot<Ref>(self, field).set(held.release());
            else
                slot<T>(self, field) = held;
        },
        value);
}

}  // namespace

bool to_int32(PyObject* value, int32_t* out)
{
    Ref number(integer_of(value, true));
    long long result = 0;
    if (!bounded(number.get(), INT32_MIN, INT32_MAX, &result, PyExc_OverflowError,
                 "value too large to convert to int"))
        return false;
    *out = static_cast<int32_t>(result);
    return true;
}

bool to_uint64(PyObject* value, uint64_t* out)
{
    Ref number(integer_of(value, true));
    long long result = 0;
    Range where = number ? in_range(number.get(), 0, LLONG_MAX, &result) : Range::Failed;
    if (where == Range::Below)
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to unsigned long");
    if (where == Range::Inside)
        *out = static_cast<uint64_t>(result);
    if (where != Range::Above)
        return where == Range::Inside;
    unsigned long long large = PyLong_AsUnsignedLongLong(number.get());
    if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred())
    {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to unsigned long");
        return false;
    }
    *out = large;
    return true;
}

bool to_double(PyObject* value, double* out)
{
    return stream::result_as_double(value, out);
}

bool assign(PyObject* self, const Field& field, PyObject* value)
{
    Value converted;
    if (!convert(field, value, converted))
        return false;
    store(self, field, converted);
    return true;
}

bool has_instance_dict(PyTypeObject* type)
{
#ifdef Py_TPFLAGS_MANAGED_DICT
    if (type->tp_flags & Py_TPFLAGS_MANAGED_DICT)
        return true;
#endif
    return type->tp_dictoffset != 0;
}

FieldSet::FieldSet(const char* type_name, std::vector<Field> fields, size_t base)
    : m_type_name(type_name), m_fields(std::move(fields))
{
    for (size_t i = 0; i < m_fields.size(); ++i)
    {
        m_fields[i].offset += base;
        m_alphabetical.push_back(i);
    }
    std::sort(m_alphabetical.begin(), m_alphabetical.end(), [this](size_t a, size_t b) {
        return std::strcmp(m_fields[a].name, m_fields[b].name) < 0;
    });
    for (Field& field : m_fields)
    {
        m_getset.push_back({field.name, guarded<get_field>, guarded<set_field>, field.doc, &field});
        m_names.push_back(field.name);
    }
    m_getset.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
}

PyObject* FieldSet::reduce(PyObject* self) const
{
    const bool with_dict = has_instance_dict(Py_TYPE(self));
    const Py_ssize_t count = static_cast<Py_ssize_t>(m_fields.size());
    Ref state(PyTuple_New(count + (with_dict ? 1 : 0)));
    if (!state)
        return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i)
    {
        const Field& field = m_fields[m_alphabetical[static_cast<size_t>(i)]];
        PyObject* value = get_field(self, const_cast<Field*>(&field));
        if (!value)
            return nullptr;
        PyTuple_SET_ITEM(state.get(), i, value);
    }
    if (with_dict)
    {
        PyObject* dict = PyObject_GenericGetDict(self, nullptr);
        if (!dict)
            return nullptr;
        PyTuple_SET_ITEM(state.get(), count, dict);
    }
    // Unpickling makes the object with type.__new__ alone, so a subclass
    // whose __init__ takes arguments pickles too.
    Ref copyreg(PyImport_ImportModule("copyreg"));
    if (!copyreg)
        return nullptr;
    Ref newobj(PyObject_GetAttrString(copyreg.get(), "__newobj__"));
    if (!newobj)
        return nullptr;
    return Py_BuildValue("(O(O)O)", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                         state.get());
}

bool FieldSet::has_objects() const
{
    for (const Field& field : m_fields)
        if (is_object(field.kind))
            return true;
    return false;
}

bool FieldSet::init(PyObject* self, PyObject* args, PyObject* kwargs) const
{
    const char* dot = std::strrchr(m_type_name, '.');
    const char* short_name = dot ? dot + 1 : m_type_name;
    std::vector<PyObject*> values(m_fields.size());
    if (!bind_constructor(short_name, args, kwargs, m_names.data(), static_cast<int>(m_names.size()),
                          values.data()))
        return false;
    for (size_t i = 0; i < m_fields.size(); ++i)
        if (!assign(self, m_fields[i], values[i]))
            return false;
    return true;
}

bool FieldSet::set_state(PyObject* self, PyObject* state) const
{
    const Py_ssize_t count = static_cast<Py_ssize_t>(m_fields.size());
    const bool with_dict = has_instance_dict(Py_TYPE(self));
    if (!PyTuple_Check(state) ||
        (PyTuple_GET_SIZE(state) != count && !(with_dict && PyTuple_GET_SIZE(state) == count + 1)))
    {
        PyErr_Format(PyExc_TypeError, "%s state must be a tuple of %zd values",
                     Py_TYPE(self)->tp_name, count);
        return false;
    }
    std::vector<Value> values(m_fields.size());
    for (Py_ssize_t i = 0; i < count; ++i)
        if (!convert(m_fields[m_alphabetical[static_cast<size_t>(i)]], PyTuple_GET_ITEM(state, i),
                     values[static_cast<size_t>(i)]))
            return false;
    if (PyTuple_GET_SIZE(state) == count + 1)
    {
        Ref dict(PyObject_GenericGetDict(self, nullptr));
        if (!dict || PyDict_Update(dict.get(), PyTuple_GET_ITEM(state, count)) < 0)
            return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i)
        store(self, m_fields[m_alphabetical[static_cast<size_t>(i)]], values[static_cast<size_t>(i)]);
    return true;
}

PyObject* FieldSet::allocate(PyTypeObject* type) const
{
    PyObject* self = type->tp_alloc(type, 0);
    if (self)
        for (const Field& field : m_fields)
            if (is_object(field.kind))
                new (&slot<Ref>(self, field)) Ref();
    return self;
}

int FieldSet::traverse(PyObject* self, visitproc visit, void* arg) const
{
    for (const Field& field : m_fields)
        if (is_object(field.kind))
            Py_VISIT(slot<Ref>(self, field).get());
    Py_VISIT(Py_TYPE(self));
    return 0;
}

void FieldSet::clear(PyObject* self) const
{
    for (const Field& field : m_fields)
        if (is_object(field.kind))
            slot<Ref>(self, field).set(nullptr);
}

void FieldSet::destroy(PyObject* self) const
{
    for (const Field& field : m_fields)
        if (is_object(field.kind))
            slot<Ref>(self, field).~Ref();
}

bool add_type(PyObject* module, const FieldSet& set, int basicsize, std::vector<PyType_Slot> slots,
              PyObject*& state_slot)
{
    slots.push_back({0, nullptr});
    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    if (set.has_objects())
        flags |= Py_TPFLAGS_HAVE_GC;
    PyType_Spec spec = {set.type_name(), basicsize, 0, flags, slots.data()};
    PyObject* type = PyType_FromModuleAndSpec(module, &spec, nullptr);
    if (!type)
        return false;
    state_slot = type;
    const char* dot = std::strrchr(set.type_name(), '.');
    return PyModule_AddObjectRef(module, dot ? dot + 1 : set.type_name(), type) == 0;
}

}  // namespace vexlo::fields
