// Feeds arbitrary bytes to the package reader as a downloaded package: the
// header, the directory and the selection of entries, then every entry
// decoded both ways the reader can, into memory and streamed into a file.
// Both ways must agree on which entries decode and on their content (an
// empty stored entry is an empty file); a remove entry decodes neither way,
// and a patch decodes only when its reference check finds the target to be
// the file it was made from. Every entry's target holds a fixed reference
// first, the file the patches of the seed corpus were made from
// (fuzz/corpus/package_reader/patch.mxu); empty_and_remove.mxu holds empty
// and remove entries.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "packages/package_memory_reader.h"
#include "packages/package_reader.h"
#include "system/report.h"

namespace {

using updater::File;
using updater::FileSystem;
using updater::FolderEntry;
using updater::LockOutcome;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// Entries larger than this are skipped: decoding them proves nothing more and
// only makes the fuzzer slow.
constexpr int64_t kLargestEntry = 1 << 22;

// The content of every target before its entry is decoded: 200 lines
// "reference line N", as `for i in $(seq 0 199); do printf 'reference line
// %d\n' $i; done` writes them.
std::string Reference() {
  std::string reference;
  for (int i = 0; i < 200; ++i) reference += "reference line " + std::to_string(i) + "\n";
  return reference;
}

// A file held in memory as a map: its string, which must not change size
// while mapped.
class MemoryMap : public updater::MappedFile {
 public:
  explicit MemoryMap(std::string* content) : content_(content) {}
  uint8_t* Data() override {
    return content_->empty() ? nullptr : reinterpret_cast<uint8_t*>(content_->data());
  }
  int64_t Size() const override { return static_cast<int64_t>(content_->size()); }
  bool Close(std::string*) override { return true; }

 private:
  std::string* content_;
};

// A file held in memory; written files land in `contents`.
class MemoryFile : public File {
 public:
  MemoryFile(std::string* content, bool writable) : content_(content), writable_(writable) {}
  bool Seek(int64_t offset, std::string*) override {
    if (offset < 0) return false;
    position_ = offset;
    return true;
  }
  int64_t Read(void* buffer, int64_t size, std::string*) override {
    if (position_ >= static_cast<int64_t>(content_->size())) return 0;
    int64_t count = std::min<int64_t>(size, static_cast<int64_t>(content_->size()) - position_);
    std::memcpy(buffer, content_->data() + position_, static_cast<size_t>(count));
    position_ += count;
    return count;
  }
  bool Write(const void* buffer, int64_t size, std::string*) override {
    if (!writable_) return false;
    content_->append(static_cast<const char*>(buffer), static_cast<size_t>(size));
    return true;
  }
  bool Flush(std::string*) override { return true; }
  bool Sync(std::string*) override { return true; }
  int64_t Size(std::string*) override { return static_cast<int64_t>(content_->size()); }
  bool Close(std::string*) override { return true; }

 private:
  std::string* content_;
  bool writable_;
  int64_t position_ = 0;
};

// The package at "p.mxu"; everything else is written into memory.
class MemoryFileSystem : public FileSystem {
 public:
  std::map<std::string, std::string> Files;

