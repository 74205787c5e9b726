// Files and folders on POSIX.
#include "system/posix/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "system/posix/posix_platform.h"

namespace updater {

namespace {

int OpenRetrying(const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

class PosixFile : public File {
 public:
  PosixFile(int fd, std::string path, CauseRecord cause)
      : fd_(fd), path_(std::move(path)), cause_(std::move(cause)) {}
  ~PosixFile() override { Close(); }

  bool Seek(int64_t offset) override {
    if (offset >= 0 && lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == offset) return true;
    return Failed("lseek");
  }

  int64_t Read(void* buffer, int64_t size) override {
    char* out = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < size) {
      ssize_t count = read(fd_, out + done, static_cast<size_t>(size - done));
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) {
        Failed("read");
        return -1;
      }
      if (count == 0) break;
      done += count;
    }
    return done;
  }

  bool Write(const void* buffer, int64_t size) override {
    const char* in = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < size) {
      ssize_t count = write(fd_, in + done, static_cast<size_t>(size - done));
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) return Failed("write");
      if (count == 0) {
        errno = ENOSPC;  // a write that takes nothing is a full device
        return Failed("write");
      }
      done += count;
    }
    return true;
  }

  bool Flush() override { return fd_ >= 0; }  // writes are not buffered here

  int64_t Size() override {
    struct stat info {};
    if (fstat(fd_, &info) == 0) return static_cast<int64_t>(info.st_size);
    Failed("fstat");
    return -1;
  }

  bool Close() override {
    if (fd_ < 0) return true;
    int result = close(fd_);
    fd_ = -1;
    return result == 0 || Failed("close");
  }

 private:
  // Records the cause of the failed call; always false.
  bool Failed(std::string_view call) {
    *cause_ = ErrnoCause(call, path_, errno);
    return false;
  }

  int fd_;
  std::string path_;
  CauseRecord cause_;
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

}  // namespace

bool PosixFileSystem::Failed(std::string_view call, const std::string& path) {
  *cause_ = ErrnoCause(call, path, errno);
  return false;
}

std::unique_ptr<File> PosixFileSystem::OpenRead(const std::string& path, bool exclusive) {
  std::string native = NativePath(path);
  int fd = OpenRetrying(native, O_RDONLY);
  if (fd < 0) {
    Failed("open", native);
    return nullptr;
  }
  struct stat info {};
  bool usable = fstat(fd, &info) == 0 || !Failed("fstat", native);
  if (usable && !S_ISREG(info.st_mode)) {
    errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    usable = Failed("open", native);
  }
  if (usable && exclusive && flock(fd, LOCK_EX | LOCK_NB) != 0) usable = Failed("flock", native);
  if (!usable) {
    close(fd);
    return nullptr;
  }
  return std::make_unique<PosixFile>(fd, native, cause_);
}

std::unique_ptr<File> PosixFileSystem::Create(const std::string& path) {
  std::string native = NativePath(path);
  // Truncate only once the lock is ours: a file that another opener holds
  // exclusively keeps its content.
  int fd = OpenRetrying(native, O_WRONLY | O_CREAT, 0666);
  if (fd < 0) {
    Failed("open", native);
    return nullptr;
  }
  struct stat info {};
  bool usable = fstat(fd, &info) == 0 || !Failed("fstat", native);
  if (usable && !S_ISREG(info.st_mode)) {
    errno = EINVAL;
    usable = Failed("open", native);
  }
  if (usable && flock(fd, LOCK_EX | LOCK_NB) != 0) usable = Failed("flock", native);
  if (usable && ftruncate(fd, 0) != 0) usable = Failed("ftruncate", native);
  if (!usable) {
    close(fd);
    return nullptr;
  }
  return std::make_unique<PosixFile>(fd, native, cause_);
}

std::unique_ptr<File> PosixFileSystem::OpenAppend(const std::string& path) {
  std::string native = NativePath(path);
  int fd = OpenRetrying(native, O_WRONLY | O_CREAT | O_APPEND, 0666);
  if (fd < 0) {
    Failed("open", native);
    return nullptr;
  }
  return std::make_unique<PosixFile>(fd, native, cause_);
}

bool PosixFileSystem::Exists(const std::string& path) {
  struct stat info {};
  return lstat(NativePath(path).c_str(), &info) == 0;
}

bool PosixFileSystem::IsFolder(const std::string& path) {
  struct stat info {};
  return stat(NativePath(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool PosixFileSystem::Delete(const std::string& path) {
  std::string native = NativePath(path);
  struct stat info {};
  if (lstat(native.c_str(), &info) != 0) return Failed("lstat", native);
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return Failed("unlink", native);
  }
  if (S_ISREG(info.st_mode) && LockedByAnother(native)) {
    errno = EBUSY;  // held open exclusively, as a running program is
    return Failed("unlink", native);
  }
  return unlink(native.c_str()) == 0 || Failed("unlink", native);
}

bool PosixFileSystem::Copy(const std::string& from, const std::string& to) {
  std::unique_ptr<File> source = OpenRead(from, false);
  if (!source) return false;
  std::unique_ptr<File> target = Create(to);
  if (!target) return false;
  char buffer[65536];
  while (true) {
    int64_t count = source->Read(buffer, sizeof buffer);
    if (count < 0) return false;
    if (count == 0) break;
    if (!target->Write(buffer, count)) return false;
  }
  return target->Close() && CopyPermissions(from, to);
}

bool PosixFileSystem::Replace(const std::string& from, const std::string& to) {
  std::string target = NativePath(to);
  if (LockedByAnother(target)) {
    errno = EBUSY;
    return Failed("rename", target);
  }
  return rename(NativePath(from).c_str(), target.c_str()) == 0 ||
         Failed("rename", NativePath(from) + " -> " + target);
}

bool PosixFileSystem::CreateFolder(const std::string& path) {
  std::string native = WithoutTrailingSeparators(NativePath(path));
  return mkdir(native.c_str(), 0777) == 0 || Failed("mkdir", native);
}

bool PosixFileSystem::RemoveFolder(const std::string& path) {
  std::string native = WithoutTrailingSeparators(NativePath(path));
  return rmdir(native.c_str()) == 0 || Failed("rmdir", native);
}

bool PosixFileSystem::ListFolder(const std::string& folder, const std::string& pattern,
                                 std::vector<FolderEntry>* entries) {
  std::string native = NativePath(folder);
  DIR* directory = opendir(native.c_str());
  if (!directory) return Failed("opendir", native);
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

bool PosixFileSystem::CopyPermissions(const std::string& from, const std::string& to) {
  struct stat info {};
  if (stat(NativePath(from).c_str(), &info) != 0) return Failed("stat", NativePath(from));
  return chmod(NativePath(to).c_str(), info.st_mode & 07777) == 0 ||
         Failed("chmod", NativePath(to));
}

bool PosixFileSystem::MakeExecutable(const std::string& path) {
  std::string native = NativePath(path);
  struct stat info {};
  if (stat(native.c_str(), &info) != 0) return Failed("stat", native);
  mode_t mode = info.st_mode & 07777;
  return chmod(native.c_str(), mode | ((mode & 0444) >> 2)) == 0 || Failed("chmod", native);
}

}  // namespace updater
