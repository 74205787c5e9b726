// Text services on POSIX: lower-casing by the C library's Unicode tables,
// and Windows-1252 as the "ANSI" code page of package entry names.
#include "system/text.h"

#include <locale.h>
#include <wctype.h>
#include <cwctype>

namespace updater {

namespace {

// Decodes one UTF-8 sequence at `pos`; returns false for a malformed one.
bool DecodeUtf8(std::string_view text, size_t* pos, char32_t* out) {
  unsigned char lead = static_cast<unsigned char>(text[*pos]);
  int length = lead < 0x80           ? 1
               : (lead >> 5) == 0x6  ? 2
               : (lead >> 4) == 0xe  ? 3
               : (lead >> 3) == 0x1e ? 4
                                     : 0;
  if (length == 0 || *pos + length > text.size()) return false;
  char32_t value = length == 1 ? lead : lead & (0x7f >> length);
  for (int i = 1; i < length; ++i) {
    unsigned char next = static_cast<unsigned char>(text[*pos + i]);
    if ((next & 0xc0) != 0x80) return false;
    value = (value << 6) | (next & 0x3f);
  }
  *pos += length;
  *out = value;
  return true;
}

void EncodeUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xc0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xe0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else {
    out->push_back(static_cast<char>(0xf0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
  }
}

locale_t UnicodeLocale() {
  static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

// Windows-1252 for the bytes 0x80 to 0x9F; the rest match Latin-1. Bytes
// without a character there keep their C1 code, as Windows converts them.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

std::string LowerCaseText(std::string_view text) {
  locale_t locale = UnicodeLocale();
  std::string lower;
  lower.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t c = 0;
    size_t start = pos;
    if (!DecodeUtf8(text, &pos, &c)) {
      lower.push_back(text[start]);  // a stray byte stays as it is
      pos = start + 1;
      continue;
    }
    if (c < 0x80) {
      lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
      continue;
    }
    if (locale) c = static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), locale));
    EncodeUtf8(c, &lower);
  }
  return lower;
}

std::string AnsiToUtf8(std::string_view ansi) {
  std::string utf8;
  for (char byte : ansi) {
    unsigned char b = static_cast<unsigned char>(byte);
    char32_t c = b >= 0x80 && b < 0xa0 ? kCp1252High[b - 0x80] : b;
    EncodeUtf8(c, &utf8);
  }
  return utf8;
}

}  // namespace updater
