// The HTTP GET client: one synchronous request over the platform's HTTP
// session, its body delivered into a file or into memory.
#include "transfer/http_get.h"

#include <algorithm>
#include <deque>
#include <limits>
#include <memory>
#include <new>
#include <optional>

#include "system/update_folder.h"
#include "transfer/http_error_text.h"
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
    while (held_ - arrivals_.front().Bytes >= kLeastWindowBytes) {
      held_ -= arrivals_.front().Bytes;
      arrivals_.pop_front();
    }
  }
  // The first moment at which the window rule fails unless bytes arrive
  // before it.
  uint64_t WindowDeadline() const {
    return held_ < kLeastWindowBytes ? start_ + kRateWindowMilliseconds
                                     : arrivals_.front().At + kRateWindowMilliseconds;
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
    uint64_t At;
    uint32_t Bytes;
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
  Transfer(Platform& os, HTTPGetRequest& request) : Os(os), Request(request) {}

  Platform& Os;
  HTTPGetRequest& Request;
  updater::Report* Report = nullptr;  // where resumes are logged, if anywhere
  uint64_t StartMilliseconds = 0;
  int64_t Received = 0;
  int32_t ContentLength = 0;
  std::unique_ptr<HttpSession> Session;
  std::unique_ptr<HttpConnection> Connection;
  std::unique_ptr<HttpRequest> Handle;
  HttpRequestOptions RequestOptions;
  std::string User, Password;
  // HTTPGetTarget::File: the temporary file while it exists under its name.
  std::string TemporaryName;
  std::unique_ptr<updater::File> File;
  std::string FileCause;      // why the latest failed call of the file system failed
  std::string BodyValidator;  // of the answer whose body is being read
  BodyRate Rate;
  bool Cut = false;  // the body failed because the transfer was cut off
  // When the request's total time runs out, on the platform clock; 0 when
  // it has no total limit.
  uint64_t Deadline = 0;

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
           std::to_string(Request.TotalTimeLimitMilliseconds / 1000) + " s ran out while " + what;
  }
  // Moves the complete temporary file onto the target.
  HTTPGetResult KeepFile();
  // Takes the cause of the failure `result` from where it was recorded: the
  // HTTP client, the file system, or the client's own rules.
  HTTPGetResult FailWith(HTTPGetResult result, std::string cause) {
    Request.FailureCause = std::move(cause);
    return result;
  }
  HTTPGetResult InternetFailure(HTTPGetResult result) {
    return FailWith(result, Os.Internet.LastError());
  }
  HTTPGetResult FileFailure(HTTPGetResult result) { return FailWith(result, FileCause); }
  // Closes the request, the connection and the session that are open, in that
  // order; false when any close was refused. Every handle is closed even then.
  bool CloseHandles();
  int32_t Seconds() const {
    return static_cast<int32_t>((Os.Clock.Milliseconds() - StartMilliseconds) / 1000);
  }
};

bool Transfer::CloseHandles() {
  bool closed = true;
  if (Handle) closed = Handle->Close() && closed;
  if (Connection) closed = Connection->Close() && closed;
  if (Session) closed = Session->Close() && closed;
  Handle.reset();
  Connection.reset();
  Session.reset();
  return closed;
}

