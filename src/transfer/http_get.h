// The one HTTP GET client through which every file is fetched, into a file
// or into memory, described and answered by one request record.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "system/platform.h"
#include "system/report.h"

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

// Performs one GET as `request` describes and returns a result code.
//
// Beyond the record's own rules:
// - A file target is written to TemporaryDownloadName(FileName), which
//   replaces FileName only once the whole body is in it; after a failure it
//   is deleted and an existing FileName stays as it was. When the temporary
//   file cannot be created, or cannot replace FileName, the result is
//   HTTPGetResult::ErrCreateFile (its text names FileName).
// - Time limits: a connection not made within 30 s, or a response whose
//   headers do not arrive within 30 s of the request, is HTTPGetResult::ErrSend; a
//   body that brings fewer than 1,024 bytes in any 30 s window, or, after
//   its first 30 s, fewer than 1,024 bytes a second on average since it
//   began, is HTTPGetResult::ErrRead. With TotalTimeLimitMilliseconds, a call whose
//   time runs out is HTTPGetResult::ErrSend before the response headers and
//   HTTPGetResult::ErrRead after them. The client tells the platform's request when
//   each wait must end (HttpRequest::SetDeadline), so no wait outlasts a
//   rule; FailureCause says which limit ran out. A body that failed a time
//   rule is not resumed.
// - A file download cut after some of its body arrived is resumed on the
//   same connection, up to 3 times, when the first answer announced the
//   body's length and named a validator (a strong ETag, else Last-Modified):
//   a Range request for the rest carries it in If-Range. A 206 with the
//   same validator and the matching Content-Range appends; a 200 starts the
//   body over, and so does a 206 with another validator (or none), after a
//   plain request for the whole body (a server that ignores If-Range would
//   splice two versions); any other answer ends the call with the cut's
//   HTTPGetResult::ErrRead.
// - HTTPGetTarget::Memory: the body's buffer grows by doubling, up to the announced
//   length and one read more.
HTTPGetResult HTTPGetFromWeb(Platform& os, HTTPGetRequest& request);
// The same, with one log record of the request in `report`: the URL with its
// password masked, the status, the body bytes received, the milliseconds
// taken, and the result text of a failure; and one record before each resume.
HTTPGetResult HTTPGetFromWeb(Platform& os, HTTPGetRequest& request, Report& report);

// The file a download into `fileName` is written to until it is complete:
// `fileName` + ".part", in the same folder. A file of that name left by a
// killed run is overwritten by the next download of `fileName`.
std::string TemporaryDownloadName(const std::string& fileName);

// The one-line English text for a result code of `request`.
std::string HTTPGetErrorText(HTTPGetResult result, const HTTPGetRequest& request);

}  // namespace updater
