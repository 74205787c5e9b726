// The files of a folder tree as a package names them.
#pragma once

#include <map>
#include <string>

namespace updater::mxupack {

// Converts a UTF-8 relative path to the single-byte entry name of packages
// ("\" separators, Latin-1 range of the Windows ANSI code page). False for
// other characters.
bool ToEntryName(const std::string& utf8, std::string* name);

// The files below `folder`, by entry name, sorted, each with its path. False
// with a message for a folder that cannot be listed, a file that is not a
// regular file, and a name no package can hold.
bool ListFiles(const std::string& folder, std::map<std::string, std::string>* files,
               std::string* error);

}  // namespace updater::mxupack
