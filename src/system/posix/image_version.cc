// File versions read from PE version resources and ELF version notes.
#include "system/posix/image_version.h"

#include <cstring>
#include <string>
#include <vector>

#include "system/posix/elf_version_note.h"

namespace updater {

namespace {

// PE layout.
constexpr uint16_t kDosSignature = 0x5A4D;      // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;   // "PE\0\0"
constexpr uint64_t kDosNewHeaderOffset = 0x3C;  // e_lfanew
constexpr uint64_t kCoffHeaderSize = 20;
constexpr uint16_t kOptionalMagicPe32 = 0x10B;
constexpr uint16_t kOptionalMagicPe32Plus = 0x20B;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint64_t kSectionHeaderSize = 40;
constexpr uint32_t kRtVersion = 16;
constexpr uint32_t kVsVersionInfoId = 1;
constexpr uint32_t kSubdirectoryFlag = 0x80000000;
constexpr uint32_t kNameIsStringFlag = 0x80000000;
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr size_t kFixedFileInfoSize = 52;
constexpr char16_t kVersionInfoKey[] = u"VS_VERSION_INFO";

// ELF layout.
constexpr uint32_t kElfMagic = 0x464C457F;  // "\x7F" "ELF"
constexpr uint8_t kElfClass32 = 1, kElfClass64 = 2;
constexpr uint8_t kElfLittleEndian = 1, kElfBigEndian = 2;
constexpr uint32_t kSectionTypeNote = 7;
// Larger note sections are not ours; they are passed over unread.
constexpr uint64_t kMaxNoteSectionSize = 1 << 20;

// Bounds-checked little- or big-endian reads through an ImageReader.
class Image {
 public:
  Image(const ImageReader& read, uint64_t size) : read_(read), size_(size) {}

  uint64_t Size() const { return size_; }

  bool Bytes(uint64_t offset, size_t count, uint8_t* out) const {
    if (offset > size_ || count > size_ - offset) return false;
    return count == 0 || read_(offset, count, out);
  }

  bool Bytes(uint64_t offset, size_t count, std::vector<uint8_t>* out) const {
    out->assign(count, 0);
    return Bytes(offset, count, out->data());
  }

  template <typename T>
  bool Number(uint64_t offset, T* value, bool bigEndian = false) const {
    uint8_t bytes[sizeof(T)];
    if (!Bytes(offset, sizeof(T), bytes)) return false;
    *value = Decode<T>(bytes, bigEndian);
    return true;
  }

  template <typename T>
  static T Decode(const uint8_t* bytes, bool bigEndian = false) {
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
      const size_t index = bigEndian ? i : sizeof(T) - 1 - i;
      value = static_cast<T>((static_cast<uint64_t>(value) << 8) | bytes[index]);
    }
    return value;
  }

