// The packages that bring the main program to the newest version a catalogue
// offers: the chain with the fewest bytes when the catalogue has delta
// packages (lines with a from= fact), and otherwise every newer line, as
// updaters have always taken them. Pure rules; the check downloads and applies.
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/catalogue.h"

namespace updater {

// The packages of one version applied together, in catalogue order: one line,
// or every line of a release its publisher split (the lines with the same
// version and the same from=, or the full lines of one version).
using UpdateStep = std::vector<UpdateEntry>;

struct UpdatePath {
  std::vector<UpdateStep> Steps;  // in the order to apply them
  // Chosen from the facts; false: every newer line, one step per version.
  bool ByFacts = false;
  // ByFacts, and no chain of the catalogue's packages leads to its newest
  // version from where the installation is; Steps is then empty.
  bool NoPath = false;
};

// The steps that bring the main program from `installedMain` (0: nothing
// installed) to the newest version that `offered` holds. `offered` is the
// catalogue as this installation is offered it (see OfferedEntries); only
// its main-program lines count.
//
// Without a main-program line that has a from= fact (readable or not) the
// lines are the ones every updater has taken: every main-program line newer
// than `installedMain`, or with `force` every one (as VersionTable selects),
// in the steps of ApplicationGroups: ascending versions, the lines of one
// version one step in catalogue order, so that the run never ends at a
// version below the newest line it applied. Such a catalogue may list a full
// package and then smaller packages of the files changed since, which apply
// in that order.
//
// With such a line the publisher has said which packages are deltas, so
// every line without from= is a full package, and the steps form the chain
// with the fewest bytes (every newer line would now take deltas that do not
// fit the installation):
// - a full package applies over anything; a delta only over exactly its
//   from= version, and never over nothing installed;
// - every step's version is above the one before it, the first above
//   `installedMain`; the last is the newest version of the usable lines;
// - a line whose from= is malformed, or not below its own version, is not
//   usable, since nothing says what it applies over;
// - with `force` (reinstall) the chain starts from nothing installed, its
//   first step at any version, and ends at the newest version even when
//   that is installed already.
// Chains compare by the number of their lines without a size= fact first,
// then by their bytes (added up to at most 2^64 - 1), then by their number of
// steps, then by the catalogue's order: the chain whose last step's first
// line comes earlier, then the step before it. So a size not known counts as
// more than any known one: a publisher who writes from= writes size= as well,
// and a chain whose bytes are known is never given up for one that could be
// of any size. Nothing is chosen when the installation already has the
// newest version (and no `force`), or when no chain reaches it (NoPath).
UpdatePath ChooseUpdatePath(const Catalogue& offered, int64_t installedMain, bool force);

// The full packages of the main program at `version`, in catalogue order:
// its lines without a from= fact (nor a malformed one). The fall-back when a
// delta cannot apply, for instance over a file changed by hand; empty when
// the catalogue has none.
std::vector<UpdateEntry> FullPackages(const Catalogue& offered, int64_t version);

}  // namespace updater
