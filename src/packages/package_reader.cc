// The package reader.
#include "packages/package_reader.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>

#include "packages/content_hash.h"
#include "packages/file_sink.h"
#include "packages/package_codecs.h"
#include "packages/package_format.h"
#include "system/text.h"
#include "system/update_folder.h"

namespace updater {

namespace {

constexpr std::string_view kDecompressFailed = "Error: Failed to decompress file!";
constexpr std::string_view kWriteFailed = "Error: Failed to write file to disk!";
constexpr size_t kIndexBuckets = 512;
// The bytes that tell whether content starts like a program.
constexpr size_t kProgramStartLength = 4;
// Tries for a free name for a temporary file beside a target.
constexpr int kSiblingNameTries = 1000;

// Reads `size` bytes at `offset`; false, with the cause in `*cause` when the
// file system gave one, when it cannot read them all.
bool ReadAt(File& file, int64_t offset, int64_t size, uint8_t* out, std::string* cause) {
  return file.Seek(offset, cause) && file.Read(out, size, cause) == size;
}

// Variant S of the selection rule, as an index into `entry.Variants`, or -1
// when the entry leaves the table as it is.
int ChooseVariant(const PackageReader& reader, const DirectoryEntry& entry,
                  const EntryRecord* row) {
  int preferred = -1;  // the last variant with the preferred key
  for (size_t i = 0; i < entry.Variants.size(); ++i)
    if (entry.Variants[i].Key == reader.PreferredKey) preferred = static_cast<int>(i);
  if (!row) return preferred >= 0 ? preferred : 0;
  bool rowPreferred = row->Key == reader.PreferredKey;
  if (entry.Version > row->Version) {
    if (preferred >= 0) return preferred;
    return rowPreferred ? -1 : 0;
  }
  return rowPreferred ? -1 : preferred;
}

void MergeEntry(PackageReader& reader, const DirectoryEntry& entry,
                const std::shared_ptr<File>& package) {
  // An entry without variants has nothing to offer.
  if (entry.Variants.empty()) return;
  std::string name = AnsiToUtf8(entry.Name);
  auto found = reader.EntryIndex.find(name);
  EntryRecord* row =
      found == reader.EntryIndex.end() ? nullptr : &reader.EntryTable[found->second - 1];
  int chosen = ChooseVariant(reader, entry, row);
  if (chosen < 0) return;
  if (!row) {
    reader.EntryTable.emplace_back();
    reader.EntryIndex.emplace(name, reader.EntryTable.size());
    row = &reader.EntryTable.back();
  }
  const EntryVariant& variant = entry.Variants[static_cast<size_t>(chosen)];
  row->Name = name;
  row->Version = entry.Version;
  row->Key = variant.Key;
  row->Package = package;
  row->Offset = variant.Offset;
  row->Method = entry.Method;
  row->PackedSize = variant.PackedSize;
  row->Size = variant.Size;
}

bool Refuse(std::string* why, std::string reason) {
  *why = std::move(reason);
  return false;
}

// Bytes in memory as a source.
class MemorySource : public ByteSource {
 public:
  explicit MemorySource(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  int64_t Read(uint8_t* buffer, int64_t size) override {
    int64_t count = std::min(size, static_cast<int64_t>(bytes_.size()) - position_);
    if (count <= 0) return 0;
    std::memcpy(buffer, bytes_.data() + position_, static_cast<size_t>(count));
    position_ += count;
    return count;
  }

 private:
  const std::vector<uint8_t>& bytes_;
  int64_t position_ = 0;
};

// Decoded bytes appended to memory.
class MemorySink : public ByteSink {
 public:
  explicit MemorySink(std::vector<uint8_t>* bytes) : bytes_(bytes) {}
  bool Write(const uint8_t* data, int64_t size) override {
    bytes_->insert(bytes_->end(), data, data + size);
    return true;
  }

