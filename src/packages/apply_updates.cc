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
constexpr std::string_view kDecompressFailed = "Error: Failed to decompress file!";
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

// "a.mxu, b.mxu"
std::string JoinedNames(const std::vector<std::string>& names) {
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : ", ") + name;
  return joined;
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
    if (known == folders_.end()) {
      std::string cause;
      const bool stays = files_.StaysInside(programFolder_, folder, &cause);
      known = folders_.emplace(folder, Confinement{stays, cause}).first;
    }
    // The entry itself may be a link: within its folder, or else within the
    // program folder.
    std::string cause = known->second.Cause;
    if (known->second.Stays && (files_.StaysInside(folder, programFolder_ + name, &cause) ||
                                files_.StaysInside(programFolder_, programFolder_ + name, &cause)))
      return true;
    *why = "the entry leaves the program folder through a link: " + cause;
    return false;
  }

 private:
  struct Confinement {
    bool Stays;
    std::string Cause;  // why not
  };

  FileSystem& files_;
  const std::string& programFolder_;
  std::map<std::string, Confinement> folders_;
};

// The journal of a transaction, and which rows of the entry table it plans.
struct TransactionPlan {
  ApplyJournal Journal;
  // The row each journal file comes from, ascending.
  std::vector<size_t> RowOfFile;
  // The rows planned, from the first; the row after them, if any, would
  // leave the program folder, and Refusal says why.
  size_t PlannedRows = 0;
  std::string Refusal;
};

