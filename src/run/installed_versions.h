// The versions of Updater.exe and VOXA.exe installed in the program folder.
#pragma once

#include <cstdint>
#include <string>

#include "run/program.h"

namespace updater {

// The version number of a dwFileVersionMS word: the decimal digits of the
// major part (high 16 bits) followed by those of the minor part (low 16
// bits), the minor part written with at least two digits. 1.5 gives 105,
// 10.50 gives 1050, 1.123 gives 1123.
int64_t VersionNumberFromFileVersion(uint32_t fileVersionMS);

// The version number of the file at `path`; 0 when it is missing, has no
// version information or cannot be read. Prints nothing.
int64_t GetInstalledVersion(Program& program, const std::string& path);

// Prepares the version reader once and sets InstalledUpdaterVersion and
// InstalledMainVersion from ProgramFolder + "Updater.exe" and "VOXA.exe".
// When the reader cannot be prepared both stay 0.
void QueryInstalledVersions(Program& program);

}  // namespace updater
