// _SerialCommunicationInterface: the link to one instrument on one port.
#include "subsystems.hpp"

namespace vexlo
{

MemberList interface_link_members()
{
    return {};
}

}  // namespace vexlo
