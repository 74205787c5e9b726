// Applying downloaded update packages.
#include "packages/apply_updates.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "packages/apply_journal.h"
#include "packages/entry_names.h"
#include "packages/package_reader.h"
#include "system/small_files.h"
#include "system/text.h"
#include "system/update_folder.h"

namespace updater {

namespace {

constexpr std::string_view kWriteFailed = "Error: Failed to write file to disk!";
// The order of a run's downloads: a line per package, a few thousand of them.
constexpr int64_t kMaxPackageOrderSize = 64 << 10;

// The folders of a relative folder part, top down, each ending with "\":
// "Data\Maps\" gives "Data\" and "Data\Maps\". Only "\" separates folders.
std::vector<std::string> FolderChain(const std::string& folderPart) {
  std::string path = folderPart;
  if (path.empty() || path.back() != '\\') path += '\\';
  std::vector<std::string> chain;
  if (path == "\\") return chain;
  for (size_t end = path.find('\\'); end != std::string::npos; end = path.find('\\', end + 1))
    chain.push_back(path.substr(0, end + 1));
  return chain;
}

// Letter case ignored, as Windows file names compare.
std::string FoldedName(std::string name) {
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return name;
}

// Tells whether entries stay in the program folder: their names are safe
// names below it, and their paths do not leave it through a link. Each
// folder is looked at once.
class FolderConfinement {
 public:
  FolderConfinement(FileSystem& files, const std::string& programFolder)
      : files_(files), programFolder_(programFolder) {}

  // True when the entry `name` stays; otherwise `*why` says why.
  bool Stays(const std::string& name, std::string* why) {
    if (!IsSafeEntryName(name)) {
      *why = "the entry name leaves the program folder: " + name;
      return false;
    }
    const std::string folder = programFolder_ + FolderPart(name);
    auto known = folders_.find(folder);
    if (known == folders_.end())
      known = folders_.emplace(folder, files_.StaysInside(programFolder_, folder)).first;
    // The entry itself may be a link: within its folder, or else within the
    // program folder.
    if (known->second && (files_.StaysInside(folder, programFolder_ + name) ||
                          files_.StaysInside(programFolder_, programFolder_ + name)))
      return true;
    *why = "the entry leaves the program folder through a link: " + files_.LastError();
    return false;
  }

