// The program's own small files: which names are plain file names, and
// reading and writing a small file whole through a FileSystem.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "system/file_system.h"

namespace updater {

// True when `name` is a plain file name that stays in the folder it is
// joined to: not empty, not "." or "..", and without "\", "/" or ":". Dots
// elsewhere ("VOXA_1.05..final.mxu") are part of the name.
bool IsPlainFileName(std::string_view name);

enum class SmallFileRead {
  Done,      // `*bytes` holds the whole file
  Missing,   // nothing is at the path
  TooLarge,  // the file holds more than the limit; nothing was kept
  Failed,    // it cannot be opened or read (a folder, a device, an error)
};

// Reads the regular file at `path` (not through a link: these are the
// updater's own files) whole into `*bytes` when it holds at most
// `limit` bytes; never more than `limit` + 1 bytes are read, whatever size
// the file claims. The cause of a failure is the file system's LastError.
SmallFileRead ReadSmallFile(FileSystem& files, const std::string& path, int64_t limit,
                            std::string* bytes);

// Writes `bytes` to `path` whole: into `path` + ".part" first, which is
// flushed, closed and then moved over `path`. False when that fails (the
// cause is the file system's), with `path` as it was and the ".part" file
// removed.
bool WriteSmallFile(FileSystem& files, const std::string& path, std::string_view bytes);

}  // namespace updater
