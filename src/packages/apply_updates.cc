// Applying downloaded update packages.
#include "packages/apply_updates.h"

#include <algorithm>
#include <memory>
#include <set>
#include <vector>

#include "packages/apply_journal.h"
#include "packages/package_reader.h"
#include "system/text.h"

namespace updater {

namespace {

constexpr std::string_view kWriteFailed = "Error: Failed to write file to disk!";

// Splits `text` at every character of `separators`.
std::vector<std::string_view> Split(std::string_view text, std::string_view separators) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    size_t end = text.find_first_of(separators, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// The folders of a relative folder part, top down, each ending with "\":
// "Data\Maps\" gives "Data\" and "Data\Maps\". Only "\" separates folders.
std::vector<std::string> FolderChain(const std::string& folderPart) {
  std::string path = folderPart;
  if (path.empty() || path.back() != '\\') path += '\\';
  std::vector<std::string> chain;
  if (path == "\\") return chain;
  std::vector<std::string_view> names = Split(path, "\\");
  names.pop_back();  // the empty text after the final "\"
  std::string folder;
  for (std::string_view name : names) {
    folder += name;
    folder += '\\';
    chain.push_back(folder);
  }
  return chain;
}

// Letter case ignored, as Windows file names compare.
std::string FoldedName(std::string name) {
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return name;
}

// Chooses the staged and aside names of every entry up to the first unsafe
// one (staging stops there), and the folders the apply will create. Names
// are short ("~mx" and a number) so that they fit wherever the entry's own
// name fits, and taken by neither a file on disk nor another entry.
ApplyJournal PlanPackage(FileSystem& files, const std::string& programFolder,
                         const std::string& package, const std::vector<std::string>& names) {
  ApplyJournal journal;
  journal.package = package;
  std::set<std::string> taken;
  for (const std::string& name : names) taken.insert(FoldedName(name));
  std::set<std::string> seenFolders, newFolders, listedFolders;
  int counter = 0;
  // Staging names already on disk, found with one listing per folder.
  auto takeExisting = [&](const std::string& folder) {
    if (!listedFolders.insert(folder).second) return;
    std::vector<FolderEntry> existing;
    files.ListFolder(programFolder + folder, std::string(kStagingPrefix) + "*", &existing);
    for (const FolderEntry& entry : existing) taken.insert(FoldedName(folder + entry.name));
  };
  auto freeName = [&](const std::string& folder, bool folderIsNew) {
    if (!folderIsNew) takeExisting(folder);
    std::string candidate;
    do {
      candidate = folder + kStagingPrefix + std::to_string(++counter);
    } while (!taken.insert(FoldedName(candidate)).second);
    return candidate;
  };
  for (const std::string& name : names) {
    if (!IsSafeEntryName(name)) break;
    const std::vector<std::string> chain = FolderChain(FolderPart(name));
    for (const std::string& folder : chain) {
      if (!seenFolders.insert(folder).second) continue;
      if (files.IsFolder(programFolder + folder)) continue;
      newFolders.insert(folder);
      journal.folders.push_back(folder);
    }
    const std::string folder = FolderPart(name);
    const bool folderIsNew = !chain.empty() && newFolders.count(chain.back()) != 0;
    JournalFile file;
    file.target = name;
    file.staged = freeName(folder, folderIsNew);
    file.aside = freeName(folder, folderIsNew);
    journal.files.push_back(std::move(file));
  }
  return journal;
}

enum class PackageResult {
  Committed,  // every entry is in place; the asides and the journal remain
  Damaged,    // refused before anything was written
  Failed,     // reported; the installation is as it was
};

// Stages every entry of the open package beside its target, makes the staged
// files durable, and commits them, all recorded in the journal. A failure
// before the commit removes what was staged and the folders created; a
// failure during the commit rolls back.
PackageResult ApplyPackage(PackageReader& reader, const std::string& programFolder,
                           const std::string& package, ApplyJournal* journal) {
  Report& report = reader.report;
  FileSystem& files = reader.files;
  std::vector<std::string> names;
  int64_t contentSize = 0;
  for (const EntryRecord& row : reader.EntryTable) {
    // An empty name cannot be written anywhere; the directory is damaged.
    if (row.Name.empty()) {
      report.Log("The package " + package + " has an entry without a name");
      return PackageResult::Damaged;
    }
    names.push_back(row.Name);
    contentSize += std::max<int64_t>(row.Size, 0);
  }
  *journal = PlanPackage(files, programFolder, package, names);
  JournalWriter writer;
  std::string cause;
  if (!writer.Begin(files, programFolder, *journal, &cause)) {
    report.Failure(kWriteFailed, "cannot write the apply journal: " + cause);
    return PackageResult::Failed;
  }
  auto undo = [&](std::string_view line, const std::string& failure) {
    if (!line.empty()) report.Failure(line, failure);
    writer.Close();
    std::string undoCause;
    if (RollBack(files, programFolder, *journal, &undoCause))
      files.Delete(JournalPath(programFolder));
    else
      report.Log("Cannot undo the package " + package + "; the next run does: " + undoCause);
    return PackageResult::Failed;
  };

  // Decoding is the long part of applying: its bytes are the progress.
  reader.Progress = {0, contentSize};
  struct ProgressEnd {
    PackageReader& reader;
    ~ProgressEnd() {
      reader.Progress = {};
      reader.report.ProgressDone();
    }
  } progressEnd{reader};
  std::vector<std::string> staged;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    if (!IsSafeEntryName(name)) {
      // Nothing outside the program folder is touched, not even a folder.
      report.Line("Decompressing... : " + name);
      return undo(kWriteFailed, "the entry name leaves the program folder: " + name);
    }
    if (!CreateFolders(files, report, programFolder, FolderPart(name))) return undo("", "");
    report.Line("Decompressing... : " + name);
    staged.push_back(programFolder + journal->files[i].staged);
    if (!StageEntry(reader, name, programFolder + name, staged.back())) return undo("", "");
  }
  // The new content must be on the disk before any target is touched: after
  // a power loss the next run moves these files into place.
  if (!files.SyncFiles(staged)) return undo(kWriteFailed, files.LastError());
  if (!writer.MarkCommitted(&cause)) return undo(kWriteFailed, cause);
  journal->committed = true;
  switch (CommitFiles(files, programFolder, *journal, false, &cause)) {
    case CommitResult::Done:
      return PackageResult::Committed;
    case CommitResult::MoveFailed:
      return undo(kWriteFailed, cause);
    case CommitResult::SyncFailed:
      // Every file is in place; the next run makes sure of it and finishes.
      report.Failure(kWriteFailed, cause);
      return PackageResult::Failed;
  }
  return PackageResult::Failed;
}

// The order file's names; none when there is no order file.
std::vector<std::string> ReadPackageOrder(FileSystem& files, const std::string& updateFolder) {
  std::vector<std::string> names;
  std::unique_ptr<File> file = files.OpenStateFile(updateFolder + kPackageOrderFile, false);
  if (!file) return names;
  std::string text(static_cast<size_t>(std::max<int64_t>(file->Size(), 0)), '\0');
  const int64_t count = file->Read(text.data(), static_cast<int64_t>(text.size()));
  text.resize(static_cast<size_t>(std::max<int64_t>(count, 0)));
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string name = text.substr(start, end - start);
    if (!name.empty() && name.back() == '\r') name.pop_back();
    if (!name.empty()) names.push_back(name);
    start = end + 1;
  }
  return names;
}

// Leaves in the order file only the recorded packages that still wait, and
// removes it when none does.
void KeepPackageOrder(FileSystem& files, const std::string& updateFolder,
                      const std::vector<std::string>& recorded) {
  if (recorded.empty()) return;
  std::string waiting;
  for (const std::string& name : recorded)
    if (files.Exists(updateFolder + name)) waiting += name + "\r\n";
  const std::string path = updateFolder + kPackageOrderFile;
  if (waiting.empty()) {
    files.Delete(path);
    return;
  }
  const std::string part = path + ".part";
  std::unique_ptr<File> file = files.Create(part);
  if (file && file->Write(waiting.data(), static_cast<int64_t>(waiting.size())) && file->Close() &&
      files.Replace(part, path))
    return;
  files.Delete(part);
}

bool ApplyInOrder(PackageReader& reader, const std::string& programFolder,
                  const std::vector<std::string>& packages) {
  Report& report = reader.report;
  FileSystem& files = reader.files;
  const std::string updateFolder = programFolder + "Update\\";
  for (const std::string& package : packages) {
    // One journal at a time: one that an earlier package of this call could
    // not finish is finished first.
    if (RecoverUnfinishedApply(files, report, programFolder) == RecoveryOutcome::Failed)
      return false;
    if (!OpenPackage(reader, updateFolder + package)) {
      report.Line("Error: Failed to read update file: " + package);
      continue;
    }
    ApplyJournal journal;
    PackageResult result = ApplyPackage(reader, programFolder, package, &journal);
    // Closed in every case: a failed package's rows must not reach a package
    // opened later in this process, and its file must not stay locked
    // against the next download of the same name.
    ClosePackages(reader);
    if (result == PackageResult::Failed) return false;
    if (result == PackageResult::Damaged) {
      report.Line("Error: Failed to read update file: " + package);
      continue;
    }
    files.Delete(updateFolder + package);  // a failure changes nothing
    std::string cause;
    if (!FinishCommit(files, programFolder, journal, &cause))
      report.Log("Cannot remove what the package " + package + " left: " + cause);
  }
  return true;
}

}  // namespace

