// The HTTP GET client: one synchronous request over the platform's HTTP
// session, its body delivered into a file or into memory.
#include "transfer/http_get.h"

#include <limits>
#include <memory>
#include <new>

#include "transfer/url_split.h"

namespace updater {

namespace {

constexpr int32_t kLargestWholeRead = 10485760;  // a body up to this size is read in one go
constexpr int32_t kDefaultChunkSize = 65536;
constexpr int64_t kLargestBody = std::numeric_limits<int32_t>::max();
constexpr uint32_t kDefaultRequestFlags = kRequestReload | kRequestNeverAskUser;
constexpr char kDefaultAgent[] = "Lanternix for Windows (HTTPGetFromWeb)";

using R = HTTPGetResult;
constexpr int kHttpPort = 80;
constexpr int kHttpsPort = 443;

// What one call holds while it runs; everything still open is released on the
// way out, whichever way that is.
struct Transfer {
  Transfer(Platform& os, HTTPGetRequest& request) : os(os), request(request) {}

  Platform& os;
  HTTPGetRequest& request;
  uint64_t startMilliseconds = 0;
  int64_t received = 0;
  int32_t contentLength = 0;
  std::unique_ptr<HttpSession> session;
  std::unique_ptr<HttpConnection> connection;
  std::unique_ptr<HttpRequest> handle;
  std::unique_ptr<File> file;

