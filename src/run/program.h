// The program state block: every program-wide value of one updater run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run/run_settings.h"
#include "system/platform.h"

namespace updater {

struct SelectedUpdate {
  std::string name;         // shown to the user
  std::string packageFile;  // relative to the server's base URL
};

struct Program {
  explicit Program(Platform& platform) : os(platform) {}

  Platform& os;
  RunSettings settings;
  // The folder of the running executable, ending with its separator.
  std::string programFolder;
  int64_t checkResult = 0;  // 1 after a -onlycheck run that found updates
  int64_t exitCode = 0;     // written only by EndProgram
  int64_t installedUpdaterVersion = 0;
  int64_t installedMainVersion = 0;
  // Base URLs of the update servers not yet tried, each ending with "/".
  std::vector<std::string> serverList;
  std::vector<SelectedUpdate> selectedUpdates;

  std::string UpdateFolder() const { return programFolder + "Update\\"; }
};

}  // namespace updater
