// The journal of one apply transaction, the commit, the rollback and the
// recovery at start.
#include "packages/apply_journal.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>

#include "packages/entry_names.h"
#include "system/update_folder.h"

namespace updater {

namespace {

constexpr std::string_view kHeaderRecord = "VOXA apply journal 3\n";
// The journal of the updaters before transactions: one package, no removes.
constexpr std::string_view kSinglePackageHeaderRecord = "VOXA apply journal 2\n";
constexpr std::string_view kHeaderWords = "VOXA apply journal ";
// A package's directory of at most 64 KiB holds a few thousand entries,
// whose records take at most about 2 MiB: this is room for a transaction of
// more than a dozen of the largest packages. A larger journal is never
// written.
constexpr int64_t kMaxJournalSize = 32 << 20;
constexpr int64_t kReadChunk = 1 << 20;
// "~mx" and up to this many digits.
constexpr size_t kMaxStagingDigits = 10;

uint32_t Checksum(std::string_view bytes, uint32_t continued = 0) {
  // zlib takes at most 4 GiB at once; a journal is far smaller.
  return static_cast<uint32_t>(crc32(continued, reinterpret_cast<const Bytef*>(bytes.data()),
                                     static_cast<uInt>(bytes.size())));
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

void AppendField(std::string& out, std::string_view field) {
  out += ' ';
  out += std::to_string(field.size());
  out += ':';
  out += field;
}

// The word of the mark that leads to `stage`.
std::string_view MarkWord(ApplyStage stage) {
  switch (stage) {
    case ApplyStage::Committed:
      return "commit";
    case ApplyStage::Placed:
      return "placed";
    case ApplyStage::RollingBack:
      return "rollback";
    case ApplyStage::Restored:
      return "restored";
    case ApplyStage::Staging:
      break;
  }
  return "";
}

std::string MarkRecord(uint32_t bodyChecksum, ApplyStage stage) {
  const std::string_view word = MarkWord(stage);
  return std::string(word) + ' ' + Hex(Checksum(word, bodyChecksum)) + '\n';
}

// The marks a copy holds after its body at each stage, in order.
std::vector<ApplyStage> MarksOf(ApplyStage stage) {
  switch (stage) {
    case ApplyStage::Staging:
      return {};
    case ApplyStage::Committed:
      return {ApplyStage::Committed};
    case ApplyStage::Placed:
      return {ApplyStage::Committed, ApplyStage::Placed};
    case ApplyStage::RollingBack:
      return {ApplyStage::Committed, ApplyStage::RollingBack};
    case ApplyStage::Restored:
      return {ApplyStage::Committed, ApplyStage::RollingBack, ApplyStage::Restored};
  }
  return {};
}

// The staged or aside name as stored: its file name in the target's folder.
std::string_view StoredName(const std::string& path, const std::string& target) {
  const std::string folder = FolderPart(target);
  std::string_view name = path;
  if (name.compare(0, folder.size(), folder) == 0) name.remove_prefix(folder.size());
  return name;
}

std::string EncodeBody(const ApplyJournal& journal, uint32_t* checksum) {
  std::string out(kHeaderRecord);
  for (const std::string& package : journal.Packages) {
    out += "package";
    AppendField(out, package);
    out += '\n';
  }
  for (const std::string& folder : journal.Folders) {
    out += "folder";
    AppendField(out, folder);
    out += '\n';
  }
  for (const JournalFile& file : journal.Files) {
    if (file.Removes) {
      out += "remove";
    } else {
      out += file.Existed ? "file 1 " : "file 0 ";
      out += std::to_string(file.Size);
    }
    AppendField(out, file.Target);
    if (!file.Removes) AppendField(out, StoredName(file.Staged, file.Target));
    AppendField(out, StoredName(file.Aside, file.Target));
    out += '\n';
  }
  out += "end " +
         std::to_string(journal.Packages.size() + journal.Folders.size() + journal.Files.size()) +
         ' ';
  *checksum = Checksum(out);
  out += Hex(*checksum) + '\n';
  return out;
}

// Reads the records of a journal one by one.
class RecordReader {
 public:
  explicit RecordReader(std::string_view bytes) : bytes_(bytes) {}

  size_t Position() const { return position_; }

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

  // " <eight lower-case hexadecimal digits>"
  bool HexField(uint32_t* value) {
    if (!Take(' ') || bytes_.size() - position_ < 8) return false;
    *value = 0;
    for (size_t end = position_ + 8; position_ < end; ++position_) {
      const char digit = bytes_[position_];
      const int nibble = digit >= '0' && digit <= '9'   ? digit - '0'
                         : digit >= 'a' && digit <= 'f' ? digit - 'a' + 10
                                                        : -1;
      if (nibble < 0) return false;
      *value = *value << 4 | static_cast<uint32_t>(nibble);
    }
    return true;
  }

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
           position_ - start < 18)
      *value = *value * 10 + static_cast<uint64_t>(bytes_[position_++] - '0');
    return position_ > start;
  }

