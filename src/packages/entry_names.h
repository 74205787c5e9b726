// The names of a package's entries: which stay below the program folder, and
// the folder part of a name.
#pragma once

#include <string>
#include <string_view>

namespace updater {

// Everything of an entry name up to and including its last "\" or "/".
std::string FolderPart(std::string_view entryName);

// True when the entry name is a path below the program folder: not empty, not
// starting with "\" or "/", without a drive or other ":" and without a ".."
// (or other dots-only) component.
bool IsSafeEntryName(std::string_view entryName);

}  // namespace updater
