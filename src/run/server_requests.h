// The requests for the three files of an update server as the update check
// performs them: UpdateInfo.txt and VersionInfo.txt into memory, the
// server's UpdateServer.lst over the one in the program folder.
#pragma once

#include <string>

#include "protocol/signature.h"
#include "run/program.h"
#include "transfer/http_get.h"

namespace updater {

// The request records, built on the base URL `server`: the base URL followed
// directly by the file name, nothing escaped; BufferSize 0, the updater's
// agent, no hooks, every other input at its default.
// UpdateInfo.txt into memory.
HTTPGetRequest UpdateInfoRequest(const std::string& server);
// UpdateServer.lst into the file `programFolder` + "UpdateServer.lst".
HTTPGetRequest ServerListRequest(const std::string& server, const std::string& programFolder);
// VersionInfo.txt into memory.
HTTPGetRequest VersionInfoRequest(const std::string& server);

// The text of a finished memory request's body (its ReceivedBytes bytes, see
// BodyText), releasing the body. No body gives the empty text.
std::string TakeBodyText(HTTPGetRequest& request);

// Each takes the server from Settings.Server and returns true on HTTPGetOK.
// On any other result it prints the one line "Error: " + HTTPGetErrorText
// for that result and request, releases any body, and returns false. A body
// of more than 16 MiB is stopped through the progress hook as soon as its
// length or its bytes show it: HTTPGetErrAborted, "Error: Download aborted.".
// When the updater requires signatures, each file is also checked against
// its signature before it is used (see signed_files.h), and a bad one fails
// the same way after its own line.
//
// Fetches UpdateInfo.txt and gives its decoded text in `text`.
bool FetchUpdateInfo(Program& program, std::string* text);
// Saves the server's UpdateServer.lst over the one in ProgramFolder (a signed
// list only once its signature is good). The list in memory is not reloaded.
bool FetchServerList(Program& program);
// Fetches VersionInfo.txt and gives its decoded text in `text`, and with
// signatures what its signature vouches for in `info`.
bool FetchVersionInfo(Program& program, std::string* text, SignedFileInfo* info);

}  // namespace updater