 private:
  std::vector<uint8_t>* bytes_;
};

// Reads the directory the header describes and decodes it in memory with the
// decoder of its method, as entries are decoded.
bool LoadDirectory(File& file, const PackageHeader& header, std::vector<uint8_t>* directory,
                   std::string* why) {
  if (header.DirSize == 0) return Refuse(why, "empty directory");
  const PackageCodec* codec = FindCodec(header.DirMethod);
  const int64_t packedSize =
      codec && codec->StoresContentAsIs ? header.DirSize : header.DirPackedSize;
  if (packedSize == 0) return Refuse(why, "empty packed directory");
  std::vector<uint8_t> packed(static_cast<size_t>(packedSize));
  // The refusal says what could not be read; the cause would not change it.
  if (!ReadAt(file, header.DirOffset, packedSize, packed.data(), nullptr))
    return Refuse(why, "cannot read the directory");
  // An unknown method is told only once its bytes were read, so that a
  // directory that cannot be read is reported as such whatever its method.
  if (!codec)
    return Refuse(why,
                  "unknown directory method " + std::to_string(static_cast<int>(header.DirMethod)));
  MemorySource source(packed);
  MemorySink sink(directory);
  directory->reserve(header.DirSize);
  if (DecodeStream(source, packedSize, header.DirSize, header.DirMethod, sink) != StreamResult::Ok)
    return Refuse(why, "cannot decode the directory");
  return true;
}

// The row's stored bytes as a source, read straight from the package.
class PackageSource : public ByteSource {
 public:
  explicit PackageSource(File& file) : file_(file) {}
  // A failed read shows as an entry that cannot be decoded, which is what
  // the console and the log say of it.
  int64_t Read(uint8_t* buffer, int64_t size) override { return file_.Read(buffer, size, nullptr); }

 private:
  File& file_;
};

// True when the row can be read at all: a method this reader knows, sizes
// its rule accepts and a block inside the package. Checked before anything
// is created, so that such a row is reported as a decode failure.
bool RowLooksReadable(const EntryRecord& row) {
  if (row.Offset < 0) return false;
  const PackageCodec* codec = FindCodec(row.Method);
  if (!codec || !codec->SizesReadable(row.PackedSize, row.Size)) return false;
  int64_t fileSize = row.Package->Size(nullptr);  // a size unknown is a row not readable
  return fileSize >= 0 && row.Offset <= fileSize - row.PackedSize;
}

// A short name in the folder of `target` that nothing uses yet: short, so
// that it fits wherever the target's own name fits.
std::string FreeStagingName(FileSystem& files, const std::string& target) {
  size_t separator = target.find_last_of("\\/");
  std::string folder =
      separator == std::string::npos ? std::string() : target.substr(0, separator + 1);
  for (int attempt = 1; attempt <= kSiblingNameTries; ++attempt) {
    std::string candidate = folder + kStagingPrefix + std::to_string(attempt);
    if (!files.Exists(candidate)) return candidate;
  }
  return std::string();
}

// Passes decoded bytes to the staged file, which it makes when the first of
// them comes (or, for a decoder that asks for the whole content as memory, as
// a mapped file of that size), and keeps taking them after the file could not
// be made or written, so that the decoder still finds out whether the entry
// is whole. The cause of the failure is kept.
class StagedFileSink : public ByteSink {
 public:
  StagedFileSink(PackageReader& reader, const std::string& path) : reader_(reader), path_(path) {}

  bool Write(const uint8_t* data, int64_t size) override {
    if (!started_) {
      started_ = true;
      std::string cause;
      file_ = reader_.Files.CreateDurable(path_, &cause);
      made_ = file_ != nullptr;
      if (file_)
        sink_.emplace(*file_);
      else
        Fail(cause);
    }
    if (!failed_ && sink_ && !sink_->Write(data, size)) Fail(sink_->Cause());
    KeepStart(data, size);
    Count(size);
    return true;
  }

  uint8_t* ContentMemory(int64_t size) override {
    if (started_) return nullptr;
    started_ = true;
    std::string cause;
    mapped_ = reader_.Files.CreateMapped(path_, size, &cause);
    made_ = mapped_ != nullptr;
    if (!mapped_) Fail(cause);
    return mapped_ ? mapped_->Data() : nullptr;
  }

  bool ContentFilled(int64_t count) override {
    if (mapped_) KeepStart(mapped_->Data() + filled_, count);
    filled_ += count;
    Count(count);
    return true;
  }

