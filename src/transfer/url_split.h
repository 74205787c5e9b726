// Splitting a download URL into the host to connect to, the path to request
// and optional credentials. These are plain substring searches over the URL
// text, not a general URL parser: the scheme is not examined, a port stays
// part of the host text and nothing is percent-decoded.
#pragma once

#include <string>
#include <string_view>

#include "transfer/http_get_request.h"

namespace updater {

// Each returns HTTPGetResult::Ok, or HTTPGetResult::ErrURL with every output emptied.

// The text between an "@" and the next "/", or else between "://" and the
// next "/" (or the end). Fails on an empty host in the second form.
HTTPGetResult GetURLHost(std::string_view url, std::string* host);

// Everything from the first "/" after "://" to the end, query included.
HTTPGetResult GetURLPath(std::string_view url, std::string* path);

// The user and password written as user ":" password "@" after the first
// "//". Fails unless both are non-empty.
HTTPGetResult GetURLCredentials(std::string_view url, std::string* user, std::string* password);

// Where and how to connect for a host text of GetURLHost.
struct HostAndPort {
  std::string Name;  // the host name without a written port or IPv6 brackets
  int Port = 0;      // the written port, 0 when none
};

// Separates a trailing ":digits" port (1 to 65535) from a host text; a
// bracketed IPv6 address keeps its colons. Without a valid port the whole text
// is the name.
HostAndPort SplitHostPort(std::string_view host);

// True when the URL's scheme is https (letter case ignored).
bool IsSecureURL(std::string_view url);

// `text` (a URL, or a text holding URLs such as a command line) with the
// password of every URL replaced by "***", for the console and the log. A
// URL runs from "//" to white space or a quote, or to its closing quote when
// it is quoted; it holds a password when a user name without "/" follows
// "//", then ":", and an "@" comes later in the URL. The password is all
// between that ":" and the last "@", since it may hold unencoded "/", "@" and
// ":". Text without such a URL is returned as it was.
std::string MaskURLPassword(std::string_view text);

}  // namespace updater
