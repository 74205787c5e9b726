// Files and folders on POSIX.
#include "system/posix/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "system/posix/posix_platform.h"
#include "system/posix/system_error.h"

namespace updater {

namespace {

int OpenRetrying(const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Makes a file's data durable; the metadata that reading it back needs (its
// size) comes along.
int SyncData(int fd) {
#ifdef __linux__
  return fdatasync(fd);
#else
  return fsync(fd);
#endif
}

// Gives `*cause` (when there is one) the cause of the failed `call` on
// `subject` with the errno it left; always false.
bool Fail(std::string_view call, const std::string& subject, std::string* cause) {
  if (cause) *cause = ErrnoCause(call, subject, errno);
  return false;
}

// Gives `*cause` (when there is one) `text`; always false.
bool Fail(std::string text, std::string* cause) {
  if (cause) *cause = std::move(text);
  return false;
}

// Write-out of a file made durable later is started after this many bytes.
constexpr int64_t kWriteBehindStep = 8 << 20;

class PosixFile : public File {
 public:
  PosixFile(int fd, std::string path, bool writeBehind = false)
      : fd_(fd), path_(std::move(path)), writeBehind_(writeBehind) {}
  ~PosixFile() override {
    // A close at destruction has no caller left to tell; a caller that needs
    // the outcome closes the file itself first.
    static_cast<void>(Close(nullptr));
  }

  bool Seek(int64_t offset, std::string* cause) override {
    if (offset >= 0 && lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == offset) return true;
    return Failed("lseek", cause);
  }

  int64_t Read(void* buffer, int64_t size, std::string* cause) override {
    char* out = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < size) {
      ssize_t count = read(fd_, out + done, static_cast<size_t>(size - done));
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) {
        Failed("read", cause);
        return -1;
      }
      if (count == 0) break;
      done += count;
    }
    return done;
  }

  bool Write(const void* buffer, int64_t size, std::string* cause) override {
    const char* in = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < size) {
      ssize_t count = write(fd_, in + done, static_cast<size_t>(size - done));
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) return Failed("write", cause);
      if (count == 0) {
        errno = ENOSPC;  // a write that takes nothing is a full device
        return Failed("write", cause);
      }
      done += count;
    }
    if (writeBehind_) StartWriteOut(size);
    return true;
  }

  bool Flush(std::string* /*cause*/) override { return fd_ >= 0; }  // writes are not buffered here

  bool Sync(std::string* cause) override {
    return SyncData(fd_) == 0 || Failed("fdatasync", cause);
  }

  int64_t Size(std::string* cause) override {
    struct stat info {};
    if (fstat(fd_, &info) == 0) return static_cast<int64_t>(info.st_size);
    Failed("fstat", cause);
    return -1;
  }

  bool Close(std::string* cause) override {
    if (fd_ < 0) return true;
    int result = close(fd_);
    fd_ = -1;
    return result == 0 || Failed("close", cause);
  }

 private:
  // Gives `*cause` the cause of the failed call; always false.
  bool Failed(std::string_view call, std::string* cause) { return Fail(call, path_, cause); }

  // Starts writing the latest bytes to the disk without waiting, so that a
  // large file is mostly on the disk by the time it is synced. The system
  // would otherwise hold it in memory until it runs short or 30 s pass.
  void StartWriteOut(int64_t size) {
    written_ += size;
    if (written_ - startedTo_ < kWriteBehindStep) return;
#ifdef __linux__
    sync_file_range(fd_, startedTo_, written_ - startedTo_, SYNC_FILE_RANGE_WRITE);
#endif
    startedTo_ = written_;
  }

  int fd_;
  std::string path_;
  bool writeBehind_;
  int64_t written_ = 0;
  int64_t startedTo_ = 0;
};

// A mapped file and its descriptor, which keeps the lock of a created file.
class PosixMappedFile : public MappedFile {
 public:
  PosixMappedFile(int fd, void* data, int64_t size, bool writable, std::string path)
      : fd_(fd), data_(data), size_(size), writable_(writable), path_(std::move(path)) {}
  ~PosixMappedFile() override {
    static_cast<void>(Close(nullptr));  // as PosixFile: a caller that needs it closes first
  }

  uint8_t* Data() override { return static_cast<uint8_t*>(data_); }
  int64_t Size() const override { return size_; }

