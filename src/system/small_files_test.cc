// The program's own files: reads that stop at a limit whatever the file
// claims, and whole writes that leave nothing beside.
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
  ASSERT_TRUE(files_.CreateFolder(At("folder"), nullptr));
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
    std::string cause;
    EXPECT_EQ(ReadSmallFile(files_, At(c.Name), c.Limit, &bytes, &cause), c.Result);
    EXPECT_EQ(bytes, c.Bytes);
    // Only a failure has a cause, and it names the file.
    EXPECT_EQ(cause.find(c.Name) != std::string::npos, c.Result == SmallFileRead::Failed) << cause;
  }
}

TEST_F(SmallFilesFolderTest, WriteReplacesWholeOrLeavesAllAsItWas) {
  WriteWholeFile(Native("order"), "old");
  std::string cause;
  ASSERT_TRUE(WriteFileWhole(files_, At("order"), "new order", &cause));
  EXPECT_EQ(ReadWholeFile(Native("order")), "new order");
  EXPECT_FALSE(FileExists(Native("order.part")));
  // A folder in the target's place: the move fails, and the part goes.
  ASSERT_TRUE(files_.CreateFolder(At("taken"), nullptr));
  EXPECT_FALSE(WriteFileWhole(files_, At("taken"), "x", &cause));
  EXPECT_NE(cause.find("taken"), std::string::npos) << cause;
  EXPECT_FALSE(FileExists(Native("taken.part")));
  EXPECT_TRUE(files_.IsFolder(At("taken")));
}

}  // namespace
}  // namespace updater
