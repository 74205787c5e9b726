// What a catalogue offers an installation: newer updaters, the entries of
// the main program that the version table shows and selects, and the order
// and transactions in which the selected ones apply. Pure rules; the check
// prints and asks.
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

// The selected entries in the order to download and apply them: ascending
// version, and catalogue order within one version (a stable sort), so that
// the last package applied is one of the newest version and an installation
// never ends at a version lower than the newest line it applied, whatever
// order the catalogue lists them in.
std::vector<UpdateEntry> ApplicationOrder(std::vector<UpdateEntry> selected);

// The selected entries grouped into what applies as one transaction, in
// ApplicationOrder: the main program's entries of one version together, in
// catalogue order, at the place of the first of them (a release split into
// several packages), and every other entry on its own. Download and apply in
// this order; it feeds the order file of the update folder, one group per
// transaction.
std::vector<std::vector<UpdateEntry>> ApplicationGroups(std::vector<UpdateEntry> selected);

}  // namespace updater
