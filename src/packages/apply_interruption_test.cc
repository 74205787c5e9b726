// Applying a package interrupted at every change it makes to the disk, as a
// kill does (nothing after that change happens) and as a failing call does,
// and on a disk whose moves, deletions or writes fail from some point on:
// every file of the package is whole, old or new, at every point, and after
// the recovery that starts the next run the package is applied entirely or
// not at all, with nothing of the apply left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <set>

#include "packages/apply_journal.h"
#include "packages/apply_updates.h"
#include "packages/entry_names.h"
#include "packages/package_test_util.h"

namespace updater {
namespace {

using testing::InterruptingFileSystem;
using Names = std::vector<std::string>;
using Mode = InterruptingFileSystem::Mode;
using Calls = InterruptingFileSystem::Calls;

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
    EXPECT_TRUE(Files.CreateFolder(At("Update\\"), nullptr));
    EXPECT_TRUE(Files.CreateFolder(At("Data\\"), nullptr));
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
      PackageReader reader(files, t.Report);
      try {
        // The outcome varies with the call interrupted; the disk is checked.
        static_cast<void>(ApplyUpdates(reader, t.ProgramFolder));
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
      EXPECT_NE(RecoverUnfinishedApply(t.Files, next, t.ProgramFolder), RecoveryOutcome::Failed);
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
        PackageReader again(t.Files, next);
        EXPECT_TRUE(ApplyUpdates(again, t.ProgramFolder));
        EXPECT_EQ(t.Tree(), kNewTree);
      }
    }
    // Both ways out are taken, before the commit and after it.
    EXPECT_GT(outcomes['o'], 5);
    EXPECT_GT(outcomes['n'], 3);
  }
}

// Content of a file before and after an update; none when the file is not
// there (after: also when the update removes it).
using Content = std::optional<std::string>;
using Contents = std::map<std::string, std::pair<Content, Content>>;

// A package of a few dozen files over an installation: some replace files it
// holds, some are new beside them, some are new in folders the package
// creates; `replaced` and `created` of each kind.
Contents SweepFiles(int replaced = 7, int created = 5) {
  Contents files;
  for (int i = 0; i < replaced; ++i) {
    const std::string n = std::to_string(i);
    files["Old" + n + ".dat"] = {"old " + n, "new " + n + std::string(i, '+')};
    files["Data\\Old" + n + ".dat"] = {"old data " + n, "new data " + n};
  }
  for (int i = 0; i < created; ++i) {
    const std::string n = std::to_string(i);
    files["Fresh" + n + ".txt"] = {std::nullopt, "fresh " + n};
    files["New\\Deep\\File" + n + ".txt"] = {std::nullopt, "deep " + n};
  }
  files["VOXA.exe"] = {"old voxa", "new voxa"};
  return files;
}

// What waits in the update folder: the packages, by name, and the order
// file's text (none when empty).
struct Waiting {
  std::vector<std::pair<std::string, std::string>> Packages;
  std::string Order;
};

struct Sweep {
  const char* What;
  updater::Calls Calls;
  updater::Mode Mode;
  int64_t FailingMove = 0;  // fails once, below the sweep's interruption
  int64_t From = 1;         // the first N
};

const Sweep kSweeps[] = {
    // The commit fails at its 30th move; the rollback is killed at each of
    // its moves and deletions.
    {"the 30th move failing and a kill at the Nth move", Calls::Moves, Mode::Crash, 30, 31},
    {"the 30th move failing and a kill at the Nth deletion", Calls::Deletions, Mode::Crash, 30},
    {"moves failing from the Nth on", Calls::Moves, Mode::FailFromThenOn},
    {"the Nth move failing", Calls::Moves, Mode::Fail},
    {"deletions failing from the Nth on", Calls::Deletions, Mode::FailFromThenOn},
    {"the Nth deletion failing", Calls::Deletions, Mode::Fail},
    {"writes failing from the Nth on", Calls::Writes, Mode::FailFromThenOn},
    {"the Nth write failing", Calls::Writes, Mode::Fail},
};

// The names of the tree (as Installation::Tree gives them) of the files that
// `content` says are there, before or after, with their folders; folders
// that held files stay after, even when all their files were removed.
Names TreeOf(const Contents& content, bool after, const Names& more) {
  std::set<std::string> names(more.begin(), more.end());
  for (const auto& [name, change] : content) {
    std::string tree = name;
    std::replace(tree.begin(), tree.end(), '\\', '/');
    if (after ? change.second.has_value() : change.first.has_value()) names.insert(tree);
    if (!change.first && !(after && change.second)) continue;
    for (size_t slash = tree.find('/'); slash != std::string::npos;
         slash = tree.find('/', slash + 1))
      names.insert(tree.substr(0, slash + 1));
  }
  return Names(names.begin(), names.end());
}