  std::string_view bytes_;
  size_t position_ = 0;
};

// One copy's body: whole when every record up to "end" is there and its
// checksum holds.
struct CopyBody {
  bool Whole = false;
  bool OtherVersion = false;  // the header of another version of the journal
  ApplyJournal Journal;
  uint32_t Checksum = 0;
  size_t Length = 0;  // where the marks begin
};

// Parses a body that starts with `header`, one of the two versions read.
bool ParseBody(std::string_view bytes, std::string_view header, CopyBody* body) {
  if (bytes.substr(0, header.size()) != header) return false;
  // Version 2 has exactly one package and no removes.
  const bool singlePackage = header == kSinglePackageHeaderRecord;
  ApplyJournal& read = body->Journal;
  read = ApplyJournal();
  RecordReader reader(bytes.substr(header.size()));
  uint64_t records = 0;
  while (true) {
    std::string keyword;
    if (!reader.Keyword(&keyword)) return false;
    if (keyword == "end") {
      uint64_t count = 0;
      if (!reader.NumberField(&count) || count != records || read.Packages.empty()) return false;
      const size_t checked = header.size() + reader.Position() + 1;
      uint32_t checksum = 0;
      if (!reader.HexField(&checksum) || !reader.EndOfRecord()) return false;
      if (checksum != Checksum(bytes.substr(0, checked))) return false;
      body->Checksum = checksum;
      body->Length = header.size() + reader.Position();
      return true;
    }
    if (keyword == "package" && !(singlePackage && !read.Packages.empty())) {
      read.Packages.emplace_back();
      if (!reader.Field(&read.Packages.back())) return false;
    } else if (keyword == "remove" && !singlePackage) {
      JournalFile file;
      std::string aside;
      if (!reader.Field(&file.Target) || !reader.Field(&aside)) return false;
      file.Existed = true;
      file.Removes = true;
      file.Aside = FolderPart(file.Target) + aside;
      read.Files.push_back(std::move(file));
    } else if (keyword == "folder") {
      read.Folders.emplace_back();
      if (!reader.Field(&read.Folders.back())) return false;
    } else if (keyword == "file") {
      JournalFile file;
      uint64_t existed = 0, size = 0;
      std::string staged, aside;
      if (!reader.NumberField(&existed) || existed > 1 || !reader.NumberField(&size) ||
          !reader.Field(&file.Target) || !reader.Field(&staged) || !reader.Field(&aside))
        return false;
      file.Existed = existed == 1;
      file.Size = static_cast<int64_t>(size);
      file.Staged = FolderPart(file.Target) + staged;
      file.Aside = FolderPart(file.Target) + aside;
      read.Files.push_back(std::move(file));
    } else {
      return false;
    }
    if (!reader.EndOfRecord()) return false;
    ++records;
  }
}

CopyBody ReadCopyBody(std::string_view bytes) {
  CopyBody body;
  // Both headers have the same length.
  static_assert(kHeaderRecord.size() == kSinglePackageHeaderRecord.size());
  for (std::string_view header : {kHeaderRecord, kSinglePackageHeaderRecord})
    if (ParseBody(bytes, header, &body)) {
      body.Whole = true;
      return body;
    }
  if (bytes.size() < kHeaderRecord.size()) return body;
  const std::string_view header = bytes.substr(0, kHeaderRecord.size());
  if (header != kHeaderRecord && header != kSinglePackageHeaderRecord) {
    // A header with a changed byte: the checksum, which covers the header,
    // holds with the right one in its place only when nothing else changed.
    for (std::string_view known : {kHeaderRecord, kSinglePackageHeaderRecord}) {
      std::string repaired(bytes);
      repaired.replace(0, known.size(), known);
      if (ParseBody(repaired, known, &body)) {
        body.Whole = true;
        return body;
      }
    }
    body.OtherVersion = bytes.substr(0, kHeaderWords.size()) == kHeaderWords;
  }
  return body;
}

JournalRead DecodeCopies(std::string_view first, std::string_view second, ApplyJournal* journal,
                         uint32_t* checksum, std::string* reason) {
  const CopyBody bodies[2] = {ReadCopyBody(first), ReadCopyBody(second)};
  if (!bodies[0].Whole && !bodies[1].Whole) {
    if (bodies[0].OtherVersion || bodies[1].OtherVersion) {
      *reason = "it was written by another version of the updater";
      return JournalRead::Refused;
    }
    return JournalRead::Incomplete;
  }
  if (bodies[0].Whole && bodies[1].Whole &&
      (bodies[0].Checksum != bodies[1].Checksum || bodies[0].Length != bodies[1].Length)) {
    *reason = "its two copies differ";
    return JournalRead::Refused;
  }
  const CopyBody& body = bodies[0].Whole ? bodies[0] : bodies[1];
  // A mark counts wherever it appears after the body in either copy: a mark
  // that follows one whose writing failed part-way is found all the same.
  auto marked = [&](ApplyStage stage) {
    const std::string mark = MarkRecord(body.Checksum, stage);
    for (std::string_view copy : {first, second})
      if (copy.size() > body.Length && copy.substr(body.Length).find(mark) != std::string::npos)
        return true;
    return false;
  };
  ApplyStage stage = ApplyStage::Staging;
  for (ApplyStage candidate :
       {ApplyStage::Committed, ApplyStage::Placed, ApplyStage::RollingBack, ApplyStage::Restored}) {
    if (!marked(candidate)) continue;
    std::vector<ApplyStage> before = MarksOf(candidate);
    before.pop_back();
    if (MarksOf(stage) != before) {
      *reason = "its marks contradict each other";
      return JournalRead::Refused;
    }
    stage = candidate;
  }
  *journal = body.Journal;
  journal->Stage = stage;
  *checksum = body.Checksum;
  return JournalRead::Journal;
}

// Letter case ignored, as Windows file names compare.
std::string FoldedName(std::string name) {
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return name;
}

// "~mx" and a number: the names the updater gives its temporary files.
bool IsStagingName(std::string_view name) {
  const std::string_view prefix = kStagingPrefix;
  if (name.substr(0, prefix.size()) != prefix) return false;
  const std::string_view digits = name.substr(prefix.size());
  return !digits.empty() && digits.size() <= kMaxStagingDigits &&
         digits.find_first_not_of("0123456789") == std::string_view::npos;
}

bool Fail(std::string* cause, std::string text) {
  if (cause->empty()) *cause = std::move(text);
  return false;
}

// Runs `step` on the files `paths` once, or again as `wait` allows while
// one of them is held open by another program.
bool Step(HeldFileWait* wait, const std::vector<std::string>& paths,
          const std::function<bool(std::string*)>& step, std::string* error) {
  return wait ? wait->Retry(paths, step, error) : step(error);
}

// The folders that hold the targets and still exist, each once, for syncing
// the changes of their names.
std::vector<std::string> TargetFolders(FileSystem& files, const std::string& programFolder,
                                       const ApplyJournal& journal) {
  std::vector<std::string> folders;
  for (const JournalFile& file : journal.Files) {
    std::string folder = programFolder + FolderPart(file.Target);
    if (std::find(folders.begin(), folders.end(), folder) == folders.end())
      folders.push_back(folder);
  }
  folders.erase(std::remove_if(folders.begin(), folders.end(),
                               [&](const std::string& folder) { return !files.IsFolder(folder); }),
                folders.end());
  return folders;
}

bool SyncTargetFolders(FileSystem& files, const std::string& programFolder,
                       const ApplyJournal& journal, std::string* cause) {
  std::string error;
  return files.SyncFolders(TargetFolders(files, programFolder, journal), &error) ||
         Fail(cause, error);
}

// The file at `path` exists and has `size` bytes.
bool HasSize(FileSystem& files, const std::string& path, int64_t size) {
  // A file that cannot be opened or measured does not have the size asked.
  std::unique_ptr<File> file = files.OpenRead(path, false, nullptr);
  return file && file->Size(nullptr) == size;
}

// Every file still has its new content, staged or already in place (a
// removal can always be completed).
bool NewContentComplete(FileSystem& files, const std::string& programFolder,
                        const ApplyJournal& journal) {
  for (const JournalFile& file : journal.Files)
    if (!file.Removes && !files.Exists(programFolder + file.Staged) &&
        !HasSize(files, programFolder + file.Target, file.Size))
      return false;
  return true;
}

// Removes what an apply that never touched a target, or whose targets all
// have their old content again, left: the staged files and the folders it
// created when they are empty (anything put into them since stays, and so
// do they). The removals are made durable before the journal may go.
bool RemoveStaging(FileSystem& files, const std::string& programFolder, const ApplyJournal& journal,
                   std::string* cause) {
  bool removed = true;
  for (const JournalFile& file : journal.Files) {
    if (file.Removes) continue;
    const std::string staged = programFolder + file.Staged;
    std::string error;
    if (files.Exists(staged) && !files.Delete(staged, &error)) removed = Fail(cause, error);
  }
  // A created folder that stays (not empty, or held) is harmless: it is only
  // left as the apply found the place, with something in it.
  for (auto it = journal.Folders.rbegin(); it != journal.Folders.rend(); ++it)
    if (files.IsFolder(programFolder + *it))
      static_cast<void>(files.RemoveFolder(programFolder + *it, nullptr));
  return SyncTargetFolders(files, programFolder, journal, cause) && removed;
}

}  // namespace

