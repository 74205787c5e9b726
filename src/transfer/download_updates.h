// Downloading the selected update packages into the update folder.
#pragma once

#include <string_view>

#include "run/program.h"

namespace updater {

inline constexpr char kUpdaterAgent[] = "Morvex Updater";

// Removes the package files ("*.mxu") left in the update folder; folders and
// other files stay, and a file that cannot be deleted is passed over.
void ClearUpdateFolder(Program& program);

// Clears the update folder, then downloads the package of every selected
// update, in list order, from the server in use into the update folder under
// the package's own name. Stops at the first failure after printing its error
// line and returns false; true when every package arrived (also when none was
// selected).
bool DownloadUpdates(Program& program);

// True when a catalogue's package file name is a plain file name that stays
// inside the update folder: not empty, no "\", "/" or ":" and not "..".
bool IsPlainPackageFileName(std::string_view name);

}  // namespace updater
