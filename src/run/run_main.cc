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

// The outcome of a check whose servers all failed, by how far the furthest
// attempt got.
RunOutcome OutcomeOf(CheckFailure furthest) {
  switch (furthest) {
    case CheckFailure::None:
    case CheckFailure::Server:
      return RunOutcome::EveryServerFailed;
    case CheckFailure::Download:
      return RunOutcome::DownloadFailed;
    case CheckFailure::Apply:
      return RunOutcome::ApplyFailed;
  }
  return RunOutcome::EveryServerFailed;
}

}  // namespace

RunEnd RunUpdater(Program& program) {
  RunSettings& settings = program.Settings;
  RunServices& services = program.Services;
  Platform& os = services.Os;
  settings = ParseCommandLine(os.Processes.CommandLine());
  services.Route = RouteOf(settings);
  services.Log.ConcealPassword(ProxyPasswordAsWritten(settings));
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
    if (!OpenUpdaterConsole(settings, services)) return RunEnd::Exit(RunOutcome::FatalError);
    PrintLine(services, kAnotherUpdaterLine);
    return RunEnd::ClosingPrompt(RunOutcome::FatalError);
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
  if (!OpenUpdaterConsole(settings, services)) return RunEnd::Exit(RunOutcome::FatalError);
  services.Progress.emplace(os.Console, os.Clock, ProgressWanted(settings, os.Console));
  InitPackageReader(services.Packages, 0);
  services.Packages.HeldFiles.Allow(os.Clock, services.Limits.HeldFileMilliseconds);
  session.ServerList = LoadServerList(os.Files, services.ProgramFolder);
  session.Server = settings.Server;
  session.Installed = QueryInstalledVersions(os.Versions, services.ProgramFolder);
  services.Log.Write("Installed: Updater " + VersionText(session.Installed.Updater) + ", VOXA " +
                     VersionText(session.Installed.Main));

  RunOutcome outcome = RunOutcome::Done;
  if (settings.OnlyApply) {
    // A refused package that could not be removed would be applied with the
    // others: then nothing is.
    const bool checked = !RequiresSignatures(services) || CheckWaitingPackages(services);
    // Without an update folder nothing waits, and nothing failed.
    const bool applied = checked && (ApplyUpdates(services.Packages, services.ProgramFolder) ||
                                     !os.Files.IsFolder(services.UpdateFolder()));
    if (RequiresSignatures(services)) RemoveSignaturesOfAppliedPackages(services);
    if (!applied) {
      // As a failed apply ends a normal run, where no server is left to try.
      PrintLine(services, "");
      PrintLine(services, "Update failed!");
      return RunEnd::ClosingPrompt(RunOutcome::ApplyFailed);
    }
  } else {
    std::string cause;
    if (!os.Processes.StartNetwork(&cause)) {
      services.Output.Failure("Error: Failed to initialize network!", cause);
      return RunEnd::ClosingPrompt(RunOutcome::FatalError);
    }
    if (settings.OnlyCheck) {
      // A check-only run goes on to "Update finished." whatever it found.
      const CheckOutcome checked = RunCheckOnly(settings, services, session);
      if (checked == CheckOutcome::Offered) program.CheckResult = 1;
      if (checked == CheckOutcome::ServersExhausted) outcome = RunOutcome::EveryServerFailed;
    } else {
      switch (RunUpdateCheck(settings, services, session)) {
        case CheckOutcome::Completed:
        case CheckOutcome::Offered:
          break;
        case CheckOutcome::Declined:
          return RunEnd::ClosingPrompt();
        case CheckOutcome::ServersExhausted:
          return RunEnd::ClosingPrompt(OutcomeOf(session.FurthestFailure));
        case CheckOutcome::HandedOver:
          return RunEnd::Exit(RunOutcome::HandedOver);
      }
    }
  }

  PrintLine(services, "");
  PrintLine(services, "Update finished.");
  std::string cause;
  if (settings.RunAfterUpdate && !LaunchProgram(os.Processes, services.ProgramFolder + "VOXA.exe",
                                                "-au", services.ProgramFolder, &cause))
    services.Log.Write("Cannot start VOXA.exe: " + cause);
  return RunEnd::ClosingPrompt(outcome);
}

void EndRun(Program& program, const RunEnd& end) {
  const int64_t exitCode = ExitCodeOf(end, program.CheckResult, program.Settings.ExitCodes);
  switch (end.Ending) {
    case RunEnding::ClosingPrompt:
      EndProgram(program.Settings, program.Services, exitCode);
    case RunEnding::Exit:
      ExitProgram(program.Services, exitCode);
    case RunEnding::Fatal:
      FatalError(program.Settings, program.Services, end.FatalText, exitCode);
  }
  ExitProgram(program.Services, exitCode);
}

void RunMain(Program& program) { EndRun(program, RunUpdater(program)); }

}  // namespace updater
