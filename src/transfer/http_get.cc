// The HTTP GET client: one synchronous request over the platform's HTTP
// session, its body delivered into a file or into memory.
#include "transfer/http_get.h"

#include <algorithm>
#include <deque>
#include <limits>
#include <memory>
#include <new>
#include <optional>

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

// The time limits of every request. Without them a server that accepts the
// connection and never answers holds the run for ever.
constexpr int kConnectTimeoutMilliseconds = 30000;
constexpr int kResponseTimeoutMilliseconds = 30000;
constexpr int kReceiveTimeoutMilliseconds = 30000;
// The slowest body accepted: this many bytes in every window of this length,
// and after the first window this many bytes a second on average since the
// body began.
constexpr int64_t kLeastWindowBytes = 1024;
constexpr uint64_t kRateWindowMilliseconds = 30000;
constexpr uint64_t kLeastAverageBytesPerSecond = 1024;
// Resumed requests of one call after cuts.
constexpr int kMostResumes = 3;
// A body in memory keeps at most this much room beyond its bytes; more is
// given back at its end.
constexpr size_t kMostSpareRoom = kDefaultChunkSize;

// Watches the pace of a body from its start on. Two rules: every window of
// kRateWindowMilliseconds brings kLeastWindowBytes (a stall), and once the
// first window has passed, the body has brought kLeastAverageBytesPerSecond
// on average since it began (a drip that feeds each window just enough).
// For the window rule it keeps the arrival times of the reads that hold the
// latest kLeastWindowBytes bytes: the window that ends now is too slow when
// those bytes began to arrive before it.
class BodyRate {
 public:
  void Start(uint64_t now) {
    start_ = now;
    arrivals_.clear();
    held_ = 0;
    total_ = 0;
  }
  void Add(uint64_t now, uint32_t bytes) {
    if (bytes == 0) return;
    total_ += bytes;
    arrivals_.push_back({now, bytes});
    held_ += bytes;
    while (held_ - arrivals_.front().bytes >= kLeastWindowBytes) {
      held_ -= arrivals_.front().bytes;
      arrivals_.pop_front();
    }
  }
  // The first moment at which the window rule fails unless bytes arrive
  // before it.
  uint64_t WindowDeadline() const {
    return held_ < kLeastWindowBytes ? start_ + kRateWindowMilliseconds
                                     : arrivals_.front().at + kRateWindowMilliseconds;
  }
  // The same for the average rule: the average holds while the milliseconds
  // since the start are at most total * 1000 / 1024.
  uint64_t AverageDeadline() const {
    return start_ + std::max<uint64_t>(kRateWindowMilliseconds,
                                       total_ * 1000 / kLeastAverageBytesPerSecond + 1);
  }
  uint64_t Deadline() const { return std::min(WindowDeadline(), AverageDeadline()); }
  uint64_t Start() const { return start_; }
  int64_t Total() const { return total_; }

 private:
  struct Arrival {
    uint64_t at;
    uint32_t bytes;
  };
  uint64_t start_ = 0;
  std::deque<Arrival> arrivals_;  // at most kLeastWindowBytes of them
  int64_t held_ = 0;
  int64_t total_ = 0;  // bytes since the start
};

// What a resumed request can name in If-Range to get the rest of the same
// body: a strong ETag (a weak one must not be used there), else
// Last-Modified; empty when the answer gave neither.
std::string Validator(HttpRequest& handle) {
  std::optional<std::string> tag = handle.Header("ETag");
  if (tag && !tag->empty() && tag->rfind("W/", 0) != 0) return *tag;
  std::optional<std::string> modified = handle.Header("Last-Modified");
  return modified ? *modified : std::string();
}

// Reads a decimal number at `*at` of `text`, moving past it.
bool ReadNumber(const std::string& text, size_t* at, uint64_t* number) {
  size_t start = *at;
  *number = 0;
  while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9' && *at - start < 19)
    *number = *number * 10 + static_cast<uint64_t>(text[(*at)++] - '0');
  return *at > start;
}