std::string EncodeJournal(const ApplyJournal& journal) {
  uint32_t checksum = 0;
  std::string out = EncodeBody(journal, &checksum);
  for (ApplyStage mark : MarksOf(journal.Stage)) out += MarkRecord(checksum, mark);
  return out;
}

JournalRead DecodeJournal(std::string_view first, std::string_view second, ApplyJournal* journal,
                          std::string* reason) {
  uint32_t checksum = 0;
  return DecodeCopies(first, second, journal, &checksum, reason);
}

bool ConfineJournal(FileSystem& files, const std::string& programFolder,
                    const ApplyJournal& journal, std::string* reason) {
  auto refuse = [&](std::string text) {
    *reason = std::move(text);
    return false;
  };
  if (journal.Packages.empty()) return refuse("it names no package");
  std::vector<std::string> paths;
  for (const std::string& package : journal.Packages) {
    if (!IsPackageFileName(package))
      return refuse("the package " + package + " is not a package file name");
    paths.push_back(InUpdateFolder(package));
  }
  for (const std::string& folder : journal.Folders) {
    if (folder.empty() || folder.back() != '\\' || !IsSafeEntryName(folder))
      return refuse("the folder " + folder + " is not a name below the program folder");
    paths.push_back(folder);
  }
  std::set<std::string> targets, temporaries;
  std::multiset<std::string> namings;
  for (const JournalFile& file : journal.Files) {
    if (!IsSafeEntryName(file.Target) || file.Target.back() == '\\' || file.Target.back() == '/')
      return refuse("the file " + file.Target + " is not a name below the program folder");
    targets.insert(FoldedName(file.Target));
    namings.insert(FoldedName(file.Target));
  }
  for (const JournalFile& file : journal.Files) {
    // What a rollback would put back there could not be told.
    if (file.Removes && namings.count(FoldedName(file.Target)) > 1)
      return refuse("the removed file " + file.Target + " is named twice");
    paths.push_back(file.Target);
    const std::string folder = FolderPart(file.Target);
    std::vector<const std::string*> temporaryNames = {&file.Aside};
    if (!file.Removes) temporaryNames.push_back(&file.Staged);
    for (const std::string* name : temporaryNames) {
      if (name->compare(0, folder.size(), folder) != 0 ||
          !IsStagingName(std::string_view(*name).substr(folder.size())))
        return refuse("the temporary file " + *name + " of " + file.Target +
                      " is not named as the updater names them");
      if (!temporaries.insert(FoldedName(*name)).second || targets.count(FoldedName(*name)))
        return refuse("the temporary file " + *name + " is named twice");
      paths.push_back(*name);
    }
  }
  for (const std::string& path : paths) {
    std::string error;
    if (!files.StaysInside(programFolder, programFolder + path, &error))
      return refuse(path + " leads out of the program folder (" + error + ")");
  }
  return true;
}

