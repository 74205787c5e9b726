// The server's state file and the text of server files.
#include "protocol/server_files.h"

#include "system/text.h"
#include "system/utf8.h"

namespace updater {

std::string BodyText(std::string_view body) {
  return ValidUtf8(body.substr(0, body.find('\0')));  // the text ends at a zero byte
}

std::string ServerState(std::string_view updateInfoText) { return LowerCaseText(updateInfoText); }

std::string_view ServerStateLine(std::string_view serverState) {
  if (serverState == kServerStateOk) return "";
  if (serverState == kServerStateNoUpdates) return "Server does not offer updates anymore.";
  if (serverState == kServerStateMaintenance) return "Server is currently under maintenance.";
  return "Server is in unknown state.";
}

}  // namespace updater
