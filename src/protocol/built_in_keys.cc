// The marked string of an updater's built-in keys: making it, and finding it
// in a program's bytes.
#include "protocol/built_in_keys.h"

#include <algorithm>
#include <optional>

namespace updater {

namespace {

// No program carries more keys than this; a longer list is no mark.
constexpr size_t kMostMarkedKeys = 64;
// The length of a key line: base64 of the 2-byte algorithm, the 8-byte id and
// the 32-byte key.
constexpr size_t kKeyLineLength = 56;

bool IsBase64Character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/' || c == '=';
}

// The keys of the mark whose start text ends at `at`, or nothing when the
// bytes there are not a mark.
std::optional<BuiltInKeys> MarkAt(std::string_view bytes, size_t at) {
  const size_t longest = kMostMarkedKeys * (kKeyLineLength + 1);
  size_t end = at;
  while (end < bytes.size() && end - at <= longest &&
         (IsBase64Character(bytes[end]) || bytes[end] == kKeysMarkSeparator))
    ++end;
  if (end - at > longest || bytes.substr(end, kKeysMarkEnd.size()) != kKeysMarkEnd)
    return std::nullopt;
  BuiltInKeys keys;
  const std::string_view list = bytes.substr(at, end - at);
  if (list.empty()) return keys;
  size_t start = 0;
  while (true) {
    const size_t separator = list.find(kKeysMarkSeparator, start);
    const std::string_view line = list.substr(start, separator - start);
    MinisignPublicKey key;
    std::string error;
    if (line.empty() || !ParsePublicKey(line, &key, &error)) return std::nullopt;
    keys.Lines.emplace_back(line);
    keys.Keys.push_back(key);
    if (separator == std::string_view::npos) return keys;
    start = separator + 1;
  }
}

}  // namespace

std::string KeysMark(const std::vector<std::string>& keyLines) {
  std::string mark(kKeysMarkStart);
  for (size_t i = 0; i < keyLines.size(); ++i) {
    if (i > 0) mark += kKeysMarkSeparator;
    mark += keyLines[i];
  }
  return mark += kKeysMarkEnd;
}

bool BuiltInKeysOf(std::string_view bytes, BuiltInKeys* keys, std::string* reason) {
  std::optional<BuiltInKeys> found;
  for (size_t at = bytes.find(kKeysMarkStart); at != std::string_view::npos;
       at = bytes.find(kKeysMarkStart, at + 1)) {
    std::optional<BuiltInKeys> mark = MarkAt(bytes, at + kKeysMarkStart.size());
    if (!mark) continue;
    if (found && found->Lines != mark->Lines) {
      *reason = "it carries two different key marks";
      return false;
    }
    found = std::move(mark);
  }
  if (!found) {
    *reason = "it carries no key mark (not an updater, or one built before the mark)";
    return false;
  }
  *keys = std::move(*found);
  return true;
}

std::vector<std::string> MarkedKeys(std::string_view mark) {
  if (mark.substr(0, kKeysMarkStart.size()) == kKeysMarkStart)
    mark.remove_prefix(kKeysMarkStart.size());
  if (mark.size() >= kKeysMarkEnd.size() &&
      mark.substr(mark.size() - kKeysMarkEnd.size()) == kKeysMarkEnd)
    mark.remove_suffix(kKeysMarkEnd.size());
  std::vector<std::string> lines;
  if (mark.empty()) return lines;
  for (size_t start = 0;;) {
    const size_t separator = mark.find(kKeysMarkSeparator, start);
    lines.emplace_back(mark.substr(start, separator - start));
    if (separator == std::string_view::npos) return lines;
    start = separator + 1;
  }
}

bool CarriesAnyKeyOf(const std::vector<MinisignPublicKey>& newKeys,
                     const std::vector<MinisignPublicKey>& runningKeys) {
  if (runningKeys.empty()) return true;
  return std::any_of(runningKeys.begin(), runningKeys.end(), [&](const MinisignPublicKey& running) {
    return std::any_of(newKeys.begin(), newKeys.end(), [&](const MinisignPublicKey& key) {
      return key.KeyId == running.KeyId && key.Key == running.Key;
    });
  });
}

}  // namespace updater