  bool Close(std::string* cause) override {
    if (fd_ < 0) return true;
    bool done = true;
    if (data_ && munmap(data_, static_cast<size_t>(size_)) != 0) done = Failed("munmap", cause);
#ifdef __linux__
    // Starts writing the content to the disk, as CreateDurable's files do
    // while they are written, so that the sync that follows finds little to do.
    if (writable_ && size_ > 0) sync_file_range(fd_, 0, size_, SYNC_FILE_RANGE_WRITE);
#endif
    data_ = nullptr;
    if (close(fd_) != 0 && done) done = Failed("close", cause);
    fd_ = -1;
    return done;
  }

 private:
  bool Failed(std::string_view call, std::string* cause) { return Fail(call, path_, cause); }

  int fd_;
  void* data_;
  int64_t size_;
  bool writable_;
  std::string path_;
};

// True when another opener holds the file's exclusive lock.
bool LockedByAnother(const std::string& nativePath) {
  int fd = OpenRetrying(nativePath, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return false;
  bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);  // also drops the probe's own lock
  return locked;
}

std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The folder that holds `nativePath` ("." for a bare name).
std::string ParentFolder(const std::string& nativePath) {
  std::string path = WithoutTrailingSeparators(nativePath);
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

#ifdef __linux__
// Up to this many files are synced one by one; more with one syncfs.
constexpr size_t kSyncEachLimit = 16;
#endif

}  // namespace

int PosixFileSystem::OpenRegular(const std::string& native, int flags, Links links,
                                 std::string* cause) {
  // O_NONBLOCK: a FIFO opens at once (or refuses a writer without a reader)
  // instead of waiting for its other end.
  const int nofollow = links == Links::Refuse ? O_NOFOLLOW : 0;
  int fd = OpenRetrying(native, flags | O_NONBLOCK | nofollow, 0666);
  if (fd < 0) {
    const int error = errno;
    struct stat info {};
    // ENXIO: a FIFO without a reader; ELOOP (EMLINK on some systems): a link
    // that O_NOFOLLOW refused.
    if ((error == ENXIO || error == ELOOP || error == EMLINK) &&
        lstat(native.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
      return NotRegular(native, info.st_mode, cause);
    errno = error;
    Fail("open", native, cause);
    return -1;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    Fail("fstat", native, cause);
    close(fd);
    return -1;
  }
  if (!S_ISREG(info.st_mode)) {
    close(fd);
    return NotRegular(native, info.st_mode, cause);
  }
  // A regular file: reads and writes may wait for the disk as usual.
  const int status = fcntl(fd, F_GETFL);
  if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    Fail("fcntl", native, cause);
    close(fd);
    return -1;
  }
  return fd;
}

int PosixFileSystem::NotRegular(const std::string& native, mode_t mode, std::string* cause) {
  if (S_ISDIR(mode)) {
    errno = EISDIR;  // the cause a folder always had
    Fail("open", native, cause);
    return -1;
  }
  const char* what = S_ISLNK(mode)                    ? "a link, which is not followed here"
                     : S_ISFIFO(mode)                 ? "a FIFO, not a regular file"
                     : S_ISCHR(mode) || S_ISBLK(mode) ? "a device, not a regular file"
                     : S_ISSOCK(mode)                 ? "a socket, not a regular file"
                                                      : "not a regular file";
  Fail("open " + native + ": " + what, cause);
  return -1;
}

std::unique_ptr<File> PosixFileSystem::OpenFile(const std::string& path, bool exclusive,
                                                Links links, std::string* cause) {
  std::string native = NativePath(path);
  int fd = OpenRegular(native, O_RDONLY, links, cause);
  if (fd < 0) return nullptr;
  if (exclusive && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    Fail("flock", native, cause);
    close(fd);
    return nullptr;
  }
  return std::make_unique<PosixFile>(fd, native);
}

std::unique_ptr<File> PosixFileSystem::OpenRead(const std::string& path, bool exclusive,
                                                std::string* cause) {
  return OpenFile(path, exclusive, Links::Follow, cause);
}

std::unique_ptr<File> PosixFileSystem::OpenReadAppend(const std::string& path, std::string* cause) {
  std::string native = NativePath(path);
  // Not through a link at the file's own name, and without waiting for a
  // writer when a FIFO is there.
  int fd = OpenRegular(native, O_RDWR | O_APPEND, Links::Refuse, cause);
  if (fd < 0) return nullptr;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    Fail("flock", native, cause);
    close(fd);
    return nullptr;
  }
  return std::make_unique<PosixFile>(fd, native);
}

std::unique_ptr<File> PosixFileSystem::Create(const std::string& path, std::string* cause) {
  return CreateFile(path, false, cause);
}

