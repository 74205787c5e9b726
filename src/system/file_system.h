// Files and folders as the updater needs them. Paths are UTF-8 and use "\" as
// the folder separator on every platform; the POSIX backend maps it to "/".
// Every call that can fail takes a trailing `std::string* cause`, which it
// fills on failure with the cause (the call, the path and the system's reason)
// as text for the log; it is left alone on success, and may be null when the
// caller has no use for the cause.
//
// Every open takes only a regular file: a FIFO, a device, a socket or a
// folder at the path is refused at once, with a cause that says what it is,
// and never waits for anyone at a FIFO's other end. Only reading an existing
// file (OpenRead) follows a link, since an installation may hold links among
// its files; every other open refuses a link (Windows: a reparse point that
// names another file), so that the updater never writes through one.
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
  [[nodiscard]] virtual bool Seek(int64_t offset, std::string* cause) = 0;
  // Reads up to `size` bytes at the current offset. Returns the count read
  // (0 at the end of the file), or -1 on failure.
  [[nodiscard]] virtual int64_t Read(void* buffer, int64_t size, std::string* cause) = 0;
  // Writes all `size` bytes. False when the write failed or was short.
  [[nodiscard]] virtual bool Write(const void* buffer, int64_t size, std::string* cause) = 0;
  // Hands buffered data to the operating system. False on failure.
  [[nodiscard]] virtual bool Flush(std::string* cause) = 0;
  // Makes the content written so far durable: it reaches the disk before the
  // call returns (POSIX fdatasync, Windows FlushFileBuffers). False on failure.
  [[nodiscard]] virtual bool Sync(std::string* cause) = 0;
  // The file's current size in bytes, or -1 on failure.
  [[nodiscard]] virtual int64_t Size(std::string* cause) = 0;
  // Closes the file now; false when the close reported an error (for example
  // delayed write errors). Later calls do nothing.
  [[nodiscard]] virtual bool Close(std::string* cause) = 0;
};

// A whole file as memory, mapped by the file system (MapRead, CreateMapped).
// An empty file has no memory (Data() is null). Unmapped, and the file
// closed, when destroyed.
class MappedFile {
 public:
  virtual ~MappedFile() = default;

  // The file's first byte; null for an empty file. Memory of MapRead is
  // read-only: writing to it faults.
  [[nodiscard]] virtual uint8_t* Data() = 0;
  [[nodiscard]] virtual int64_t Size() const = 0;
  // Unmaps the file and closes it now, handing what was written to the
  // operating system; false when that reported an error. Later calls do
  // nothing.
  [[nodiscard]] virtual bool Close(std::string* cause) = 0;
};

struct FolderEntry {
  std::string Name;  // name only, no folder
  bool IsFolder = false;
};