// True when a Content-Range value is "bytes FIRST-LAST/TOTAL" with exactly
// the rest of a body of `total` bytes from `first` on.
bool IsRestOfBody(const std::string& value, uint64_t first, uint64_t total) {
  size_t at = value.find_first_not_of(' ');
  if (at == std::string::npos || value.compare(at, 6, "bytes ") != 0) return false;
  at = value.find_first_not_of(' ', at + 6);
  uint64_t from = 0, to = 0, of = 0;
  if (at == std::string::npos || !ReadNumber(value, &at, &from) || at >= value.size() ||
      value[at++] != '-' || !ReadNumber(value, &at, &to) || at >= value.size() ||
      value[at++] != '/' || !ReadNumber(value, &at, &of))
    return false;
  return value.find_first_not_of(' ', at) == std::string::npos && from == first &&
         to + 1 == total && of == total;
}

// What one call holds while it runs; everything still open is released on the
// way out, whichever way that is.
struct Transfer {
  Transfer(Platform& os, HTTPGetRequest& request) : os(os), request(request) {}

  Platform& os;
  HTTPGetRequest& request;
  Report* report = nullptr;  // where resumes are logged, if anywhere
  uint64_t startMilliseconds = 0;
  int64_t received = 0;
  int32_t contentLength = 0;
  std::unique_ptr<HttpSession> session;
  std::unique_ptr<HttpConnection> connection;
  std::unique_ptr<HttpRequest> handle;
  HttpRequestOptions requestOptions;
  std::string user, password;
  // TargetFile: the temporary file while it exists under its name.
  std::string temporaryName;
  std::unique_ptr<File> file;
  std::string validator;  // of the answer whose body is being read
  BodyRate rate;
  bool cut = false;  // the body failed because the transfer was cut off
  // When the request's total time runs out, on the platform clock; 0 when
  // it has no total limit.
  uint64_t deadline = 0;

  HTTPGetResult Run();
  // Sends the open request and answers one 401 with the URL's credentials;
  // the final status in `*status`.
  HTTPGetResult Send(uint32_t* status);
  // Takes the announced length of the answer; 0 when none was announced.
  HTTPGetResult TakeContentLength();
  HTTPGetResult ReadBody(int32_t chunkSize);
  // Asks for the rest of a cut body (attempt `attempt`) and reads it.
  HTTPGetResult Resume(int attempt, int32_t chunkSize);
  // Asks for the whole body again with a plain request on the open
  // connection; `why` is logged. The status of the answer in `*status`.
  HTTPGetResult RequestAgain(const std::string& why, uint32_t* status);
  // Tells the request that its next wait must end at `until` on the
  // platform clock (0: no such end). False when that moment has come.
  bool LimitWait(uint64_t until);
  // The failure of a body whose wait ran out at `now`: the pace rule or the
  // total limit that ran out first, with the backend's `cause` if any.
  HTTPGetResult SlowBody(uint64_t now, const std::string& cause);
  // The text of the total limit that ran out while waiting for `what`.
  std::string TotalLimitText(const std::string& what) const {
    return "the request's time limit of " +
           std::to_string(request.TotalTimeLimitMilliseconds / 1000) + " s ran out while " + what;
  }
  // Moves the complete temporary file onto the target.
  HTTPGetResult KeepFile();
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
  std::string host, path;
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
  sessionOptions.connectTimeoutMilliseconds = kConnectTimeoutMilliseconds;
  sessionOptions.responseTimeoutMilliseconds = kResponseTimeoutMilliseconds;
  sessionOptions.receiveTimeoutMilliseconds = kReceiveTimeoutMilliseconds;
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
  requestOptions.path = path;
  requestOptions.secure = secure;
  requestOptions.reload = (request.RequestFlags & kRequestReload) != 0;
  requestOptions.neverAskUser = (request.RequestFlags & kRequestNeverAskUser) != 0;
  handle = connection->OpenRequest(requestOptions);
  if (!handle) return InternetFailure(R::HTTPGetErrRequest);