std::string JournalPath(const std::string& programFolder) {
  return UpdateFolderPath(programFolder) + kApplyJournalName;
}

std::string JournalCopyPath(const std::string& programFolder) {
  return UpdateFolderPath(programFolder) + kApplyJournalCopyName;
}

bool JournalFiles::Create(FileSystem& files, const std::string& programFolder,
                          const ApplyJournal& journal, std::string* cause) {
  files_ = &files;
  paths_[0] = JournalPath(programFolder);
  paths_[1] = JournalCopyPath(programFolder);
  for (const std::string& path : paths_) {
    std::string error;
    if (!files.StaysInside(programFolder, path, &error))
      return Fail(cause, path + " leads out of the program folder (" + error + ")");
  }
  const std::string body = EncodeBody(journal, &bodyChecksum_);
  // Recovery would refuse it.
  if (static_cast<int64_t>(body.size()) > kMaxJournalSize - 1024)
    return Fail(cause, "the transaction is too large for its journal");
  // The copies and their names reach the disk before the first staged file
  // is made: a journal without a whole body can then only mean that nothing
  // was staged yet.
  bool written = true;
  std::string error;
  for (int i = 0; i < 2 && written; ++i) {
    copies_[i] = files.Create(paths_[i], &error);
    written = copies_[i] &&
              copies_[i]->Write(body.data(), static_cast<int64_t>(body.size()), &error) &&
              copies_[i]->Sync(&error);
  }
  written = written && files.SyncFolders({UpdateFolderPath(programFolder)}, &error);
  if (written) return true;
  Fail(cause, error);
  // A copy that stays holds no whole body, or one without marks: the next
  // recovery removes it either way, having nothing staged to undo.
  std::string ignored;
  static_cast<void>(Remove(&ignored));
  return false;
}

