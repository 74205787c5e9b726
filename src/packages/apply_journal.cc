// The journal of one package's apply, the commit, the rollback and the
// recovery at start.
#include "packages/apply_journal.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>

namespace updater {

namespace {

constexpr std::string_view kHeaderRecord = "VOXA apply journal 1\n";
constexpr std::string_view kCommitRecord = "commit\n";
constexpr int64_t kMaxJournalSize = 64 << 20;

uint32_t Checksum(std::string_view bytes) {
  uLong crc = crc32(0, nullptr, 0);
  // zlib takes at most 4 GiB at once; a journal is far smaller.
  return static_cast<uint32_t>(
      crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

void AppendField(std::string& out, std::string_view field) {
  out += ' ';
  out += std::to_string(field.size());
  out += ':';
  out += field;
}

// Reads the records of a journal one by one.
class RecordReader {
 public:
  explicit RecordReader(std::string_view bytes) : bytes_(bytes) {}

  size_t Position() const { return position_; }
  bool AtEnd() const { return position_ >= bytes_.size(); }

  // The record's keyword: the bytes up to the first space or line end.
  bool Keyword(std::string* word) {
    size_t end = bytes_.find_first_of(" \n", position_);
    if (end == std::string_view::npos) return false;
    *word = std::string(bytes_.substr(position_, end - position_));
    position_ = end;
    return true;
  }

  // " <length>:<bytes>"
  bool Field(std::string* field) {
    if (!Take(' ')) return false;
    uint64_t length = 0;
    if (!Number(&length) || !Take(':') || length > bytes_.size() - position_) return false;
    *field = std::string(bytes_.substr(position_, length));
    position_ += length;
    return true;
  }

  // " <decimal>"
  bool NumberField(uint64_t* value) { return Take(' ') && Number(value); }

  bool EndOfRecord() { return Take('\n'); }

 private:
  bool Take(char expected) {
    if (position_ >= bytes_.size() || bytes_[position_] != expected) return false;
    ++position_;
    return true;
  }

  bool Number(uint64_t* value) {
    size_t start = position_;
    *value = 0;
    while (position_ < bytes_.size() && bytes_[position_] >= '0' && bytes_[position_] <= '9' &&
           position_ - start < 12)
      *value = *value * 10 + static_cast<uint64_t>(bytes_[position_++] - '0');
    return position_ > start;
  }

  std::string_view bytes_;
  size_t position_ = 0;
};

std::string FolderOf(const std::string& path) {
  size_t last = path.find_last_of("\\/");
  return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

// The folders that hold the targets, each once, for syncing their names.
std::vector<std::string> TargetFolders(const std::string& programFolder,
                                       const ApplyJournal& journal) {
  std::vector<std::string> folders;
  for (const JournalFile& file : journal.files) {
    std::string folder = programFolder + FolderOf(file.target);
    if (std::find(folders.begin(), folders.end(), folder) == folders.end())
      folders.push_back(folder);
  }
  return folders;
}

bool Fail(std::string* cause, std::string text) {
  if (cause->empty()) *cause = std::move(text);
  return false;
}

bool ReadJournal(FileSystem& files, const std::string& path, std::string* bytes,
                 std::string* cause) {
  // Exclusive: the journal of an apply that another updater is running now
  // is locked, and is not this run's to finish.
  std::unique_ptr<File> file = files.OpenStateFile(path, true);
  if (!file) return Fail(cause, files.LastError());
  int64_t size = file->Size();
  if (size < 0 || size > kMaxJournalSize) return Fail(cause, "unexpected journal size");
  bytes->resize(static_cast<size_t>(size));
  if (size > 0 && file->Read(bytes->data(), size) != size) return Fail(cause, files.LastError());
  return true;
}

// Every file still has its new content, staged or already in place.
bool NewContentComplete(FileSystem& files, const std::string& programFolder,
                        const ApplyJournal& journal) {
  for (const JournalFile& file : journal.files)
    if (!files.Exists(programFolder + file.staged) && !files.Exists(programFolder + file.target))
      return false;
  return true;
}

}  // namespace

std::string EncodeJournal(const ApplyJournal& journal) {
  std::string out(kHeaderRecord);
  out += "package";
  AppendField(out, journal.package);
  out += '\n';
  for (const std::string& folder : journal.folders) {
    out += "folder";
    AppendField(out, folder);
    out += '\n';
  }
  for (const JournalFile& file : journal.files) {
    out += "file";
    AppendField(out, file.target);
    AppendField(out, file.staged);
    AppendField(out, file.aside);
    out += '\n';
  }
  char end[48];
  std::snprintf(end, sizeof end, "end %zu %08x\n",
                1 + journal.folders.size() + journal.files.size(), Checksum(out));
  out += end;
  if (journal.committed) out += kCommitRecord;
  return out;
}

bool DecodeJournal(std::string_view bytes, ApplyJournal* journal) {
  if (bytes.substr(0, kHeaderRecord.size()) != kHeaderRecord) return false;
  ApplyJournal read;
  RecordReader reader(bytes.substr(kHeaderRecord.size()));
  uint64_t records = 0;
  bool havePackage = false;
  while (true) {
    size_t recordStart = kHeaderRecord.size() + reader.Position();
    std::string keyword;
    if (!reader.Keyword(&keyword)) return false;
    if (keyword == "end") {
      uint64_t count = 0, checksum = 0;
      if (!reader.NumberField(&count) || count != records || !havePackage) return false;
      // The checksum follows in eight hexadecimal digits.
      size_t hexStart = kHeaderRecord.size() + reader.Position() + 1;
      if (hexStart + 9 > bytes.size() || bytes[hexStart - 1] != ' ' || bytes[hexStart + 8] != '\n')
        return false;
      for (size_t i = hexStart; i < hexStart + 8; ++i) {
        char digit = bytes[i];
        int value = digit >= '0' && digit <= '9'   ? digit - '0'
                    : digit >= 'a' && digit <= 'f' ? digit - 'a' + 10
                                                   : -1;
        if (value < 0) return false;
        checksum = checksum * 16 + static_cast<uint64_t>(value);
      }
      if (checksum != Checksum(bytes.substr(0, recordStart))) return false;
      read.committed = bytes.substr(hexStart + 9) == kCommitRecord;
      *journal = std::move(read);
      return true;
    }
    if (keyword == "package" && !havePackage) {
      if (!reader.Field(&read.package)) return false;
      havePackage = true;
    } else if (keyword == "folder") {
      read.folders.emplace_back();
      if (!reader.Field(&read.folders.back())) return false;
    } else if (keyword == "file") {
      JournalFile file;
      if (!reader.Field(&file.target) || !reader.Field(&file.staged) || !reader.Field(&file.aside))
        return false;
      read.files.push_back(std::move(file));
    } else {
      return false;
    }
    if (!reader.EndOfRecord()) return false;
    ++records;
  }
}

std::string JournalPath(const std::string& programFolder) {
  return programFolder + "Update\\" + kApplyJournalName;
}

bool JournalWriter::Begin(FileSystem& files, const std::string& programFolder,
                          const ApplyJournal& journal, std::string* cause) {
  files_ = &files;
  path_ = JournalPath(programFolder);
  std::string bytes = EncodeJournal(journal);
  file_ = files.Create(path_);
  // The journal and its name reach the disk before the first staged file is
  // made: a journal that is not complete can then only mean nothing was
  // staged yet.
  bool written = file_ && file_->Write(bytes.data(), static_cast<int64_t>(bytes.size())) &&
                 file_->Sync() && files.SyncFolders({programFolder + "Update\\"});
  if (written) return true;
  Fail(cause, files.LastError());
  file_.reset();
  files.Delete(path_);
  return false;
}

bool JournalWriter::MarkCommitted(std::string* cause) {
  if (file_ && file_->Write(kCommitRecord.data(), static_cast<int64_t>(kCommitRecord.size())) &&
      file_->Sync())
    return true;
  return Fail(cause, files_->LastError());
}

CommitResult CommitFiles(FileSystem& files, const std::string& programFolder,
                         const ApplyJournal& journal, bool resume, std::string* cause) {
  for (const JournalFile& file : journal.files) {
    const std::string staged = programFolder + file.staged;
    const std::string target = programFolder + file.target;
    const std::string aside = programFolder + file.aside;
    if (resume && !files.Exists(staged)) continue;
    if (files.IsFolder(target)) {
      Fail(cause, "a folder is in the place of " + target);
      return CommitResult::MoveFailed;
    }
    if (files.Exists(target) && !(resume && files.Exists(aside)) &&
        !files.KeepAside(target, aside)) {
      Fail(cause, files.LastError());
      return CommitResult::MoveFailed;
    }
    if (!files.Replace(staged, target)) {
      Fail(cause, files.LastError());
      return CommitResult::MoveFailed;
    }
  }
  if (!files.SyncFolders(TargetFolders(programFolder, journal))) {
    Fail(cause, files.LastError());
    return CommitResult::SyncFailed;
  }
  return CommitResult::Done;
}

bool RollBack(FileSystem& files, const std::string& programFolder, const ApplyJournal& journal,
              std::string* cause) {
  bool restored = true;
  auto check = [&](bool done) {
    if (!done) restored = Fail(cause, files.LastError());
  };
  if (journal.committed) {
    for (auto it = journal.files.rbegin(); it != journal.files.rend(); ++it) {
      const std::string staged = programFolder + it->staged;
      const std::string target = programFolder + it->target;
      const std::string aside = programFolder + it->aside;
      bool placed = !files.Exists(staged);
      bool hasAside = files.Exists(aside);
      bool hasTarget = files.Exists(target);
      if (!placed) {
        // The target still holds its old content, under the aside name too
        // when it was linked there, or only there when it was moved.
        if (hasAside) check(hasTarget ? files.Delete(aside) : files.Replace(aside, target));
      } else if (hasAside) {
        check(files.Replace(aside, target));
      } else if (hasTarget) {
        check(files.Delete(target));  // the package created it
      }
    }
  }
  for (const JournalFile& file : journal.files)
    if (files.Exists(programFolder + file.staged)) check(files.Delete(programFolder + file.staged));
  // Only empty folders go: anything put into them since stays, and so do they.
  for (auto it = journal.folders.rbegin(); it != journal.folders.rend(); ++it)
    if (files.IsFolder(programFolder + *it)) files.RemoveFolder(programFolder + *it);
  return restored;
}

bool FinishCommit(FileSystem& files, const std::string& programFolder, const ApplyJournal& journal,
                  std::string* cause) {
  bool removed = true;
  for (const JournalFile& file : journal.files) {
    const std::string aside = programFolder + file.aside;
    if (files.Exists(aside) && !files.Delete(aside)) removed = Fail(cause, files.LastError());
  }
  // The journal goes only once the asides are gone for good; otherwise a
  // power loss could bring back an aside file that no journal names.
  if (!removed) return false;
  if (!files.SyncFolders(TargetFolders(programFolder, journal)))
    return Fail(cause, files.LastError());
  return files.Delete(JournalPath(programFolder)) || Fail(cause, files.LastError());
}

RecoveryOutcome RecoverUnfinishedApply(FileSystem& files, Report& report,
                                       const std::string& programFolder) {
  const std::string path = JournalPath(programFolder);
  if (!files.Exists(path)) return RecoveryOutcome::NothingToDo;
  std::string bytes, cause;
  if (!ReadJournal(files, path, &bytes, &cause)) {
    report.Log("Cannot read the apply journal " + path + ": " + cause);
    return RecoveryOutcome::Failed;
  }
  ApplyJournal journal;
  if (!DecodeJournal(bytes, &journal)) {
    // The journal reaches the disk whole before anything is staged.
    report.Log("Removed an incomplete apply journal; nothing had been staged");
    if (files.Delete(path)) return RecoveryOutcome::RolledBack;
    report.Log("Cannot remove the apply journal: " + files.LastError());
    return RecoveryOutcome::Failed;
  }
  const std::string what =
      journal.package + " (" + std::to_string(journal.files.size()) + " files)";
  if (journal.committed && NewContentComplete(files, programFolder, journal)) {
    CommitResult result = CommitFiles(files, programFolder, journal, true, &cause);
    if (result == CommitResult::Done) {
      const std::string package = programFolder + "Update\\" + journal.package;
      if (files.Exists(package) && !files.Delete(package))
        report.Log("Cannot delete the package " + package + ": " + files.LastError());
      if (!FinishCommit(files, programFolder, journal, &cause)) {
        report.Log("Completed the interrupted apply of " + what +
                   ", but cannot remove what it left: " + cause);
        return RecoveryOutcome::Failed;
      }
      report.Log("Completed the interrupted apply of " + what);
      return RecoveryOutcome::Completed;
    }
    if (result == CommitResult::SyncFailed) {
      report.Log("Cannot complete the interrupted apply of " + what + ": " + cause);
      return RecoveryOutcome::Failed;
    }
    report.Log("Cannot complete the interrupted apply of " + what + ", rolling it back: " + cause);
    cause.clear();
  }
  if (!RollBack(files, programFolder, journal, &cause)) {
    report.Log("Cannot roll back the unfinished apply of " + what + ": " + cause);
    return RecoveryOutcome::Failed;
  }
  if (!files.Delete(path)) {
    report.Log("Rolled back the unfinished apply of " + what +
               ", but cannot remove its journal: " + files.LastError());
    return RecoveryOutcome::Failed;
  }
  report.Log("Rolled back the unfinished apply of " + what + "; the package stays");
  return RecoveryOutcome::RolledBack;
}

}  // namespace updater
