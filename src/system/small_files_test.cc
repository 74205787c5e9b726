// The program's own small files: plain names, reads that stop at a limit
// whatever the file claims, and whole writes that leave nothing beside.
#include "system/small_files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_folder.h"
#include "system/platform.h"

namespace updater {
namespace {

using testing::FileExists;
using testing::ReadWholeFile;
using testing::WriteWholeFile;

TEST(SmallFilesTest, OnlyNamesThatCanLeaveTheFolderAreNotPlain) {
  for (const char* plain :
       {"voxa105.mxu", "VOXA_1.05..final.mxu", "..mxu", "voxa..", "...", ".x", "~mx1"})
    EXPECT_TRUE(IsPlainFileName(plain)) << plain;
  for (const char* refused :
       {"", ".", "..", "..\\Updater.exe", "files/v.mxu", "C:v.mxu", "v:s", "\\v.mxu"})
    EXPECT_FALSE(IsPlainFileName(refused)) << refused;
}

class SmallFilesFolderTest : public ::testing::Test {
 protected:
  std::string At(const std::string& name) { return folder_.Path() + name; }
  std::string Native(const std::string& name) {
    std::string path = At(name);
#ifndef _WIN32
    std::replace(path.begin(), path.end(), '\\', '/');
#endif
    return path;
  }

  FileSystem& files_ = RealPlatform().Files;
  testing::TempFolder folder_;
};

TEST_F(SmallFilesFolderTest, ReadStopsAtTheLimitWhateverTheFileClaims) {
  WriteWholeFile(Native("ten"), "0123456789");
  // A sparse file of 100 GB (Wine makes 1 GB): nothing near its size may be
  // taken into memory.
#ifdef _WIN32
  constexpr uintmax_t kHuge = 1ull << 30;
#else
  constexpr uintmax_t kHuge = 100ull << 30;
#endif
  WriteWholeFile(Native("huge"), "a.mxu\r\n");
  std::filesystem::resize_file(std::filesystem::u8path(Native("huge")), kHuge);
  ASSERT_TRUE(files_.CreateFolder(At("folder")));
  struct Case {
    const char* Name;
    int64_t Limit;
    SmallFileRead Result;
    const char* Bytes;
  } cases[] = {
      {"ten", 10, SmallFileRead::Done, "0123456789"},  {"ten", 9, SmallFileRead::TooLarge, ""},
      {"huge", 64 << 10, SmallFileRead::TooLarge, ""}, {"missing", 10, SmallFileRead::Missing, ""},
      {"folder", 10, SmallFileRead::Failed, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Name) + " " + std::to_string(c.Limit));
    std::string bytes = "left over";
    EXPECT_EQ(ReadSmallFile(files_, At(c.Name), c.Limit, &bytes), c.Result);
    EXPECT_EQ(bytes, c.Bytes);
  }
}

TEST_F(SmallFilesFolderTest, WriteReplacesWholeOrLeavesAllAsItWas) {
  WriteWholeFile(Native("order"), "old");
  ASSERT_TRUE(WriteSmallFile(files_, At("order"), "new order"));
  EXPECT_EQ(ReadWholeFile(Native("order")), "new order");
  EXPECT_FALSE(FileExists(Native("order.part")));
  // A folder in the target's place: the move fails, and the part goes.
  ASSERT_TRUE(files_.CreateFolder(At("taken")));
  EXPECT_FALSE(WriteSmallFile(files_, At("taken"), "x"));
  EXPECT_FALSE(FileExists(Native("taken.part")));
  EXPECT_TRUE(files_.IsFolder(At("taken")));
}

}  // namespace
}  // namespace updater
