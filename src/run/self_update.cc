// Self-replacement of the updater.
#include "run/self_update.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "packages/apply_journal.h"
#include "packages/package_reader.h"
#include "protocol/built_in_keys.h"
#include "protocol/package_check.h"
#include "run/console_io.h"
#include "run/process_start.h"
#include "run/signed_files.h"
#include "system/small_files.h"
#include "system/text.h"
#include "system/update_folder.h"
#include "transfer/download_updates.h"
#include "transfer/http_error_text.h"
#include "transfer/http_get.h"

namespace updater {

namespace {

constexpr int kHandOverDelayMilliseconds = 1000;
// The first updater may still be ending when its copy wants to replace it;
// the replacement is retried this long before it gives up.
constexpr int kReplaceRetryMilliseconds = 20000;
constexpr int kReplaceRetryStepMilliseconds = 250;
constexpr int64_t kCompareChunk = 1 << 16;
// The largest updater program whose built-in keys are looked for.
constexpr int64_t kLargestProgram = 256 << 20;

// True when both files can be read and hold the same bytes. A file that
// cannot be read is taken as different, which is all the caller needs.
bool SameContent(FileSystem& files, const std::string& first, const std::string& second) {
  std::unique_ptr<File> a = files.OpenRead(first, false, nullptr);
  std::unique_ptr<File> b = files.OpenRead(second, false, nullptr);
  if (!a || !b) return false;
  const int64_t size = a->Size(nullptr);
  if (size < 0 || b->Size(nullptr) != size) return false;
  std::vector<char> bufferA(kCompareChunk), bufferB(kCompareChunk);
  for (;;) {
    int64_t countA = a->Read(bufferA.data(), kCompareChunk, nullptr);
    int64_t countB = b->Read(bufferB.data(), kCompareChunk, nullptr);
    if (countA < 0 || countA != countB) return false;
    if (countA == 0) return true;
    if (!std::equal(bufferA.begin(), bufferA.begin() + countA, bufferB.begin())) return false;
  }
}

// Removes a folder with everything in it; what cannot be removed stays, and
// the first cause of that goes to `*cause`. False when anything stays.
bool RemoveFolderTree(FileSystem& files, const std::string& folder, std::string* cause) {
  std::vector<FolderEntry> entries;
  bool removed = files.ListFolder(folder, "*", &entries, cause);
  for (const FolderEntry& entry : entries) {
    std::string failure;
    const bool gone = entry.IsFolder ? RemoveFolderTree(files, folder + "\\" + entry.Name, &failure)
                                     : files.Delete(folder + "\\" + entry.Name, &failure);
    if (!gone && removed) *cause = failure;
    removed = removed && gone;
  }
  std::string failure;
  if (!files.RemoveFolder(folder, &failure) && removed) {
    *cause = failure;
    removed = false;
  }
  return removed;
}

// Deletes the file at `path` when it is there; a failure is logged with its
// cause. False when it stays.
bool DeleteLogged(RunServices& services, const std::string& path) {
  std::string cause;
  if (!services.Os.Files.Exists(path) || services.Os.Files.Delete(path, &cause)) return true;
  services.Log.Write("Cannot delete " + path + ": " + cause);
  return false;
}

// The update folder's own name with its separator, as the end of a folder
// path is compared with it: "update\".
std::string UpdateFolderTail() { return LowerCaseText(InUpdateFolder("")); }

bool RunsFromUpdateFolder(const std::string& folder) {
  const std::string name = UpdateFolderTail();
  if (folder.size() <= name.size()) return false;
  std::string tail = LowerCaseText(folder.substr(folder.size() - name.size()));
  if (tail.back() == '/') tail.back() = '\\';
  return tail == name;
}

std::string JoinedKeyLines(const RunServices& services) {
  std::string joined;
  for (const std::string& line : services.PublicKeyLines)
    joined += (joined.empty() ? "" : ", ") + line;
  return joined;
}

}  // namespace

bool CarriesRunningKeys(FileSystem& files, const std::string& path,
                        const std::vector<MinisignPublicKey>& runningKeys, std::string* reason) {
  std::string bytes, cause;
  switch (ReadSmallFile(files, path, kLargestProgram, &bytes, &cause)) {
    case SmallFileRead::Done:
      break;
    case SmallFileRead::TooLarge:
      *reason = "it is larger than " + std::to_string(kLargestProgram) + " bytes";
      return false;
    case SmallFileRead::Missing:
    case SmallFileRead::Failed:
      *reason = "it cannot be read: " + cause;
      return false;
  }
  BuiltInKeys keys;
  if (!BuiltInKeysOf(bytes, &keys, reason)) return false;
  if (CarriesAnyKeyOf(keys.Keys, runningKeys)) return true;
  *reason = keys.Keys.empty() ? "it carries no key"
                              : "it carries " + std::to_string(keys.Keys.size()) +
                                    " other key(s), the first " + keys.Lines.front();
  return false;
}

SelfUpdateOutcome SelfUpdate(const RunSettings& settings, RunServices& services,
                             const CheckSession& session, const std::string& url,
                             const PackageFacts& facts) {
  const std::string package = services.UpdateFolder() + kUpdaterPackageFile;
  const std::string copy = services.UpdateFolder() + kUpdaterCopyFile;
  PrintLine(services, "");
  PrintLine(services, "Downloading Updater...");
  HTTPGetRequest request;
  request.TakeRoute(services.Route);
  PreparePackageRequest(request, url, package, services.Limits, services.Output,
                        facts.Size.value_or(0));
  HTTPGetResult result = HTTPGetFromWeb(services.Os, request, services.Output);
  services.Output.ProgressDone();
  if (result != HTTPGetResult::Ok) {
    ReportHTTPGetFailure(services.Output, result, request);
    return SelfUpdateOutcome::DownloadFailed;
  }
  std::string mismatch;
  if (!PackageMatchesFacts(services.Os.Files, package, facts, &mismatch)) {
    DeleteLogged(services, package);
    services.Output.Failure("Error: Download aborted.", "Refused the updater package: " + mismatch);
    return SelfUpdateOutcome::DownloadFailed;
  }
  if (RequiresSignatures(services) && !CheckSignedDownload(services, url, package, SignedName(url)))
    return SelfUpdateOutcome::DownloadFailed;

  PrintLine(services, "Decompressing Updater...");
  if (!OpenPackage(services.Packages, package)) {
    PrintLine(services, "Error: Failed to read update file!");
    return SelfUpdateOutcome::StartFailed;
  }
  bool extracted = ExtractEntry(services.Packages, "Updater.exe", copy);
  // Closed on failure too: the package's rows must not reach a later apply.
  ClosePackages(services.Packages);
  if (!extracted) return SelfUpdateOutcome::StartFailed;
  // The package has served; one that stays is logged, and the next download
  // into the update folder clears it.
  DeleteLogged(services, package);
  DeleteLogged(services, package + kSignatureSuffix);
  // A copy that cannot be made executable cannot be started: that is the
  // start's failure, with this cause.
  std::string cause;
  if (!services.Os.Files.MakeExecutable(copy, &cause)) {
    services.Log.Write("Cannot make " + copy + " executable: " + cause);
    services.Output.Failure("Error: Failed to run new Updater.", cause);
    return SelfUpdateOutcome::StartFailed;
  }

  if (!services.Keys.empty()) {
    std::string reason;
    if (!CarriesRunningKeys(services.Os.Files, copy, services.Keys, &reason)) {
      DeleteLogged(services, copy);
      services.Output.Failure(kRefusedUpdaterLine, "The new updater " + url +
                                                       " carries none of the keys " +
                                                       JoinedKeyLines(services) + ": " + reason);
      return SelfUpdateOutcome::Refused;
    }
  }

  PrintLine(services, "Running new Updater...");
  if (LaunchProgram(services.Os.Processes, copy,
                    BuildRelaunchOptions(settings, session.Server, true), services.ProgramFolder,
                    &cause))
    return SelfUpdateOutcome::HandedOver;
  services.Output.Failure("Error: Failed to run new Updater.", cause);
  return SelfUpdateOutcome::StartFailed;
}

bool ClearHandOverLeftovers(RunServices& services) {
  FileSystem& files = services.Os.Files;
  const std::string copy = services.UpdateFolder() + kUpdaterCopyFile;
  // A replacement cut short leaves its staged program beside Updater.exe, and
  // an unpacking cut short its partial copy beside Updater.tmp.
  const std::string staged = services.ProgramFolder + kStagedUpdaterFile;
  if (files.Exists(staged) && DeleteLogged(services, staged))
    services.Log.Write("Removed an unfinished replacement: " + staged);
  RemoveStagedCopies(files, services.UpdateFolder());

  // Only the run that the replacement step just started follows a
  // replacement: it finds the step's mark, consumed here so that no later
  // run sees it (a mark that cannot be removed arms nothing).
  const std::string mark = services.UpdateFolder() + kReplacedMarkFile;
  const bool marked = files.Exists(mark) && DeleteLogged(services, mark);
  if (!files.Exists(copy)) return false;
  // And only when the copy is this very program; a copy whose removal failed
  // once, even one with this program's content, says nothing about this run.
  const bool followsReplacement = marked && !files.IsFolder(copy) &&
                                  SameContent(files, copy, services.ProgramFolder + "Updater.exe");
  // The copy that started this run may still be ending.
  services.Os.Clock.Sleep(kHandOverDelayMilliseconds);
  // A failure leaves it for the next run.
  std::string cause;
  if (files.IsFolder(copy) ? !RemoveFolderTree(files, copy, &cause) : !files.Delete(copy, &cause))
    services.Log.Write("Cannot delete " + copy + ": " + cause);
  return followsReplacement;
}

RunEnd ReplaceUpdater(const RunSettings& settings, RunServices& services) {
  services.Os.Clock.Sleep(kHandOverDelayMilliseconds);
  // This copy runs from Update\; anywhere else there is nothing it may replace.
  if (!RunsFromUpdateFolder(services.ProgramFolder))
    return RunEnd::Fatal("Error: Updater.tmp is not in the Update folder.");
  services.ProgramFolder.resize(services.ProgramFolder.size() - UpdateFolderTail().size());
  // The updater that started this copy may still hold the lock while it ends.
  if (!StartRun(services)) return RunEnd::Fatal(kAnotherUpdaterLine);
  // As every run does first: an unfinished package apply is completed or
  // undone before the program folder is touched.
  // The outcome is in the log; a journal that stays is the next apply's to
  // report, and Updater.exe is no file a package transaction holds.
  static_cast<void>(
      RecoverUnfinishedApply(services.Os.Files, services.Output, services.ProgramFolder));

  const std::string updater = services.ProgramFolder + "Updater.exe";
  const std::string staged = services.ProgramFolder + kStagedUpdaterFile;
  // The new program is copied beside the old one first and then moved over
  // it in one step, so the folder never lacks an Updater.exe.
  std::string cause;
  if (!services.Os.Files.Copy(services.UpdateFolder() + kUpdaterCopyFile, staged, &cause)) {
    services.Log.Write("Cannot copy Updater.tmp: " + cause);
    return RunEnd::Fatal("Error: Failed to copy Updater.tmp.");
  }
  // A new Updater.exe that cannot be started would leave the installation
  // without a working updater: the old one stays instead.
  if (!services.Os.Files.MakeExecutable(staged, &cause)) {
    services.Log.Write("Cannot make Updater.new executable: " + cause);
    DeleteLogged(services, staged);
    return RunEnd::Fatal("Error: Failed to copy Updater.tmp.");
  }
  // On the disk, with its name, before it takes Updater.exe's place: after a
  // power loss the folder must hold a whole program, old or new.
  if (!services.Os.Files.SyncFiles({staged}, &cause)) {
    services.Log.Write("Cannot write Updater.new to the disk: " + cause);
    DeleteLogged(services, staged);
    return RunEnd::Fatal("Error: Failed to copy Updater.tmp.");
  }
  bool replaced = services.Os.Files.Replace(staged, updater, &cause);
  for (int waited = 0; !replaced && waited < kReplaceRetryMilliseconds;
       waited += kReplaceRetryStepMilliseconds) {
    services.Os.Clock.Sleep(kReplaceRetryStepMilliseconds);
    replaced = services.Os.Files.Replace(staged, updater, &cause);
  }
  if (!replaced) {
    services.Log.Write("Cannot replace Updater.exe: " + cause);
    DeleteLogged(services, staged);
    return RunEnd::Fatal("Error: Failed to delete Updater.exe.");
  }

  // The mark tells the started updater that it is the program just put in
  // place; without it the guard against a hand-over loop stays unarmed.
  if (!WriteFileWhole(services.Os.Files, services.UpdateFolder() + kReplacedMarkFile, "", &cause))
    services.Log.Write("Cannot mark the replacement: " + cause);
  if (!LaunchProgram(services.Os.Processes, updater,
                     BuildRelaunchOptions(settings, settings.Server, false), services.ProgramFolder,
                     &cause)) {
    services.Log.Write("Cannot start Updater.exe: " + cause);
    return RunEnd::Fatal("Error: Failed to run Updater.exe.");
  }
  return RunEnd::Exit();
}

}  // namespace updater
