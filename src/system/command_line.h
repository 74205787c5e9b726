// The updater's command-line splitting rule, shared by the option parser and
// by the POSIX backend, which rebuilds and splits command lines by it.
//
// Parameters are separated by runs of spaces (not tabs). A parameter that
// begins with a double quote runs to the next double quote and ends there; a
// double quote inside a parameter opens a quoted stretch, spaces included, up
// to the next double quote. Every double quote is removed; there is no other
// escape.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace updater {

// Splits a whole command line; element 0 is the program's own path.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// Joins arguments so that SplitCommandLine gives them back. Double quotes
// inside an argument cannot be expressed and are dropped.
std::string JoinCommandLine(const std::vector<std::string>& arguments);

}  // namespace updater
