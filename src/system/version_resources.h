// File versions of programs on disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace updater {

class VersionResources {
 public:
  virtual ~VersionResources() = default;

  // Prepares the reader (Windows: loads Version.dll and takes its three
  // functions). False when it cannot read versions at all.
  virtual bool Load() = 0;

  // The dwFileVersionMS word of the file's fixed file information (major in
  // the high 16 bits, minor in the low 16 bits), or nothing when the file is
  // missing, has no version information or cannot be read.
  virtual std::optional<uint32_t> FileVersionMS(const std::string& path) = 0;
};

}  // namespace updater
