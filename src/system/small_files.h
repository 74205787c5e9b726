// The program's own files: reading a small file whole, and writing a file
// whole, through a FileSystem.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "system/file_system.h"

namespace updater {

// (clang-format 14 cannot lay out an enum with an attribute.)
// clang-format off
enum class [[nodiscard]] SmallFileRead {
  Done,      // `*bytes` holds the whole file
  Missing,   // nothing is at the path
  TooLarge,  // the file holds more than the limit; nothing was kept
  Failed,    // it cannot be opened or read (a folder, a device, an error)
};
// clang-format on

// Reads the regular file at `path` (not through a link: these are the
// updater's own files) whole into `*bytes` when it holds at most
// `limit` bytes; never more than `limit` + 1 bytes are read, whatever size
// the file claims. Failed, with the file system's cause in `*cause`, when it
// cannot be opened or read.
SmallFileRead ReadSmallFile(FileSystem& files, const std::string& path, int64_t limit,
                            std::string* bytes, std::string* cause);

// Writes `bytes` to `path` whole, the one way every file the updater makes
// whole is written: into PartPath(`path`) first (NAME.part beside it), which
// is flushed, closed and then moved over `path` in one step, so that `path`
// is only ever the old file or the whole new one. False, with the file
// system's cause in `*cause`, when any step fails; `path` is then as it was
// and the ".part" file is removed. A killed writer leaves the ".part" file.
[[nodiscard]] bool WriteFileWhole(FileSystem& files, const std::string& path,
                                  std::string_view bytes, std::string* cause);

}  // namespace updater