// Applies what waits under a file system whose Nth move, deletion, write or
// change fails, once or from then on, or whose commit fails half-way and
// which is killed at its Nth change (in the rollback too), and then the next
// run's recovery on a healthy one: the installation is exactly the old one
// with the packages waiting, or exactly the new one, never a mix and never
// with a file missing; packages that wait apply whole on a later run, and
// nothing of any apply stays.
void SweepFailures(const Contents& content, const Waiting& waiting,
                   const std::vector<Sweep>& sweeps) {
  const std::string kOrder = "Update/Packages.order";
  Names waitingFiles = {"Update/"};
  for (const auto& [name, bytes] : waiting.Packages) waitingFiles.push_back("Update/" + name);
  const Names oldTree = TreeOf(content, false, waitingFiles);
  const Names newTree = TreeOf(content, true, {"Update/"});
  // Nothing here depends on the disk keeping what it was given.
  testing::UnsyncedFileSystem unsynced;
  for (const Sweep& sweep : sweeps) {
    std::map<char, int> outcomes;
    for (int64_t at = sweep.From; !::testing::Test::HasFailure(); ++at) {
      SCOPED_TRACE(std::string(sweep.What) + ", N = " + std::to_string(at));
      testing::Installation t;
      for (const auto& [name, change] : content) {
        if (!change.first) continue;
        const std::string folder = FolderPart(name);
        if (!folder.empty()) std::filesystem::create_directories(t.Native(t.At(folder)));
        t.Write(name, *change.first);
      }
      EXPECT_TRUE(t.Files.CreateFolder(t.At("Update\\"), nullptr));
      for (const auto& [name, bytes] : waiting.Packages) t.Write("Update\\" + name, bytes);
      if (!waiting.Order.empty()) t.Write("Update\\Packages.order", waiting.Order);
      std::optional<InterruptingFileSystem> below;
      if (sweep.FailingMove > 0)
        below.emplace(Mode::Fail, sweep.FailingMove, Calls::Moves, unsynced);
      InterruptingFileSystem failing(sweep.Mode, at, sweep.Calls,
                                     below ? static_cast<FileSystem&>(*below) : unsynced);
      {
        PackageReader reader(failing, t.Report);
        try {
          // The outcome varies with the call interrupted; the disk is checked.
          static_cast<void>(ApplyUpdates(reader, t.ProgramFolder));
        } catch (const testing::Interrupted&) {
        }
        ClosePackages(reader);
      }
      testing::RecordingReport next;
      // Whatever it reports, the files must be all old or all new.
      static_cast<void>(RecoverUnfinishedApply(unsynced, next, t.ProgramFolder));
      bool allOld = true, allNew = true;
      for (const auto& [name, change] : content) {
        const Content now = t.Has(name) ? Content(t.Read(name)) : std::nullopt;
        allOld = allOld && now == change.first;
        allNew = allNew && now == change.second;
      }
      // A run that ended early leaves the order file, which the next
      // ApplyUpdates removes once nothing it names waits.
      Names tree = t.Tree();
      const bool ordered = std::count(tree.begin(), tree.end(), kOrder) != 0;
      tree.erase(std::remove(tree.begin(), tree.end(), kOrder), tree.end());
      ASSERT_TRUE((allOld && tree == oldTree) || (allNew && tree == newTree))
          << "neither the old nor the new installation; log: "
          << ::testing::PrintToString(next.Logged) << " tree: " << ::testing::PrintToString(tree);
      ++outcomes[allNew ? 'n' : 'o'];
      if (allOld && !waiting.Order.empty()) {
        ASSERT_TRUE(ordered);
        EXPECT_EQ(t.Read("Update\\Packages.order"), waiting.Order);
      }
      PackageReader again(unsynced, next);
      EXPECT_TRUE(ApplyUpdates(again, t.ProgramFolder));
      ClosePackages(again);
      EXPECT_EQ(t.Tree(), newTree);
      if (!failing.WasInterrupted()) break;
    }
    SCOPED_TRACE(sweep.What);
    EXPECT_GT(outcomes['o'] + outcomes['n'], 8);
  }
}

std::string ZlibPackage(const Contents& content) {
  testing::Installation maker;
  std::vector<std::pair<std::string, std::string>> entries;
  for (const auto& [name, change] : content) entries.push_back({name, *change.second});
  maker.Pack("P.mxu", entries, PackageMethod::Zlib);
  return maker.Read("P.mxu");
}

TEST(ApplyInterruptionTest, FailingMovesDeletionsAndWritesNeverLoseAFile) {
  const Contents content = SweepFiles();
  SweepFailures(content, {{{"P.mxu", ZlibPackage(content)}}, ""},
                std::vector<Sweep>(std::begin(kSweeps), std::end(kSweeps)));
}

