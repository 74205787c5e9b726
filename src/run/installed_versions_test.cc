// The installed version query: the joining rule, the two program versions,
// and the versions of real programs read through the platform's reader.
#include "run/installed_versions.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/fake_platform.h"
#include "support/temp_folder.h"

namespace updater {
namespace {

using testing::FakePlatform;
using testing::TempFolder;
using testing::WriteWholeFile;

constexpr uint32_t FileVersion(uint32_t major, uint32_t minor) { return major << 16 | minor; }

TEST(VersionNumberTest, JoinsMajorAndAtLeastTwoMinorDigits) {
  const struct {
    uint32_t Major, Minor;
    int64_t Number;
  } cases[] = {
      {1, 0, 100},        {1, 5, 105},
      {2, 10, 210},       {0, 9, 9},
      {0, 0, 0},          {1, 99, 199},
      {1, 100, 1100},     {1, 123, 1123},
      {3, 700, 3700},     {10, 5, 1005},
      {10, 50, 1050},     {1, 9999, 19999},
      {1, 10000, 110000}, {65535, 65535, 6553565535},
  };
  for (const auto& c : cases)
    EXPECT_EQ(VersionNumberFromFileVersion(FileVersion(c.Major, c.Minor)), c.Number)
        << c.Major << '.' << c.Minor;
}

TEST(QueryInstalledVersionsTest, ReadsBothProgramsInTheProgramFolder) {
  FakePlatform fake;
  fake.Versions.Versions["C:\\App\\Updater.exe"] = FileVersion(1, 0);
  fake.Versions.Versions["C:\\App\\VOXA.exe"] = FileVersion(2, 7);
  const InstalledVersions installed = QueryInstalledVersions(fake.Versions, "C:\\App\\");
  EXPECT_EQ(installed.Updater, 100);
  EXPECT_EQ(installed.Main, 207);
  EXPECT_TRUE(fake.Console.Lines.empty());
}

TEST(QueryInstalledVersionsTest, AMissingMainProgramGivesZero) {
  FakePlatform fake;
  fake.Versions.Versions["C:\\App\\Updater.exe"] = FileVersion(1, 5);
  const InstalledVersions installed = QueryInstalledVersions(fake.Versions, "C:\\App\\");
  EXPECT_EQ(installed.Updater, 105);
  EXPECT_EQ(installed.Main, 0);
}

TEST(QueryInstalledVersionsTest, AReaderThatCannotLoadGivesZeroForBoth) {
  FakePlatform fake;
  fake.Versions.Versions["C:\\App\\Updater.exe"] = FileVersion(1, 5);
  fake.Versions.Versions["C:\\App\\VOXA.exe"] = FileVersion(1, 5);
  fake.Versions.LoadResult = false;
  const InstalledVersions installed = QueryInstalledVersions(fake.Versions, "C:\\App\\");
  EXPECT_EQ(installed.Updater, 0);
  EXPECT_EQ(installed.Main, 0);
}

// The real reader of this platform: Version.dll on Windows, the files' own
// bytes on POSIX.
class RealVersionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* buildDir = std::getenv("UPDATER_BUILD_DIR");
    ASSERT_NE(buildDir, nullptr) << "UPDATER_BUILD_DIR is not set";
    buildDir_ = std::string(buildDir) + "\\";
    ASSERT_TRUE(os_.Versions.Load());
  }

  int64_t VersionOf(const std::string& path) { return GetInstalledVersion(os_.Versions, path); }
  // The bytes of a file named the program's way, with "\\" separators.
  std::string ReadBytes(const std::string& path) {
    std::string bytes;
    std::unique_ptr<File> file = os_.Files.OpenRead(path, false, nullptr);
    if (!file) return bytes;
    bytes.resize(static_cast<size_t>(file->Size(nullptr)));
    if (file->Read(bytes.data(), file->Size(nullptr), nullptr) != file->Size(nullptr))
      bytes.clear();
    return bytes;
  }
  std::string TestProgram(const std::string& name) {
    return buildDir_ + "testdata\\versions\\" + name;
  }