  HTTPGetResult Run();
  HTTPGetResult ReadBody(int32_t chunkSize);
  // Takes the cause of the failure `result` from where it was recorded: the
  // HTTP client, the file system, or the client's own rules.
  HTTPGetResult FailWith(HTTPGetResult result, std::string cause) {
    request.FailureCause = std::move(cause);
    return result;
  }
  HTTPGetResult InternetFailure(HTTPGetResult result) {
    return FailWith(result, os.internet.LastError());
  }
  HTTPGetResult FileFailure(HTTPGetResult result) { return FailWith(result, os.files.LastError()); }
  // Closes the request, the connection and the session that are open, in that
  // order; false when any close was refused. Every handle is closed even then.
  bool CloseHandles();
  int32_t Seconds() const {
    return static_cast<int32_t>((os.clock.Milliseconds() - startMilliseconds) / 1000);
  }
};

bool Transfer::CloseHandles() {
  bool closed = true;
  if (handle) closed = handle->Close() && closed;
  if (connection) closed = connection->Close() && closed;
  if (session) closed = session->Close() && closed;
  handle.reset();
  connection.reset();
  session.reset();
  return closed;
}

HTTPGetResult Transfer::Run() {
  std::string host, path, user, password;
  if (GetURLHost(request.URL, &host) != R::HTTPGetOK)
    return FailWith(R::HTTPGetErrArgument, "no host in the URL");
  if (GetURLPath(request.URL, &path) != R::HTTPGetOK)
    return FailWith(R::HTTPGetErrArgument, "no path in the URL");
  GetURLCredentials(request.URL, &user, &password);  // no credentials is no error

  if (request.Target == HTTPGetTarget::TargetFile) {
    if (request.FileName.empty()) return FailWith(R::HTTPGetErrArgument, "no target file name");
  } else if (request.Target == HTTPGetTarget::TargetMemory) {
    request.Memory.reset();
  } else {
    return FailWith(R::HTTPGetErrArgument,
                    "unknown target " + std::to_string(static_cast<int32_t>(request.Target)));
  }
  if (request.AccessType == kAccessProxy && request.ProxyName.empty())
    return FailWith(R::HTTPGetErrArgument, "a proxy without a name");

  // Defaults, written back so that the record shows what was used.
  if (request.BufferSize < 0) request.BufferSize = 0;
  if (request.AccessType == 0) request.AccessType = kAccessDirect;
  if (request.Agent.empty()) request.Agent = kDefaultAgent;
  if (request.RequestFlags == 0) request.RequestFlags = kDefaultRequestFlags;
  // A port written in the URL cannot be part of the name that is resolved; it
  // is the port to use unless the record names one.
  bool secure = IsSecureURL(request.URL);
  HostAndPort server = SplitHostPort(host);
  if (request.Port == 0) {
    request.Port = server.port != 0 ? server.port : secure ? kHttpsPort : kHttpPort;
  }

  if (request.AccessType != kAccessDirect && request.AccessType != kAccessProxy)
    return FailWith(R::HTTPGetErrOpen, "unknown access type " + std::to_string(request.AccessType));
  HttpSessionOptions sessionOptions;
  sessionOptions.agent = request.Agent;
  sessionOptions.access =
      request.AccessType == kAccessProxy ? HttpAccess::Proxy : HttpAccess::Direct;
  sessionOptions.proxyName = request.ProxyName;
  session = os.internet.Open(sessionOptions);
  if (!session) return InternetFailure(R::HTTPGetErrOpen);
  connection = session->Connect(server.name, request.Port);
  if (!connection) return InternetFailure(R::HTTPGetErrConnect);
  if (request.AccessType == kAccessProxy) {
    if (!request.ProxyUser.empty() &&
        !connection->SetCredential(HttpCredential::ProxyUserName, request.ProxyUser))
      return InternetFailure(R::HTTPGetErrProxyOptions);
    if (!request.ProxyPassword.empty() &&
        !connection->SetCredential(HttpCredential::ProxyPassword, request.ProxyPassword))
      return InternetFailure(R::HTTPGetErrProxyOptions);
  }
  HttpRequestOptions requestOptions;
  requestOptions.path = path;
  requestOptions.secure = secure;
  requestOptions.reload = (request.RequestFlags & kRequestReload) != 0;
  requestOptions.neverAskUser = (request.RequestFlags & kRequestNeverAskUser) != 0;
  handle = connection->OpenRequest(requestOptions);
  if (!handle) return InternetFailure(R::HTTPGetErrRequest);

  uint32_t status = 0;
  for (bool resent = false;; resent = true) {
    if (!handle->Send()) return InternetFailure(R::HTTPGetErrSend);
    if (!handle->Status(&status)) return InternetFailure(R::HTTPGetErrQueryStatus);
    if (status != 401 || resent) break;
    // One resend answers the challenge, with the URL's credentials if any.
    if (!user.empty() && !connection->SetCredential(HttpCredential::UserName, user))
      return InternetFailure(R::HTTPGetErrAuthOptions);
    if (!password.empty() && !connection->SetCredential(HttpCredential::Password, password))
      return InternetFailure(R::HTTPGetErrAuthOptions);
  }
  if (status != 200) {
    request.StatusCode = static_cast<int32_t>(status);
    return R::HTTPGetErrStatus;
  }

  uint64_t announced = 0;
  if (!handle->ContentLength(&announced)) announced = 0;
  // The byte counts are 32-bit: a larger body is refused before anything is
  // written.
  if (announced > static_cast<uint64_t>(kLargestBody))
    return FailWith(R::HTTPGetErrRead, "the announced body of " + std::to_string(announced) +
                                           " bytes is 2 GiB or more");
  contentLength = static_cast<int32_t>(announced);

  int32_t chunkSize = request.BufferSize;
  if (chunkSize == 0) {
    chunkSize = contentLength >= 1 && contentLength <= kLargestWholeRead ? contentLength
                                                                         : kDefaultChunkSize;
  }
  try {
    request.Memory.emplace(static_cast<size_t>(chunkSize));
  } catch (const std::bad_alloc&) {
    request.Memory.reset();
    return FailWith(R::HTTPGetErrMemory, "no memory for a read buffer");
  }
  if (request.Target == HTTPGetTarget::TargetFile) {
    file = os.files.Create(request.FileName);
    if (!file) return FileFailure(R::HTTPGetErrCreateFile);
  }
  if (request.OnConnected) request.OnConnected(request, handle.get());

  HTTPGetResult result = ReadBody(chunkSize);
  if (result != R::HTTPGetOK) return result;

  if (file) {
    if (!file->Flush()) return FileFailure(R::HTTPGetErrWrite);
    if (file->Size() != received)
      return FailWith(R::HTTPGetErrWrite, "the file does not hold the bytes received");
    // A close that reports a delayed write error fails the download too.
    if (!file->Close()) return FileFailure(R::HTTPGetErrWrite);
    file.reset();
  }
  request.ReceivedBytes = static_cast<int32_t>(received);
  if (!CloseHandles()) return InternetFailure(R::HTTPGetErrClose);
  return R::HTTPGetOK;
}

HTTPGetResult Transfer::ReadBody(int32_t chunkSize) {
  std::vector<uint8_t>& buffer = *request.Memory;
  for (;;) {
    uint8_t* into = file ? buffer.data() : buffer.data() + received;
    uint32_t got = 0;
    if (!handle->Read(into, static_cast<uint32_t>(chunkSize), &got))
      return InternetFailure(R::HTTPGetErrRead);
    if (got > uint32_t(chunkSize))
      return FailWith(R::HTTPGetErrRead, "a read returned more than it was asked for");
    if (received + got > kLargestBody) return FailWith(R::HTTPGetErrRead, "the body reached 2 GiB");
    if (file) {
      if (got > 0 && !file->Write(into, got)) return FileFailure(R::HTTPGetErrWrite);
      if (file->Size() != received + got)
        return FailWith(R::HTTPGetErrWrite, "the file does not hold the bytes received");
    }
    received += got;
    if (got > 0 && request.OnProgress &&
        request.OnProgress(request, static_cast<int32_t>(received), contentLength, Seconds()) == 0)
      return FailWith(R::HTTPGetErrAborted, "stopped by the progress hook");
    if (got == 0) break;
    if (!file) {
      try {
        buffer.resize(static_cast<size_t>(received) + static_cast<size_t>(chunkSize));
      } catch (const std::bad_alloc&) {
        request.Memory.reset();
        return FailWith(R::HTTPGetErrMemory,
                        "no memory for " + std::to_string(received) + " bytes of body");
      }
    }
  }
  // A body that ends before its announced length was cut off.
  if (contentLength > 0 && received != contentLength)
    return FailWith(R::HTTPGetErrRead, "the body ended after " + std::to_string(received) + " of " +
                                           std::to_string(contentLength) + " bytes");
  if (!file) {
    if (received == 0) {
      request.Memory.reset();
    } else {
      buffer.resize(static_cast<size_t>(received));
      buffer.shrink_to_fit();
    }
  }
  return R::HTTPGetOK;
}

// One whole call; `*bodyBytes` gets the body bytes that arrived, also when
// the call failed.
HTTPGetResult Perform(Platform& os, HTTPGetRequest& request, int64_t* bodyBytes) {
  Transfer transfer(os, request);
  request.ReceivedBytes = 0;
  request.StatusCode = 0;
  request.FailureCause.clear();
  transfer.startMilliseconds = os.clock.Milliseconds();

  HTTPGetResult result = transfer.Run();
  // On a failure the handles are still open; closing them cannot change the
  // failure's result.
  transfer.CloseHandles();

  if (request.OnFinished) {
    request.OnFinished(request, result, static_cast<int32_t>(transfer.received),
                       transfer.contentLength, transfer.Seconds());
  }
  if (request.Target == HTTPGetTarget::TargetFile) {
    request.Memory.reset();
    if (result != R::HTTPGetOK && transfer.file) {
      transfer.file->Close();
      transfer.file.reset();
      os.files.Delete(request.FileName);
    }
  }
  *bodyBytes = transfer.received;
  return result;
}

}  // namespace

HTTPGetResult HTTPGetFromWeb(Platform& os, HTTPGetRequest& request) {
  int64_t bodyBytes = 0;
  return Perform(os, request, &bodyBytes);
}

HTTPGetResult HTTPGetFromWeb(Platform& os, HTTPGetRequest& request, Report& report) {
  const uint64_t start = os.clock.Milliseconds();
  int64_t bodyBytes = 0;
  HTTPGetResult result = Perform(os, request, &bodyBytes);
  std::string record = "GET " + MaskURLPassword(request.URL);
  if (request.StatusCode != 0)
    record += " status " + std::to_string(request.StatusCode);
  else if (result == R::HTTPGetOK || result == R::HTTPGetErrClose)
    record += " status 200";
  record += ", " + std::to_string(bodyBytes) + " bytes, " +
            std::to_string(os.clock.Milliseconds() - start) + " ms";
  // The caller reports a failure with its cause.
  if (result != R::HTTPGetOK) record += ", failed: " + HTTPGetErrorText(result, request);
  report.Log(record);
  return result;
}

}  // namespace updater
