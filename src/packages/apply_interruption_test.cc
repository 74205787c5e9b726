// Applying a package interrupted at every change it makes to the disk, as a
// kill does (nothing after that change happens) and as a failing call does:
// every file of the package is whole, old or new, at every point, and after
// the recovery that starts the next run the package is applied entirely or
// not at all, with nothing of the apply left behind.
#include <gtest/gtest.h>

#include <map>

#include "packages/apply_journal.h"
#include "packages/apply_updates.h"
#include "packages/package_test_util.h"

namespace updater {
namespace {

using testing::InterruptingFileSystem;
using Names = std::vector<std::string>;
using Mode = InterruptingFileSystem::Mode;

// The longest name an entry can carry: the names of temporary files are
// short, so that they fit beside it.
const std::string kLongName(255, 'L');

// Each file of the package: its content before (empty: none) and after.
const std::map<std::string, std::pair<std::string, std::string>> kFiles = {
    {"VOXA.exe", {"old voxa", "new voxa"}},
    // Over one decoding chunk, so that it is written in several pieces.
    {"Data\\Old.dat", {testing::SampleBytes(300000, 1), testing::SampleBytes(1500000, 2)}},
    {"Readme.txt", {"", "new readme"}},
    {"Sub\\Deep\\New.dat", {"", "new deep"}},
    {kLongName, {"old long", "new long"}},
};
// The whole tree before (the package waiting) and after. A user's file named
// like a staged file is never touched.
const Names kOldTree = {"Data/",        "Data/Old.dat", kLongName, "Update/",
                        "Update/P.mxu", "VOXA.exe",     "~mx1"};
const Names kNewTree = {"Data/",     "Data/Old.dat",     kLongName, "Readme.txt", "Sub/",
                        "Sub/Deep/", "Sub/Deep/New.dat", "Update/", "VOXA.exe",   "~mx1"};

struct OldInstallation : testing::Installation {
  explicit OldInstallation(const std::string& package) {
    files.CreateFolder(At("Update\\"));
    files.CreateFolder(At("Data\\"));
    for (const auto& [name, content] : kFiles)
      if (!content.first.empty()) Write(name, content.first);
    Write("~mx1", "a user's file");
    Write("Update\\P.mxu", package);
  }

  // Fails the test for a file of the package that is neither wholly old nor
  // wholly new. 'o' when all are old, 'n' when all are new, else 'm'.
  char State() {
    bool allOld = true, allNew = true;
    for (const auto& [name, content] : kFiles) {
      std::string now = Has(name) ? Read(name) : std::string();
      EXPECT_TRUE(now == content.first || now == content.second) << name << " is torn";
      allOld = allOld && now == content.first;
      allNew = allNew && now == content.second;
    }
    return allOld ? 'o' : allNew ? 'n' : 'm';
  }
};

TEST(ApplyInterruptionTest, EveryInterruptionEndsWithThePackageWholeOrAbsent) {
  std::string package;
  {
    testing::Installation maker;
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto& [name, content] : kFiles) entries.push_back({name, content.second});
    maker.Pack("P.mxu", entries, PackageMethod::Zlib);
    package = maker.Read("P.mxu");
  }
  for (Mode mode : {Mode::Crash, Mode::Fail}) {
    std::map<char, int> outcomes;
    // At its first change, then its second, and so on, until the apply runs
    // to its end without reaching the interruption.
    for (int64_t at = 1; !::testing::Test::HasFailure(); ++at) {
      SCOPED_TRACE((mode == Mode::Crash ? "killed at change " : "failed at change ") +
                   std::to_string(at));
      OldInstallation t(package);
      InterruptingFileSystem files(mode, at);
      PackageReader reader(files, t.report);
      try {
        ApplyUpdates(reader, t.programFolder);
      } catch (const testing::Interrupted&) {
        // The run ends here; its files close as a killed process's do.
      }
      ClosePackages(reader);
      if (!files.WasInterrupted()) {
        EXPECT_EQ(t.State(), 'n');
        EXPECT_EQ(t.Tree(), kNewTree);
        break;
      }
      SCOPED_TRACE(files.InterruptedCall());
      char state = t.State();
      if (mode == Mode::Fail) {
        // A failing call is handled at once, and a package left out says so:
        // with an error line, or with the line of a folder it cannot create.
        EXPECT_NE(state, 'm');
        const std::string& last = t.Lines().back();
        EXPECT_TRUE(state == 'n' || last.rfind("Error: ", 0) == 0 ||
                    last.rfind("Creating directory", 0) == 0);
      }

      testing::RecordingReport next;
      EXPECT_NE(RecoverUnfinishedApply(t.files, next, t.programFolder), RecoveryOutcome::Failed);
      state = t.State();
      ++outcomes[state];
      Names tree = t.Tree();
      // A failed deletion of the package, or of an empty folder the package
      // created, changes nothing else.
      const std::string& call = files.InterruptedCall();
      if (mode == Mode::Fail && call.rfind("Delete " + t.At("Update\\"), 0) == 0)
        tree.erase(std::remove(tree.begin(), tree.end(), "Update/P.mxu"), tree.end());
      if (mode == Mode::Fail && call.rfind("RemoveFolder ", 0) == 0)
        tree.erase(std::remove_if(tree.begin(), tree.end(),
                                  [](const std::string& name) { return name[0] == 'S'; }),
                   tree.end());
      ASSERT_NE(state, 'm');
      EXPECT_EQ(tree, state == 'n' ? kNewTree : kOldTree);
      if (state == 'o') {
        // The package that waits applies whole on the run after.
        PackageReader again(t.files, next);
        EXPECT_TRUE(ApplyUpdates(again, t.programFolder));
        EXPECT_EQ(t.Tree(), kNewTree);
      }
    }
    // Both ways out are taken, before the commit and after it.
    EXPECT_GT(outcomes['o'], 5);
    EXPECT_GT(outcomes['n'], 3);
  }
}

}  // namespace
}  // namespace updater
