// The main run sequence.
#include "run/run_main.h"

#include "packages/apply_journal.h"
#include "packages/apply_updates.h"
#include "packages/package_reader.h"
#include "protocol/server_list.h"
#include "protocol/version_text.h"
#include "run/console_io.h"
#include "run/installed_versions.h"
#include "run/self_update.h"
#include "run/signed_files.h"
#include "run/update_check.h"
#include "transfer/url_split.h"

namespace updater {

namespace {

constexpr int kDelayMilliseconds = 1000;
// Long enough to cover a self-update's hand-over, where each process takes
// the lock once the one before it has ended.
constexpr int kLockWaitMilliseconds = 10000;
constexpr int kLockPollMilliseconds = 250;

std::string TrimSpaces(const std::string& text) {
  size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string GetProgramFolder(Program& program) {
  // (The Windows backend reads the path into 1024 UTF-16 units, as the
  // module path always was; a longer one arrives cut.)
  std::string path = TrimSpaces(program.Os.Processes.ExecutablePath());
  size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

bool LaunchProgram(Program& program, const std::string& file, const std::string& parameters,
                   const std::string& workingFolder) {
  std::string commandLine = !file.empty() && file[0] == '"' ? file : '"' + file + '"';
  if (!parameters.empty()) commandLine += ' ' + parameters;
  return program.Os.Processes.Start(commandLine, file, parameters, workingFolder);
}

void StartLog(Program& program) {
  program.Log.Open(program.UpdateFolder());
  const std::string executable = program.Os.Processes.ExecutablePath();
  int64_t version = program.Os.Versions.Load() ? GetInstalledVersion(program, executable) : 0;
  program.Log.Write("Updater " + VersionText(version) +
                    " started: " + MaskURLPassword(program.Os.Processes.CommandLine()));
}

bool StartRun(Program& program) {
  std::string lockFailure;
  if (program.Os.Files.IsFolder(program.UpdateFolder())) {
    const std::string path = program.UpdateFolder() + kLockFileName;
    LockOutcome outcome = program.Os.Files.TryLock(path, &program.FolderLock);
    for (int waited = 0; outcome == LockOutcome::HeldByAnother && waited < kLockWaitMilliseconds;
         waited += kLockPollMilliseconds) {
      program.Os.Clock.Sleep(kLockPollMilliseconds);
      outcome = program.Os.Files.TryLock(path, &program.FolderLock);
    }
    if (outcome == LockOutcome::HeldByAnother) return false;
    if (outcome == LockOutcome::Failed) lockFailure = program.Os.Files.LastError();
  }
  StartLog(program);
  if (!lockFailure.empty())
    program.Log.Write("Cannot lock the update folder; going on without the lock: " + lockFailure);
  return true;
}

RunEnd RunUpdater(Program& program) {
  program.Settings = ParseCommandLine(program.Os.Processes.CommandLine());
  program.ProgramFolder = GetProgramFolder(program);
  if (!LoadPublicKey(program)) return RunEnd::Fatal("Error: The built-in public key is unusable.");
  if (program.Settings.DelayedStart) program.Os.Clock.Sleep(kDelayMilliseconds);
  if (program.Settings.SelfReplace) return ReplaceUpdater(program);

  if (!StartRun(program)) {
    if (!OpenUpdaterConsole(program)) return RunEnd::Exit();
    PrintLine(program, kAnotherUpdaterLine);
    return RunEnd::ClosingPrompt();
  }
  // A package that an earlier run left half applied is completed or undone
  // before anything reads or changes the program folder.
  RecoverUnfinishedApply(program.Os.Files, program.Output, program.ProgramFolder);
  program.StartedAfterReplacement = ClearHandOverLeftovers(program);
  if (!OpenUpdaterConsole(program)) return RunEnd::Exit();
  program.Progress.emplace(program.Os.Console, program.Os.Clock, ProgressWanted(program));
  InitPackageReader(program.Packages, 0);
  program.ServerList = LoadServerList(program.Os.Files, program.ProgramFolder);
  QueryInstalledVersions(program);
  program.Log.Write("Installed: Updater " + VersionText(program.InstalledUpdaterVersion) +
                    ", VOXA " + VersionText(program.InstalledMainVersion));

  if (program.Settings.OnlyApply) {
    if (RequiresSignatures(program)) CheckWaitingPackages(program);
    ApplyUpdates(program.Packages, program.ProgramFolder);
    if (RequiresSignatures(program)) RemoveSignaturesOfAppliedPackages(program);
  } else {
    if (!program.Os.Processes.StartNetwork()) {
      program.Output.Failure("Error: Failed to initialize network!",
                             program.Os.Processes.LastError());
      return RunEnd::ClosingPrompt();
    }
    if (program.Settings.OnlyCheck) {
      program.CheckResult = RunCheckOnly(program);
    } else {
      switch (RunUpdateCheck(program)) {
        case CheckOutcome::Completed:
          break;
        case CheckOutcome::Declined:
        case CheckOutcome::ServersExhausted:
          return RunEnd::ClosingPrompt();
        case CheckOutcome::HandedOver:
          return RunEnd::Exit();
      }
    }
  }

  PrintLine(program, "");
  PrintLine(program, "Update finished.");
  if (program.Settings.RunAfterUpdate &&
      !LaunchProgram(program, program.ProgramFolder + "VOXA.exe", "-au", program.ProgramFolder))
    program.Log.Write("Cannot start VOXA.exe: " + program.Os.Processes.LastError());
  return RunEnd::ClosingPrompt();
}

void EndRun(Program& program, const RunEnd& end) {
  switch (end.Ending) {
    case RunEnding::ClosingPrompt:
      EndProgram(program);
    case RunEnding::Exit:
      ExitProgram(program);
    case RunEnding::Fatal:
      FatalError(program, end.FatalText);
  }
  ExitProgram(program);
}

void RunMain(Program& program) { EndRun(program, RunUpdater(program)); }

}  // namespace updater
