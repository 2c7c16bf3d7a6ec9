// Instrument queries and settings of _SerialCommunicationInterface.
#include "subsystems.hpp"

namespace vexlo
{

MemberList interface_query_members()
{
    return {};
}

}  // namespace vexlo
