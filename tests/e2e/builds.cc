#include "e2e/builds.h"

#include <filesystem>

namespace updater::testing {

Build PosixBuild() {
  const std::string tree = UPDATER_BUILD_TREE;
  return {"posix",
          UPDATER_EXE,
          NEXT_UPDATER_EXE,
          VOXA_100,
          VOXA_105,
          VOXA_110,
          SIGNED_UPDATER_EXE,
          tree + "/test_key/minisign.key",
          QUICK_UPDATER_EXE,
          TWO_KEY_UPDATER_EXE,
          tree + "/test_key/second.key",
          false};
}

Build WindowsBuild() {
  const std::string tree = WINDOWS_BUILD_DIR;
  return {"windows",
          tree + "/tested/Updater.exe",
          tree + "/next/Updater.exe",
          tree + "/demo/voxa-1.00/VOXA.exe",
          tree + "/demo/voxa-1.05/VOXA.exe",
          tree + "/demo/voxa-1.10/VOXA.exe",
          tree + "/signed/Updater.exe",
          tree + "/test_key/minisign.key",
          tree + "/quick/Updater.exe",
          tree + "/two_keys/Updater.exe",
          tree + "/test_key/second.key",
          true};
}

bool BuildAvailable(const Build& build) {
  return !build.Windows ||
         (!std::string(WINDOWS_BUILD_DIR).empty() && std::filesystem::exists(build.Updater));
}

std::vector<std::string> BuildCommand(const Build& build, const std::string& program,
                                      const std::vector<std::string>& parameters) {
  std::vector<std::string> command;
  if (build.Windows) command = {WINE_RUN, std::string(WINDOWS_BUILD_DIR) + "/wineprefix"};
  command.push_back(program);
  command.insert(command.end(), parameters.begin(), parameters.end());
  return command;
}

}  // namespace updater::testing
