// The updater's whole job, run as real processes of each build against nginx
// on 127.0.0.1 serving update folders whose packages mxupack made: the
// table, the question, the downloads, the apply, server fail-over, the check
// modes and the self-replacement through three processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <future>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "e2e/builds.h"
#include "e2e/installation_files.h"
#include "e2e/installation_test.h"
#include "e2e/process_runner.h"
#include "e2e/web_server.h"
#include "support/temp_folder.h"
#include "support/terminal_screen.h"

namespace updater::testing {
namespace {

namespace fs = std::filesystem;
using Files = FileTree;

std::string Slurp(const std::string& path) { return ReadWholeFile(path); }

bool WaitUntil(const std::function<bool()>& condition, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return condition();
}

class UpdateJobTest : public InstallationTest {
 protected:
  void SetUp() override {
    InstallationTest::SetUp();
    if (IsSkipped()) return;
    Install();
    www_ = temp_.Path() + "www/";
    fs::create_directories(www_);
    server_ = std::make_unique<WebServer>(www_);
    ASSERT_TRUE(server_->Running()) << "nginx did not start";
  }

  // An update folder on the server, named `name`, with the given files.
  std::string Serve(const std::string& name, const Files& files) {
    fs::create_directories(www_ + name);
    for (const auto& [file, content] : files) WriteWholeFile(www_ + name + "/" + file, content);
    return server_->BaseURL() + name + "/";
  }

  // A package made by mxupack from `files`, placed at `path` below www.
  // (zlib, since LZMA packing of large programs is slow in a sanitizer build;
  // the road of one run packs with the smallest method.)
  void Package(const std::string& path, const Files& files, const std::string& method = "zlib") {
    MakePackage(www_ + path, files, method);
  }

  // A good server offering VOXA 1.05 in voxa105.mxu.
  std::string ServeVoxa105(const std::string& name, const std::string& extraCatalogue = "",
                           const std::string& method = "zlib") {
    std::string base =
        Serve(name, {{"UpdateInfo.txt", "ok"},
                     {"UpdateServer.lst", "http://fresh.invalid/list/\r\n"},
                     {"VersionInfo.txt", "updater Updater.mxu 100\r\n" + extraCatalogue +
                                             "VOXA   voxa105.mxu   105\r\n"}});
    Package(name + "/voxa105.mxu",
            {{"VOXA.exe", Slurp(build_.Voxa105)},
             {"Data\\Maps\\Forest.dat", "trees"},
             {"Readme.txt", "new readme"}},
            method);
    return base;
  }

  void ListServers(const Lines& servers) {
    std::string list;
    for (const std::string& server : servers) list += server + "\r\n";
    WriteWholeFile(program_ + "UpdateServer.lst", list);
  }

  ProcessResult Run(const Lines& parameters) {
    return RunProcess(Command(parameters), program_, "", 300);
  }

