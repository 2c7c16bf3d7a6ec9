#include "link/version.hpp"

#include <cctype>

namespace vexlo
{

bool format_firmware_version(const std::string& hex, std::string& out)
{
    if (hex.size() != 6)
        return false;
    for (char c : hex)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    out = hex.substr(0, 2) + "." + hex.substr(2, 2) + "." + hex.substr(4, 2);
    return true;
}

}  // namespace vexlo
