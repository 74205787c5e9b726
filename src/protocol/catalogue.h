// The version catalogue of an update server (VersionInfo.txt): lines of name,
// package file and version, split into fields by spaces outside quotes. Only
// the lines the check uses are kept: those of the updater and of the main
// program.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace updater {

// One catalogue line.
struct UpdateEntry {
  std::string Name;         // "updater" or "VOXA", in any letter case
  std::string PackageFile;  // relative to the server's base URL
  int64_t Version = 0;      // in hundredths: 105 is version 1.05
};

// The names of the lines a catalogue keeps, compared without regard to
// ASCII letter case.
inline constexpr std::string_view kUpdaterEntryName = "updater";
inline constexpr std::string_view kMainProgramEntryName = "voxa";

// The catalogue's updater and main-program lines in file order.
using Catalogue = std::vector<UpdateEntry>;

// Field `index` (counted from 1) of a line, or the empty text when the line
// has fewer fields or `index` is below 1. Fields are separated by runs of
// spaces (U+0020 only). A double quote switches a quoted state on and off in
// which spaces do not separate; the quotes stay in the field.
std::string GetField(std::string_view line, int64_t index);

// Reads a signed 64-bit number from the start of `text`: leading spaces and
// tabs are skipped, an optional "+" or "-" follows, then decimal digits, or
// after "$" hexadecimal digits, or after "%" binary digits. Reading stops at
// the first character that is not a digit of the number; no digits give 0.
// Values beyond 64 bits wrap around.
int64_t ReadVersionField(std::string_view text);

// Splits a decoded catalogue text into lines and returns their number n: the
// number of CR LF pairs in the text. Every line ends with CR LF; text after
// the last CR LF is ignored. `catalogue` gets the lines whose name (field 1)
// is kUpdaterEntryName or kMainProgramEntryName, in file order; the other
// lines are counted and dropped, so that the memory a catalogue takes does
// not grow with lines the check has no use for. Returns 0, leaving
// `catalogue` unchanged, when the text holds no CR LF (the caller reports the
// catalogue as corrupted). A line feed at the start of a name is dropped.
int64_t ParseCatalogue(std::string_view text, Catalogue* catalogue);

}  // namespace updater