  std::unique_ptr<File> OpenRead(const std::string& path, bool, std::string*) override {
    auto found = Files.find(path);
    if (found == Files.end()) return nullptr;
    return std::make_unique<MemoryFile>(&found->second, false);
  }
  std::unique_ptr<File> Create(const std::string& path, std::string*) override {
    Files[path].clear();
    return std::make_unique<MemoryFile>(&Files[path], true);
  }
  std::unique_ptr<File> CreateDurable(const std::string& path, std::string* cause) override {
    return Create(path, cause);
  }
  std::unique_ptr<File> OpenAppend(const std::string& path, std::string*) override {
    return std::make_unique<MemoryFile>(&Files[path], true);
  }
  bool Exists(const std::string& path) override { return Files.count(path) > 0; }
  bool IsFolder(const std::string&) override { return false; }
  bool Delete(const std::string& path, std::string*) override { return Files.erase(path) > 0; }
  bool Copy(const std::string&, const std::string&, std::string*) override { return false; }
  bool Replace(const std::string& from, const std::string& to, std::string*) override {
    auto found = Files.find(from);
    if (found == Files.end()) return false;
    std::string content = std::move(found->second);
    Files.erase(found);
    Files[to] = std::move(content);
    return true;
  }
  bool KeepAside(const std::string&, const std::string&, std::string*) override { return false; }
  std::unique_ptr<File> OpenReadAppend(const std::string&, std::string*) override {
    return nullptr;
  }
  bool StaysInside(const std::string&, const std::string&, std::string*) override { return true; }
  bool CreateFolder(const std::string&, std::string*) override { return true; }
  bool RemoveFolder(const std::string&, std::string*) override { return true; }
  bool SyncFiles(const std::vector<std::string>&, std::string*) override { return true; }
  bool SyncFolders(const std::vector<std::string>&, std::string*) override { return true; }
  bool ListFolder(const std::string&, const std::string&, std::vector<FolderEntry>*,
                  std::string*) override {
    return false;
  }
  bool CopyPermissions(const std::string&, const std::string&, std::string*) override {
    return true;
  }
  bool MakeExecutable(const std::string&, std::string*) override { return true; }
  std::unique_ptr<File> OpenStateFile(const std::string& path, bool exclusive,
                                      std::string* cause) override {
    return OpenRead(path, exclusive, cause);
  }
  LockOutcome TryLock(const std::string&, std::unique_ptr<File>*, std::string*) override {
    return LockOutcome::Failed;
  }
  std::unique_ptr<updater::MappedFile> MapRead(const std::string& path, std::string*) override {
    auto found = Files.find(path);
    if (found == Files.end()) return nullptr;
    return std::make_unique<MemoryMap>(&found->second);
  }
  std::unique_ptr<updater::MappedFile> CreateMapped(const std::string& path, int64_t size,
                                                    std::string*) override {
    if (size < 0 || size > kLargestEntry) return nullptr;
    Files[path].assign(static_cast<size_t>(size), '\0');
    return std::make_unique<MemoryMap>(&Files[path]);
  }
  bool HeldOpenElsewhere(const std::string&) override { return false; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string reference = Reference();
  MemoryFileSystem files;
  files.Files["p.mxu"].assign(reinterpret_cast<const char*>(data), size);
  updater::SilentReport report;
  updater::PackageReader reader(files, report);
  updater::InitPackageReader(reader, 0);
  if (!updater::OpenPackage(reader, "p.mxu")) {
    Require(reader.EntryTable.empty() && reader.OpenFiles.empty());
    return 0;
  }
  size_t names = 0;
  for (std::string name = updater::NextEntryName(reader); !name.empty();
       name = updater::NextEntryName(reader)) {
    ++names;
    Require(names <= reader.EntryTable.size());
    const size_t position = updater::FindEntry(reader, name);
    Require(position >= 1 && position <= reader.EntryTable.size());
    const updater::EntryRecord& row = reader.EntryTable[position - 1];
    if (row.Size > kLargestEntry || row.PackedSize > kLargestEntry) continue;

    files.Files["out"] = reference;
    const updater::PackageCodec* codec = updater::FindCodec(row.Method);
    std::string cause;
    const bool patchFits = codec && codec->DecodesAgainstTarget &&
                           updater::CheckPatchReference(reader, name, "out", &cause) ==
                               updater::ReferenceCheck::Matches;
    updater::DecodeContext context;
    context.TargetPath = "out";
    context.Files = &files;
    updater::MemoryBlock content;
    size_t loaded = 0;
    const bool inMemory = updater::LoadEntry(reader, name, &content, &loaded, context);
    const bool streamed = updater::ExtractEntry(reader, name, "out");
    Require(inMemory == streamed);
    if (updater::RemovesTarget(row)) Require(!inMemory);
    if (codec && codec->DecodesAgainstTarget && inMemory) Require(patchFits);
    if (inMemory) {
      Require(loaded == position && content.Size == row.Size);
      const std::string& written = files.Files["out"];
      Require(written.size() == static_cast<size_t>(content.Size));
      Require(written.empty() ||
              std::memcmp(written.data(), content.Data.get(), written.size()) == 0);
    }
  }
  updater::ClosePackages(reader);
  return 0;
}
