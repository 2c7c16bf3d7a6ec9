#include "common/message.hpp"

namespace vexlo
{

void Message::add(PyObject* piece)
{
    if (!piece)
    {
        m_failed = true;
        return;
    }
    m_parts.emplace_back(piece);
}

Message& Message::operator<<(const char* text)
{
    if (!m_failed)
        add(PyUnicode_FromString(text));
    return *this;
}

Message& Message::operator<<(const std::string& text)
{
    if (!m_failed)
        add(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    return *this;
}

Message& Message::operator<<(PyObject* value)
{
    if (!m_failed)
        add(PyObject_Str(value));
    return *this;
}

Message& Message::operator<<(long long value)
{
    if (!m_failed)
        add(PyUnicode_FromFormat("%lld", value));
    return *this;
}

Message& Message::operator<<(double value)
{
    if (m_failed)
        return *this;
    Ref number(PyFloat_FromDouble(value));
    if (!number)
    {
        m_failed = true;
        return *this;
    }
    add(PyObject_Str(number.get()));
    return *this;
}

PyObject* Message::build()
{
    if (m_failed)
        return nullptr;
    Ref list(PyList_New(static_cast<Py_ssize_t>(m_parts.size())));
    if (!list)
        return nullptr;
    for (size_t i = 0; i < m_parts.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), cppy::incref(m_parts[i].get()));
    Ref empty(PyUnicode_FromStringAndSize("", 0));
    if (!empty)
        return nullptr;
    return PyUnicode_Join(empty.get(), list.get());
}

}  // namespace vexlo
