// The update servers and the order in which a check tries them.
#include "protocol/server_list.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>

#include "system/text.h"

namespace updater {

namespace {

constexpr size_t kReadChunk = 65536;

RandomIndexSource UniformSource(std::shared_ptr<std::mt19937_64> engine) {
  return [engine](uint64_t count) {
    std::uniform_int_distribution<uint64_t> index(0, count - 1);
    return index(*engine);
  };
}

std::string WithFinalSlash(std::string_view line) {
  std::string entry(line);
  if (entry.empty() || entry.back() != '/') entry += '/';
  return entry;
}

bool IsDefaultServer(const std::string& url) {
  return LowerCaseText(url) == LowerCaseText(kDefaultServerURL);
}

// Takes a random entry into `server` and notes when it was the default server.
void TakeListEntry(std::vector<std::string>& list, std::string& server, ServerChoice& choice) {
  server = PickServer(list, choice.Random);
  if (!server.empty() && IsDefaultServer(server)) choice.DefaultServerPicked = true;
}

}  // namespace

RandomIndexSource MakeRunRandomSource() {
  // The system's entropy source, with the clock mixed in for platforms whose
  // random_device is deterministic.
  std::random_device device;
  const auto now =
      static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
  std::seed_seq seed{device(), device(), static_cast<uint32_t>(now),
                     static_cast<uint32_t>(now >> 32)};
  return UniformSource(std::make_shared<std::mt19937_64>(seed));
}

RandomIndexSource MakeSeededRandomSource(uint64_t seed) {
  return UniformSource(std::make_shared<std::mt19937_64>(seed));
}

std::vector<std::string> SplitServerListText(std::string_view text) {
  std::vector<std::string> entries;
  size_t lineStart = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    const char c = text[pos];
    if (c != '\r' && c != '\n') {
      ++pos;
      continue;
    }
    entries.push_back(WithFinalSlash(text.substr(lineStart, pos - lineStart)));
    ++pos;
    if (c == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
    lineStart = pos;
  }
  if (lineStart < text.size()) entries.push_back(WithFinalSlash(text.substr(lineStart)));
  return entries;
}

bool IsServerURL(std::string_view line) {
  for (char c : line)
    if (static_cast<unsigned char>(c) <= ' ' || c == '\x7F') return false;
  std::string_view rest;
  for (std::string_view scheme : {"http://", "https://"}) {
    if (line.size() >= scheme.size() && LowerCaseText(line.substr(0, scheme.size())) == scheme) {
      rest = line.substr(scheme.size());
      break;
    }
  }
  const size_t at = rest.rfind('@');
  const size_t hostStart = at == std::string_view::npos ? 0 : at + 1;
  const size_t hostEnd = rest.find('/', hostStart);
  return (hostEnd == std::string_view::npos ? rest.size() : hostEnd) > hostStart;
}

std::string ServerListRefusal(std::string_view text) {
  bool anyURL = false;
  size_t lines = 0;
  size_t lineStart = 0;
  // The lines as SplitServerListText ends them.
  while (lineStart < text.size()) {
    size_t lineEnd = text.find_first_of("\r\n", lineStart);
    if (lineEnd == std::string_view::npos) lineEnd = text.size();
    if (++lines > kMostServerListLines) return "it has more than 256 lines";
    anyURL = anyURL || IsServerURL(text.substr(lineStart, lineEnd - lineStart));
    lineStart = lineEnd + 1;
    if (lineEnd + 1 < text.size() && text[lineEnd] == '\r' && text[lineEnd + 1] == '\n')
      ++lineStart;
  }
  if (text.size() > kLargestServerListFile) return "it is larger than 256 KiB";
  if (!anyURL) return "it holds no well-formed http:// or https:// URL";
  return std::string();
}

std::vector<std::string> LoadServerList(FileSystem& files, const std::string& programFolder) {
  // A list that cannot be read is no list: the caller says so in its own words.
  std::unique_ptr<File> file = files.OpenRead(programFolder + "UpdateServer.lst", false, nullptr);
  if (!file) return {};
  std::string text;
  std::string chunk(kReadChunk, '\0');
  while (text.size() < kLargestServerListFile) {
    const int64_t count = file->Read(
        chunk.data(),
        static_cast<int64_t>(std::min(chunk.size(), kLargestServerListFile - text.size())),
        nullptr);
    if (count <= 0) break;  // the end, or a read error: keep what was read
    text.append(chunk, 0, static_cast<size_t>(count));
  }
  std::vector<std::string> entries = SplitServerListText(text);
  if (entries.size() > kMostServerListLines) entries.resize(kMostServerListLines);
  return entries;
}

int64_t ServerCount(const std::vector<std::string>& list) {
  return static_cast<int64_t>(list.size());
}

std::string PickServer(std::vector<std::string>& list, const RandomIndexSource& random) {
  if (list.empty()) return std::string();
  // An injected source that breaks its contract still stays inside the list.
  const uint64_t index = random(list.size()) % list.size();
  const auto position = list.begin() + static_cast<std::ptrdiff_t>(index);
  std::string server = std::move(*position);
  list.erase(position);
  return server;
}

void ChooseFirstServer(std::vector<std::string>& list, std::string& server, ServerChoice& choice) {
  if (!server.empty()) return;  // the -server value goes first
  TakeListEntry(list, server, choice);
  if (server.empty()) {
    server = std::string(kDefaultServerURL);
    choice.UsingDefaultServer = true;
  }
}

bool ChooseNextServer(std::vector<std::string>& list, std::string& server, ServerChoice& choice) {
  if (choice.UsingDefaultServer) return false;
  TakeListEntry(list, server, choice);
  if (!server.empty()) return true;
  if (choice.DefaultServerPicked) return false;
  server = std::string(kDefaultServerURL);
  choice.UsingDefaultServer = true;
  return true;
}

}  // namespace updater
