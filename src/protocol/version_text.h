// Version numbers: from a program's file version, and as the console shows
// them.
#pragma once

#include <cstdint>
#include <string>

namespace updater {

// The version number of a dwFileVersionMS word: the decimal digits of the
// major part (high 16 bits) followed by those of the minor part (low 16
// bits), the minor part written with at least two digits. 1.5 gives 105,
// 10.50 gives 1050, 1.123 gives 1123.
int64_t VersionNumberFromFileVersion(uint32_t fileVersionMS);

// A version in hundredths as text with a point before the last two digits:
// 105 gives "1.05", 5 gives "0.05", 1234 gives "12.34". A negative version
// keeps its "-", which counts as a digit position: -5 gives "0.-5" and -105
// gives "-1.05".
std::string VersionText(int64_t version);

}  // namespace updater