HTTPGetResult Transfer::Run() {
  std::string host, path;
  if (GetURLHost(Request.URL, &host) != R::Ok)
    return FailWith(R::ErrArgument, "no host in the URL");
  if (GetURLPath(Request.URL, &path) != R::Ok)
    return FailWith(R::ErrArgument, "no path in the URL");
  GetURLCredentials(Request.URL, &User, &Password);  // no credentials is no error

  if (Request.Target == HTTPGetTarget::File) {
    if (Request.FileName.empty()) return FailWith(R::ErrArgument, "no target file name");
  } else if (Request.Target == HTTPGetTarget::Memory) {
    Request.Memory.reset();
  } else {
    return FailWith(R::ErrArgument,
                    "unknown target " + std::to_string(static_cast<int32_t>(Request.Target)));
  }
  if (Request.AccessType == kAccessProxy && Request.ProxyName.empty())
    return FailWith(R::ErrArgument, "a proxy without a name");

  // Defaults, written back so that the record shows what was used.
  if (Request.BufferSize < 0) Request.BufferSize = 0;
  if (Request.AccessType == 0) Request.AccessType = kAccessDirect;
  if (Request.Agent.empty()) Request.Agent = kDefaultAgent;
  if (Request.RequestFlags == 0) Request.RequestFlags = kDefaultRequestFlags;
  // A port written in the URL cannot be part of the name that is resolved; it
  // is the port to use unless the record names one.
  bool secure = IsSecureURL(Request.URL);
  HostAndPort server = SplitHostPort(host);
  if (Request.Port == 0) {
    Request.Port = server.Port != 0 ? server.Port : secure ? kHttpsPort : kHttpPort;
  }

  if (Request.AccessType != kAccessDirect && Request.AccessType != kAccessProxy)
    return FailWith(R::ErrOpen, "unknown access type " + std::to_string(Request.AccessType));
  HttpSessionOptions sessionOptions;
  sessionOptions.Agent = Request.Agent;
  sessionOptions.Access =
      Request.AccessType == kAccessProxy ? HttpAccess::Proxy : HttpAccess::Direct;
  sessionOptions.ProxyName = Request.ProxyName;
  sessionOptions.ConnectTimeoutMilliseconds = kConnectTimeoutMilliseconds;
  sessionOptions.ResponseTimeoutMilliseconds = kResponseTimeoutMilliseconds;
  sessionOptions.ReceiveTimeoutMilliseconds = kReceiveTimeoutMilliseconds;
  Session = Os.Internet.Open(sessionOptions);
  if (!Session) return InternetFailure(R::ErrOpen);
  Connection = Session->Connect(server.Name, Request.Port);
  if (!Connection) return InternetFailure(R::ErrConnect);
  if (Request.AccessType == kAccessProxy) {
    if (!Request.ProxyUser.empty() &&
        !Connection->SetCredential(HttpCredential::ProxyUserName, Request.ProxyUser))
      return InternetFailure(R::ErrProxyOptions);
    if (!Request.ProxyPassword.empty() &&
        !Connection->SetCredential(HttpCredential::ProxyPassword, Request.ProxyPassword))
      return InternetFailure(R::ErrProxyOptions);
  }
  RequestOptions.Path = path;
  RequestOptions.Secure = secure;
  RequestOptions.Reload = (Request.RequestFlags & kRequestReload) != 0;
  RequestOptions.NeverAskUser = (Request.RequestFlags & kRequestNeverAskUser) != 0;
  Handle = Connection->OpenRequest(RequestOptions);
  if (!Handle) return InternetFailure(R::ErrRequest);

  uint32_t status = 0;
  if (HTTPGetResult sent = Send(&status); sent != R::Ok) return sent;
  if (status != 200) {
    Request.StatusCode = static_cast<int32_t>(status);
    return R::ErrStatus;
  }
  if (HTTPGetResult length = TakeContentLength(); length != R::Ok) return length;

  int32_t chunkSize = Request.BufferSize;
  if (chunkSize == 0) {
    chunkSize = ContentLength >= 1 && ContentLength <= kLargestWholeRead ? ContentLength
                                                                         : kDefaultChunkSize;
  }
  try {
    Request.Memory.emplace(static_cast<size_t>(chunkSize));
  } catch (const std::bad_alloc&) {
    Request.Memory.reset();
    return FailWith(R::ErrMemory, "no memory for a read buffer");
  }
  if (Request.Target == HTTPGetTarget::File) {
    File = Os.Files.Create(PartPath(Request.FileName), &FileCause);
    if (!File) return FileFailure(R::ErrCreateFile);
    TemporaryName = PartPath(Request.FileName);
  }
  if (Request.OnConnected) Request.OnConnected(Request, Handle.get());

  BodyValidator = Validator(*Handle);
  HTTPGetResult result = ReadBody(chunkSize);
  // Only a body of known length can be completed from pieces, and only with
  // a validator that makes the server send pieces of the same body.
  for (int attempt = 1; result != R::Ok && Cut && File && Received > 0 && ContentLength > 0 &&
                        !BodyValidator.empty() && attempt <= kMostResumes;
       ++attempt)
    result = Resume(attempt, chunkSize);
  if (result != R::Ok) return result;

  if (File) {
    if (HTTPGetResult kept = KeepFile(); kept != R::Ok) return kept;
  }
  Request.ReceivedBytes = static_cast<int32_t>(Received);
  if (!CloseHandles()) return InternetFailure(R::ErrClose);
  return R::Ok;
}

