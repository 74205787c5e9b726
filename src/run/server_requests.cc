// The requests for the three server files as the update check performs them.
#include "run/server_requests.h"

#include <memory>
#include <string_view>

#include "protocol/server_files.h"
#include "protocol/server_list.h"
#include "run/signed_files.h"
#include "transfer/http_error_text.h"

namespace updater {

namespace {

// The largest server file taken. The state, the list and the catalogue are a
// few lines of text; a server that sends more, or sends without end, must not
// fill the memory (or the disk) before the 2 GiB limit of the client.
constexpr int32_t kLargestServerFile = 16 * 1024 * 1024;

HTTPGetRequest ServerFileRequest(const std::string& server, std::string_view fileName) {
  HTTPGetRequest request;
  request.URL = server + std::string(fileName);
  request.Target = HTTPGetTarget::Memory;
  request.BufferSize = 0;
  request.Agent = kUpdaterAgent;
  request.TotalTimeLimitMilliseconds = kServerFileTimeLimitMilliseconds;
  return request;
}

// Performs one request, stopped as soon as the body is announced or found
// larger than kLargestServerFile; on failure prints its error line and drops
// any body.
bool Perform(Program& program, HTTPGetRequest& request) {
  request.OnProgress = [](HTTPGetRequest&, int32_t received, int32_t contentLength, int32_t) {
    return received <= kLargestServerFile && contentLength <= kLargestServerFile ? 1 : 0;
  };
  const HTTPGetResult result = HTTPGetFromWeb(program.Os, request, program.Output);
  if (result == HTTPGetResult::Ok) return true;
  request.Memory.reset();
  ReportHTTPGetFailure(program.Output, result, request);
  return false;
}

// Writes `bytes` to `path` whole: to TemporaryDownloadName(path) first,
// flushed, then moved over `path`. False with the file system's cause, and
// `path` as it was.
bool SaveWhole(FileSystem& files, const std::string& path, std::string_view bytes,
               std::string* cause) {
  const std::string part = TemporaryDownloadName(path);
  std::unique_ptr<File> file = files.Create(part);
  bool saved = file && file->Write(bytes.data(), static_cast<int64_t>(bytes.size())) &&
               file->Flush() && file->Close() && files.Replace(part, path);
  if (saved) return true;
  *cause = files.LastError();
  file.reset();
  files.Delete(part);
  return false;
}

std::string_view BodyBytes(const HTTPGetRequest& request) {
  if (!request.Memory) return std::string_view();
  return std::string_view(reinterpret_cast<const char*>(request.Memory->data()),
                          static_cast<size_t>(request.ReceivedBytes));
}

// Fetches a server file into memory and, when the updater requires
// signatures, checks its bytes against the signature beside it.
bool FetchText(Program& program, HTTPGetRequest request, std::string_view name, std::string* text,
               SignedFileInfo* info) {
  text->clear();
  if (!Perform(program, request)) return false;
  if (RequiresSignatures(program) &&
      !CheckSignedBytes(program, request.URL, std::string(name), BodyBytes(request), info)) {
    request.Memory.reset();
    return false;
  }
  *text = TakeBodyText(request);
  return true;
}

}  // namespace

HTTPGetRequest UpdateInfoRequest(const std::string& server) {
  return ServerFileRequest(server, kUpdateInfoFile);
}

HTTPGetRequest ServerListRequest(const std::string& server) {
  return ServerFileRequest(server, kServerListFile);
}

HTTPGetRequest VersionInfoRequest(const std::string& server) {
  return ServerFileRequest(server, kVersionInfoFile);
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

bool FetchUpdateInfo(Program& program, std::string* text) {
  SignedFileInfo info;
  return FetchText(program, UpdateInfoRequest(program.Settings.Server), kUpdateInfoFile, text,
                   &info);
}

bool FetchServerList(Program& program) {
  HTTPGetRequest request = ServerListRequest(program.Settings.Server);
  if (!Perform(program, request)) return false;
  const std::string_view list = BodyBytes(request);
  SignedFileInfo info;
  const bool signedList = RequiresSignatures(program);
  if (signedList &&
      (!CheckSignedBytes(program, request.URL, std::string(kServerListFile), list, &info) ||
       !CheckServerListTime(program, info.Timestamp)))
    return false;
  // An empty answer, an error page or a list of thousands of servers would
  // leave the next runs without a server, or trying servers for hours.
  if (std::string refusal = ServerListRefusal(list); !refusal.empty()) {
    program.Log.Write("The server's UpdateServer.lst is not taken, the list on disk stays: " +
                      refusal);
    return true;
  }
  request.FileName = program.ProgramFolder + std::string(kServerListFile);
  std::string cause;
  if (!SaveWhole(program.Os.Files, request.FileName, list, &cause)) {
    program.Output.Failure("Error: " + HTTPGetErrorText(HTTPGetResult::ErrCreateFile, request),
                           cause);
    return false;
  }
  if (signedList) KeepServerListTime(program, info.Timestamp);
  return true;
}

bool FetchVersionInfo(Program& program, std::string* text, SignedFileInfo* info) {
  return FetchText(program, VersionInfoRequest(program.Settings.Server), kVersionInfoFile, text,
                   info);
}

}  // namespace updater