// How an attempt to take a lock ended (FileSystem::TryLock).
// (clang-format 14 cannot lay out an enum with an attribute.)
// clang-format off
enum class [[nodiscard]] LockOutcome {
  Taken,          // the lock is this process's until its holder goes
  HeldByAnother,  // another opener holds it
  Failed,         // it could not be taken; the cause is in `*cause`
};
// clang-format on

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens an existing regular file for reading, following a link. With
  // `exclusive` no other opener may open it until it is closed (Windows: no
  // sharing; POSIX: an advisory lock), and it cannot be deleted through this
  // interface meanwhile. Null on failure.
  [[nodiscard]] virtual std::unique_ptr<File> OpenRead(const std::string& path, bool exclusive,
                                                       std::string* cause) = 0;

  // Creates a file for writing, replacing an existing regular file of that
  // name (emptied only once it is known to be one), with no sharing. A link
  // at the path is refused: the updater creates only files of its own, and
  // one planted there would send the content elsewhere. Null on failure.
  [[nodiscard]] virtual std::unique_ptr<File> Create(const std::string& path,
                                                     std::string* cause) = 0;

  // Create for a file that the caller makes durable (SyncFiles) before it
  // relies on it: the backend may start writing the content to the disk
  // while it is being written, so that the sync finds little left to do
  // (Linux: write-out of every 8 MiB is started at once). Null on failure.
  [[nodiscard]] virtual std::unique_ptr<File> CreateDurable(const std::string& path,
                                                            std::string* cause) = 0;

  // Opens a regular file for appending, creating it when missing; a link at
  // the path is refused. Other processes may append to it at the same time.
  // Null on failure.
  [[nodiscard]] virtual std::unique_ptr<File> OpenAppend(const std::string& path,
                                                         std::string* cause) = 0;

  // True when anything (file or folder) exists at the path.
  [[nodiscard]] virtual bool Exists(const std::string& path) = 0;
  [[nodiscard]] virtual bool IsFolder(const std::string& path) = 0;

  // Deletes a file (on Windows also a read-only one). False for a folder.
  [[nodiscard]] virtual bool Delete(const std::string& path, std::string* cause) = 0;
  // Copies a file, overwriting an existing target.
  [[nodiscard]] virtual bool Copy(const std::string& from, const std::string& to,
                                  std::string* cause) = 0;
  // Moves a file onto `to` in one step, replacing an existing file there
  // (on Windows also a read-only one).
  [[nodiscard]] virtual bool Replace(const std::string& from, const std::string& to,
                                     std::string* cause) = 0;
  // Gives the file at `path` the second name `aside` (a hard link), so that
  // the file stays at `path` until something replaces it there. Where the
  // file system has no hard links, or on Windows for a read-only file, the
  // file is moved to `aside` instead. False when `aside` exists already.
  [[nodiscard]] virtual bool KeepAside(const std::string& path, const std::string& aside,
                                       std::string* cause) = 0;
  // Creates one folder (its parent must exist). A trailing separator is ignored.
  [[nodiscard]] virtual bool CreateFolder(const std::string& path, std::string* cause) = 0;
  // Removes one folder, only when it is empty. A trailing separator is
  // ignored. False when it is missing, not a folder or not empty.
  [[nodiscard]] virtual bool RemoveFolder(const std::string& path, std::string* cause) = 0;

  // Makes the content of the files at `paths`, and their names in their
  // folders, durable, in the cheapest way the platform offers: on POSIX an
  // fsync of each file and of each folder, except that on Linux many files
  // take one syncfs of their file system; on Windows FlushFileBuffers of each
  // file. False when any of it failed.
  [[nodiscard]] virtual bool SyncFiles(const std::vector<std::string>& paths,
                                       std::string* cause) = 0;
  // Makes the changes of names in `folders` (files created, renamed or
  // deleted) durable: on POSIX an fsync of each folder. On Windows there is
  // nothing to do: Replace writes its moves through, and NTFS logs the other
  // changes.
  [[nodiscard]] virtual bool SyncFolders(const std::vector<std::string>& folders,
                                         std::string* cause) = 0;

  // Lists the entries of `folder` whose names match `pattern` ("*" and "?"
  // wildcards, letter case ignored), in the order the file system gives them.
  // False when the folder cannot be listed.
  [[nodiscard]] virtual bool ListFolder(const std::string& folder, const std::string& pattern,
                                        std::vector<FolderEntry>* entries, std::string* cause) = 0;

  // Gives the file `to` what users expect of the file `from` beyond its
  // content, so that `to` can take its place: on POSIX the permission bits;
  // on Windows the attributes (read-only, hidden, system, archive, not
  // indexed) and the access control list, inherited or protected as it was.
  [[nodiscard]] virtual bool CopyPermissions(const std::string& from, const std::string& to,
                                             std::string* cause) = 0;
  // Adds execute permission wherever read permission is set (POSIX; the
  // Windows backend has nothing to do and returns true).
  [[nodiscard]] virtual bool MakeExecutable(const std::string& path, std::string* cause) = 0;

  // Opens an existing regular file, not through a link at its own name, for
  // reading from its start and for appending: every write goes to its end.
  // No other opener may open it until it is closed, as with an exclusive
  // OpenRead. Null on failure.
  [[nodiscard]] virtual std::unique_ptr<File> OpenReadAppend(const std::string& path,
                                                             std::string* cause) = 0;

  // True when `path`, which is `folder` followed by a relative part, stays
  // inside `folder` on the disk: no part of it below `folder` that exists is
  // a link (symbolic link, junction, mount point) that leads out of `folder`
  // or to nothing. Parts that do not exist yet count as inside. False, with
  // the cause, otherwise and when it cannot be told.
  [[nodiscard]] virtual bool StaysInside(const std::string& folder, const std::string& path,
                                         std::string* cause) = 0;

  // OpenRead for one of the updater's own state files in Update\ (the apply
  // journal, the package order, the catalogue's time): a link at the path is
  // refused rather than followed, since the updater never makes one there.
  [[nodiscard]] virtual std::unique_ptr<File> OpenStateFile(const std::string& path, bool exclusive,
                                                            std::string* cause) = 0;

  // Takes the exclusive lock of the lock file at `path` without waiting,
  // creating the file when missing and never emptying it (POSIX: flock;
  // Windows: an open without sharing); a link or anything but a regular file
  // there is refused. Taken: `*lock` holds the lock until it is destroyed (or
  // the process ends); programs this process starts never inherit it.
  [[nodiscard]] virtual LockOutcome TryLock(const std::string& path, std::unique_ptr<File>* lock,
                                            std::string* cause) = 0;

  // Maps the whole existing file at `path` read-only; others may read it
  // meanwhile. Null on failure (missing, a folder, cannot be mapped). The
  // content must not change while it is mapped.
  [[nodiscard]] virtual std::unique_ptr<MappedFile> MapRead(const std::string& path,
                                                            std::string* cause) = 0;
  // Creates a file of `size` zero bytes at `path`, as CreateDurable does
  // (replacing an existing file, no sharing, made durable later by
  // SyncFiles), with its space taken on the disk now, so that a full disk
  // fails here rather than when the memory is written; and maps it
  // writable. Null on failure; a file it had begun to make is removed then.
  [[nodiscard]] virtual std::unique_ptr<MappedFile> CreateMapped(const std::string& path,
                                                                 int64_t size,
                                                                 std::string* cause) = 0;

  // True when the existing file at `path` is held open by another opener in
  // a way that keeps it from being opened exclusively, replaced, moved or
  // deleted now, which may end when that opener closes it; false when it is
  // not (or is missing, or cannot be told). Windows: an open of it without
  // sharing, for reading and then for writing, fails with a sharing or lock
  // violation (another program has it open, or runs it); POSIX: always
  // false, since nothing there keeps a file from being replaced. Asked after
  // a step failed, to tell a failure that waiting may end from one it will
  // not.
  [[nodiscard]] virtual bool HeldOpenElsewhere(const std::string& path) = 0;
};

}  // namespace updater
