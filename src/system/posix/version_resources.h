// File versions on POSIX, read from the files themselves.
#pragma once

#include "system/version_resources.h"

namespace updater {

class PosixVersionResources : public VersionResources {
 public:
  bool Load() override;
  std::optional<uint32_t> FileVersionMS(const std::string& path) override;
};

}  // namespace updater