  std::string www_;
  std::unique_ptr<WebServer> server_;
};

TEST_P(UpdateJobTest, TheRoadOfOneRun) {
  const std::string base = ServeVoxa105("main", "", "best");
  ListServers({base});
  ProcessResult result = Run({"-dontask"});
  EXPECT_EQ(result.ExitCode, 0);
  const std::string folder = ShownFolder();
  EXPECT_EQ(OutputLines(result.Output), (Lines{"",
                                               "VOXA Updater v1.00",
                                               "",
                                               "Connecting to update server... : " + base,
                                               "Downloading server list...",
                                               "Checking for new versions...",
                                               "",
                                               "Old Version | New Version | Name",
                                               "",
                                               "1.00          1.05          VOXA",
                                               "",
                                               "1 updates available.",
                                               "",
                                               "Downloading updates...",
                                               "Downloading... : VOXA",
                                               "",
                                               "Applying updates...",
                                               "Creating directory... : " + folder + "Data\\",
                                               "Creating directory... : " + folder + "Data\\Maps\\",
                                               "Decompressing... : Data\\Maps\\Forest.dat",
                                               "Decompressing... : Readme.txt",
                                               "Decompressing... : VOXA.exe",
                                               "",
                                               "Update finished.",
                                               "",
                                               "Press enter to end program."}));
  EXPECT_EQ(Slurp(program_ + "VOXA.exe"), Slurp(build_.Voxa105));
  EXPECT_EQ(Slurp(program_ + "Data/Maps/Forest.dat"), "trees");
  EXPECT_EQ(Slurp(program_ + "Readme.txt"), "new readme");
  EXPECT_FALSE(fs::exists(program_ + "Update/voxa105.mxu"));
  EXPECT_EQ(Slurp(program_ + "UpdateServer.lst"), "http://fresh.invalid/list/\r\n");

  // The installed version is now the one offered: nothing more to do.
  ProcessResult again = Run({"-onlycheck", "-dontask", "-server", base});
  EXPECT_EQ(again.ExitCode, 0);
  EXPECT_TRUE(Contains(OutputLines(again.Output), "1.05          1.05          VOXA"));
  EXPECT_TRUE(Contains(OutputLines(again.Output), "0 updates available."));
}

TEST_P(UpdateJobTest, SilentPrintsNothingAndStillUpdates) {
  ListServers({ServeVoxa105("main")});
  ProcessResult result = Run({"-silent"});
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_EQ(result.Output, "");
  EXPECT_EQ(Slurp(program_ + "VOXA.exe"), Slurp(build_.Voxa105));
}

TEST_P(UpdateJobTest, OnlyCheckTellsByItsExitCode) {
  const std::string offering = ServeVoxa105("offering");
  const std::string current =
      Serve("current", {{"UpdateInfo.txt", "ok"}, {"VersionInfo.txt", "VOXA v.mxu 100\r\n"}});
  const std::string newUpdater = Serve(
      "updater", {{"UpdateInfo.txt", "ok"}, {"VersionInfo.txt", "updater Updater.mxu 101\r\n"}});
  const std::string dead = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/";

  EXPECT_EQ(Run({"-onlycheck", "-dontask", "-server", offering}).ExitCode, 1);
  EXPECT_EQ(Run({"-onlycheck", "-silent", "-server", offering}).ExitCode, 1);
  EXPECT_EQ(Run({"-onlycheck", "-dontask", "-server", current}).ExitCode, 0);
  EXPECT_EQ(Run({"-onlycheck", "-dontask", "-server", newUpdater}).ExitCode, 1);
  ProcessResult failed = Run({"-onlycheck", "-dontask", "-server", dead});
  EXPECT_EQ(failed.ExitCode, 0);
  Lines lines = OutputLines(failed.Output);
  EXPECT_TRUE(Contains(lines, "Update failed!"));
  EXPECT_TRUE(Contains(lines, "Update finished."));
  // Nothing was changed.
  EXPECT_EQ(Slurp(program_ + "VOXA.exe"), Slurp(build_.Voxa100));
}

// Each way a run can end, with -exitcodes and without: the distinct code,
// and today's code (1 only for a check that found updates). The rows that
// change nothing run both ways; the last two change the installation and
// run once.
TEST_P(UpdateJobTest, ExitCodesTellHowTheRunEnded) {
  const std::string dead = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/";
  const std::string noPackage =
      Serve("nopackage", {{"UpdateInfo.txt", "ok"},
                          {"UpdateServer.lst", "x"},
                          {"VersionInfo.txt", "VOXA missing.mxu 105\r\n"}});
  const std::string badApply = Serve("bad", {{"UpdateInfo.txt", "ok"},
                                             {"UpdateServer.lst", "x"},
                                             {"VersionInfo.txt", "VOXA bad.mxu 105\r\n"}});
  Package("bad/bad.mxu", {{"VOXA.exe", "broken"}, {"Readme.txt", "x"}});
  const std::string good = ServeVoxa105("good");
  const std::string handOver = ServeVoxa105("handover", "updater Updater.mxu 101\r\n");
  Package("handover/Updater.mxu", {{"Updater.exe", Slurp(build_.NextUpdater)}});

  struct Case {
    const char* Name;
    Lines Parameters;
    Lines Servers;  // UpdateServer.lst
    bool InTheWay;  // a folder "Readme.txt" where the package puts a file
    int Code;       // with -exitcodes
    int PlainCode;  // without; -1: the row changes the installation and runs once
  } cases[] = {
      {"every server failed", {"-server", dead}, {dead}, false, 2, 0},
      {"a check that every server failed", {"-onlycheck", "-server", dead}, {}, false, 2, 0},
      {"a check that found updates", {"-onlycheck", "-server", good}, {}, false, 1, 1},
      {"the package was missing", {"-server", noPackage}, {dead}, false, 3, 0},
      {"an apply failed, then a dead server", {"-server", badApply}, {dead}, true, 4, 0},
      // The failed apply above left its package waiting in Update.
      {"an apply of waiting packages failed", {"-onlyapply"}, {}, true, 4, 0},
      {"the hand-over step outside Update", {"-selfreplace"}, {}, false, 5, 0},
      {"updated", {"-server", good}, {}, false, 0, -1},
      {"handed over to a new updater", {"-server", handOver}, {}, false, 6, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    ListServers(c.Servers);
    if (c.InTheWay) fs::create_directories(program_ + "Readme.txt");
    Lines parameters = c.Parameters;
    parameters.push_back("-dontask");
    if (c.PlainCode >= 0) {
      ProcessResult plain = Run(parameters);
      EXPECT_EQ(plain.ExitCode, c.PlainCode) << plain.Output;
    }
    parameters.push_back("-exitcodes");
    ProcessResult distinct = Run(parameters);
    EXPECT_EQ(distinct.ExitCode, c.Code) << distinct.Output;
    if (c.PlainCode >= 0) {
      EXPECT_EQ(Slurp(program_ + "VOXA.exe"), Slurp(build_.Voxa100));
    }
    fs::remove_all(program_ + "Readme.txt");
  }
  // The hand-over's chain ends with the new updater, which got -exitcodes
  // too and records its own end.
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Slurp(program_ + "Updater.exe") == Slurp(build_.NextUpdater) &&
               !fs::exists(program_ + "Update/Updater.tmp");
      },
      120));
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string log = Slurp(program_ + "Update/Updater.log");
        const size_t handedOver = log.rfind("End, exit code 6");
        const size_t third = log.find("-exitcodes", log.find(" started: ", handedOver));
        return handedOver != std::string::npos && third != std::string::npos &&
               log.find("End, exit code 0", log.find("Update finished.", third)) !=
                   std::string::npos;
      },
      120))
      << Slurp(program_ + "Update/Updater.log");
}

TEST_P(UpdateJobTest, OnlyDownloadThenOnlyApply) {
  ListServers({ServeVoxa105("main")});
  ProcessResult download = Run({"-dontask", "-onlydownload"});
  EXPECT_EQ(download.ExitCode, 0);
  EXPECT_TRUE(fs::exists(program_ + "Update/voxa105.mxu"));
  EXPECT_EQ(Slurp(program_ + "VOXA.exe"), Slurp(build_.Voxa100));

  ProcessResult apply = Run({"-dontask", "-onlyapply"});
  EXPECT_EQ(apply.ExitCode, 0);
  EXPECT_TRUE(Contains(OutputLines(apply.Output), "Decompressing... : VOXA.exe"));
  EXPECT_EQ(Slurp(program_ + "VOXA.exe"), Slurp(build_.Voxa105));
  EXPECT_FALSE(fs::exists(program_ + "Update/voxa105.mxu"));
}

