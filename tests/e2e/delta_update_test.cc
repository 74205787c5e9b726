// Releases 1.00, 1.05 and 1.10 published as full and delta packages (made by
// mxupack with --patch-from and zstd) under a catalogue with size, digest
// and from facts, against the real updater of each build and nginx: the
// cheapest chain to the newest version and no byte more, the fall-back to a
// full package over a file changed by hand, packages that do not match their
// facts, and a keyed updater offered a new updater without its key.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e/builds.h"
#include "e2e/installation_files.h"
#include "e2e/installation_test.h"
#include "e2e/process_runner.h"
#include "e2e/web_server.h"
#include "support/temp_folder.h"

namespace updater::testing {
namespace {

namespace fs = std::filesystem;
using Tree = FileTree;

// Sets the size fact of a catalogue line.
void SetSize(std::string& line, const std::string& size) {
  const size_t at = line.find("size=") + 5;
  line.replace(at, line.find(' ', at) - at, size);
}

class DeltaUpdateTest : public InstallationTest {
 protected:
  void SetUp() override {
    InstallationTest::SetUp();
    if (IsSkipped()) return;
    www_ = temp_.Path() + "www/";
    fs::create_directories(www_);
    // Every release holds the same large file; each changes the program and
    // the readme and adds a file, and 1.10 removes one.
    const std::string media = NoiseBytes(600 << 10, 7);
    releases_[100] = {{"VOXA.exe", ReadWholeFile(build_.Voxa100)},
                      {"Readme.txt", "readme 1.00"},
                      {"Old.txt", "dropped in 1.10"},
                      {"Data/Media.bin", media}};
    releases_[105] = releases_[100];
    releases_[105]["VOXA.exe"] = ReadWholeFile(build_.Voxa105);
    releases_[105]["Readme.txt"] = "readme 1.05";
    releases_[105]["Data/New105.txt"] = "new in 1.05";
    releases_[110] = releases_[105];
    releases_[110]["VOXA.exe"] = ReadWholeFile(build_.Voxa110);
    releases_[110]["Readme.txt"] = "readme 1.10, longer than before";
    releases_[110]["New110.txt"] = "new in 1.10";
    releases_[110].erase("Old.txt");
    for (const auto& [version, tree] : releases_) WriteFileTree(ReleaseFolder(version), tree);
    server_ = std::make_unique<WebServer>(www_);
    ASSERT_TRUE(server_->Running()) << "nginx did not start";
  }

  std::string ReleaseFolder(int version) {
    return temp_.Path() + "release-" + std::to_string(version) + "/";
  }

  // Packs release `version` into www/`folder`/`name`, as a delta from
  // release `from` (0: full, which removes what release 1.00 had and it
  // lacks), and gives its catalogue line with its facts.
  std::string Pack(const std::string& folder, const std::string& name, int version, int from) {
    fs::create_directories(www_ + folder);
    const std::string path = www_ + folder + "/" + name;
    std::vector<std::string> command = {MXUPACK,    "create", path, ReleaseFolder(version),
                                        "--method", "zstd"};
    command.insert(command.end(),
                   {from ? "--patch-from" : "--removed-from", ReleaseFolder(from ? from : 100)});
    const ProcessResult made = RunProcess(command, www_);
    EXPECT_EQ(made.ExitCode, 0) << made.Errors;
    const ProcessResult digest = RunProcess({B2SUM, "-l", "256", path}, www_);
    EXPECT_EQ(digest.ExitCode, 0) << digest.Errors;
    return "VOXA " + name + " " + std::to_string(version) +
           " size=" + std::to_string(fs::file_size(path)) +
           " blake2b=" + digest.Output.substr(0, 64) +
           (from ? " from=" + std::to_string(from) : "") + "\r\n";
  }

