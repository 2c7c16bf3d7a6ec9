// Messages are joined from literal pieces and the str() of Python values, so
// numbers read exactly as Python prints them ("0.05", "1.0", "1").
#pragma once

#include <Python.h>
#include "common/ref.hpp"
#include <string>
#include <vector>

namespace vexlo
{

class Message
{
public:
    Message& operator<<(const char* text);
    Message& operator<<(const std::string& text);
    Message& operator<<(PyObject* value);  // str(value); borrowed
    Message& operator<<(const Ref& value) { return *this << value.get(); }
    Message& operator<<(long long value);
    Message& operator<<(int value) { return *this << static_cast<long long>(value); }
    Message& operator<<(long value) { return *this << static_cast<long long>(value); }
    Message& operator<<(double value);               // str(float(value))

    // New reference to the joined text, or nullptr with an exception set.
    PyObject* build();

private:
    void add(PyObject* piece);  // steals
    std::vector<Ref> m_parts;
    bool m_failed = false;
};

}  // namespace vexlo
