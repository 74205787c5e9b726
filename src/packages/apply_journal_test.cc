// The apply journal: names of any bytes survive, one copy cut or changed
// anywhere is made up for by the other, a journal that would reach outside
// the program folder is refused with nothing touched, and a journal taken
// from a real apply at any moment and damaged in one copy still ends in
// exactly the old or exactly the new installation.
#include "packages/apply_journal.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "packages/apply_updates.h"
#include "packages/package_test_util.h"

namespace updater {
namespace {

using Names = std::vector<std::string>;
namespace fs = std::filesystem;

constexpr ApplyStage kStages[] = {ApplyStage::Staging, ApplyStage::Committed, ApplyStage::Placed,
                                  ApplyStage::RollingBack, ApplyStage::Restored};

ApplyJournal Sample() {
  ApplyJournal journal;
  journal.Packages = {"VOXA 1.05..final.mxu", "VOXA-1.05-2.mxu"};
  journal.Folders = {"Data\\", "Data\\Maps 2\\"};
  journal.Files = {{"Data\\Maps 2\\a b:c", "Data\\Maps 2\\~mx1", "Data\\Maps 2\\~mx2", false, 12},
                   {"Data\\Gone 1.dat", "", "Data\\~mx7", true, 0, true},
                   {std::string("new\nline 12:x\0y", 15), "~mx3", "~mx4", true, 0},
                   {std::string(255, 'L'), "~mx5", "~mx6", true, 1234567890123}};
  return journal;
}

void ExpectSame(const ApplyJournal& read, const ApplyJournal& written) {
  EXPECT_EQ(EncodeJournal(read), EncodeJournal(written));
  EXPECT_EQ(read.Stage, written.Stage);
}

// Decodes two copies, expecting a journal.
ApplyJournal Decoded(std::string_view first, std::string_view second) {
  ApplyJournal read;
  std::string reason;
  EXPECT_EQ(DecodeJournal(first, second, &read, &reason), JournalRead::Journal) << reason;
  return read;
}

TEST(ApplyJournalTest, EitherCopyMakesUpForTheOtherCutOrChangedAnywhere) {
  ApplyJournal journal = Sample();
  const std::string body = EncodeJournal(journal);
  for (ApplyStage stage : kStages) {
    SCOPED_TRACE(static_cast<int>(stage));
    journal.Stage = stage;
    const std::string whole = EncodeJournal(journal);
    ASSERT_EQ(whole.substr(0, body.size()), body);  // marks are appended
    ExpectSame(Decoded(whole, ""), journal);
    ExpectSame(Decoded("", whole), journal);
    for (size_t length = 0; length < whole.size(); ++length) {
      const std::string cut = whole.substr(0, length);
      ExpectSame(Decoded(cut, whole), journal);
      ExpectSame(Decoded(whole, cut), journal);
    }
    for (size_t at = 0; at < whole.size(); ++at) {
      std::string changed = whole;
      changed[at] = static_cast<char>(changed[at] ^ (1 << (at % 8)));
      ExpectSame(Decoded(changed, whole), journal);
      ExpectSame(Decoded(whole, changed), journal);
    }
  }
  // A single copy cut inside its body is a journal being written.
  ApplyJournal read;
  std::string reason;
  for (size_t length = 0; length < body.size(); ++length)
    EXPECT_EQ(DecodeJournal(body.substr(0, length), "", &read, &reason), JournalRead::Incomplete)
        << length;
  // A mark counts only after the body it was made for.
  ApplyJournal other = Sample();
  other.Packages = {"other.mxu"};
  const size_t otherBody = EncodeJournal(other).size();
  other.Stage = ApplyStage::Placed;
  const std::string otherMarks = EncodeJournal(other).substr(otherBody);
  ExpectSame(Decoded(body + otherMarks, ""), Sample());
}

TEST(ApplyJournalTest, RefusesOtherVersionsAndContradictions) {
  ApplyJournal journal = Sample();
  const std::string body = EncodeJournal(journal);
  journal.Stage = ApplyStage::Placed;
  const std::string placed = EncodeJournal(journal);
  journal.Stage = ApplyStage::RollingBack;
  const std::string rollingBack = EncodeJournal(journal);
  ApplyJournal differentFiles = Sample();
  differentFiles.Files.pop_back();
  struct Case {
    const char* What;
    std::string First, Second;
  } cases[] = {
      {"an older updater's journal",
       "VOXA apply journal 1\npackage 5:P.mxu\nend 1 00000000\ncommit\n", ""},
      {"a newer updater's journal", "VOXA apply journal 4\npackage 5:P.mxu\nend 1 5d2f6e9c\n", ""},
      {"copies of two journals", body, EncodeJournal(differentFiles)},
      {"placed and rolled back", placed, rollingBack},
      {"a mark without the commit", body + placed.substr(placed.size() - 16), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    ApplyJournal read;
    std::string reason;
    EXPECT_EQ(DecodeJournal(c.First, c.Second, &read, &reason), JournalRead::Refused);
    EXPECT_FALSE(reason.empty());
  }
}

// The journal an updater before transactions left (version 2: one package,
// no removes), killed after its commit mark, is still completed; one that
// claims a second package or a remove is no whole journal of that version.
TEST(ApplyJournalTest, AJournalOfTheUpdatersBeforeTransactionsIsStillEnded) {
  auto hex = [](uLong value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08lx", value);
    return std::string(text);
  };
  auto versionTwo = [&](const std::string& records, int count) {
    std::string body =
        "VOXA apply journal 2\npackage 5:P.mxu\n" + records + "end " + std::to_string(count) + " ";
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()));
    return body + hex(crc) + "\ncommit " +
           hex(crc32(crc, reinterpret_cast<const Bytef*>("commit"), 6)) + "\n";
  };
  const std::string file = "file 1 5 5:A.txt 4:~mx1 4:~mx2\n";
  ApplyJournal read;
  std::string reason;
  EXPECT_EQ(DecodeJournal(versionTwo(file + "package 5:Q.mxu\n", 3), "", &read, &reason),
            JournalRead::Incomplete);
  EXPECT_EQ(DecodeJournal(versionTwo(file + "remove 5:B.txt 4:~mx3\n", 3), "", &read, &reason),
            JournalRead::Incomplete);