bool ApplyUpdates(PackageReader& reader, const std::string& programFolder) {
  Report& report = reader.report;
  report.Line("");
  report.Line("Applying updates...");
  FileSystem& files = reader.files;
  const std::string updateFolder = programFolder + "Update\\";
  std::vector<FolderEntry> listing;
  if (!files.ListFolder(updateFolder, "*.mxu", &listing)) {
    report.Log("Cannot list the update folder: " + files.LastError());
    return false;
  }
  std::vector<std::string> packages;
  for (const FolderEntry& entry : listing)
    if (!entry.isFolder) packages.push_back(entry.name);
  const std::vector<std::string> recorded = ReadPackageOrder(files, updateFolder);
  packages = ApplyOrder(std::move(packages), recorded);
  const bool walked = ApplyInOrder(reader, programFolder, packages);
  KeepPackageOrder(files, updateFolder, recorded);
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

std::string FolderPart(std::string_view entryName) {
  size_t last = entryName.find_last_of("\\/");
  return last == std::string_view::npos ? std::string()
                                        : std::string(entryName.substr(0, last + 1));
}

bool IsSafeEntryName(std::string_view entryName) {
  if (entryName.empty() || entryName[0] == '\\' || entryName[0] == '/') return false;
  if (entryName.find(':') != std::string_view::npos) return false;
  for (std::string_view part : Split(entryName, "\\/")) {
    // Windows drops trailing dots and spaces from a name, so ". ." and "..."
    // can reach the parent folder as ".." does.
    bool dotsOnly = part.size() >= 2 && part.find_first_not_of(". ") == std::string_view::npos &&
                    part.find('.') != std::string_view::npos;
    if (dotsOnly) return false;
  }
  return true;
}

}  // namespace updater