  // A server folder with the three full packages and the deltas 1.00 to
  // 1.05 and 1.05 to 1.10; `change` may alter the catalogue's lines.
  std::string ServeReleases(const std::string& folder,
                            const std::function<void(Lines&)>& change = nullptr) {
    Lines lines = {Pack(folder, "f100.mxu", 100, 0), Pack(folder, "f105.mxu", 105, 0),
                   Pack(folder, "d105.mxu", 105, 100), Pack(folder, "f110.mxu", 110, 0),
                   Pack(folder, "d110.mxu", 110, 105)};
    if (change) change(lines);
    std::string catalogue;
    for (const std::string& line : lines) catalogue += line;
    WriteWholeFile(www_ + folder + "/UpdateInfo.txt", "ok");
    // Not a server URL: the installation's list stays as it is.
    WriteWholeFile(www_ + folder + "/UpdateServer.lst", "x");
    WriteWholeFile(www_ + folder + "/VersionInfo.txt", catalogue);
    return server_->BaseURL() + folder + "/";
  }

  // A fresh installation of `version` (0: only the updater), `updater` its
  // Updater.exe.
  void Install(int version, const std::string& updater) {
    InstallationTest::Install(updater, false);
    if (version) WriteFileTree(program_, releases_[version]);
  }

  ProcessResult Run(const std::string& server) {
    return RunProcess(Command({"-dontask", "-server", server}), program_, "", 300);
  }

  // The package files nginx sent since the last call, with the bytes of each.
  std::string Sent() {
    std::string sent;
    for (const auto& [uri, bytes] : server_->TakeRequests())
      if (uri.size() > 4 && uri.substr(uri.size() - 4) == ".mxu")
        sent += uri.substr(uri.rfind('/') + 1) + ":" + std::to_string(bytes) + " ";
    return sent;
  }

  // What Sent() says when `files` of `folder` were sent whole.
  std::string Whole(const std::string& folder, const Lines& files) {
    std::string sent;
    for (const std::string& file : files)
      sent += file + ":" + std::to_string(fs::file_size(www_ + folder + "/" + file)) + " ";
    return sent;
  }

