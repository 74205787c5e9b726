// The request record of the HTTP GET client: what to fetch and how, the
// hooks the client calls, and what it writes back; and the client's result
// codes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "system/internet.h"

namespace updater {

// Result codes; the number is what a message shows for a code without a text
// of its own.
enum class HTTPGetResult : int32_t {
  Ok = 1,
  ErrArgument = 0x8001,
  ErrMemory = 0x8002,
  ErrAborted = 0x8003,
  ErrURL = 0x8004,  // URL splitting only; never returned by HTTPGetFromWeb
  ErrWrite = 0x8005,
  ErrCreateFile = 0x8006,
  ErrStatus = 0x8007,
  ErrOpen = 0x8008,
  ErrConnect = 0x8009,
  ErrProxyOptions = 0x800A,
  ErrAuthOptions = 0x800B,
  ErrRequest = 0x800C,
  ErrSend = 0x800D,
  ErrQueryStatus = 0x800E,
  ErrRead = 0x800F,
  ErrClose = 0x8010,
};

// Where the body goes. Any other value is an argument error.
enum class HTTPGetTarget : int32_t { File = 2, Memory = 3 };

// The access types of the record: 0 takes the default, direct.
inline constexpr int32_t kAccessDirect = 1;  // no proxy; the system's settings are not consulted
inline constexpr int32_t kAccessProxy = 3;   // through ProxyName

// The request flags of the record: 0 takes the default, both of these.
inline constexpr uint32_t kRequestReload = 0x1;        // always from the server, never a cache
inline constexpr uint32_t kRequestNeverAskUser = 0x2;  // never a dialog of the platform's

// The user agent of every request the updater makes.
inline constexpr char kUpdaterAgent[] = "Morvex Updater";

// The whole time each server file (UpdateInfo.txt, UpdateServer.lst,
// VersionInfo.txt) and the signature of any file may take, from its request
// to its last byte (TotalTimeLimitMilliseconds): a few lines of text that a
// server dripping them must not make the run wait for.
inline constexpr int32_t kServerFileTimeLimitMilliseconds = 120000;

struct HTTPGetRequest {
  std::string URL;
  HTTPGetTarget Target{};
  int32_t BufferSize = 0;  // bytes per read; 0 chooses automatically
  std::string Agent;
  int32_t Port = 0;
  int32_t AccessType = 0;
  uint32_t RequestFlags = 0;
  std::string FileName;
  std::string ProxyName;
  std::string ProxyUser;
  std::string ProxyPassword;
  // The longest the whole call may take, in milliseconds, from its start to
  // the body's last byte: connecting, waiting for the headers, reading and
  // every resume count. 0 sets no such limit.
  int32_t TotalTimeLimitMilliseconds = 0;
  // The most bytes the body may have: an answer that announces more, or a
  // body that brings more, ends the call with HTTPGetResult::ErrAborted
  // before a byte past the limit is written. 0 sets no such limit.
  int64_t BodyLimit = 0;
  int32_t ReceivedBytes = 0;
  int32_t StatusCode = 0;
  // HTTPGetTarget::Memory: the body, exactly ReceivedBytes long, owned by the caller
  // (nothing for an empty body). HTTPGetTarget::File: nothing after the call.
  std::optional<std::vector<uint8_t>> Memory;
  // Called after each read that returned data; returning 0 aborts.
  std::function<int(HTTPGetRequest&, int32_t received, int32_t contentLength, int32_t seconds)>
      OnProgress;
  // Called once after the status 200 was seen and the target prepared.
  std::function<void(HTTPGetRequest&, HttpRequest* handle)> OnConnected;
  // Called once on every way out of the call.
  std::function<void(HTTPGetRequest&, HTTPGetResult result, int32_t received, int32_t contentLength,
                     int32_t seconds)>
      OnFinished;
  // After a failure: the reason behind it (the system's or the library's
  // error), for the log; empty when there is nothing more to say.
  std::string FailureCause;
};

}  // namespace updater
