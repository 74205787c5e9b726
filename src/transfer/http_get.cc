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
constexpr uint32_t kDefaultRequestFlags = 0x80000200;  // INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_UI
constexpr char kDefaultAgent[] = "Lanternix for Windows (HTTPGetFromWeb)";
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

  int32_t Run();
  int32_t ReadBody(int32_t chunkSize);
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

int32_t Transfer::Run() {
  std::string host, path, user, password;
  if (GetURLHost(request.URL, &host) != HTTPGetOK) return HTTPGetErrArgument;
  if (GetURLPath(request.URL, &path) != HTTPGetOK) return HTTPGetErrArgument;
  GetURLCredentials(request.URL, &user, &password);  // no credentials is no error

  if (request.Target == TargetFile) {
    if (request.FileName.empty()) return HTTPGetErrArgument;
  } else if (request.Target == TargetMemory) {
    request.Memory.reset();
  } else {
    return HTTPGetErrArgument;
  }
  if (request.AccessType == kAccessProxy && request.ProxyName.empty()) return HTTPGetErrArgument;

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

  session = os.internet.Open(request.Agent, request.AccessType, request.ProxyName);
  if (!session) return HTTPGetErrOpen;
  connection = session->Connect(server.name, request.Port);
  if (!connection) return HTTPGetErrConnect;
  if (request.AccessType == kAccessProxy) {
    if (!request.ProxyUser.empty() &&
        !connection->SetOption(kOptionProxyUserName, request.ProxyUser))
      return HTTPGetErrProxyOptions;
    if (!request.ProxyPassword.empty() &&
        !connection->SetOption(kOptionProxyPassword, request.ProxyPassword))
      return HTTPGetErrProxyOptions;
  }
  handle = connection->OpenRequest("GET", path, request.RequestFlags, secure);
  if (!handle) return HTTPGetErrRequest;

  uint32_t status = 0;
  for (bool resent = false;; resent = true) {
    if (!handle->Send()) return HTTPGetErrSend;
    if (!handle->QueryNumber(kQueryStatusCode, &status)) return HTTPGetErrQueryStatus;
    if (status != 401 || resent) break;
    // One resend answers the challenge, with the URL's credentials if any.
    if (!user.empty() && !connection->SetOption(kOptionUserName, user))
      return HTTPGetErrAuthOptions;
    if (!password.empty() && !connection->SetOption(kOptionPassword, password))
      return HTTPGetErrAuthOptions;
  }
  if (status != 200) {
    request.StatusCode = static_cast<int32_t>(status);
    return HTTPGetErrStatus;
  }

  uint32_t announced = 0;
  if (!handle->QueryNumber(kQueryContentLength, &announced)) announced = 0;
  // The byte counts are 32-bit: a larger body is refused before anything is
  // written.
  if (announced > kLargestBody) return HTTPGetErrRead;
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
    return HTTPGetErrMemory;
  }
  if (request.Target == TargetFile) {
    file = os.files.Create(request.FileName);
    if (!file) return HTTPGetErrCreateFile;
  }
  if (request.OnConnected) request.OnConnected(request, handle.get());

  int32_t result = ReadBody(chunkSize);
  if (result != HTTPGetOK) return result;

  if (file) {
    bool complete = file->Flush() && file->Size() == received;
    // A close that reports a delayed write error fails the download too.
    if (!file->Close() || !complete) return HTTPGetErrWrite;
    file.reset();
  }
  request.ReceivedBytes = static_cast<int32_t>(received);
  if (!CloseHandles()) return HTTPGetErrClose;
  return HTTPGetOK;
}

int32_t Transfer::ReadBody(int32_t chunkSize) {
  std::vector<uint8_t>& buffer = *request.Memory;
  for (;;) {
    uint8_t* into = file ? buffer.data() : buffer.data() + received;
    uint32_t got = 0;
    if (!handle->Read(into, static_cast<uint32_t>(chunkSize), &got) || got > uint32_t(chunkSize))
      return HTTPGetErrRead;
    if (received + got > kLargestBody) return HTTPGetErrRead;
    if (file) {
      if (got > 0 && !file->Write(into, got)) return HTTPGetErrWrite;
      if (file->Size() != received + got) return HTTPGetErrWrite;
    }
    received += got;
    if (got > 0 && request.OnProgress &&
        request.OnProgress(request, static_cast<int32_t>(received), contentLength, Seconds()) == 0)
      return HTTPGetErrAborted;
    if (got == 0) break;
    if (!file) {
      try {
        buffer.resize(static_cast<size_t>(received) + static_cast<size_t>(chunkSize));
      } catch (const std::bad_alloc&) {
        request.Memory.reset();
        return HTTPGetErrMemory;
      }
    }
  }
  // A body that ends before its announced length was cut off.
  if (contentLength > 0 && received != contentLength) return HTTPGetErrRead;
  if (!file) {
    if (received == 0) {
      request.Memory.reset();
    } else {
      buffer.resize(static_cast<size_t>(received));
      buffer.shrink_to_fit();
    }
  }
  return HTTPGetOK;
}

}  // namespace

int32_t HTTPGetFromWeb(Platform& os, HTTPGetRequest& request) {
  Transfer transfer(os, request);
  request.ReceivedBytes = 0;
  request.StatusCode = 0;
  transfer.startMilliseconds = os.clock.Milliseconds();

  int32_t result = transfer.Run();
  // On a failure the handles are still open; closing them cannot change the
  // failure's result.
  transfer.CloseHandles();

  if (request.OnFinished) {
    request.OnFinished(request, result, static_cast<int32_t>(transfer.received),
                       transfer.contentLength, transfer.Seconds());
  }
  if (request.Target == TargetFile) {
    request.Memory.reset();
    if (result != HTTPGetOK && transfer.file) {
      transfer.file->Close();
      transfer.file.reset();
      os.files.Delete(request.FileName);
    }
  }
  return result;
}

}  // namespace updater
