// Loading a profile's stored calibration into a new ADCConverter.
#include "subsystems.hpp"

namespace vexlo
{

MemberList interface_calibration_members()
{
    return {};
}

}  // namespace vexlo
