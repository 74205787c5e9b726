// Text services whose rules belong to the platform.
#pragma once

#include <string>
#include <string_view>

namespace updater {

// The platform's Unicode lower-casing of a whole UTF-8 text.
std::string LowerCaseText(std::string_view text);

// Converts a name in the system's ANSI code page to UTF-8. ASCII comes out
// unchanged.
std::string AnsiToUtf8(std::string_view ansi);

}  // namespace updater