// Chooses the staged and aside names of every entry up to the first one
// that would leave the program folder (staging stops there), records whether
// its target exists and its new size, and the folders the apply will create.
// A remove entry is recorded only when its file is there (and only once):
// nothing is made for it, and recovery never deletes anything else for it.
// Names are short ("~mx" and a number) so that they fit wherever the entry's
// own name fits, and taken by neither a file on disk nor another entry.
TransactionPlan PlanTransaction(FileSystem& files, const std::string& programFolder,
                                const std::vector<std::string>& packages,
                                const std::vector<EntryRecord>& rows) {
  TransactionPlan plan;
  ApplyJournal& journal = plan.Journal;
  journal.Packages = packages;
  std::set<std::string> taken;
  for (const EntryRecord& row : rows) taken.insert(FoldedName(row.Name));
  std::set<std::string> seenFolders, newFolders, listedFolders, removed;
  FolderConfinement confinement(files, programFolder);
  int counter = 0;
  // Staging names already on disk, found with one listing per folder.
  auto takeExisting = [&](const std::string& folder) {
    if (!listedFolders.insert(folder).second) return;
    std::vector<FolderEntry> existing;
    // A folder that cannot be listed adds no names: a "~mx" file there is a
    // temporary file of the updater's own, which staging may replace.
    static_cast<void>(files.ListFolder(programFolder + folder, std::string(kStagingPrefix) + "*",
                                       &existing, nullptr));
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
  for (size_t i = 0; i < rows.size(); ++i) {
    const EntryRecord& row = rows[i];
    const std::string& name = row.Name;
    if (!confinement.Stays(name, &plan.Refusal)) break;
    plan.PlannedRows = i + 1;
    const std::string folder = FolderPart(name);
    if (RemovesTarget(row)) {
      if (!removed.insert(FoldedName(name)).second || !files.Exists(programFolder + name)) continue;
      JournalFile file;
      file.Target = name;
      file.Aside = freeName(folder, false);
      file.Existed = true;
      file.Removes = true;
      journal.Files.push_back(std::move(file));
      plan.RowOfFile.push_back(i);
      continue;
    }
    const std::vector<std::string> chain = FolderChain(folder);
    for (const std::string& part : chain) {
      if (!seenFolders.insert(part).second) continue;
      if (files.IsFolder(programFolder + part)) continue;
      newFolders.insert(part);
      journal.Folders.push_back(part);
    }
    const bool folderIsNew = !chain.empty() && newFolders.count(chain.back()) != 0;
    JournalFile file;
    file.Target = name;
    file.Staged = freeName(folder, folderIsNew);
    file.Aside = freeName(folder, folderIsNew);
    file.Existed = !folderIsNew && files.Exists(programFolder + name);
    file.Size = std::max<int64_t>(row.Size, 0);  // a negative size fails to stage
    journal.Files.push_back(std::move(file));
    plan.RowOfFile.push_back(i);
  }
  return plan;
}

// (clang-format 14 cannot lay out an enum with an attribute.)
// clang-format off
enum class [[nodiscard]] TransactionResult {
  Committed,          // every entry is in place; the asides and the journal remain
  Damaged,            // refused before anything was written
  ReferenceMismatch,  // a patch is not for the installed file; nothing was written
  Undone,             // reported; failed before the commit and undone whole
  Failed,             // reported; the installation is as it was, or as the journal
                      // that stays says, for the next run to end
};
// clang-format on

// The package of the transaction's `packages` that gave `row`: the reader
// holds them open in that order.
const std::string& PackageOf(const PackageReader& reader, const std::vector<std::string>& packages,
                             const EntryRecord& row) {
  for (size_t i = 0; i < reader.OpenFiles.size() && i < packages.size(); ++i)
    if (reader.OpenFiles[i] == row.Package) return packages[i];
  return packages.front();
}

// Why the entry table of a transaction cannot apply at all, or empty: an
// entry without a name cannot be written anywhere, and a name that one entry
// removes and another writes (letter case ignored, as Windows compares names)
// leaves unclear what was meant. `*package` names the package at fault.
std::string DamageOf(const PackageReader& reader, const std::vector<std::string>& packages,
                     std::string* package) {
  std::set<std::string> written;
  for (const EntryRecord& row : reader.EntryTable) {
    if (row.Name.empty()) {
      *package = PackageOf(reader, packages, row);
      return "an entry without a name";
    }
    if (!RemovesTarget(row)) written.insert(FoldedName(row.Name));
  }
  for (const EntryRecord& row : reader.EntryTable) {
    if (!RemovesTarget(row) || written.count(FoldedName(row.Name)) == 0) continue;
    *package = PackageOf(reader, packages, row);
    return "an entry that removes " + row.Name + ", which the transaction also writes";
  }
  return std::string();
}

// Checks what a remove entry is about to delete, before the commit: its row
// has no data, and its file is no folder and held by no other opener (after
// the wait that `reader.HeldFiles` allows). False, with the line and the
// cause, otherwise.
bool RemovalPossible(PackageReader& reader, const EntryRecord& row, const std::string& target,
                     std::string_view* line, std::string* cause) {
  FileSystem& files = reader.Files;
  const PackageCodec* codec = FindCodec(row.Method);
  if (!codec->SizesReadable(row.PackedSize, row.Size)) {
    *line = kDecompressFailed;
    *cause = "the remove entry " + row.Name + " carries data";
    return false;
  }
  *line = kWriteFailed;
  if (files.IsFolder(target)) {
    *cause = "a folder is in the place of " + target;
    return false;
  }
  auto openAlone = [&](std::string* why) { return files.OpenRead(target, true, why) != nullptr; };
  return !files.Exists(target) || reader.HeldFiles.Retry({target}, openAlone, cause);
}

// Applies the packages open in the reader as one transaction: refuses a
// damaged table, checks every patch's reference, stages every written entry
// beside its target, makes the staged files durable, and commits them and
// the removals, every step recorded in the journal first. A failure before
// the commit removes what was staged and the folders created; a failure
// during the commit rolls back. With Committed, every target has its new
// content (or is gone) and the journal stays open in `journalFiles` for
// FinishCommit. With Damaged, `*damaged` names the package at fault.
TransactionResult ApplyTransaction(PackageReader& reader, const std::string& programFolder,
                                   const std::vector<std::string>& packages,
                                   JournalFiles& journalFiles, ApplyJournal* journal,
                                   std::string* damaged) {
  Report& report = reader.Report;
  FileSystem& files = reader.Files;
  const std::vector<EntryRecord>& rows = reader.EntryTable;
  const std::string damage = DamageOf(reader, packages, damaged);
  if (!damage.empty()) {
    report.Log("The package " + *damaged + " has " + damage);
    return TransactionResult::Damaged;
  }
  int64_t contentSize = 0;
  for (const EntryRecord& row : rows) contentSize += std::max<int64_t>(row.Size, 0);
  // The time to wait for held files is the transaction's, however many of
  // its files another program holds.
  reader.HeldFiles.Restart();
  TransactionPlan plan = PlanTransaction(files, programFolder, packages, rows);

  // A patch made for another file would fail only while it is decoded, after
  // the entries before it were written: nothing is written until every
  // patch is known to fit, so that the caller may fetch a full package.
  for (size_t i = 0; i < plan.PlannedRows; ++i) {
    const PackageCodec* codec = FindCodec(rows[i].Method);
    if (!codec || !codec->DecodesAgainstTarget) continue;
    std::string cause;
    if (CheckPatchReference(reader, rows[i].Name, programFolder + rows[i].Name, &cause) !=
        ReferenceCheck::Differs)
      continue;
    report.Failure(kDecompressFailed, cause);
    report.Log("Patch reference differs: nothing of " + JoinedNames(packages) +
               " was written; it waits for a full package");
    return TransactionResult::ReferenceMismatch;
  }

  *journal = std::move(plan.Journal);
  std::string cause;
  for (const std::string& package : packages) {
    const std::string packagePath = UpdateFolderPath(programFolder) + package;
    if (!files.StaysInside(programFolder, packagePath, &cause)) {
      report.Failure(kWriteFailed, packagePath + " leads out of the program folder: " + cause);
      return TransactionResult::Failed;
    }
  }
  if (!journalFiles.Create(files, programFolder, *journal, &cause)) {
    report.Failure(kWriteFailed, "cannot write the apply journal: " + cause);
    return TransactionResult::Failed;
  }
  auto undo = [&](std::string_view line, const std::string& failure) {
    if (!line.empty()) report.Failure(line, failure);
    std::string undoCause;
    if (ContinueApply(files, journalFiles, programFolder, *journal, true, &undoCause) ==
        ApplyEnd::RolledBack)
      return TransactionResult::Undone;
    report.Log("Cannot undo the packages " + JoinedNames(packages) +
               "; the next run does: " + undoCause);
    return TransactionResult::Failed;
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
  size_t next = 0;  // the journal file of the next row that has one
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string& name = rows[i].Name;
    if (i >= plan.PlannedRows) {
      // Nothing outside the program folder is touched, not even a folder.
      report.Line("Decompressing... : " + name);
      return undo(kWriteFailed, plan.Refusal);
    }
    const bool recorded = next < plan.RowOfFile.size() && plan.RowOfFile[next] == i;
    const JournalFile* file = recorded ? &journal->Files[next++] : nullptr;
    if (RemovesTarget(rows[i])) {
      std::string_view line;
      if (!RemovalPossible(reader, rows[i], programFolder + name, &line, &cause))
        return undo(line, cause);
      report.Log(file ? "Removing " + name : "Nothing to remove at " + name);
      continue;
    }
    if (!CreateFolders(files, report, programFolder, FolderPart(name))) return undo("", "");
    report.Line("Decompressing... : " + name);
    staged.push_back(programFolder + file->Staged);
    if (!StageEntry(reader, name, programFolder + name, staged.back())) return undo("", "");
  }
  // The new content must be on the disk before any target is touched: after
  // a power loss the next run moves these files into place.
  if (!files.SyncFiles(staged, &cause)) return undo(kWriteFailed, cause);
  if (!journalFiles.Mark(ApplyStage::Committed, &cause)) {
    // One copy may hold the mark: the next run completes or undoes the
    // apply from what the copies say. Nothing has moved yet.
    report.Failure(kWriteFailed, cause);
    report.Log("Cannot record the commit of the packages " + JoinedNames(packages) +
               "; the next run ends it");
    return TransactionResult::Failed;
  }
  journal->Stage = ApplyStage::Committed;
  switch (ContinueApply(files, journalFiles, programFolder, *journal, false, &cause,
                        &reader.HeldFiles)) {
    case ApplyEnd::Placed:
      return TransactionResult::Committed;
    case ApplyEnd::RolledBack:
      report.Failure(kWriteFailed, cause);
      return TransactionResult::Failed;
    case ApplyEnd::Stopped:
      // Left where the journal says: the next run finishes or undoes it.
      report.Failure(kWriteFailed, cause);
      report.Log("Cannot end the apply of the packages " + JoinedNames(packages) +
                 "; the next run does");
      return TransactionResult::Failed;
  }
  return TransactionResult::Failed;
}

// The groups of the order file, and its text; none when there is no order
// file or it cannot be read. Lines that are not package file names are
// logged.
PackageGroups ReadPackageOrder(FileSystem& files, Report& report, const std::string& updateFolder,
                               std::string* text) {
  const std::string path = updateFolder + kPackageOrderFile;
  std::string cause;
  switch (ReadSmallFile(files, path, kMaxPackageOrderSize, text, &cause)) {
    case SmallFileRead::Done:
      break;
    case SmallFileRead::Missing:
      return {};
    case SmallFileRead::TooLarge:
      report.Log("Passed over the package order " + path + ": larger than " +
                 std::to_string(kMaxPackageOrderSize) + " bytes");
      return {};
    case SmallFileRead::Failed:
      report.Log("Cannot read the package order " + path + ": " + cause);
      return {};
  }
  std::vector<std::string> passedOver;
  PackageGroups groups = DecodePackageOrder(*text, &passedOver);
  for (const std::string& line : passedOver)
    report.Log("Passed over a line of the package order that is not a package file name: " + line);
  return groups;
}

// Leaves in the order file only the recorded groups of which a package still
// waits, each whole, so that what is left of a group never applies as a
// group of its own; removes the file when none waits (also one that could
// not be read). A file that would not change is left as it is (`text`).
void KeepPackageOrder(FileSystem& files, Report& report, const std::string& updateFolder,
                      const PackageGroups& recorded, const std::string& text) {
  PackageGroups waiting;
  for (const std::vector<std::string>& group : recorded)
    if (std::any_of(group.begin(), group.end(),
                    [&](const std::string& name) { return files.Exists(updateFolder + name); }))
      waiting.push_back(group);
  const std::string path = updateFolder + kPackageOrderFile;
  if (waiting.empty() && !files.Exists(path)) return;
  const std::string kept = EncodePackageOrder(waiting);
  if (!waiting.empty() && kept == text) return;
  std::string cause;
  if (waiting.empty()) {
    if (files.Delete(path, &cause)) return;
  } else if (WriteFileWhole(files, path, kept, &cause)) {
    return;
  }
  report.Log("Cannot update the package order " + path + ": " + cause);
}

bool ApplyInOrder(PackageReader& reader, const std::string& programFolder,
                  const std::vector<ApplyGroup>& groups, ApplyResult* result) {
  Report& report = reader.Report;
  FileSystem& files = reader.Files;
  const std::string updateFolder = UpdateFolderPath(programFolder);
  for (const ApplyGroup& group : groups) {
    // One journal at a time: one that an earlier transaction of this call
    // could not finish is finished first.
    std::string reason;
    switch (RecoverUnfinishedApply(files, report, programFolder, &reason)) {
      case RecoveryOutcome::Failed:
        report.Failure("Error: Cannot recover " + InUpdateFolder(kApplyJournalName), reason);
        return false;
      case RecoveryOutcome::Refused:
        report.Failure("Error: Refused " + InUpdateFolder(kApplyJournalName) + ": " + reason, "");
        return false;
      default:
        break;
    }
    if (!group.Missing.empty()) {
      // The rest of a release alone would leave a mix of two releases.
      report.Log("Passed over the packages " + JoinedNames(group.Packages) + ": " +
                 JoinedNames(group.Missing) + " of their transaction is missing");
      for (const std::string& missing : group.Missing)
        report.Line("Error: Failed to read update file: " + missing);
      continue;
    }
    std::vector<std::string> paths;
    for (const std::string& package : group.Packages) paths.push_back(updateFolder + package);
    std::string failed;
    if (!OpenPackages(reader, paths, &failed)) {
      report.Line("Error: Failed to read update file: " + failed.substr(updateFolder.size()));
      if (result && result->NotApplied.empty()) result->NotApplied = group.Packages;
      continue;
    }
    JournalFiles journalFiles;
    ApplyJournal journal;
    std::string damaged;
    const TransactionResult applied =
        ApplyTransaction(reader, programFolder, group.Packages, journalFiles, &journal, &damaged);
    // Closed in every case: a failed transaction's rows must not reach a
    // package opened later in this process, and its files must not stay
    // locked against the next download of the same names.
    ClosePackages(reader);
    switch (applied) {
      case TransactionResult::Failed:
        return false;
      case TransactionResult::Undone:
        if (result && result->NotApplied.empty()) result->NotApplied = group.Packages;
        return false;
      case TransactionResult::ReferenceMismatch:
        if (result) result->ReferenceMismatch = group.Packages;
        return false;
      case TransactionResult::Damaged:
        report.Line("Error: Failed to read update file: " + damaged);
        if (result && result->NotApplied.empty()) result->NotApplied = group.Packages;
        continue;
      case TransactionResult::Committed:
        break;
    }
    // What stays is the next recovery's to remove, before the next transaction.
    std::string cause;
    if (!FinishCommit(files, journalFiles, programFolder, journal, &cause))
      report.Log("Cannot remove what the packages " + JoinedNames(group.Packages) +
                 " left: " + cause);
  }
  return true;
}

}  // namespace

