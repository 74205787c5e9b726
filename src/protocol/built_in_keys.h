// The publisher's keys built into an updater program, as one marked byte
// string: "VOXA-UPDATER-PUBLIC-KEYS:", the base64 key lines separated by ";"
// (none for a program that requires no signatures), then ":END". The program
// reads its keys from it, and the publisher's tool finds it in the bytes of
// a program file, PE or ELF alike, to learn which keys that program takes.
// A program takes a file signed by any of its keys.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "protocol/minisign_format.h"

namespace updater {

inline constexpr std::string_view kKeysMarkStart = "VOXA-UPDATER-PUBLIC-KEYS:";
inline constexpr std::string_view kKeysMarkEnd = ":END";
inline constexpr char kKeysMarkSeparator = ';';

// The keys a program carries.
struct BuiltInKeys {
  std::vector<std::string> Lines;       // the base64 lines, in the mark's order
  std::vector<MinisignPublicKey> Keys;  // the same keys, read
};

// The mark of `keyLines`, as the build writes it into each program.
std::string KeysMark(const std::vector<std::string>& keyLines);

// Finds the mark in the bytes of a program file and reads its keys. A mark is
// the start text followed by zero or more key lines (each one that
// ParsePublicKey reads, with no spaces) separated by ";", then the end text;
// the start text followed by anything else is no mark, as the copy of the
// start text in this parser's own code is not. Marks that are equal count
// once. False with a reason when the bytes hold no mark, or marks that
// differ.
bool BuiltInKeysOf(std::string_view bytes, BuiltInKeys* keys, std::string* reason);

// The key lines of a mark made by KeysMark, unchecked (a key the build let
// through malformed must fail where it is read, not vanish); none for a mark
// without keys.
std::vector<std::string> MarkedKeys(std::string_view mark);

// The rule of a hand-over from a running updater to a new one: true when the
// new updater carries at least one of the running updater's keys (the same
// key id and key), so that what the running one's publisher signs reaches
// the new one too; and when the running updater carries no key. An updater
// that hands over to one without its keys would hand its installation to
// whoever signed that one.
bool CarriesAnyKeyOf(const std::vector<MinisignPublicKey>& newKeys,
                     const std::vector<MinisignPublicKey>& runningKeys);

// This program's own mark and the key lines it takes: not defined in
// this library but in the source that the build generates for each updater
// program (cmake/built_in_keys.cc.in), since each has keys of its own.
std::string_view ProgramKeysMark();
std::vector<std::string> ProgramPublicKeys();

}  // namespace updater
