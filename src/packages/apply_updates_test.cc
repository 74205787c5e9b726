// Applying the packages of the update folder to a real program folder: the
// lines printed, the files written, and an installation left as it was when
// a package fails part-way.
#include "packages/apply_updates.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "packages/apply_journal.h"
#include "packages/package_reader.h"
#include "packages/package_test_util.h"
#include "packages/package_writer.h"
#include "support/fake_platform.h"

namespace updater {
namespace {

using testing::PackageTest;
using LineList = std::vector<std::string>;
using Names = std::vector<std::string>;

const LineList kOpening = {"", "Applying updates..."};

LineList Opening(std::initializer_list<std::string> more) {
  LineList lines = kOpening;
  lines.insert(lines.end(), more);
  return lines;
}
LineList Opening(const LineList& more) {
  LineList lines = kOpening;
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}

class ApplyTest : public PackageTest {
 protected:
  void SetUp() override { ASSERT_TRUE(Files.CreateFolder(At("Update\\"), nullptr)); }
};

// A second installation inside one test, with its update folder.
struct UpdatableInstallation : testing::Installation {
  UpdatableInstallation() { EXPECT_TRUE(Files.CreateFolder(At("Update\\"), nullptr)); }
};

TEST_F(ApplyTest, WithoutUpdateFolderFails) {
  testing::Installation bare;  // a program folder without Update\ at all
  EXPECT_FALSE(ApplyUpdates(bare.Reader, bare.ProgramFolder));
  EXPECT_EQ(bare.Report.Lines, kOpening);
}

// A package that cannot be deleted once applied is logged with its cause,
// and the journal that stays keeps it from applying again: the next run's
// recovery deletes it without writing anything, and a later apply in the
// same run stops, naming the journal.
TEST_F(ApplyTest, APackageThatCannotBeDeletedIsNeverAppliedAgain) {
  struct KeepsPackages : testing::ForwardingFileSystem {
    bool Delete(const std::string& path, std::string* cause) override {
      if (path.size() < 4 || path.compare(path.size() - 4, 4, ".mxu") != 0)
        return real_.Delete(path, cause);
      *cause = "held by the test";
      return false;
    }
  } keeping;
  Pack("Update\\a.mxu", {{"A.txt", "new a"}});
  Pack("Update\\b.mxu", {{"B.txt", "new b"}});
  PackageReader reader(keeping, Report);
  EXPECT_FALSE(ApplyUpdates(reader, ProgramFolder));
  EXPECT_EQ(Read("A.txt"), "new a");
  EXPECT_FALSE(Has("B.txt"));
  EXPECT_EQ(Lines().back(), "Error: Cannot recover Update\\Apply.journal");
  std::string logged;
  for (const std::string& record : Report.Logged) logged += record + "\n";
  EXPECT_NE(logged.find("cannot delete the package a.mxu: held by the test"), std::string::npos)
      << logged;
  ASSERT_FALSE(Report.Causes.empty());
  EXPECT_NE(Report.Causes.back().find("held by the test"), std::string::npos);

  // The next run: the package goes, and what it wrote is not written again.
  Write("A.txt", "changed since");
  testing::RecordingReport next;
  EXPECT_EQ(RecoverUnfinishedApply(Files, next, ProgramFolder), RecoveryOutcome::Completed);
  PackageReader again(Files, next);
  EXPECT_TRUE(ApplyUpdates(again, ProgramFolder));
  EXPECT_EQ(Read("A.txt"), "changed since");
  EXPECT_EQ(Read("B.txt"), "new b");
  EXPECT_EQ(Tree(), (Names{"A.txt", "B.txt", "Update/"}));
}

TEST_F(ApplyTest, EmptyFolderAndFoldersNamedLikePackages) {
  EXPECT_TRUE(ApplyUpdates(Reader, ProgramFolder));
  EXPECT_EQ(Lines(), kOpening);
  ASSERT_TRUE(Files.CreateFolder(At("Update\\X.mxu"), nullptr));
  Report.Lines.clear();
  EXPECT_TRUE(ApplyUpdates(Reader, ProgramFolder));
  EXPECT_EQ(Lines(), kOpening);
  EXPECT_EQ(Tree(), (Names{"Update/", "Update/X.mxu/"}));
}

TEST_F(ApplyTest, WritesEntriesCreatingFoldersTopDown) {
  Write("Old.txt", std::string(5000, 'o'));
  Pack("Update\\Game.mxu", {{"Readme.txt", "read me"},
                            {"Data\\Maps\\Forest.dat", testing::SampleBytes(100000, 1)},
                            {"Data\\Maps\\Lake.dat", "lake"},
                            {"Old.txt", "short"}});
  EXPECT_TRUE(ApplyUpdates(Reader, ProgramFolder));
  EXPECT_EQ(Lines(),
            Opening({"Decompressing... : Readme.txt", "Creating directory... : " + At("Data\\"),
                     "Creating directory... : " + At("Data\\Maps\\"),
                     "Decompressing... : Data\\Maps\\Forest.dat",
                     "Decompressing... : Data\\Maps\\Lake.dat", "Decompressing... : Old.txt"}));
  EXPECT_EQ(Read("Readme.txt"), "read me");
  EXPECT_TRUE(Read("Data\\Maps\\Forest.dat") == testing::SampleBytes(100000, 1));
  EXPECT_EQ(Read("Old.txt"), "short");
  // The package is gone, and so is every temporary and backup file.
  EXPECT_EQ(Tree(), (Names{"Data/", "Data/Maps/", "Data/Maps/Forest.dat", "Data/Maps/Lake.dat",
                           "Old.txt", "Readme.txt", "Update/"}));
}

TEST_F(ApplyTest, BadPackageIsReportedAndKeptWhileOthersApply) {
  Write("Update\\Broken.mxu", "VelkoArc\x01 not a package");
  Pack("Update\\Good.MXU", {{"Good.txt", "good"}});
  Pack("Update\\Also.mxu", {{"Also.txt", "also"}});
  EXPECT_TRUE(ApplyUpdates(Reader, ProgramFolder));
  EXPECT_EQ(Lines().size(), 5u);
  EXPECT_EQ(
      std::count(Lines().begin(), Lines().end(), "Error: Failed to read update file: Broken.mxu"),
      1);
  EXPECT_EQ(Read("Good.txt"), "good");
  EXPECT_EQ(Read("Also.txt"), "also");
  EXPECT_EQ(Tree(), (Names{"Also.txt", "Good.txt", "Update/", "Update/Broken.mxu"}));
}

// An entry without a name (also one cut to nothing by a zero byte) makes the
// whole package damaged: nothing of it is written, it stays, and the next
// package still applies.
TEST_F(ApplyTest, ProgressCountsTheDecodedBytesOfEachPackage) {
  Pack("Update\\P.mxu",
       {{"A.dat", testing::SampleBytes(300000, 4)}, {"B.dat", testing::SampleBytes(200000, 5)}});
  EXPECT_TRUE(ApplyUpdates(Reader, ProgramFolder));
  ASSERT_FALSE(Report.ProgressReports.empty());
  for (size_t i = 1; i < Report.ProgressReports.size(); ++i)
    EXPECT_GT(Report.ProgressReports[i].first, Report.ProgressReports[i - 1].first);
  EXPECT_EQ(Report.ProgressReports.back(), (std::pair<int64_t, int64_t>{500000, 500000}));
  EXPECT_EQ(Report.ProgressEnds, 1);
}

TEST_F(ApplyTest, EmptyEntryNameMakesThePackageDamaged) {
  for (const std::string& empty : {std::string(), std::string("\0b", 2)}) {
    UpdatableInstallation t;
    t.Write("Update\\P.mxu", BuildPackageBytes({{"a", 1, PackageMethod::Stored, {{0, "1", 1}}},
                                                {empty, 1, PackageMethod::Stored, {{0, "2", 1}}},
                                                {"b", 1, PackageMethod::Stored, {{0, "3", 1}}}},
                                               PackageMethod::Stored));
    t.Pack("Update\\Q.mxu", {{"q", "q"}});
    EXPECT_TRUE(ApplyUpdates(t.Reader, t.ProgramFolder));
    EXPECT_EQ(
        std::count(t.Lines().begin(), t.Lines().end(), "Error: Failed to read update file: P.mxu"),
        1);
    EXPECT_EQ(t.Tree(), (Names{"Update/", "Update/P.mxu", "q"}));
  }
}

// A package whose entry cannot be written leaves the installation exactly as
// it was: the file it replaced is back, the file it created is gone, and the
// package waits for a later run.
TEST_F(ApplyTest, FailedPackageIsUndone) {
  struct Case {
    const char* What;
    std::function<void(UpdatableInstallation&)> Block;  // makes "Blocked" unwritable
  } cases[] = {
      {"folder in the way",
       [](UpdatableInstallation& t) {
         EXPECT_TRUE(t.Files.CreateFolder(t.At("Blocked"), nullptr));
       }},
      {"file held open",
       [](UpdatableInstallation& t) {
         t.Write("Blocked", "blocked");
         t.Holder = t.Files.OpenRead(t.At("Blocked"), true, nullptr);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    UpdatableInstallation t;
    t.Write("Kept.txt", "old kept");
    c.Block(t);
    t.Pack("Update\\P.mxu",
           {{"Kept.txt", "new"}, {"Sub\\New.txt", "new"}, {"Blocked", "x"}, {"After", "x"}});
    Names before = t.Tree();
    EXPECT_FALSE(ApplyUpdates(t.Reader, t.ProgramFolder));
    EXPECT_EQ(t.Lines(),
              Opening({"Decompressing... : Kept.txt", "Creating directory... : " + t.At("Sub\\"),
                       "Decompressing... : Sub\\New.txt", "Decompressing... : Blocked",
                       "Error: Failed to write file to disk!"}));
    t.Holder.reset();
    ClosePackages(t.Reader);
    EXPECT_EQ(t.Read("Kept.txt"), "old kept");
    // Only the created folder stays behind.
    Names after = t.Tree();
    after.erase(std::remove(after.begin(), after.end(), "Sub/"), after.end());
    EXPECT_EQ(after, before);
  }
}

TEST_F(ApplyTest, FullDiskUndoesThePackage) {
  testing::DiskFullFileSystem diskFull;
  diskFull.Capacity = 150000;
  PackageReader full(diskFull, Report);
  Write("A.dat", "old a");
  Pack("Update\\P.mxu",
       {{"A.dat", testing::SampleBytes(100000, 2)}, {"B.dat", testing::SampleBytes(100000, 3)}});
  Names before = Tree();
  EXPECT_FALSE(ApplyUpdates(full, ProgramFolder));
  EXPECT_EQ(Lines(), Opening({"Decompressing... : A.dat", "Decompressing... : B.dat",
                              "Error: Failed to write file to disk!"}));
  ClosePackages(full);
  EXPECT_EQ(Read("A.dat"), "old a");
  EXPECT_EQ(Tree(), before);
}

TEST_F(ApplyTest, FolderThatCannotBeCreatedStops) {
  Write("Data", "a file where a folder belongs");
  Pack("Update\\P.mxu", {{"First.txt", "1"}, {"Data\\x", "x"}});
  EXPECT_FALSE(ApplyUpdates(Reader, ProgramFolder));
  EXPECT_EQ(Lines(),
            Opening({"Decompressing... : First.txt", "Creating directory... : " + At("Data\\")}));
  ClosePackages(Reader);
  EXPECT_FALSE(Has("First.txt"));
  EXPECT_TRUE(Has("Update\\P.mxu"));
}

// Names that would reach outside the program folder are refused before any
// folder or file is made; the package's earlier entries are undone.
TEST_F(ApplyTest, HostileNamesWriteNothingOutside) {
  for (const std::string name :
       {"..\\x", "Sub\\..\\..\\x", "C:\\x", "C:x", "\\x", "/x", "a/../../x", "...\\x", ". .\\x"}) {
    SCOPED_TRACE(name);
    testing::TempFolder outer;  // the program folder sits one level down
    testing::Installation t;
    t.ProgramFolder = outer.Path() + "App\\";
    ASSERT_TRUE(t.Files.CreateFolder(t.ProgramFolder, nullptr));
    ASSERT_TRUE(t.Files.CreateFolder(t.ProgramFolder + "Update\\", nullptr));
    std::string package = t.ProgramFolder + "Update\\P.mxu";
    testing::WriteWholeFile(
        testing::Installation::Native(package),
        BuildPackageBytes({{"Fine.txt", 1, PackageMethod::Stored, {{0, "f", 1}}},
                           {name, 1, PackageMethod::Stored, {{0, "evil", 4}}}},
                          PackageMethod::Stored));
    EXPECT_FALSE(ApplyUpdates(t.Reader, t.ProgramFolder));
    EXPECT_EQ(t.Lines(), Opening({"Decompressing... : Fine.txt", "Decompressing... : " + name,
                                  "Error: Failed to write file to disk!"}));
    ClosePackages(t.Reader);
    std::vector<std::string> outside;
    for (const auto& item : std::filesystem::recursive_directory_iterator(
             std::filesystem::u8path(testing::Installation::Native(outer.Path()))))
      outside.push_back(item.path().filename().u8string());
    std::sort(outside.begin(), outside.end());
    EXPECT_EQ(outside, (std::vector<std::string>{"App", "P.mxu", "Update"}));
  }
}

// The order file is read only up to its limit, whatever size it claims, and
// only its lines that are package file names count; it goes once nothing it
// names waits, and a rewrite that fails leaves no part behind.
TEST_F(ApplyTest, PackageOrderIsBoundedAndNamesOnlyPackages) {
  Pack("Update\\a.mxu", {{"x", "a"}});
  Pack("Update\\b.mxu", {{"x", "b"}});
  Write("Update\\Packages.order",
        "..\\..\\a.mxu\r\nC:b.mxu\r\nb.mxu\r\nsub/a.mxu\r\na.mxu\r\nnotes.txt\r\n");
  EXPECT_TRUE(ApplyUpdates(Reader, ProgramFolder));
  EXPECT_EQ(Read("x"), "a");  // b first, as recorded, and not by name
  EXPECT_EQ(std::count_if(Report.Logged.begin(), Report.Logged.end(),
                          [](const std::string& record) {
                            return record.rfind("Passed over a line of the package order", 0) == 0;
                          }),
            4);
  EXPECT_EQ(Tree(), (Names{"Update/", "x"}));

  // A sparse file of 100 GB (Wine makes 1 GB).
#ifdef _WIN32
  constexpr uintmax_t kHuge = 1ull << 30;
#else
  constexpr uintmax_t kHuge = 100ull << 30;
#endif
  Write("Update\\Packages.order", "b.mxu\r\na.mxu\r\n");
  std::filesystem::resize_file(std::filesystem::u8path(Native(At("Update\\Packages.order"))),
                               kHuge);
  Pack("Update\\a.mxu", {{"x", "a"}});
  Pack("Update\\b.mxu", {{"x", "b"}});
  EXPECT_TRUE(ApplyUpdates(Reader, ProgramFolder));
  EXPECT_EQ(Read("x"), "b");  // by name
  EXPECT_EQ(Tree(), (Names{"Update/", "x"}));
}

TEST_F(ApplyTest, AFailedRewriteOfThePackageOrderLeavesNoPartBehind) {
  // A disk that is full for the order file's new copy.
  struct FullForParts : testing::ForwardingFileSystem {
    std::unique_ptr<File> Create(const std::string& path, std::string* cause) override {
      std::unique_ptr<File> file = real_.Create(path, cause);
      if (path.size() < 5 || path.compare(path.size() - 5, 5, ".part") != 0) return file;
      auto write = [](File& real, const void* buffer, int64_t size, std::string* cause) {
        if (real.Write(buffer, std::min<int64_t>(size, 3), cause)) *cause = "disk full";
        return false;
      };
      auto sync = [](File& real, std::string* cause) { return real.Sync(cause); };
      return Watched(std::move(file), write, sync);
    }
  } full;
  PackageReader fullReader(full, Report);
  Pack("Update\\a.mxu", {{"a", "a"}});
  Write("Update\\b.mxu", "damaged");
  Write("Update\\Packages.order", "a.mxu\r\nb.mxu\r\n");
  EXPECT_TRUE(ApplyUpdates(fullReader, ProgramFolder));
  ClosePackages(fullReader);
  EXPECT_EQ(Read("Update\\Packages.order"), "a.mxu\r\nb.mxu\r\n");
  EXPECT_EQ(Tree(), (Names{"Update/", "Update/Packages.order", "Update/b.mxu", "a"}));
}

// A package of hand-made entries: stored content, an empty file ("" with
// size 0), or a removal (kRemoved), each one variant with key 0.
const std::string kRemoved = "<removed>";
std::string RawPackage(const std::vector<std::pair<std::string, std::string>>& files,
                       uint16_t version = 1) {
  std::vector<RawEntry> entries;
  for (const auto& [name, content] : files) {
    const bool removed = content == kRemoved;
    entries.push_back({name,
                       version,
                       removed ? PackageMethod::Remove : PackageMethod::Stored,
                       {{0, removed ? "" : content, removed ? 0 : int32_t(content.size())}}});
  }
  return BuildPackageBytes(entries, PackageMethod::Stored);
}

// The three packages of one release apply as one: a later package's entry
// wins over an earlier one's (also of a higher entry version), an empty
// entry makes an empty file, a remove entry deletes its file and leaves its
// folder, and one for a file that is not there changes nothing.
TEST_F(ApplyTest, AReleaseInThreePackagesAppliesAsOne) {
  Write("Same.txt", "old same");
  Write("Gone.txt", "old gone");
  ASSERT_TRUE(Files.CreateFolder(At("Data\\"), nullptr));
  Write("Data\\Gone.dat", "old data");
  Write("Kept.txt", "kept");
  Write("Update\\V-1.mxu",
        RawPackage({{"Same.txt", "first"}, {"A.txt", "a"}, {"Sub\\B.txt", "b"}}, 5));
  Write("Update\\V-2.mxu",
        RawPackage({{"Empty.txt", ""}, {"Gone.txt", kRemoved}, {"Never.txt", kRemoved}}));
  Write("Update\\V-3.mxu", RawPackage({{"Same.txt", "last"}, {"Data\\Gone.dat", kRemoved}}));
  Write("Update\\Packages.order", EncodePackageOrder({{"V-1.mxu", "V-2.mxu", "V-3.mxu"}}));
  ApplyResult result;
  result.ReferenceMismatch = {"stale"};
  EXPECT_TRUE(ApplyUpdates(Reader, ProgramFolder, &result));
  EXPECT_TRUE(result.ReferenceMismatch.empty());
  EXPECT_EQ(Lines(), Opening({"Decompressing... : Same.txt", "Decompressing... : A.txt",
                              "Creating directory... : " + At("Sub\\"),
                              "Decompressing... : Sub\\B.txt", "Decompressing... : Empty.txt"}));
  EXPECT_EQ(Read("Same.txt"), "last");
  EXPECT_EQ(Read("Empty.txt"), "");
  EXPECT_EQ(Tree(), (Names{"A.txt", "Data/", "Empty.txt", "Kept.txt", "Same.txt", "Sub/",
                           "Sub/B.txt", "Update/"}));
  for (const char* record : {"Removing Gone.txt", "Nothing to remove at Never.txt"})
    EXPECT_EQ(std::count(Report.Logged.begin(), Report.Logged.end(), record), 1) << record;
}

// Packages a, b (which both write X) and a damaged c under order files of
// each form: a group applies whole or not at all and waits whole, while a
// file without empty lines, as older updaters wrote it, applies each
// package alone.
TEST_F(ApplyTest, GroupsOfTheOrderFileApplyWholeOrWait) {
  struct Case {
    const char* What;
    std::string Order;
    LineList Lines;
    std::string X;  // afterwards; empty: none
    Names Tree;
    std::string OrderAfter;  // empty: none
  } cases[] = {
      {"one group with a damaged package",
       "a.mxu\r\nb.mxu\r\nc.mxu\r\n\r\n",
       {"Error: Failed to read update file: c.mxu"},
       "",
       {"Update/", "Update/Packages.order", "Update/a.mxu", "Update/b.mxu", "Update/c.mxu"},
       "a.mxu\r\nb.mxu\r\nc.mxu\r\n\r\n"},
      {"an older updater's order file: each alone",
       "a.mxu\r\nb.mxu\r\nc.mxu\r\n",
       {"Decompressing... : X", "Decompressing... : X", "Error: Failed to read update file: c.mxu"},
       "b",
       {"Update/", "Update/Packages.order", "Update/c.mxu", "X"},
       "c.mxu\r\n"},
      {"a group with a package missing, and c unrecorded",
       "a.mxu\nmissing.mxu\nb.mxu\n\n",
       {"Error: Failed to read update file: missing.mxu",
        "Error: Failed to read update file: c.mxu"},
       "",
       {"Update/", "Update/Packages.order", "Update/a.mxu", "Update/b.mxu", "Update/c.mxu"},
       "a.mxu\r\nmissing.mxu\r\nb.mxu\r\n\r\n"},
      {"a alone, then b with c",
       "a.mxu\r\n\r\nb.mxu\r\nc.mxu\r\n\r\n",
       {"Decompressing... : X", "Error: Failed to read update file: c.mxu"},
       "a",
       {"Update/", "Update/Packages.order", "Update/b.mxu", "Update/c.mxu", "X"},
       "b.mxu\r\nc.mxu\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    UpdatableInstallation t;
    t.Pack("Update\\a.mxu", {{"X", "a"}});
    t.Pack("Update\\b.mxu", {{"X", "b"}});
    t.Write("Update\\c.mxu", "damaged");
    t.Write("Update\\Packages.order", c.Order);
    EXPECT_TRUE(ApplyUpdates(t.Reader, t.ProgramFolder));
    EXPECT_EQ(t.Lines(), Opening(c.Lines));
    EXPECT_EQ(t.Has("X") ? t.Read("X") : "", c.X);
    EXPECT_EQ(t.Tree(), c.Tree);
    EXPECT_EQ(t.Has("Update\\Packages.order") ? t.Read("Update\\Packages.order") : "",
              c.OrderAfter);
  }
}

// A patch made from another file than the installed one fails its whole
// release before anything of it is written, and says which packages it
// was in; made from the installed file, the same release applies.
TEST_F(ApplyTest, APatchForAnotherFileStopsItsReleaseBeforeAnythingIsWritten) {
  Write("Old.txt", "installed content");
  Write("other", "other content");
  Write("installed", "installed content");
  Pack("Update\\p1.mxu", {{"New.txt", "new"}, {"Sub\\Deep.txt", "deep"}});
  Pack("Update\\q.mxu", {{"Q.txt", "q"}});
  Write("Update\\Packages.order", EncodePackageOrder({{"p1.mxu", "p2.mxu"}, {"q.mxu"}}));
  for (const char* reference : {"other", "installed"}) {
    SCOPED_TRACE(reference);
    std::string error;
    ASSERT_TRUE(WritePackage(
        Native(At("Update\\p2.mxu")),
        {{"Old.txt", 1, PackageMethod::Patch, {{0, "", "new content", Native(At(reference))}}}}, {},
        &error))
        << error;
    const Names before = Tree();
    Report.Lines.clear();
    ApplyResult result;
    const bool walked = ApplyUpdates(Reader, ProgramFolder, &result);
    if (reference == std::string("other")) {
      EXPECT_FALSE(walked);
      EXPECT_EQ(result.ReferenceMismatch, (Names{"p1.mxu", "p2.mxu"}));
      EXPECT_EQ(Lines(), Opening({"Error: Failed to decompress file!"}));
      EXPECT_EQ(Tree(), before);
      EXPECT_EQ(std::count_if(Report.Logged.begin(), Report.Logged.end(),
                              [](const std::string& record) {
                                return record.rfind(
                                           "Patch reference differs: nothing of "
                                           "p1.mxu, p2.mxu was written",
                                           0) == 0;
                              }),
                1);
    } else {
      EXPECT_TRUE(walked);
      EXPECT_TRUE(result.ReferenceMismatch.empty());
      EXPECT_EQ(Read("Old.txt"), "new content");
      EXPECT_EQ(Tree(), (Names{"New.txt", "Old.txt", "Q.txt", "Sub/", "Sub/Deep.txt", "Update/",
                               "installed", "other"}));
    }
  }
}

// Remove entries that cannot apply leave the installation as it was: a
// release that removes a name it also writes (in another letter case) is
// damaged, a remove entry with data cannot be decoded, and a folder or a
// file held open where a file is to go fails before the commit.
TEST_F(ApplyTest, RemoveEntriesThatCannotApply) {
  struct Case {
    const char* What;
    std::string Second;  // the package after one that writes Doc.txt
    std::function<void(UpdatableInstallation&)> Prepare;
    bool Walked;
    LineList Lines;
  } cases[] = {
      {"the release writes the name it removes",
       RawPackage({{"DOC.TXT", kRemoved}}),
       [](UpdatableInstallation&) {},
       true,
       {"Error: Failed to read update file: p2.mxu"}},
      {"a remove entry with data",
       BuildPackageBytes({{"Old.txt", 1, PackageMethod::Remove, {{0, "x", 1}}}},
                         PackageMethod::Stored),
       [](UpdatableInstallation&) {},
       false,
       {"Decompressing... : Doc.txt", "Error: Failed to decompress file!"}},
      {"a folder in the removed file's place",
       RawPackage({{"Old.txt", kRemoved}}),
       [](UpdatableInstallation& t) {
         EXPECT_TRUE(t.Files.Delete(t.At("Old.txt"), nullptr));
         EXPECT_TRUE(t.Files.CreateFolder(t.At("Old.txt"), nullptr));
       },
       false,
       {"Decompressing... : Doc.txt", "Error: Failed to write file to disk!"}},
      {"the removed file held open",
       RawPackage({{"Old.txt", kRemoved}}),
       [](UpdatableInstallation& t) {
         t.Holder = t.Files.OpenRead(t.At("Old.txt"), true, nullptr);
       },
       false,
       {"Decompressing... : Doc.txt", "Error: Failed to write file to disk!"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    UpdatableInstallation t;
    t.Write("Doc.txt", "old doc");
    t.Write("Old.txt", "old");
    c.Prepare(t);
    t.Pack("Update\\p1.mxu", {{"Doc.txt", "new doc"}});
    t.Write("Update\\p2.mxu", c.Second);
    t.Write("Update\\Packages.order", EncodePackageOrder({{"p1.mxu", "p2.mxu"}}));
    const Names before = t.Tree();
    ApplyResult result;
    EXPECT_EQ(ApplyUpdates(t.Reader, t.ProgramFolder, &result), c.Walked);
    EXPECT_EQ(t.Lines(), Opening(c.Lines));
    // Undone whole or never begun: the caller may fetch full packages instead.
    EXPECT_EQ(result.NotApplied, (Names{"p1.mxu", "p2.mxu"}));
    EXPECT_TRUE(result.ReferenceMismatch.empty());
    t.Holder.reset();
    ClosePackages(t.Reader);
    EXPECT_EQ(t.Tree(), before);
    EXPECT_EQ(t.Read("Doc.txt"), "old doc");
  }
}

// The real file system, where another program holds files open: each hold
// begins at the first call of its kind on its file and lasts until the clock
// reaches its end. Meanwhile every exclusive open, move and deletion of that
// file fails, as on Windows, and HeldOpenElsewhere says so unless the hold
// is one it cannot tell (a failure of another kind).
class HoldingFileSystem : public testing::ForwardingFileSystem {
 public:
  enum class Step { Check, Aside, Place, Remove };
  struct Hold {
    std::string Path;
    Step From;
    uint64_t For;                                  // milliseconds of the clock
    bool Told = true;                              // HeldOpenElsewhere reports it
    std::optional<uint64_t> Since = std::nullopt;  // when it began
  };

  explicit HoldingFileSystem(testing::FakeClock& clock) : clock_(clock) {}

  std::vector<Hold> Holds;

  std::unique_ptr<File> OpenRead(const std::string& path, bool exclusive,
                                 std::string* cause) override {
    if (exclusive && Blocks(path, Step::Check, cause)) return nullptr;
    return real_.OpenRead(path, exclusive, cause);
  }
  bool KeepAside(const std::string& path, const std::string& aside, std::string* cause) override {
    return !Blocks(path, Step::Aside, cause) && real_.KeepAside(path, aside, cause);
  }
  bool Replace(const std::string& from, const std::string& to, std::string* cause) override {
    return !Blocks(to, Step::Place, cause) && real_.Replace(from, to, cause);
  }
  bool Delete(const std::string& path, std::string* cause) override {
    return !Blocks(path, Step::Remove, cause) && real_.Delete(path, cause);
  }
  bool HeldOpenElsewhere(const std::string& path) override {
    for (const Hold& hold : Holds)
      if (hold.Path == path && Active(hold)) return hold.Told;
    return false;
  }

 private:
  bool Active(const Hold& hold) const { return hold.Since && clock_.Now < *hold.Since + hold.For; }
  bool Blocks(const std::string& path, Step step, std::string* cause) {
    for (Hold& hold : Holds) {
      if (hold.Path != path) continue;
      if (!hold.Since && hold.From == step) hold.Since = clock_.Now;
      if (!Active(hold)) continue;
      if (cause) *cause = "held by the test: " + path;
      return true;
    }
    return false;
  }

  testing::FakeClock& clock_;
};

// The installation of the held-file tests, and its package P.mxu, which
// writes two files, adds one and removes one.
void InstallWithHeldFiles(UpdatableInstallation& t) {
  t.Write("Kept.txt", "old kept");
  ASSERT_TRUE(t.Files.CreateFolder(t.At("Data\\"), nullptr));
  t.Write("Data\\Held.dat", "old held");
  t.Write("Old.txt", "old");
  t.Write("Update\\P.mxu", RawPackage({{"Kept.txt", "new kept"},
                                       {"Data\\Held.dat", "new held"},
                                       {"Data\\New.txt", "new"},
                                       {"Old.txt", kRemoved}}));
}

// P.mxu applied whole and gone, or not at all and waiting.
void ExpectInstalled(const UpdatableInstallation& t, bool applied) {
  EXPECT_EQ(t.Read("Kept.txt"), applied ? "new kept" : "old kept");
  EXPECT_EQ(t.Read("Data\\Held.dat"), applied ? "new held" : "old held");
  EXPECT_EQ(t.Has("Data\\New.txt"), applied);
  EXPECT_EQ(t.Has("Old.txt"), !applied);
  EXPECT_EQ(t.Has("Update\\P.mxu"), !applied);
}

// Files that another program holds open for a while, from the step that
// meets the hold first: the check that nothing else has a target open, its
// move aside, the placing of its new content, the deletion of a removed
// file. The apply waits on the clock, in short steps and within one time
// for the whole transaction, with one line for each file, and then applies
// the package whole; a hold that outlasts that time, or a failure that is
// no hold, fails the package exactly as an apply that never waits does
// (the same lines), and the installation is as it was.
TEST_F(ApplyTest, FilesHeldOpenAreWaitedForWithinOneTimeForTheTransaction) {
  using Step = HoldingFileSystem::Step;
  constexpr uint64_t kForever = uint64_t{1} << 40;
  constexpr int64_t kLimit = 20000;
  struct Waited {
    const char* Name;
    int Seconds;  // shown as the most it waits for
  };
  struct Case {
    const char* What;
    std::vector<HoldingFileSystem::Hold> Holds;
    bool Applied;
    std::vector<Waited> Lines;
    uint64_t Slept;
  } cases[] = {
      {"held at its check for 3 s",
       {{"Data\\Held.dat", Step::Check, 3000}},
       true,
       {{"Data\\Held.dat", 20}},
       3000},
      {"held from its move aside",
       {{"Data\\Held.dat", Step::Aside, 1000}},
       true,
       {{"Data\\Held.dat", 20}},
       1000},
      {"held from its replacement, 0.6 s",
       {{"Kept.txt", Step::Place, 600}},
       true,
       {{"Kept.txt", 20}},
       750},
      {"a removed file held from its deletion",
       {{"Old.txt", Step::Remove, 2000}},
       true,
       {{"Old.txt", 20}},
       2000},
      {"two files held 8 s each",
       {{"Kept.txt", Step::Check, 8000}, {"Data\\Held.dat", Step::Check, 8000}},
       true,
       {{"Kept.txt", 20}, {"Data\\Held.dat", 12}},
       16000},
      {"held again after it came free",
       {{"Kept.txt", Step::Check, 1000}, {"Kept.txt", Step::Place, 1000}},
       true,
       {{"Kept.txt", 20}},
       2000},
      {"held beyond the time",
       {{"Data\\Held.dat", Step::Check, kForever}},
       false,
       {{"Data\\Held.dat", 20}},
       20000},
      {"two files held 15 s each, beyond the time together",
       {{"Kept.txt", Step::Check, 15000}, {"Data\\Held.dat", Step::Check, 15000}},
       false,
       {{"Kept.txt", 20}, {"Data\\Held.dat", 5}},
       20000},
      {"held beyond the time in the commit",
       {{"Data\\Held.dat", Step::Place, kForever}},
       false,
       {{"Data\\Held.dat", 20}},
       20000},
      {"a failure that is no hold, at the check",
       {{"Data\\Held.dat", Step::Check, kForever, false}},
       false,
       {},
       0},
      {"a failure that is no hold, in the commit",
       {{"Kept.txt", Step::Aside, kForever, false}},
       false,
       {},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    // The same case applied with waits allowed, and as an apply that never
    // waits does it.
    LineList linesOf[2];
    for (const bool allowed : {true, false}) {
      UpdatableInstallation t;
      InstallWithHeldFiles(t);
      const Names before = t.Tree();
      testing::FakeClock clock;
      HoldingFileSystem holding(clock);
      holding.Holds = c.Holds;
      for (HoldingFileSystem::Hold& hold : holding.Holds) hold.Path = t.At(hold.Path);
      PackageReader reader(holding, t.Report);
      if (allowed) reader.HeldFiles.Allow(clock, kLimit);
      const bool applied = ApplyUpdates(reader, t.ProgramFolder);
      for (std::string line : t.Lines()) {
        const size_t folder = line.find(t.ProgramFolder);
        if (folder != std::string::npos) line.replace(folder, t.ProgramFolder.size(), "<program>");
        linesOf[allowed].push_back(line);
      }
      ClosePackages(reader);
      if (!allowed) {
        EXPECT_TRUE(clock.Sleeps.empty());
        continue;
      }
      EXPECT_EQ(applied, c.Applied);
      uint64_t slept = 0;
      for (const int sleep : clock.Sleeps) {
        EXPECT_GT(sleep, 0);
        EXPECT_LE(sleep, kHeldFileStepMilliseconds);
        slept += static_cast<uint64_t>(sleep);
      }
      EXPECT_EQ(slept, c.Slept);
      LineList waits;
      for (const std::string& line : t.Lines())
        if (line.rfind("Waiting for ", 0) == 0) waits.push_back(line);
      LineList expected;
      for (const Waited& w : c.Lines)
        expected.push_back("Waiting for " + t.At(w.Name) +
                           ", which another program has open (up to " + std::to_string(w.Seconds) +
                           " seconds)...");
      EXPECT_EQ(waits, expected);
      std::string logged;
      for (const std::string& record : t.Report.Logged) logged += record + "\n";
      if (!c.Lines.empty()) {
        EXPECT_NE(logged.find("(held by the test: " + t.At(c.Lines.front().Name) + ")"),
                  std::string::npos)
            << logged;
        EXPECT_NE(logged.find(c.Applied ? " came free after " : "giving up"), std::string::npos)
            << logged;
      }
      ExpectInstalled(t, c.Applied);
      EXPECT_TRUE(c.Applied || t.Tree() == before);
    }
    if (c.Applied) continue;
    // Failed as before. With one file held, it fails where an apply that
    // never waits fails: the same lines, but for the wait.
    EXPECT_EQ(linesOf[true].back(), "Error: Failed to write file to disk!");
    LineList withoutWaits;
    for (const std::string& line : linesOf[true])
      if (line.rfind("Waiting for ", 0) != 0) withoutWaits.push_back(line);
    if (c.Holds.size() == 1) {
      EXPECT_EQ(withoutWaits, linesOf[false]);
    }
  }
}

// A run killed while it waits for a held file: while staging, the next
// run's recovery leaves the old installation; in the commit, the new one
// (every new file is there); whole either way, with nothing of the apply
// left behind.
TEST_F(ApplyTest, ARunKilledWhileItWaitsForAHeldFileIsRecovered) {
  using Step = HoldingFileSystem::Step;
  struct KilledClock : testing::FakeClock {
    void Sleep(int milliseconds) override {
      FakeClock::Sleep(milliseconds);
      if (Sleeps.size() == 3) throw testing::Interrupted{};
    }
  };
  for (const auto& [step, applied] : {std::pair{Step::Check, false}, {Step::Place, true}}) {
    SCOPED_TRACE(applied ? "in the commit" : "while staging");
    UpdatableInstallation t;
    InstallWithHeldFiles(t);
    KilledClock clock;
    HoldingFileSystem holding(clock);
    holding.Holds = {{t.At("Data\\Held.dat"), step, uint64_t{1} << 40}};
    PackageReader reader(holding, t.Report);
    reader.HeldFiles.Allow(clock, 20000);
    EXPECT_THROW(static_cast<void>(ApplyUpdates(reader, t.ProgramFolder)), testing::Interrupted);
    ClosePackages(reader);
    EXPECT_TRUE(t.Has("Update\\Apply.journal"));

    testing::RecordingReport next;
    EXPECT_EQ(RecoverUnfinishedApply(t.Files, next, t.ProgramFolder),
              applied ? RecoveryOutcome::Completed : RecoveryOutcome::RolledBack);
    ExpectInstalled(t, applied);
    for (const std::string& name : t.Tree()) EXPECT_EQ(name.find("~mx"), std::string::npos) << name;
    EXPECT_FALSE(t.Has("Update\\Apply.journal"));
  }
}

// The order file's groups: written and read back, read leniently, and found
// in a listing of the update folder.
TEST(PackageOrderTest, GroupsRoundTripAndFindTheirPackages) {
  const struct {
    const char* What;
    PackageGroups Groups;
    const char* Text;
  } cases[] = {
      {"every package alone: the file of older updaters",
       {{"a.mxu"}, {"b.mxu"}},
       "a.mxu\r\nb.mxu\r\n"},
      {"a release in three packages, then one alone",
       {{"V-1.mxu", "V-2.mxu", "V-3.mxu"}, {"w.mxu"}},
       "V-1.mxu\r\nV-2.mxu\r\nV-3.mxu\r\n\r\nw.mxu\r\n\r\n"},
      {"nothing", {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    EXPECT_EQ(EncodePackageOrder(c.Groups), c.Text);
    EXPECT_EQ(DecodePackageOrder(c.Text), c.Groups);
  }
  std::vector<std::string> passedOver;
  EXPECT_EQ(
      DecodePackageOrder("\n\na.mxu\nnotes.txt\r\nb.mxu\r\n\r\n\r\n..\\c.mxu\nc.mxu", &passedOver),
      (PackageGroups{{"a.mxu", "b.mxu"}, {"c.mxu"}}));
  EXPECT_EQ(passedOver, (Names{"notes.txt", "..\\c.mxu"}));

  std::string found;
  for (const ApplyGroup& group :
       ApplyGroups({"W.MXU", "v-2.mxu", "x.mxu", "v-1.mxu", "a.mxu"},
                   {{"gone.mxu"}, {"v-1.mxu", "v-2.mxu", "v-3.mxu"}, {"w.mxu", "V-1.MXU"}})) {
    for (const std::string& name : group.Packages) found += name + " ";
    for (const std::string& name : group.Missing) found += "-" + name + " ";
    found += "| ";
  }
  EXPECT_EQ(found, "v-1.mxu v-2.mxu -v-3.mxu | W.MXU | a.mxu | x.mxu | ");
}

#ifndef _WIN32
// (Wine cannot make links; the end-to-end tests show the Windows program a
// link that Linux made.)
TEST_F(ApplyTest, EntriesThroughALinkThatLeavesTheFolderAreRefused) {
  namespace fs = std::filesystem;
  testing::TempFolder outer;
  testing::Installation t;
  t.ProgramFolder = outer.Path() + "App\\";
  ASSERT_TRUE(t.Files.CreateFolder(t.ProgramFolder, nullptr));
  ASSERT_TRUE(t.Files.CreateFolder(t.At("Update\\"), nullptr));
  ASSERT_TRUE(t.Files.CreateFolder(t.At("Real\\"), nullptr));
  ASSERT_TRUE(t.Files.CreateFolder(outer.Path() + "outside\\", nullptr));
  const std::string native = testing::Installation::Native(outer.Path());
  testing::WriteWholeFile(native + "outside/victim", "victim");
  fs::create_directory_symlink(native + "outside", native + "App/Out");
  fs::create_directory_symlink(native + "App/Real", native + "App/In");
  t.Pack("Update\\P.mxu", {{"In\\fine", "fine"}, {"Out\\victim", "evil"}});
  EXPECT_FALSE(ApplyUpdates(t.Reader, t.ProgramFolder));
  EXPECT_EQ(t.Lines(), Opening({"Decompressing... : In\\fine", "Decompressing... : Out\\victim",
                                "Error: Failed to write file to disk!"}));
  ClosePackages(t.Reader);
  EXPECT_EQ(testing::ReadWholeFile(native + "outside/victim"), "victim");
  EXPECT_EQ(std::distance(fs::directory_iterator(native + "outside"), fs::directory_iterator()), 1);
  EXPECT_FALSE(t.Has("Real\\fine"));
  // A link that stays inside is a folder like any other.
  t.Pack("Update\\P.mxu", {{"In\\fine", "fine"}});
  EXPECT_TRUE(ApplyUpdates(t.Reader, t.ProgramFolder));
  EXPECT_EQ(t.Read("Real\\fine"), "fine");
}
#endif

TEST_F(ApplyTest, CreateFoldersOnlyMakesMissingOnes) {
  ASSERT_TRUE(Files.CreateFolder(At("A\\"), nullptr));
  struct Case {
    const char* FolderPart;
    LineList Lines;
  } cases[] = {
      {"", {}},
      {"A\\", {}},
      {"A\\B\\C\\",
       {"Creating directory... : " + At("A\\B\\"), "Creating directory... : " + At("A\\B\\C\\")}},
      {"A\\B", {}},
      {"D", {"Creating directory... : " + At("D\\")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.FolderPart);
    Report.Lines.clear();
    EXPECT_TRUE(CreateFolders(Files, Report, ProgramFolder, c.FolderPart));
    EXPECT_EQ(Lines(), c.Lines);
  }
  EXPECT_TRUE(Files.IsFolder(At("A\\B\\C\\")));
}

#ifndef _WIN32
TEST_F(ApplyTest, DeliversWorkingPrograms) {
  namespace fs = std::filesystem;
  Write("Tool", "old");
  fs::permissions(Native(At("Tool")), fs::perms::owner_read | fs::perms::owner_write);
  Pack("Update\\P.mxu", {{"Tool", "#!/bin/sh\n"}, {"bin\\run", "#!/bin/sh\necho ran\n"}});
  EXPECT_TRUE(ApplyUpdates(Reader, ProgramFolder));
  EXPECT_EQ(fs::status(Native(At("Tool"))).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_NE(fs::status(Native(At("bin\\run"))).permissions() & fs::perms::owner_exec,
            fs::perms::none);
}
#endif

}  // namespace
}  // namespace updater
