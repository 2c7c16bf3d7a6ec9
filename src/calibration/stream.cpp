// Stream conversion: StreamReading, StreamConversionResult, StreamDataConverter.
//
// The packet scan lives in stream_core.hpp. When the converter is exactly an
// ADCConverter with its native operations, a packet costs one C++ conversion
// and one StreamReading; any other converter is asked through convert_adc,
// looked up by name for every packet.
#include "common/ref.hpp"

#include <memory>
#include <new>

#include "calibration/adc_converter.hpp"
#include "common/converter_result.hpp"
#include "common/fields.hpp"
#include "calibration/stream_core.hpp"
#include "common/args.hpp"
#include "common/boundary.hpp"
#include "common/buffer.hpp"
#include "common/call.hpp"
#include "common/errors.hpp"
#include "common/log.hpp"
#include "common/message.hpp"
#include "common/state.hpp"
#include "subsystems.hpp"

namespace vexlo
{

namespace
{

// --- StreamReading ------------------------------------------------------------

struct StreamReadingObject
{
    PyObject_HEAD
    double calibrated_value;
    uint64_t adc_value;
};

fields::FieldSet& reading_fields()
{
    static fields::FieldSet set("vexlo_device_communication.StreamReading", {
        VEXLO_FIELD(StreamReadingObject, calibrated_value, Double, "The value returned by the converter."),
        VEXLO_FIELD(StreamReadingObject, adc_value, UInt64, "The ADC count of the packet."),
    });
    return set;
}

// A reading made directly, without the argument handling of a call to the
// class: the per-packet cost of the stream.
PyObject* new_reading(PyTypeObject* type, double calibrated_value, uint64_t adc_value)
{
    StreamReadingObject* reading = PyObject_New(StreamReadingObject, type);
    if (!reading)
        return nullptr;
    reading->calibrated_value = calibrated_value;
    reading->adc_value = adc_value;
    return reinterpret_cast<PyObject*>(reading);
}

PyObject* reading_repr(PyObject* self)
{
    auto* reading = reinterpret_cast<StreamReadingObject*>(self);
    Ref name(PyType_GetName(Py_TYPE(self)));
    Ref value(PyFloat_FromDouble(reading->calibrated_value));
    Ref count(PyLong_FromUnsignedLongLong(reading->adc_value));
    if (!name || !value || !count)
        return nullptr;
    return PyUnicode_FromFormat("%U(calibrated_value=%R, adc_value=%R)", name.get(), value.get(),
                                count.get());
}

// First lines: the constructor's text signature (kept out of __doc__).
const char* const kReadingDoc =
    "StreamReading(calibrated_value, adc_value)\n--\n\n"
    "One converted stream sample.\n"
    "\n"
    ":param calibrated_value: The calibrated value (anything that converts to a float).\n"
    ":param adc_value: The ADC count, a non-negative integer.\n"
    ":raises OverflowError: If adc_value is negative.\n"
    ":raises TypeError: If adc_value has no integer conversion.";

// --- StreamConversionResult ---------------------------------------------------

struct StreamConversionResultObject
{
    PyObject_HEAD
    Ref readings;   // a list, or null for None
    Ref remainder;  // a bytearray, or null for None
};

StreamConversionResultObject* as_result(PyObject* self)
{
    return reinterpret_cast<StreamConversionResultObject*>(self);
}

fields::FieldSet& result_fields()
{
    static fields::FieldSet set("vexlo_device_communication.StreamConversionResult", {
        VEXLO_FIELD(StreamConversionResultObject, readings, List,
                    "The readings, in buffer order (a list of StreamReading, or None)."),
        VEXLO_FIELD(StreamConversionResultObject, remainder, ByteArray,
                    "The bytes left after the last packet, to put in front of the next buffer "
                    "(a bytearray, or None)."),
    });
    return set;
}

const char* const kResultDoc =
    "StreamConversionResult(readings, remainder)\n--\n\n"
    "The readings of one stream buffer and the bytes left over.\n"
    "\n"
    ":param readings: The readings in buffer order: exactly a list, or None.\n"
    ":param remainder: The unfinished packet at the end: exactly a bytearray, or None.\n"
    ":raises TypeError: If an argument has another type.";

PyObject* new_result(ModuleState* state, Ref readings, Ref remainder)
{
    PyTypeObject* type = type_of(state->StreamConversionResultType);
    Ref result(result_fields().allocate(type));
    if (!result)
        return nullptr;
    as_result(result.get())->readings = readings;
    as_result(result.get())->remainder = remainder;
    return result.release();
}

// --- StreamDataConverter ------------------------------------------------------

struct Sample
{
    double value;
    uint64_t count;
};

// The readings of a converter that is exactly ADCConverter with its native
// operations. No Python code runs until the readings are made, so the
// calibration cannot change meanwhile; converting every packet first, in a
// loop without calls, lets the divisions overlap.
template <typename Packet>
PyObject* readings_native(const adc::Calibration& native, const BufferView& view,
                          PyTypeObject* reading_type, stream::ScanResult* scanned)
{
    const adc::Calibration calibration = native;
    // Packets do not overlap, so there are at most size / P of them.
    std::unique_ptr<Sample[]> samples(new (std::nothrow) Sample[view.size() / Packet::size]);
    if (!samples)
        return PyErr_NoMemory();
    size_t taken = 0;
    *scanned = stream::scan<Packet>(view.bytes(), view.size(), [&](uint64_t count, size_t) {
        Sample& sample = samples[taken++];
        sample.value = adc::convert(calibration, count);
        sample.count = count;
        return stream::Outcome::Accepted;
    });
    Ref readings(PyList_New(static_cast<Py_ssize_t>(taken)));
    if (!readings)
        return nullptr;
    for (size_t i = 0; i < taken; ++i)
    {
        PyObject* reading = new_reading(reading_type, samples[i].value, samples[i].count);
        if (!reading)
            return nullptr;
        PyList_SET_ITEM(readings.get(), static_cast<Py_ssize_t>(i), reading);
    }
    return readings.release();
}

// The readings of any other converter: convert_adc is looked up by name for
// every packet, and its three expected kinds of failure skip the position.
template <typename Packet>
PyObject* readings_by_name(PyObject* module, PyObject* converter, const BufferView& view,
                           PyTypeObject* reading_type, stream::ScanResult* scanned)
{
    Ref readings(PyList_New(0));
    if (!readings)
        return nullptr;
    *scanned = stream::scan<Packet>(view.bytes(), view.size(), [&](uint64_t count, size_t index) {
        Ref number(PyLong_FromUnsignedLongLong(count));
        if (!number)
            return stream::Outcome::Abort;
        Ref value(call_method(converter, VEXLO_NAME("convert_adc"), number.get()));
        double calibrated = 0.0;
        if (value && fields::to_double(value.get(), &calibrated))
        {
            Ref reading(new_reading(reading_type, calibrated, count));
            if (!reading || PyList_Append(readings.get(), reading.get()) < 0)
                return stream::Outcome::Abort;
            return stream::Outcome::Accepted;
        }
        Ref error(fetch_exception());
        if (!stream::skips_position(error.get()))
        {
            restore_exception(error);
            return stream::Outcome::Abort;
        }
        if (!log(module, Level::Warning,
                 Message() << "ADC conversion failed at index " << static_cast<long long>(index)
                           << ": " << error))
            return stream::Outcome::Abort;
        return stream::Outcome::Rejected;
    });
    return scanned->aborted ? nullptr : readings.release();
}

template <typename Packet>
PyObject* convert_stream(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    PyObject* a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"data", "adc_converter"}, 2, a))
        return nullptr;
    PyObject* data = a[0];
    PyObject* converter = a[1];
    ModuleState* st = state_of(fn->module);
    if (data == Py_None)
        return raise_text(PyExc_TypeError, "object of type 'NoneType' has no len()");
    const bool is_bytes = PyBytes_Check(data);
    if (!is_bytes && !PyByteArray_CheckExact(data))
    {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytearray", Py_TYPE(data)->tp_name);
        return nullptr;
    }
    BufferView view;
    if (!view.open(data))
        return nullptr;

    if (view.size() < Packet::size)
    {
        // Too short for one packet: the buffer itself is the remainder (a
        // bytes argument becomes a bytearray).
        Ref buffer(is_bytes ? PyByteArray_FromStringAndSize(
                                        reinterpret_cast<const char*>(view.bytes()),
                                        static_cast<Py_ssize_t>(view.size()))
                                  : cppy::incref(data));
        Ref readings(PyList_New(0));
        if (!buffer || !readings)
            return nullptr;
        return new_result(st, readings, buffer);
    }

    PyTypeObject* reading_type = type_of(st->StreamReadingType);
    stream::ScanResult scanned{};
    const adc::Calibration* native = native_calibration(fn->module, converter);
    Ref readings(native ? readings_native<Packet>(*native, view, reading_type, &scanned)
                              : readings_by_name<Packet>(fn->module, converter, view, reading_type,
                                                         &scanned));
    if (!readings)
        return nullptr;
    if (scanned.invalid > 0 &&
        !log(fn->module, Level::Warning,
             Message() << "Stream conversion: " << static_cast<long long>(scanned.invalid)
                       << " invalid/corrupted packets detected"))
        return nullptr;
    const size_t rest = view.size() - scanned.next;
    Ref remainder(PyByteArray_FromStringAndSize(
        reinterpret_cast<const char*>(view.bytes() + scanned.next), static_cast<Py_ssize_t>(rest)));
    if (!remainder)
        return nullptr;
    int wanted = debug_wanted(fn->module);
    if (wanted < 0 || (wanted && !log(fn->module, Level::Debug,
                                      Message() << "Converted " << static_cast<long long>(PyList_GET_SIZE(readings.get()))
                                                << " readings, " << static_cast<long long>(rest) << " remainder bytes")))
        return nullptr;
    return new_result(st, readings, remainder);
}

