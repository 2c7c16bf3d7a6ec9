// TEDS calibration and AutoTEDS (methods of VexloDevice).
#include "subsystems.hpp"

namespace vexlo
{

MemberList device_teds_members()
{
    return {};
}

}  // namespace vexlo
