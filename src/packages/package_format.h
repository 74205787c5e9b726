// The byte layout of update packages (*.mxu): the 21-byte header and the
// directory records, with bounds-checked parsers shared by the reader and the
// writer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packages/package_codecs.h"

namespace updater {

inline constexpr char kPackageMagic[8] = {'V', 'e', 'l', 'k', 'o', 'A', 'r', 'c'};
inline constexpr uint8_t kPackageFormatVersion = 2;
inline constexpr int64_t kPackageHeaderSize = 21;
inline constexpr int64_t kEntryVariantSize = 13;
// Flag bits of package features this reader does not have (such as
// encrypted data or another layout of the blocks): a package with either bit
// is refused whole rather than misread. The bits 1 and 2 are accepted and
// change nothing; 16 to 128 are not looked at.
inline constexpr uint8_t kFlagUnsupportedFeature4 = 4;
inline constexpr uint8_t kFlagUnsupportedFeature8 = 8;
inline constexpr uint8_t kUnsupportedFeatureFlags =
    kFlagUnsupportedFeature4 | kFlagUnsupportedFeature8;

struct PackageHeader {
  char Magic[8] = {};
  uint8_t FormatVersion = 0;
  uint8_t Flags = 0;
  uint16_t DirPackedSize = 0;
  uint16_t DirSize = 0;
  int32_t DirOffset = 0;
  PackageMethod DirMethod = PackageMethod::Stored;  // as stored; may be unknown
};

struct EntryVariant {
  uint8_t Key = 0;
  int32_t PackedSize = 0;
  int32_t Size = 0;
  int32_t Offset = 0;
};

struct DirectoryEntry {
  std::string Name;  // the stored bytes up to the first zero byte, unconverted
  uint16_t Version = 0;
  PackageMethod Method = PackageMethod::Stored;  // as stored; may be unknown
  std::vector<EntryVariant> Variants;
};

// Splits the 21 header bytes into their fields; nothing is judged.
PackageHeader DecodePackageHeader(const uint8_t* bytes);
// The 21 bytes of a header.
std::string EncodePackageHeader(const PackageHeader& header);

// Reads `EntryCount` and every `DirectoryEntry` from a decoded directory.
// False when a record runs past `size` bytes (the whole directory is then
// refused). Bytes after the last record are ignored.
bool ParseDirectory(const uint8_t* data, int64_t size, std::vector<DirectoryEntry>* entries);

// The decoded directory bytes for `entries`. Names longer than 255 bytes and
// more than 255 variants are the caller's to refuse beforehand.
std::string EncodeDirectory(const std::vector<DirectoryEntry>& entries);

}  // namespace updater
