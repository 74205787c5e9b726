// The names of a package's entries.
#include "packages/entry_names.h"

namespace updater {

std::string FolderPart(std::string_view entryName) {
  size_t last = entryName.find_last_of("\\/");
  return last == std::string_view::npos ? std::string()
                                        : std::string(entryName.substr(0, last + 1));
}

bool IsSafeEntryName(std::string_view entryName) {
  if (entryName.empty() || entryName[0] == '\\' || entryName[0] == '/') return false;
  if (entryName.find(':') != std::string_view::npos) return false;
  size_t start = 0;
  while (start <= entryName.size()) {
    size_t end = entryName.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = entryName.size();
    const std::string_view part = entryName.substr(start, end - start);
    // Windows drops trailing dots and spaces from a name, so ". ." and "..."
    // can reach the parent folder as ".." does.
    bool dotsOnly = part.size() >= 2 && part.find_first_not_of(". ") == std::string_view::npos &&
                    part.find('.') != std::string_view::npos;
    if (dotsOnly) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace updater
