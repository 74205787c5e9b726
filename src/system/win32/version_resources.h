// File versions on Windows, through Version.dll loaded at run time.
#pragma once

#include "system/version_resources.h"

namespace updater {

class Win32VersionResources : public VersionResources {
 public:
  // Loads "Version.dll" once and takes its three functions by name; the
  // library stays loaded for the rest of the process.
  bool Load() override;
  // Nothing when the library or one of its functions is missing (also when
  // Load was not called), or the file has no readable fixed file information.
  std::optional<uint32_t> FileVersionMS(const std::string& path) override;

 private:
  void* getSize_ = nullptr;     // GetFileVersionInfoSizeW
  void* getInfo_ = nullptr;     // GetFileVersionInfoW
  void* queryValue_ = nullptr;  // VerQueryValueW
};

}  // namespace updater
