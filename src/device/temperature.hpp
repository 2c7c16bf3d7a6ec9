// Board temperature: the instrument reports its board sensor as a raw count
// of a 24-bit converter; this turns the count into degrees Celsius.
#pragma once

namespace vexlo
{

namespace board_temperature
{

constexpr long long kAdcMax = 16777215;           // full scale of the 24-bit count
constexpr double kBaseY1 = 1200;
constexpr double kM2 = 6990.506666666667;         // 16777216 / 2400
constexpr double kRef = 80;
constexpr double kSlope = 0.28;
constexpr double kOffsetDegC = -40;

// `difference` is kAdcMax minus the raw count, taken exactly as an integer
// and then rounded once to a double; the operations below keep the order in
// which the instrument's reference formula evaluates them, so results match
// it to the last bit.
inline double celsius_from_difference(double difference)
{
    const double output = kBaseY1 - difference / kM2;
    return kOffsetDegC + (output - kRef) / kSlope;
}

}  // namespace board_temperature

}  // namespace vexlo
