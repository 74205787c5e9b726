// The files of a release or an installation as the end-to-end tests build
// and compare them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace updater::testing {

// Relative path ('/' between folders) -> content.
using FileTree = std::map<std::string, std::string>;

// `size` bytes that do not compress, as media files, the same for one seed.
std::string NoiseBytes(size_t size, uint32_t seed);

// Writes `tree` below `folder` (ending with '/'), creating its folders.
void WriteFileTree(const std::string& folder, const FileTree& tree);

// The files below `folder` (ending with '/'), leaving out what only an
// installation has: Update/, Updater.exe and UpdateServer.lst.
FileTree InstalledFiles(const std::string& folder);

}  // namespace updater::testing
