// The version catalogue of an update server (VersionInfo.txt): lines of name,
// package file and version, split into fields by spaces outside quotes, and
// the facts about a line's package in the fields after them. Only the lines
// the check uses are kept: those of the updater and of the main program.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace updater {

// Facts: fields 4 and later of a catalogue line, each "key=value", about the
// line's package. Updaters that do not know them ignore every field after the
// third, so a catalogue with facts stays readable by every updater. A field
// without "=" or with an unknown key is ignored; keys are compared without
// regard to ASCII letter case. The known keys, each at most once a line:
//
//   size=BYTES          the package's size: decimal digits, above 0 and
//                       below 2^63
//   blake2b=HEX         BLAKE2b-256 of the package: 64 hexadecimal digits,
//                       in either letter case
//   from=VERSION        a delta package, which applies only over exactly this
//                       installed version; written as field 3 is (decimal
//                       digits, or "$" and hexadecimal, or "%" and binary,
//                       after an optional "+" or "-"), but nothing else may
//                       follow the digits and the number must fit in 64 bits.
//                       Without it the package is full: it applies over any
//                       installation, also over none
//   rollout=START/DAYS  a staged rollout: from the Unix time START (seconds,
//                       decimal, below 2^63) over DAYS days (decimal, 1 to
//                       365) more and more installations take the line
//   rollout=halted      the line is held back from every installation
//
// For example (one line, ended by CR LF):
//   VOXA voxa110-105.mxu 110 size=734003 blake2b=0123...cdef from=105 rollout=1767225600/10
//
// A known fact that is malformed (a value outside its form, a field longer
// than kLongestFact bytes, or a key given twice) is absent, and its bit is set
// in Malformed; the line itself is kept as without it, so that older and newer
// updaters agree on which lines a catalogue has. The rules that use facts say
// what a malformed one means to them (ChooseUpdatePath, RolloutOffers).

// The longest field a known fact may be; a longer one is malformed.
inline constexpr size_t kLongestFact = 128;
// The longest staged rollout, in days.
inline constexpr int64_t kLongestRolloutDays = 365;

// The known facts, as bits of PackageFacts::Malformed.
enum class Fact : uint8_t { Size = 1, Blake2b = 2, From = 4, Rollout = 8 };

// What a line's rollout fact says.
enum class RolloutState : uint8_t {
  Everybody,  // no rollout fact
  Staged,     // rollout=START/DAYS
  Halted,     // rollout=halted
};

// The facts of one catalogue line: at most 80 bytes whatever the line holds.
struct PackageFacts {
  std::optional<int64_t> Size;                     // bytes, above 0
  std::optional<int64_t> From;                     // a delta's version, in hundredths
  std::optional<std::array<uint8_t, 32>> Blake2b;  // the digest's bytes
  RolloutState Rollout = RolloutState::Everybody;
  uint8_t Malformed = 0;     // the Fact bits of known facts given but not readable
  int32_t RolloutDays = 0;   // Staged: 1 to kLongestRolloutDays
  int64_t RolloutStart = 0;  // Staged: Unix time in seconds, 0 or above

  // True when the line gave `fact` in a form that could not be read.
  bool IsMalformed(Fact fact) const { return (Malformed & static_cast<uint8_t>(fact)) != 0; }
};

// One catalogue line.
struct UpdateEntry {
  std::string Name;         // "updater" or "VOXA", in any letter case
  std::string PackageFile;  // relative to the server's base URL
  int64_t Version = 0;      // in hundredths: 105 is version 1.05
  PackageFacts Facts = PackageFacts();
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
// catalogue as corrupted). A line feed at the start of a name is dropped. A
// kept line gets the facts of its fields after the third (ReadFacts).
int64_t ParseCatalogue(std::string_view text, Catalogue* catalogue);

// The facts of a catalogue line (without its CR LF): fields 4 and later, as
// GetField splits them, read in one pass over the line.
PackageFacts ReadFacts(std::string_view line);

// The fields that write `facts` as ReadFacts reads them, separated by single
// spaces in the order size, blake2b (lower-case), from (decimal), rollout;
// the empty text when no fact is present. Malformed bits write nothing.
std::string FactFields(const PackageFacts& facts);

}  // namespace updater
