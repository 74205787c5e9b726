// What a catalogue offers an installation.
#include "protocol/update_selection.h"

#include <algorithm>
#include <map>

#include "system/text.h"

namespace updater {

bool IsUpdaterEntry(const UpdateEntry& entry) {
  return LowerCaseText(entry.Name) == kUpdaterEntryName;
}

bool IsMainProgramEntry(const UpdateEntry& entry) {
  return LowerCaseText(entry.Name) == kMainProgramEntryName;
}

std::vector<UpdateEntry> NewerUpdaterEntries(const Catalogue& catalogue, int64_t installedUpdater) {
  std::vector<UpdateEntry> newer;
  for (const UpdateEntry& entry : catalogue)
    if (IsUpdaterEntry(entry) && entry.Version > installedUpdater) newer.push_back(entry);
  return newer;
}

std::vector<VersionTableRow> VersionTable(const Catalogue& catalogue, int64_t installedMain,
                                          bool force) {
  std::vector<VersionTableRow> rows;
  for (const UpdateEntry& entry : catalogue)
    if (IsMainProgramEntry(entry)) rows.push_back({entry, installedMain < entry.Version || force});
  return rows;
}

std::vector<UpdateEntry> ApplicationOrder(std::vector<UpdateEntry> selected) {
  std::stable_sort(
      selected.begin(), selected.end(),
      [](const UpdateEntry& a, const UpdateEntry& b) { return a.Version < b.Version; });
  return selected;
}

std::vector<std::vector<UpdateEntry>> ApplicationGroups(std::vector<UpdateEntry> selected) {
  std::vector<std::vector<UpdateEntry>> groups;
  std::map<int64_t, size_t> releases;  // version to its group
  for (UpdateEntry& entry : ApplicationOrder(std::move(selected))) {
    if (!IsMainProgramEntry(entry)) {
      groups.push_back({std::move(entry)});
      continue;
    }
    auto found = releases.find(entry.Version);
    if (found == releases.end()) {
      found = releases.emplace(entry.Version, groups.size()).first;
      groups.emplace_back();
    }
    groups[found->second].push_back(std::move(entry));
  }
  return groups;
}

}  // namespace updater