  std::string buildDir_;
  TempFolder folder_;
  Platform& os_ = RealPlatform();
};

TEST_F(RealVersionTest, ReadsTheBuildsOwnUpdater) {
  EXPECT_EQ(VersionOf(buildDir_ + "Updater.exe"), UPDATER_OWN_VERSION_NUMBER);
}

TEST_F(RealVersionTest, FilesWithoutAVersionGiveZero) {
  WriteWholeFile(folder_.Path() + "text.exe", "VOXA 1.05\r\nnot a program\r\n");
  WriteWholeFile(folder_.Path() + "empty.exe", "");
  WriteWholeFile(folder_.Path() + "mz.exe", "MZ");
  EXPECT_EQ(VersionOf(folder_.Path() + "missing.exe"), 0);
  EXPECT_EQ(VersionOf(folder_.Path() + "text.exe"), 0);
  EXPECT_EQ(VersionOf(folder_.Path() + "empty.exe"), 0);
  EXPECT_EQ(VersionOf(folder_.Path() + "mz.exe"), 0);
  EXPECT_EQ(VersionOf(folder_.Path()), 0);  // a folder
}

#ifndef _WIN32
TEST_F(RealVersionTest, AnElfProgramWithoutTheVersionNoteGivesZero) {
  // This test program is linked without the note that Updater.exe carries.
  EXPECT_EQ(VersionOf(buildDir_ + "src\\run\\installed_versions_tests"), 0);
}
#endif

#ifdef UPDATER_HAVE_PE_TESTDATA
TEST_F(RealVersionTest, ReadsWindowsProgramsWithVersionResources) {
  const struct {
    const char* Program;
    int64_t Number;
  } cases[] = {
      {"version_1_0_0_0.exe", 100},   {"version_3_7_2_15.exe", 307},
      {"version_3_70_0_0.exe", 370},  {"version_3_700_0_0.exe", 3700},
      {"version_10_5_0_0.exe", 1005}, {"version_10_50_0_0.exe", 1050},
      {"version_none.exe", 0},
  };
  for (const auto& c : cases) {
    ASSERT_FALSE(ReadBytes(TestProgram(c.Program)).empty()) << c.Program << " was not built";
    EXPECT_EQ(VersionOf(TestProgram(c.Program)), c.Number) << c.Program;
  }
}

TEST_F(RealVersionTest, DamagedWindowsProgramsGiveZero) {
  const std::string program = ReadBytes(TestProgram("version_3_7_2_15.exe"));
  ASSERT_FALSE(program.empty());
  const std::string key("V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0_\0I\0N\0F\0O\0", 30);
  const size_t keyAt = program.find(key);
  const size_t signatureAt = program.find("\xBD\x04\xEF\xFE", keyAt);
  ASSERT_NE(keyAt, std::string::npos);
  ASSERT_NE(signatureAt, std::string::npos);

  std::string badSignature = program;
  badSignature[signatureAt] = 0;
  const struct {
    const char* Name;
    std::string Bytes;
  } cases[] = {
      {"DOS header only", program.substr(0, 0x40)},
      {"cut in the PE headers", program.substr(0, 0x100)},
      {"cut before the version block", program.substr(0, keyAt - 8)},
      {"cut inside the fixed file information", program.substr(0, signatureAt + 10)},
      {"fixed file information without its signature", badSignature},
  };
  for (const auto& c : cases) {
    const std::string path = folder_.Path() + "damaged.exe";
    WriteWholeFile(path, c.Bytes);
    EXPECT_EQ(VersionOf(path), 0) << c.Name;
  }
  // The undamaged copy reads, so the cases above fail for their damage.
  WriteWholeFile(folder_.Path() + "intact.exe", program);
  EXPECT_EQ(VersionOf(folder_.Path() + "intact.exe"), 307);
}
#endif

}  // namespace
}  // namespace updater