 private:
  FileSystem& files_;
  const std::string& programFolder_;
  std::map<std::string, bool> folders_;
};

// Chooses the staged and aside names of every entry up to the first one
// that would leave the program folder (staging stops there; `*refusal` says
// why), records whether its target exists and its new size, and the folders
// the apply will create. Names are short ("~mx" and a number) so that they
// fit wherever the entry's own name fits, and taken by neither a file on
// disk nor another entry.
ApplyJournal PlanPackage(FileSystem& files, const std::string& programFolder,
                         const std::string& package, const std::vector<EntryRecord>& rows,
                         std::string* refusal) {
  ApplyJournal journal;
  journal.Package = package;
  std::set<std::string> taken;
  for (const EntryRecord& row : rows) taken.insert(FoldedName(row.Name));
  std::set<std::string> seenFolders, newFolders, listedFolders;
  FolderConfinement confinement(files, programFolder);
  int counter = 0;
  // Staging names already on disk, found with one listing per folder.
  auto takeExisting = [&](const std::string& folder) {
    if (!listedFolders.insert(folder).second) return;
    std::vector<FolderEntry> existing;
    files.ListFolder(programFolder + folder, std::string(kStagingPrefix) + "*", &existing);
    for (const FolderEntry& entry : existing) taken.insert(FoldedName(folder + entry.Name));
  };
  auto freeName = [&](const std::string& folder, bool folderIsNew) {
    if (!folderIsNew) takeExisting(folder);
    std::string candidate;
    do {
      candidate = folder + kStagingPrefix + std::to_string(++counter);
    } while (!taken.insert(FoldedName(candidate)).second);
    return candidate;
  };
  for (const EntryRecord& row : rows) {
    const std::string& name = row.Name;
    if (!confinement.Stays(name, refusal)) break;
    const std::vector<std::string> chain = FolderChain(FolderPart(name));
    for (const std::string& folder : chain) {
      if (!seenFolders.insert(folder).second) continue;
      if (files.IsFolder(programFolder + folder)) continue;
      newFolders.insert(folder);
      journal.Folders.push_back(folder);
    }
    const std::string folder = FolderPart(name);
    const bool folderIsNew = !chain.empty() && newFolders.count(chain.back()) != 0;
    JournalFile file;
    file.Target = name;
    file.Staged = freeName(folder, folderIsNew);
    file.Aside = freeName(folder, folderIsNew);
    file.Existed = !folderIsNew && files.Exists(programFolder + name);
    file.Size = std::max<int64_t>(row.Size, 0);  // a negative size fails to stage
    journal.Files.push_back(std::move(file));
  }
  return journal;
}

enum class PackageResult {
  Committed,  // every entry is in place; the asides and the journal remain
  Damaged,    // refused before anything was written
  Failed,     // reported; the installation is as it was, or as the journal
              // that stays says, for the next run to end
};

// Stages every entry of the open package beside its target, makes the staged
// files durable, and commits them, every step recorded in the journal
// first. A failure before the commit removes what was staged and the
// folders created; a failure during the commit rolls back. With Committed,
// every target has its new content and the journal stays open in
// `journalFiles` for FinishCommit.
PackageResult ApplyPackage(PackageReader& reader, const std::string& programFolder,
                           const std::string& package, JournalFiles& journalFiles,
                           ApplyJournal* journal) {
  Report& report = reader.Report;
  FileSystem& files = reader.Files;
  int64_t contentSize = 0;
  for (const EntryRecord& row : reader.EntryTable) {
    // An empty name cannot be written anywhere; the directory is damaged.
    if (row.Name.empty()) {
      report.Log("The package " + package + " has an entry without a name");
      return PackageResult::Damaged;
    }
    contentSize += std::max<int64_t>(row.Size, 0);
  }
  std::string refusal, cause;
  *journal = PlanPackage(files, programFolder, package, reader.EntryTable, &refusal);
  const std::string packagePath = UpdateFolderPath(programFolder) + package;
  if (!files.StaysInside(programFolder, packagePath)) {
    report.Failure(kWriteFailed,
                   packagePath + " leads out of the program folder: " + files.LastError());
    return PackageResult::Failed;
  }
  if (!journalFiles.Create(files, programFolder, *journal, &cause)) {
    report.Failure(kWriteFailed, "cannot write the apply journal: " + cause);
    return PackageResult::Failed;
  }
  auto undo = [&](std::string_view line, const std::string& failure) {
    if (!line.empty()) report.Failure(line, failure);
    std::string undoCause;
    if (ContinueApply(files, journalFiles, programFolder, *journal, true, &undoCause) !=
        ApplyEnd::RolledBack)
      report.Log("Cannot undo the package " + package + "; the next run does: " + undoCause);
    return PackageResult::Failed;
  };

  // Decoding is the long part of applying: its bytes are the progress.
  reader.Progress = {0, contentSize};
  struct ProgressEnd {
    PackageReader& Reader;
    ~ProgressEnd() {
      Reader.Progress = {};
      Reader.Report.ProgressDone();
    }
  } progressEnd{reader};
  std::vector<std::string> staged;
  for (size_t i = 0; i < reader.EntryTable.size(); ++i) {
    const std::string name = reader.EntryTable[i].Name;
    if (i >= journal->Files.size()) {
      // Nothing outside the program folder is touched, not even a folder.
      report.Line("Decompressing... : " + name);
      return undo(kWriteFailed, refusal);
    }
    if (!CreateFolders(files, report, programFolder, FolderPart(name))) return undo("", "");
    report.Line("Decompressing... : " + name);
    staged.push_back(programFolder + journal->Files[i].Staged);
    if (!StageEntry(reader, name, programFolder + name, staged.back())) return undo("", "");
  }
  // The new content must be on the disk before any target is touched: after
  // a power loss the next run moves these files into place.
  if (!files.SyncFiles(staged)) return undo(kWriteFailed, files.LastError());
  if (!journalFiles.Mark(ApplyStage::Committed, &cause)) {
    // One copy may hold the mark: the next run completes or undoes the
    // apply from what the copies say. Nothing has moved yet.
    report.Failure(kWriteFailed, cause);
    report.Log("Cannot record the commit of the package " + package + "; the next run ends it");
    return PackageResult::Failed;
  }
  journal->Stage = ApplyStage::Committed;
  switch (ContinueApply(files, journalFiles, programFolder, *journal, false, &cause)) {
    case ApplyEnd::Placed:
      return PackageResult::Committed;
    case ApplyEnd::RolledBack:
      report.Failure(kWriteFailed, cause);
      return PackageResult::Failed;
    case ApplyEnd::Stopped:
      // Left where the journal says: the next run finishes or undoes it.
      report.Failure(kWriteFailed, cause);
      report.Log("Cannot end the apply of the package " + package + "; the next run does");
      return PackageResult::Failed;
  }
  return PackageResult::Failed;
}

// The order file's names that are package file names; none when there is no
// order file or it cannot be read. Other lines are passed over and logged.
std::vector<std::string> ReadPackageOrder(FileSystem& files, Report& report,
                                          const std::string& updateFolder) {
  std::vector<std::string> names;
  const std::string path = updateFolder + kPackageOrderFile;
  std::string text;
  switch (ReadSmallFile(files, path, kMaxPackageOrderSize, &text)) {
    case SmallFileRead::Done:
      break;
    case SmallFileRead::Missing:
      return names;
    case SmallFileRead::TooLarge:
      report.Log("Passed over the package order " + path + ": larger than " +
                 std::to_string(kMaxPackageOrderSize) + " bytes");
      return names;
    case SmallFileRead::Failed:
      report.Log("Cannot read the package order " + path + ": " + files.LastError());
      return names;
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string name = text.substr(start, end - start);
    if (!name.empty() && name.back() == '\r') name.pop_back();
    if (IsPackageFileName(name))
      names.push_back(name);
    else if (!name.empty())
      report.Log("Passed over a line of the package order that is not a package file name: " +
                 name);
    start = end + 1;
  }
  return names;
}

// Leaves in the order file only the recorded packages that still wait, and
// removes it when none does (also one that could not be read).
void KeepPackageOrder(FileSystem& files, Report& report, const std::string& updateFolder,
                      const std::vector<std::string>& recorded) {
  std::string waiting;
  for (const std::string& name : recorded)
    if (files.Exists(updateFolder + name)) waiting += name + "\r\n";
  const std::string path = updateFolder + kPackageOrderFile;
  if (waiting.empty() && !files.Exists(path)) return;
  std::string cause;
  if (waiting.empty()) {
    if (files.Delete(path)) return;
    cause = files.LastError();
  } else if (WriteFileWhole(files, path, waiting, &cause)) {
    return;
  }
  report.Log("Cannot update the package order " + path + ": " + cause);
}

bool ApplyInOrder(PackageReader& reader, const std::string& programFolder,
                  const std::vector<std::string>& packages) {
  Report& report = reader.Report;
  FileSystem& files = reader.Files;
  const std::string updateFolder = UpdateFolderPath(programFolder);
  for (const std::string& package : packages) {
    // One journal at a time: one that an earlier package of this call could
    // not finish is finished first.
    std::string refusal;
    switch (RecoverUnfinishedApply(files, report, programFolder, &refusal)) {
      case RecoveryOutcome::Failed:
        return false;
      case RecoveryOutcome::Refused:
        report.Failure("Error: Refused " + InUpdateFolder(kApplyJournalName) + ": " + refusal, "");
        return false;
      default:
        break;
    }
    if (!OpenPackage(reader, updateFolder + package)) {
      report.Line("Error: Failed to read update file: " + package);
      continue;
    }
    JournalFiles journalFiles;
    ApplyJournal journal;
    PackageResult result = ApplyPackage(reader, programFolder, package, journalFiles, &journal);
    // Closed in every case: a failed package's rows must not reach a package
    // opened later in this process, and its file must not stay locked
    // against the next download of the same name.
    ClosePackages(reader);
    if (result == PackageResult::Failed) return false;
    if (result == PackageResult::Damaged) {
      report.Line("Error: Failed to read update file: " + package);
      continue;
    }
    // What stays is the next recovery's to remove, before the next package.
    std::string cause;
    if (!FinishCommit(files, journalFiles, programFolder, journal, &cause))
      report.Log("Cannot remove what the package " + package + " left: " + cause);
  }
  return true;
}

}  // namespace

bool ApplyUpdates(PackageReader& reader, const std::string& programFolder) {
  Report& report = reader.Report;
  report.Line("");
  report.Line("Applying updates...");
  FileSystem& files = reader.Files;
  const std::string updateFolder = UpdateFolderPath(programFolder);
  std::vector<FolderEntry> listing;
  if (!files.ListFolder(updateFolder, kPackagePattern, &listing)) {
    report.Log("Cannot list the update folder: " + files.LastError());
    return false;
  }
  std::vector<std::string> packages;
  for (const FolderEntry& entry : listing)
    if (!entry.IsFolder) packages.push_back(entry.Name);
  const std::vector<std::string> recorded = ReadPackageOrder(files, report, updateFolder);
  packages = ApplyOrder(std::move(packages), recorded);
  const bool walked = ApplyInOrder(reader, programFolder, packages);
  KeepPackageOrder(files, report, updateFolder, recorded);
  return walked;
}

std::vector<std::string> ApplyOrder(std::vector<std::string> listed,
                                    const std::vector<std::string>& recorded) {
  std::vector<std::string> ordered;
  for (const std::string& name : recorded) {
    auto found = std::find_if(listed.begin(), listed.end(), [&](const std::string& candidate) {
      return LowerCaseText(candidate) == LowerCaseText(name);
    });
    if (found == listed.end()) continue;
    ordered.push_back(std::move(*found));
    listed.erase(found);
  }
  std::sort(listed.begin(), listed.end());
  ordered.insert(ordered.end(), listed.begin(), listed.end());
  return ordered;
}

bool CreateFolders(FileSystem& files, Report& report, const std::string& programFolder,
                   const std::string& folderPart) {
  for (const std::string& relative : FolderChain(folderPart)) {
    const std::string folder = programFolder + relative;
    if (files.IsFolder(folder)) continue;
    report.Line("Creating directory... : " + folder);
    if (!files.CreateFolder(folder)) {
      report.Log("Cannot create the folder " + folder + ": " + files.LastError());
      return false;
    }
  }
  return true;
}

}  // namespace updater
