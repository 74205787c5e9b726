// The whole updater program as the run sequence holds it: the settings of
// the command line and the services of the run. The stages take the parts
// they use (RunSettings, RunServices, the CheckSession of the check), never
// the whole; only the run sequence (run_main.h) and the entry points do.
#pragma once

#include <cstdint>

#include "run/run_services.h"
#include "run/run_settings.h"
#include "system/platform.h"

namespace updater {

struct Program {
  explicit Program(Platform& platform) : Services(platform, Settings) {}
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Filled from the command line at the start of the run, then fixed.
  RunSettings Settings;
  RunServices Services;
  // The exit code of the closing prompt: 1 after a -onlycheck run that found
  // updates, else 0.
  int64_t CheckResult = 0;
};

}  // namespace updater