bool ApplyUpdates(PackageReader& reader, const std::string& programFolder, ApplyResult* result) {
  if (result) *result = ApplyResult();
  Report& report = reader.Report;
  report.Line("");
  report.Line("Applying updates...");
  FileSystem& files = reader.Files;
  const std::string updateFolder = UpdateFolderPath(programFolder);
  std::vector<FolderEntry> listing;
  std::string cause;
  if (!files.ListFolder(updateFolder, kPackagePattern, &listing, &cause)) {
    report.Log("Cannot list the update folder: " + cause);
    return false;
  }
  std::vector<std::string> packages;
  for (const FolderEntry& entry : listing)
    if (!entry.IsFolder) packages.push_back(entry.Name);
  std::string orderText;
  const PackageGroups recorded = ReadPackageOrder(files, report, updateFolder, &orderText);
  const bool walked =
      ApplyInOrder(reader, programFolder, ApplyGroups(std::move(packages), recorded), result);
  KeepPackageOrder(files, report, updateFolder, recorded, orderText);
  return walked;
}

std::string EncodePackageOrder(const PackageGroups& groups) {
  const bool grouped = std::any_of(groups.begin(), groups.end(),
                                   [](const std::vector<std::string>& g) { return g.size() > 1; });
  std::string text;
  for (const std::vector<std::string>& group : groups) {
    if (group.empty()) continue;
    for (const std::string& name : group) text += name + "\r\n";
    if (grouped) text += "\r\n";
  }
  return text;
}