// The entries of a package of a release: content as zlib (or stored when
// empty: an empty file), or none for a remove entry.
std::string ReleasePart(const std::vector<std::pair<std::string, Content>>& entries) {
  std::vector<RawEntry> raw;
  for (const auto& [name, content] : entries) {
    if (!content)
      raw.push_back({name, 1, PackageMethod::Remove, {{0, "", 0}}});
    else if (content->empty())
      raw.push_back({name, 1, PackageMethod::Stored, {{0, "", 0}}});
    else
      raw.push_back({name,
                     1,
                     PackageMethod::Zlib,
                     {{0, EncodeZlib(*content), static_cast<int32_t>(content->size())}}});
  }
  return BuildPackageBytes(raw, PackageMethod::Stored);
}

// A release in three packages, with empty files and removed files (the last
// of a folder among them, and one that is not there), applied as one
// transaction under the same failures and under a kill at every change it
// makes.
TEST(ApplyInterruptionTest, AReleaseInThreePackagesIsAppliedWholeOrNotAtAll) {
  // Fewer files than in the sweeps of one package, so that the sweeps stay
  // short under Wine: the commit makes 35 moves.
  Contents content = SweepFiles(5, 3);
  content["Empty.txt"] = {std::nullopt, ""};
  content["Data\\Emptied.dat"] = {"old emptied", ""};
  content["Gone0.txt"] = {"old gone 0", std::nullopt};
  content["Gone1.txt"] = {"old gone 1", std::nullopt};
  content["Data\\Gone.dat"] = {"old data gone", std::nullopt};
  content["Only\\Only.dat"] = {"only", std::nullopt};
  content["Missing.txt"] = {std::nullopt, std::nullopt};
  // Part 1 writes the top folder's files, part 2 those below it and removes
  // one file, part 3 removes the others and writes VOXA.exe over part 1's.
  std::vector<std::pair<std::string, Content>> parts[3];
  for (const auto& [name, change] : content) {
    if (name == "VOXA.exe") continue;
    const int part = !change.second                         ? (name == "Gone0.txt" ? 1 : 2)
                     : name.find('\\') == std::string::npos ? 0
                                                            : 1;
    parts[part].push_back({name, change.second});
  }
  parts[0].push_back({"VOXA.exe", Content("voxa of part 1")});
  parts[2].push_back({"VOXA.exe", content["VOXA.exe"].second});
  Waiting waiting;
  for (int i = 0; i < 3; ++i)
    waiting.Packages.push_back(
        {"VOXA-1.05-" + std::to_string(i + 1) + ".mxu", ReleasePart(parts[i])});
  waiting.Order = EncodePackageOrder({{"VOXA-1.05-1.mxu", "VOXA-1.05-2.mxu", "VOXA-1.05-3.mxu"}});
  std::vector<Sweep> sweeps(std::begin(kSweeps), std::end(kSweeps));
  // The commit fails two thirds of the way.
  sweeps[0] = {"the 24th move failing and a kill at the Nth move", Calls::Moves, Mode::Crash, 24,
               25};
  sweeps[1] = {"the 24th move failing and a kill at the Nth deletion", Calls::Deletions,
               Mode::Crash, 24};
  sweeps.push_back({"a kill at the Nth change", Calls::Changes, Mode::Crash});
  SweepFailures(content, waiting, sweeps);
}

// A delta package: every file it changes a patch that applies only over the
// old content, removed files, and new ones; killed at every change of its
// apply, the commit included, and with a move or a write failing. The
// next run ends it whole, and no patch loses the file it applies over: what
// is rolled back applies again on a later run.
TEST(ApplyInterruptionTest, ADeltaPackageIsAppliedWholeOrNotAtAll) {
  // Fewer files than in the sweeps of one package, so that the sweeps stay
  // short under Wine.
  Contents content = SweepFiles(5, 3);
  content["Gone.txt"] = {"old gone", std::nullopt};
  content["Data\\Gone.dat"] = {"old data gone", std::nullopt};
  std::vector<RawEntry> raw;
  for (const auto& [name, change] : content) {
    if (!change.second) {
      raw.push_back({name, 1, PackageMethod::Remove, {{0, "", 0}}});
    } else if (change.first) {
      const std::string patch = EncodePatch(*change.first, *change.second);
      ASSERT_FALSE(patch.empty());
      raw.push_back({name,
                     1,
                     PackageMethod::Patch,
                     {{0, patch, static_cast<int32_t>(change.second->size())}}});
    } else {
      raw.push_back(
          {name,
           1,
           PackageMethod::Zlib,
           {{0, EncodeZlib(*change.second), static_cast<int32_t>(change.second->size())}}});
    }
  }
  const std::vector<Sweep> sweeps = {
      {"a kill at the Nth change", Calls::Changes, Mode::Crash},
      {"the Nth move failing", Calls::Moves, Mode::Fail},
      {"the Nth write failing", Calls::Writes, Mode::Fail},
  };
  SweepFailures(content,
                {{{"VOXA-1.05-from-1.00.mxu", BuildPackageBytes(raw, PackageMethod::Stored)}}, ""},
                sweeps);
}

}  // namespace
}  // namespace updater
