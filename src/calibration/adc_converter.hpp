// What the stream conversion needs from ADCConverter.
#pragma once

#include <Python.h>

#include "calibration/adc_core.hpp"

namespace vexlo
{

struct ADCConverterObject
{
    PyObject_HEAD
    adc::Calibration calibration;
};

// The calibration of `converter` when it is exactly an ADCConverter whose
// class still has the native convert_adc and direction operations, so that
// adc::convert gives what converter.convert_adc would; null otherwise.
// Cannot fail.
const adc::Calibration* native_calibration(PyObject* module, PyObject* converter);

}  // namespace vexlo