bool Transfer::LimitWait(uint64_t until) {
  uint64_t left = 0;
  if (until != 0) {
    const uint64_t now = Os.Clock.Milliseconds();
    if (now >= until) return false;
    left = std::min<uint64_t>(until - now, std::numeric_limits<uint32_t>::max());
  }
  Handle->SetDeadline(static_cast<uint32_t>(left));
  return true;
}

HTTPGetResult Transfer::Send(uint32_t* status) {
  const std::string waitingForHeaders = TotalLimitText("waiting for the response headers");
  for (bool resent = false;; resent = true) {
    if (!LimitWait(Deadline)) return FailWith(R::ErrSend, waitingForHeaders);
    if (!Handle->Send()) {
      if (Deadline != 0 && Os.Clock.Milliseconds() >= Deadline)
        return FailWith(R::ErrSend, waitingForHeaders + "; " + Os.Internet.LastError());
      return InternetFailure(R::ErrSend);
    }
    // Headers that came after the time ran out came too late.
    if (Deadline != 0 && Os.Clock.Milliseconds() >= Deadline)
      return FailWith(R::ErrSend, waitingForHeaders);
    if (!Handle->Status(status)) return InternetFailure(R::ErrQueryStatus);
    if (*status != 401 || resent) return R::Ok;
    // One resend answers the challenge, with the URL's credentials if any.
    if (!User.empty() && !Connection->SetCredential(HttpCredential::UserName, User))
      return InternetFailure(R::ErrAuthOptions);
    if (!Password.empty() && !Connection->SetCredential(HttpCredential::Password, Password))
      return InternetFailure(R::ErrAuthOptions);
  }
}

HTTPGetResult Transfer::TakeContentLength() {
  uint64_t announced = 0;
  if (!Handle->ContentLength(&announced)) announced = 0;
  // The byte counts are 32-bit: a larger body is refused before anything is
  // written.
  if (announced > static_cast<uint64_t>(kLargestBody))
    return FailWith(R::ErrRead, "the announced body of " + std::to_string(announced) +
                                    " bytes is 2 GiB or more");
  ContentLength = static_cast<int32_t>(announced);
  return R::Ok;
}

HTTPGetResult Transfer::Resume(int attempt, int32_t chunkSize) {
  const std::string cutCause = Request.FailureCause;
  const std::string from = std::to_string(Received);
  if (Report != nullptr) {
    Report->Log("Resuming GET " + MaskURLPassword(Request.URL) + " at byte " + from + " of " +
                std::to_string(ContentLength) + " (attempt " + std::to_string(attempt) + " of " +
                std::to_string(kMostResumes) + ") after: " + cutCause);
  }
  // The cut's failure stands when the rest cannot be had.
  auto giveUp = [&](const std::string& why) {
    Cut = false;
    return FailWith(R::ErrRead, cutCause + "; the resumed request " + why);
  };
  Handle->Close();  // the cut request is done with, whatever its close says
  Handle.reset();
  HttpRequestOptions options = RequestOptions;
  options.Headers.push_back({"Range", "bytes=" + from + "-"});
  options.Headers.push_back({"If-Range", BodyValidator});
  Handle = Connection->OpenRequest(options);
  if (!Handle) return giveUp("could not be opened: " + Os.Internet.LastError());
  uint32_t status = 0;
  if (Send(&status) != R::Ok) return giveUp("failed: " + Request.FailureCause);

  // A 206 of another version of the body (the server ignored If-Range)
  // would splice two files: the whole body is asked for again instead.
  if (status == 206 && Validator(*Handle) != BodyValidator) {
    const std::string answered = Validator(*Handle);
    if (HTTPGetResult again = RequestAgain("the resumed request was answered with 206 of "
                                           "another version (validator \"" +
                                               answered + "\", was \"" + BodyValidator + "\")",
                                           &status);
        again != R::Ok)
      return giveUp("was answered with 206 of another version, and the plain request failed: " +
                    Request.FailureCause);
    if (status != 200)
      return giveUp("was answered with 206 of another version, and the plain request with status " +
                    std::to_string(status));
  }
  if (status == 206) {
    std::string range = Handle->Header("Content-Range").value_or("");
    if (!IsRestOfBody(range, static_cast<uint64_t>(Received), static_cast<uint64_t>(ContentLength)))
      return giveUp("was answered with Content-Range \"" + range + "\"");
    uint64_t length = 0;
    if (Handle->ContentLength(&length) && length != static_cast<uint64_t>(ContentLength - Received))
      return giveUp("announced " + std::to_string(length) + " bytes");
  } else if (status == 200) {
    // The server sends the whole body again (it ignored the range, or the
    // body changed): start the file over.
    if (HTTPGetResult length = TakeContentLength(); length != R::Ok) return length;
    File.reset();
    File = Os.Files.Create(TemporaryName, &FileCause);
    if (!File) return FileFailure(R::ErrCreateFile);
    Received = 0;
    BodyValidator = Validator(*Handle);
  } else {
    return giveUp("was answered with status " + std::to_string(status));
  }
  return ReadBody(chunkSize);
}

