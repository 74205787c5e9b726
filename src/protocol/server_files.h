// The three files the updater reads from an update server: the state word
// (UpdateInfo.txt), the server list (UpdateServer.lst) and the version
// catalogue (VersionInfo.txt), with their request records, the decoding of
// bodies fetched into memory and the meaning of the state word.
#pragma once

#include <string>
#include <string_view>

#include "run/program.h"
#include "transfer/http_get.h"

namespace updater {


// The state words of UpdateInfo.txt, after lower-casing.
inline constexpr std::string_view kServerStateOk = "ok";
inline constexpr std::string_view kServerStateNoUpdates = "noupdates";
inline constexpr std::string_view kServerStateMaintenance = "maintenance";

// The request records, built on Settings.Server: the base URL followed
// directly by the file name, nothing escaped; BufferSize 0, the updater's
// agent, no hooks, every other input at its default.
// UpdateInfo.txt into memory.
HTTPGetRequest UpdateInfoRequest(const Program& program);
// UpdateServer.lst into the file ProgramFolder + "UpdateServer.lst".
HTTPGetRequest ServerListRequest(const Program& program);
// VersionInfo.txt into memory.
HTTPGetRequest VersionInfoRequest(const Program& program);

// Turns the body of a finished memory request into text and releases the
// body: its ReceivedBytes bytes decoded as UTF-8, up to the first zero byte.
// A byte-order mark stays (as U+FEFF at the start); malformed sequences
// become U+FFFD. No body gives the empty text.
std::string TakeBodyText(HTTPGetRequest& request);

// The lower-cased state word of an UpdateInfo.txt text. The whole text is
// lower-cased and nothing is trimmed, so "ok" with a line break after it is
// no known state.
std::string ServerState(std::string_view updateInfoText);

// The console line for a state that stops the attempt: "Server does not
// offer updates anymore.", "Server is currently under maintenance." or
// "Server is in unknown state."; the empty text for "ok".
std::string_view ServerStateLine(std::string_view serverState);

// The requests as the update check performs them. Each takes the server from
// Settings.Server and returns true on HTTPGetOK. On any other result it
// prints the one line "Error: " + HTTPGetErrorText for that result and
// request, releases any body, and returns false.
//
// Fetches UpdateInfo.txt and gives its decoded text in `text`.
bool FetchUpdateInfo(Program& program, std::string* text);
// Saves the server's UpdateServer.lst over the one in ProgramFolder. The list
// in memory is not reloaded.
bool FetchServerList(Program& program);
// Fetches VersionInfo.txt and gives its decoded text in `text`.
bool FetchVersionInfo(Program& program, std::string* text);

}  // namespace updater
