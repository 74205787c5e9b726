// The main run sequence.
#include "run/run_main.h"

#include "packages/apply_journal.h"
#include "packages/apply_updates.h"
#include "packages/package_reader.h"
#include "protocol/server_list.h"
#include "protocol/version_text.h"
#include "run/check_session.h"
#include "run/console_io.h"
#include "run/installed_versions.h"
#include "run/process_start.h"
#include "run/self_update.h"
#include "run/signed_files.h"
#include "run/update_check.h"

namespace updater {

namespace {

constexpr int kDelayMilliseconds = 1000;

}  // namespace

RunEnd RunUpdater(Program& program) {
  RunSettings& settings = program.Settings;
  RunServices& services = program.Services;
  Platform& os = services.Os;
  settings = ParseCommandLine(os.Processes.CommandLine());
  services.Route = RouteOf(settings);
  services.ProgramFolder = GetProgramFolder(os.Processes);
  if (!LoadPublicKey(services)) {
    // The run ends before its log would open; the log is opened for it, under
    // the lock as every run writes there, so that it keeps why (the records
    // written so far wait in the log for it to open).
    if (!settings.SelfReplace) static_cast<void>(StartRun(services));
    return RunEnd::Fatal("Error: The built-in public key is unusable.");
  }
  if (settings.DelayedStart) os.Clock.Sleep(kDelayMilliseconds);
  if (settings.SelfReplace) return ReplaceUpdater(settings, services);

  if (!StartRun(services)) {
    if (!OpenUpdaterConsole(settings, services)) return RunEnd::Exit();
    PrintLine(services, kAnotherUpdaterLine);
    return RunEnd::ClosingPrompt();
  }
  // A package that an earlier run left half applied is completed or undone
  // before anything reads or changes the program folder. The outcome is in
  // the log; a journal that stays stops the apply, which says so.
  static_cast<void>(RecoverUnfinishedApply(os.Files, services.Output, services.ProgramFolder));
  // A recovery that finished a transaction deleted its packages: their
  // signatures go too, whether or not this run applies anything.
  if (RequiresSignatures(services)) RemoveSignaturesOfAppliedPackages(services);
  CheckSession session;
  session.StartedAfterReplacement = ClearHandOverLeftovers(services);
  RemoveUnfinishedWrites(services);
  if (!OpenUpdaterConsole(settings, services)) return RunEnd::Exit();
  services.Progress.emplace(os.Console, os.Clock, ProgressWanted(settings, os.Console));
  InitPackageReader(services.Packages, 0);
  services.Packages.HeldFiles.Allow(os.Clock, services.Limits.HeldFileMilliseconds);
  session.ServerList = LoadServerList(os.Files, services.ProgramFolder);
  session.Server = settings.Server;
  session.Installed = QueryInstalledVersions(os.Versions, services.ProgramFolder);
  services.Log.Write("Installed: Updater " + VersionText(session.Installed.Updater) + ", VOXA " +
                     VersionText(session.Installed.Main));

  if (settings.OnlyApply) {
    if (RequiresSignatures(services)) CheckWaitingPackages(services);
    // Without an update folder nothing waits, and nothing failed.
    const bool applied = ApplyUpdates(services.Packages, services.ProgramFolder) ||
                         !os.Files.IsFolder(services.UpdateFolder());
    if (RequiresSignatures(services)) RemoveSignaturesOfAppliedPackages(services);
    if (!applied) {
      // As a failed apply ends a normal run, where no server is left to try.
      PrintLine(services, "");
      PrintLine(services, "Update failed!");
      return RunEnd::ClosingPrompt();
    }
  } else {
    std::string cause;
    if (!os.Processes.StartNetwork(&cause)) {
      services.Output.Failure("Error: Failed to initialize network!", cause);
      return RunEnd::ClosingPrompt();
    }
    if (settings.OnlyCheck) {
      program.CheckResult = RunCheckOnly(settings, services, session);
    } else {
      switch (RunUpdateCheck(settings, services, session)) {
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

  PrintLine(services, "");
  PrintLine(services, "Update finished.");
  std::string cause;
  if (settings.RunAfterUpdate && !LaunchProgram(os.Processes, services.ProgramFolder + "VOXA.exe",
                                                "-au", services.ProgramFolder, &cause))
    services.Log.Write("Cannot start VOXA.exe: " + cause);
  return RunEnd::ClosingPrompt();
}

void EndRun(Program& program, const RunEnd& end) {
  switch (end.Ending) {
    case RunEnding::ClosingPrompt:
      EndProgram(program.Settings, program.Services, program.CheckResult);
    case RunEnding::Exit:
      ExitProgram(program.Services);
    case RunEnding::Fatal:
      FatalError(program.Settings, program.Services, end.FatalText);
  }
  ExitProgram(program.Services);
}

void RunMain(Program& program) { EndRun(program, RunUpdater(program)); }

}  // namespace updater
