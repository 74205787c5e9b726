// The update servers: the list file UpdateServer.lst, the random choice among
// its entries and the order in which one check run tries servers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "run/program.h"

namespace updater {

// The built-in last-resort server, ending with "/".
inline constexpr std::string_view DefaultServerURL = UPDATER_DEFAULT_SERVER_URL;

// Draws an index from 0 to count - 1, each equally likely; count > 0.
using RandomIndexSource = std::function<uint64_t(uint64_t count)>;

// A uniform source seeded differently on every call (every run).
RandomIndexSource MakeRunRandomSource();
// A uniform source with a fixed seed, for reproducible orders.
RandomIndexSource MakeSeededRandomSource(uint64_t seed);

// The server choice of one check run. The check creates one per run, so both
// flags start false.
struct ServerChoice {
  // The check has fallen back to DefaultServerURL as the last resort.
  bool UsingDefaultServer = false;
  // An entry taken out of the list equalled DefaultServerURL (letter case
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

// Replaces ServerList with the entries of ProgramFolder + "UpdateServer.lst".
// A file that cannot be opened leaves the list empty, silently; a read error
// keeps the entries read before it.
void LoadServerList(Program& program);

// The number of entries left in ServerList.
int64_t ServerCount(const Program& program);

// Removes an entry drawn uniformly at random from ServerList and returns it;
// the empty text when the list is empty.
std::string PickServer(Program& program, const RandomIndexSource& random);

// Chooses the first server of a run into Settings.Server: the -server value
// when one was given, else a random list entry, else DefaultServerURL.
void ChooseFirstServer(Program& program, ServerChoice& choice);

// Moves Settings.Server to the next server after a failed attempt: another
// random list entry, then DefaultServerURL unless a list entry already was
// the default. False when the servers are exhausted.
bool ChooseNextServer(Program& program, ServerChoice& choice);

}  // namespace updater
