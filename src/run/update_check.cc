// The update check across servers.
#include "run/update_check.h"

#include <algorithm>
#include <string>
#include <vector>

#include "packages/apply_updates.h"
#include "protocol/catalogue.h"
#include "protocol/package_check.h"
#include "protocol/rollout.h"
#include "protocol/server_files.h"
#include "protocol/server_list.h"
#include "protocol/update_path.h"
#include "protocol/update_selection.h"
#include "protocol/version_text.h"
#include "run/console_io.h"
#include "run/self_update.h"
#include "run/server_requests.h"
#include "run/signed_files.h"
#include "system/small_files.h"
#include "system/text.h"
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

// The packages of the path's steps as selected updates, in their order.
std::vector<SelectedUpdate> SelectedOf(const std::vector<UpdateStep>& steps) {
  std::vector<SelectedUpdate> selected;
  for (const UpdateStep& step : steps)
    for (const UpdateEntry& entry : step)
      selected.push_back({entry.Name, entry.PackageFile, entry.Facts.Size.value_or(0)});
  return selected;
}

// The installation's rollout number: the one kept in the update folder, or
// a new one, kept there for the runs to come. Without an update folder it is
// drawn for this run only, since the updater never creates the folder.
uint64_t RolloutNumber(RunServices& services, CheckSession& session) {
  if (session.RolloutNumber) return *session.RolloutNumber;
  const std::string path = services.UpdateFolder() + kRolloutNumberFile;
  uint64_t number = 0;
  std::string text, cause;
  const SmallFileRead read = ReadSmallFile(services.Os.Files, path, 64, &text, &cause);
  if (read != SmallFileRead::Done || !ReadRolloutNumber(text, &number)) {
    if (read == SmallFileRead::Failed || read == SmallFileRead::TooLarge)
      services.Log.Write("Cannot read the rollout number, drawing a new one: " + cause);
    number = DrawRolloutNumber();
    if (services.Os.Files.IsFolder(services.UpdateFolder()) &&
        !WriteFileWhole(services.Os.Files, path, RolloutNumberText(number) + "\r\n", &cause))
      services.Log.Write("Cannot keep the rollout number: " + cause);
  }
  session.RolloutNumber = number;
  return number;
}

