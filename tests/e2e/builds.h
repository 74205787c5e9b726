// The two builds of the updater that the end-to-end suites run, each with the
// programs that go with it, and how to start its Updater.exe.
#pragma once

#include <string>
#include <vector>

namespace updater::testing {

struct Build {
  std::string Name;           // "posix" or "windows": the suffix of the test names
  std::string Updater;        // Updater.exe, file version 1.0.0.0
  std::string NextUpdater;    // Updater.exe, file version 1.1.0.0
  std::string Voxa100;        // VOXA.exe 1.00
  std::string Voxa105;        // VOXA.exe 1.05
  std::string Voxa110;        // VOXA.exe 1.10
  std::string SignedUpdater;  // Updater.exe built with the test key
  std::string SecretKey;      // the test key's secret half
  std::string QuickUpdater;   // Updater.exe with time limits of seconds (quick_time_limits.cc)
  // Updater.exe built with the test key and the second key, file version
  // 1.1.0.0, and the second key's secret half.
  std::string TwoKeyUpdater;
  std::string SecondSecretKey;
  bool Windows = false;
};

Build PosixBuild();
Build WindowsBuild();

// False for the Windows build when its tree was not built.
bool BuildAvailable(const Build& build);

// The command that runs `program` (an Updater.exe of `build`) with
// `parameters`: directly, or under Wine.
std::vector<std::string> BuildCommand(const Build& build, const std::string& program,
                                      const std::vector<std::string>& parameters);

}  // namespace updater::testing