TEST_P(UpdateJobTest, EveryServerFailingEndsWithUpdateFailed) {
  const std::string dead = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/";
  ListServers({Serve("nocatalogue", {{"UpdateInfo.txt", "ok"}, {"UpdateServer.lst", "x"}}),
               Serve("gone", {{"UpdateInfo.txt", "noupdates"}}),
               Serve("busy", {{"UpdateInfo.txt", "MAINTENANCE"}}),
               Serve("odd", {{"UpdateInfo.txt", "ok\r\n"}}),
               Serve("corrupt", {{"UpdateInfo.txt", "ok"},
                                 {"UpdateServer.lst", "x"},
                                 {"VersionInfo.txt", "VOXA v.mxu 105\n"}})});
  ProcessResult result = Run({"-dontask", "-server", dead});
  EXPECT_EQ(result.ExitCode, 0);
  Lines lines = OutputLines(result.Output);
  for (const char* line :
       {"Error: Error sending the HTTP request to the server.", "Error: HTTP status code = 404",
        "Server does not offer updates anymore.", "Server is currently under maintenance.",
        "Server is in unknown state.", "Error: Corrupted version infos on server!"})
    EXPECT_TRUE(Contains(lines, line)) << line;
  Lines ending(lines.end() - 5, lines.end());
  EXPECT_EQ(ending, (Lines{"", "Tried all servers of the update server list.", "Update failed!", "",
                           "Press enter to end program."}));
  EXPECT_FALSE(Contains(lines, "Update finished."));
}

TEST_P(UpdateJobTest, FailuresMoveOnToTheNextServer) {
  // The -server value is tried first, the list after it.
  const std::string noPackage =
      Serve("nopackage", {{"UpdateInfo.txt", "ok"},
                          {"UpdateServer.lst", "x"},
                          {"VersionInfo.txt", "VOXA missing.mxu 105\r\n"}});
  ListServers({ServeVoxa105("good")});
  ProcessResult result = Run({"-dontask", "-server", noPackage});
  EXPECT_EQ(result.ExitCode, 0);
  Lines lines = OutputLines(result.Output);
  EXPECT_TRUE(Contains(lines, "Error: HTTP status code = 404"));
  EXPECT_TRUE(Contains(lines, "Update finished."));
  EXPECT_EQ(Slurp(program_ + "VOXA.exe"), Slurp(build_.Voxa105));
}

TEST_P(UpdateJobTest, APackageThatFailsToApplyLeavesTheInstallationAsItWas) {
  const std::string base = Serve("bad", {{"UpdateInfo.txt", "ok"},
                                         {"UpdateServer.lst", "x"},
                                         {"VersionInfo.txt", "VOXA bad.mxu 105\r\n"}});
  // The folder "Readme.txt" in the installation is in the way of the last entry.
  Package("bad/bad.mxu", {{"A.txt", "a"}, {"VOXA.exe", "broken"}, {"Readme.txt", "x"}});
  fs::create_directories(program_ + "Readme.txt");
  ProcessResult result = Run({"-dontask", "-server", base});
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_TRUE(Contains(OutputLines(result.Output), "Error: Failed to write file to disk!"));
  EXPECT_EQ(Slurp(program_ + "VOXA.exe"), Slurp(build_.Voxa100));
  EXPECT_FALSE(fs::exists(program_ + "A.txt"));
  EXPECT_TRUE(fs::exists(program_ + "Update/bad.mxu"));
}

std::string Native(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

// Signs every file in `folder` with the build's test key.
void SignFolder(const std::string& folder, const std::string& secretKey) {
  for (const auto& entry : fs::directory_iterator(folder)) {
    ProcessResult signedFile =
        RunProcess({MINISIGN, "-S", "-s", secretKey, "-m", entry.path().string()}, folder);
    ASSERT_EQ(signedFile.ExitCode, 0) << signedFile.Errors;
  }
}

bool IsFifo(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

// The real updater killed while it applies a large package, once while it
// stages the new files and once while it moves them into place; the next
// normal run against a server offering the same version ends with the new
// installation and nothing of the killed apply left.
TEST_P(UpdateJobTest, AKilledApplyIsFinishedByTheNextRun) {
  Files package = {{"VOXA.exe", Slurp(build_.Voxa105)}};
  for (int i = 0; i < 4; ++i)  // tens of MB in a few files
    package["Data\\Part" + std::to_string(i) + ".bin"] = NoiseBytes(12 << 20, i);
  for (int i = 0; i < 1000; ++i)  // and many small ones, so that moving them takes a while
    package["Small\\" + std::to_string(i) + ".txt"] = "small " + std::to_string(i);
  const std::string base = Serve("main", {{"UpdateInfo.txt", "ok"},
                                          {"UpdateServer.lst", "x"},
                                          {"VersionInfo.txt", "VOXA big.mxu 105\r\n"}});
  Package("main/big.mxu", package, "stored");
  const std::string journal = program_ + "Update/Apply.journal";
  auto stagingLargeFile = [&] {
    std::error_code error;
    for (const auto& item : fs::directory_iterator(program_ + "Data", error))
      if (item.path().filename().string().rfind("~mx", 0) == 0 && item.file_size(error) > (1 << 20))
        return true;
    return false;
  };
  // Once the first small file is in place, the commit is under way.
  auto committing = [&] {
    if (!fs::exists(program_ + "Small/0.txt")) return false;
    return Slurp(journal).find("\ncommit ") != std::string::npos;
  };
  struct KillPoint {
    const char* What;
    std::function<bool()> Reached;
  } points[] = {{"staging", stagingLargeFile}, {"committing", committing}};
  for (const KillPoint& point : points) {
    SCOPED_TRACE(point.What);
    fs::remove_all(program_);
    fs::create_directories(program_ + "Update");
    fs::copy_file(build_.Updater, program_ + "Updater.exe");
    fs::copy_file(build_.Voxa100, program_ + "VOXA.exe");
    ListServers({base});
    {
      BackgroundProcess first(Command({"-dontask"}), program_);
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
      while (!point.Reached() && !first.Ended() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      ASSERT_FALSE(first.Ended()) << "the updater ended before it was killed";
      first.Kill();
    }
    // Killed mid-way, every file of the package is still whole.
    for (const auto& [name, content] : package) {
      std::string now = Slurp(program_ + Native(name));
      EXPECT_TRUE(now == content || now == (name == "VOXA.exe" ? Slurp(build_.Voxa100) : ""))
          << name;
    }

    ListServers({base});
    ProcessResult next = Run({"-dontask"});
    EXPECT_EQ(next.ExitCode, 0);
    EXPECT_TRUE(Contains(OutputLines(next.Output), "Update finished.")) << next.Output;
    for (const auto& [name, content] : package)
      EXPECT_TRUE(Slurp(program_ + Native(name)) == content) << name;
    for (const auto& item : fs::recursive_directory_iterator(program_)) {
      std::string file = item.path().filename().string();
      EXPECT_NE(file.rfind("~mx", 0), 0u) << item.path();
      EXPECT_NE(file.rfind("Apply.journal", 0), 0u);
      EXPECT_NE(item.path().extension(), ".mxu") << item.path();
    }
  }
}

TEST_P(UpdateJobTest, TheUpdaterReplacesItselfThroughThreeProcesses) {
  const std::string base = ServeVoxa105("main", "updater Updater.mxu 101\r\n");
  Package("main/Updater.mxu", {{"Updater.exe", Slurp(build_.NextUpdater)}});
  ListServers({base});
  ProcessResult first = Run({"-dontask", "-delayedstart"});
  EXPECT_EQ(first.ExitCode, 0);
  Lines lines = OutputLines(first.Output);
  ASSERT_TRUE(Contains(lines, "Running new Updater...")) << first.Output;
  EXPECT_TRUE(Contains(lines, "New Updater version on server."));
  EXPECT_TRUE(Contains(lines, "Installed version: 1.00"));
  EXPECT_TRUE(Contains(lines, "New version      : 1.01"));

  // The second process replaces Updater.exe, the third one updates VOXA and
  // removes the copy it was started from.
  const std::string next = Slurp(build_.NextUpdater);
  const std::string voxa = Slurp(build_.Voxa105);
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Slurp(program_ + "Updater.exe") == next && Slurp(program_ + "VOXA.exe") == voxa &&
               !fs::exists(program_ + "Update/Updater.tmp");
      },
      120));
  EXPECT_FALSE(fs::exists(program_ + "Update/Updater.mxu"));
  EXPECT_FALSE(fs::exists(program_ + "Updater.new"));
  if (!build_.Windows) {
    // The chain wrote to the same output: the third process ran with the
    // server handed on, found its own version current, and updated VOXA.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "VOXA Updater v1.00"), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Connecting to update server... : " + base),
              2);
    EXPECT_TRUE(Contains(lines, "1.00          1.05          VOXA"));
    EXPECT_TRUE(Contains(lines, "Update finished."));
    EXPECT_NE(fs::status(program_ + "Updater.exe").permissions() & fs::perms::owner_exec,
              fs::perms::none);
  }
}