JournalFiles::Opened JournalFiles::Open(FileSystem& files, const std::string& programFolder,
                                        ApplyJournal* journal, std::string* cause) {
  files_ = &files;
  paths_[0] = JournalPath(programFolder);
  paths_[1] = JournalCopyPath(programFolder);
  const bool present[2] = {files.Exists(paths_[0]), files.Exists(paths_[1])};
  if (!present[0] && !present[1]) return Opened::None;
  std::string bytes[2];
  for (int i = 0; i < 2; ++i) {
    if (!present[i]) continue;
    const std::string shown = InUpdateFolder(i == 0 ? kApplyJournalName : kApplyJournalCopyName);
    std::string error;
    if (!files.StaysInside(programFolder, paths_[i], &error)) {
      Fail(cause, shown + " leads out of the program folder (" + error + ")");
      return Opened::Refused;
    }
    // Exclusive: the journal of an apply that another updater is running
    // now is locked, and is not this run's to finish. Read in pieces and
    // never past the limit, whatever size the file claims.
    copies_[i] = files.OpenReadAppend(paths_[i], &error);
    if (!copies_[i]) {
      Fail(cause, error);
      Close();
      return Opened::Failed;
    }
    while (true) {
      const size_t had = bytes[i].size();
      if (static_cast<int64_t>(had) > kMaxJournalSize) {
        Fail(cause, shown + " is larger than any journal");
        Close();
        return Opened::Refused;
      }
      bytes[i].resize(had + kReadChunk);
      const int64_t count = copies_[i]->Read(bytes[i].data() + had, kReadChunk, &error);
      if (count < 0) {
        Fail(cause, error);
        Close();
        return Opened::Failed;
      }
      bytes[i].resize(had + static_cast<size_t>(count));
      if (count == 0) break;
    }
  }
  std::string reason;
  switch (DecodeCopies(bytes[0], bytes[1], journal, &bodyChecksum_, &reason)) {
    case JournalRead::Incomplete:
      return Opened::Incomplete;
    case JournalRead::Refused:
      Fail(cause, reason);
      Close();
      return Opened::Refused;
    case JournalRead::Journal:
      break;
  }
  if (!ConfineJournal(files, programFolder, *journal, &reason)) {
    Fail(cause, reason);
    Close();
    return Opened::Refused;
  }
  return Opened::Journal;
}

