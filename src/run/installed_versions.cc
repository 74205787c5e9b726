// The versions of Updater.exe and VOXA.exe installed in the program folder.
#include "run/installed_versions.h"

namespace updater {

int64_t GetInstalledVersion(VersionResources& versions, const std::string& path) {
  const std::optional<uint32_t> fileVersionMS = versions.FileVersionMS(path);
  return fileVersionMS ? VersionNumberFromFileVersion(*fileVersionMS) : 0;
}

InstalledVersions QueryInstalledVersions(VersionResources& versions,
                                         const std::string& programFolder) {
  InstalledVersions installed;
  // A reader that cannot be prepared reads every file as one without
  // version information.
  if (!versions.Load()) return installed;
  installed.Updater = GetInstalledVersion(versions, programFolder + "Updater.exe");
  installed.Main = GetInstalledVersion(versions, programFolder + "VOXA.exe");
  return installed;
}

}  // namespace updater
