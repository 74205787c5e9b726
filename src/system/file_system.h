// Files and folders as the updater needs them. Paths are UTF-8 and use "\" as
// the folder separator on every platform; the POSIX backend maps it to "/".
// Every failing call records its cause (the call, the path and the system's
// reason) at the failure site; LastError() gives the latest one, also for the
// failures of files the file system opened.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace updater {

// An open file. Closed when destroyed.
class File {
 public:
  virtual ~File() = default;

  // Moves to an absolute offset. False on failure.
  virtual bool Seek(int64_t offset) = 0;
  // Reads up to `size` bytes at the current offset. Returns the count read
  // (0 at the end of the file), or -1 on failure.
  virtual int64_t Read(void* buffer, int64_t size) = 0;
  // Writes all `size` bytes. False when the write failed or was short.
  virtual bool Write(const void* buffer, int64_t size) = 0;
  // Hands buffered data to the operating system. False on failure.
  virtual bool Flush() = 0;
  // The file's current size in bytes, or -1 on failure.
  virtual int64_t Size() = 0;
  // Closes the file now; false when the close reported an error (for example
  // delayed write errors). Later calls do nothing.
  virtual bool Close() = 0;
};

struct FolderEntry {
  std::string name;  // name only, no folder
  bool isFolder = false;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens an existing file for reading. With `exclusive` no other opener may
  // open it until it is closed (Windows: no sharing; POSIX: an advisory lock),
  // and it cannot be deleted through this interface meanwhile.
  virtual std::unique_ptr<File> OpenRead(const std::string& path, bool exclusive) = 0;

  // Creates a file for writing, replacing an existing file of that name, with
  // no sharing. Null on failure.
  virtual std::unique_ptr<File> Create(const std::string& path) = 0;

  // Opens a file for appending, creating it when missing. Other processes may
  // append to it at the same time. Null on failure.
  virtual std::unique_ptr<File> OpenAppend(const std::string& path) = 0;

  // True when anything (file or folder) exists at the path.
  virtual bool Exists(const std::string& path) = 0;
  virtual bool IsFolder(const std::string& path) = 0;

  virtual bool Delete(const std::string& path) = 0;
  // Copies a file, overwriting an existing target.
  virtual bool Copy(const std::string& from, const std::string& to) = 0;
  // Moves a file onto `to` in one step, replacing an existing file there.
  virtual bool Replace(const std::string& from, const std::string& to) = 0;
  // Creates one folder (its parent must exist). A trailing separator is ignored.
  virtual bool CreateFolder(const std::string& path) = 0;
  // Removes one empty folder. A trailing separator is ignored.
  virtual bool RemoveFolder(const std::string& path) = 0;

  // Lists the entries of `folder` whose names match `pattern` ("*" and "?"
  // wildcards, letter case ignored), in the order the file system gives them.
  // False when the folder cannot be listed.
  virtual bool ListFolder(const std::string& folder, const std::string& pattern,
                          std::vector<FolderEntry>* entries) = 0;

  // POSIX permission handling; the Windows backend has nothing to do and
  // returns true.
  // Gives `to` the permission bits of `from`.
  virtual bool CopyPermissions(const std::string& from, const std::string& to) = 0;
  // Adds execute permission wherever read permission is set.
  virtual bool MakeExecutable(const std::string& path) = 0;

  // The cause of the latest failed call of this file system or of one of its
  // files, as text for the log; empty before the first failure.
  virtual std::string LastError() = 0;
};

}  // namespace updater
