// The one HTTP GET client through which every file is fetched, into a file
// or into memory, described and answered by one request record.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "system/platform.h"

namespace updater {

// Result codes.
inline constexpr int32_t HTTPGetOK = 1;
inline constexpr int32_t HTTPGetErrArgument = 0x8001;
inline constexpr int32_t HTTPGetErrMemory = 0x8002;
inline constexpr int32_t HTTPGetErrAborted = 0x8003;
inline constexpr int32_t HTTPGetErrURL = 0x8004;
inline constexpr int32_t HTTPGetErrWrite = 0x8005;
inline constexpr int32_t HTTPGetErrCreateFile = 0x8006;
inline constexpr int32_t HTTPGetErrStatus = 0x8007;
inline constexpr int32_t HTTPGetErrOpen = 0x8008;
inline constexpr int32_t HTTPGetErrConnect = 0x8009;
inline constexpr int32_t HTTPGetErrProxyOptions = 0x800A;
inline constexpr int32_t HTTPGetErrAuthOptions = 0x800B;
inline constexpr int32_t HTTPGetErrRequest = 0x800C;
inline constexpr int32_t HTTPGetErrSend = 0x800D;
inline constexpr int32_t HTTPGetErrQueryStatus = 0x800E;
inline constexpr int32_t HTTPGetErrRead = 0x800F;
inline constexpr int32_t HTTPGetErrClose = 0x8010;

// The user agent of every request the updater makes.
inline constexpr char kUpdaterAgent[] = "Morvex Updater";

// Where the body goes.
inline constexpr int32_t TargetFile = 2;
inline constexpr int32_t TargetMemory = 3;

struct HTTPGetRequest {
  std::string URL;
  int32_t Target = 0;
  int32_t BufferSize = 0;  // bytes per read; 0 chooses automatically
  std::string Agent;
  int32_t Port = 0;
  int32_t AccessType = 0;
  uint32_t RequestFlags = 0;
  std::string FileName;
  std::string ProxyName;
  std::string ProxyUser;
  std::string ProxyPassword;
  int32_t ReceivedBytes = 0;
  int32_t StatusCode = 0;
  // TargetMemory: the body, exactly ReceivedBytes long, owned by the caller
  // (nothing for an empty body). TargetFile: nothing after the call.
  std::optional<std::vector<uint8_t>> Memory;
  // Called after each read that returned data; returning 0 aborts.
  std::function<int(HTTPGetRequest&, int32_t received, int32_t contentLength, int32_t seconds)>
      OnProgress;
  // Called once after the status 200 was seen and the target prepared.
  std::function<void(HTTPGetRequest&, HttpRequest* handle)> OnConnected;
  // Called once on every way out of the call.
  std::function<void(HTTPGetRequest&, int32_t result, int32_t received, int32_t contentLength,
                     int32_t seconds)>
      OnFinished;
};

// Performs one GET as `request` describes and returns a result code.
int32_t HTTPGetFromWeb(Platform& os, HTTPGetRequest& request);

// The one-line English text for a result code of `request`.
std::string HTTPGetErrorText(int32_t result, const HTTPGetRequest& request);

}  // namespace updater
