// The server's state file (UpdateInfo.txt) and the text of the files an
// update server delivers: how their bytes become text and what the state
// word means.
#pragma once

#include <string>
#include <string_view>

namespace updater {

// The state words of UpdateInfo.txt, after lower-casing.
inline constexpr std::string_view kServerStateOk = "ok";
inline constexpr std::string_view kServerStateNoUpdates = "noupdates";
inline constexpr std::string_view kServerStateMaintenance = "maintenance";

// The file names the updater asks a server for, after its base URL.
inline constexpr std::string_view kUpdateInfoFile = "UpdateInfo.txt";
inline constexpr std::string_view kServerListFile = "UpdateServer.lst";
inline constexpr std::string_view kVersionInfoFile = "VersionInfo.txt";

// The text of a server file's body: its bytes decoded as UTF-8, up to the
// first zero byte. A byte-order mark stays (as U+FEFF at the start);
// malformed sequences become U+FFFD.
std::string BodyText(std::string_view body);

// The lower-cased state word of an UpdateInfo.txt text. The whole text is
// lower-cased and nothing is trimmed, so "ok" with a line break after it is
// no known state.
std::string ServerState(std::string_view updateInfoText);

// The console line for a state that stops the attempt: "Server does not
// offer updates anymore.", "Server is currently under maintenance." or
// "Server is in unknown state."; the empty text for "ok".
std::string_view ServerStateLine(std::string_view serverState);

}  // namespace updater
