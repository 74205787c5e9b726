// A real temporary folder for tests, removed with everything in it.
#pragma once

#include <string>

namespace updater::testing {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder's path with a trailing separator of the platform.
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Whole-file helpers for test set-up and checks.
void WriteWholeFile(const std::string& path, const std::string& content);
std::string ReadWholeFile(const std::string& path);  // empty when missing
bool FileExists(const std::string& path);

}  // namespace updater::testing
