// The request record of the HTTP GET client: what to fetch and how, its time
// limits, the hooks the client calls, and what the call gives back; and the
// client's result codes.
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

// The user agent of every request the updater makes.
inline constexpr char kUpdaterAgent[] = "Morvex Updater";

// The time limits of the client's requests, and the apply's wait for held
// files, in milliseconds. The program takes them from its entry point
// (RunServices::Limits); the defaults are the ones the updater ships with.
struct TimeLimits {
  // Connecting to the server, TLS included.
  int32_t ConnectMilliseconds = 30000;
  // From the request sent to the final response's headers.
  int32_t ResponseMilliseconds = 30000;
  // A body read that waits this long without any byte arriving.
  int32_t ReceiveMilliseconds = 30000;
  // The pace of a body: at least kLeastWindowBytes in every window of this
  // length, and after the first window kLeastAverageBytesPerSecond on average
  // since the body began.
  int32_t RateWindowMilliseconds = 30000;
  // The whole time each server file (UpdateInfo.txt, UpdateServer.lst,
  // VersionInfo.txt) and the signature of any file may take, from its
  // request to its last byte (HTTPGetRequest::TotalTimeLimitMilliseconds): a
  // few lines of text that a server dripping them must not make the run wait
  // for.
  int32_t ServerFileMilliseconds = 120000;
  // Not a request's: the time applying a transaction of packages waits in
  // all for files of the installation that another program holds open
  // (PackageReader::HeldFiles), however many they are.
  int32_t HeldFileMilliseconds = 20000;
};

// The slowest body accepted: this many bytes in every rate window, and after
// the first window this many bytes a second on average.
inline constexpr int64_t kLeastWindowBytes = 1024;
inline constexpr int64_t kLeastAverageBytesPerSecond = 1024;

// How the requests of a run reach their servers: the fields of the same
// names in HTTPGetRequest. Each request of the run takes it whole.
struct HttpRoute {
  HttpAccess Access = HttpAccess::System;
  std::string ProxyName;  // "host:port" for HttpAccess::Proxy
  std::string ProxyUser;
  std::string ProxyPassword;
};

struct HTTPGetRequest {
  std::string URL;
  HTTPGetTarget Target{};
  int64_t BufferSize = 0;  // bytes per read; 0 (or less) chooses automatically
  std::string Agent;       // empty: the client's default agent
  int32_t Port = 0;        // 0: the URL's port, else the scheme's
  HttpAccess Access = HttpAccess::Direct;
  bool Reload = true;        // always from the server, never a cache
  bool NeverAskUser = true;  // never a dialog of the platform's
  std::string FileName;
  std::string ProxyName;  // "host:port" for HttpAccess::Proxy
  std::string ProxyUser;
  std::string ProxyPassword;
  // Sets Access, ProxyName, ProxyUser and ProxyPassword from `route`.
  void TakeRoute(const HttpRoute& route) {
    Access = route.Access;
    ProxyName = route.ProxyName;
    ProxyUser = route.ProxyUser;
    ProxyPassword = route.ProxyPassword;
  }
  // The connect, response, receive and pace limits of the request.
  TimeLimits Limits;
  // The longest the whole call may take, in milliseconds, from its start to
  // the body's last byte: connecting, waiting for the headers, reading and
  // every resume count. 0 sets no such limit.
  int64_t TotalTimeLimitMilliseconds = 0;
  // The most bytes the body may have: an answer that announces more, or a
  // body that brings more, ends the call with HTTPGetResult::ErrAborted
  // before a byte past the limit is written. 0 sets no such limit.
  int64_t BodyLimit = 0;
  // Out: the body bytes received, and the status of an answer other than 200.
  int64_t ReceivedBytes = 0;
  int32_t StatusCode = 0;
  // HTTPGetTarget::Memory: the body, exactly ReceivedBytes long, owned by the caller
  // (nothing for an empty body). HTTPGetTarget::File: nothing after the call.
  std::optional<std::vector<uint8_t>> Memory;
  // HTTPGetTarget::File: a body cut off after some of it arrived, whose
  // length was announced and which named a validator, keeps its part file
  // (PartPath(FileName)) with its source beside it (kPartSourceSuffix); a
  // later call for the same URL and FileName asks only for the rest, as the
  // resumes within a call do, and starts over when the server's file changed.
  // The source is written before the body's first byte and goes when the
  // file is complete, so a process killed during the body leaves both.
  bool KeepCutFile = false;
  // Called after each read that returned data, with the bytes received and
  // the announced length (0 when none); returning 0 aborts.
  std::function<int(HTTPGetRequest&, int64_t received, int64_t contentLength, int32_t seconds)>
      OnProgress;
  // Called once after the status 200 was seen and the target prepared.
  std::function<void(HTTPGetRequest&, HttpRequest* handle)> OnConnected;
  // Called once on every way out of the call.
  std::function<void(HTTPGetRequest&, HTTPGetResult result, int64_t received, int64_t contentLength,
                     int32_t seconds)>
      OnFinished;
  // After a failure: the reason behind it (the system's or the library's
  // error), for the log; empty when there is nothing more to say.
  std::string FailureCause;
};

}  // namespace updater
