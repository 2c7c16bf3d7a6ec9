// ADCConverter: one profile's calibration and the conversion of raw counts.
#include "subsystems.hpp"

namespace vexlo
{

bool add_adc_converter_type(PyObject*)
{
    return true;
}

}  // namespace vexlo
