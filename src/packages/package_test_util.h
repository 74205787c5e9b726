// Helpers shared by the package tests: a program on a real temporary folder,
// package building, and file systems whose disk fills up, whose calls fail
// or whose run is interrupted, and one that skips syncs.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "packages/entry_decoder.h"
#include "packages/package_reader.h"
#include "packages/package_writer.h"
#include "support/recording_report.h"
#include "support/temp_folder.h"
#include "system/platform.h"

namespace updater::testing {

// The real file system (or `below`); test file systems override what they
// change.
class ForwardingFileSystem : public FileSystem {
 public:
  explicit ForwardingFileSystem(FileSystem& below = RealPlatform().Files) : real_(below) {}

  std::unique_ptr<File> OpenRead(const std::string& path, bool exclusive,
                                 std::string* cause) override {
    return real_.OpenRead(path, exclusive, cause);
  }
  std::unique_ptr<File> Create(const std::string& path, std::string* cause) override {
    return real_.Create(path, cause);
  }
  std::unique_ptr<File> CreateDurable(const std::string& path, std::string* cause) override {
    return real_.CreateDurable(path, cause);
  }
  std::unique_ptr<File> OpenAppend(const std::string& path, std::string* cause) override {
    return real_.OpenAppend(path, cause);
  }
  bool Exists(const std::string& path) override { return real_.Exists(path); }
  bool IsFolder(const std::string& path) override { return real_.IsFolder(path); }
  bool Delete(const std::string& path, std::string* cause) override {
    return real_.Delete(path, cause);
  }
  bool Copy(const std::string& from, const std::string& to, std::string* cause) override {
    return real_.Copy(from, to, cause);
  }
  bool Replace(const std::string& from, const std::string& to, std::string* cause) override {
    return real_.Replace(from, to, cause);
  }
  bool KeepAside(const std::string& path, const std::string& aside, std::string* cause) override {
    return real_.KeepAside(path, aside, cause);
  }
  bool CreateFolder(const std::string& path, std::string* cause) override {
    return real_.CreateFolder(path, cause);
  }
  bool RemoveFolder(const std::string& path, std::string* cause) override {
    return real_.RemoveFolder(path, cause);
  }
  bool SyncFiles(const std::vector<std::string>& paths, std::string* cause) override {
    return real_.SyncFiles(paths, cause);
  }
  bool SyncFolders(const std::vector<std::string>& folders, std::string* cause) override {
    return real_.SyncFolders(folders, cause);
  }
  bool ListFolder(const std::string& folder, const std::string& pattern,
                  std::vector<FolderEntry>* entries, std::string* cause) override {
    return real_.ListFolder(folder, pattern, entries, cause);
  }
  bool CopyPermissions(const std::string& from, const std::string& to,
                       std::string* cause) override {
    return real_.CopyPermissions(from, to, cause);
  }
  bool MakeExecutable(const std::string& path, std::string* cause) override {
    return real_.MakeExecutable(path, cause);
  }
  std::unique_ptr<File> OpenReadAppend(const std::string& path, std::string* cause) override {
    return real_.OpenReadAppend(path, cause);
  }
  bool StaysInside(const std::string& folder, const std::string& path,
                   std::string* cause) override {
    return real_.StaysInside(folder, path, cause);
  }
  std::unique_ptr<File> OpenStateFile(const std::string& path, bool exclusive,
                                      std::string* cause) override {
    return real_.OpenStateFile(path, exclusive, cause);
  }
  LockOutcome TryLock(const std::string& path, std::unique_ptr<File>* lock,
                      std::string* cause) override {
    return real_.TryLock(path, lock, cause);
  }
  std::unique_ptr<MappedFile> MapRead(const std::string& path, std::string* cause) override {
    return real_.MapRead(path, cause);
  }
  std::unique_ptr<MappedFile> CreateMapped(const std::string& path, int64_t size,
                                           std::string* cause) override {
    return real_.CreateMapped(path, size, cause);
  }
  bool HeldOpenElsewhere(const std::string& path) override { return real_.HeldOpenElsewhere(path); }

 protected:
  // A real file whose writes and syncs go through `write(file, buffer, size,
  // cause)` and `sync(file, cause)`, which make the real calls they allow.
  template <typename Write, typename Sync>
  static std::unique_ptr<File> Watched(std::unique_ptr<File> file, Write write, Sync sync) {
    if (!file) return nullptr;
    return std::make_unique<WatchedFile<Write, Sync>>(std::move(file), write, sync);
  }

