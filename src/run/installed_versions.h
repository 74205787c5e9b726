// The versions of Updater.exe and VOXA.exe installed in the program folder.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/version_text.h"
#include "run/program.h"

namespace updater {

// The version number of the file at `path`; 0 when it is missing, has no
// version information or cannot be read. Prints nothing.
int64_t GetInstalledVersion(Program& program, const std::string& path);

// Prepares the version reader once and sets InstalledUpdaterVersion and
// InstalledMainVersion from ProgramFolder + "Updater.exe" and "VOXA.exe".
// When the reader cannot be prepared both stay 0.
void QueryInstalledVersions(Program& program);

}  // namespace updater