bool JournalFiles::Mark(ApplyStage stage, std::string* cause) {
  const std::string mark = MarkRecord(bodyChecksum_, stage);
  bool any = false;
  for (std::unique_ptr<File>& copy : copies_) {
    if (!copy) continue;
    std::string error;
    if (!copy->Write(mark.data(), static_cast<int64_t>(mark.size()), &error) || !copy->Sync(&error))
      return Fail(cause, error);
    any = true;
  }
  return any || Fail(cause, "the apply journal is not open");
}

void JournalFiles::Close() {
  for (std::unique_ptr<File>& copy : copies_) copy.reset();
}

bool JournalFiles::Remove(std::string* cause) {
  // Closed first: an open copy is locked and cannot be deleted.
  Close();
  bool removed = true;
  for (const std::string& path : paths_) {
    std::string error;
    if (!path.empty() && files_->Exists(path) && !files_->Delete(path, &error))
      removed = Fail(cause, error);
  }
  return removed;
}

CommitResult CommitFiles(FileSystem& files, const std::string& programFolder,
                         const ApplyJournal& journal, bool resume, std::string* cause,
                         HeldFileWait* wait) {
  // A package may name one file twice in different letter case; where names
  // compare so, the later entry finds the earlier one's new content.
  std::set<std::string> seen;
  for (const JournalFile& file : journal.Files) {
    const std::string staged = programFolder + file.Staged;
    const std::string target = programFolder + file.Target;
    const std::string aside = programFolder + file.Aside;
    const bool namedBefore = !seen.insert(FoldedName(file.Target)).second;
    if (files.IsFolder(target)) {
      Fail(cause, "a folder is in the place of " + target);
      return CommitResult::MoveFailed;
    }
    if (file.Removes) {
      // Gone already: removed by an earlier commit of this journal, or by
      // someone else; either way there is nothing to keep.
      if (!files.Exists(target)) continue;
      // An aside that exists is the target's second name: the commit was
      // interrupted between making it and deleting the target.
      const bool hasAside = resume && files.Exists(aside);
      std::string error;
      auto keepAside = [&](std::string* why) { return files.KeepAside(target, aside, why); };
      auto remove = [&](std::string* why) {
        return !files.Exists(target) || files.Delete(target, why);
      };
      if ((!hasAside && !Step(wait, {target}, keepAside, &error)) ||
          !Step(wait, {target}, remove, &error)) {
        Fail(cause, error);
        return CommitResult::MoveFailed;
      }
      continue;
    }
    if (resume && !files.Exists(staged)) {
      // Placed by an earlier commit of this journal.
      if (HasSize(files, target, file.Size)) continue;
      Fail(cause, "the new content of " + target + " is missing");
      return CommitResult::MoveFailed;
    }
    const bool hasTarget = files.Exists(target);
    if (file.Existed) {
      const bool hasAside = resume && files.Exists(aside);
      if (!hasTarget && !hasAside) {
        Fail(cause, target + " is gone since the apply began");
        return CommitResult::MoveFailed;
      }
      std::string error;
      auto keepAside = [&](std::string* why) { return files.KeepAside(target, aside, why); };
      if (hasTarget && !hasAside && !Step(wait, {target}, keepAside, &error)) {
        Fail(cause, error);
        return CommitResult::MoveFailed;
      }
    } else if (hasTarget && !namedBefore) {
      // Not the package's to replace: a rollback could not give it back.
      Fail(cause, target + " appeared since the apply began");
      return CommitResult::MoveFailed;
    }
    std::string error;
    // A program that opened the new file just after it was written (a virus
    // scanner) holds it as much as one that holds the target.
    auto place = [&](std::string* why) { return files.Replace(staged, target, why); };
    if (!Step(wait, {target, staged}, place, &error)) {
      Fail(cause, error);
      return CommitResult::MoveFailed;
    }
  }
  if (!SyncTargetFolders(files, programFolder, journal, cause)) return CommitResult::SyncFailed;
  return CommitResult::Done;
}

