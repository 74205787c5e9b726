// The POSIX backend, assembled.
#include "system/platform.h"

#include "system/posix/clock.h"
#include "system/posix/console.h"
#include "system/posix/file_system.h"
#include "system/posix/internet.h"
#include "system/posix/processes.h"
#include "system/posix/version_resources.h"

namespace updater {

Platform& RealPlatform() {
  static PosixConsole console;
  static PosixFileSystem files;
  static PosixProcesses processes;
  static PosixClock clock;
  static PosixVersionResources versions;
  static CurlInternet internet;
  static Platform platform{console, files, processes, clock, versions, internet};
  return platform;
}

}  // namespace updater
