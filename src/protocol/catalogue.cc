// The version catalogue of an update server and the facts of its lines.
#include "protocol/catalogue.h"

#include <limits>

namespace updater {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// Facts add this much to every kept line, however long its fields are.
static_assert(sizeof(PackageFacts) <= 80);

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

// Calls `visit` with each field of `line` from field `first` (counted from 1)
// on, split as FieldView splits them, in one pass: a field is a run of
// characters up to a space outside quotes. The empty last field that
// trailing spaces give is not visited.
template <typename Visit>
void VisitFieldsFrom(std::string_view line, int64_t first, Visit visit) {
  int64_t index = 0;
  bool quoted = false;
  size_t start = 0;
  for (size_t pos = 0; pos <= line.size(); ++pos) {
    const bool end = pos == line.size();
    if (!end && line[pos] == '"') quoted = !quoted;
    if (!end && (line[pos] != ' ' || quoted)) continue;
    if (pos > start && ++index >= first) visit(line.substr(start, pos - start));
    start = pos + 1;
  }
}

constexpr uint64_t kInt64Max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

// Reads `text`, which must be nothing but digits of `base` (at least one), as
// a number of at most `limit`.
bool ReadWholeNumber(std::string_view text, int base, uint64_t limit, uint64_t* value) {
  if (text.empty()) return false;
  uint64_t number = 0;
  for (char c : text) {
    const int digit = DigitValue(c, base);
    if (digit < 0) return false;
    const auto b = static_cast<uint64_t>(base);
    if (number > (limit - static_cast<uint64_t>(digit)) / b) return false;
    number = number * b + static_cast<uint64_t>(digit);
  }
  *value = number;
  return true;
}

bool ReadSize(std::string_view text, PackageFacts* facts) {
  uint64_t size = 0;
  if (!ReadWholeNumber(text, 10, kInt64Max, &size) || size == 0) return false;
  facts->Size = static_cast<int64_t>(size);
  return true;
}

bool ReadBlake2b(std::string_view text, PackageFacts* facts) {
  std::array<uint8_t, 32> digest{};
  if (text.size() != digest.size() * 2) return false;
  for (size_t i = 0; i < digest.size(); ++i) {
    const int high = DigitValue(text[2 * i], 16);
    const int low = DigitValue(text[2 * i + 1], 16);
    if (high < 0 || low < 0) return false;
    digest[i] = static_cast<uint8_t>(high * 16 + low);
  }
  facts->Blake2b = digest;
  return true;
}

// A version as field 3 writes it, but whole and without wrapping: the value
// ReadVersionField gives is then the number written.
bool ReadFrom(std::string_view text, PackageFacts* facts) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  int base = 10;
  if (!digits.empty() && (digits[0] == '$' || digits[0] == '%')) {
    base = digits[0] == '$' ? 16 : 2;
    digits.remove_prefix(1);
  }
  uint64_t magnitude = 0;
  if (!ReadWholeNumber(digits, base, kInt64Max + (negative ? 1 : 0), &magnitude)) return false;
  facts->From = ReadVersionField(text);
  return true;
}

bool ReadRollout(std::string_view text, PackageFacts* facts) {
  if (IsName(text, "halted")) {
    facts->Rollout = RolloutState::Halted;
    return true;
  }
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos) return false;
  uint64_t start = 0;
  uint64_t days = 0;
  if (!ReadWholeNumber(text.substr(0, slash), 10, kInt64Max, &start) ||
      !ReadWholeNumber(text.substr(slash + 1), 10, uint64_t{kLongestRolloutDays}, &days) ||
      days == 0)
    return false;
  facts->Rollout = RolloutState::Staged;
  facts->RolloutStart = static_cast<int64_t>(start);
  facts->RolloutDays = static_cast<int32_t>(days);
  return true;
}

// The known fact of `key`, its reader, and how it is made absent again.
struct KnownFact {
  std::string_view Key;
  Fact Bit;
  bool (*Read)(std::string_view value, PackageFacts* facts);
  void (*Clear)(PackageFacts* facts);
};

const KnownFact kKnownFacts[] = {
    {"size", Fact::Size, ReadSize, [](PackageFacts* facts) { facts->Size.reset(); }},
    {"blake2b", Fact::Blake2b, ReadBlake2b, [](PackageFacts* facts) { facts->Blake2b.reset(); }},
    {"from", Fact::From, ReadFrom, [](PackageFacts* facts) { facts->From.reset(); }},
    {"rollout", Fact::Rollout, ReadRollout,
     [](PackageFacts* facts) {
       facts->Rollout = RolloutState::Everybody;
       facts->RolloutStart = 0;
       facts->RolloutDays = 0;
     }},
};

std::string HexText(const std::array<uint8_t, 32>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0f];
  }
  return text;
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
    entry.Facts = ReadFacts(line);
  }
  if (lines == 0) return 0;
  *catalogue = std::move(kept);
  return lines;
}

PackageFacts ReadFacts(std::string_view line) {
  PackageFacts facts;
  uint8_t given = 0;
  VisitFieldsFrom(line, 4, [&](std::string_view field) {
    const size_t equals = field.find('=');
    if (equals == std::string_view::npos) return;
    for (const KnownFact& known : kKnownFacts) {
      if (!IsName(field.substr(0, equals), known.Key)) continue;
      const auto bit = static_cast<uint8_t>(known.Bit);
      // A repeated key leaves it open which value the publisher meant.
      const bool readable = (given & bit) == 0 && field.size() <= kLongestFact &&
                            known.Read(field.substr(equals + 1), &facts);
      given |= bit;
      if (!readable) {
        known.Clear(&facts);
        facts.Malformed |= bit;
      }
      return;
    }
  });
  return facts;
}

std::string FactFields(const PackageFacts& facts) {
  std::string fields;
  const auto add = [&fields](const std::string& field) {
    if (!fields.empty()) fields += ' ';
    fields += field;
  };
  if (facts.Size) add("size=" + std::to_string(*facts.Size));
  if (facts.Blake2b) add("blake2b=" + HexText(*facts.Blake2b));
  if (facts.From) add("from=" + std::to_string(*facts.From));
  if (facts.Rollout == RolloutState::Halted) add("rollout=halted");
  if (facts.Rollout == RolloutState::Staged)
    add("rollout=" + std::to_string(facts.RolloutStart) + "/" + std::to_string(facts.RolloutDays));
  return fields;
}

}  // namespace updater