bool RestoreFiles(FileSystem& files, const std::string& programFolder, const ApplyJournal& journal,
                  std::string* cause) {
  bool restored = true;
  std::string error;
  auto check = [&](bool done) {
    if (!done) restored = Fail(cause, error);
  };
  for (auto it = journal.Files.rbegin(); it != journal.Files.rend(); ++it) {
    const std::string staged = programFolder + it->Staged;
    const std::string target = programFolder + it->Target;
    const std::string aside = programFolder + it->Aside;
    const bool hasStaged = !it->Removes && files.Exists(staged);
    if (it->Existed && files.Exists(aside)) {
      // Not placed (or not deleted) yet, the target still holds the old
      // content, the aside being its second name; otherwise the old content
      // is only aside.
      const bool targetIsOld = (hasStaged || it->Removes) && files.Exists(target);
      check(targetIsOld ? files.Delete(aside, &error) : files.Replace(aside, target, &error));
    } else if (!it->Existed && !hasStaged && files.Exists(target)) {
      check(files.Delete(target, &error));  // the package created it
    }
  }
  return restored;
}

ApplyEnd ContinueApply(FileSystem& files, JournalFiles& journalFiles,
                       const std::string& programFolder, ApplyJournal& journal, bool resume,
                       std::string* cause, HeldFileWait* wait) {
  if (journal.Stage == ApplyStage::Committed) {
    switch (CommitFiles(files, programFolder, journal, resume, cause, wait)) {
      case CommitResult::Done:
        if (!journalFiles.Mark(ApplyStage::Placed, cause)) return ApplyEnd::Stopped;
        journal.Stage = ApplyStage::Placed;
        break;
      case CommitResult::SyncFailed:
        return ApplyEnd::Stopped;
      case CommitResult::MoveFailed:
        // Recorded before anything is undone: a rollback deletes files that
        // a commit would need.
        if (!journalFiles.Mark(ApplyStage::RollingBack, cause)) return ApplyEnd::Stopped;
        journal.Stage = ApplyStage::RollingBack;
        break;
    }
  }
  if (journal.Stage == ApplyStage::Placed) return ApplyEnd::Placed;
  if (journal.Stage == ApplyStage::RollingBack) {
    if (!RestoreFiles(files, programFolder, journal, cause) ||
        !SyncTargetFolders(files, programFolder, journal, cause) ||
        !journalFiles.Mark(ApplyStage::Restored, cause))
      return ApplyEnd::Stopped;
    journal.Stage = ApplyStage::Restored;
  }
  if (!RemoveStaging(files, programFolder, journal, cause) || !journalFiles.Remove(cause))
    return ApplyEnd::Stopped;
  return ApplyEnd::RolledBack;
}

