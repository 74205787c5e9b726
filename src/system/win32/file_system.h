// Files and folders on Windows.
#pragma once

#include <memory>

#include "system/file_system.h"
#include "system/win32/system_error.h"

namespace updater {

class BackgroundFlusher;

class Win32FileSystem : public FileSystem {
 public:
  std::unique_ptr<File> OpenRead(const std::string& path, bool exclusive) override;
  std::unique_ptr<File> Create(const std::string& path) override;
  std::unique_ptr<File> CreateDurable(const std::string& path) override;
  std::unique_ptr<File> OpenAppend(const std::string& path) override;
  bool Exists(const std::string& path) override;
  bool IsFolder(const std::string& path) override;
  bool Delete(const std::string& path) override;
  bool Copy(const std::string& from, const std::string& to) override;
  bool Replace(const std::string& from, const std::string& to) override;
  bool KeepAside(const std::string& path, const std::string& aside) override;
  bool CreateFolder(const std::string& path) override;
  bool RemoveFolder(const std::string& path) override;
  bool SyncFiles(const std::vector<std::string>& paths) override;
  bool SyncFolders(const std::vector<std::string>& folders) override;
  bool ListFolder(const std::string& folder, const std::string& pattern,
                  std::vector<FolderEntry>* entries) override;
  bool CopyPermissions(const std::string& from, const std::string& to) override;
  bool MakeExecutable(const std::string& path) override;
  std::unique_ptr<File> OpenReadAppend(const std::string& path) override;
  bool StaysInside(const std::string& folder, const std::string& path) override;
  std::string LastError() override { return *cause_; }
  std::unique_ptr<File> OpenStateFile(const std::string& path, bool exclusive) override;
  LockOutcome TryLock(const std::string& path, std::unique_ptr<File>* lock) override;
  std::unique_ptr<MappedFile> MapRead(const std::string& path) override;
  std::unique_ptr<MappedFile> CreateMapped(const std::string& path, int64_t size) override;

 private:
  enum class Links { Follow, Refuse };

  // Waits for a background flush of `path` to end, before the file goes or
  // moves.
  void Settle(const std::string& path);
  // Records the cause of a failed call with the error it left; always false.
  bool Failed(std::string_view call, const std::string& path);
  // Opens `path` (CreateFileW with these arguments) only when it is a file on
  // a disk; with Links::Refuse a link at the path is refused. The handle, or
  // null with the cause recorded (and CreateFileW's error in `*openError`
  // when that call failed).
  void* OpenRegular(const std::string& path, unsigned long access, unsigned long share,
                    unsigned long disposition, Links links, unsigned long* openError = nullptr);
  // OpenRead and OpenStateFile.
  std::unique_ptr<File> OpenFile(const std::string& path, bool exclusive, Links links);
  // The handle of Create and CreateDurable, or null.
  void* CreateHandle(const std::string& path);

  CauseRecord cause_ = NewCauseRecord();
  // Flushes the files CreateDurable made once they are closed, while the
  // program goes on; SyncFiles waits for those flushes.
  std::shared_ptr<BackgroundFlusher> flusher_;
};

}  // namespace updater
