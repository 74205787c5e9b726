// Applying a package interrupted at every change it makes to the disk, once
// as a kill does (nothing after that change happens) and once as a failing
// call does: every file of the package is whole, old or new, at every point,
// and after the recovery the next run makes, the package is applied entirely
// or not at all, with nothing of the apply left behind.
#include <gtest/gtest.h>

#include <map>

#include "mxupack/package_writer.h"
#include "packages/apply_journal.h"
#include "packages/apply_updates.h"
#include "packages/package_test_util.h"

namespace updater {
namespace {

using testing::InterruptingFileSystem;
using Names = std::vector<std::string>;
using Mode = InterruptingFileSystem::Mode;

const std::string kLongName(255, 'L');  // the longest name an entry can carry

// The package's files: the content before (empty: no such file) and after.
const std::map<std::string, std::pair<std::string, std::string>>& PackageFiles() {
  static const auto* files = new std::map<std::string, std::pair<std::string, std::string>>{
      {"VOXA.exe", {"old voxa", "new voxa"}},
      // Over one decoding chunk, so that it is written in several pieces.
      {"Data\\Old.dat", {testing::SampleBytes(300000, 1), testing::SampleBytes(1500000, 2)}},
      {"Readme.txt", {"", "new readme"}},
      {"Sub\\Deep\\New.dat", {"", "new deep"}},
      {kLongName, {"", "long"}},
  };
  return *files;
}

// The whole tree before the package (with the package waiting) and after it.
// A user's file named like a staged file is never touched.
const Names kOldTree = {"Data/", "Data/Old.dat", "Update/", "Update/P.mxu", "VOXA.exe", "~mx1"};
const Names kNewTree = {"Data/",     "Data/Old.dat",     kLongName, "Readme.txt", "Sub/",
                        "Sub/Deep/", "Sub/Deep/New.dat", "Update/", "VOXA.exe",   "~mx1"};

const std::string& PackageBytes() {
  static const std::string* bytes = [] {
    testing::Installation maker;
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto& [name, content] : PackageFiles()) entries.push_back({name, content.second});
    maker.Pack("P.mxu", entries, mxupack::Method::Zlib);
    return new std::string(maker.Read("P.mxu"));
  }();
  return *bytes;
}

struct OldInstallation : testing::Installation {
  OldInstallation() {
    files.CreateFolder(At("Update\\"));
    files.CreateFolder(At("Data\\"));
    for (const auto& [name, content] : PackageFiles())
      if (!content.first.empty()) Write(name, content.first);
    Write("~mx1", "a user's file");
    Write("Update\\P.mxu", PackageBytes());
  }

  // Fails the test when a file of the package is neither wholly old nor
  // wholly new; true when every file is new.
  bool EveryFileWhole(bool* allOld) {
    bool allNew = true;
    *allOld = true;
    for (const auto& [name, content] : PackageFiles()) {
      std::string now = Has(name) ? Read(name) : std::string();
      bool isOld = now == content.first, isNew = now == content.second;
      EXPECT_TRUE(isOld || isNew) << name << " is torn: " << now.size() << " bytes";
      allNew = allNew && isNew;
      *allOld = *allOld && isOld;
    }
    return allNew;
  }
};

struct Outcome {
  int oldCount = 0;
  int newCount = 0;
};

// Interrupts the apply at its first change, then its second, and so on,
// until it runs to its end without reaching the interruption.
Outcome InterruptEverywhere(Mode mode) {
  Outcome outcome;
  for (int64_t at = 1;; ++at) {
    SCOPED_TRACE("interrupted at change " + std::to_string(at));
    OldInstallation t;
    InterruptingFileSystem files(mode, at);
    PackageReader reader(files, t.report);
    try {
      ApplyUpdates(reader, t.programFolder);
    } catch (const testing::Interrupted&) {
      // The run ends here; its open files close as the process's would.
    }
    ClosePackages(reader);
    if (!files.WasInterrupted()) {
      bool allOld = false;
      EXPECT_TRUE(t.EveryFileWhole(&allOld));
      EXPECT_EQ(t.Tree(), kNewTree);
      EXPECT_GT(at, 20) << "too few changes for the package";
      return outcome;
    }
    SCOPED_TRACE(files.InterruptedCall());
    bool allOld = false;
    bool allNew = t.EveryFileWhole(&allOld);
    if (mode == Mode::Fail) {
      // The failing run itself ends with the package in or out as a whole.
      EXPECT_TRUE(allOld || allNew);
      // A package left out says so: with an error line, or, for a folder
      // that cannot be created, with that folder's line last.
      if (allOld) {
        const std::string& last = t.Lines().back();
        EXPECT_TRUE(last.rfind("Error: ", 0) == 0 || last.rfind("Creating directory", 0) == 0)
            << last;
      }
    }

    // The next run, whatever its mode, recovers first.
    testing::RecordingReport next;
    RecoveryOutcome recovered = RecoverUnfinishedApply(t.files, next, t.programFolder);
    EXPECT_NE(recovered, RecoveryOutcome::Failed);
    allNew = t.EveryFileWhole(&allOld);
    Names tree = t.Tree();
    // A failed deletion of the package or of an empty folder the package
    // created is as harmless as it was before journals.
    const std::string& call = files.InterruptedCall();
    if (mode == Mode::Fail && call == "Delete " + t.At("Update\\P.mxu"))
      tree.erase(std::remove(tree.begin(), tree.end(), "Update/P.mxu"), tree.end());
    if (mode == Mode::Fail && call.rfind("RemoveFolder ", 0) == 0)
      tree.erase(std::remove_if(tree.begin(), tree.end(),
                                [](const std::string& name) { return name.rfind("Sub/", 0) == 0; }),
                 tree.end());
    if (allNew) {
      ++outcome.newCount;
      EXPECT_EQ(tree, kNewTree);
    } else {
      EXPECT_TRUE(allOld);
      ++outcome.oldCount;
      EXPECT_EQ(tree, kOldTree);
      // The package that waits applies whole on the run after.
      testing::RecordingReport again;
      PackageReader reader(t.files, again);
      EXPECT_TRUE(ApplyUpdates(reader, t.programFolder));
      EXPECT_EQ(t.Tree(), kNewTree);
    }
    if (::testing::Test::HasFailure()) return outcome;
  }
}

TEST(ApplyInterruptionTest, AKilledApplyIsCompletedOrUndoneByTheNextRun) {
  Outcome outcome = InterruptEverywhere(Mode::Crash);
  // Both ways out are taken: before the commit record and after it.
  EXPECT_GT(outcome.oldCount, 5);
  EXPECT_GT(outcome.newCount, 5);
}

TEST(ApplyInterruptionTest, AFailingCallLeavesThePackageWholeOrAbsent) {
  Outcome outcome = InterruptEverywhere(Mode::Fail);
  EXPECT_GT(outcome.oldCount, 5);
  EXPECT_GT(outcome.newCount, 3);
}

}  // namespace
}  // namespace updater
