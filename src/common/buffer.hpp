// A read-only buffer view of a Python object (bytes, bytearray, memoryview)
// held for the time of one operation. Holding the export keeps a bytearray
// from being resized (and its memory moved) by Python code that runs
// meanwhile: a converter, a logging handler, a signal handler.
#pragma once

#include <Python.h>
#include <cstddef>
#include <cstdint>

#include "common/compat.hpp"

namespace vexlo
{

class BufferView
{
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    // False with the interpreter's error set when `data` has no buffer.
    bool open(PyObject* data) { return m_open = PyObject_GetBuffer(data, &m_view, PyBUF_SIMPLE) == 0; }

    ~BufferView()
    {
        if (m_open && compat::holds_gil())  // see common/ref.hpp
            PyBuffer_Release(&m_view);
    }

    const uint8_t* bytes() const { return static_cast<const uint8_t*>(m_view.buf); }
    size_t size() const { return static_cast<size_t>(m_view.len); }

private:
    Py_buffer m_view{};
    bool m_open = false;
};

}  // namespace vexlo
