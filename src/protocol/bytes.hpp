// Element conversions used when frames are built from Python values.
#pragma once

#include <Python.h>
#include <cstdint>
#include <vector>

namespace vexlo
{

// As bytearray does for one element: TypeError for a non-integer, ValueError
// "byte must be in range(0, 256)" otherwise out of range.
bool byte_like_bytearray(PyObject* value, uint8_t* out);

// As a conversion to unsigned char: TypeError "an integer is required",
// OverflowError "can't convert negative value to unsigned char" or
// "value too large to convert to unsigned char". `truncate_floats` lets
// objects with __int__ (floats) through, truncated toward zero.
bool unsigned_char(PyObject* value, uint8_t* out, bool truncate_floats);

// The elements of `sequence` as bytes, each through unsigned_char. bytes and
// bytearray are copied as they are, lists and tuples read by index, anything
// else iterated.
bool collect_bytes(PyObject* sequence, bool truncate_floats, std::vector<uint8_t>& out);

// A new bytearray holding `size` bytes of `data` (none by default): the
// argument bytes of a command, a fresh object for every exchange.
inline PyObject* new_bytearray(const uint8_t* data = nullptr, size_t size = 0)
{
    return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(data),
                                         static_cast<Py_ssize_t>(size));
}

}  // namespace vexlo