HTTPGetResult Transfer::RequestAgain(const std::string& why, uint32_t* status) {
  if (Report != nullptr)
    Report->Log("Starting GET " + MaskURLPassword(Request.URL) + " over: " + why);
  Handle->Close();
  Handle.reset();
  Handle = Connection->OpenRequest(RequestOptions);
  if (!Handle) return InternetFailure(R::ErrRequest);
  return Send(status);
}

HTTPGetResult Transfer::SlowBody(uint64_t now, const std::string& cause) {
  const std::string received = std::to_string(this->Received) + " bytes received";
  // The rule or limit that ran out first; the window's, the average's, then
  // the total's when they ran out together.
  const uint64_t window = Rate.WindowDeadline(), average = Rate.AverageDeadline();
  std::string text;
  if (Deadline != 0 && Deadline <= now && Deadline < std::min(window, average)) {
    text = TotalLimitText("reading the body (" + received + ")");
  } else if (window <= average) {
    text = "fewer than " + std::to_string(kLeastWindowBytes) + " bytes in " +
           std::to_string(kRateWindowMilliseconds / 1000) + " s (" + received + ")";
  } else {
    text = "fewer than " + std::to_string(kLeastAverageBytesPerSecond) +
           " bytes a second on average after the first " +
           std::to_string(kRateWindowMilliseconds / 1000) + " s (" + std::to_string(Rate.Total()) +
           " bytes in " + std::to_string((now - Rate.Start()) / 1000) + " s; " + received + ")";
  }
  return FailWith(R::ErrRead, cause.empty() ? text : text + "; " + cause);
}

HTTPGetResult Transfer::KeepFile() {
  if (!File->Flush(&FileCause)) return FileFailure(R::ErrWrite);
  if (File->Size(&FileCause) != Received)
    return FailWith(R::ErrWrite, "the file does not hold the bytes received");
  // A close that reports a delayed write error fails the download too.
  if (!File->Close(&FileCause)) return FileFailure(R::ErrWrite);
  File.reset();
  if (!Os.Files.Replace(TemporaryName, Request.FileName, &FileCause))
    return FileFailure(R::ErrCreateFile);
  TemporaryName.clear();
  return R::Ok;
}

