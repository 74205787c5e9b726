// File versions on Windows, through Version.dll loaded at run time.
#pragma once

#include "system/version_resources.h"

namespace updater {

class Win32VersionResources : public VersionResources {
 public:
  bool Load() override;
  std::optional<uint32_t> FileVersionMS(const std::string& path) override;
};

}  // namespace updater
