// The versions of Updater.exe and VOXA.exe installed in the program folder.
#include "run/installed_versions.h"

namespace updater {

int64_t VersionNumberFromFileVersion(uint32_t fileVersionMS) {
  const uint32_t major = fileVersionMS >> 16;
  const uint32_t minor = fileVersionMS & 0xFFFF;
  // Appending the minor digits shifts the major part by their count, with at
  // least two digits: 1.5 -> 1|05, 1.123 -> 1|123.
  int64_t shift = 100;
  while (shift <= minor) shift *= 10;
  return static_cast<int64_t>(major) * shift + minor;
}

int64_t GetInstalledVersion(Program& program, const std::string& path) {
  const std::optional<uint32_t> fileVersionMS = program.os.versions.FileVersionMS(path);
  return fileVersionMS ? VersionNumberFromFileVersion(*fileVersionMS) : 0;
}

void QueryInstalledVersions(Program& program) {
  // A reader that cannot be prepared reads every file as one without
  // version information.
  if (!program.os.versions.Load()) return;
  program.InstalledUpdaterVersion =
      GetInstalledVersion(program, program.ProgramFolder + "Updater.exe");
  program.InstalledMainVersion = GetInstalledVersion(program, program.ProgramFolder + "VOXA.exe");
}

}  // namespace updater