  FileSystem& real_;

 private:
  template <typename OnWrite, typename OnSync>
  class WatchedFile : public File {
   public:
    WatchedFile(std::unique_ptr<File> file, OnWrite write, OnSync sync)
        : file_(std::move(file)), write_(write), sync_(sync) {}
    bool Seek(int64_t offset, std::string* cause) override { return file_->Seek(offset, cause); }
    int64_t Read(void* buffer, int64_t size, std::string* cause) override {
      return file_->Read(buffer, size, cause);
    }
    bool Write(const void* buffer, int64_t size, std::string* cause) override {
      return write_(*file_, buffer, size, cause);
    }
    bool Flush(std::string* cause) override { return file_->Flush(cause); }
    bool Sync(std::string* cause) override { return sync_(*file_, cause); }
    int64_t Size(std::string* cause) override { return file_->Size(cause); }
    bool Close(std::string* cause) override { return file_->Close(cause); }

   private:
    std::unique_ptr<File> file_;
    OnWrite write_;
    OnSync sync_;
  };
};

// The real file system, except that files it creates take only `capacity`
// bytes in all before their writes fail, as on a full disk.
class DiskFullFileSystem : public ForwardingFileSystem {
 public:
  int64_t Capacity = 0;

  std::unique_ptr<File> Create(const std::string& path, std::string* cause) override {
    auto write = [this](File& file, const void* buffer, int64_t size, std::string* cause) {
      int64_t fits = std::min(size, Capacity);
      Capacity -= fits;
      // A short write puts down what fits, as a full disk does.
      if (fits > 0 && !file.Write(buffer, fits, cause)) return false;
      if (fits == size) return true;
      if (cause) *cause = "disk full";
      return false;
    };
    auto sync = [](File& file, std::string* cause) { return file.Sync(cause); };
    return Watched(real_.Create(path, cause), write, sync);
  }
  std::unique_ptr<File> CreateDurable(const std::string& path, std::string* cause) override {
    return Create(path, cause);
  }
  // A mapped file takes its whole space when it is made.
  std::unique_ptr<MappedFile> CreateMapped(const std::string& path, int64_t size,
                                           std::string* cause) override {
    if (size > Capacity) {
      if (cause) *cause = "disk full";
      return nullptr;
    }
    Capacity -= size;
    return real_.CreateMapped(path, size, cause);
  }
};

// The real file system without making anything durable: for tests of what
// the logic does with the files, where waiting for the disk only costs time.
class UnsyncedFileSystem : public ForwardingFileSystem {
 public:
  std::unique_ptr<File> Create(const std::string& path, std::string* cause) override {
    return Unsynced(real_.Create(path, cause));
  }
  std::unique_ptr<File> CreateDurable(const std::string& path, std::string* cause) override {
    return Unsynced(real_.Create(path, cause));
  }
  std::unique_ptr<File> OpenReadAppend(const std::string& path, std::string* cause) override {
    return Unsynced(real_.OpenReadAppend(path, cause));
  }
  bool SyncFiles(const std::vector<std::string>&, std::string*) override { return true; }
  bool SyncFolders(const std::vector<std::string>&, std::string*) override { return true; }

 private:
  static std::unique_ptr<File> Unsynced(std::unique_ptr<File> file) {
    auto write = [](File& real, const void* buffer, int64_t size, std::string* cause) {
      return real.Write(buffer, size, cause);
    };
    return Watched(std::move(file), write, [](File&, std::string*) { return true; });
  }
};

// Ends a run in the middle, as a kill or a power cut does: thrown by
// InterruptingFileSystem and caught by the test.
struct Interrupted {};

// The real file system, interrupted at its Nth call of a kind: in Crash mode
// that call throws Interrupted before it does anything, so nothing of the run
// happens after it; in Fail mode it fails, with a cause, as a full disk or a
// file in use makes it fail, and the run goes on; in FailFromThenOn mode it
// and every later call of its kind fail, as on a disk that turned read-only.
// The kinds: every change (a file or folder created, written, synced, moved,
// deleted or given permissions), or only the moves (Replace and KeepAside),
// only the deletions, or only the writes into files.
class InterruptingFileSystem : public ForwardingFileSystem {
 public:
  enum class Mode { Crash, Fail, FailFromThenOn };
  enum class Calls { Changes, Moves, Deletions, Writes };

