// The requests for the server files as the update check performs them. Kept
// apart from the decoding and state rules, which need no HTTP client.
#include "protocol/server_files.h"
#include "run/console_io.h"

namespace updater {

namespace {

// Performs one request; on failure prints its error line and drops any body.
bool Perform(Program& program, HTTPGetRequest& request) {
  const int32_t result = HTTPGetFromWeb(program.os, request);
  if (result == HTTPGetOK) return true;
  request.Memory.reset();
  PrintLine(program, "Error: " + HTTPGetErrorText(result, request));
  return false;
}

bool FetchText(Program& program, HTTPGetRequest request, std::string* text) {
  text->clear();
  if (!Perform(program, request)) return false;
  *text = TakeBodyText(request);
  return true;
}

}  // namespace

bool FetchUpdateInfo(Program& program, std::string* text) {
  return FetchText(program, UpdateInfoRequest(program), text);
}

bool FetchServerList(Program& program) {
  HTTPGetRequest request = ServerListRequest(program);
  return Perform(program, request);
}

bool FetchVersionInfo(Program& program, std::string* text) {
  return FetchText(program, VersionInfoRequest(program), text);
}

}  // namespace updater
