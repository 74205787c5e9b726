// Release trees read safely: the names Windows and the updater take, the
// patterns that leave paths out, links, and names Windows takes for one.
#include "mxupack/file_tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "support/temp_folder.h"

namespace updater::mxupack {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;
using testing::WriteWholeFile;

TEST(NameProblemTest, RefusesWhatWindowsOrTheUpdaterCannotTake) {
  const struct {
    const char* Path;
    const char* Problem;  // a part of the reason; empty: taken
  } cases[] = {
      {"VOXA.exe", ""},
      {"Data/Maps/Forest.dat", ""},
      {"a.b.c", ""},
      {".hidden", ""},
      {"Na\xc3\xafve.txt", ""},
      {"CONSOLE.txt", ""},
      {"COM10.txt", ""},
      {"com0", ""},
      {"LPT", ""},
      {"a:b", "the character :"},
      {"Data/x:stream", "the character :"},
      {"x\\..\\..\\evil.txt", "the character \\"},
      {"x<y", "the character <"},
      {"q?", "the character ?"},
      {"star*", "the character *"},
      {"pipe|", "the character |"},
      {"quote\"", "the character \""},
      {"...", "ends with a dot"},
      {"Data/trailing.", "ends with a dot"},
      {"trailing /x", "ends with a dot or a space"},
      {"CON", "device name CON"},
      {"Data/con.txt", "device name con"},
      {"Aux.tar.gz", "device name Aux"},
      {"nul .txt", "device name nul"},
      {"COM1", "device name COM1"},
      {"lpt9.x", "device name lpt9"},
      {"COM\xc2\xb9.txt", "device name COM\xc2\xb9"},
      {"a\x01", "control character"},
      {"a\x7f", "control character"},
      {"", "an empty name"},
      {"a//b", "an empty name"},
      {"..", "the name \"..\""},
      {"a/../b", "the name \"..\""},
      {"./a", "the name \".\""},
  };
  for (const auto& c : cases) {
    const std::string problem = NameProblem(c.Path);
    if (*c.Problem == '\0')
      EXPECT_EQ(problem, "") << c.Path;
    else
      EXPECT_NE(problem.find(c.Problem), std::string::npos) << c.Path << ": " << problem;
  }
}

TEST(MatchesPatternTest, GlobsOnReleasePaths) {
  const struct {
    const char* Pattern;
    const char* Path;
    bool Matches;
  } cases[] = {
      {"*.pdb", "a.pdb", true},
      {"*.pdb", "bin/deep/a.pdb", true},
      {"*.PDB", "A.pdb", true},
      {"*.pdb", "a.pdbx", false},
      {"*.pdb", "pdb", false},
      {"logs/**", "logs/a/b.txt", true},
      {"logs/**", "logs", false},
      {"logs/**", "sub/logs/a", false},
      {"logs", "sub/logs", true},
      {"bin/*.dll", "bin/a.dll", true},
      {"bin/*.dll", "bin/x/a.dll", false},
      {"bin/*.dll", "other/bin/a.dll", false},
      {"**/cache/*", "a/b/cache/x", true},
      {"**/cache/*", "cache/x", true},
      {"**/cache/*", "cache/x/y", false},
      {"data/**/x.txt", "data/x.txt", true},
      {"data/**/x.txt", "data/a/b/x.txt", true},
      {"data/**x.txt", "data/a/bx.txt", true},
      {"a?c", "abc", true},
      {"a?c", "a/c", false},
      {"a?c", "ac", false},
      {"*", "", true},
      {"", "a", false},
      {"*a*a*a*a*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MatchesPattern(c.Pattern, c.Path), c.Matches) << c.Pattern << " on " << c.Path;
}

class TreeTest : public ::testing::Test {
 public:  // for the cases' set-up functions
  void File(const std::string& path, const std::string& content = "x") {
    fs::create_directories(fs::path(Root() + path).parent_path());
    WriteWholeFile(Root() + path, content);
  }
  void Link(const std::string& target, const std::string& path) {
    fs::create_directories(fs::path(Root() + path).parent_path());
    fs::create_symlink(target, Root() + path);
  }
  std::string Root() const { return temp_.Path() + "release/"; }
  std::string Outside() const { return temp_.Path() + "outside/"; }

  // The entry names listed, or the message.
  std::string List(const TreeOptions& options) {
    std::map<std::string, std::string> files;
    std::string error;
    if (!ListFiles(Root(), options, &files, &error)) return "error: " + error;
    std::string names;
    for (const auto& [name, path] : files) names += name + "=" + testing::ReadWholeFile(path) + ";";
    return names;
  }

  TempFolder temp_;
};

TEST_F(TreeTest, LinksOnlyOnPurposeAndNamesWindowsTakesForOne) {
  fs::create_directories(Outside() + "folder");
  WriteWholeFile(Outside() + "secret.txt", "secret");
  WriteWholeFile(Outside() + "folder/inner.txt", "inner");
  TreeOptions follow;
  follow.FollowLinks = true;
  TreeOptions leaveOut;
  leaveOut.Excludes = {"Linked", "*.tmp"};
  const struct {
    const char* Name;
    std::function<void(TreeTest&)> Make;
    TreeOptions Options;
    std::string Listed;  // names, or the start of an error
  } cases[] = {
      {"plain files",
       [](TreeTest& t) {
         t.File("a.txt", "a");
         t.File("Data/b.txt", "b");
       },
       {},
       "Data\\b.txt=b;a.txt=a;"},
      {"a link to a file",
       [&](TreeTest& t) {
         t.File("a.txt");
         t.Link(Outside() + "secret.txt", "s");
       },
       {},
       "error: a link in the release: s "},
      {"a link to a folder",
       [&](TreeTest& t) {
         t.File("a.txt");
         t.Link(Outside() + "folder", "Linked");
       },
       {},
       "error: a link in the release: Linked "},
      {"links followed",
       [&](TreeTest& t) {
         t.Link(Outside() + "secret.txt", "s");
         t.Link(Outside() + "folder", "Linked");
       },
       follow, "Linked\\inner.txt=inner;s=secret;"},
      {"a link left out is not refused",
       [&](TreeTest& t) {
         t.File("a.txt", "a");
         t.File("b.tmp");
         t.Link(Outside() + "folder", "Linked");
       },
       leaveOut, "a.txt=a;"},
      {"a link that leads nowhere", [&](TreeTest& t) { t.Link(Outside() + "gone", "g"); }, follow,
       "error: a link that leads nowhere: g"},
      {"a link back into its own folders",
       [&](TreeTest& t) {
         t.File("Data/a");
         t.Link("..", "Data/up");
       },
       follow, "error: a link leads back into its own folders: Data/up"},
      {"two names Windows takes for one",
       [](TreeTest& t) {
         t.File("Readme.txt");
         t.File("README.TXT");
       },
       {},
       "error: two files that Windows names alike: "},
      {"Latin-1 letters fold too",
       [](TreeTest& t) {
         t.File("\xc3\x84.txt");
         t.File("\xc3\xa4.txt");
       },
       {},
       "error: two files that Windows names alike: "},
      {"a file where a folder is",
       [](TreeTest& t) {
         t.File("data");
         t.File("Data/x");
       },
       {},
       "error: a file where Windows needs a folder: data, Data\\x"},
      {"a name Windows cannot take",
       [](TreeTest& t) { t.File("Data/a:b"); },
       {},
       "error: a name the updater cannot install (the character :"},
      {"a FIFO",
       [](TreeTest& t) {
         fs::create_directories(t.Root());
         mkfifo((t.Root() + "fifo").c_str(), 0600);
       },
       {},
       "error: not a regular file: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(Root());
    fs::create_directories(Root());
    c.Make(*this);
    const std::string listed = List(c.Options);
    if (c.Listed.rfind("error: ", 0) == 0)
      EXPECT_EQ(listed.substr(0, c.Listed.size()), c.Listed) << listed;
    else
      EXPECT_EQ(listed, c.Listed);
  }
}

}  // namespace
}  // namespace updater::mxupack
