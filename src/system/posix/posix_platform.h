// Pieces of the POSIX backend shared between its files.
#pragma once

#include <string>

namespace updater {

// Records the process arguments; called by main before anything else.
void InitPosixPlatform(int argc, char** argv);

// Maps the program's "\" folder separators to "/".
std::string NativePath(const std::string& path);

}  // namespace updater
