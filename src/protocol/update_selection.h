// What a catalogue offers an installation: newer updaters, and the entries of
// the main program that the version table shows and selects. Pure rules; the
// check prints and asks.
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/catalogue.h"

namespace updater {

// "updater" in any letter case.
bool IsUpdaterEntry(const UpdateEntry& entry);
// "VOXA" in any letter case.
bool IsMainProgramEntry(const UpdateEntry& entry);

// The "updater" entries whose version is above the installed updater's, in
// catalogue order.
std::vector<UpdateEntry> NewerUpdaterEntries(const Catalogue& catalogue, int64_t installedUpdater);

// One row of the version table: a main-program entry, and whether it is
// selected for updating.
struct VersionTableRow {
  UpdateEntry Entry;
  bool Selected = false;
};

// A row for every main-program entry in catalogue order; an entry is selected
// when it is newer than the installed main program, or always with `force`.
std::vector<VersionTableRow> VersionTable(const Catalogue& catalogue, int64_t installedMain,
                                          bool force);

}  // namespace updater
