// The check of a downloaded package against the facts its catalogue line
// gives about it (size= and blake2b=), before the package is kept or opened.
#pragma once

#include <string>

#include "protocol/catalogue.h"
#include "system/file_system.h"

namespace updater {

// True when the file at `path` has the size and the BLAKE2b-256 digest that
// `facts` give; a fact that is absent (or malformed) is not checked, so a
// line without facts passes. False with `*cause` saying what differs, or
// why the file could not be read or hashed.
bool PackageMatchesFacts(FileSystem& files, const std::string& path, const PackageFacts& facts,
                         std::string* cause);

}  // namespace updater