PackageGroups DecodePackageOrder(std::string_view text, std::vector<std::string>* passedOver) {
  PackageGroups groups(1);
  bool grouped = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) {
      grouped = true;
      if (!groups.back().empty()) groups.emplace_back();
    } else if (IsPackageFileName(line)) {
      groups.back().emplace_back(line);
    } else if (passedOver) {
      passedOver->emplace_back(line);
    }
  }
  if (groups.back().empty()) groups.pop_back();
  if (grouped || groups.empty()) return groups;
  PackageGroups alone;
  for (std::string& name : groups.front()) alone.push_back({std::move(name)});
  return alone;
}

std::vector<ApplyGroup> ApplyGroups(std::vector<std::string> listed,
                                    const PackageGroups& recorded) {
  std::vector<ApplyGroup> groups;
  std::set<std::string> named;  // letter case folded
  for (const std::vector<std::string>& group : recorded) {
    ApplyGroup found;
    for (const std::string& name : group) {
      const std::string folded = LowerCaseText(name);
      if (!named.insert(folded).second) continue;
      auto at = std::find_if(listed.begin(), listed.end(), [&](const std::string& candidate) {
        return LowerCaseText(candidate) == folded;
      });
      if (at == listed.end()) {
        found.Missing.push_back(name);
        continue;
      }
      found.Packages.push_back(std::move(*at));
      listed.erase(at);
    }
    if (!found.Packages.empty()) groups.push_back(std::move(found));
  }
  std::sort(listed.begin(), listed.end());
  for (std::string& name : listed) groups.push_back({{std::move(name)}, {}});
  return groups;
}

std::vector<std::string> ApplyOrder(std::vector<std::string> listed,
                                    const std::vector<std::string>& recorded) {
  PackageGroups alone;
  for (const std::string& name : recorded) alone.push_back({name});
  std::vector<std::string> ordered;
  for (ApplyGroup& group : ApplyGroups(std::move(listed), alone))
    for (std::string& name : group.Packages) ordered.push_back(std::move(name));
  return ordered;
}

bool CreateFolders(FileSystem& files, Report& report, const std::string& programFolder,
                   const std::string& folderPart) {
  for (const std::string& relative : FolderChain(folderPart)) {
    const std::string folder = programFolder + relative;
    if (files.IsFolder(folder)) continue;
    report.Line("Creating directory... : " + folder);
    std::string cause;
    if (!files.CreateFolder(folder, &cause)) {
      report.Log("Cannot create the folder " + folder + ": " + cause);
      return false;
    }
  }
  return true;
}

}  // namespace updater