std::unique_ptr<File> PosixFileSystem::CreateDurable(const std::string& path, std::string* cause) {
  return CreateFile(path, true, cause);
}

std::unique_ptr<File> PosixFileSystem::CreateFile(const std::string& path, bool writeBehind,
                                                  std::string* cause) {
  std::string native = NativePath(path);
  // Truncate only once the lock is ours: a file that another opener holds
  // exclusively keeps its content.
  int fd = OpenRegular(native, O_WRONLY | O_CREAT, Links::Refuse, cause);
  if (fd < 0) return nullptr;
  bool usable = flock(fd, LOCK_EX | LOCK_NB) == 0 || Fail("flock", native, cause);
  if (usable && ftruncate(fd, 0) != 0) usable = Fail("ftruncate", native, cause);
  if (!usable) {
    close(fd);
    return nullptr;
  }
  return std::make_unique<PosixFile>(fd, native, writeBehind);
}

std::unique_ptr<File> PosixFileSystem::OpenAppend(const std::string& path, std::string* cause) {
  std::string native = NativePath(path);
  int fd = OpenRegular(native, O_WRONLY | O_CREAT | O_APPEND, Links::Refuse, cause);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixFile>(fd, native);
}

bool PosixFileSystem::Exists(const std::string& path) {
  struct stat info {};
  return lstat(NativePath(path).c_str(), &info) == 0;
}

