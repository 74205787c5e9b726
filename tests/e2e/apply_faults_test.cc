// The real updater of each build applying a package on a disk that fails,
// beside a journal that leads out of the program folder, and over files that
// another program holds open: under strace, every rename (or deletion, or
// sync) from the Nth on fails with EIO, and the next normal run ends with
// the whole new installation; a journal whose file lies behind a link to
// outside the program folder, which Linux made, is refused by both builds
// with nothing changed; the Windows build waits for held files.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "e2e/builds.h"
#include "e2e/installation_test.h"
#include "e2e/process_runner.h"
#include "packages/apply_journal.h"
#include "support/temp_folder.h"

namespace updater::testing {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;  // relative path -> content

std::string Native(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

class ApplyFaultsTest : public InstallationTest {
 protected:
  // A fresh installation: the program, VOXA 1.00 and `old` files.
  void Install(const Files& old) {
    InstallationTest::Install();
    for (const auto& [name, content] : old) {
      fs::create_directories(fs::path(program_ + Native(name)).parent_path());
      WriteWholeFile(program_ + Native(name), content);
    }
  }

  // A package made by mxupack from `files`, waiting in Update\.
  void Package(const std::string& name, const Files& files) {
    MakePackage(program_ + "Update/" + name, files);
  }

  // Runs the updater with `parameters`, its command behind `prefix`.
  ProcessResult Run(const std::vector<std::string>& prefix,
                    const std::vector<std::string>& parameters = {"-dontask", "-onlyapply"}) {
    std::vector<std::string> command = prefix;
    for (const std::string& part : BuildCommand(build_, program_ + "Updater.exe", parameters))
      command.push_back(part);
    return RunProcess(command, program_, "", 300);
  }

  // Every file of the program folder below Update\ excepted, by relative path.
  Files Installed() {
    Files files;
    for (const auto& item : fs::recursive_directory_iterator(program_)) {
      const std::string name = item.path().lexically_relative(program_).generic_string();
      if (item.is_regular_file() && name.rfind("Update/", 0) != 0)
        files[name] = ReadWholeFile(item.path().string());
    }
    return files;
  }
};

// The updater under strace, which makes the chosen calls fail with EIO from
// their Nth use on: before any file moves, at the first move, in the middle
// of the commit, at its last move, and past it; deletions and syncs as well.
// Whatever that run leaves, every file is whole; the next run's recovery
// ends with exactly the old installation (the package waiting) or exactly the
// new one, and a run that applies what waits with the new one and nothing of
// the apply left.
TEST_P(ApplyFaultsTest, AFailingDiskNeverBreaksTheInstallation) {
  if (build_.Windows) GTEST_SKIP() << "strace injects into Linux system calls";
  if (!fs::exists(STRACE)) GTEST_SKIP() << "no strace";
  Files old = {{"Readme.txt", "old readme"}}, next = {{"Readme.txt", "new readme"}};
  for (int i = 0; i < 30; ++i) {
    const std::string name = "Data/" + std::to_string(i) + ".dat";
    if (i % 2 == 0) old[name] = "old " + std::to_string(i);
    next[name] = "new " + std::to_string(i) + std::string(i, '+');
  }
  for (int i = 0; i < 10; ++i) next["New/Deep/" + std::to_string(i) + ".txt"] = "deep";
  next["VOXA.exe"] = ReadWholeFile(build_.Voxa105);
  Files before = old, after = next;
  before["VOXA.exe"] = ReadWholeFile(build_.Voxa100);
  before["Updater.exe"] = after["Updater.exe"] = ReadWholeFile(build_.Updater);
  Files package;
  for (const auto& [name, content] : next) package[name] = content;

  struct Fault {
    const char* Calls;
    int From;
  } faults[] = {{"rename,renameat,renameat2", 1},
                {"rename,renameat,renameat2", 2},
                {"rename,renameat,renameat2", 20},
                {"rename,renameat,renameat2", 41},
                {"rename,renameat,renameat2", 42},
                {"rename,renameat,renameat2", 60},
                {"unlink,unlinkat", 1},
                {"unlink,unlinkat", 10},
                {"fsync,fdatasync,syncfs", 1},
                {"fsync,fdatasync,syncfs", 4},
                {"fsync,fdatasync,syncfs", 6},
                {"fsync,fdatasync,syncfs", 9}};
  for (const Fault& fault : faults) {
    const std::string inject = "inject=" + std::string(fault.Calls) +
                               ":error=EIO:when=" + std::to_string(fault.From) + "+";
    SCOPED_TRACE(inject);
    Install(old);
    Package("P.mxu", package);
    // (The leak check of a sanitizer build cannot run under ptrace.)
    ProcessResult failing = Run({"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", STRACE, "-f", "-qq",
                                 "-o", "/dev/null", "-e", inject});
    EXPECT_EQ(failing.ExitCode, 0) << failing.Output << failing.Errors;
    for (const auto& [name, content] : Installed()) {
      if (name.find("~mx") != std::string::npos) continue;  // the journal names them
      auto now = after.find(name), then = before.find(name);
      EXPECT_TRUE((now != after.end() && content == now->second) ||
                  (then != before.end() && content == then->second))
          << name << " is torn";
    }

    // The next run's recovery alone (a check against a closed port), then a
    // run that applies what waits.
    ProcessResult recovering =
        Run({}, {"-dontask", "-onlycheck", "-server", "http://127.0.0.1:1/"});
    EXPECT_EQ(recovering.ExitCode, 0) << recovering.Output;
    const Files recovered = Installed();
    EXPECT_TRUE((recovered == before && fs::exists(program_ + "Update/P.mxu")) ||
                (recovered == after && !fs::exists(program_ + "Update/P.mxu")))
        << "neither the old nor the new installation: "
        << ::testing::PrintToString(recovered.size()) << " files";
    ProcessResult healthy = Run({});
    EXPECT_EQ(healthy.ExitCode, 0) << healthy.Output;
    EXPECT_EQ(Installed(), after);
    for (const auto& item : fs::recursive_directory_iterator(program_))
      EXPECT_EQ(item.path().filename().string().rfind("~mx", 0), std::string::npos) << item.path();
    for (const char* gone : {"Update/P.mxu", "Update/Apply.journal", "Update/Apply.journal2"})
      EXPECT_FALSE(fs::exists(program_ + gone)) << gone;
  }
}

// A journal whose file lies behind a link in the program folder that leads
// outside (made by Linux, which Wine shows the Windows program as a reparse
// point): a rollback would delete the file there. Both builds refuse it,
// say so, and change nothing, inside or outside.
TEST_P(ApplyFaultsTest, AJournalThatLeadsOutThroughALinkIsRefused) {
  Install({{"Kept.txt", "kept"}});
  const std::string outside = temp_.Path() + "outside/";
  fs::create_directories(outside);
  WriteWholeFile(outside + "victim", "victim");
  fs::create_directory_symlink(outside, program_ + "Link");
  ApplyJournal journal;
  journal.Packages = {"P.mxu"};
  journal.Files = {{"Link\\victim", "Link\\~mx1", "Link\\~mx2", false, 3},
                   {"Kept.txt", "~mx3", "~mx4", true, 3}};
  journal.Stage = ApplyStage::Committed;
  for (const char* copy : {"Update/Apply.journal", "Update/Apply.journal2"})
    WriteWholeFile(program_ + copy, EncodeJournal(journal));
  Package("P.mxu", {{"Kept.txt", "new"}});
  const Files installed = Installed();

  ProcessResult result = Run({});
  EXPECT_EQ(result.ExitCode, 0);
  const std::vector<std::string> lines = ConsoleLines(result.Output, build_.Windows);
  const std::string refused =
      "Error: Refused Update\\Apply.journal: Link\\victim leads out of the program folder";
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.rfind(refused, 0) == 0;
  })) << result.Output;
  EXPECT_EQ(ReadWholeFile(outside + "victim"), "victim");
  EXPECT_EQ(Installed(), installed);
  for (const char* kept : {"Update/P.mxu", "Update/Apply.journal", "Update/Apply.journal2"})
    EXPECT_TRUE(fs::exists(program_ + kept)) << kept;
}