  testing::Installation t;
  ASSERT_TRUE(t.Files.CreateFolder(t.At("Update\\"), nullptr));
  t.Write("Update\\P.mxu", "package");
  t.Write("Update\\Apply.journal", versionTwo(file, 2));
  t.Write("A.txt", "old a");
  t.Write("~mx1", "new a");
  EXPECT_EQ(RecoverUnfinishedApply(t.Files, t.Report, t.ProgramFolder), RecoveryOutcome::Completed);
  EXPECT_EQ(t.Read("A.txt"), "new a");
  EXPECT_EQ(t.Tree(), (Names{"A.txt", "Update/"}));
}

// A committed journal whose second file lost its staged copy before it was
// placed cannot be completed: the first file, already placed, gets its old
// content back, and nothing of the apply is left.
TEST(ApplyJournalTest, IncompleteNewContentIsRolledBack) {
  testing::Installation t;
  ASSERT_TRUE(t.Files.CreateFolder(t.At("Update\\"), nullptr));
  ASSERT_TRUE(t.Files.CreateFolder(t.At("New\\"), nullptr));
  ApplyJournal journal;
  journal.Packages = {"P.mxu"};
  journal.Folders = {"New\\"};
  journal.Files = {{"A.txt", "~mx1", "~mx2", true, 5},
                   {"New\\B.txt", "New\\~mx3", "New\\~mx4", false, 5}};
  journal.Stage = ApplyStage::Committed;
  t.Write("Update\\P.mxu", "package");
  t.Write("Update\\Apply.journal", EncodeJournal(journal));
  t.Write("A.txt", "new a");  // placed
  t.Write("~mx2", "old a");   // its old content, aside
  EXPECT_EQ(RecoverUnfinishedApply(t.Files, t.Report, t.ProgramFolder),
            RecoveryOutcome::RolledBack);
  EXPECT_EQ(t.Read("A.txt"), "old a");
  EXPECT_EQ(t.Tree(), (std::vector<std::string>{"A.txt", "Update/", "Update/P.mxu"}));
  ASSERT_EQ(t.Report.Logged.size(), 1u);
  EXPECT_EQ(t.Report.Logged[0],
            "Rolled back the unfinished apply of P.mxu (2 files); the package stays");
  EXPECT_EQ(RecoverUnfinishedApply(t.Files, t.Report, t.ProgramFolder),
            RecoveryOutcome::NothingToDo);
}

// Every byte below `root`, by relative path ("/" separated, folders ending
// with "/" and holding nothing).
using Snapshot = std::map<std::string, std::string>;

Snapshot TakeSnapshot(const std::string& root) {
  Snapshot snapshot;
  const fs::path base = fs::u8path(testing::Installation::Native(root));
  for (const auto& item : fs::recursive_directory_iterator(base)) {
    std::string name = item.path().lexically_relative(base).generic_u8string();
    if (item.is_directory())
      snapshot[name + "/"] = "";
    else
      snapshot[name] = testing::ReadWholeFile(item.path().u8string());
  }
  return snapshot;
}

void Restore(const Snapshot& snapshot, const std::string& root) {
  const fs::path base = fs::u8path(testing::Installation::Native(root));
  for (const auto& [name, content] : snapshot) {
    if (name.back() == '/')
      fs::create_directories(base / fs::u8path(name));
    else
      testing::WriteWholeFile((base / fs::u8path(name)).u8string(), content);
  }
}

// A committed journal whose disk does not look as the journal says: the
// commit stops before it replaces or loses anything it cannot give back, and
// the apply is rolled back, leaving what it found where it found it.
TEST(ApplyJournalTest, ACommitStopsWhereTheDiskDisagreesWithTheJournal) {
  struct Case {
    const char* What;
    std::function<void(testing::Installation&)> Change;
    Names Tree;  // afterwards
  } cases[] = {
      {"a file appeared where the package creates one",
       [](testing::Installation& t) { t.Write("B.txt", "a user's"); },
       {"A.txt", "B.txt", "Update/", "Update/P.mxu"}},
      {"a file the package replaces vanished",
       [](testing::Installation& t) { EXPECT_TRUE(t.Files.Delete(t.At("A.txt"), nullptr)); },
       {"Update/", "Update/P.mxu"}},
      {"a placed file lost its new content",
       [](testing::Installation& t) {
         EXPECT_TRUE(t.Files.Delete(t.At("~mx1"), nullptr));
         t.Write("A.txt", "a user's content");
       },
       {"A.txt", "Update/", "Update/P.mxu"}},
      {"a folder is where the package replaces a file",
       [](testing::Installation& t) {
         EXPECT_TRUE(t.Files.Delete(t.At("A.txt"), nullptr));
         EXPECT_TRUE(t.Files.CreateFolder(t.At("A.txt"), nullptr));
       },
       {"A.txt/", "Update/", "Update/P.mxu"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    testing::Installation t;
    ASSERT_TRUE(t.Files.CreateFolder(t.At("Update\\"), nullptr));
    ApplyJournal journal;
    journal.Packages = {"P.mxu"};
    journal.Files = {{"A.txt", "~mx1", "~mx2", true, 5}, {"B.txt", "~mx3", "~mx4", false, 5}};
    journal.Stage = ApplyStage::Committed;
    t.Write("Update\\P.mxu", "package");
    t.Write("Update\\Apply.journal", EncodeJournal(journal));
    t.Write("Update\\Apply.journal2", EncodeJournal(journal));
    t.Write("A.txt", "old a");
    t.Write("~mx1", "new a");
    t.Write("~mx3", "new b");
    c.Change(t);
    const Snapshot before = TakeSnapshot(t.ProgramFolder);
    EXPECT_EQ(RecoverUnfinishedApply(t.Files, t.Report, t.ProgramFolder),
              RecoveryOutcome::RolledBack);
    EXPECT_EQ(t.Tree(), c.Tree);
    for (const char* name : {"A.txt", "B.txt"}) {
      auto found = before.find(name);
      if (found != before.end()) {
        EXPECT_EQ(t.Read(name), found->second) << name;
      }
    }
  }
}

// A journal that names paths outside the program folder (which sits one
// level below a folder holding "outside\"), in every field and in every way,
// is refused whole: the run says so, and nothing inside or outside changes.
TEST(ApplyJournalTest, HostileJournalsAreRefusedWithNothingTouched) {
  auto journalOf = [](std::vector<JournalFile> files, std::vector<std::string> folders = {},
                      std::string package = "P.mxu") {
    ApplyJournal journal;
    journal.Packages = {std::move(package)};
    journal.Folders = std::move(folders);
    journal.Files = std::move(files);
    journal.Stage = ApplyStage::Committed;
    return EncodeJournal(journal);
  };
  // A rollback that removes what the package created, then deletes staged
  // copies and folders, would delete, overwrite and remove outside.
  const JournalFile gone = {"Gone.txt", "~mx8", "~mx9", false, 3};
  struct Case {
    const char* What;
    std::string Journal;
    bool NeedsLink = false;
  } cases[] = {
      {"a target up and out",
       journalOf({{"..\\outside\\victim1", "~mx1", "~mx2", false, 1}, gone})},
      {"a target deeper up and out",
       journalOf({{"Data\\..\\..\\outside\\victim1", "Data\\~mx1", "Data\\~mx2", false, 1}, gone})},
      {"a rooted target", journalOf({{"\\outside\\victim1", "\\~mx1", "\\~mx2", false, 1}, gone})},
      {"a drive target",
       journalOf({{"C:\\outside\\victim1", "C:\\~mx1", "C:\\~mx2", false, 1}, gone})},
      {"a staged name up and out",
       journalOf({{"Kept.txt", "..\\outside\\victim1", "~mx2", false, 1}, gone})},
      {"an aside name up and out, restored over a target",
       journalOf({{"Kept.txt", "~mx1", "..\\outside\\victim2", true, 1}, gone})},
      {"a staged name of another pattern",
       journalOf({{"Kept.txt", "victim.txt", "~mx2", true, 1}})},
      {"a staged name without a number", journalOf({{"Kept.txt", "~mx", "~mx2", true, 1}})},
      {"a staged name that is a target",
       journalOf({{"Kept.txt", "~mx1", "~mx2", true, 1}, {"~mx1", "~mx3", "~mx4", true, 1}})},
      {"one staged name twice",
       journalOf({{"Kept.txt", "~mx1", "~mx2", true, 1}, {"Other.txt", "~mx1", "~mx4", true, 1}})},
      {"a package up and out", journalOf({gone}, {}, "..\\..\\outside\\victim3.mxu")},
      {"a package that is no package", journalOf({gone}, {}, "Apply.journal")},
      {"a folder up and out", journalOf({gone}, {"..\\outside\\folder\\"})},
      {"a folder without its separator", journalOf({gone}, {"Data"})},
      {"a target through a link that leads out",
       journalOf({{"Link\\victim1", "Link\\~mx1", "Link\\~mx2", false, 1}, gone}), true},
      {"a folder through a link that leads out", journalOf({gone}, {"Link\\folder\\"}), true},
      {"a removed file that is also written, its aside restored over it",
       journalOf({{"Kept.txt", "~mx1", "~mx3", true, 1}, {"KEPT.TXT", "", "~mx2", true, 0, true}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    testing::TempFolder outer;
    testing::Installation t;
    t.ProgramFolder = outer.Path() + "App\\";
    ASSERT_TRUE(t.Files.CreateFolder(t.ProgramFolder, nullptr));
    ASSERT_TRUE(t.Files.CreateFolder(t.At("Update\\"), nullptr));
    ASSERT_TRUE(t.Files.CreateFolder(outer.Path() + "outside\\", nullptr));
    ASSERT_TRUE(t.Files.CreateFolder(outer.Path() + "outside\\folder\\", nullptr));
    const std::string native = testing::Installation::Native(outer.Path());
    testing::WriteWholeFile(native + "outside/victim1", "victim 1");
    testing::WriteWholeFile(native + "outside/victim2", "victim 2");
    testing::WriteWholeFile(native + "victim3.mxu", "victim 3");
    if (c.NeedsLink) {
      std::error_code error;
      fs::create_directory_symlink(fs::u8path(native + "outside"), fs::u8path(native + "App/Link"),
                                   error);
      if (error || !t.Has("Link\\victim1")) {
        // Wine's CreateSymbolicLinkW reports success and makes nothing; the
        // end-to-end tests show the Windows program a link that Linux made.
        std::cout << "[ SKIPPED  ] no symbolic links here: " << c.What << "\n";
        continue;
      }
    }
    t.Write("Kept.txt", "kept");
    t.Write("~mx2", "aside");
    t.Write("Update\\P.mxu", "package");
    t.Write("Update\\Apply.journal", c.Journal);
    t.Write("Update\\Apply.journal2", c.Journal);
    const Snapshot before = TakeSnapshot(outer.Path());

    std::string refusal;
    EXPECT_EQ(RecoverUnfinishedApply(t.Files, t.Report, t.ProgramFolder, &refusal),
              RecoveryOutcome::Refused);
    EXPECT_FALSE(refusal.empty());
    EXPECT_EQ(TakeSnapshot(outer.Path()), before);
    // A run that applies says so, and applies nothing.
    t.Pack("Update\\Q.mxu", {{"q", "q"}});
    EXPECT_FALSE(ApplyUpdates(t.Reader, t.ProgramFolder));
    ClosePackages(t.Reader);
    ASSERT_FALSE(t.Lines().empty());
    EXPECT_EQ(t.Lines().back(), "Error: Refused Update\\Apply.journal: " + refusal);
    EXPECT_TRUE(t.Files.Delete(t.At("Update\\Q.mxu"), nullptr));
    EXPECT_EQ(TakeSnapshot(outer.Path()), before);
  }
}

// The package of the damage test: files replaced, one created in a new
// folder, content before (empty: none) and after.
const std::map<std::string, std::pair<std::string, std::string>> kDamageFiles = {
    {"VOXA.exe", {"old voxa", "new voxa!"}}, {"Data\\Old.dat", {"old data", "new data"}},
    {"Readme.txt", {"", "new readme"}},      {"Sub\\New.dat", {"", "new sub"}},
    {"Gone.txt", {"old gone", ""}},  // removed
};

// Takes the journals of a real apply killed at each of its changes, with
// everything else on disk at that moment, and damages one copy: cut at each
// record's end, or one bit changed. The recovery then ends in exactly the
// old installation with the package waiting or exactly the new one, with no
// temporary file and no journal left.
TEST(ApplyJournalTest, DamagedCopiesOfRealJournalsEndInTheOldOrNewInstallation) {
  std::string package;
  {
    std::vector<RawEntry> entries;
    for (const auto& [name, change] : kDamageFiles)
      entries.push_back({name,
                         1,
                         change.second.empty() ? PackageMethod::Remove : PackageMethod::Stored,
                         {{0, change.second, static_cast<int32_t>(change.second.size())}}});
    package = BuildPackageBytes(entries, PackageMethod::Stored);
  }
  const Names oldTree = {"Data/",   "Data/Old.dat", "Gone.txt",
                         "Update/", "Update/P.mxu", "VOXA.exe"};
  const Names newTree = {"Data/",       "Data/Old.dat", "Readme.txt", "Sub/",
                         "Sub/New.dat", "Update/",      "VOXA.exe"};
  // The moments at which the journal holds something, once each: a run
  // killed at each of its changes, and a run whose moves fail from the Nth
  // on, which leaves a rollback that cannot finish.
  std::vector<Snapshot> moments;
  std::set<std::string> keys;
  // Nothing here depends on the disk keeping what it was given.
  testing::UnsyncedFileSystem unsynced;
  using Interrupting = testing::InterruptingFileSystem;
  struct Run {
    Interrupting::Mode Mode;
    Interrupting::Calls Calls;
  } runs[] = {{Interrupting::Mode::Crash, Interrupting::Calls::Changes},
              {Interrupting::Mode::FailFromThenOn, Interrupting::Calls::Moves}};
  for (const Run& run : runs) {
    for (int64_t at = 1;; ++at) {
      testing::Installation t;
      EXPECT_TRUE(t.Files.CreateFolder(t.At("Update\\"), nullptr));
      EXPECT_TRUE(t.Files.CreateFolder(t.At("Data\\"), nullptr));
      for (const auto& [name, change] : kDamageFiles)
        if (!change.first.empty()) t.Write(name, change.first);
      t.Write("Update\\P.mxu", package);
      Interrupting interrupting(run.Mode, at, run.Calls, unsynced);
      PackageReader reader(interrupting, t.Report);
      try {
        // The outcome varies with the call interrupted; the disk is checked.
        static_cast<void>(ApplyUpdates(reader, t.ProgramFolder));
      } catch (const testing::Interrupted&) {
      }
      ClosePackages(reader);
      if (!interrupting.WasInterrupted()) break;
      // Once per journal and set of names: moments apart only in how much
      // of a staged file is written are one for the recovery.
      const Snapshot moment = TakeSnapshot(t.ProgramFolder);
      std::string key;
      for (const auto& [name, content] : moment)
        key += name + (name.rfind("Update/Apply.journal", 0) == 0 ? content : "") + '\n';
      if (moment.count("Update/Apply.journal") && keys.insert(key).second)
        moments.push_back(moment);
    }
  }
  ASSERT_GT(moments.size(), 8u);

  int recoveries = 0;
  for (size_t m = 0; m < moments.size() && !::testing::Test::HasFailure(); ++m) {
    const Snapshot& moment = moments[m];
    for (const char* damaged : {"Update/Apply.journal", "Update/Apply.journal2"}) {
      auto found = moment.find(damaged);
      if (found == moment.end()) continue;
      const std::string& copy = found->second;
      std::vector<std::string> variants;
      for (size_t end = copy.find('\n'); end != std::string::npos; end = copy.find('\n', end + 1))
        variants.push_back(copy.substr(0, end + 1));
      variants.push_back("");
      // One bit in the header's version and in the middle of each record: a
      // name, a number or the checksum of the body, or a mark.
      std::vector<size_t> places = {std::string("VOXA apply journal ").size()};
      for (size_t start = 0; start < copy.size();) {
        const size_t end = std::min(copy.find('\n', start), copy.size() - 1);
        places.push_back((start + end) / 2);
        start = end + 1;
      }
      for (size_t at : places) {
        std::string changed = copy;
        changed[at] = static_cast<char>(changed[at] ^ (1 << (at * 3 % 8)));
        variants.push_back(changed);
      }
      for (const std::string& variant : variants) {
        SCOPED_TRACE("moment " + std::to_string(m) + ", " + damaged + " of " +
                     std::to_string(variant.size()) + " bytes");
        testing::Installation t;
        Snapshot state = moment;
        state[damaged] = variant;
        Restore(state, t.ProgramFolder);
        testing::RecordingReport next;
        const RecoveryOutcome outcome = RecoverUnfinishedApply(unsynced, next, t.ProgramFolder);
        ++recoveries;
        bool allOld = true, allNew = true;
        for (const auto& [name, change] : kDamageFiles) {
          const std::string now = t.Has(name) ? t.Read(name) : std::string();
          allOld = allOld && now == change.first;
          allNew = allNew && now == change.second;
        }
        const Names tree = t.Tree();
        ASSERT_TRUE((allOld && tree == oldTree) || (allNew && tree == newTree))
            << ::testing::PrintToString(tree) << ::testing::PrintToString(next.Logged);
        EXPECT_NE(outcome, RecoveryOutcome::Refused);
      }
    }
  }
  EXPECT_GT(recoveries, 500);
}

}  // namespace
}  // namespace updater
