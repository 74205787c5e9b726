// The update check across servers.
#include "run/update_check.h"

#include <string>

#include "packages/apply_updates.h"
#include "protocol/catalogue.h"
#include "protocol/server_files.h"
#include "protocol/server_list.h"
#include "protocol/update_selection.h"
#include "protocol/version_text.h"
#include "run/console_io.h"
#include "run/self_update.h"
#include "run/server_requests.h"
#include "run/signed_files.h"
#include "transfer/download_updates.h"

namespace updater {

namespace {

constexpr int kKeyPollMilliseconds = 20;
constexpr char kQuestion[] = "Do you want to update? (y/n)";
constexpr char kColumnGap[] = "          ";  // ten spaces

enum class Mode { Full, CheckOnly };

// How one attempt with one server ended.
enum class Attempt {
  Failed,      // try the next server
  Completed,   // the check is done
  Offered,     // check only: something newer is offered
  Declined,    // the user answered no
  HandedOver,  // a new updater runs
};

void AnnounceNewUpdater(Program& program, const UpdateEntry& entry) {
  PrintLine(program, "");
  PrintLine(program, "New Updater version on server.");
  PrintLine(program, "Installed version: " + VersionText(program.InstalledUpdaterVersion));
  PrintLine(program, "New version      : " + VersionText(entry.Version));
  PrintLine(program, "");
}

// Shows one row per main-program entry and selects those to update.
void ShowVersionTable(Program& program, const Catalogue& catalogue) {
  PrintLine(program, "");
  PrintLine(program, "Old Version | New Version | Name");
  PrintLine(program, "");
  program.SelectedUpdates.clear();
  for (const VersionTableRow& row :
       VersionTable(catalogue, program.InstalledMainVersion, program.Settings.Force)) {
    PrintLine(program, VersionText(program.InstalledMainVersion) + kColumnGap +
                           VersionText(row.Entry.Version) + kColumnGap + row.Entry.Name);
    if (row.Selected) program.SelectedUpdates.push_back({row.Entry.Name, row.Entry.PackageFile});
  }
  PrintLine(program, "");
  PrintLine(program, std::to_string(program.SelectedUpdates.size()) + " updates available.");
}

// The updater offered again after this very run replaced it: the published
// program does not carry the catalogue's version, and replacing it once more
// would start the same hand-over for ever.
bool OfferedAgainAfterReplacement(Program& program, const UpdateEntry& entry) {
  if (!program.StartedAfterReplacement) return false;
  PrintLine(program, "Error: The new Updater does not have the version " +
                         VersionText(entry.Version) + " offered on the server.");
  return true;
}

// Records the order of the downloaded packages, the catalogue's, for the apply
// of this run and of a later -onlyapply: a newer package written before an
// older one would lose to it.
void RecordPackageOrder(Program& program) {
  std::string order;
  for (const SelectedUpdate& update : program.SelectedUpdates) order += update.PackageFile + "\r\n";
  if (!WriteFileWhole(program.Os.Files, program.UpdateFolder() + kPackageOrderFile, order))
    program.Log.Write("Cannot record the order of the packages: " + program.Os.Files.LastError());
}

Attempt TryServer(Program& program, Mode mode) {
  PrintLine(program, "");
  PrintLine(program, "Connecting to update server... : " + program.Settings.Server);

  std::string text;
  if (!FetchUpdateInfo(program, &text)) return Attempt::Failed;
  std::string state = ServerState(text);
  if (state != kServerStateOk) {
    PrintLine(program, ServerStateLine(state));
    return Attempt::Failed;
  }

  if (mode == Mode::Full) {
    PrintLine(program, "Downloading server list...");
    if (!FetchServerList(program)) return Attempt::Failed;
  }

  PrintLine(program, "Checking for new versions...");
  SignedFileInfo signedCatalogue;
  if (!FetchVersionInfo(program, &text, &signedCatalogue)) return Attempt::Failed;
  if (RequiresSignatures(program) && !AcceptCatalogueTime(program, signedCatalogue.Timestamp))
    return Attempt::Failed;
  Catalogue catalogue;
  if (ParseCatalogue(text, &catalogue) == 0) {
    PrintLine(program, "Error: Corrupted version infos on server!");
    return Attempt::Failed;
  }

  bool selfUpdateTried = false;
  for (const UpdateEntry& entry : NewerUpdaterEntries(catalogue, program.InstalledUpdaterVersion)) {
    if (mode == Mode::CheckOnly) {
      AnnounceNewUpdater(program, entry);
      return Attempt::Offered;
    }
    if (OfferedAgainAfterReplacement(program, entry)) continue;
    AnnounceNewUpdater(program, entry);
    if (!AskYesNo(program, kQuestion)) return Attempt::Declined;
    if (SelfUpdate(program, program.Settings.Server + entry.PackageFile) ==
        SelfUpdateOutcome::HandedOver)
      return Attempt::HandedOver;
    selfUpdateTried = true;
  }
  if (selfUpdateTried) return Attempt::Failed;

  ShowVersionTable(program, catalogue);
  if (mode == Mode::CheckOnly)
    return program.SelectedUpdates.empty() ? Attempt::Completed : Attempt::Offered;
  if (program.SelectedUpdates.empty()) return Attempt::Completed;

  if (!AskYesNo(program, kQuestion)) return Attempt::Declined;
  // A keyed updater checks each package as soon as it has arrived: a bad one
  // goes at once, and nothing more is downloaded from this server.
  PackageArrived checkSignature;
  if (RequiresSignatures(program))
    checkSignature = [&program](const SelectedUpdate& update, const std::string& url,
                                const std::string& path) {
      return CheckSignedDownload(program, url, path, SignedName(update.PackageFile));
    };
  if (!DownloadUpdates(program.Os, program.Output, program.Settings.Server, program.UpdateFolder(),
                       program.SelectedUpdates, checkSignature))
    return Attempt::Failed;
  RecordPackageOrder(program);
  if (program.Settings.OnlyDownload) return Attempt::Completed;
  const bool applied = ApplyUpdates(program.Packages, program.ProgramFolder);
  if (RequiresSignatures(program)) RemoveSignaturesOfAppliedPackages(program);
  return applied ? Attempt::Completed : Attempt::Failed;
}

void ReportServersExhausted(Program& program) {
  PrintLine(program, "");
  PrintLine(program, "Tried all servers of the update server list.");
  PrintLine(program, "Update failed!");
}

}  // namespace

bool AskYesNo(Program& program, std::string_view question) {
  if (program.Settings.AskMode != AskModeSetting::Ask) return true;
  PrintLine(program, question);
  while (true) {
    program.Os.Clock.Sleep(kKeyPollMilliseconds);
    ConsoleKey key = ReadConsoleKey(program);
    // Nobody can answer a closed input; "no" changes nothing.
    if (key.InputClosed) return false;
    if (key.Text == "y" || key.Text == "Y") return true;
    if (key.Text == "n" || key.Text == "N") return false;
  }
}

CheckOutcome RunUpdateCheck(Program& program) {
  ServerChoice choice;
  return RunUpdateCheck(program, choice);
}

CheckOutcome RunUpdateCheck(Program& program, ServerChoice& choice) {
  ChooseFirstServer(program.ServerList, program.Settings.Server, choice);
  while (true) {
    switch (TryServer(program, Mode::Full)) {
      case Attempt::Completed:
        return CheckOutcome::Completed;
      case Attempt::Declined:
        return CheckOutcome::Declined;
      case Attempt::HandedOver:
        return CheckOutcome::HandedOver;
      case Attempt::Failed:
      case Attempt::Offered:
        break;
    }
    if (!ChooseNextServer(program.ServerList, program.Settings.Server, choice)) {
      ReportServersExhausted(program);
      return CheckOutcome::ServersExhausted;
    }
  }
}

int RunCheckOnly(Program& program) {
  ServerChoice choice;
  return RunCheckOnly(program, choice);
}

int RunCheckOnly(Program& program, ServerChoice& choice) {
  ChooseFirstServer(program.ServerList, program.Settings.Server, choice);
  while (true) {
    switch (TryServer(program, Mode::CheckOnly)) {
      case Attempt::Offered:
        return 1;
      case Attempt::Completed:
        return 0;
      case Attempt::Failed:
      case Attempt::Declined:
      case Attempt::HandedOver:
        break;
    }
    if (!ChooseNextServer(program.ServerList, program.Settings.Server, choice)) {
      ReportServersExhausted(program);
      return 0;
    }
  }
}

}  // namespace updater
