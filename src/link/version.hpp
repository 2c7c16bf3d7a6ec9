// Firmware version text, on plain characters.
#pragma once

#include <string>

namespace vexlo
{

// The six hexadecimal digits of the firmware payload cut in pairs and joined
// by full stops ("010a03" gives "01.0a.03"; digits are kept as they stand).
// False, with `out` untouched, when `hex` is not exactly six hexadecimal digits.
bool format_firmware_version(const std::string& hex, std::string& out);

}  // namespace vexlo
