// The ELF note in which the POSIX build carries its file version.
#pragma once

#include <cstdint>

namespace updater {

inline constexpr char kVersionNoteOwner[] = "VOXA";  // name, with its zero: 5 bytes
inline constexpr uint32_t kVersionNoteType = 1;
// The descriptor: two little-endian 32-bit words, dwFileVersionMS and
// dwFileVersionLS, as in a Windows VS_FIXEDFILEINFO.
inline constexpr uint32_t kVersionNoteDescriptorSize = 8;

}  // namespace updater
