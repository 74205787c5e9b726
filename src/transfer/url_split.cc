// URL splitting by 1-based substring searches.
#include "transfer/url_split.h"

namespace updater {

namespace {

// The 1-based position of the first `what` starting at or after `from`, or 0.
// A start below 1 counts as 1; a start beyond the end finds nothing.
size_t Find(std::string_view text, std::string_view what, int64_t from) {
  if (from < 1) from = 1;
  if (static_cast<uint64_t>(from) > text.size()) return 0;
  size_t found = text.find(what, static_cast<size_t>(from - 1));
  return found == std::string_view::npos ? 0 : found + 1;
}

// Up to `length` characters from 1-based position `from`; empty for a length
// of zero or less. A start below 1 counts as 1.
std::string Mid(std::string_view text, int64_t from, int64_t length) {
  if (from < 1) from = 1;
  if (length <= 0 || static_cast<uint64_t>(from) > text.size()) return {};
  return std::string(text.substr(static_cast<size_t>(from - 1), static_cast<size_t>(length)));
}

// A letter, digit, "+", "-" or "." as a URL scheme holds them.
bool IsSchemeCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '-' || c == '.';
}

}  // namespace

HTTPGetResult GetURLHost(std::string_view url, std::string* host) {
  host->clear();
  int64_t at = static_cast<int64_t>(Find(url, "@", 1));
  if (at != 0) {
    int64_t slash = static_cast<int64_t>(Find(url, "/", at + 1));
    if (slash != 0) {
      *host = Mid(url, at + 1, slash - at - 1);
      return HTTPGetResult::Ok;
    }
  }
  int64_t colon = static_cast<int64_t>(Find(url, ":", 1));
  if (colon == 0 || Mid(url, colon + 1, 2) != "//") return HTTPGetResult::ErrURL;
  int64_t slash = static_cast<int64_t>(Find(url, "/", colon + 3));
  int64_t length =
      slash != 0 ? slash - (colon + 3) : static_cast<int64_t>(url.size()) - (colon + 2);
  if (length <= 0) return HTTPGetResult::ErrURL;
  *host = Mid(url, colon + 3, length);
  return HTTPGetResult::Ok;
}

HTTPGetResult GetURLPath(std::string_view url, std::string* path) {
  path->clear();
  int64_t colon = static_cast<int64_t>(Find(url, ":", 1));
  if (colon == 0 || Mid(url, colon + 1, 2) != "//") return HTTPGetResult::ErrURL;
  int64_t slash = static_cast<int64_t>(Find(url, "/", colon + 3));
  if (slash == 0) return HTTPGetResult::ErrURL;
  *path = std::string(url.substr(static_cast<size_t>(slash - 1)));
  return HTTPGetResult::Ok;
}

HTTPGetResult GetURLCredentials(std::string_view url, std::string* user, std::string* password) {
  user->clear();
  password->clear();
  int64_t at = static_cast<int64_t>(Find(url, "@", 1));
  if (at == 0) return HTTPGetResult::ErrURL;
  int64_t slash = static_cast<int64_t>(Find(url, "/", 1));
  if (Mid(url, slash, 2) != "//") return HTTPGetResult::ErrURL;
  int64_t colon = static_cast<int64_t>(Find(url, ":", slash + 2));
  std::string foundPassword = Mid(url, colon + 1, at - colon - 1);
  std::string foundUser = Mid(url, slash + 2, colon - slash - 2);
  if (foundUser.empty() || foundPassword.empty()) return HTTPGetResult::ErrURL;
  *user = std::move(foundUser);
  *password = std::move(foundPassword);
  return HTTPGetResult::Ok;
}

HostAndPort SplitHostPort(std::string_view host) {
  HostAndPort result{std::string(host), 0};
  size_t colon = host.rfind(':');
  if (colon != std::string_view::npos) {
    std::string_view name = host.substr(0, colon);
    std::string_view digits = host.substr(colon + 1);
    bool bracketed = name.size() >= 2 && name.front() == '[' && name.back() == ']';
    // An unbracketed name with another colon is an IPv6 address, not a port.
    bool portShaped = !digits.empty() && digits.size() <= 5 && !name.empty() &&
                      (bracketed || name.find(':') == std::string_view::npos);
    int port = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') portShaped = false;
      if (portShaped) port = port * 10 + (c - '0');
    }
    if (portShaped && port >= 1 && port <= 65535) {
      result.Name = std::string(name);
      result.Port = port;
    }
  }
  // The connection wants the bare address of a bracketed IPv6 literal.
  if (result.Name.size() >= 2 && result.Name.front() == '[' && result.Name.back() == ']')
    result.Name = result.Name.substr(1, result.Name.size() - 2);
  return result;
}

bool IsSecureURL(std::string_view url) {
  static constexpr std::string_view kScheme = "https://";
  if (url.size() < kScheme.size()) return false;
  for (size_t i = 0; i < kScheme.size(); ++i) {
    char c = url[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kScheme[i]) return false;
  }
  return true;
}

std::string MaskURLPassword(std::string_view text) {
  std::string masked;
  size_t copied = 0;
  size_t from = 0;
  for (size_t slashes = text.find("//"); slashes != std::string_view::npos;
       slashes = text.find("//", from)) {
    const size_t start = slashes + 2;
    from = start;
    // A URL given as a quoted argument ends at its closing quote and may hold
    // spaces; any other ends at white space or a quote.
    size_t scheme = slashes;
    if (scheme > 0 && text[scheme - 1] == ':') --scheme;
    while (scheme > 0 && IsSchemeCharacter(text[scheme - 1])) --scheme;
    const bool quoted = scheme > 0 && text[scheme - 1] == '"';
    size_t end = quoted ? text.find('"', start) : text.find_first_of(" \t\r\n\"", start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view url = text.substr(start, end - start);
    // The user name ends at the first ":" and holds no "/". The password may
    // hold unencoded "/", "@" and ":", so it runs to the last "@" of the URL;
    // of a URL whose path holds an "@" a little more than the password is
    // hidden, which is better than showing part of one.
    const size_t colon = url.find_first_of(":/");
    if (colon == std::string_view::npos || colon == 0 || url[colon] != ':') continue;
    const size_t at = url.rfind('@');
    if (at == std::string_view::npos || at <= colon + 1) continue;
    masked.append(text.substr(copied, start + colon + 1 - copied));
    masked += "***";
    copied = start + at;
    from = end;
  }
  masked.append(text.substr(copied));
  return masked;
}

}  // namespace updater
