// Element conversions used when frames are built from Python values.
#pragma once

#include <Python.h>
#include <cstdint>

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

}  // namespace vexlo
