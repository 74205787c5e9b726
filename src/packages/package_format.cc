// Parsing and writing of the package header and directory records.
#include "packages/package_format.h"

#include <cstring>

namespace updater {

namespace {

uint16_t Read16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | static_cast<unsigned>(bytes[1]) << 8);
}

int32_t Read32(const uint8_t* bytes) {
  uint32_t value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                   static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  return static_cast<int32_t>(value);
}

void Append16(std::string* out, uint16_t value) {
  out->push_back(static_cast<char>(value & 0xff));
  out->push_back(static_cast<char>(value >> 8));
}

void Append32(std::string* out, int32_t value) {
  uint32_t bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((bits >> (8 * i)) & 0xff));
}

// A read position that never passes the end of its bytes.
class Cursor {
 public:
  Cursor(const uint8_t* data, int64_t size) : data_(data), size_(size) {}

  bool Take(int64_t count, const uint8_t** bytes) {
    if (count > size_ - position_) return false;
    *bytes = data_ + position_;
    position_ += count;
    return true;
  }

 private:
  const uint8_t* data_;
  int64_t size_;
  int64_t position_ = 0;
};

}  // namespace

PackageHeader DecodePackageHeader(const uint8_t* bytes) {
  PackageHeader header;
  std::memcpy(header.Magic, bytes, sizeof header.Magic);
  header.FormatVersion = bytes[8];
  header.Flags = bytes[9];
  header.DirPackedSize = Read16(bytes + 12);
  header.DirSize = Read16(bytes + 14);
  header.DirOffset = Read32(bytes + 16);
  header.DirMethod = PackageMethod{bytes[20]};
  return header;
}

std::string EncodePackageHeader(const PackageHeader& header) {
  std::string out(header.Magic, sizeof header.Magic);
  out.push_back(static_cast<char>(header.FormatVersion));
  out.push_back(static_cast<char>(header.Flags));
  Append16(&out, 0);  // reserved
  Append16(&out, header.DirPackedSize);
  Append16(&out, header.DirSize);
  Append32(&out, header.DirOffset);
  out.push_back(static_cast<char>(header.DirMethod));
  return out;
}

bool ParseDirectory(const uint8_t* data, int64_t size, std::vector<DirectoryEntry>* entries) {
  Cursor cursor(data, size);
  const uint8_t* bytes;
  if (!cursor.Take(2, &bytes)) return false;
  uint16_t count = Read16(bytes);
  std::vector<DirectoryEntry> parsed;
  parsed.reserve(count);
  for (uint16_t i = 0; i < count; ++i) {
    DirectoryEntry entry;
    if (!cursor.Take(1, &bytes)) return false;
    uint8_t nameLength = bytes[0];
    if (!cursor.Take(nameLength, &bytes)) return false;
    const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(bytes, 0, nameLength));
    entry.Name.assign(reinterpret_cast<const char*>(bytes),
                      zero ? static_cast<size_t>(zero - bytes) : nameLength);
    if (!cursor.Take(4, &bytes)) return false;
    entry.Version = Read16(bytes);
    entry.Method = PackageMethod{bytes[2]};
    uint8_t variantCount = bytes[3];
    for (uint8_t v = 0; v < variantCount; ++v) {
      if (!cursor.Take(kEntryVariantSize, &bytes)) return false;
      entry.Variants.push_back({bytes[0], Read32(bytes + 1), Read32(bytes + 5), Read32(bytes + 9)});
    }
    parsed.push_back(std::move(entry));
  }
  *entries = std::move(parsed);
  return true;
}

std::string EncodeDirectory(const std::vector<DirectoryEntry>& entries) {
  std::string out;
  Append16(&out, static_cast<uint16_t>(entries.size()));
  for (const DirectoryEntry& entry : entries) {
    out.push_back(static_cast<char>(entry.Name.size()));
    out += entry.Name;
    Append16(&out, entry.Version);
    out.push_back(static_cast<char>(entry.Method));
    out.push_back(static_cast<char>(entry.Variants.size()));
    for (const EntryVariant& variant : entry.Variants) {
      out.push_back(static_cast<char>(variant.Key));
      Append32(&out, variant.PackedSize);
      Append32(&out, variant.Size);
      Append32(&out, variant.Offset);
    }
  }
  return out;
}

}  // namespace updater
