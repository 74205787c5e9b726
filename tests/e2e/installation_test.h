// The fixture of the end-to-end suites that run each build's updater in an
// installation of its own, and what their tests share for it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/builds.h"
#include "e2e/installation_files.h"
#include "support/temp_folder.h"

namespace updater::testing {

using Lines = std::vector<std::string>;

// True when `line` is one of `lines`.
bool Contains(const Lines& lines, const std::string& line);

// Makes a package at `path` with mxupack from `files` (names with '\' as a
// package holds them), packed with `method`. A failure fails the test.
void MakePackage(const std::string& path, const FileTree& files,
                 const std::string& method = "zlib");

// Parameterized by the build: the updater of the native build, and of the
// Windows build under Wine (skipped when that tree was not built).
class InstallationTest : public ::testing::TestWithParam<Build (*)()> {
 protected:
  // Picks the build; the installation is made by Install.
  void SetUp() override;

  // A fresh installation in program_: an empty Update\, `updater` (by
  // default the build's Updater.exe) and, with `withVoxa`, VOXA.exe 1.00.
  void Install(const std::string& updater = "", bool withVoxa = true);

  // The command that runs the installation's Updater.exe with `parameters`.
  std::vector<std::string> Command(const Lines& parameters) const;
  // The console lines of a run's output, whatever the build's encoding.
  Lines OutputLines(const std::string& output) const;
  // The program folder as the updater shows it.
  std::string ShownFolder() const;

  Build build_;
  TempFolder temp_;
  std::string program_;  // the program folder, ending with '/'
};

}  // namespace updater::testing
