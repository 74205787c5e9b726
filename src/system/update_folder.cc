// The paths of the update folder's files.
#include "system/update_folder.h"

#include "system/text.h"

namespace updater {

std::string UpdateFolderPath(const std::string& programFolder) {
  return programFolder + kUpdateFolderName + "\\";
}

std::string InUpdateFolder(std::string_view name) {
  return std::string(kUpdateFolderName) + "\\" + std::string(name);
}

bool IsPlainFileName(std::string_view name) {
  // Without a separator or a drive, only "." and ".." can name anything but
  // a file in the folder; other dots are part of the name.
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("\\/:") == std::string_view::npos;
}

bool IsPackageFileName(std::string_view name) {
  const size_t suffix = sizeof kPackageSuffix - 1;
  return IsPlainFileName(name) && name.size() > suffix &&
         LowerCaseText(name.substr(name.size() - suffix)) == kPackageSuffix;
}

std::string PartPath(const std::string& path) { return path + kPartSuffix; }

}  // namespace updater
