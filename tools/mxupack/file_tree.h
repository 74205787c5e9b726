// The files of a folder tree as a package names them, read safely: every
// name one that the updater and Windows take, links only on purpose, and the
// files a publisher leaves out by pattern.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace updater::mxupack {

// Converts a UTF-8 relative path to the single-byte entry name of packages
// ("\" separators, Latin-1 range of the Windows ANSI code page). False for
// other characters.
bool ToEntryName(const std::string& utf8, std::string* name);

// Why Windows or the updater cannot take the relative path `path` ("/"
// between its names) as a file below the program folder, or the empty text
// when they can: an empty name, "." or "..", a character Windows does not
// allow in a name (control characters, < > : " | ? * and \), a name that
// ends with a dot or a space (Windows drops them), a reserved device name
// (CON, PRN, AUX, NUL, COM1-9, LPT1-9, also with an extension), or what the
// updater's own rule (IsSafeEntryName) refuses.
std::string NameProblem(std::string_view path);

// Whether the glob `pattern` matches the relative path `path` ("/" between
// names), letter case ignored (ASCII): "*" any characters but "/", "?" one,
// "**" any characters, "**/" also none. A pattern without "/" matches a
// name at any depth ("*.pdb" matches "bin/a.pdb").
bool MatchesPattern(std::string_view pattern, std::string_view path);

struct TreeOptions {
  // Take the content of what links point to, and walk linked folders; without
  // it a link is refused.
  bool FollowLinks = false;
  // Patterns of paths to leave out (MatchesPattern); one that matches a
  // folder leaves out everything below it.
  std::vector<std::string> Excludes;
};

// The files below `folder`, by entry name, sorted, each with its path; the
// count of files and folders left out by a pattern in `excluded` when given. False with
// a message naming the path for a folder that cannot be listed, a link
// (unless followed; then one that leads nowhere or back into its own
// folders), anything but a regular file, a name NameProblem refuses or no
// package can hold, and two names Windows takes for the same file.
bool ListFiles(const std::string& folder, const TreeOptions& options,
               std::map<std::string, std::string>* files, std::string* error,
               size_t* excluded = nullptr);

}  // namespace updater::mxupack
