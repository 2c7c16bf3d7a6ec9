// Stream conversion: StreamReading, StreamConversionResult, StreamDataConverter.
#include "subsystems.hpp"

namespace vexlo
{

bool add_stream_types(PyObject*)
{
    return true;
}

MemberList stream_converter_members()
{
    return {};
}

}  // namespace vexlo