  uint32_t status = 0;
  if (HTTPGetResult sent = Send(&status); sent != R::HTTPGetOK) return sent;
  if (status != 200) {
    request.StatusCode = static_cast<int32_t>(status);
    return R::HTTPGetErrStatus;
  }
  if (HTTPGetResult length = TakeContentLength(); length != R::HTTPGetOK) return length;

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
    file = os.files.Create(TemporaryDownloadName(request.FileName));
    if (!file) return FileFailure(R::HTTPGetErrCreateFile);
    temporaryName = TemporaryDownloadName(request.FileName);
  }
  if (request.OnConnected) request.OnConnected(request, handle.get());

  validator = Validator(*handle);
  HTTPGetResult result = ReadBody(chunkSize);
  // Only a body of known length can be completed from pieces, and only with
  // a validator that makes the server send pieces of the same body.
  for (int attempt = 1; result != R::HTTPGetOK && cut && file && received > 0 &&
                        contentLength > 0 && !validator.empty() && attempt <= kMostResumes;
       ++attempt)
    result = Resume(attempt, chunkSize);
  if (result != R::HTTPGetOK) return result;

  if (file) {
    if (HTTPGetResult kept = KeepFile(); kept != R::HTTPGetOK) return kept;
  }
  request.ReceivedBytes = static_cast<int32_t>(received);
  if (!CloseHandles()) return InternetFailure(R::HTTPGetErrClose);
  return R::HTTPGetOK;
}

bool Transfer::LimitWait(uint64_t until) {
  uint64_t left = 0;
  if (until != 0) {
    const uint64_t now = os.clock.Milliseconds();
    if (now >= until) return false;
    left = std::min<uint64_t>(until - now, std::numeric_limits<uint32_t>::max());
  }
  handle->SetDeadline(static_cast<uint32_t>(left));
  return true;
}

HTTPGetResult Transfer::Send(uint32_t* status) {
  const std::string waitingForHeaders = TotalLimitText("waiting for the response headers");
  for (bool resent = false;; resent = true) {
    if (!LimitWait(deadline)) return FailWith(R::HTTPGetErrSend, waitingForHeaders);
    if (!handle->Send()) {
      if (deadline != 0 && os.clock.Milliseconds() >= deadline)
        return FailWith(R::HTTPGetErrSend, waitingForHeaders + "; " + os.internet.LastError());
      return InternetFailure(R::HTTPGetErrSend);
    }
    // Headers that came after the time ran out came too late.
    if (deadline != 0 && os.clock.Milliseconds() >= deadline)
      return FailWith(R::HTTPGetErrSend, waitingForHeaders);
    if (!handle->Status(status)) return InternetFailure(R::HTTPGetErrQueryStatus);
    if (*status != 401 || resent) return R::HTTPGetOK;
    // One resend answers the challenge, with the URL's credentials if any.
    if (!user.empty() && !connection->SetCredential(HttpCredential::UserName, user))
      return InternetFailure(R::HTTPGetErrAuthOptions);
    if (!password.empty() && !connection->SetCredential(HttpCredential::Password, password))
      return InternetFailure(R::HTTPGetErrAuthOptions);
  }
}

HTTPGetResult Transfer::TakeContentLength() {
  uint64_t announced = 0;
  if (!handle->ContentLength(&announced)) announced = 0;
  // The byte counts are 32-bit: a larger body is refused before anything is
  // written.
  if (announced > static_cast<uint64_t>(kLargestBody))
    return FailWith(R::HTTPGetErrRead, "the announced body of " + std::to_string(announced) +
                                           " bytes is 2 GiB or more");
  contentLength = static_cast<int32_t>(announced);
  return R::HTTPGetOK;
}

