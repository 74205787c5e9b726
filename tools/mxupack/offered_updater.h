// The keys of the updaters that a server folder's catalogue offers, read from
// their packages, for the checks that take a server to a new key.
#pragma once

#include <string>
#include <vector>

#include "protocol/built_in_keys.h"

namespace updater::mxupack {

// One updater the catalogue offers and the keys it carries.
struct OfferedUpdater {
  std::string PackageFile;  // as the catalogue's "updater" line names it
  BuiltInKeys Keys;
};

// Reads every "updater" line of `catalogue` (the text of the catalogue in
// `folder`, a path ending with its separator), opens its package in the
// folder and finds the key mark of the Updater.exe inside, unpacked to a
// temporary folder that goes again. False with a message for a package that
// is not a plain file name of the folder, cannot be read, holds no
// Updater.exe, or whose program carries no mark.
bool OfferedUpdaters(const std::string& folder, const std::string& catalogue,
                     std::vector<OfferedUpdater>* updaters, std::string* error);

}  // namespace updater::mxupack
