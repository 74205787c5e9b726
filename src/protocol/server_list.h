// The update servers: the list file UpdateServer.lst, the random choice among
// its entries and the order in which one check run tries servers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "system/file_system.h"

namespace updater {

// The built-in last-resort server, ending with "/".
inline constexpr std::string_view kDefaultServerURL = UPDATER_DEFAULT_SERVER_URL;

// Draws an index from 0 to count - 1, each equally likely; count > 0.
using RandomIndexSource = std::function<uint64_t(uint64_t count)>;

// A uniform source seeded differently on every call (every run).
RandomIndexSource MakeRunRandomSource();
// A uniform source with a fixed seed, for reproducible orders.
RandomIndexSource MakeSeededRandomSource(uint64_t seed);

// The server choice of one check run. The check creates one per run, so both
// flags start false.
struct ServerChoice {
  // The check has fallen back to kDefaultServerURL as the last resort.
  bool UsingDefaultServer = false;
  // An entry taken out of the list equalled kDefaultServerURL (letter case
  // ignored), so the default is not tried again at the end.
  bool DefaultServerPicked = false;
  RandomIndexSource Random = MakeRunRandomSource();
};

// The entries of an UpdateServer.lst file: one per line, a line ending at
// CR LF, a lone LF, a lone CR or the end of the text; a line break after the
// last line adds no entry. Lines are kept whole (no trimming, a byte-order
// mark stays in the first entry) and get "/" appended unless they end with
// one, so an empty line gives "/".
std::vector<std::string> SplitServerListText(std::string_view text);

// The bounds of a server list: a list has at most this many lines and bytes.
// A run tries every entry in turn, so a longer list would hold it for hours.
inline constexpr size_t kMostServerListLines = 256;
inline constexpr size_t kLargestServerListFile = 256 * 1024;

// True when `line` is a well-formed server URL: "http://" or "https://" (any
// letter case), a non-empty host (after the last "@", up to the next "/"),
// and no space or control character anywhere.
bool IsServerURL(std::string_view line);

// Whether a downloaded UpdateServer.lst may replace the one on disk: the
// empty text when it may, that is when it has at most kMostServerListLines
// lines (as SplitServerListText counts them), at most kLargestServerListFile
// bytes, and at least one line that IsServerURL; otherwise the reason, for
// the log ("it has more than 256 lines", "it is larger than 256 KiB", "it
// holds no well-formed http:// or https:// URL").
std::string ServerListRefusal(std::string_view text);

// The entries of `programFolder` + "UpdateServer.lst": of its first
// kLargestServerListFile bytes, the first kMostServerListLines entries, so
// that a long list saved by an older updater cannot hold a run. A file that
// cannot be opened gives an empty list, silently; a read error keeps the
// entries read before it.
std::vector<std::string> LoadServerList(FileSystem& files, const std::string& programFolder);

// The number of entries left in the list.
int64_t ServerCount(const std::vector<std::string>& list);

// Removes an entry drawn uniformly at random from the list and returns it;
// the empty text when the list is empty.
std::string PickServer(std::vector<std::string>& list, const RandomIndexSource& random);

// Chooses the first server of a run into `server`: the -server value it
// already holds when one was given, else a random list entry, else
// kDefaultServerURL.
void ChooseFirstServer(std::vector<std::string>& list, std::string& server, ServerChoice& choice);

// Moves `server` to the next server after a failed attempt: another random
// list entry, then kDefaultServerURL unless a list entry already was the
// default. False when the servers are exhausted.
bool ChooseNextServer(std::vector<std::string>& list, std::string& server, ServerChoice& choice);

}  // namespace updater