TEST_P(UpdateJobTest, AnUpdaterThatIsNotTheOneOfferedIsHandedOverOnlyOnce) {
  // The server offers updater 1.01, but its package holds this very 1.00:
  // after one hand-over the new Updater.exe is offered 1.01 again.
  const std::string base = ServeVoxa105("main", "updater Updater.mxu 101\r\n");
  Package("main/Updater.mxu", {{"Updater.exe", Slurp(build_.Updater)}});
  ListServers({base});
  ProcessResult first = Run({"-dontask"});
  EXPECT_EQ(first.ExitCode, 0);
  const std::string voxa = Slurp(build_.Voxa105);
  const std::string log = program_ + "Update/Updater.log";
  // Every process of the chain appends to the same log.
  ASSERT_TRUE(WaitUntil(
      [&] {
        return Slurp(program_ + "VOXA.exe") == voxa &&
               !fs::exists(program_ + "Update/Updater.tmp") &&
               Slurp(log).find("Update finished.") != std::string::npos;
      },
      120))
      << Slurp(log);
  std::this_thread::sleep_for(std::chrono::seconds(2));  // time for a wrong second hand-over
  const std::string records = Slurp(log);
  auto count = [&](const std::string& text) {
    size_t n = 0;
    for (size_t at = records.find(text); at != std::string::npos; at = records.find(text, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count("Running new Updater..."), 1u) << records;
  EXPECT_EQ(count("Error: The new Updater does not have the version 1.01 offered on the server."),
            1u)
      << records;
  EXPECT_EQ(count("Update finished."), 1u) << records;
  EXPECT_EQ(Slurp(program_ + "Updater.exe"), Slurp(build_.Updater));
}

TEST_P(UpdateJobTest, AKeyedUpdaterTakesOnlyWhatItsKeySigned) {
  // The keyed updater in place of the plain one.
  fs::copy_file(build_.SignedUpdater, program_ + "Updater.exe",
                fs::copy_options::overwrite_existing);
  const std::string good = ServeVoxa105("good");
  const std::string flipped = ServeVoxa105("flipped");
  const std::string unsignedServer = ServeVoxa105("unsigned");
  // The good server's catalogue is signed last: having taken the flipped
  // server's catalogue, the updater refuses one signed earlier.
  for (const char* name : {"flipped", "good"}) SignFolder(www_ + name, build_.SecretKey);
  // One byte of the package flipped after it was signed.
  std::string package = Slurp(www_ + "flipped/voxa105.mxu");
  package[package.size() / 2] ^= 1;
  WriteWholeFile(www_ + "flipped/voxa105.mxu", package);

  // No list: the unsigned server, then the unreachable default one.
  ProcessResult refused = Run({"-dontask", "-server", unsignedServer});
  Lines lines = OutputLines(refused.Output);
  EXPECT_TRUE(Contains(lines, "Error: Bad signature of UpdateInfo.txt: no signature file"))
      << refused.Output;
  EXPECT_TRUE(Contains(lines, "Update failed!"));
  EXPECT_EQ(Slurp(program_ + "VOXA.exe"), Slurp(build_.Voxa100));
  EXPECT_FALSE(fs::exists(program_ + "UpdateServer.lst"));
  ListServers({good});
  ProcessResult updated = Run({"-dontask", "-server", flipped});
  lines = OutputLines(updated.Output);
  EXPECT_TRUE(
      Contains(lines, "Error: Bad signature of voxa105.mxu: the signature does not match the file"))
      << updated.Output;
  EXPECT_TRUE(Contains(lines, "Connecting to update server... : " + good));
  EXPECT_TRUE(Contains(lines, "Update finished.")) << updated.Output;
  EXPECT_EQ(Slurp(program_ + "VOXA.exe"), Slurp(build_.Voxa105));
  EXPECT_EQ(Slurp(program_ + "Readme.txt"), "new readme");
  EXPECT_FALSE(fs::exists(program_ + "Update/voxa105.mxu"));
  EXPECT_FALSE(fs::exists(program_ + "Update/voxa105.mxu.minisig"));
}

// A keyed updater meets a server whose catalogue's signature ended
// yesterday: it refuses it with the day it ended and takes the next server.
TEST_P(UpdateJobTest, AnExpiredCatalogueIsRefusedAndTheNextServerTaken) {
  fs::copy_file(build_.SignedUpdater, program_ + "Updater.exe",
                fs::copy_options::overwrite_existing);
  const std::string stale = ServeVoxa105("stale"), good = ServeVoxa105("good");
  for (const char* name : {"stale", "good"}) SignFolder(www_ + name, build_.SecretKey);
  const int64_t now = static_cast<int64_t>(time(nullptr));
  const time_t expired = static_cast<time_t>(now - 86400);
  struct tm day {};
  gmtime_r(&expired, &day);
  char date[16];
  strftime(date, sizeof date, "%Y-%m-%d", &day);
  // minisign signs with the comment that mxupack writes with --expires.
  const std::string comment =
      "timestamp:" + std::to_string(now - 2 * 86400) +
      "\tfile:VersionInfo.txt\thashed\texpires:" + std::to_string(static_cast<int64_t>(expired));
  ProcessResult resigned = RunProcess(
      {MINISIGN, "-S", "-s", build_.SecretKey, "-m", www_ + "stale/VersionInfo.txt", "-t", comment},
      www_);
  ASSERT_EQ(resigned.ExitCode, 0) << resigned.Errors;
  // The stale server first, then the list's.
  ListServers({good});
  ProcessResult result = Run({"-dontask", "-server", stale});
  const Lines lines = OutputLines(result.Output);
  EXPECT_TRUE(Contains(lines, "Error: Refused VersionInfo.txt: expired on " + std::string(date)))
      << result.Output;
  EXPECT_TRUE(Contains(lines, "Connecting to update server... : " + good)) << result.Output;
  EXPECT_TRUE(Contains(lines, "Update finished.")) << result.Output;
  EXPECT_EQ(Slurp(program_ + "VOXA.exe"), Slurp(build_.Voxa105));
}

// The updater built with two keys takes a server whose files are signed,
// file by file, by one key or the other; the updater of one key refuses it.
TEST_P(UpdateJobTest, AnUpdaterWithTwoKeysTakesFilesSignedByEither) {
  const std::string mixed = ServeVoxa105("mixed");
  for (const auto& [file, key] : {std::pair{"UpdateInfo.txt", build_.SecretKey},
                                  std::pair{"VersionInfo.txt", build_.SecretKey},
                                  std::pair{"UpdateServer.lst", build_.SecondSecretKey},
                                  std::pair{"voxa105.mxu", build_.SecondSecretKey}}) {
    ProcessResult signedFile =
        RunProcess({MINISIGN, "-S", "-s", key, "-m", www_ + "mixed/" + file}, www_);
    ASSERT_EQ(signedFile.ExitCode, 0) << signedFile.Errors;
  }
  fs::copy_file(build_.SignedUpdater, program_ + "Updater.exe",
                fs::copy_options::overwrite_existing);
  ProcessResult refused = Run({"-dontask", "-server", mixed});
  Lines lines = OutputLines(refused.Output);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("Error: Bad signature of UpdateServer.lst: signed by another key (", 0) == 0;
  })) << refused.Output;
  EXPECT_EQ(Slurp(program_ + "VOXA.exe"), Slurp(build_.Voxa100));

  fs::copy_file(build_.TwoKeyUpdater, program_ + "Updater.exe",
                fs::copy_options::overwrite_existing);
  ProcessResult updated = Run({"-dontask", "-server", mixed});
  lines = OutputLines(updated.Output);
  EXPECT_TRUE(Contains(lines, "Update finished.")) << updated.Output;
  EXPECT_FALSE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("Error: ", 0) == 0;
  })) << updated.Output;
  EXPECT_EQ(Slurp(program_ + "VOXA.exe"), Slurp(build_.Voxa105));
}