  // Closes the file after a decode: true when it holds every byte the decoder
  // gave (an empty file is made when none came). Otherwise Cause() says why.
  bool Finish() {
    if (!started_) Write(nullptr, 0);
    std::string cause;
    if (file_ && !file_->Close(&cause)) Fail(cause);
    if (mapped_ && !mapped_->Close(&cause)) Fail(cause);
    sink_.reset();
    file_.reset();
    mapped_.reset();
    return !failed_;
  }
  // Whether the file was made (and is to be deleted when the entry fails).
  bool Made() const { return made_; }
  const std::string& Cause() const { return cause_; }
  bool StartsLikeProgram() const {
    return LooksLikeProgram(reinterpret_cast<const uint8_t*>(start_.data()),
                            static_cast<int64_t>(start_.size()));
  }

 private:
  // Keeps the first failure's cause.
  void Fail(const std::string& cause) {
    if (!failed_) cause_ = cause;
    failed_ = true;
  }
  // Keeps the first bytes of the content, for StartsLikeProgram.
  void KeepStart(const uint8_t* data, int64_t size) {
    if (size <= 0) return;
    const size_t take = std::min(kProgramStartLength - start_.size(), static_cast<size_t>(size));
    start_.append(reinterpret_cast<const char*>(data), take);
  }
  void Count(int64_t size) {
    if (reader_.Progress.Total > 0 && size > 0) {
      reader_.Progress.Done += size;
      reader_.Report.Progress(reader_.Progress.Done, reader_.Progress.Total);
    }
  }

