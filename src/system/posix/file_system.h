// Files and folders on POSIX. Exclusive opens take an advisory lock (flock),
// which creating, replacing and deleting respect, so a file held open by the
// package reader behaves as it does on Windows.
#pragma once

#include <sys/types.h>

#include "system/file_system.h"

namespace updater {

class PosixFileSystem : public FileSystem {
 public:
  std::unique_ptr<File> OpenRead(const std::string& path, bool exclusive,
                                 std::string* cause) override;
  std::unique_ptr<File> Create(const std::string& path, std::string* cause) override;
  std::unique_ptr<File> CreateDurable(const std::string& path, std::string* cause) override;
  std::unique_ptr<File> OpenAppend(const std::string& path, std::string* cause) override;
  bool Exists(const std::string& path) override;
  bool IsFolder(const std::string& path) override;
  bool Delete(const std::string& path, std::string* cause) override;
  bool Copy(const std::string& from, const std::string& to, std::string* cause) override;
  bool Replace(const std::string& from, const std::string& to, std::string* cause) override;
  bool KeepAside(const std::string& path, const std::string& aside, std::string* cause) override;
  bool CreateFolder(const std::string& path, std::string* cause) override;
  bool RemoveFolder(const std::string& path, std::string* cause) override;
  bool SyncFiles(const std::vector<std::string>& paths, std::string* cause) override;
  bool SyncFolders(const std::vector<std::string>& folders, std::string* cause) override;
  bool ListFolder(const std::string& folder, const std::string& pattern,
                  std::vector<FolderEntry>* entries, std::string* cause) override;
  bool CopyPermissions(const std::string& from, const std::string& to, std::string* cause) override;
  bool MakeExecutable(const std::string& path, std::string* cause) override;
  std::unique_ptr<File> OpenReadAppend(const std::string& path, std::string* cause) override;
  bool StaysInside(const std::string& folder, const std::string& path, std::string* cause) override;
  std::unique_ptr<File> OpenStateFile(const std::string& path, bool exclusive,
                                      std::string* cause) override;
  LockOutcome TryLock(const std::string& path, std::unique_ptr<File>* lock,
                      std::string* cause) override;
  std::unique_ptr<MappedFile> MapRead(const std::string& path, std::string* cause) override;
  std::unique_ptr<MappedFile> CreateMapped(const std::string& path, int64_t size,
                                           std::string* cause) override;
  bool HeldOpenElsewhere(const std::string& path) override;

 private:
  enum class Links { Follow, Refuse };

  // Opens `native` with `flags` only when it is a regular file, without
  // waiting on a FIFO; with Links::Refuse a link at the path is refused. The
  // descriptor, or -1 with the cause in `*cause`.
  int OpenRegular(const std::string& native, int flags, Links links, std::string* cause);
  // Gives `*cause` why the file of type `mode` at `native` was refused;
  // always -1.
  int NotRegular(const std::string& native, mode_t mode, std::string* cause);
  // OpenRead and OpenStateFile.
  std::unique_ptr<File> OpenFile(const std::string& path, bool exclusive, Links links,
                                 std::string* cause);
  // Create, with write-out started early when `writeBehind` is set.
  std::unique_ptr<File> CreateFile(const std::string& path, bool writeBehind, std::string* cause);
  // Syncs each of the files or folders given by native paths.
  bool SyncEach(const std::vector<std::string>& nativePaths, bool folders, std::string* cause);
};

}  // namespace updater