// A FIFO where the updater keeps a file of its own: nobody opens its other
// end, so an open that waits for one would hold the run for ever. Each run
// must end within its time, as decided for that file. Wine shows a FIFO to
// the Windows program as a pipe, which it refuses likewise; but Wine can
// neither move a file over a FIFO nor delete one, so there the FIFO stays,
// and one at UpdateServer.lst fails every server at its list.
TEST_P(UpdateJobTest, AFifoInPlaceOfAFileOfTheUpdaterDoesNotHoldTheRun) {
  struct Outcome {
    bool Updates;        // the update is applied
    bool Stays;          // the FIFO is still there afterwards
    const char* Ending;  // the last line before the closing prompt
  };
  struct Case {
    const char* File;
    bool Keyed;  // the keyed updater, against a signed server
    Outcome Posix, Wine;
  } cases[] = {
      // The log is not written; the run does its job.
      {"Update/Updater.log",
       false,
       {true, true, "Update finished."},
       {true, true, "Update finished."}},
      // A journal that is not a file is not this updater's: no package is
      // applied while it is there.
      {"Update/Apply.journal",
       false,
       {false, true, "Update failed!"},
       {false, true, "Update failed!"}},
      // A kept time that cannot be read refuses the catalogue, never counts
      // as none. (Wine shows no file at all there: no time kept.)
      {"Update/VersionInfo.timestamp",
       true,
       {false, true, "Update failed!"},
       {true, true, "Update finished."}},
      // No server list: the -server value is tried, and its list replaces
      // the FIFO.
      {"UpdateServer.lst",
       false,
       {true, false, "Update finished."},
       {false, true, "Update failed!"}},
  };
  const std::string base = ServeVoxa105("main");
  const std::string signedBase = ServeVoxa105("signed");
  SignFolder(www_ + "signed", build_.SecretKey);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.File);
    fs::remove_all(program_);
    fs::create_directories(program_ + "Update");
    fs::copy_file(c.Keyed ? build_.SignedUpdater : build_.Updater, program_ + "Updater.exe");
    fs::copy_file(build_.Voxa100, program_ + "VOXA.exe");
    if (std::string(c.File) != "UpdateServer.lst") ListServers({c.Keyed ? signedBase : base});
    ASSERT_EQ(mkfifo((program_ + c.File).c_str(), 0666), 0);
    ProcessResult result =
        RunProcess(Command({"-dontask", "-server", c.Keyed ? signedBase : base}), program_, "", 60);
    ASSERT_EQ(result.ExitCode, 0) << "the run did not end";
    const Outcome& expected = build_.Windows ? c.Wine : c.Posix;
    const Lines lines = OutputLines(result.Output);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], expected.Ending) << result.Output;
    EXPECT_EQ(Slurp(program_ + "VOXA.exe") == Slurp(build_.Voxa105), expected.Updates);
    EXPECT_EQ(IsFifo(program_ + c.File), expected.Stays);
  }
}

