// File versions on Windows, through Version.dll loaded at run time.
#include "system/win32/version_resources.h"

namespace updater {

// TODO(versions): Version.dll.
bool Win32VersionResources::Load() { return false; }

std::optional<uint32_t> Win32VersionResources::FileVersionMS(const std::string&) {
  return std::nullopt;
}

}  // namespace updater
