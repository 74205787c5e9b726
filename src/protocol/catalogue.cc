// The version catalogue of an update server.
#include "protocol/catalogue.h"

namespace updater {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// The value of a digit in `base`, or -1 when it is no digit of that base.
int DigitValue(char c, int base) {
  int value = -1;
  if (c >= '0' && c <= '9') value = c - '0';
  if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
  return value < base ? value : -1;
}

// `text` equals `lowerName` when ASCII letters are lower-cased.
bool IsName(std::string_view text, std::string_view lowerName) {
  if (text.size() != lowerName.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lowerName[i]) return false;
  }
  return true;
}

// GetField as a view into `line`.
std::string_view FieldView(std::string_view line, int64_t index) {
  if (index < 1) return std::string_view();
  // Positions count from 1, as the field rules are written. Only the ASCII
  // space and quote matter, and they never occur inside a UTF-8 sequence, so
  // byte positions split exactly as character positions would.
  const size_t length = line.size();
  int64_t count = 0;
  bool quoted = false;
  size_t start = 1;
  size_t pos = 0;
  while (pos < length && count != index) {
    ++pos;
    const char c = line[pos - 1];
    if (c == ' ' && !quoted) {
      if (pos == start) {
        start = pos + 1;  // a leading or repeated space
      } else {
        ++count;
        if (count != index) start = pos + 1;
      }
    } else if (c == '"') {
      quoted = !quoted;
    }
  }
  if (count != index && pos == length) {
    ++count;  // the last field ends at the end of the line
    ++pos;
  }
  if (count != index) return std::string_view();
  return line.substr(start - 1, pos - start);
}

}  // namespace

std::string GetField(std::string_view line, int64_t index) {
  return std::string(FieldView(line, index));
}

int64_t ReadVersionField(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  int base = 10;
  if (pos < text.size() && text[pos] == '$') {
    base = 16;
    ++pos;
  } else if (pos < text.size() && text[pos] == '%') {
    base = 2;
    ++pos;
  }
  // Unsigned arithmetic wraps instead of overflowing.
  uint64_t value = 0;
  for (; pos < text.size(); ++pos) {
    const int digit = DigitValue(text[pos], base);
    if (digit < 0) break;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  if (negative) value = 0 - value;
  return static_cast<int64_t>(value);
}

int64_t ParseCatalogue(std::string_view text, Catalogue* catalogue) {
  Catalogue kept;
  int64_t lines = 0;
  size_t lineStart = 0;
  for (size_t end = text.find(kLineEnd); end != std::string_view::npos;
       end = text.find(kLineEnd, lineStart)) {
    ++lines;
    const std::string_view line = text.substr(lineStart, end - lineStart);
    lineStart = end + kLineEnd.size();
    std::string_view name = FieldView(line, 1);
    // A line that follows a CR LF LF starts with the stray line feed.
    if (!name.empty() && name[0] == '\n') name.remove_prefix(1);
    if (!IsName(name, kUpdaterEntryName) && !IsName(name, kMainProgramEntryName)) continue;
    UpdateEntry& entry = kept.emplace_back();
    entry.Name = std::string(name);
    entry.PackageFile = std::string(FieldView(line, 2));
    entry.Version = ReadVersionField(FieldView(line, 3));
  }
  if (lines == 0) return 0;
  *catalogue = std::move(kept);
  return lines;
}

}  // namespace updater