// A link at the log's place: the log is not written, and the file it points
// to stays as it was.
TEST_P(UpdateJobTest, ALinkedLogLeavesTheFileItPointsToAlone) {
  if (build_.Windows)
    GTEST_SKIP() << "Wine 8 shows a Unix link to a file as the file itself, without a reparse "
                    "point, and its CreateSymbolicLinkW makes nothing";
  const std::string outside = temp_.Path() + "outside.txt";
  WriteWholeFile(outside, "not the updater's");
  fs::create_symlink(outside, program_ + "Update/Updater.log");
  ProcessResult result = Run({"-dontask", "-server", ServeVoxa105("main")});
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_TRUE(Contains(OutputLines(result.Output), "Update finished.")) << result.Output;
  EXPECT_EQ(Slurp(program_ + "VOXA.exe"), Slurp(build_.Voxa105));
  EXPECT_EQ(Slurp(outside), "not the updater's");
  EXPECT_TRUE(fs::is_symlink(program_ + "Update/Updater.log"));
}

// A second updater started in the same installation while the first one
// downloads (slowly) ends with its line and changes nothing; the first one
// completes its update. The second one only applies, which used to take the
// first one's downloads for unsigned packages and delete them.
TEST_P(UpdateJobTest, ASecondUpdaterLeavesTheRunningOneAlone) {
  fs::copy_file(build_.SignedUpdater, program_ + "Updater.exe",
                fs::copy_options::overwrite_existing);
  const std::string base =
      Serve("slow", {{"UpdateInfo.txt", "ok"},
                     {"UpdateServer.lst", "x\r\n"},
                     {"VersionInfo.txt", "VOXA a.mxu 104\r\nVOXA b.mxu 105\r\n"}});
  // At 256 KiB a second: the first package in about 2 s, the second in
  // about 20 s, longer than the second updater waits for the lock.
  const std::string first = NoiseBytes(512 << 10, 1), second = NoiseBytes(5 << 20, 2);
  Package("slow/a.mxu", {{"Data\\A.bin", first}}, "stored");
  Package("slow/b.mxu", {{"VOXA.exe", Slurp(build_.Voxa105)}, {"Data\\B.bin", second}}, "stored");
  SignFolder(www_ + "slow", build_.SecretKey);

  auto running = std::async(std::launch::async, [&] { return Run({"-dontask", "-server", base}); });
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(program_ + "Update/a.mxu"); }, 60));
  ProcessResult other = RunProcess(Command({"-dontask", "-onlyapply"}), program_, "", 60);
  EXPECT_EQ(other.ExitCode, 0);
  EXPECT_EQ(OutputLines(other.Output),
            (Lines{"", "VOXA Updater v1.00", "Error: Another updater is running in this folder.",
                   "", "Press enter to end program."}));

  ProcessResult result = running.get();
  EXPECT_EQ(result.ExitCode, 0);
  EXPECT_TRUE(Contains(OutputLines(result.Output), "Update finished.")) << result.Output;
  EXPECT_EQ(Slurp(program_ + "VOXA.exe"), Slurp(build_.Voxa105));
  EXPECT_TRUE(Slurp(program_ + "Data/A.bin") == first);
  EXPECT_TRUE(Slurp(program_ + "Data/B.bin") == second);
  const std::string log = Slurp(program_ + "Update/Updater.log");
  EXPECT_EQ(log.find("started"), log.rfind("started")) << "the second updater wrote to the log";
}

// The same names with the same content; only names are shown when not.
void ExpectSameFiles(const Files& actual, const Files& expected) {
  Lines actualNames, expectedNames;
  for (const auto& [name, content] : actual) actualNames.push_back(name);
  for (const auto& [name, content] : expected) expectedNames.push_back(name);
  ASSERT_EQ(actualNames, expectedNames);
  for (const auto& [name, content] : expected)
    EXPECT_TRUE(actual.at(name) == content) << name << " differs";
}