const char* const kConvertDoc =
    "Convert a buffer of four-byte stream packets into calibrated readings.\n\n"
    ":param data: The stream bytes, the previous remainder in front (bytes or bytearray).\n"
    ":param adc_converter: The converter whose convert_adc turns each count into a value.\n"
    ":return: A StreamConversionResult with the readings and the unfinished bytes.\n"
    ":raises TypeError: If data is neither bytes nor a bytearray.";

const char* const kConvert38kHzDoc =
    "Convert a buffer of three-byte stream packets (38400 samples per second).\n\n"
    ":param data: The stream bytes, the previous remainder in front (bytes or bytearray).\n"
    ":param adc_converter: The converter whose convert_adc turns each count into a value.\n"
    ":return: A StreamConversionResult with the readings and the unfinished bytes.\n"
    ":raises TypeError: If data is neither bytes nor a bytearray.";

}  // namespace

const char* const stream_converter_doc =
    "Conversion of raw stream buffers into calibrated readings.\n\n"
    "Packets are found by their checksums; corrupted bytes are skipped and counted, and\n"
    "the bytes of an unfinished packet at the end are handed back as the remainder.";

bool add_stream_types(PyObject* module)
{
    ModuleState* st = state_of(module);
    void* repr = reinterpret_cast<void*>(guarded<reading_repr>);
    return fields::add_value_type<reading_fields>(module, sizeof(StreamReadingObject), kReadingDoc,
                                                  st->StreamReadingType, {{Py_tp_repr, repr}}) &&
           fields::add_value_type<result_fields>(module, sizeof(StreamConversionResultObject), kResultDoc,
                                                 st->StreamConversionResultType);
}

MemberList stream_converter_members()
{
    return {
        {"convert_stream_data_to_reading", convert_stream<stream::FourBytePacket>, "(data, adc_converter)",
         kConvertDoc, MemberKind::StaticMethod},
        {"convert_stream_data_to_reading_38_kHz", convert_stream<stream::ThreeBytePacket>,
         "(data, adc_converter)", kConvert38kHzDoc, MemberKind::StaticMethod},
    };
}

}  // namespace vexlo
