// Which entry names stay below the program folder, and their folder parts.
#include "packages/entry_names.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

TEST(EntryNameTest, SafeNamesAndFolderParts) {
  struct Case {
    const char* Name;
    bool Safe;
    const char* Folder;
  } cases[] = {
      {"Readme.txt", true, ""},
      {"Data\\Maps\\Forest.dat", true, "Data\\Maps\\"},
      {"a/b.txt", true, "a/"},
      {"a\\b/c", true, "a\\b/"},
      {".hidden", true, ""},
      {"a.\\b", true, "a.\\"},
      {".\\x", true, ".\\"},
      {"..x\\y", true, "..x\\"},
      {"..\\x", false, "..\\"},
      {"a\\..", false, "a\\"},
      {"a/../b", false, "a/../"},
      {"...\\x", false, "...\\"},
      {". .\\x", false, ". .\\"},
      {"C:\\x", false, "C:\\"},
      {"C:x", false, ""},
      {"x:stream", false, ""},
      {"\\x", false, "\\"},
      {"/x", false, "/"},
      {"\\\\server\\share\\x", false, "\\\\server\\share\\"},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(IsSafeEntryName(c.Name), c.Safe);
    EXPECT_EQ(FolderPart(c.Name), c.Folder);
  }
}

}  // namespace
}  // namespace updater