TEST_P(UpdateJobTest, APublishedReleaseUpdatesAnInstallationFileForFile) {
  // Two releases: 1.05 changes the program and the readme, adds a map, and
  // keeps the settings and the old data as they were.
  const std::string r100 = temp_.Path() + "release-1.00/", r105 = temp_.Path() + "release-1.05/";
  const Files release100 = {{"VOXA.exe", Slurp(build_.Voxa100)},
                            {"Readme.txt", "1.00"},
                            {"Data/Settings.ini", "settings"},
                            {"Data/Old.dat", std::string(100000, 'o')}};
  Files release105 = release100;
  release105["VOXA.exe"] = Slurp(build_.Voxa105);
  release105["Readme.txt"] = "1.05";
  release105["Data/Maps/Forest.dat"] = "trees";
  for (const auto& [folder, files] : {std::pair{r100, release100}, std::pair{r105, release105}}) {
    for (const auto& [file, content] : files) {
      fs::create_directories(fs::path(folder + file).parent_path());
      WriteWholeFile(folder + file, content);
    }
  }
  // A keyed updater, and servers published with the key: one with full
  // packages, one with 1.05 as the change since 1.00.
  fs::copy_file(build_.SignedUpdater, program_ + "Updater.exe",
                fs::copy_options::overwrite_existing);
  const std::string full = Serve("full", {}), delta = Serve("delta", {});
  for (const std::string& name : {std::string("full"), std::string("delta")}) {
    WriteWholeFile(www_ + name + "/UpdateServer.lst", server_->BaseURL() + name + "/\r\n");
    for (const Lines& options :
         {Lines{r100}, name == "full" ? Lines{r105} : Lines{r105, "--since", r100}}) {
      Lines command = {MXUPACK, "publish", www_ + name};
      command.insert(command.end(), options.begin(), options.end());
      command.insert(command.end(), {"--sign", build_.SecretKey, "--method", "zlib"});
      ProcessResult published = RunProcess(command, www_);
      ASSERT_EQ(published.ExitCode, 0) << published.Errors;
    }
  }
  ProcessResult listed =
      RunProcess({MXUPACK, "list", www_ + "delta/VOXA-1.05-since-1.00.mxu"}, www_);
  Lines names;  // mxupack's own lines: one an entry after the heading
  std::istringstream listing(listed.Output);
  for (std::string line; std::getline(listing, line);)
    if (line.find('\t') != std::string::npos && line.rfind("name\t", 0) != 0)
      names.push_back(line.substr(0, line.find('\t')));
  EXPECT_EQ(names, (Lines{"Data\\Maps\\Forest.dat", "Readme.txt", "VOXA.exe"}));
  // minisign itself accepts every signature publishing wrote.
  for (const auto& entry : fs::directory_iterator(www_ + "delta")) {
    if (entry.path().extension() == ".minisig") continue;
    ProcessResult checked =
        RunProcess({MINISIGN, "-V", "-q", "-p",
                    fs::path(build_.SecretKey).replace_filename("minisign.pub").string(), "-m",
                    entry.path().string()},
                   www_);
    EXPECT_EQ(checked.ExitCode, 0) << entry.path() << checked.Errors;
  }

  for (const std::string& base : {delta, full}) {
    SCOPED_TRACE(base);
    // A fresh installation of 1.00: the two servers' catalogues and lists
    // were signed at different times, and an installation refuses the older
    // ones after it took the newer.
    fs::remove_all(program_ + "Data");
    fs::remove(program_ + "Update/VersionInfo.timestamp");
    fs::remove(program_ + "Update/UpdateServer.timestamp");
    for (const auto& [file, content] : release100) {
      fs::create_directories(fs::path(program_ + file).parent_path());
      WriteWholeFile(program_ + file, content);
    }
    ListServers({base});
    ProcessResult result = Run({"-dontask"});
    EXPECT_TRUE(Contains(OutputLines(result.Output), "Update finished.")) << result.Output;
    ExpectSameFiles(InstalledFiles(program_), release105);
  }
}

TEST_P(UpdateJobTest, ASlowDownloadShowsItsProgressOnlyAtATerminal) {
  if (build_.Windows) GTEST_SKIP() << "the terminal is the POSIX build's";
  // 768 KiB that do not compress, served at 256 KiB a second.
  std::string noise(768 * 1024, '\0');
  std::mt19937 random(7);
  for (char& byte : noise) byte = static_cast<char>(random());
  const std::string base = Serve("slow", {{"UpdateInfo.txt", "ok"},
                                          {"UpdateServer.lst", "x\r\n"},
                                          {"VersionInfo.txt", "VOXA voxa105.mxu 105\r\n"}});
  Package("slow/voxa105.mxu", {{"VOXA.exe", Slurp(build_.Voxa105)}, {"Noise.bin", noise}},
          "stored");

  // Through a pipe: the lines, and not a byte more.
  ProcessResult piped = Run({"-dontask", "-server", base});
  const Lines lines = OutputLines(piped.Output);
  EXPECT_EQ(piped.Output.find('\033'), std::string::npos);
  EXPECT_EQ(piped.Output.find(" of "), std::string::npos);
  ASSERT_TRUE(Contains(lines, "Update finished.")) << piped.Output;

  // At a terminal: a status line while the package arrives, and in the end
  // the same lines on the screen, nothing else.
  WriteWholeFile(program_ + "VOXA.exe", Slurp(build_.Voxa100));
  TerminalProcess updater(Command({"-dontask", "-server", base}), program_);
  int exitCode = -1;
  ASSERT_TRUE(updater.WaitForOutput("Update finished."));
  ASSERT_TRUE(updater.WaitForExit(10000, &exitCode));
  EXPECT_EQ(exitCode, 0);
  const std::string& bytes = updater.Output();
  EXPECT_NE(bytes.find("% "), std::string::npos) << "no status line was shown";
  EXPECT_NE(bytes.find(" KB of "), std::string::npos) << "no status line was shown";
  Lines screen = Screen(bytes, kTerminalColumns);
  while (!screen.empty() && screen.back().empty()) screen.pop_back();
  Lines expected = lines;
  while (!expected.empty() && expected.back().empty()) expected.pop_back();
  EXPECT_EQ(screen, expected);
}

