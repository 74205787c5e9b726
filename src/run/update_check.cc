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
#include "system/small_files.h"
#include "system/update_folder.h"
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

void AnnounceNewUpdater(RunServices& services, const CheckSession& session,
                        const UpdateEntry& entry) {
  PrintLine(services, "");
  PrintLine(services, "New Updater version on server.");
  PrintLine(services, "Installed version: " + VersionText(session.Installed.Updater));
  PrintLine(services, "New version      : " + VersionText(entry.Version));
  PrintLine(services, "");
}

// Shows one row per main-program entry and selects those to update.
void ShowVersionTable(const RunSettings& settings, RunServices& services, CheckSession& session,
                      const Catalogue& catalogue) {
  PrintLine(services, "");
  PrintLine(services, "Old Version | New Version | Name");
  PrintLine(services, "");
  session.SelectedUpdates.clear();
  for (const VersionTableRow& row :
       VersionTable(catalogue, session.Installed.Main, settings.Force)) {
    PrintLine(services, VersionText(session.Installed.Main) + kColumnGap +
                            VersionText(row.Entry.Version) + kColumnGap + row.Entry.Name);
    if (row.Selected) session.SelectedUpdates.push_back({row.Entry.Name, row.Entry.PackageFile});
  }
  PrintLine(services, "");
  PrintLine(services, std::to_string(session.SelectedUpdates.size()) + " updates available.");
}

// The updater offered again after this very run replaced it: the published
// program does not carry the catalogue's version, and replacing it once more
// would start the same hand-over for ever.
bool OfferedAgainAfterReplacement(RunServices& services, const CheckSession& session,
                                  const UpdateEntry& entry) {
  if (!session.StartedAfterReplacement) return false;
  PrintLine(services, "Error: The new Updater does not have the version " +
                          VersionText(entry.Version) + " offered on the server.");
  return true;
}

// Records the order of the downloaded packages, the catalogue's, for the apply
// of this run and of a later -onlyapply: a newer package written before an
// older one would lose to it.
void RecordPackageOrder(RunServices& services, const CheckSession& session) {
  std::string order, cause;
  for (const SelectedUpdate& update : session.SelectedUpdates) order += update.PackageFile + "\r\n";
  if (!WriteFileWhole(services.Os.Files, services.UpdateFolder() + kPackageOrderFile, order,
                      &cause))
    services.Log.Write("Cannot record the order of the packages: " + cause);
}

Attempt TryServer(const RunSettings& settings, RunServices& services, CheckSession& session,
                  Mode mode) {
  PrintLine(services, "");
  PrintLine(services, "Connecting to update server... : " + session.Server);

  std::string text;
  if (!FetchUpdateInfo(services, session, &text)) return Attempt::Failed;
  std::string state = ServerState(text);
  if (state != kServerStateOk) {
    PrintLine(services, ServerStateLine(state));
    return Attempt::Failed;
  }

  if (mode == Mode::Full) {
    PrintLine(services, "Downloading server list...");
    if (!FetchServerList(services, session)) return Attempt::Failed;
  }

  PrintLine(services, "Checking for new versions...");
  SignedFileInfo signedCatalogue;
  if (!FetchVersionInfo(services, session, &text, &signedCatalogue)) return Attempt::Failed;
  if (RequiresSignatures(services) && !AcceptCatalogueTime(services, signedCatalogue.Timestamp))
    return Attempt::Failed;
  Catalogue catalogue;
  if (ParseCatalogue(text, &catalogue) == 0) {
    PrintLine(services, "Error: Corrupted version infos on server!");
    return Attempt::Failed;
  }

  bool selfUpdateTried = false;
  for (const UpdateEntry& entry : NewerUpdaterEntries(catalogue, session.Installed.Updater)) {
    if (mode == Mode::CheckOnly) {
      AnnounceNewUpdater(services, session, entry);
      return Attempt::Offered;
    }
    if (OfferedAgainAfterReplacement(services, session, entry)) continue;
    AnnounceNewUpdater(services, session, entry);
    if (!AskYesNo(settings, services, kQuestion)) return Attempt::Declined;
    if (SelfUpdate(settings, services, session, session.Server + entry.PackageFile) ==
        SelfUpdateOutcome::HandedOver)
      return Attempt::HandedOver;
    selfUpdateTried = true;
  }
  if (selfUpdateTried) return Attempt::Failed;

  ShowVersionTable(settings, services, session, catalogue);
  if (mode == Mode::CheckOnly)
    return session.SelectedUpdates.empty() ? Attempt::Completed : Attempt::Offered;
  if (session.SelectedUpdates.empty()) return Attempt::Completed;

  if (!AskYesNo(settings, services, kQuestion)) return Attempt::Declined;
  // A keyed updater checks each package as soon as it has arrived: a bad one
  // goes at once, and nothing more is downloaded from this server.
  PackageArrived checkSignature;
  if (RequiresSignatures(services))
    checkSignature = [&services](const SelectedUpdate& update, const std::string& url,
                                 const std::string& path) {
      return CheckSignedDownload(services, url, path, SignedName(update.PackageFile));
    };
  if (!DownloadUpdates(services.Os, services.Output, services.Limits, services.Route,
                       session.Server, services.UpdateFolder(), session.SelectedUpdates,
                       checkSignature))
    return Attempt::Failed;
  RecordPackageOrder(services, session);
  if (settings.OnlyDownload) return Attempt::Completed;
  const bool applied = ApplyUpdates(services.Packages, services.ProgramFolder);
  if (RequiresSignatures(services)) RemoveSignaturesOfAppliedPackages(services);
  return applied ? Attempt::Completed : Attempt::Failed;
}

void ReportServersExhausted(RunServices& services) {
  PrintLine(services, "");
  PrintLine(services, "Tried all servers of the update server list.");
  PrintLine(services, "Update failed!");
}

}  // namespace

bool AskYesNo(const RunSettings& settings, RunServices& services, std::string_view question) {
  if (settings.AskMode != AskModeSetting::Ask) return true;
  PrintLine(services, question);
  while (true) {
    services.Os.Clock.Sleep(kKeyPollMilliseconds);
    ConsoleKey key = ReadConsoleKey(services);
    // Nobody can answer a closed input; "no" changes nothing.
    if (key.InputClosed) return false;
    if (key.Text == "y" || key.Text == "Y") return true;
    if (key.Text == "n" || key.Text == "N") return false;
  }
}

CheckOutcome RunUpdateCheck(const RunSettings& settings, RunServices& services,
                            CheckSession& session) {
  ChooseFirstServer(session.ServerList, session.Server, session.Choice);
  while (true) {
    switch (TryServer(settings, services, session, Mode::Full)) {
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
    if (!ChooseNextServer(session.ServerList, session.Server, session.Choice)) {
      ReportServersExhausted(services);
      return CheckOutcome::ServersExhausted;
    }
  }
}

int RunCheckOnly(const RunSettings& settings, RunServices& services, CheckSession& session) {
  ChooseFirstServer(session.ServerList, session.Server, session.Choice);
  while (true) {
    switch (TryServer(settings, services, session, Mode::CheckOnly)) {
      case Attempt::Offered:
        return 1;
      case Attempt::Completed:
        return 0;
      case Attempt::Failed:
      case Attempt::Declined:
      case Attempt::HandedOver:
        break;
    }
    if (!ChooseNextServer(session.ServerList, session.Server, session.Choice)) {
      ReportServersExhausted(services);
      return 0;
    }
  }
}

}  // namespace updater
