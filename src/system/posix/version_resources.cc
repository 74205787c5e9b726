// File versions on POSIX, read from the files themselves: the version
// resource of a Windows program, or the version note of an ELF program.
#include "system/posix/version_resources.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "system/posix/image_version.h"
#include "system/posix/posix_platform.h"

namespace updater {

namespace {

// A read-only descriptor, closed when the holder goes.
class OpenedFile {
 public:
  explicit OpenedFile(const std::string& path) {
    // O_NONBLOCK: a FIFO at the path opens at once and is refused as not a
    // regular file, instead of holding the run until a writer comes.
    do {
      fd_ = open(NativePath(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
  }
  ~OpenedFile() {
    if (fd_ >= 0) close(fd_);
  }
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;

  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

bool ReadAt(int fd, uint64_t offset, size_t size, uint8_t* out) {
  size_t done = 0;
  while (done < size) {
    const ssize_t count = pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<size_t>(count);
  }
  return true;
}

}  // namespace

// Nothing to prepare: the files are read directly.
bool PosixVersionResources::Load() { return true; }

std::optional<uint32_t> PosixVersionResources::FileVersionMS(const std::string& path) {
  const OpenedFile file(path);
  struct stat info {};
  if (file.fd() < 0 || fstat(file.fd(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  const int fd = file.fd();
  const ImageReader read = [fd](uint64_t offset, size_t size, uint8_t* out) {
    return ReadAt(fd, offset, size, out);
  };
  return ReadImageFileVersionMS(read, static_cast<uint64_t>(info.st_size));
}

}  // namespace updater
