// The ADC arithmetic: one profile's calibration and the conversion of a raw
// count into a calibrated value. Plain C++, no Python objects.
//
// Every formula is written one operation per statement, in the order that
// fixes its rounding; the build turns floating-point contraction off so that
// no multiply-add is fused.
#pragma once

#include <cmath>
#include <cstdint>

namespace vexlo::adc
{

struct Calibration
{
    int32_t number_of_loading_points = 0;
    double direction_1_offset_load = 0.0;
    double direction_1_fullscale_load = 0.0;
    double direction_1_offset_value = 0.0;
    double direction_1_fullscale_value = 0.0;
    double direction_2_offset_load = 0.0;
    double direction_2_fullscale_load = 0.0;
    double direction_2_offset_value = 0.0;
    double direction_2_fullscale_value = 0.0;
    double scale_factor = 1.0;
    double offset = 0.0;
    int32_t number_of_directions = 1;
    double midpoint_offset = 0.0;
};

// Linear interpolation from the offset point (taken as zero load), then the
// scale factor and the offset. No guard on the division: a degenerate point
// gives an infinity or NaN, as IEEE arithmetic has it.
inline double interpolate(const Calibration& c, double x, double offset_value, double fullscale_load,
                          double fullscale_value)
{
    const double t1 = x - offset_value;
    const double t2 = t1 * fullscale_load;
    const double t3 = fullscale_value - offset_value;
    const double t4 = t2 / t3;
    const double scaled = t4 * c.scale_factor;
    return scaled + c.offset;
}

inline double direction_1(const Calibration& c, uint64_t count)
{
    return interpolate(c, static_cast<double>(count), c.direction_1_offset_value,
                       c.direction_1_fullscale_load, c.direction_1_fullscale_value);
}

// Direction 2 reads negative loads: the whole result, offset included, is
// negated.
inline double direction_2(const Calibration& c, uint64_t count)
{
    return -interpolate(c, static_cast<double>(count), c.direction_2_offset_value,
                        c.direction_2_fullscale_load, c.direction_2_fullscale_value);
}

// The count halfway between the two offset counts.
inline double midpoint(const Calibration& c)
{
    const double half = (c.direction_1_offset_value - c.direction_2_offset_value) * 0.5;
    return c.direction_1_offset_value - half;
}

enum class CountError
{
    None,
    Negative,
    NotANumber,
    TooLarge
};

constexpr double kTwoTo64 = 18446744073709551616.0;

// A reading truncated toward zero to an unsigned 64-bit count. Readings
// outside the range are reported rather than converted (a C conversion of
// them would be undefined).
inline CountError count_from_reading(double reading, uint64_t* count)
{
    if (std::isnan(reading))
        return CountError::NotANumber;
    const double whole = std::trunc(reading);
    if (whole < 0.0)
        return CountError::Negative;
    if (whole >= kTwoTo64)
        return CountError::TooLarge;
    *count = static_cast<uint64_t>(whole);
    return CountError::None;
}

// The midpoint as an unsigned count for the integer comparisons. A negative
// or NaN midpoint counts as 0; one beyond the range as the largest count.
inline uint64_t midpoint_count(double value)
{
    if (!(value >= 1.0))
        return 0;
    if (value >= kTwoTo64)
        return UINT64_MAX;
    return static_cast<uint64_t>(value);
}

enum class Route
{
    Zero,
    Direction1,
    Direction2
};

// Which direction converts `count`. The comparisons with the calibration
// points are double comparisons with the count as a double; those with the
// midpoint are integer comparisons.
inline Route route(const Calibration& c, uint64_t count)
{
    if (c.number_of_directions != 1)
        return Route::Direction1;
    const double x = static_cast<double>(count);
    const double o1 = c.direction_1_offset_value;
    const double f1 = c.direction_1_fullscale_value;
    const double o2 = c.direction_2_offset_value;
    const double f2 = c.direction_2_fullscale_value;
    const uint64_t mu = midpoint_count(c.midpoint_offset);
    if (f1 > o1)
    {
        // Direction 1 rises: below the midpoint is direction 2.
        if (o2 > o1)
            return count < mu ? Route::Direction2 : Route::Direction1;
        if (x >= o1)
            return Route::Direction1;
        if (x <= o2)
            return Route::Direction2;
        return count < mu ? Route::Direction2 : Route::Direction1;
    }
    // Direction 1 does not rise: above the midpoint is direction 2.
    if (o1 <= f2)
        return Route::Zero;
    if (x < f1 || (f2 <= x && x <= o1))
        return Route::Direction1;
    if (o1 < x && x < o2)
        return count > mu ? Route::Direction2 : Route::Direction1;
    return Route::Direction2;
}

// convert_adc when neither direction operation is overridden.
inline double convert(const Calibration& c, uint64_t count)
{
    switch (route(c, count))
    {
    case Route::Direction1:
        return direction_1(c, count);
    case Route::Direction2:
        return direction_2(c, count);
    case Route::Zero:
        break;
    }
    return 0.0;
}

}  // namespace vexlo::adc
