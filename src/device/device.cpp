// VexloDevice: the object a caller holds for one instrument.
#include "subsystems.hpp"

namespace vexlo
{

const char* const device_doc = nullptr;

MemberList device_members()
{
    return {};
}

}  // namespace vexlo
