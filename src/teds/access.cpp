// TEDS access on the instrument (methods of _SerialCommunicationInterface).
#include "subsystems.hpp"

namespace vexlo
{

MemberList interface_teds_members()
{
    return {};
}

}  // namespace vexlo
