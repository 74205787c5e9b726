// Starting a run and starting other programs.
#include "run/process_start.h"

#include <vector>

#include "protocol/server_files.h"
#include "protocol/version_text.h"
#include "run/installed_versions.h"
#include "system/update_folder.h"
#include "transfer/url_split.h"

namespace updater {

namespace {

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

void RemoveUnfinished(RunServices& services, const std::string& path) {
  std::string cause;
  if (services.Os.Files.Delete(path, &cause))
    services.Log.Write("Removed an unfinished write: " + path);
  else
    services.Log.Write("Cannot remove an unfinished write: " + path + ": " + cause);
}

}  // namespace

std::string GetProgramFolder(Processes& processes) {
  // (The Windows backend reads the path into 1024 UTF-16 units, as the
  // module path always was; a longer one arrives cut.)
  std::string path = TrimSpaces(processes.ExecutablePath());
  size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

bool LaunchProgram(Processes& processes, const std::string& file, const std::string& parameters,
                   const std::string& workingFolder, std::string* cause) {
  std::string commandLine = !file.empty() && file[0] == '"' ? file : '"' + file + '"';
  if (!parameters.empty()) commandLine += ' ' + parameters;
  return processes.Start(commandLine, file, parameters, workingFolder, cause);
}

void StartLog(RunServices& services) {
  services.Log.Open(services.UpdateFolder());
  const std::string executable = services.Os.Processes.ExecutablePath();
  int64_t version =
      services.Os.Versions.Load() ? GetInstalledVersion(services.Os.Versions, executable) : 0;
  services.Log.Write("Updater " + VersionText(version) +
                     " started: " + MaskURLPassword(services.Os.Processes.CommandLine()));
}

bool StartRun(RunServices& services) {
  FileSystem& files = services.Os.Files;
  std::string lockFailure;
  if (files.IsFolder(services.UpdateFolder())) {
    const std::string path = services.UpdateFolder() + kLockFileName;
    std::string cause;
    LockOutcome outcome = files.TryLock(path, &services.FolderLock, &cause);
    for (int waited = 0; outcome == LockOutcome::HeldByAnother && waited < kLockWaitMilliseconds;
         waited += kLockPollMilliseconds) {
      services.Os.Clock.Sleep(kLockPollMilliseconds);
      outcome = files.TryLock(path, &services.FolderLock, &cause);
    }
    if (outcome == LockOutcome::HeldByAnother) return false;
    if (outcome == LockOutcome::Failed) lockFailure = cause;
  }
  StartLog(services);
  if (!lockFailure.empty())
    services.Log.Write("Cannot lock the update folder; going on without the lock: " + lockFailure);
  return true;
}

void RemoveUnfinishedWrites(RunServices& services) {
  FileSystem& files = services.Os.Files;
  const std::string folder = services.UpdateFolder();
  for (const char* suffix : {kPartSuffix, kOldPartSuffix}) {
    std::vector<FolderEntry> entries;
    std::string cause;
    if (!files.ListFolder(folder, std::string("*") + suffix, &entries, &cause)) {
      // Without an update folder there is nothing to remove, and no log.
      services.Log.Write("Cannot list the update folder: " + cause);
      break;
    }
    for (const FolderEntry& entry : entries)
      if (!entry.IsFolder) RemoveUnfinished(services, folder + entry.Name);
  }
  const std::string list = PartPath(services.ProgramFolder + std::string(kServerListFile));
  if (files.Exists(list) && !files.IsFolder(list)) RemoveUnfinished(services, list);
}

}  // namespace updater