  InterruptingFileSystem(Mode mode, int64_t interruptAt, Calls counted = Calls::Changes,
                         FileSystem& below = RealPlatform().Files)
      : ForwardingFileSystem(below), mode_(mode), interruptAt_(interruptAt), counted_(counted) {}

  bool WasInterrupted() const { return !interruptedCall_.empty(); }
  // What the (first) interrupted call was, e.g. "Delete C:\App\x".
  const std::string& InterruptedCall() const { return interruptedCall_; }

  std::unique_ptr<File> Create(const std::string& path, std::string* cause) override {
    return Change(Calls::Changes, "Create " + path, cause) ? Watch(real_.Create(path, cause))
                                                           : nullptr;
  }
  std::unique_ptr<File> CreateDurable(const std::string& path, std::string* cause) override {
    return Change(Calls::Changes, "CreateDurable " + path, cause)
               ? Watch(real_.CreateDurable(path, cause))
               : nullptr;
  }
  std::unique_ptr<File> OpenAppend(const std::string& path, std::string* cause) override {
    return Change(Calls::Changes, "OpenAppend " + path, cause)
               ? Watch(real_.OpenAppend(path, cause))
               : nullptr;
  }
  std::unique_ptr<File> OpenReadAppend(const std::string& path, std::string* cause) override {
    return Watch(real_.OpenReadAppend(path, cause));
  }
  bool Delete(const std::string& path, std::string* cause) override {
    return Change(Calls::Deletions, "Delete " + path, cause) && real_.Delete(path, cause);
  }
  bool Copy(const std::string& from, const std::string& to, std::string* cause) override {
    return Change(Calls::Changes, "Copy " + to, cause) && real_.Copy(from, to, cause);
  }
  bool Replace(const std::string& from, const std::string& to, std::string* cause) override {
    return Change(Calls::Moves, "Replace " + to, cause) && real_.Replace(from, to, cause);
  }
  bool KeepAside(const std::string& path, const std::string& aside, std::string* cause) override {
    return Change(Calls::Moves, "KeepAside " + path, cause) && real_.KeepAside(path, aside, cause);
  }
  bool CreateFolder(const std::string& path, std::string* cause) override {
    return Change(Calls::Changes, "CreateFolder " + path, cause) && real_.CreateFolder(path, cause);
  }
  bool RemoveFolder(const std::string& path, std::string* cause) override {
    return Change(Calls::Changes, "RemoveFolder " + path, cause) && real_.RemoveFolder(path, cause);
  }
  bool SyncFiles(const std::vector<std::string>& paths, std::string* cause) override {
    return Change(Calls::Changes, "SyncFiles", cause) && real_.SyncFiles(paths, cause);
  }
  bool SyncFolders(const std::vector<std::string>& folders, std::string* cause) override {
    return Change(Calls::Changes, "SyncFolders", cause) && real_.SyncFolders(folders, cause);
  }
  bool CopyPermissions(const std::string& from, const std::string& to,
                       std::string* cause) override {
    return Change(Calls::Changes, "CopyPermissions " + to, cause) &&
           real_.CopyPermissions(from, to, cause);
  }
  bool MakeExecutable(const std::string& path, std::string* cause) override {
    return Change(Calls::Changes, "MakeExecutable " + path, cause) &&
           real_.MakeExecutable(path, cause);
  }
  std::unique_ptr<MappedFile> CreateMapped(const std::string& path, int64_t size,
                                           std::string* cause) override {
    return Change(Calls::Changes, "CreateMapped " + path, cause)
               ? real_.CreateMapped(path, size, cause)
               : nullptr;
  }

 private:
  std::unique_ptr<File> Watch(std::unique_ptr<File> file) {
    auto write = [this](File& real, const void* buffer, int64_t size, std::string* cause) {
      return Change(Calls::Writes, "Write", cause) && real.Write(buffer, size, cause);
    };
    auto sync = [this](File& real, std::string* cause) {
      return Change(Calls::Changes, "Sync", cause) && real.Sync(cause);
    };
    return Watched(std::move(file), write, sync);
  }

  // Counts one call of `kind` when it is of the kind counted; false (with
  // the cause in `*cause`) or a throw when it is to be interrupted.
  bool Change(Calls kind, const std::string& call, std::string* cause) {
    if (counted_ != Calls::Changes && kind != counted_) return true;
    ++calls_;
    const bool interrupted =
        mode_ == Mode::FailFromThenOn ? calls_ >= interruptAt_ : calls_ == interruptAt_;
    if (!interrupted) return true;
    if (interruptedCall_.empty()) interruptedCall_ = call;
    if (mode_ == Mode::Crash) throw testing::Interrupted{};
    if (cause) *cause = "interrupted by the test: " + call;
    return false;
  }

