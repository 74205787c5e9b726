// BLAKE2b-256 of file contents, as patches name the file they were made from
// and the file they make: from libgcrypt, which the updater links already.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace updater {

class FileSystem;

using ContentHash = std::array<uint8_t, 32>;

// The BLAKE2b-256 of `size` bytes at `data` (null for none). False with
// libgcrypt's reason when the library cannot be used.
bool HashContent(const uint8_t* data, int64_t size, ContentHash* hash, std::string* error);

// The BLAKE2b-256 of the file at `path`, read in chunks. False with the cause
// when the file cannot be opened or read, or the library cannot be used.
bool HashFile(FileSystem& files, const std::string& path, ContentHash* hash, std::string* error);

}  // namespace updater
