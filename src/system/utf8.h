// The one UTF-8 codec of the program: strict decoding of one sequence and
// encoding of one code point.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace updater {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// The length of the well-formed UTF-8 sequence at the start of `bytes` and
// its code point in `*codePoint`, or 0 when it is malformed (a stray
// continuation byte, an overlong form, a surrogate, a value above U+10FFFF or
// a sequence cut off by the end of the bytes).
size_t DecodeUtf8Sequence(std::string_view bytes, char32_t* codePoint);

// Appends the UTF-8 form of a code point.
void AppendUtf8(char32_t codePoint, std::string* out);

// `bytes` with every malformed sequence replaced by U+FFFD.
std::string ValidUtf8(std::string_view bytes);

}  // namespace updater
