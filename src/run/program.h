// The program state block: every program-wide value of one updater run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packages/package_reader.h"
#include "run/run_settings.h"
#include "system/platform.h"

namespace updater {

struct SelectedUpdate {
  std::string Name;         // shown to the user
  std::string PackageFile;  // relative to the server's base URL
};

struct Program {
  explicit Program(Platform& platform) : os(platform) {}

  Platform& os;
  RunSettings Settings;
  // The folder of the running executable, ending with its separator.
  std::string ProgramFolder;
  int64_t CheckResult = 0;  // 1 after a -onlycheck run that found updates
  int64_t ExitCode = 0;     // written only by EndProgram
  int64_t InstalledUpdaterVersion = 0;
  int64_t InstalledMainVersion = 0;
  // A copy of the next updater was still waiting in the update folder at
  // start: this run follows a self-replacement.
  bool StartedAfterReplacement = false;
  // Base URLs of the update servers not yet tried, each ending with "/".
  std::vector<std::string> ServerList;
  std::vector<SelectedUpdate> SelectedUpdates;
  // The package reader's table and open package files.
  PackageReader Packages;

  std::string UpdateFolder() const { return ProgramFolder + "Update\\"; }
};

}  // namespace updater