 private:
  const ImageReader& read_;
  uint64_t size_;
};

struct Section {
  uint32_t VirtualAddress = 0;
  uint32_t RawSize = 0;
  uint32_t RawOffset = 0;
};

// Maps the span [rva, rva + count) to a file offset, when it lies wholly in
// the raw data of one section.
std::optional<uint64_t> FileOffsetOf(const std::vector<Section>& sections, uint64_t rva,
                                     uint64_t count) {
  for (const Section& section : sections) {
    if (rva < section.VirtualAddress) continue;
    const uint64_t within = rva - section.VirtualAddress;
    if (within > section.RawSize || count > section.RawSize - within) continue;
    return section.RawOffset + within;
  }
  return std::nullopt;
}

// One level of the resource tree: the entry with `id`, or with `fallback`
// set the first entry when no entry has it. Gives the entry's OffsetToData.
std::optional<uint32_t> FindResourceEntry(const Image& image, uint64_t directory,
                                          std::optional<uint32_t> id, bool fallback) {
  uint16_t named = 0, numbered = 0;
  if (!image.Number(directory + 12, &named) || !image.Number(directory + 14, &numbered))
    return std::nullopt;
  const uint64_t entries = directory + 16;
  const uint32_t count = static_cast<uint32_t>(named) + numbered;
  for (uint32_t i = 0; id && i < count; ++i) {
    uint32_t name = 0, data = 0;
    if (!image.Number(entries + 8 * uint64_t{i}, &name) ||
        !image.Number(entries + 8 * uint64_t{i} + 4, &data))
      return std::nullopt;
    if ((name & kNameIsStringFlag) == 0 && name == *id) return data;
  }
  if (!fallback || count == 0) return std::nullopt;
  uint32_t data = 0;
  if (!image.Number(entries + 4, &data)) return std::nullopt;
  return data;
}

// The dwFileVersionMS of a VS_VERSIONINFO block of `size` bytes.
std::optional<uint32_t> FixedFileVersionMS(const std::vector<uint8_t>& block) {
  constexpr size_t kKeyOffset = 6;  // after wLength, wValueLength, wType
  if (block.size() < kKeyOffset) return std::nullopt;
  const uint16_t length = Image::Decode<uint16_t>(&block[0]);
  const uint16_t valueLength = Image::Decode<uint16_t>(&block[2]);
  if (length > block.size() || valueLength < kFixedFileInfoSize) return std::nullopt;
  // The key, zero-terminated UTF-16, then padding to a 32-bit boundary.
  size_t pos = kKeyOffset;
  for (const char16_t* key = kVersionInfoKey;; ++key) {
    if (pos + 2 > length) return std::nullopt;
    const uint16_t unit = Image::Decode<uint16_t>(&block[pos]);
    pos += 2;
    if (unit != *key) return std::nullopt;
    if (unit == 0) break;
  }
  pos = (pos + 3) & ~size_t{3};
  if (pos > length || kFixedFileInfoSize > length - pos) return std::nullopt;
  if (Image::Decode<uint32_t>(&block[pos]) != kFixedFileInfoSignature) return std::nullopt;
  return Image::Decode<uint32_t>(&block[pos + 8]);
}

std::optional<uint32_t> PeFileVersionMS(const Image& image) {
  uint32_t newHeader = 0, signature = 0;
  if (!image.Number(kDosNewHeaderOffset, &newHeader) || !image.Number(newHeader, &signature) ||
      signature != kPeSignature)
    return std::nullopt;
  const uint64_t coff = uint64_t{newHeader} + 4;
  uint16_t sectionCount = 0, optionalSize = 0, magic = 0;
  if (!image.Number(coff + 2, &sectionCount) || !image.Number(coff + 16, &optionalSize))
    return std::nullopt;
  const uint64_t optional = coff + kCoffHeaderSize;
  if (!image.Number(optional, &magic)) return std::nullopt;
  uint64_t directoryCountOffset = 0;
  if (magic == kOptionalMagicPe32) {
    directoryCountOffset = 92;
  } else if (magic == kOptionalMagicPe32Plus) {
    directoryCountOffset = 108;
  } else {
    return std::nullopt;
  }
  uint32_t directoryCount = 0;
  const uint64_t resourceEntry = directoryCountOffset + 4 + 8 * kResourceDirectoryIndex;
  if (!image.Number(optional + directoryCountOffset, &directoryCount) ||
      directoryCount <= kResourceDirectoryIndex || resourceEntry + 8 > optionalSize)
    return std::nullopt;
  uint32_t resourceRva = 0, resourceSize = 0;
  if (!image.Number(optional + resourceEntry, &resourceRva) ||
      !image.Number(optional + resourceEntry + 4, &resourceSize) || resourceRva == 0 ||
      resourceSize == 0)
    return std::nullopt;

  std::vector<Section> sections(sectionCount);
  const uint64_t table = optional + optionalSize;
  for (uint16_t i = 0; i < sectionCount; ++i) {
    const uint64_t header = table + kSectionHeaderSize * i;
    Section& section = sections[i];
    if (!image.Number(header + 12, &section.VirtualAddress) ||
        !image.Number(header + 16, &section.RawSize) ||
        !image.Number(header + 20, &section.RawOffset))
      return std::nullopt;
  }

  // The resource tree: type, name, language; offsets within it are relative
  // to its root, and only the final data entry holds an address (an RVA).
  const std::optional<uint64_t> root = FileOffsetOf(sections, resourceRva, 16);
  if (!root) return std::nullopt;
  // Entry offsets must stay inside the resource directory and point to the
  // kind of entry the level expects.
  const auto inTree = [&](uint32_t entry, bool subdirectory) -> std::optional<uint64_t> {
    if (((entry & kSubdirectoryFlag) != 0) != subdirectory) return std::nullopt;
    const uint32_t offset = entry & ~kSubdirectoryFlag;
    if (offset >= resourceSize) return std::nullopt;
    return *root + offset;
  };
  std::optional<uint32_t> entry = FindResourceEntry(image, *root, kRtVersion, false);
  std::optional<uint64_t> names = entry ? inTree(*entry, true) : std::nullopt;
  entry = names ? FindResourceEntry(image, *names, kVsVersionInfoId, true) : std::nullopt;
  std::optional<uint64_t> languages = entry ? inTree(*entry, true) : std::nullopt;
  entry = languages ? FindResourceEntry(image, *languages, std::nullopt, true) : std::nullopt;
  std::optional<uint64_t> leaf = entry ? inTree(*entry, false) : std::nullopt;
  if (!leaf) return std::nullopt;

  uint32_t dataRva = 0, dataSize = 0;
  if (!image.Number(*leaf, &dataRva) || !image.Number(*leaf + 4, &dataSize)) return std::nullopt;
  // wLength is 16 bits wide, so the block never needs more than 64 KiB.
  const uint32_t blockSize = dataSize < 0xFFFF ? dataSize : 0xFFFF;
  const std::optional<uint64_t> data = FileOffsetOf(sections, dataRva, blockSize);
  std::vector<uint8_t> block;
  if (!data || !image.Bytes(*data, blockSize, &block)) return std::nullopt;
  return FixedFileVersionMS(block);
}

// Searches one note section for the version note.
std::optional<uint32_t> NoteFileVersionMS(const std::vector<uint8_t>& notes, uint64_t alignment,
                                          bool bigEndian) {
  const auto aligned = [&](uint64_t value) { return (value + alignment - 1) & ~(alignment - 1); };
  uint64_t pos = 0;
  while (notes.size() >= 12 && pos <= notes.size() - 12) {
    const uint32_t nameSize = Image::Decode<uint32_t>(&notes[pos], bigEndian);
    const uint32_t descriptorSize = Image::Decode<uint32_t>(&notes[pos + 4], bigEndian);
    const uint32_t type = Image::Decode<uint32_t>(&notes[pos + 8], bigEndian);
    const uint64_t name = pos + 12;
    const uint64_t descriptor = aligned(name + nameSize);
    if (descriptor > notes.size() || descriptorSize > notes.size() - descriptor) break;
    if (type == kVersionNoteType && nameSize == sizeof kVersionNoteOwner &&
        std::memcmp(&notes[name], kVersionNoteOwner, sizeof kVersionNoteOwner) == 0 &&
        descriptorSize == kVersionNoteDescriptorSize)
      return Image::Decode<uint32_t>(&notes[descriptor]);  // little-endian by definition
    pos = aligned(descriptor + descriptorSize);
  }
  return std::nullopt;
}

std::optional<uint32_t> ElfFileVersionMS(const Image& image) {
  uint8_t identity[6] = {};
  if (!image.Bytes(0, sizeof identity, identity)) return std::nullopt;
  const uint8_t elfClass = identity[4], encoding = identity[5];
  if ((elfClass != kElfClass32 && elfClass != kElfClass64) ||
      (encoding != kElfLittleEndian && encoding != kElfBigEndian))
    return std::nullopt;
  const bool big = encoding == kElfBigEndian;
  const bool wide = elfClass == kElfClass64;

  // e_shoff, e_shentsize and e_shnum.
  uint64_t tableOffset = 0;
  uint16_t entrySize = 0, count = 0;
  if (wide) {
    if (!image.Number(0x28, &tableOffset, big) || !image.Number(0x3A, &entrySize, big) ||
        !image.Number(0x3C, &count, big))
      return std::nullopt;
  } else {
    uint32_t offset32 = 0;
    if (!image.Number(0x20, &offset32, big) || !image.Number(0x2E, &entrySize, big) ||
        !image.Number(0x30, &count, big))
      return std::nullopt;
    tableOffset = offset32;
  }
  const uint16_t minimumEntrySize = wide ? 64 : 40;
  if (entrySize < minimumEntrySize || tableOffset > image.Size()) return std::nullopt;

  for (uint16_t i = 0; i < count; ++i) {
    const uint64_t header = tableOffset + uint64_t{entrySize} * i;
    uint32_t type = 0;
    uint64_t offset = 0, size = 0, alignment = 0;
    if (!image.Number(header + 4, &type, big)) return std::nullopt;
    if (type != kSectionTypeNote) continue;
    if (wide) {
      if (!image.Number(header + 0x18, &offset, big) || !image.Number(header + 0x20, &size, big) ||
          !image.Number(header + 0x30, &alignment, big))
        return std::nullopt;
    } else {
      uint32_t offset32 = 0, size32 = 0, alignment32 = 0;
      if (!image.Number(header + 0x10, &offset32, big) ||
          !image.Number(header + 0x14, &size32, big) ||
          !image.Number(header + 0x20, &alignment32, big))
        return std::nullopt;
      offset = offset32, size = size32, alignment = alignment32;
    }
    if (size > kMaxNoteSectionSize) continue;
    std::vector<uint8_t> notes;
    if (!image.Bytes(offset, static_cast<size_t>(size), &notes)) continue;
    // Notes are padded to 4 bytes, or to 8 in sections aligned to 8.
    const std::optional<uint32_t> version = NoteFileVersionMS(notes, alignment == 8 ? 8 : 4, big);
    if (version) return version;
  }
  return std::nullopt;
}

}  // namespace

std::optional<uint32_t> ReadImageFileVersionMS(const ImageReader& read, uint64_t imageSize) {
  const Image image(read, imageSize);
  uint32_t magic = 0;
  if (!image.Number(0, &magic)) return std::nullopt;
  if ((magic & 0xFFFF) == kDosSignature) return PeFileVersionMS(image);
  if (magic == kElfMagic) return ElfFileVersionMS(image);
  return std::nullopt;
}

std::optional<uint32_t> ReadImageFileVersionMS(const uint8_t* data, size_t size) {
  const ImageReader read = [data](uint64_t offset, size_t count, uint8_t* out) {
    std::memcpy(out, data + offset, count);  // the bounds were checked by the caller
    return true;
  };
  return ReadImageFileVersionMS(read, size);
}

}  // namespace updater
