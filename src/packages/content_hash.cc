// BLAKE2b-256 of file contents from libgcrypt.
#include "packages/content_hash.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "system/file_system.h"

namespace updater {

namespace {

constexpr int64_t kReadChunk = 1 << 20;

// Makes libgcrypt ready once per process, unless another part of the program
// (the signature check) did it first. The empty text, or why it failed.
const std::string& LibraryReady() {
  static const std::string failure = [] {
    if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) return std::string();
    if (!gcry_check_version(GCRYPT_VERSION))
      return std::string("libgcrypt ") + gcry_check_version(nullptr) + " is older than " +
             GCRYPT_VERSION;
    // Hashes need no locked memory, which the updater has no right to.
    gcry_control(GCRYCTL_DISABLE_SECMEM_WARN);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return std::string();
  }();
  return failure;
}

// A BLAKE2b-256 hash being fed.
class Hasher {
 public:
  Hasher() {
    if (!LibraryReady().empty()) {
      error_ = LibraryReady();
      return;
    }
    gcry_error_t result = gcry_md_open(&handle_, GCRY_MD_BLAKE2B_256, 0);
    if (result != 0) {
      handle_ = nullptr;
      error_ = std::string("libgcrypt gcry_md_open: ") + gcry_strerror(result);
    }
  }
  ~Hasher() { gcry_md_close(handle_); }
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;

  bool Ready(std::string* error) const {
    if (!handle_) *error = error_;
    return handle_ != nullptr;
  }
  void Update(const uint8_t* data, int64_t size) {
    // gcry_md_write takes a size_t; pieces keep it within range everywhere.
    while (size > 0) {
      const int64_t piece = std::min<int64_t>(size, int64_t{1} << 30);
      gcry_md_write(handle_, data, static_cast<size_t>(piece));
      data += piece;
      size -= piece;
    }
  }
  void Finish(ContentHash* hash) {
    std::memcpy(hash->data(), gcry_md_read(handle_, GCRY_MD_BLAKE2B_256), hash->size());
  }

 private:
  gcry_md_hd_t handle_ = nullptr;
  std::string error_;
};

}  // namespace

bool HashContent(const uint8_t* data, int64_t size, ContentHash* hash, std::string* error) {
  Hasher hasher;
  if (!hasher.Ready(error)) return false;
  if (data) hasher.Update(data, size);
  hasher.Finish(hash);
  return true;
}

bool HashFile(FileSystem& files, const std::string& path, ContentHash* hash, std::string* error) {
  Hasher hasher;
  if (!hasher.Ready(error)) return false;
  std::unique_ptr<File> file = files.OpenRead(path, false, error);
  if (!file) return false;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kReadChunk]);
  if (!buffer) {
    *error = "no memory to read " + path;
    return false;
  }
  while (true) {
    const int64_t count = file->Read(buffer.get(), kReadChunk, error);
    if (count < 0) return false;
    if (count == 0) break;
    hasher.Update(buffer.get(), count);
  }
  hasher.Finish(hash);
  return true;
}

}  // namespace updater
