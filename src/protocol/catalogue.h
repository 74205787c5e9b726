// The version catalogue of an update server (VersionInfo.txt): lines of name,
// package file and version, split into fields by spaces outside quotes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace updater {

// One catalogue line.
struct UpdateEntry {
  std::string Name;         // "updater", "VOXA" (any letter case) or ignored
  std::string PackageFile;  // relative to the server's base URL
  int64_t Version = 0;      // in hundredths: 105 is version 1.05
};

// The catalogue lines in file order.
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

// Splits a decoded catalogue text into `catalogue` (n entries) and returns
// the number of lines n: the number of CR LF pairs in the text. Every line ends with CR LF;
// text after the last CR LF is ignored. Returns 0, leaving `catalogue`
// unchanged, when the text holds no CR LF (the caller reports the catalogue
// as corrupted). A line feed at the start of a name is dropped.
int64_t ParseCatalogue(std::string_view text, Catalogue* catalogue);

}  // namespace updater
