// The Windows backend, assembled.
#include "system/platform.h"

#include "system/win32/clock.h"
#include "system/win32/console.h"
#include "system/win32/file_system.h"
#include "system/win32/internet.h"
#include "system/win32/processes.h"
#include "system/win32/version_resources.h"

namespace updater {

Platform& RealPlatform() {
  static Win32Console console;
  static Win32FileSystem files;
  static Win32Processes processes;
  static Win32Clock clock;
  static Win32VersionResources versions;
  static WinInetInternet internet;
  static Platform platform{console, files, processes, clock, versions, internet};
  return platform;
}

}  // namespace updater
