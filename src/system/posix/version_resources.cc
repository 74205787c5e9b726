// File versions on POSIX, read from the files themselves.
#include "system/posix/version_resources.h"

namespace updater {

bool PosixVersionResources::Load() { return true; }

// TODO(versions): read PE version resources and the ELF version note.
std::optional<uint32_t> PosixVersionResources::FileVersionMS(const std::string& /*path*/) {
  return std::nullopt;
}

}  // namespace updater
