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
  Console& console;
  FileSystem& files;
  Processes& processes;
  Clock& clock;
  VersionResources& versions;
  Internet& internet;
};

// The backend of the platform this program was built for.
Platform& RealPlatform();

}  // namespace updater
