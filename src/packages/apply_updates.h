// Applying every downloaded update package to the installation.
#pragma once

#include <string>
#include <string_view>

#include "packages/package_reader.h"
#include "system/report.h"

namespace updater {

// Applies every "*.mxu" file in the update folder (`programFolder` followed by
// "Update\"), one package after the other: each entry is written below
// `programFolder` under its own relative path, creating missing folders, and
// the package is deleted once all of its entries are written. A package that
// cannot be opened is reported by name, kept, and passed over. A package that
// fails part-way is undone: the files it had replaced get their old content
// back and the files it created are removed; the call then stops. True when
// the whole listing was walked; false when the update folder cannot be listed
// or an entry's folder or file could not be written. Lines go to the reader's
// report.
bool ApplyUpdates(PackageReader& reader, const std::string& programFolder);

// Creates, below `programFolder` and from the top down, each folder of the
// relative `folderPart` ("Data\Maps\") that does not exist yet, printing
// "Creating directory... : " with the full path first. True when all exist.
bool CreateFolders(FileSystem& files, Report& report, const std::string& programFolder,
                   const std::string& folderPart);

// Everything of an entry name up to and including its last "\" or "/".
std::string FolderPart(std::string_view entryName);

// True when the entry name is a path below the program folder: not empty, not
// starting with "\" or "/", without a drive or other ":" and without a ".."
// (or other dots-only) component.
bool IsSafeEntryName(std::string_view entryName);

}  // namespace updater
