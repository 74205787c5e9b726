// Applying every downloaded update package to the installation.
#pragma once

#include <string>
#include <vector>

#include "packages/package_reader.h"
#include "system/report.h"

namespace updater {

// Applies every "*.mxu" file in the update folder (UpdateFolderPath of
// `programFolder`), one package after the other in the order of ApplyOrder and
// the update folder's order file (Packages.order), each whole or not at all: every
// entry is first decoded into a temporary file beside its target (creating
// missing folders), the temporary files are made durable, and then, recorded
// in the journal (Update\Apply.journal and its copy), they take their
// targets' places; the package is deleted once all of them have. A failure
// before that removes the temporary files and the folders the package
// created; a failure while they move rolls the package back; the call then
// stops, and the package stays (a rollback that cannot finish is left to the
// next run's recovery, as the journal says). A journal that an earlier run
// left and that cannot be recovered stops the call before any package; one
// that names anything outside the program folder is refused with "Error:
// Refused Update\Apply.journal: " and the reason. A package that cannot be
// opened, or whose directory holds an entry without a name, is reported by
// name ("Error: Failed to read update file: "), kept, and passed over. True
// when the whole listing was walked; false when the update folder cannot be
// listed, an entry's folder or file could not be written, or a journal
// stopped it. Afterwards the order file names only the packages still
// waiting (it goes when none is). Lines go to the reader's report.
bool ApplyUpdates(PackageReader& reader, const std::string& programFolder);

// The package file names of `listed` (a listing of the update folder) in the
// order to apply them: the names that `recorded` holds, in its order (letter
// case ignored, as the file system compares names), then the others by name.
std::vector<std::string> ApplyOrder(std::vector<std::string> listed,
                                    const std::vector<std::string>& recorded);

// Creates, below `programFolder` and from the top down, each folder of the
// relative `folderPart` ("Data\Maps\") that does not exist yet, printing
// "Creating directory... : " with the full path first. True when all exist.
bool CreateFolders(FileSystem& files, Report& report, const std::string& programFolder,
                   const std::string& folderPart);

}  // namespace updater
