// The versions of Updater.exe and VOXA.exe installed in the program folder.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/version_text.h"
#include "system/version_resources.h"

namespace updater {

// Version numbers in hundredths (1.05 is 105); 0 for a program that is
// missing or has no version information.
struct InstalledVersions {
  int64_t Updater = 0;  // Updater.exe
  int64_t Main = 0;     // VOXA.exe
};

// The version number of the file at `path`; 0 when it is missing, has no
// version information or cannot be read. Prints nothing.
int64_t GetInstalledVersion(VersionResources& versions, const std::string& path);

// Prepares the version reader once and reads the versions of
// `programFolder` + "Updater.exe" and "VOXA.exe". When the reader cannot be
// prepared both are 0.
InstalledVersions QueryInstalledVersions(VersionResources& versions,
                                         const std::string& programFolder);

}  // namespace updater
