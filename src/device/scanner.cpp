// VexloSerialScanner: discovery of instruments on the host's serial ports.
#include "subsystems.hpp"

namespace vexlo
{

const char* const scanner_doc = nullptr;

MemberList scanner_members()
{
    return {};
}

}  // namespace vexlo
