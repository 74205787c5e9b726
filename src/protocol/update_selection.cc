// What a catalogue offers an installation.
#include "protocol/update_selection.h"

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

}  // namespace updater
