// The requests for the three server files as the update check performs them.
#include "run/server_requests.h"

#include <string_view>

#include "protocol/server_files.h"
#include "protocol/server_list.h"
#include "run/signed_files.h"
#include "system/small_files.h"
#include "transfer/http_error_text.h"

namespace updater {

namespace {

// The largest server file taken. The state, the list and the catalogue are a
// few lines of text; a server that sends more, or sends without end, must not
// fill the memory.
constexpr int64_t kLargestServerFile = 16 * 1024 * 1024;

HTTPGetRequest ServerFileRequest(const std::string& server, std::string_view fileName,
                                 const TimeLimits& limits) {
  HTTPGetRequest request;
  request.URL = server + std::string(fileName);
  request.Target = HTTPGetTarget::Memory;
  request.BufferSize = 0;
  request.Agent = kUpdaterAgent;
  request.Limits = limits;
  request.TotalTimeLimitMilliseconds = limits.ServerFileMilliseconds;
  return request;
}

// Performs one request by the run's route, stopped as soon as the body is announced or found
// larger than kLargestServerFile; on failure prints its error line and drops
// any body.
bool Perform(RunServices& services, HTTPGetRequest& request) {
  request.TakeRoute(services.Route);
  request.OnProgress = [](HTTPGetRequest&, int64_t received, int64_t contentLength, int32_t) {
    return received <= kLargestServerFile && contentLength <= kLargestServerFile ? 1 : 0;
  };
  const HTTPGetResult result = HTTPGetFromWeb(services.Os, request, services.Output);
  if (result == HTTPGetResult::Ok) return true;
  request.Memory.reset();
  ReportHTTPGetFailure(services.Output, result, request);
  return false;
}

std::string_view BodyBytes(const HTTPGetRequest& request) {
  if (!request.Memory) return std::string_view();
  return std::string_view(reinterpret_cast<const char*>(request.Memory->data()),
                          static_cast<size_t>(request.ReceivedBytes));
}

// Fetches a server file into memory and, when the updater requires
// signatures, checks its bytes against the signature beside it.
bool FetchText(RunServices& services, HTTPGetRequest request, std::string_view name,
               std::string* text, SignedFileInfo* info) {
  text->clear();
  if (!Perform(services, request)) return false;
  if (RequiresSignatures(services) &&
      !CheckSignedBytes(services, request.URL, std::string(name), BodyBytes(request), info)) {
    request.Memory.reset();
    return false;
  }
  *text = TakeBodyText(request);
  return true;
}

}  // namespace

HTTPGetRequest UpdateInfoRequest(const std::string& server, const TimeLimits& limits) {
  return ServerFileRequest(server, kUpdateInfoFile, limits);
}

HTTPGetRequest ServerListRequest(const std::string& server, const TimeLimits& limits) {
  return ServerFileRequest(server, kServerListFile, limits);
}

HTTPGetRequest VersionInfoRequest(const std::string& server, const TimeLimits& limits) {
  return ServerFileRequest(server, kVersionInfoFile, limits);
}

std::string TakeBodyText(HTTPGetRequest& request) {
  std::string text;
  if (request.Memory) {
    const std::vector<uint8_t>& body = *request.Memory;
    size_t size = request.ReceivedBytes > 0 ? static_cast<size_t>(request.ReceivedBytes) : 0;
    if (size > body.size()) size = body.size();
    text = BodyText(std::string_view(reinterpret_cast<const char*>(body.data()), size));
  }
  request.Memory.reset();
  return text;
}

bool FetchUpdateInfo(RunServices& services, const CheckSession& session, std::string* text) {
  SignedFileInfo info;
  return FetchText(services, UpdateInfoRequest(session.Server, services.Limits), kUpdateInfoFile,
                   text, &info);
}

bool FetchServerList(RunServices& services, const CheckSession& session) {
  HTTPGetRequest request = ServerListRequest(session.Server, services.Limits);
  if (!Perform(services, request)) return false;
  const std::string_view list = BodyBytes(request);
  SignedFileInfo info;
  const bool signedList = RequiresSignatures(services);
  if (signedList &&
      (!CheckSignedBytes(services, request.URL, std::string(kServerListFile), list, &info) ||
       !CheckServerListTime(services, info.Timestamp)))
    return false;
  // An empty answer, an error page or a list of thousands of servers would
  // leave the next runs without a server, or trying servers for hours.
  if (std::string refusal = ServerListRefusal(list); !refusal.empty()) {
    services.Log.Write("The server's UpdateServer.lst is not taken, the list on disk stays: " +
                       refusal);
    return true;
  }
  request.FileName = services.ProgramFolder + std::string(kServerListFile);
  std::string cause;
  if (!WriteFileWhole(services.Os.Files, request.FileName, list, &cause)) {
    services.Output.Failure("Error: " + HTTPGetErrorText(HTTPGetResult::ErrCreateFile, request),
                            cause);
    return false;
  }
  if (signedList) KeepServerListTime(services, info.Timestamp);
  return true;
}

bool FetchVersionInfo(RunServices& services, const CheckSession& session, std::string* text,
                      SignedFileInfo* info) {
  return FetchText(services, VersionInfoRequest(session.Server, services.Limits), kVersionInfoFile,
                   text, info);
}

}  // namespace updater