  PackageReader& reader_;
  const std::string& path_;
  bool started_ = false;
  bool made_ = false;
  bool failed_ = false;
  std::unique_ptr<File> file_;
  std::optional<FileSink> sink_;
  std::unique_ptr<MappedFile> mapped_;
  int64_t filled_ = 0;
  std::string start_;
  std::string cause_;
};

bool Fail(PackageReader& reader, std::string_view message, const std::string& cause) {
  reader.Report.Failure(message, cause);
  return false;
}

}  // namespace

void InitPackageReader(PackageReader& reader, int preferredKey) {
  reader.PreferredKey = preferredKey;
}

bool ReadPackageDirectory(File& file, PackageHeader* header, std::vector<DirectoryEntry>* entries,
                          std::string* why) {
  // A size that cannot be read (-1) is refused as too short.
  if (file.Size(nullptr) < kPackageHeaderSize) return Refuse(why, "too short for a package header");
  uint8_t headerBytes[kPackageHeaderSize];
  if (!ReadAt(file, 0, kPackageHeaderSize, headerBytes, nullptr))
    return Refuse(why, "cannot read the header");
  *header = DecodePackageHeader(headerBytes);
  if (std::memcmp(header->Magic, kPackageMagic, sizeof kPackageMagic) != 0)
    return Refuse(why, "not a package (wrong magic)");
  if (header->FormatVersion != kPackageFormatVersion)
    return Refuse(why, "unsupported format version " + std::to_string(header->FormatVersion));
  if (header->Flags & kUnsupportedFeatureFlags)
    return Refuse(why, "package flags mark it as unreadable: " + std::to_string(header->Flags));
  std::vector<uint8_t> directory;
  if (!LoadDirectory(file, *header, &directory, why)) return false;
  if (!ParseDirectory(directory.data(), static_cast<int64_t>(directory.size()), entries))
    return Refuse(why, "directory records run past the directory's end");
  return true;
}

bool OpenPackage(PackageReader& reader, const std::string& path) {
  std::string cause;
  std::shared_ptr<File> file = reader.Files.OpenRead(path, true, &cause);
  if (!file) {
    reader.Report.Log("Cannot open the package " + path + ": " + cause);
    return false;
  }
  // The whole directory is parsed before the table changes, so a refused
  // package leaves the reader as it was.
  PackageHeader header;
  std::vector<DirectoryEntry> entries;
  std::string why;
  if (!ReadPackageDirectory(*file, &header, &entries, &why)) {
    reader.Report.Log("Refused the package " + path + ": " + why);
    return false;
  }

  if (reader.EntryIndex.empty()) reader.EntryIndex.reserve(kIndexBuckets);
  for (const DirectoryEntry& entry : entries) MergeEntry(reader, entry, file);
  reader.OpenFiles.push_back(file);
  return true;
}

bool OpenPackages(PackageReader& reader, const std::vector<std::string>& paths,
                  std::string* failed) {
  // Each package is merged on its own by the usual rules first, so that only
  // the rows of different packages meet by the later-wins rule.
  std::deque<PackageReader> parts;
  for (const std::string& path : paths) {
    parts.emplace_back(reader.Files, reader.Report);
    InitPackageReader(parts.back(), reader.PreferredKey);
    if (OpenPackage(parts.back(), path)) continue;
    *failed = path;
    for (PackageReader& part : parts) ClosePackages(part);
    return false;
  }
  if (reader.EntryIndex.empty()) reader.EntryIndex.reserve(kIndexBuckets);
  for (PackageReader& part : parts) {
    for (EntryRecord& row : part.EntryTable) {
      auto found = reader.EntryIndex.find(row.Name);
      if (found != reader.EntryIndex.end()) {
        reader.EntryTable[found->second - 1] = std::move(row);
        continue;
      }
      reader.EntryTable.push_back(std::move(row));
      reader.EntryIndex.emplace(reader.EntryTable.back().Name, reader.EntryTable.size());
    }
    for (std::shared_ptr<File>& file : part.OpenFiles) reader.OpenFiles.push_back(std::move(file));
  }
  return true;
}

size_t FindEntry(const PackageReader& reader, const std::string& name) {
  auto found = reader.EntryIndex.find(name);
  return found == reader.EntryIndex.end() ? 0 : found->second;
}

std::string NextEntryName(PackageReader& reader) {
  if (reader.IterationCursor >= reader.EntryTable.size()) {
    reader.IterationCursor = 0;
    return std::string();
  }
  return reader.EntryTable[reader.IterationCursor++].Name;
}

bool RemovesTarget(const EntryRecord& row) {
  const PackageCodec* codec = FindCodec(row.Method);
  return codec && codec->RemovesTarget;
}

bool StageEntry(PackageReader& reader, const std::string& name, const std::string& targetPath,
                const std::string& stagedPath) {
  FileSystem& files = reader.Files;
  size_t position = FindEntry(reader, name);
  if (position == 0) return Fail(reader, kDecompressFailed, "no entry named " + name);
  const EntryRecord& row = reader.EntryTable[position - 1];
  if (RemovesTarget(row))
    return Fail(reader, kDecompressFailed, "the entry " + name + " removes its file: no content");
  if (!RowLooksReadable(row))
    return Fail(reader, kDecompressFailed, "the entry's data block of " + name + " is invalid");
  std::string cause;
  if (!row.Package->Seek(row.Offset, &cause)) return Fail(reader, kDecompressFailed, cause);

  // The entry is decoded to its end even when its file cannot be made or
  // written, so that a broken entry is always reported as one.
  PackageSource source(*row.Package);
  StagedFileSink sink(reader, stagedPath);
  DecodeContext context;
  context.TargetPath = targetPath;
  context.Files = &files;
  StreamResult result = DecodeStream(source, row.PackedSize, row.Size, row.Method, sink, context);
  const bool written = sink.Finish();
  if (result != StreamResult::Ok || !written) {
    // A staged copy left behind is removed by the next apply's start
    // (RemoveStagedCopies); the entry's own failure is what is reported.
    if (sink.Made()) static_cast<void>(files.Delete(stagedPath, nullptr));
    if (result == StreamResult::ReferenceMismatch)
      return Fail(reader, kDecompressFailed,
                  "the patch of " + name + " was not made from the present " + targetPath);
    if (result != StreamResult::Ok)
      return Fail(reader, kDecompressFailed,
                  "the data of " + name + " cannot be decoded (" + MethodName(row.Method) + ")");
    return Fail(reader, kWriteFailed, sink.Cause());
  }

  // A folder in the target's place, or a file that another opener holds,
  // cannot be replaced.
  const bool targetExists = files.Exists(targetPath);
  std::string blocked;
  if (targetExists && files.IsFolder(targetPath))
    blocked = "a folder is in the place of " + targetPath;
  else if (targetExists &&
           !reader.HeldFiles.Retry(
               {targetPath},
               [&](std::string* why) { return files.OpenRead(targetPath, true, why) != nullptr; },
               &blocked) &&
           blocked.empty())
    blocked = "cannot open " + targetPath;
  if (!blocked.empty()) {
    // As above: a staged copy left behind goes at the next apply's start.
    static_cast<void>(files.Delete(stagedPath, nullptr));
    return Fail(reader, kWriteFailed, blocked);
  }
  if (targetExists) {
    if (!files.CopyPermissions(targetPath, stagedPath, &cause))
      reader.Report.Log("Cannot give " + stagedPath + " the permissions of " + targetPath + ": " +
                        cause);
  } else if (sink.StartsLikeProgram() && !files.MakeExecutable(stagedPath, &cause)) {
    reader.Report.Log("Cannot make " + stagedPath + " executable: " + cause);
  }
  return true;
}

ReferenceCheck CheckPatchReference(PackageReader& reader, const std::string& name,
                                   const std::string& targetPath, std::string* cause) {
  size_t position = FindEntry(reader, name);
  if (position == 0) {
    *cause = "no entry named " + name;
    return ReferenceCheck::Failed;
  }
  const EntryRecord& row = reader.EntryTable[position - 1];
  const PackageCodec* codec = FindCodec(row.Method);
  if (!codec || !codec->DecodesAgainstTarget || !RowLooksReadable(row)) {
    *cause = "the entry " + name + " is no readable patch";
    return ReferenceCheck::Failed;
  }
  uint8_t expected[kPatchHashSize];
  if (!ReadAt(*row.Package, row.Offset, kPatchHashSize, expected, cause)) {
    if (cause->empty()) *cause = "the patch of " + name + " is shorter than its header";
    return ReferenceCheck::Failed;
  }
  ContentHash present;
  std::string error;
  if (!HashFile(reader.Files, targetPath, &present, &error)) {
    *cause = "the patch of " + name + " cannot read " + targetPath + ": " + error;
    return ReferenceCheck::Differs;
  }
  if (std::memcmp(present.data(), expected, kPatchHashSize) != 0) {
    *cause = "the patch of " + name + " was not made from the present " + targetPath;
    return ReferenceCheck::Differs;
  }
  return ReferenceCheck::Matches;
}

bool ExtractEntry(PackageReader& reader, const std::string& name, const std::string& targetPath) {
  FileSystem& files = reader.Files;
  std::string temporary = FreeStagingName(files, targetPath);
  if (temporary.empty())
    return Fail(reader, kWriteFailed, "no free temporary name beside " + targetPath);
  if (!StageEntry(reader, name, targetPath, temporary)) return false;
  std::string cause;
  if (!files.Replace(temporary, targetPath, &cause)) {
    // A staged copy left behind goes at the next apply's start.
    static_cast<void>(files.Delete(temporary, nullptr));
    return Fail(reader, kWriteFailed, cause);
  }
  return true;
}

void RemoveStagedCopies(FileSystem& files, const std::string& folder) {
  std::vector<FolderEntry> entries;
  // A copy that stays is only a stray file, never read; the next start tries
  // again. Hence neither failure is anyone's to handle.
  if (!files.ListFolder(folder, std::string(kStagingPrefix) + "*", &entries, nullptr)) return;
  for (const FolderEntry& entry : entries)
    if (!entry.IsFolder) static_cast<void>(files.Delete(folder + entry.Name, nullptr));
}

void ClosePackages(PackageReader& reader) {
  // A package is only read: a failed close loses nothing.
  for (const std::shared_ptr<File>& file : reader.OpenFiles)
    static_cast<void>(file->Close(nullptr));
  reader.OpenFiles.clear();
  reader.EntryTable.clear();
  reader.EntryIndex.clear();
  reader.IterationCursor = 0;
}

}  // namespace updater
