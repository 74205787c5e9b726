// Files and folders on Windows.
#pragma once

#include <memory>

#include "system/file_system.h"

namespace updater {

class BackgroundFlusher;

class Win32FileSystem : public FileSystem {
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

  // Waits for a background flush of `path` to end, before the file goes or
  // moves.
  void Settle(const std::string& path);
  // Opens `path` (CreateFileW with these arguments) only when it is a file on
  // a disk; with Links::Refuse a link at the path is refused. The handle, or
  // null with the cause in `*cause` (and CreateFileW's error in `*openError`
  // when that call failed).
  void* OpenRegular(const std::string& path, unsigned long access, unsigned long share,
                    unsigned long disposition, Links links, std::string* cause,
                    unsigned long* openError = nullptr);
  // OpenRead and OpenStateFile.
  std::unique_ptr<File> OpenFile(const std::string& path, bool exclusive, Links links,
                                 std::string* cause);
  // The handle of Create and CreateDurable, or null.
  void* CreateHandle(const std::string& path, std::string* cause);

  // Flushes the files CreateDurable made once they are closed, while the
  // program goes on; SyncFiles waits for those flushes.
  std::shared_ptr<BackgroundFlusher> flusher_;
};

}  // namespace updater
