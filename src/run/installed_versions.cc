// The versions of Updater.exe and VOXA.exe installed in the program folder.
#include "run/installed_versions.h"

namespace updater {

int64_t GetInstalledVersion(Program& program, const std::string& path) {
  const std::optional<uint32_t> fileVersionMS = program.Os.Versions.FileVersionMS(path);
  return fileVersionMS ? VersionNumberFromFileVersion(*fileVersionMS) : 0;
}

void QueryInstalledVersions(Program& program) {
  // A reader that cannot be prepared reads every file as one without
  // version information.
  if (!program.Os.Versions.Load()) return;
  program.InstalledUpdaterVersion =
      GetInstalledVersion(program, program.ProgramFolder + "Updater.exe");
  program.InstalledMainVersion = GetInstalledVersion(program, program.ProgramFolder + "VOXA.exe");
}

}  // namespace updater
