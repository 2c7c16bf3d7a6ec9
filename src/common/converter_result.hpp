// How stream conversion takes what a converter's own convert_adc gives:
// shared by the module's conversion into readings and the toolkit's
// conversion into arrays, so that both keep and skip the same packets.
#pragma once

#include <Python.h>

namespace vexlo::stream
{

// The result as a double, as float() takes it (and as the float attributes
// of the value classes store it).
inline bool result_as_double(PyObject* value, double* out)
{
    if (PyFloat_CheckExact(value))
    {
        *out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    // What float(int) does, without the float object it would make on the way.
    double result = PyLong_CheckExact(value) ? PyLong_AsDouble(value) : PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred())
        return false;
    *out = result;
    return true;
}

// The kinds of failure of convert_adc that skip a position rather than end
// the conversion.
inline bool skips_position(PyObject* error)
{
    return PyErr_GivenExceptionMatches(error, PyExc_ValueError) ||
           PyErr_GivenExceptionMatches(error, PyExc_ZeroDivisionError) ||
           PyErr_GivenExceptionMatches(error, PyExc_AttributeError);
}

}  // namespace vexlo::stream
