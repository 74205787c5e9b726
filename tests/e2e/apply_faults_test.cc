// The real updater of each build applying a package on a disk that fails and
// beside a journal that leads out of the program folder: under strace, every
// rename (or deletion, or sync) from the Nth on fails with EIO, and the next
// normal run ends with the whole new installation; a journal whose file lies
// behind a link to outside the program folder, which Linux made, is refused
// by both builds with nothing changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "e2e/builds.h"
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

class ApplyFaultsTest : public ::testing::TestWithParam<Build (*)()> {
 protected:
  void SetUp() override {
    build_ = GetParam()();
    if (!BuildAvailable(build_)) GTEST_SKIP() << "no Windows build tree";
    program_ = temp_.Path() + "VOXA app/";
  }

  // A fresh installation: the program, VOXA 1.00 and `old` files.
  void Install(const Files& old) {
    fs::remove_all(program_);
    fs::create_directories(program_ + "Update");
    fs::copy_file(build_.Updater, program_ + "Updater.exe");
    fs::copy_file(build_.Voxa100, program_ + "VOXA.exe");
    for (const auto& [name, content] : old) {
      fs::create_directories(fs::path(program_ + Native(name)).parent_path());
      WriteWholeFile(program_ + Native(name), content);
    }
  }

  // A package made by mxupack from `files`, waiting in Update\.
  void Package(const std::string& name, const Files& files) {
    TempFolder staging;
    for (const auto& [file, content] : files) {
      const std::string native = staging.Path() + Native(file);
      fs::create_directories(fs::path(native).parent_path());
      WriteWholeFile(native, content);
    }
    ProcessResult made = RunProcess(
        {MXUPACK, "create", program_ + "Update/" + name, staging.Path(), "--method", "zlib"},
        program_);
    ASSERT_EQ(made.ExitCode, 0) << made.Errors;
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

  Build build_;
  TempFolder temp_;
  std::string program_;
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

INSTANTIATE_TEST_SUITE_P(Builds, ApplyFaultsTest, ::testing::Values(&PosixBuild, &WindowsBuild),
                         [](const ::testing::TestParamInfo<Build (*)()>& info) {
                           return info.param().Name;
                         });

}  // namespace
}  // namespace updater::testing