HTTPGetResult Transfer::ReadBody(int32_t chunkSize) {
  std::vector<uint8_t>& buffer = *Request.Memory;
  Cut = false;
  Rate.Start(Os.Clock.Milliseconds());
  for (;;) {
    // The next bytes must come before the body is too slow, and before the
    // request's time runs out.
    uint64_t until = Rate.Deadline();
    if (Deadline != 0) until = std::min(until, Deadline);
    if (!LimitWait(until)) return SlowBody(Os.Clock.Milliseconds(), std::string());
    uint8_t* into = File ? buffer.data() : buffer.data() + Received;
    uint32_t got = 0;
    if (!Handle->Read(into, static_cast<uint32_t>(chunkSize), &got)) {
      const uint64_t now = Os.Clock.Milliseconds();
      // A wait that ran out is no cut: a slow server is not asked again.
      if (now >= until) return SlowBody(now, Os.Internet.LastError());
      Cut = true;
      return InternetFailure(R::ErrRead);
    }
    if (got > uint32_t(chunkSize))
      return FailWith(R::ErrRead, "a read returned more than it was asked for");
    if (Received + got > kLargestBody) return FailWith(R::ErrRead, "the body reached 2 GiB");
    if (File) {
      if (got > 0 && !File->Write(into, got, &FileCause)) return FileFailure(R::ErrWrite);
      if (File->Size(&FileCause) != Received + got)
        return FailWith(R::ErrWrite, "the file does not hold the bytes received");
    }
    Received += got;
    // The bytes of this read came at its end: a wait that ran out before
    // they came counts only the bytes before them.
    const uint64_t now = Os.Clock.Milliseconds();
    if (now >= until) return SlowBody(now, std::string());
    Rate.Add(now, got);
    if (got > 0 && Request.OnProgress &&
        Request.OnProgress(Request, static_cast<int32_t>(Received), ContentLength, Seconds()) == 0)
      return FailWith(R::ErrAborted, "stopped by the progress hook");
    if (got == 0) break;
    if (!File) {
      try {
        // Room for the next read. The room grows by doubling, but not past
        // what the announced length needs: a body that keeps to its length
        // is held once, without spare room to give back.
        const size_t needed = static_cast<size_t>(Received) + static_cast<size_t>(chunkSize);
        if (needed > buffer.capacity()) {
          size_t room = std::max(needed, buffer.capacity() * 2);
          const size_t announced =
              static_cast<size_t>(ContentLength) + static_cast<size_t>(chunkSize);
          if (ContentLength > 0 && needed <= announced) room = std::min(room, announced);
          buffer.reserve(room);
        }
        buffer.resize(needed);
      } catch (const std::bad_alloc&) {
        Request.Memory.reset();
        return FailWith(R::ErrMemory,
                        "no memory for " + std::to_string(Received) + " bytes of body");
      }
    }
  }
  // A body that ends before its announced length was cut off.
  if (ContentLength > 0 && Received != ContentLength) {
    Cut = Received < ContentLength;
    return FailWith(R::ErrRead, "the body ended after " + std::to_string(Received) + " of " +
                                    std::to_string(ContentLength) + " bytes");
  }
  if (!File) {
    if (Received == 0) {
      Request.Memory.reset();
    } else {
      buffer.resize(static_cast<size_t>(Received));
      // Giving room back copies the body: only for much room.
      if (buffer.capacity() - buffer.size() > kMostSpareRoom) buffer.shrink_to_fit();
    }
  }
  return R::Ok;
}

// One whole call; `*bodyBytes` gets the body bytes that arrived, also when
// the call failed.
HTTPGetResult Perform(Platform& os, HTTPGetRequest& request, int64_t* bodyBytes, Report* report) {
  Transfer transfer(os, request);
  transfer.Report = report;
  request.ReceivedBytes = 0;
  request.StatusCode = 0;
  request.FailureCause.clear();
  transfer.StartMilliseconds = os.Clock.Milliseconds();
  if (request.TotalTimeLimitMilliseconds > 0)
    transfer.Deadline =
        transfer.StartMilliseconds + static_cast<uint64_t>(request.TotalTimeLimitMilliseconds);

  HTTPGetResult result = transfer.Run();
  // On a failure the handles are still open; closing them cannot change the
  // failure's result.
  transfer.CloseHandles();

  if (request.OnFinished) {
    request.OnFinished(request, result, static_cast<int32_t>(transfer.Received),
                       transfer.ContentLength, transfer.Seconds());
  }
  if (request.Target == HTTPGetTarget::File) {
    request.Memory.reset();
    // The target is replaced only by a complete file; a partial one goes.
    if (result != R::Ok && !transfer.TemporaryName.empty()) {
      // The download has failed already; a part file that stays is removed
      // at the next run's start.
      if (transfer.File) static_cast<void>(transfer.File->Close(nullptr));
      transfer.File.reset();
      static_cast<void>(os.Files.Delete(transfer.TemporaryName, nullptr));
    }
  }
  *bodyBytes = transfer.Received;
  return result;
}

}  // namespace

HTTPGetResult HTTPGetFromWeb(Platform& os, HTTPGetRequest& request) {
  int64_t bodyBytes = 0;
  return Perform(os, request, &bodyBytes, nullptr);
}

HTTPGetResult HTTPGetFromWeb(Platform& os, HTTPGetRequest& request, Report& report) {
  const uint64_t start = os.Clock.Milliseconds();
  int64_t bodyBytes = 0;
  HTTPGetResult result = Perform(os, request, &bodyBytes, &report);
  std::string record = "GET " + MaskURLPassword(request.URL);
  if (request.StatusCode != 0)
    record += " status " + std::to_string(request.StatusCode);
  else if (result == R::Ok || result == R::ErrClose)
    record += " status 200";
  record += ", " + std::to_string(bodyBytes) + " bytes, " +
            std::to_string(os.Clock.Milliseconds() - start) + " ms";
  // The caller reports a failure with its cause.
  if (result != R::Ok) record += ", failed: " + HTTPGetErrorText(result, request);
  report.Log(record);
  return result;
}

}  // namespace updater