bool PosixFileSystem::IsFolder(const std::string& path) {
  struct stat info {};
  return stat(NativePath(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool PosixFileSystem::Delete(const std::string& path, std::string* cause) {
  std::string native = NativePath(path);
  struct stat info {};
  if (lstat(native.c_str(), &info) != 0) return Fail("lstat", native, cause);
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return Fail("unlink", native, cause);
  }
  if (S_ISREG(info.st_mode) && LockedByAnother(native)) {
    errno = EBUSY;  // held open exclusively, as a running program is
    return Fail("unlink", native, cause);
  }
  return unlink(native.c_str()) == 0 || Fail("unlink", native, cause);
}

bool PosixFileSystem::Copy(const std::string& from, const std::string& to, std::string* cause) {
  std::unique_ptr<File> source = OpenRead(from, false, cause);
  if (!source) return false;
  std::unique_ptr<File> target = Create(to, cause);
  if (!target) return false;
  char buffer[65536];
  while (true) {
    int64_t count = source->Read(buffer, sizeof buffer, cause);
    if (count < 0) return false;
    if (count == 0) break;
    if (!target->Write(buffer, count, cause)) return false;
  }
  return target->Close(cause) && CopyPermissions(from, to, cause);
}

bool PosixFileSystem::Replace(const std::string& from, const std::string& to, std::string* cause) {
  std::string target = NativePath(to);
  if (LockedByAnother(target)) {
    errno = EBUSY;
    return Fail("rename", target, cause);
  }
  return rename(NativePath(from).c_str(), target.c_str()) == 0 ||
         Fail("rename", NativePath(from) + " -> " + target, cause);
}

bool PosixFileSystem::KeepAside(const std::string& path, const std::string& aside,
                                std::string* cause) {
  std::string from = NativePath(path), to = NativePath(aside);
  if (link(from.c_str(), to.c_str()) == 0) return true;
  if (errno == EEXIST || errno == ENOENT) return Fail("link", from + " -> " + to, cause);
  // A file system without hard links (or one that refuses them here): the
  // file moves; rename would replace an existing `aside`, which link ruled out.
  return rename(from.c_str(), to.c_str()) == 0 || Fail("rename", from + " -> " + to, cause);
}

bool PosixFileSystem::CreateFolder(const std::string& path, std::string* cause) {
  std::string native = WithoutTrailingSeparators(NativePath(path));
  return mkdir(native.c_str(), 0777) == 0 || Fail("mkdir", native, cause);
}

bool PosixFileSystem::RemoveFolder(const std::string& path, std::string* cause) {
  std::string native = WithoutTrailingSeparators(NativePath(path));
  return rmdir(native.c_str()) == 0 || Fail("rmdir", native, cause);
}

bool PosixFileSystem::SyncEach(const std::vector<std::string>& nativePaths, bool folders,
                               std::string* cause) {
  for (const std::string& path : nativePaths) {
    // O_NONBLOCK: something other than the file put at its place meanwhile
    // (a FIFO) fails the sync instead of holding it.
    int fd = OpenRetrying(path, O_RDONLY | O_NONBLOCK | (folders ? O_DIRECTORY : 0));
    if (fd < 0) return Fail("open", path, cause);
    bool done = (folders ? fsync(fd) : SyncData(fd)) == 0 || Fail("fsync", path, cause);
    close(fd);
    if (!done) return false;
  }
  return true;
}

bool PosixFileSystem::SyncFiles(const std::vector<std::string>& paths, std::string* cause) {
  std::vector<std::string> files, folders;
  for (const std::string& path : paths) {
    files.push_back(NativePath(path));
    std::string folder = ParentFolder(files.back());
    if (std::find(folders.begin(), folders.end(), folder) == folders.end())
      folders.push_back(folder);
  }
#ifdef __linux__
  // Each fsync commits the file system's journal once, which for many small
  // files costs far more than one syncfs writing everything out. syncfs also
  // writes whatever else waits in memory for that file system, so a few
  // (large) files are synced one by one.
  if (files.size() > kSyncEachLimit) {
    std::vector<dev_t> synced;
    for (const std::string& path : files) {
      struct stat info {};
      if (stat(path.c_str(), &info) != 0) return Fail("stat", path, cause);
      if (std::find(synced.begin(), synced.end(), info.st_dev) != synced.end()) continue;
      int fd = OpenRetrying(path, O_RDONLY | O_NONBLOCK);
      if (fd < 0) return Fail("open", path, cause);
      bool done = syncfs(fd) == 0 || Fail("syncfs", path, cause);
      close(fd);
      if (!done) return false;
      synced.push_back(info.st_dev);
    }
    return true;
  }
#endif
  return SyncEach(files, false, cause) && SyncEach(folders, true, cause);
}

bool PosixFileSystem::SyncFolders(const std::vector<std::string>& folders, std::string* cause) {
  std::vector<std::string> native;
  for (const std::string& folder : folders) {
    std::string path = WithoutTrailingSeparators(NativePath(folder));
    if (std::find(native.begin(), native.end(), path) == native.end()) native.push_back(path);
  }
  return SyncEach(native, true, cause);
}

bool PosixFileSystem::StaysInside(const std::string& folder, const std::string& path,
                                  std::string* cause) {
  const std::string root = WithoutTrailingSeparators(NativePath(folder));
  const std::string native = NativePath(path);
  if (native.compare(0, root.size(), root) != 0 ||
      (native.size() > root.size() && native[root.size()] != '/' && root != "/")) {
    return Fail(native + " is not below " + root, cause);
  }
  // Each part below the folder in turn: a link must resolve to a place
  // inside the folder; the first part that does not exist ends the walk.
  std::string inside;  // the folder with its own links resolved, once needed
  for (size_t end = root.size(); end < native.size();) {
    end = native.find('/', end + 1);
    if (end == std::string::npos) end = native.size();
    const std::string part = native.substr(0, end);
    if (part.back() == '/') continue;
    struct stat info {};
    if (lstat(part.c_str(), &info) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return true;
      return Fail("lstat", part, cause);
    }
    if (!S_ISLNK(info.st_mode)) continue;
    if (inside.empty()) {
      std::unique_ptr<char, decltype(&free)> resolved(realpath(root.c_str(), nullptr), &free);
      if (!resolved) return Fail("realpath", root, cause);
      inside = resolved.get();
    }
    std::unique_ptr<char, decltype(&free)> target(realpath(part.c_str(), nullptr), &free);
    if (!target) return Fail("realpath", part, cause);
    const std::string reached = target.get();
    if (reached != inside && reached.rfind(inside == "/" ? inside : inside + "/", 0) != 0) {
      return Fail(part + " is a link to " + reached + ", outside " + inside, cause);
    }
  }
  return true;
}

bool PosixFileSystem::ListFolder(const std::string& folder, const std::string& pattern,
                                 std::vector<FolderEntry>* entries, std::string* cause) {
  std::string native = NativePath(folder);
  DIR* directory = opendir(native.c_str());
  if (!directory) return Fail("opendir", native, cause);
  if (native.empty() || native.back() != '/') native += '/';
  while (dirent* entry = readdir(directory)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) != 0) continue;
    entries->push_back({name, IsFolder(native + name)});
  }
  closedir(directory);
  return true;
}

bool PosixFileSystem::CopyPermissions(const std::string& from, const std::string& to,
                                      std::string* cause) {
  struct stat info {};
  if (stat(NativePath(from).c_str(), &info) != 0) return Fail("stat", NativePath(from), cause);
  return chmod(NativePath(to).c_str(), info.st_mode & 07777) == 0 ||
         Fail("chmod", NativePath(to), cause);
}

