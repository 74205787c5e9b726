// The downloads of the selected packages over a fake web into a real update
// folder: which catalogue package file names they take, and what they clear
// from the folder first.
#include "transfer/download_updates.h"

#include <gtest/gtest.h>

#include "support/fake_platform.h"
#include "support/fake_web.h"
#include "support/recording_report.h"
#include "support/temp_folder.h"
#include "system/platform.h"

namespace updater {
namespace {

using testing::FileExists;
using testing::WriteWholeFile;
using Lines = std::vector<std::string>;

class DownloadUpdatesTest : public ::testing::Test {
 protected:
  bool Download(const std::string& packageFile) {
    report_.Lines.clear();
    web_.Requested.clear();
    return DownloadUpdates(platform_, report_, TimeLimits(), HttpRoute(), "http://a.test/",
                           folder_.Path(), {{"VOXA", packageFile}});
  }

  testing::TempFolder folder_;
  testing::FakeWeb web_;
  testing::FakePlatform fake_;
  Platform platform_{fake_.Console, fake_.Platform.Files, fake_.Processes,
                     fake_.Clock,   fake_.Versions,       web_};
  testing::RecordingReport report_;
};

// A name that stays in the update folder is asked of the server (which has
// nothing here); any other is refused with its line before anything is
// fetched or written.
TEST_F(DownloadUpdatesTest, OnlyNamesThatCanLeaveTheUpdateFolderAreRefused) {
  for (const char* plain :
       {"voxa105.mxu", "VOXA_1.05..final.mxu", "..mxu", "voxa..", "...", ".x"}) {
    SCOPED_TRACE(plain);
    EXPECT_FALSE(Download(plain));
    EXPECT_EQ(web_.Requested, Lines{"a.test/" + std::string(plain)});
    EXPECT_EQ(report_.Lines.back(), "Error: HTTP status code = 404");
  }
  for (const char* refused : {"", ".", "..", "..\\Updater.exe", "files/v.mxu", "C:v.mxu", "v:s"}) {
    SCOPED_TRACE(refused);
    EXPECT_FALSE(Download(refused));
    EXPECT_TRUE(web_.Requested.empty());
    EXPECT_EQ(report_.Lines.back(), "Error: Invalid package file name: " + std::string(refused));
  }
}

// Before the first download the folder loses the packages of earlier runs,
// their signatures, and what a cut download or a killed writer of either
// left, but for the part kept with its source of a package being downloaded
// again (a download that fails before it writes leaves it as it was); the
// run's own files and anything else stay.
TEST_F(DownloadUpdatesTest, TheFolderIsClearedOfEarlierPackagesFirst) {
  const Lines removed = {"old.mxu",
                         "OLD2.MXU",
                         "old.mxu.minisig",
                         "cut.mxu.part",
                         "k.mxu.minisig.part",
                         "gone.mxu.part",
                         "gone.mxu.part.source",
                         "lone.mxu.part.source"};
  const Lines kept = {"Updater.log", "Packages.order", "VersionInfo.timestamp", "notes.txt",
                      "old.mxu.txt", "new.mxu.part",   "new.mxu.part.source"};
  for (const std::string& name : removed) WriteWholeFile(folder_.Path() + name, "x");
  for (const std::string& name : kept) WriteWholeFile(folder_.Path() + name, "x");
  const std::string source = "http://a.test/new.mxu\n10\n\"v\"\n";
  WriteWholeFile(folder_.Path() + "new.mxu.part.source", source);
  EXPECT_FALSE(Download("new.mxu"));
  for (const std::string& name : removed) EXPECT_FALSE(FileExists(folder_.Path() + name)) << name;
  for (const std::string& name : kept) EXPECT_TRUE(FileExists(folder_.Path() + name)) << name;
  EXPECT_EQ(testing::ReadWholeFile(folder_.Path() + "new.mxu.part.source"), source);
}

// A folder that cannot be listed, or an earlier package that cannot be
// deleted, stops the downloads before anything is fetched: that package
// would be applied with this run's.
TEST_F(DownloadUpdatesTest, AFolderThatCannotBeClearedStopsTheDownloads) {
  WriteWholeFile(folder_.Path() + "old.mxu", "x");
  struct Case {
    const char* Name;
    std::string Folder;
    bool HoldOldPackage;
    const char* InCause;
  } cases[] = {
      {"a folder that is not there", folder_.Path() + "Missing\\", false, "Missing"},
      {"an old package held open", folder_.Path(), true, "old.mxu"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    report_ = testing::RecordingReport();
    web_.Requested.clear();
    std::unique_ptr<File> held;
    if (c.HoldOldPackage) {
      held = RealPlatform().Files.OpenRead(folder_.Path() + "old.mxu", true, nullptr);
      ASSERT_TRUE(held);
    }
    EXPECT_FALSE(DownloadUpdates(platform_, report_, TimeLimits(), HttpRoute(), "http://a.test/",
                                 c.Folder, {{"VOXA", "new.mxu"}}));
    EXPECT_EQ(report_.Lines,
              (Lines{"", "Downloading updates...", "Error: Cannot clear the update folder."}));
    ASSERT_EQ(report_.Causes.size(), 1u);
    EXPECT_NE(report_.Causes[0].find(c.InCause), std::string::npos) << report_.Causes[0];
    EXPECT_TRUE(web_.Requested.empty());
  }
  EXPECT_TRUE(FileExists(folder_.Path() + "old.mxu"));
}

}  // namespace
}  // namespace updater
