// File versions read from executable images themselves: the version resource
// of a Windows PE file and the version note of an ELF file. No operating
// system is needed, so the POSIX build reads the versions of Windows
// programs, and the reader can be fed arbitrary bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

namespace updater {

// Copies `size` bytes at `offset` of an image into `out`. False when any of
// them lies outside the image or cannot be read.
using ImageReader = std::function<bool(uint64_t offset, size_t size, uint8_t* out)>;

// The dwFileVersionMS word of an image whose size is `imageSize`: for a PE
// file that of the VS_FIXEDFILEINFO in its version resource (RT_VERSION, name
// 1 or else the first, first language); for an ELF file that of its note
// owned by "VOXA" of type 1. Nothing for any other, malformed or truncated
// image; every read stays inside the image.
std::optional<uint32_t> ReadImageFileVersionMS(const ImageReader& read, uint64_t imageSize);

// The same for an image held in memory.
std::optional<uint32_t> ReadImageFileVersionMS(const uint8_t* data, size_t size);

}  // namespace updater