bool PosixFileSystem::MakeExecutable(const std::string& path, std::string* cause) {
  std::string native = NativePath(path);
  struct stat info {};
  if (stat(native.c_str(), &info) != 0) return Fail("stat", native, cause);
  mode_t mode = info.st_mode & 07777;
  return chmod(native.c_str(), mode | ((mode & 0444) >> 2)) == 0 || Fail("chmod", native, cause);
}

std::unique_ptr<File> PosixFileSystem::OpenStateFile(const std::string& path, bool exclusive,
                                                     std::string* cause) {
  return OpenFile(path, exclusive, Links::Refuse, cause);
}

LockOutcome PosixFileSystem::TryLock(const std::string& path, std::unique_ptr<File>* lock,
                                     std::string* cause) {
  std::string native = NativePath(path);
  // Opened without truncation, for reading only (a lock file that another
  // user's run made still locks), and with O_CLOEXEC (OpenRetrying), so that
  // a started program does not hold the lock on.
  int fd = OpenRegular(native, O_RDONLY | O_CREAT, Links::Refuse, cause);
  if (fd < 0) return LockOutcome::Failed;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool held = errno == EWOULDBLOCK;
    Fail("flock", native, cause);
    close(fd);
    return held ? LockOutcome::HeldByAnother : LockOutcome::Failed;
  }
  *lock = std::make_unique<PosixFile>(fd, native);
  return LockOutcome::Taken;
}

}  // namespace updater

namespace updater {

std::unique_ptr<MappedFile> PosixFileSystem::MapRead(const std::string& path, std::string* cause) {
  std::string native = NativePath(path);
  int fd = OpenRetrying(native, O_RDONLY);
  if (fd < 0) {
    Fail("open", native, cause);
    return nullptr;
  }
  struct stat info {};
  bool usable = fstat(fd, &info) == 0 || !Fail("fstat", native, cause);
  if (usable && !S_ISREG(info.st_mode)) {
    errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    usable = Fail("open", native, cause);
  }
  void* data = nullptr;
  const int64_t size = usable ? static_cast<int64_t>(info.st_size) : 0;
  if (usable && size > 0) {
    data = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
      data = nullptr;
      usable = Fail("mmap", native, cause);
    }
  }
  if (!usable) {
    close(fd);
    return nullptr;
  }
  return std::make_unique<PosixMappedFile>(fd, data, size, false, native);
}

std::unique_ptr<MappedFile> PosixFileSystem::CreateMapped(const std::string& path, int64_t size,
                                                          std::string* cause) {
  std::string native = NativePath(path);
  if (size < 0) {
    errno = EINVAL;
    Fail("open", native, cause);
    return nullptr;
  }
  int fd = OpenRetrying(native, O_RDWR | O_CREAT, 0666);
  if (fd < 0) {
    Fail("open", native, cause);
    return nullptr;
  }
  struct stat info {};
  bool usable = fstat(fd, &info) == 0 || !Fail("fstat", native, cause);
  if (usable && !S_ISREG(info.st_mode)) {
    errno = EINVAL;
    usable = Fail("open", native, cause);
  }
  // As CreateFile: the content goes only once the lock is ours.
  if (usable && flock(fd, LOCK_EX | LOCK_NB) != 0) usable = Fail("flock", native, cause);
  const bool locked = usable;
  if (usable && ftruncate(fd, 0) != 0) usable = Fail("ftruncate", native, cause);
  if (usable && size > 0) {
    // A page of a mapping that the disk has no room for would only fail
    // when written, with SIGBUS; the space is taken here instead.
    int result = posix_fallocate(fd, 0, static_cast<off_t>(size));
    if (result != 0) {
      errno = result;
      usable = Fail("posix_fallocate", native, cause);
    }
  }
  void* data = nullptr;
  if (usable && size > 0) {
    data = mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
      data = nullptr;
      usable = Fail("mmap", native, cause);
    }
  }
  if (!usable) {
    // A file whose lock was ours is half made (empty, or without its space):
    // it goes.
    if (locked) unlink(native.c_str());
    close(fd);
    return nullptr;
  }
  return std::make_unique<PosixMappedFile>(fd, data, size, true, native);
}

// No lock on POSIX keeps a file from being renamed over or unlinked; an
// advisory lock of another process only refuses an exclusive open, and no
// wait is promised to end it.
bool PosixFileSystem::HeldOpenElsewhere(const std::string&) { return false; }

}  // namespace updater