HTTPGetResult Transfer::Resume(int attempt, int32_t chunkSize) {
  const std::string cutCause = request.FailureCause;
  const std::string from = std::to_string(received);
  if (report != nullptr) {
    report->Log("Resuming GET " + MaskURLPassword(request.URL) + " at byte " + from + " of " +
                std::to_string(contentLength) + " (attempt " + std::to_string(attempt) + " of " +
                std::to_string(kMostResumes) + ") after: " + cutCause);
  }
  // The cut's failure stands when the rest cannot be had.
  auto giveUp = [&](const std::string& why) {
    cut = false;
    return FailWith(R::HTTPGetErrRead, cutCause + "; the resumed request " + why);
  };
  handle->Close();  // the cut request is done with, whatever its close says
  handle.reset();
  HttpRequestOptions options = requestOptions;
  options.headers.push_back({"Range", "bytes=" + from + "-"});
  options.headers.push_back({"If-Range", validator});
  handle = connection->OpenRequest(options);
  if (!handle) return giveUp("could not be opened: " + os.internet.LastError());
  uint32_t status = 0;
  if (Send(&status) != R::HTTPGetOK) return giveUp("failed: " + request.FailureCause);

  // A 206 of another version of the body (the server ignored If-Range)
  // would splice two files: the whole body is asked for again instead.
  if (status == 206 && Validator(*handle) != validator) {
    const std::string answered = Validator(*handle);
    if (HTTPGetResult again = RequestAgain("the resumed request was answered with 206 of "
                                           "another version (validator \"" +
                                               answered + "\", was \"" + validator + "\")",
                                           &status);
        again != R::HTTPGetOK)
      return giveUp("was answered with 206 of another version, and the plain request failed: " +
                    request.FailureCause);
    if (status != 200)
      return giveUp("was answered with 206 of another version, and the plain request with status " +
                    std::to_string(status));
  }
  if (status == 206) {
    std::string range = handle->Header("Content-Range").value_or("");
    if (!IsRestOfBody(range, static_cast<uint64_t>(received), static_cast<uint64_t>(contentLength)))
      return giveUp("was answered with Content-Range \"" + range + "\"");
    uint64_t length = 0;
    if (handle->ContentLength(&length) && length != static_cast<uint64_t>(contentLength - received))
      return giveUp("announced " + std::to_string(length) + " bytes");
  } else if (status == 200) {
    // The server sends the whole body again (it ignored the range, or the
    // body changed): start the file over.
    if (HTTPGetResult length = TakeContentLength(); length != R::HTTPGetOK) return length;
    file.reset();
    file = os.files.Create(temporaryName);
    if (!file) return FileFailure(R::HTTPGetErrCreateFile);
    received = 0;
    validator = Validator(*handle);
  } else {
    return giveUp("was answered with status " + std::to_string(status));
  }
  return ReadBody(chunkSize);
}

HTTPGetResult Transfer::RequestAgain(const std::string& why, uint32_t* status) {
  if (report != nullptr)
    report->Log("Starting GET " + MaskURLPassword(request.URL) + " over: " + why);
  handle->Close();
  handle.reset();
  handle = connection->OpenRequest(requestOptions);
  if (!handle) return InternetFailure(R::HTTPGetErrRequest);
  return Send(status);
}

HTTPGetResult Transfer::SlowBody(uint64_t now, const std::string& cause) {
  const std::string received = std::to_string(this->received) + " bytes received";
  // The rule or limit that ran out first; the window's, the average's, then
  // the total's when they ran out together.
  const uint64_t window = rate.WindowDeadline(), average = rate.AverageDeadline();
  std::string text;
  if (deadline != 0 && deadline <= now && deadline < std::min(window, average)) {
    text = TotalLimitText("reading the body (" + received + ")");
  } else if (window <= average) {
    text = "fewer than " + std::to_string(kLeastWindowBytes) + " bytes in " +
           std::to_string(kRateWindowMilliseconds / 1000) + " s (" + received + ")";
  } else {
    text = "fewer than " + std::to_string(kLeastAverageBytesPerSecond) +
           " bytes a second on average after the first " +
           std::to_string(kRateWindowMilliseconds / 1000) + " s (" + std::to_string(rate.Total()) +
           " bytes in " + std::to_string((now - rate.Start()) / 1000) + " s; " + received + ")";
  }
  return FailWith(R::HTTPGetErrRead, cause.empty() ? text : text + "; " + cause);
}

HTTPGetResult Transfer::KeepFile() {
  if (!file->Flush()) return FileFailure(R::HTTPGetErrWrite);
  if (file->Size() != received)
    return FailWith(R::HTTPGetErrWrite, "the file does not hold the bytes received");
  // A close that reports a delayed write error fails the download too.
  if (!file->Close()) return FileFailure(R::HTTPGetErrWrite);
  file.reset();
  if (!os.files.Replace(temporaryName, request.FileName))
    return FileFailure(R::HTTPGetErrCreateFile);
  temporaryName.clear();
  return R::HTTPGetOK;
}

