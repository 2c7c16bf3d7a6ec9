// Arithmetic of the TEDS calibration: the stored calibration's counts per
// unit load, applied to the sensor's electrical values (mV/V), gives the ADC
// counts at the sensor's capacities.
#pragma once

#include <cmath>

namespace vexlo
{
namespace teds
{

// (numerator_a - numerator_b) / (denominator_a - denominator_b), evaluated
// in that order. False when the denominator is zero, where Python's float
// division raises.
inline bool quotient(double numerator_a, double numerator_b, double denominator_a,
                     double denominator_b, double* out)
{
    double denominator = denominator_a - denominator_b;
    if (denominator == 0.0)
        return false;
    *out = (numerator_a - numerator_b) / denominator;
    return true;
}

// Direction 1 slope: (fullscale value - offset value) / (fullscale load - offset load).
inline bool forward_slope(double offset_value, double fullscale_value, double offset_load,
                          double fullscale_load, double* out)
{
    return quotient(fullscale_value, offset_value, fullscale_load, offset_load, out);
}

// Direction 2 slope of a stored two-direction calibration, taken as a
// magnitude: the reverse count is always placed below the offset count.
inline bool reverse_slope(double offset_value, double fullscale_value, double offset_load,
                          double fullscale_load, double* out)
{
    if (!quotient(offset_value, fullscale_value, offset_load, fullscale_load, out))
        return false;
    *out = std::fabs(*out);
    return true;
}

// Count at full capacity, before truncation: slope * electrical + offset count.
inline double forward_fullscale_count(double slope, double max_electrical, double offset_value)
{
    return slope * max_electrical + offset_value;
}

// Reverse count at full capacity, before truncation: on the other side of
// the offset count.
inline double reverse_fullscale_count(double offset_value, double slope,
                                      double reverse_max_electrical)
{
    return offset_value - slope * reverse_max_electrical;
}

}  // namespace teds
}  // namespace vexlo