// The Windows path Wine gives a file of this machine.
std::string WinePath(const std::string& path) {
  std::string windows = "Z:" + path;
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return windows;
}

// Another program holds a file of the installation open while the updater
// applies the package that replaces it: a data file opened without sharing
// (file_holder), and the main program itself, running (file_holder again,
// as VOXA.exe). Held for less than the updater's time, the update waits,
// shows one line, and applies; held longer than the quick updater's 3 s, it
// fails as it did before it waited, the installation byte for byte the old
// one and the package waiting for the next run, which applies it.
TEST_P(ApplyFaultsTest, FilesHeldOpenByAnotherProgramAreWaitedFor) {
  if (!build_.Windows) GTEST_SKIP() << "POSIX lets a file that others hold open be replaced";
  const std::string holder = std::string(WINDOWS_BUILD_DIR) + "/tests/e2e/file_holder.exe";
  const struct {
    const char* What;
    std::string Held;  // relative; the program that holds it runs as VOXA.exe when it is that
    int Milliseconds;
    bool Quick;
    bool Applied;
    const char* Error;  // the system's error that the log gives as the cause
  } cases[] = {
      // Under Wine, as on Windows, a file opened without sharing refuses an
      // open of its own (ERROR_SHARING_VIOLATION); a running program only a
      // move over it (ERROR_ACCESS_DENIED) and an open for writing.
      {"a data file held 3 s", "Data/Held.dat", 3000, false, true, "error 32"},
      {"the running main program, 3 s", "VOXA.exe", 3000, false, true, "error 5"},
      {"a data file held past the quick updater's 3 s", "Data/Held.dat", 9000, true, false,
       "error 32"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    const Files old = {{"Data/Held.dat", "old held"}, {"Readme.txt", "old readme"}};
    Install(old);
    if (c.Quick)
      fs::copy_file(build_.QuickUpdater, program_ + "Updater.exe",
                    fs::copy_options::overwrite_existing);
    const bool runs = c.Held == "VOXA.exe";
    if (runs) fs::copy_file(holder, program_ + "VOXA.exe", fs::copy_options::overwrite_existing);
    Package("P.mxu", {{"Data/Held.dat", "new held"},
                      {"Readme.txt", "new readme"},
                      {"VOXA.exe", ReadWholeFile(build_.Voxa105)}});
    const Files before = Installed();
    Files after = before;
    after["Data/Held.dat"] = "new held";
    after["Readme.txt"] = "new readme";
    after["VOXA.exe"] = ReadWholeFile(build_.Voxa105);

    const std::string ready = temp_.Path() + "ready";
    fs::remove(ready);
    WriteWholeFile(temp_.Path() + "other.dat", "other");
    BackgroundProcess holding(
        BuildCommand(build_, runs ? program_ + "VOXA.exe" : holder,
                     {WinePath(runs ? temp_.Path() + "other.dat" : program_ + c.Held),
                      std::to_string(c.Milliseconds), WinePath(ready)}),
        program_);
    for (int i = 0; i < 600 && !fs::exists(ready) && !holding.Ended(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(fs::exists(ready)) << "the holder did not start";

    ProcessResult result = Run({});
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    const std::vector<std::string> lines = ConsoleLines(result.Output, build_.Windows);
    const std::string waiting = "Waiting for " + WinePath(program_ + c.Held) +
                                ", which another program has open (up to " +
                                (c.Quick ? "3" : "20") + " seconds)...";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), waiting), 1) << result.Output;
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.rfind("Waiting", 0) == 0; }),
              1)
        << result.Output;
    const std::string log = ReadWholeFile(program_ + "Update/Updater.log");
    EXPECT_NE(log.find(WinePath(program_ + c.Held) + " is held open by another program ("),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(c.Error), std::string::npos) << log;
    if (c.Applied) {
      EXPECT_NE(log.find(" came free after "), std::string::npos) << log;
      EXPECT_NE(std::find(lines.begin(), lines.end(), "Update finished."), lines.end());
      EXPECT_EQ(Installed(), after);
      EXPECT_FALSE(fs::exists(program_ + "Update/P.mxu"));
      continue;
    }
    EXPECT_NE(log.find("giving up"), std::string::npos) << log;
    const auto failed =
        std::find(lines.begin(), lines.end(), "Error: Failed to write file to disk!");
    ASSERT_NE(failed, lines.end()) << result.Output;
    EXPECT_EQ(
        std::vector<std::string>(failed, failed + std::min<ptrdiff_t>(lines.end() - failed, 3)),
        (std::vector<std::string>{"Error: Failed to write file to disk!", "", "Update failed!"}));
    EXPECT_EQ(Installed(), before);
    for (const char* gone : {"Update/Apply.journal", "Update/Apply.journal2"})
      EXPECT_FALSE(fs::exists(program_ + gone)) << gone;
    EXPECT_TRUE(fs::exists(program_ + "Update/P.mxu"));

    // Once the holder has let go, the next run applies the package.
    for (int i = 0; i < 600 && !holding.Ended(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ProcessResult next = Run({});
    EXPECT_EQ(next.ExitCode, 0) << next.Output;
    EXPECT_EQ(Installed(), after);
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, ApplyFaultsTest, ::testing::Values(&PosixBuild, &WindowsBuild),
                         [](const ::testing::TestParamInfo<Build (*)()>& info) {
                           return info.param().Name;
                         });

}  // namespace
}  // namespace updater::testing