HTTPGetResult Transfer::ReadBody(int32_t chunkSize) {
  std::vector<uint8_t>& buffer = *request.Memory;
  cut = false;
  rate.Start(os.clock.Milliseconds());
  for (;;) {
    // The next bytes must come before the body is too slow, and before the
    // request's time runs out.
    uint64_t until = rate.Deadline();
    if (deadline != 0) until = std::min(until, deadline);
    if (!LimitWait(until)) return SlowBody(os.clock.Milliseconds(), std::string());
    uint8_t* into = file ? buffer.data() : buffer.data() + received;
    uint32_t got = 0;
    if (!handle->Read(into, static_cast<uint32_t>(chunkSize), &got)) {
      const uint64_t now = os.clock.Milliseconds();
      // A wait that ran out is no cut: a slow server is not asked again.
      if (now >= until) return SlowBody(now, os.internet.LastError());
      cut = true;
      return InternetFailure(R::HTTPGetErrRead);
    }
    if (got > uint32_t(chunkSize))
      return FailWith(R::HTTPGetErrRead, "a read returned more than it was asked for");
    if (received + got > kLargestBody) return FailWith(R::HTTPGetErrRead, "the body reached 2 GiB");
    if (file) {
      if (got > 0 && !file->Write(into, got)) return FileFailure(R::HTTPGetErrWrite);
      if (file->Size() != received + got)
        return FailWith(R::HTTPGetErrWrite, "the file does not hold the bytes received");
    }
    received += got;
    // The bytes of this read came at its end: a wait that ran out before
    // they came counts only the bytes before them.
    const uint64_t now = os.clock.Milliseconds();
    if (now >= until) return SlowBody(now, std::string());
    rate.Add(now, got);
    if (got > 0 && request.OnProgress &&
        request.OnProgress(request, static_cast<int32_t>(received), contentLength, Seconds()) == 0)
      return FailWith(R::HTTPGetErrAborted, "stopped by the progress hook");
    if (got == 0) break;
    if (!file) {
      try {
        // Room for the next read. The room grows by doubling, but not past
        // what the announced length needs: a body that keeps to its length
        // is held once, without spare room to give back.
        const size_t needed = static_cast<size_t>(received) + static_cast<size_t>(chunkSize);
        if (needed > buffer.capacity()) {
          size_t room = std::max(needed, buffer.capacity() * 2);
          const size_t announced =
              static_cast<size_t>(contentLength) + static_cast<size_t>(chunkSize);
          if (contentLength > 0 && needed <= announced) room = std::min(room, announced);
          buffer.reserve(room);
        }
        buffer.resize(needed);
      } catch (const std::bad_alloc&) {
        request.Memory.reset();
        return FailWith(R::HTTPGetErrMemory,
                        "no memory for " + std::to_string(received) + " bytes of body");
      }
    }
  }
  // A body that ends before its announced length was cut off.
  if (contentLength > 0 && received != contentLength) {
    cut = received < contentLength;
    return FailWith(R::HTTPGetErrRead, "the body ended after " + std::to_string(received) + " of " +
                                           std::to_string(contentLength) + " bytes");
  }
  if (!file) {
    if (received == 0) {
      request.Memory.reset();
    } else {
      buffer.resize(static_cast<size_t>(received));
      // Giving room back copies the body: only for much room.
      if (buffer.capacity() - buffer.size() > kMostSpareRoom) buffer.shrink_to_fit();
    }
  }
  return R::HTTPGetOK;
}

// One whole call; `*bodyBytes` gets the body bytes that arrived, also when
// the call failed.
HTTPGetResult Perform(Platform& os, HTTPGetRequest& request, int64_t* bodyBytes, Report* report) {
  Transfer transfer(os, request);
  transfer.report = report;
  request.ReceivedBytes = 0;
  request.StatusCode = 0;
  request.FailureCause.clear();
  transfer.startMilliseconds = os.clock.Milliseconds();
  if (request.TotalTimeLimitMilliseconds > 0)
    transfer.deadline =
        transfer.startMilliseconds + static_cast<uint64_t>(request.TotalTimeLimitMilliseconds);

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
    // The target is replaced only by a complete file; a partial one goes.
    if (result != R::HTTPGetOK && !transfer.temporaryName.empty()) {
      if (transfer.file) transfer.file->Close();
      transfer.file.reset();
      os.files.Delete(transfer.temporaryName);
    }
  }
  *bodyBytes = transfer.received;
  return result;
}

}  // namespace

HTTPGetResult HTTPGetFromWeb(Platform& os, HTTPGetRequest& request) {
  int64_t bodyBytes = 0;
  return Perform(os, request, &bodyBytes, nullptr);
}

std::string TemporaryDownloadName(const std::string& fileName) { return fileName + ".part"; }

HTTPGetResult HTTPGetFromWeb(Platform& os, HTTPGetRequest& request, Report& report) {
  const uint64_t start = os.clock.Milliseconds();
  int64_t bodyBytes = 0;
  HTTPGetResult result = Perform(os, request, &bodyBytes, &report);
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