  std::string www_;
  std::map<int, Tree> releases_;
  std::unique_ptr<WebServer> server_;
};

// Each installation ends byte for byte at 1.10, having been sent only the
// packages of the cheapest chain; one whose files were changed by hand
// falls back from the delta that no longer fits to the full package of its
// version, in the same run.
TEST_P(DeltaUpdateTest, EveryInstallationEndsAtTheNewestReleaseThroughTheCheapestChain) {
  const std::string base = ServeReleases("site");
  ASSERT_TRUE(base.size());
  const struct {
    const char* What;
    int Installed;
    std::function<void(const std::string& program)> Change;
    Lines Sent;
    bool FallsBack;
  } cases[] = {
      {"at 1.00", 100, nullptr, {"d105.mxu", "d110.mxu"}, false},
      {"at 1.05", 105, nullptr, {"d110.mxu"}, false},
      {"nothing installed", 0, nullptr, {"f110.mxu"}, false},
      {"at 1.05, its program changed by hand",
       105,
       [](const std::string& program) {
         // Its version still reads 1.05.
         WriteWholeFile(program + "VOXA.exe", ReadWholeFile(program + "VOXA.exe") + "by hand");
       },
       {"d110.mxu", "f110.mxu"},
       true},
      {"at 1.00, its readme changed by hand",
       100,
       [](const std::string& program) { WriteWholeFile(program + "Readme.txt", "my notes"); },
       {"d105.mxu", "d110.mxu", "f105.mxu"},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    Install(c.Installed, build_.Updater);
    if (c.Change) c.Change(program_);
    Sent();
    const ProcessResult result = Run(base);
    EXPECT_EQ(result.ExitCode, 0);
    const Lines lines = OutputLines(result.Output);
    EXPECT_TRUE(Contains(lines, "Update finished.")) << result.Output;
    EXPECT_FALSE(Contains(lines, "Update failed!")) << result.Output;
    EXPECT_EQ(Contains(lines, "Error: Failed to decompress file!"), c.FallsBack) << result.Output;
    EXPECT_EQ(Sent(), Whole("site", c.Sent));
    EXPECT_TRUE(InstalledFiles(program_) == releases_[110]) << c.What;
    for (const auto& item : fs::directory_iterator(program_ + "Update"))
      EXPECT_NE(item.path().extension(), ".mxu") << item.path();
    EXPECT_FALSE(fs::exists(program_ + "Update/Packages.order"));
  }
}

// A package that does not match its line's facts is a failed download: a
// server that announces more than the size is cut off before anything is
// written, and one whose bytes have another digest is removed; the
// installation stays as it was.
TEST_P(DeltaUpdateTest, APackageThatDoesNotMatchItsFactsIsAFailedDownload) {
  const struct {
    const char* What;
    std::function<void(Lines&)> Change;  // of the catalogue's lines: f100 f105 d105 f110 d110
    std::string Cause;                   // in the log
  } cases[] = {
      {"a size below the package's: the announced length is refused",
       [](Lines& lines) { SetSize(lines[4], "100"); }, "more than the 100 expected"},
      {"a size above the package's", [](Lines& lines) { SetSize(lines[4], "100000"); },
       "bytes; the catalogue says 100000"},
      {"another digest",
       [](Lines& lines) {
         const size_t at = lines[4].find("blake2b=") + 8;
         lines[4][at] = lines[4][at] == '0' ? '1' : '0';
       },
       "the catalogue says"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    const std::string folder = "facts" + std::to_string(&c - cases);
    const std::string base = ServeReleases(folder, c.Change);
    Install(105, build_.Updater);
    Sent();
    const ProcessResult result = Run(base);
    const Lines lines = OutputLines(result.Output);
    EXPECT_TRUE(Contains(lines, "Error: Download aborted.")) << result.Output;
    EXPECT_TRUE(Contains(lines, "Update failed!")) << result.Output;
    EXPECT_TRUE(InstalledFiles(program_) == releases_[105]);
    EXPECT_FALSE(fs::exists(program_ + "Update/d110.mxu"));
    EXPECT_FALSE(fs::exists(program_ + "Update/d110.mxu.part"));
    const std::string log = ReadWholeFile(program_ + "Update/Updater.log");
    EXPECT_NE(log.find(c.Cause), std::string::npos) << log;
  }
}

// A keyed updater offered a new updater that does not carry its key keeps
// itself, says so, and goes on with the main program's update.
TEST_P(DeltaUpdateTest, AKeyedUpdaterRefusesANewUpdaterWithoutItsKey) {
  const std::string base = ServeReleases(
      "signed", [](Lines& lines) { lines.insert(lines.begin(), "updater Updater.mxu 101\r\n"); });
  TempFolder staging;
  fs::copy_file(build_.NextUpdater, staging.Path() + "Updater.exe");
  const ProcessResult made = RunProcess(
      {MXUPACK, "create", www_ + "signed/Updater.mxu", staging.Path(), "--method", "zlib"}, www_);
  ASSERT_EQ(made.ExitCode, 0) << made.Errors;
  std::vector<std::string> files;
  for (const auto& item : fs::directory_iterator(www_ + "signed"))
    files.push_back(item.path().string());
  for (const std::string& file : files) {
    const ProcessResult signedFile =
        RunProcess({MINISIGN, "-S", "-s", build_.SecretKey, "-m", file}, www_ + "signed");
    ASSERT_EQ(signedFile.ExitCode, 0) << signedFile.Errors;
  }
  Install(105, build_.SignedUpdater);
  const ProcessResult result = Run(base);
  const Lines lines = OutputLines(result.Output);
  EXPECT_TRUE(
      Contains(lines, "Error: Refused the new updater: it does not carry this updater's key"))
      << result.Output;
  EXPECT_FALSE(Contains(lines, "Running new Updater...")) << result.Output;
  EXPECT_TRUE(Contains(lines, "Update finished.")) << result.Output;
  EXPECT_EQ(ReadWholeFile(program_ + "Updater.exe"), ReadWholeFile(build_.SignedUpdater));
  EXPECT_FALSE(fs::exists(program_ + "Update/Updater.tmp"));
  EXPECT_TRUE(InstalledFiles(program_) == releases_[110]);
}

INSTANTIATE_TEST_SUITE_P(Builds, DeltaUpdateTest, ::testing::Values(&PosixBuild, &WindowsBuild),
                         [](const ::testing::TestParamInfo<Build (*)()>& info) {
                           return info.param().Name;
                         });

}  // namespace
}  // namespace updater::testing
