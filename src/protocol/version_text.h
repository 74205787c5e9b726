// Version numbers as the console shows them.
#pragma once

#include <cstdint>
#include <string>

namespace updater {

// A version in hundredths as text with a point before the last two digits:
// 105 gives "1.05", 5 gives "0.05", 1234 gives "12.34". A negative version
// keeps its "-", which counts as a digit position: -5 gives "0.-5" and -105
// gives "-1.05".
std::string VersionText(int64_t version);

}  // namespace updater
