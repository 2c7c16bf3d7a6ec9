#include "protocol/bytes.hpp"

#include "common/args.hpp"
#include "common/interrupt.hpp"
#include "common/ref.hpp"

namespace vexlo
{

bool byte_like_bytearray(PyObject* value, uint8_t* out)
{
    if (PyLong_CheckExact(value))
    {
        // The common case, read at once; anything else takes the general path.
        int overflow = 0;
        long number = PyLong_AsLongAndOverflow(value, &overflow);
        if (!overflow && number >= 0 && number <= 255)
        {
            *out = static_cast<uint8_t>(number);
            return true;
        }
    }
    Ref index(PyNumber_Index(value));
    long long number = 0;
    if (!bounded(index.get(), 0, 255, &number, PyExc_ValueError, "byte must be in range(0, 256)"))
        return false;
    *out = static_cast<uint8_t>(number);
    return true;
}

bool unsigned_char(PyObject* value, uint8_t* out, bool truncate_floats)
{
    Ref number(integer_of(value, truncate_floats));
    long long result = 0;
    if (!bounded(number.get(), 0, 255, &result, PyExc_OverflowError, "can't convert negative value to unsigned char",
                 "value too large to convert to unsigned char"))
        return false;
    *out = static_cast<uint8_t>(result);
    return true;
}

bool collect_bytes(PyObject* sequence, bool truncate_floats, std::vector<uint8_t>& out)
{
    if (PyBytes_Check(sequence) || PyByteArray_Check(sequence))
    {
        const char* data = PyBytes_Check(sequence) ? PyBytes_AS_STRING(sequence)
                                                   : PyByteArray_AS_STRING(sequence);
        Py_ssize_t size = PyBytes_Check(sequence) ? PyBytes_GET_SIZE(sequence)
                                                  : PyByteArray_GET_SIZE(sequence);
        out.assign(reinterpret_cast<const uint8_t*>(data),
                   reinterpret_cast<const uint8_t*>(data) + size);
        return true;
    }
    uint8_t value = 0;
    if (PyList_Check(sequence) || PyTuple_Check(sequence))
    {
        // The size is read on every step: a conversion may run Python code
        // that shrinks a list.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence); ++i)
        {
            if (!no_interrupt(static_cast<size_t>(i)))
                return false;
            Ref item(cppy::incref(PySequence_Fast_GET_ITEM(sequence, i)));
            if (!unsigned_char(item.get(), &value, truncate_floats))
                return false;
            out.push_back(value);
        }
        return true;
    }
    Ref iterator(PyObject_GetIter(sequence));
    if (!iterator)
        return false;
    for (size_t step = 0;; ++step)
    {
        if (!no_interrupt(step))
            return false;
        Ref item(PyIter_Next(iterator.get()));
        if (!item)
            break;
        if (!unsigned_char(item.get(), &value, truncate_floats))
            return false;
        out.push_back(value);
    }
    return !PyErr_Occurred();
}

}  // namespace vexlo
