// Everything the updater's logic asks of the operating system, in one place.
#pragma once

#include "system/clock.h"
#include "system/console.h"
#include "system/file_system.h"
#include "system/internet.h"
#include "system/processes.h"
#include "system/version_resources.h"

namespace updater {

struct Platform {
  // (Qualified where a member is named as its type.)
  updater::Console& Console;
  FileSystem& Files;
  updater::Processes& Processes;
  updater::Clock& Clock;
  VersionResources& Versions;
  updater::Internet& Internet;
};

// The backend of the platform this program was built for.
Platform& RealPlatform();

}  // namespace updater
