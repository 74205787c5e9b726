// Text services on POSIX: lower-casing by the C library's Unicode tables,
// and Windows-1252 as the "ANSI" code page of package entry names.
#include "system/text.h"

#include <locale.h>
#include <wctype.h>

#include <cwctype>

#include "system/utf8.h"

namespace updater {

namespace {

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
    size_t length = DecodeUtf8Sequence(text.substr(pos), &c);
    if (length == 0) {
      lower.push_back(text[pos++]);  // a stray byte stays as it is
      continue;
    }
    pos += length;
    if (c < 0x80) {
      lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
      continue;
    }
    if (locale) c = static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), locale));
    AppendUtf8(c, &lower);
  }
  return lower;
}

std::string AnsiToUtf8(std::string_view ansi) {
  std::string utf8;
  for (char byte : ansi) {
    unsigned char b = static_cast<unsigned char>(byte);
    char32_t c = b >= 0x80 && b < 0xa0 ? kCp1252High[b - 0x80] : b;
    AppendUtf8(c, &utf8);
  }
  return utf8;
}

}  // namespace updater
