// The three files the updater reads from an update server.
#include "protocol/server_files.h"

#include "system/text.h"

namespace updater {

namespace {

constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

HTTPGetRequest ServerFileRequest(const Program& program, std::string_view fileName,
                                 int32_t target) {
  HTTPGetRequest request;
  request.URL = program.Settings.Server + std::string(fileName);
  request.Target = target;
  request.BufferSize = 0;
  request.Agent = kUpdaterAgent;
  return request;
}

// The length of the well-formed UTF-8 sequence at the start of `bytes`, or 0
// when it is malformed (overlong forms, surrogates and values above U+10FFFF
// included).
size_t Utf8SequenceLength(std::string_view bytes) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (bytes.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return length;
}

}  // namespace

HTTPGetRequest UpdateInfoRequest(const Program& program) {
  return ServerFileRequest(program, "UpdateInfo.txt", TargetMemory);
}

HTTPGetRequest ServerListRequest(const Program& program) {
  HTTPGetRequest request = ServerFileRequest(program, "UpdateServer.lst", TargetFile);
  request.FileName = program.ProgramFolder + "UpdateServer.lst";
  return request;
}

HTTPGetRequest VersionInfoRequest(const Program& program) {
  return ServerFileRequest(program, "VersionInfo.txt", TargetMemory);
}

std::string TakeBodyText(HTTPGetRequest& request) {
  std::string text;
  if (request.Memory) {
    const std::vector<uint8_t>& body = *request.Memory;
    size_t size = request.ReceivedBytes > 0 ? static_cast<size_t>(request.ReceivedBytes) : 0;
    if (size > body.size()) size = body.size();
    std::string_view bytes(reinterpret_cast<const char*>(body.data()), size);
    bytes = bytes.substr(0, bytes.find('\0'));  // the text ends at a zero byte
    text.reserve(bytes.size());
    while (!bytes.empty()) {
      const size_t length = Utf8SequenceLength(bytes);
      if (length == 0) {
        text += kReplacementCharacter;
        bytes.remove_prefix(1);
      } else {
        text.append(bytes.substr(0, length));
        bytes.remove_prefix(length);
      }
    }
  }
  request.Memory.reset();
  return text;
}

std::string ServerState(std::string_view updateInfoText) { return LowerCaseText(updateInfoText); }

std::string_view ServerStateLine(std::string_view serverState) {
  if (serverState == kServerStateOk) return "";
  if (serverState == kServerStateNoUpdates) return "Server does not offer updates anymore.";
  if (serverState == kServerStateMaintenance) return "Server is currently under maintenance.";
  return "Server is in unknown state.";
}

}  // namespace updater