// Chooses the packages that bring the main program to the newest version
// (ChooseUpdatePath) and shows the table: a row per main-program line as
// always when the catalogue has no deltas, and a row per chosen line when it
// has, since its other lines are not for this installation.
void ShowVersionTable(const RunSettings& settings, RunServices& services, CheckSession& session,
                      const Catalogue& catalogue) {
  const UpdatePath path = ChooseUpdatePath(catalogue, session.Installed.Main, settings.Force);
  session.Steps = path.Steps;
  session.SelectedUpdates = SelectedOf(session.Steps);
  PrintLine(services, "");
  PrintLine(services, "Old Version | New Version | Name");
  PrintLine(services, "");
  std::vector<UpdateEntry> rows;
  if (path.ByFacts) {
    for (const UpdateStep& step : session.Steps) rows.insert(rows.end(), step.begin(), step.end());
  } else {
    for (const VersionTableRow& row :
         VersionTable(catalogue, session.Installed.Main, settings.Force))
      rows.push_back(row.Entry);
  }
  for (const UpdateEntry& entry : rows)
    PrintLine(services, VersionText(session.Installed.Main) + kColumnGap +
                            VersionText(entry.Version) + kColumnGap + entry.Name);
  PrintLine(services, "");
  PrintLine(services, std::to_string(session.SelectedUpdates.size()) + " updates available.");
  if (path.NoPath)
    services.Log.Write("No chain of the catalogue's packages leads from version " +
                       VersionText(session.Installed.Main) + " to its newest version");
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

// Records the steps of the downloaded packages, each one transaction, for the
// apply of this run and of a later -onlyapply: a newer package written
// before an older one would lose to it, and a release split in several
// packages must not apply in part. False, after the error line, when the
// order cannot be written: the packages are then not applied in this attempt.
bool RecordPackageOrder(RunServices& services, const std::vector<UpdateStep>& steps) {
  PackageGroups groups;
  for (const UpdateStep& step : steps) {
    std::vector<std::string>& group = groups.emplace_back();
    for (const UpdateEntry& entry : step) group.push_back(entry.PackageFile);
  }
  std::string cause;
  if (WriteFileWhole(services.Os.Files, services.UpdateFolder() + kPackageOrderFile,
                     EncodePackageOrder(groups), &cause))
    return true;
  services.Log.Write("Cannot record the order of the packages: " + cause);
  PrintLine(services, "Error: Failed to write file to disk!");
  return false;
}

// Deletes a package (or its signature) that is not to be applied, when it is
// there; a failure is logged with its cause. One that stays is not in the
// recorded order, and the next download into the update folder clears it.
void DeleteUnused(RunServices& services, const std::string& path) {
  std::string cause;
  if (services.Os.Files.Exists(path) && !services.Os.Files.Delete(path, &cause))
    services.Log.Write("Cannot delete " + path + ": " + cause);
}

// The catalogue line of a package the session selected.
const UpdateEntry* SelectedEntry(const CheckSession& session, const std::string& packageFile) {
  for (const UpdateStep& step : session.Steps)
    for (const UpdateEntry& entry : step)
      if (entry.PackageFile == packageFile) return &entry;
  return nullptr;
}

// The hook that checks each package as soon as it has arrived: against its
// line's size and digest, and, in a keyed updater, its signature. A package
// that fails goes at once, unopened, and nothing more is downloaded from this
// server.
PackageArrived ArrivalCheck(RunServices& services, const CheckSession& session) {
  return [&services, &session](const SelectedUpdate& update, const std::string& url,
                               const std::string& path) {
    const UpdateEntry* entry = SelectedEntry(session, update.PackageFile);
    std::string cause;
    if (entry && !PackageMatchesFacts(services.Os.Files, path, entry->Facts, &cause)) {
      DeleteUnused(services, path);
      services.Output.Failure("Error: Download aborted.",
                              "Refused the package " + update.PackageFile + ": " + cause);
      return false;
    }
    return !RequiresSignatures(services) ||
           CheckSignedDownload(services, url, path, SignedName(update.PackageFile));
  };
}

// The step whose packages are `packages` (in their order, letter case
// ignored, as the apply names them), or Steps.size().
size_t StepOf(const CheckSession& session, const std::vector<std::string>& packages) {
  for (size_t k = 0; k < session.Steps.size(); ++k) {
    const UpdateStep& step = session.Steps[k];
    bool same = step.size() == packages.size();
    for (size_t i = 0; same && i < step.size(); ++i)
      same = LowerCaseText(step[i].PackageFile) == LowerCaseText(packages[i]);
    if (same) return k;
  }
  return session.Steps.size();
}

// Applies the downloaded packages. A delta step that cannot apply (a patch
// made from another file than the installed one, a package that cannot be
// read or decoded) leaves the installation as it was; its packages are
// dropped and the full packages of its version are fetched from the same
// server and applied in its place, before the steps after it. Each step
// falls back once. True when the apply walked every package.
bool ApplyWithFallBack(RunServices& services, CheckSession& session, const Catalogue& catalogue) {
  ApplyResult result;
  bool applied = ApplyUpdates(services.Packages, services.ProgramFolder, &result);
  std::vector<bool> fellBack(session.Steps.size(), false);
  for (;;) {
    const size_t k =
        std::min(StepOf(session, result.ReferenceMismatch), StepOf(session, result.NotApplied));
    if (k >= session.Steps.size() || fellBack[k] || !session.Steps[k].front().Facts.From)
      return applied;
    const UpdateStep delta = session.Steps[k];
    const int64_t version = delta.front().Version;
    UpdateStep full = FullPackages(catalogue, version);
    if (full.empty()) {
      services.Log.Write("The delta package " + delta.front().PackageFile +
                         " cannot apply, and the catalogue has no full package of version " +
                         VersionText(version));
      return applied;
    }
    services.Log.Write("The delta package " + delta.front().PackageFile +
                       " cannot apply; falling back to the full package " +
                       full.front().PackageFile + " of version " + VersionText(version));
    for (const UpdateEntry& entry : delta) {
      const std::string package = services.UpdateFolder() + entry.PackageFile;
      DeleteUnused(services, package);
      DeleteUnused(services, package + kSignatureSuffix);
    }
    fellBack[k] = true;
    session.Steps[k] = full;
    if (!DownloadPackages(services.Os, services.Output, services.Limits, services.Route,
                          session.Server, services.UpdateFolder(), SelectedOf({full}),
                          ArrivalCheck(services, session)))
      return false;
    if (!RecordPackageOrder(
            services, std::vector<UpdateStep>(session.Steps.begin() + k, session.Steps.end())))
      return false;
    applied = ApplyUpdates(services.Packages, services.ProgramFolder, &result);
  }
}

// Records that the attempt with the session's server failed at `stage`, for
// the run's outcome when every server fails.
Attempt FailedAt(CheckSession& session, CheckFailure stage) {
  session.FurthestFailure = std::max(session.FurthestFailure, stage);
  return Attempt::Failed;
}

Attempt TryServer(const RunSettings& settings, RunServices& services, CheckSession& session,
                  Mode mode) {
  PrintLine(services, "");
  PrintLine(services, "Connecting to update server... : " + session.Server);

  std::string text;
  if (!FetchUpdateInfo(services, session, &text)) return FailedAt(session, CheckFailure::Server);
  std::string state = ServerState(text);
  if (state != kServerStateOk) {
    PrintLine(services, ServerStateLine(state));
    return FailedAt(session, CheckFailure::Server);
  }

  if (mode == Mode::Full) {
    PrintLine(services, "Downloading server list...");
    if (!FetchServerList(services, session)) return FailedAt(session, CheckFailure::Server);
  }

  PrintLine(services, "Checking for new versions...");
  SignedFileInfo signedCatalogue;
  if (!FetchVersionInfo(services, session, &text, &signedCatalogue) ||
      (RequiresSignatures(services) && !AcceptCatalogueTime(services, signedCatalogue.Timestamp)))
    return FailedAt(session, CheckFailure::Server);
  Catalogue catalogue;
  if (ParseCatalogue(text, &catalogue) == 0) {
    PrintLine(services, "Error: Corrupted version infos on server!");
    return FailedAt(session, CheckFailure::Server);
  }
  // From here on the check sees only the lines offered to this installation
  // now; -force takes a staged line without waiting for its share.
  catalogue = OfferedEntries(catalogue, RolloutNumber(services, session),
                             services.Os.Clock.UnixMilliseconds() / 1000, settings.Force);

  CheckFailure selfUpdateFailure = CheckFailure::None;
  for (const UpdateEntry& entry : NewerUpdaterEntries(catalogue, session.Installed.Updater)) {
    if (mode == Mode::CheckOnly) {
      AnnounceNewUpdater(services, session, entry);
      return Attempt::Offered;
    }
    if (OfferedAgainAfterReplacement(services, session, entry)) continue;
    AnnounceNewUpdater(services, session, entry);
    if (!AskYesNo(settings, services, kQuestion)) return Attempt::Declined;
    const SelfUpdateOutcome outcome =
        SelfUpdate(settings, services, session, session.Server + entry.PackageFile, entry.Facts);
    if (outcome == SelfUpdateOutcome::HandedOver) return Attempt::HandedOver;
    // A refused updater is kept from this installation: the run goes on as
    // if it had not been offered.
    if (outcome == SelfUpdateOutcome::DownloadFailed) selfUpdateFailure = CheckFailure::Download;
    if (outcome == SelfUpdateOutcome::StartFailed) selfUpdateFailure = CheckFailure::Apply;
  }
  if (selfUpdateFailure != CheckFailure::None) return FailedAt(session, selfUpdateFailure);

  ShowVersionTable(settings, services, session, catalogue);
  if (mode == Mode::CheckOnly)
    return session.SelectedUpdates.empty() ? Attempt::Completed : Attempt::Offered;
  if (session.SelectedUpdates.empty()) return Attempt::Completed;

  if (!AskYesNo(settings, services, kQuestion)) return Attempt::Declined;
  if (!DownloadUpdates(services.Os, services.Output, services.Limits, services.Route,
                       session.Server, services.UpdateFolder(), session.SelectedUpdates,
                       ArrivalCheck(services, session)))
    return FailedAt(session, CheckFailure::Download);
  // The packages are not in place to apply until their order is recorded.
  if (!RecordPackageOrder(services, session.Steps))
    return FailedAt(session, CheckFailure::Download);
  if (settings.OnlyDownload) return Attempt::Completed;
  const bool applied = ApplyWithFallBack(services, session, catalogue);
  if (RequiresSignatures(services)) RemoveSignaturesOfAppliedPackages(services);
  return applied ? Attempt::Completed : FailedAt(session, CheckFailure::Apply);
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

CheckOutcome RunCheckOnly(const RunSettings& settings, RunServices& services,
                          CheckSession& session) {
  ChooseFirstServer(session.ServerList, session.Server, session.Choice);
  while (true) {
    switch (TryServer(settings, services, session, Mode::CheckOnly)) {
      case Attempt::Offered:
        return CheckOutcome::Offered;
      case Attempt::Completed:
        return CheckOutcome::Completed;
      case Attempt::Failed:
      case Attempt::Declined:
      case Attempt::HandedOver:
        break;
    }
    if (!ChooseNextServer(session.ServerList, session.Server, session.Choice)) {
      ReportServersExhausted(services);
      return CheckOutcome::ServersExhausted;
    }
  }
}

}  // namespace updater
