// One publish as one change of a server folder: the plan's text, a change
// that is committed or dropped, and the repair of a publish that died at any
// point of its renames.
#include "mxupack/publish_plan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "support/temp_folder.h"
#include "system/platform.h"

namespace updater::mxupack {
namespace {

namespace fs = std::filesystem;
using testing::ReadWholeFile;
using testing::WriteWholeFile;
using Files = std::map<std::string, std::string>;

TEST(PublishPlanTest, ReadsBackOnlyWhatItWrote) {
  const std::vector<std::string> names = {"VOXA-1.05.mxu", "VOXA-1.05.mxu.minisig",
                                          "VersionInfo.txt", "VersionInfo.txt.minisig"};
  const std::string text = PlanText(names);
  std::vector<std::string> read;
  std::string reason;
  ASSERT_TRUE(ParsePlan(text, &read, &reason)) << reason;
  EXPECT_EQ(read, names);
  ASSERT_TRUE(ParsePlan(PlanText({}), &read, &reason)) << reason;
  EXPECT_TRUE(read.empty());

  std::string flipped = text;
  flipped[30] ^= 1;
  const std::string cut = text.substr(0, text.size() - 5);
  const std::string dropped = text.substr(0, text.find("VersionInfo.txt\n")) +
                              text.substr(text.find("VersionInfo.txt.minisig"));
  const struct {
    const char* Name;
    std::string Text;
  } damaged[] = {
      {"a flipped bit", flipped},
      {"cut short", cut},
      {"a line dropped", dropped},
      {"no heading", text.substr(text.find('\n') + 1)},
      {"a path out of the folder", PlanText({"../VersionInfo.txt"})},
      {"a path into a folder", PlanText({"sub/x"})},
      {"the plan itself", PlanText({kPlanFile})},
      {"nothing", ""},
  };
  for (const auto& c : damaged) {
    EXPECT_FALSE(ParsePlan(c.Text, &read, &reason)) << c.Name;
    EXPECT_FALSE(reason.empty()) << c.Name;
  }
}

class FolderTest : public ::testing::Test {
 protected:
  std::string Folder() const { return temp_.Path(); }
  Files Contents() const {
    Files files;
    for (const auto& entry : fs::directory_iterator(Folder()))
      files[entry.path().filename().string()] = ReadWholeFile(entry.path().string());
    return files;
  }
  // Repairs the folder; its message, or the error.
  std::string Repair() {
    std::ostringstream out;
    std::string error;
    if (!RepairFolder(RealPlatform().Files, Folder(), out, &error)) return "error: " + error;
    return out.str();
  }

  testing::TempFolder temp_;
};

TEST_F(FolderTest, AChangeTakesEffectWholeOnlyWhenCommitted) {
  WriteWholeFile(Folder() + "VersionInfo.txt", "old");
  std::string error;
  {
    FolderChange change(RealPlatform().Files, Folder());
    WriteWholeFile(change.Add("P.mxu"), "package");
    ASSERT_TRUE(change.AddText("VersionInfo.txt", "new", &error)) << error;
    EXPECT_EQ(Contents(), (Files{{"P.mxu.~publish", "package"},
                                 {"VersionInfo.txt", "old"},
                                 {"VersionInfo.txt.~publish", "new"}}));
  }
  // Dropped: its pending files go.
  EXPECT_EQ(Contents(), (Files{{"VersionInfo.txt", "old"}}));
  FolderChange change(RealPlatform().Files, Folder());
  WriteWholeFile(change.Add("P.mxu"), "package");
  ASSERT_TRUE(change.AddText("VersionInfo.txt", "new", &error)) << error;
  ASSERT_TRUE(change.Commit(&error)) << error;
  EXPECT_EQ(Contents(), (Files{{"P.mxu", "package"}, {"VersionInfo.txt", "new"}}));
}

TEST_F(FolderTest, ARepairFinishesAPlanWhoseFilesAreAllThereAndUndoesOthers) {
  const std::vector<std::string> names = {"P.mxu", "P.mxu.minisig", "VersionInfo.txt",
                                          "VersionInfo.txt.minisig"};
  const Files before = {
      {"VersionInfo.txt", "old"}, {"VersionInfo.txt.minisig", "old sig"}, {"Other.mxu", "other"}};
  const Files after = {{"VersionInfo.txt", "new"},
                       {"VersionInfo.txt.minisig", "new sig"},
                       {"Other.mxu", "other"},
                       {"P.mxu", "package"},
                       {"P.mxu.minisig", "sig"}};
  const Files content = {{"P.mxu", "package"},
                         {"P.mxu.minisig", "sig"},
                         {"VersionInfo.txt", "new"},
                         {"VersionInfo.txt.minisig", "new sig"}};
  const struct {
    const char* Name;
    size_t Renamed;    // names of the plan already renamed
    const char* Lost;  // a pending file that went missing
    bool Planned;      // the plan is there
    const Files* Expected;
    const char* Said;
  } cases[] = {
      {"killed before the plan", 0, "", false, &before, "removed 5 unfinished"},
      {"killed at the first rename", 0, "", true, &after, "finished the publish"},
      {"killed between the package and its signature", 1, "", true, &after, "3 of 4"},
      {"killed between the catalogue and its signature", 3, "", true, &after, "finished"},
      {"killed after the last rename", 4, "", true, &after, "0 of 4"},
      {"a pending file lost", 1, "VersionInfo.txt", true, nullptr, "undid the publish"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(Folder());
    fs::create_directories(Folder());
    for (const auto& [name, text] : before) WriteWholeFile(Folder() + name, text);
    for (size_t i = 0; i < names.size(); ++i)
      WriteWholeFile(Folder() + names[i] + (i < c.Renamed ? "" : kPendingSuffix),
                     content.at(names[i]));
    if (*c.Lost) fs::remove(Folder() + c.Lost + kPendingSuffix);
    if (c.Planned) WriteWholeFile(Folder() + kPlanFile, PlanText(names));
    WriteWholeFile(Folder() + "Q.mxu" + kPendingSuffix, "from an older run");
    const std::string said = Repair();
    EXPECT_NE(said.find(c.Said), std::string::npos) << said;
    Files expected = c.Expected ? *c.Expected : before;
    if (!c.Expected) expected["P.mxu"] = "package";  // renamed before the loss
    EXPECT_EQ(Contents(), expected);
  }

  // A plan that cannot be read is left for a person, with everything else.
  WriteWholeFile(Folder() + kPlanFile, PlanText(names) + "more");
  WriteWholeFile(Folder() + "P.mxu" + kPendingSuffix, "package");
  const Files damaged = Contents();
  EXPECT_EQ(Repair().rfind("error: cannot read ", 0), 0u);
  EXPECT_EQ(Contents(), damaged);
}

}  // namespace
}  // namespace updater::mxupack
