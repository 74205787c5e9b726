// The requests for the three files of an update server as the update check
// performs them, each into memory: UpdateInfo.txt and VersionInfo.txt as
// text, the server's UpdateServer.lst checked and then saved over the one in
// the program folder.
#pragma once

#include <string>

#include "protocol/signature.h"
#include "run/check_session.h"
#include "run/run_services.h"
#include "transfer/http_get.h"

namespace updater {

// The request records, built on the base URL `server`: the base URL followed
// directly by the file name, nothing escaped, into memory; BufferSize 0, the
// updater's agent, the time limits `limits` with their ServerFileMilliseconds
// as the total time limit, no hooks, every other input at its default.
// UpdateInfo.txt.
HTTPGetRequest UpdateInfoRequest(const std::string& server, const TimeLimits& limits);
// UpdateServer.lst.
HTTPGetRequest ServerListRequest(const std::string& server, const TimeLimits& limits);
// VersionInfo.txt.
HTTPGetRequest VersionInfoRequest(const std::string& server, const TimeLimits& limits);

// The text of a finished memory request's body (its ReceivedBytes bytes, see
// BodyText), releasing the body. No body gives the empty text.
std::string TakeBodyText(HTTPGetRequest& request);

// Each asks the session's server in use and returns true on HTTPGetResult::Ok.
// On any other result it prints the one line "Error: " + HTTPGetErrorText
// for that result and request, releases any body, and returns false. A body
// of more than 16 MiB is stopped through the progress hook as soon as its
// length or its bytes show it: HTTPGetResult::ErrAborted, "Error: Download aborted.".
// When the updater requires signatures, each file is also checked against
// its signature before it is used (see signed_files.h), and a bad one fails
// the same way after its own line.
//
// Fetches UpdateInfo.txt and gives its decoded text in `text`.
bool FetchUpdateInfo(RunServices& services, const CheckSession& session, std::string* text);
// Fetches the server's UpdateServer.lst and saves it over the one in the
// program folder (whole, see WriteFileWhole) when
// ServerListRefusal takes it; otherwise the list on disk stays, the log says
// why, and the result is true all the same. With signatures a list is taken
// only with a good signature, and one signed before the list taken earlier
// fails (see CheckServerListTime). The session's list is not reloaded.
bool FetchServerList(RunServices& services, const CheckSession& session);
// Fetches VersionInfo.txt and gives its decoded text in `text`, and with
// signatures what its signature vouches for in `info`.
bool FetchVersionInfo(RunServices& services, const CheckSession& session, std::string* text,
                      SignedFileInfo* info);

}  // namespace updater