bool FinishCommit(FileSystem& files, JournalFiles& journalFiles, const std::string& programFolder,
                  const ApplyJournal& journal, std::string* cause) {
  // The packages go first: while the journal stays, none of them can be
  // applied a second time, over what later packages bring, nor one alone
  // that is left of the transaction.
  for (const std::string& name : journal.Packages) {
    const std::string package = UpdateFolderPath(programFolder) + name;
    std::string error;
    if (files.Exists(package) && !files.Delete(package, &error))
      return Fail(cause, "cannot delete the package " + name + ": " + error);
  }
  bool removed = true;
  for (const JournalFile& file : journal.Files) {
    const std::string aside = programFolder + file.Aside;
    std::string error;
    if (file.Existed && files.Exists(aside) && !files.Delete(aside, &error))
      removed = Fail(cause, error);
  }
  // The journal goes only once the asides are gone for good; otherwise a
  // power loss could bring back an aside file that no journal names.
  return removed && SyncTargetFolders(files, programFolder, journal, cause) &&
         journalFiles.Remove(cause);
}

RecoveryOutcome RecoverUnfinishedApply(FileSystem& files, Report& report,
                                       const std::string& programFolder, std::string* reason) {
  JournalFiles journalFiles;
  ApplyJournal journal;
  std::string cause;
  auto failed = [&] {
    if (reason) *reason = cause;
    return RecoveryOutcome::Failed;
  };
  switch (journalFiles.Open(files, programFolder, &journal, &cause)) {
    case JournalFiles::Opened::None:
      return RecoveryOutcome::NothingToDo;
    case JournalFiles::Opened::Failed:
      report.Log("Cannot read the apply journal " + JournalPath(programFolder) + ": " + cause);
      return failed();
    case JournalFiles::Opened::Refused:
      report.Log("Refused the apply journal " + JournalPath(programFolder) + ": " + cause +
                 "; it stays, and nothing was changed");
      if (reason) *reason = cause;
      return RecoveryOutcome::Refused;
    case JournalFiles::Opened::Incomplete:
      // Both copies reach the disk whole before anything is staged.
      report.Log("Removed an incomplete apply journal; nothing had been staged");
      if (journalFiles.Remove(&cause)) return RecoveryOutcome::RolledBack;
      report.Log("Cannot remove the apply journal: " + cause);
      return failed();
    case JournalFiles::Opened::Journal:
      break;
  }
  std::string what;
  for (const std::string& package : journal.Packages) what += (what.empty() ? "" : ", ") + package;
  what += " (" + std::to_string(journal.Files.size()) + " files)";
  const char* const packagesStay =
      journal.Packages.size() == 1 ? "; the package stays" : "; the packages stay";
  bool forward = false;
  if (journal.Stage == ApplyStage::Committed) {
    forward = NewContentComplete(files, programFolder, journal);
    if (!forward && !journalFiles.Mark(ApplyStage::RollingBack, &cause)) {
      report.Log("Cannot roll back the unfinished apply of " + what + ": " + cause);
      return failed();
    }
    if (!forward) journal.Stage = ApplyStage::RollingBack;
  }
  switch (ContinueApply(files, journalFiles, programFolder, journal, true, &cause)) {
    case ApplyEnd::Placed:
      if (!FinishCommit(files, journalFiles, programFolder, journal, &cause)) {
        report.Log("Completed the interrupted apply of " + what +
                   ", but cannot remove what it left: " + cause);
        return failed();
      }
      report.Log("Completed the interrupted apply of " + what);
      return RecoveryOutcome::Completed;
    case ApplyEnd::RolledBack:
      if (forward)
        report.Log("Cannot complete the interrupted apply of " + what +
                   ", rolling it back: " + cause);
      report.Log("Rolled back the unfinished apply of " + what + packagesStay);
      return RecoveryOutcome::RolledBack;
    case ApplyEnd::Stopped:
      break;
  }
  if (journal.Stage == ApplyStage::Committed)
    report.Log("Cannot complete the interrupted apply of " + what + ": " + cause);
  else
    report.Log("Cannot roll back the unfinished apply of " + what + ": " + cause);
  return failed();
}

}  // namespace updater
