// What the tests of the update check start from: a program in a real
// temporary folder (with Update\, installed versions 1.00) over the fake
// platform and a fake web, a check session that takes servers in list order,
// and packages made by the package writer.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "packages/package_writer.h"
#include "run/check_session.h"
#include "run/program.h"
#include "run/update_check.h"
#include "support/fake_platform.h"
#include "support/fake_web.h"
#include "support/temp_folder.h"

namespace updater::testing {

// A package's bytes, written by the package writer.
inline std::string PackageBytes(const std::vector<std::pair<std::string, std::string>>& files) {
  TempFolder scratch;
  std::vector<EntryInput> entries;
  for (const auto& [name, content] : files) {
    EntryInput entry;
    entry.Name = name;
    entry.Variants.push_back({0, "", content});
    entries.push_back(entry);
  }
  std::string error;
  const std::string path = scratch.Path() + "p.mxu";
  EXPECT_TRUE(WritePackage(path, entries, {}, &error)) << error;
  return ReadWholeFile(path);
}

// Always takes the first remaining list entry, so servers go in list order.
inline ServerChoice InListOrder() {
  ServerChoice choice;
  choice.Random = [](uint64_t) { return uint64_t{0}; };
  return choice;
}

class CheckFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    services_.ProgramFolder = folder_.Path();
    ASSERT_TRUE(RealPlatform().Files.CreateFolder(services_.UpdateFolder(), nullptr));
    session_.Installed.Updater = 100;
    session_.Installed.Main = 100;
    session_.Choice = InListOrder();
  }

  // The real path of a file given relative to the program folder.
  std::string At(const std::string& relative) {
    std::string path = folder_.Path() + relative;
#ifndef _WIN32
    std::replace(path.begin(), path.end(), '\\', '/');
#endif
    return path;
  }

  TempFolder folder_;
  FakeWeb web_;
  FakePlatform fake_;
  Platform platform_{fake_.Console, fake_.Platform.Files, fake_.Processes,
                     fake_.Clock,   fake_.Versions,       web_};
  // The whole program, for the run sequence; the check's stages take its
  // parts.
  Program program_{platform_};
  RunSettings& settings_ = program_.Settings;
  RunServices& services_ = program_.Services;
  CheckSession session_;
};

}  // namespace updater::testing