  Mode mode_;
  int64_t interruptAt_;
  Calls counted_;
  int64_t calls_ = 0;
  std::string interruptedCall_;
};

// A program folder that is a fresh temporary folder, with a package reader
// on the real file system whose lines are recorded. Packages still open at the
// end are closed.
struct Installation {
  Installation() = default;
  ~Installation() {
    Holder.reset();
    ClosePackages(Reader);
  }
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  // A path below the program folder, in the program's "\" form.
  std::string At(const std::string& relative) const { return ProgramFolder + relative; }
  // The same path for the test's own file helpers.
  static std::string Native(std::string path) {
#ifndef _WIN32
    std::replace(path.begin(), path.end(), '\\', '/');
#endif
    return path;
  }
  std::string Read(const std::string& relative) const {
    return ReadWholeFile(Native(At(relative)));
  }
  void Write(const std::string& relative, const std::string& content) const {
    WriteWholeFile(Native(At(relative)), content);
  }
  bool Has(const std::string& relative) const { return FileExists(Native(At(relative))); }
  const std::vector<std::string>& Lines() const { return Report.Lines; }

  // Writes a package of entries, each one variant with key 0.
  void Pack(const std::string& relative,
            const std::vector<std::pair<std::string, std::string>>& files,
            MethodChoice method = kBestMethod) const {
    std::vector<EntryInput> entries;
    for (const auto& [name, content] : files)
      entries.push_back({name, 1, method, {{0, std::string(), content}}});
    std::string error;
    ASSERT_TRUE(WritePackage(Native(At(relative)), entries, {}, &error)) << error;
  }

  // The names in the temporary folder and below, sorted, folders ending
  // with "/".
  std::vector<std::string> Tree() const {
    std::vector<std::string> names;
    std::filesystem::path root = std::filesystem::u8path(Native(Folder.Path()));
    for (const auto& item : std::filesystem::recursive_directory_iterator(root))
      names.push_back(item.path().lexically_relative(root).generic_u8string() +
                      (item.is_directory() ? "/" : ""));
    std::sort(names.begin(), names.end());
    return names;
  }

  TempFolder Folder;
  std::string ProgramFolder = Folder.Path();
  RecordingReport Report;
  FileSystem& Files = RealPlatform().Files;
  PackageReader Reader{Files, Report};
  std::unique_ptr<File> Holder;  // a file a test keeps open
};

class PackageTest : public ::testing::Test, public Installation {};

// Stored bytes from a string, handed out in pieces of at most `largestRead`
// bytes (an uneven size makes chunk borders fall everywhere); Reads counts
// the calls.
class StringSource : public ByteSource {
 public:
  explicit StringSource(std::string bytes, int64_t largestRead = INT64_MAX)
      : bytes_(std::move(bytes)), largestRead_(largestRead) {}
  int64_t Read(uint8_t* buffer, int64_t size) override {
    const int64_t count =
        std::min<int64_t>({size, largestRead_, static_cast<int64_t>(bytes_.size() - pos_)});
    std::copy(bytes_.begin() + pos_, bytes_.begin() + pos_ + count, buffer);
    pos_ += static_cast<size_t>(count);
    Reads += 1;
    return count;
  }
  int Reads = 0;

 private:
  std::string bytes_;
  int64_t largestRead_;
  size_t pos_ = 0;
};

// Keeps what it is given, up to Capacity bytes (a write past it fails, as
// on a full disk); Calls counts every call, also to ContentMemory, which it
// never grants.
class StringSink : public ByteSink {
 public:
  bool Write(const uint8_t* data, int64_t size) override {
    ++Calls;
    if (static_cast<int64_t>(Bytes.size()) + size > Capacity) return false;
    Bytes.append(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
    return true;
  }
  uint8_t* ContentMemory(int64_t) override {
    ++Calls;
    return nullptr;
  }
  std::string Bytes;
  int64_t Capacity = INT64_MAX;
  int Calls = 0;
};

// Deterministic bytes that compress somewhat, like program files do.
inline std::string SampleBytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<char>((state >> 16) % ((i / 4096) % 2 ? 256 : 16));
  }
  return bytes;
}

}  // namespace updater::testing