TEST_P(UpdateJobTest, TheQuestionIsAnsweredAtATerminal) {
  if (build_.Windows) GTEST_SKIP() << "the terminal is the POSIX build's";
  const std::string base = ServeVoxa105("main");
  ListServers({base});
  {
    TerminalProcess updater(Command({}), program_);
    ASSERT_TRUE(updater.WaitForOutput("Do you want to update? (y/n)"));
    ASSERT_TRUE(updater.WaitForKeyPolling());
    updater.Type("n");
    ASSERT_TRUE(updater.WaitForOutput("Press enter to end program."));
    updater.Type("\r");
    int exitCode = -1;
    ASSERT_TRUE(updater.WaitForExit(10000, &exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(updater.Output().find("Downloading updates..."), std::string::npos);
    EXPECT_EQ(Slurp(program_ + "VOXA.exe"), Slurp(build_.Voxa100));
  }
  ListServers({base});  // the first run saved the server's list over it
  TerminalProcess updater(Command({}), program_);
  ASSERT_TRUE(updater.WaitForOutput("Do you want to update? (y/n)"));
  ASSERT_TRUE(updater.WaitForKeyPolling());
  updater.Type("xq");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(updater.Output().find("Downloading updates..."), std::string::npos);
  updater.Type("Y");
  ASSERT_TRUE(updater.WaitForOutput("Press enter to end program."));
  updater.Type("\r");
  int exitCode = -1;
  ASSERT_TRUE(updater.WaitForExit(10000, &exitCode));
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(Slurp(program_ + "VOXA.exe"), Slurp(build_.Voxa105));
}

// Requests as a proxy forwarded them, a request sent again with the
// credentials after the proxy's challenge (as WinINet does) counted once.
Lines Collapsed(Lines requests) {
  requests.erase(std::unique(requests.begin(), requests.end()), requests.end());
  return requests;
}

// Updates through tinyproxy, whose log shows what it forwarded: the proxy the
// environment names (the default follows the system's setting; under Wine,
// WinINet's preconfigured access takes http_proxy when the registry names no
// proxy), the one given with -proxy and its credentials, and -noproxy past a
// dead proxy that the environment names.
TEST_P(UpdateJobTest, ProxiesOfTheEnvironmentAndTheCommandLine) {
  ProxyServer proxy("alice", "s3cret");
  ASSERT_TRUE(proxy.Running()) << "tinyproxy did not start";
  const std::string base = ServeVoxa105("main");
  const std::string dead = "http://127.0.0.1:" + std::to_string(UnusedPort());
  const Lines forwarded{base + "UpdateInfo.txt", base + "UpdateServer.lst",
                        base + "VersionInfo.txt", base + "voxa105.mxu"};
  // Runs an update of 1.00 from `base` with `http_proxy` in the environment
  // (none when empty) and tells whether it installed 1.05.
  auto update = [&](const std::string& httpProxy, Lines parameters) {
    fs::copy_file(build_.Voxa100, program_ + "VOXA.exe", fs::copy_options::overwrite_existing);
    ListServers({base});
    Lines command{"/usr/bin/env", "-u", "no_proxy", "-u", "NO_PROXY", "-u", "all_proxy"};
    if (!httpProxy.empty()) command.push_back("http_proxy=" + httpProxy);
    parameters.insert(parameters.begin(), "-dontask");
    for (const std::string& part : Command(parameters)) command.push_back(part);
    ProcessResult result = RunProcess(command, program_, "", 300);
    return result.ExitCode == 0 && Slurp(program_ + "VOXA.exe") == Slurp(build_.Voxa105);
  };
  const std::string withPassword = "http://alice:s3cret@" + proxy.Address();
  // The requests the proxy forwarded since the last call.
  size_t seen = 0;
  auto forwardedNow = [&] {
    Lines all = proxy.Requests();
    Lines now(all.begin() + static_cast<std::ptrdiff_t>(std::min(seen, all.size())), all.end());
    seen = all.size();
    return Collapsed(now);
  };

  // -proxy with credentials; the proxy refuses a wrong password.
  EXPECT_FALSE(update("", {"-proxy", "http://alice:wrong@" + proxy.Address()}));
  Lines refused = forwardedNow();
  EXPECT_FALSE(refused.empty());
  for (const std::string& url : refused) EXPECT_EQ(url, base + "UpdateInfo.txt");
  EXPECT_TRUE(update(dead, {"-proxy", withPassword}));
  EXPECT_EQ(forwardedNow(), forwarded);
  const std::string log = Slurp(program_ + "Update/Updater.log");
  EXPECT_NE(log.find("-proxy http://alice:***@" + proxy.Address()), std::string::npos) << log;
  EXPECT_EQ(log.find("s3cret"), std::string::npos);

  // -noproxy goes straight past the dead proxy of the environment, which
  // the default takes and fails on.
  EXPECT_TRUE(update(dead, {"-noproxy"}));
  EXPECT_FALSE(update(dead, {}));
  EXPECT_EQ(forwardedNow(), Lines{});

  EXPECT_TRUE(update(withPassword, {}));
  EXPECT_EQ(forwardedNow(), forwarded);
}

TEST_P(UpdateJobTest, TheProxyIsHandedOverToTheNewUpdater) {
  ProxyServer proxy("alice", "s3cret");
  ASSERT_TRUE(proxy.Running()) << "tinyproxy did not start";
  const std::string base = ServeVoxa105("main", "updater Updater.mxu 101\r\n");
  Package("main/Updater.mxu", {{"Updater.exe", Slurp(build_.NextUpdater)}});
  ListServers({base});
  // A dead proxy in the environment: a process that lost -proxy fails.
  const std::string dead = "http_proxy=http://127.0.0.1:" + std::to_string(UnusedPort());
  Lines command{"/usr/bin/env", dead};
  for (const std::string& part :
       Command({"-dontask", "-proxy", "http://alice:s3cret@" + proxy.Address()}))
    command.push_back(part);
  EXPECT_EQ(RunProcess(command, program_, "", 300).ExitCode, 0);
  const std::string voxa = Slurp(build_.Voxa105);
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Slurp(program_ + "VOXA.exe") == voxa && !fs::exists(program_ + "Update/Updater.tmp");
      },
      120));
  // The first process fetched the new updater, the third one VOXA's package.
  const Lines check{base + "UpdateInfo.txt", base + "UpdateServer.lst", base + "VersionInfo.txt"};
  Lines expected = check;
  expected.push_back(base + "Updater.mxu");
  expected.insert(expected.end(), check.begin(), check.end());
  expected.push_back(base + "voxa105.mxu");
  EXPECT_EQ(Collapsed(proxy.Requests()), expected);
  const std::string log = Slurp(program_ + "Update/Updater.log");
  EXPECT_NE(log.find("-proxy http://alice:***@" + proxy.Address()), std::string::npos) << log;
  EXPECT_EQ(log.find("s3cret"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Builds, UpdateJobTest, ::testing::Values(&PosixBuild, &WindowsBuild),
                         [](const ::testing::TestParamInfo<Build (*)()>& info) {
                           return info.param().Name;
                         });

}  // namespace
}  // namespace updater::testing
