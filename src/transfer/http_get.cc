// The HTTP GET client: one synchronous request over the platform's HTTP
// session, its body delivered into a file or into memory.
#include "transfer/http_get.h"

#include <algorithm>
#include <deque>
#include <limits>
#include <memory>
#include <new>
#include <optional>

#include "system/small_files.h"
#include "system/update_folder.h"
#include "transfer/http_error_text.h"
#include "transfer/url_split.h"

namespace updater {

namespace {

constexpr int64_t kLargestWholeRead = 10485760;  // a body up to this size is read in one go
constexpr int64_t kDefaultChunkSize = 65536;
constexpr char kDefaultAgent[] = "Lanternix for Windows (HTTPGetFromWeb)";

using R = HTTPGetResult;
constexpr int kHttpPort = 80;
constexpr int kHttpsPort = 443;

// Resumed or restarted requests of one call after cuts.
constexpr int kMostResumes = 3;
// The wait before the first of them; each later one waits twice as long.
constexpr int kFirstResumeWaitMilliseconds = 1000;
// A body in memory keeps at most this much room beyond its bytes; more is
// given back at its end.
constexpr size_t kMostSpareRoom = kDefaultChunkSize;

// Watches the pace of a body from its start on. Two rules: every window of
// the rate window's length brings kLeastWindowBytes (a stall), and once the
// first window has passed, the body has brought kLeastAverageBytesPerSecond
// on average since it began (a drip that feeds each window just enough).
// For the window rule it keeps the arrival times of the reads that hold the
// latest kLeastWindowBytes bytes: the window that ends now is too slow when
// those bytes began to arrive before it.
class BodyRate {
 public:
  // Starts the watch at `now` with windows of `window` milliseconds.
  void Start(uint64_t now, uint64_t window) {
    start_ = now;
    window_ = window;
    arrivals_.clear();
    held_ = 0;
    total_ = 0;
  }
  void Add(uint64_t now, int64_t bytes) {
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
    return held_ < kLeastWindowBytes ? start_ + window_ : arrivals_.front().At + window_;
  }
  // The same for the average rule: the average holds while the milliseconds
  // since the start are at most total * 1000 / 1024.
  uint64_t AverageDeadline() const {
    return start_ +
           std::max<uint64_t>(
               window_, static_cast<uint64_t>(total_) * 1000 / kLeastAverageBytesPerSecond + 1);
  }
  uint64_t Deadline() const { return std::min(WindowDeadline(), AverageDeadline()); }
  uint64_t Start() const { return start_; }
  uint64_t Window() const { return window_; }
  int64_t Total() const { return total_; }

 private:
  struct Arrival {
    uint64_t At;
    int64_t Bytes;
  };
  uint64_t start_ = 0;
  uint64_t window_ = 0;
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

// "30 s" for whole seconds, else "1500 ms".
std::string DurationText(int64_t milliseconds) {
  if (milliseconds % 1000 == 0) return std::to_string(milliseconds / 1000) + " s";
  return std::to_string(milliseconds) + " ms";
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

// What a kept part file is the start of (kPartSourceSuffix).
struct PartSource {
  std::string URL;
  int64_t Length = 0;     // the body's announced length
  std::string Validator;  // as If-Range names it
  int64_t Size = 0;       // the bytes the part holds
};

std::string PartSourceText(const PartSource& source) {
  return source.URL + "\n" + std::to_string(source.Length) + "\n" + source.Validator + "\n";
}

// Reads the source of the part at `partPath` and removes it, so that it is
// never taken twice: a part cut again gets a new one. False when there is
// none, it cannot be read, or the part is not a start of that body.
bool TakePartSource(FileSystem& files, const std::string& partPath, PartSource* source) {
  const std::string path = partPath + kPartSourceSuffix;
  std::string text, cause;
  // A source that cannot be read or removed only costs the part: the
  // download starts over.
  const SmallFileRead read = ReadSmallFile(files, path, 16384, &text, &cause);
  if (read == SmallFileRead::Missing) return false;
  if (!files.Delete(path, &cause)) return false;
  if (read != SmallFileRead::Done) return false;
  const size_t first = text.find('\n'), second = text.find('\n', first + 1);
  if (first == std::string::npos || second == std::string::npos || text.back() != '\n')
    return false;
  source->URL = text.substr(0, first);
  const std::string length = text.substr(first + 1, second - first - 1);
  source->Validator = text.substr(second + 1, text.size() - second - 2);
  if (length.empty() || length.size() > 18 ||
      length.find_first_not_of("0123456789") != std::string::npos || source->Validator.empty())
    return false;
  source->Length = std::stoll(length);
  std::unique_ptr<File> part = files.OpenRead(partPath, false, &cause);
  source->Size = part ? part->Size(&cause) : -1;
  return source->Size > 0 && source->Size < source->Length;
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
  int64_t ContentLength = 0;
  std::unique_ptr<HttpSession> Session;
  std::unique_ptr<HttpConnection> Connection;
  std::unique_ptr<HttpRequest> Handle;
  HttpRequestOptions RequestOptions;
  std::string User, Password;
  // HTTPGetTarget::File: the temporary file while it exists under its name.
  std::string TemporaryName;
  // The part a cut call kept, and whether this call goes on from it.
  PartSource Kept;
  bool TookPart = false;  // Kept was read (and its source file removed)
  bool FromKeptPart = false;
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
  // Takes the announced length of the answer (0 when none was announced);
  // a length over the body limit fails.
  HTTPGetResult TakeContentLength();
  HTTPGetResult ReadBody(int64_t chunkSize);
  // Waits before attempt `attempt` after a cut, 1, 2, then 4 s, so that a
  // passing fault (a dropped link, a server restarting) can pass; never past
  // the request's total limit.
  void WaitBeforeAttempt(int attempt) {
    uint64_t wait = uint64_t{kFirstResumeWaitMilliseconds} << (attempt - 1);
    if (Deadline != 0) {
      const uint64_t now = Os.Clock.Milliseconds();
      wait = now >= Deadline ? 0 : std::min(wait, Deadline - now);
    }
    if (wait > 0) Os.Clock.Sleep(static_cast<int>(wait));
  }
  // Asks for the rest of a cut body (attempt `attempt`) and reads it.
  HTTPGetResult Resume(int attempt, int64_t chunkSize);
  // Asks for a cut body again whole, with a plain request (attempt
  // `attempt`), when the rest cannot be asked for, and reads it into the
  // file started over.
  HTTPGetResult Restart(int attempt, int64_t chunkSize);
  // Empties the temporary file for a body that starts over.
  HTTPGetResult StartFileOver();
  // Records beside the temporary file which body it holds the start of
  // (KeepCutFile), before the first byte of that body is written, and
  // removes the record when that body cannot be asked for again (no length
  // or no validator). A process killed in the middle of the body thus leaves
  // the part with its source for the next run to resume.
  void RecordPartSource();
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
    return "the request's time limit of " + DurationText(Request.TotalTimeLimitMilliseconds) +
           " ran out while " + what;
  }
  // Moves the complete temporary file onto the target.
  HTTPGetResult KeepFile();
  // Keeps the cause of the failure `result` for the caller: the HTTP
  // client's, the file system's, or the client's own rule.
  HTTPGetResult FailWith(HTTPGetResult result, std::string cause) {
    Request.FailureCause = std::move(cause);
    return result;
  }
  HTTPGetResult FileFailure(HTTPGetResult result) { return FailWith(result, FileCause); }
  // Closes the request, the connection and the session that are open, in that
  // order; false with the first refusal's cause in `*cause` when any close
  // was refused. Every handle is closed even then.
  bool CloseHandles(std::string* cause);
  // Closes the request whose answer is done with, whatever its close says:
  // a resumed or restarted request follows on the same connection.
  void DropHandle() {
    std::string ignored;
    if (Handle) static_cast<void>(Handle->Close(&ignored));
    Handle.reset();
  }
  int32_t Seconds() const {
    return static_cast<int32_t>((Os.Clock.Milliseconds() - StartMilliseconds) / 1000);
  }
};

bool Transfer::CloseHandles(std::string* cause) {
  bool closed = true;
  // The first refusal is the one to tell.
  auto close = [&](auto& handle) {
    std::string refused;
    if (handle && !handle->Close(&refused) && closed) {
      closed = false;
      *cause = refused;
    }
    handle.reset();
  };
  close(Handle);
  close(Connection);
  close(Session);
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
  const bool proxy = Request.Access == HttpAccess::Proxy;
  if (proxy && Request.ProxyName.empty()) return FailWith(R::ErrArgument, "a proxy without a name");

  // A port written in the URL cannot be part of the name that is resolved; it
  // is the port to use unless the record names one.
  const bool secure = IsSecureURL(Request.URL);
  const HostAndPort server = SplitHostPort(host);
  int port = Request.Port;
  if (port == 0) port = server.Port != 0 ? server.Port : secure ? kHttpsPort : kHttpPort;

  HttpSessionOptions sessionOptions;
  sessionOptions.Agent = Request.Agent.empty() ? std::string(kDefaultAgent) : Request.Agent;
  sessionOptions.Access = Request.Access;
  sessionOptions.ProxyName = Request.ProxyName;
  sessionOptions.ConnectTimeoutMilliseconds = Request.Limits.ConnectMilliseconds;
  sessionOptions.ResponseTimeoutMilliseconds = Request.Limits.ResponseMilliseconds;
  sessionOptions.ReceiveTimeoutMilliseconds = Request.Limits.ReceiveMilliseconds;
  std::string cause;
  Session = Os.Internet.Open(sessionOptions, &cause);
  if (!Session) return FailWith(R::ErrOpen, cause);
  Connection = Session->Connect(server.Name, port, &cause);
  if (!Connection) return FailWith(R::ErrConnect, cause);
  if (proxy) {
    if (!Request.ProxyUser.empty() &&
        !Connection->SetCredential(HttpCredential::ProxyUserName, Request.ProxyUser, &cause))
      return FailWith(R::ErrProxyOptions, cause);
    if (!Request.ProxyPassword.empty() &&
        !Connection->SetCredential(HttpCredential::ProxyPassword, Request.ProxyPassword, &cause))
      return FailWith(R::ErrProxyOptions, cause);
  }
  RequestOptions.Path = path;
  RequestOptions.Secure = secure;
  RequestOptions.Reload = Request.Reload;
  RequestOptions.NeverAskUser = Request.NeverAskUser;
  // A part an earlier call kept for this URL: the first request asks for its
  // rest, if the server still has the same body.
  HttpRequestOptions firstOptions = RequestOptions;
  TookPart = Request.Target == HTTPGetTarget::File && Request.KeepCutFile &&
             TakePartSource(Os.Files, PartPath(Request.FileName), &Kept);
  const bool fromPart = TookPart && Kept.URL == Request.URL;
  if (fromPart) {
    firstOptions.Headers.push_back({"Range", "bytes=" + std::to_string(Kept.Size) + "-"});
    firstOptions.Headers.push_back({"If-Range", Kept.Validator});
  }
  Handle = Connection->OpenRequest(firstOptions, &cause);
  if (!Handle) return FailWith(R::ErrRequest, cause);

  uint32_t status = 0;
  if (HTTPGetResult sent = Send(&status); sent != R::Ok) return sent;
  if (fromPart && status == 206) {
    const std::string range = Handle->Header("Content-Range").value_or("");
    FromKeptPart =
        Validator(*Handle) == Kept.Validator &&
        IsRestOfBody(range, static_cast<uint64_t>(Kept.Size), static_cast<uint64_t>(Kept.Length));
  }
  // Pieces of another body would be spliced, and a server that cannot send
  // the rest may still send the whole: the whole body instead.
  if (fromPart && !FromKeptPart && status == 200 && Report != nullptr)
    Report->Log("Starting GET " + MaskURLPassword(Request.URL) +
                " over: the server sent the whole file instead of the rest of the part kept by "
                "an earlier run (it changed since)");
  if (fromPart && !FromKeptPart && status != 200) {
    const std::string why =
        "the rest of the part kept from an earlier run was answered with "
        "status " +
        std::to_string(status);
    if (HTTPGetResult again = RequestAgain(why, &status); again != R::Ok) return again;
  }
  if (status != 200 && !FromKeptPart) {
    Request.StatusCode = static_cast<int32_t>(status);
    return R::ErrStatus;
  }
  if (FromKeptPart) {
    if (Report != nullptr)
      Report->Log("Resuming GET " + MaskURLPassword(Request.URL) + " at byte " +
                  std::to_string(Kept.Size) + " of " + std::to_string(Kept.Length) +
                  " from the part kept by an earlier run");
    ContentLength = Kept.Length;
    if (Request.BodyLimit > 0 && ContentLength > Request.BodyLimit)
      return FailWith(R::ErrAborted, "the kept part's body of " + std::to_string(ContentLength) +
                                         " bytes is more than the " +
                                         std::to_string(Request.BodyLimit) + " expected");
  } else if (HTTPGetResult length = TakeContentLength(); length != R::Ok) {
    return length;
  }

  int64_t chunkSize = Request.BufferSize;
  if (chunkSize <= 0) {
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
    File = FromKeptPart ? Os.Files.OpenAppend(PartPath(Request.FileName), &FileCause)
                        : Os.Files.Create(PartPath(Request.FileName), &FileCause);
    if (!File) return FileFailure(R::ErrCreateFile);
    TemporaryName = PartPath(Request.FileName);
    if (FromKeptPart) Received = Kept.Size;
  }
  if (Request.OnConnected) Request.OnConnected(Request, Handle.get());

  BodyValidator = Validator(*Handle);
  RecordPartSource();
  HTTPGetResult result = ReadBody(chunkSize);
  // A file cut off is asked for again on the same connection. Only a body of
  // known length can be completed from pieces, and only with a validator that
  // makes the server send pieces of the same body; any other starts over.
  for (int attempt = 1; result != R::Ok && Cut && File && attempt <= kMostResumes; ++attempt) {
    WaitBeforeAttempt(attempt);
    if (Received > 0 && ContentLength > 0 && !BodyValidator.empty())
      result = Resume(attempt, chunkSize);
    else
      result = Restart(attempt, chunkSize);
  }
  if (result != R::Ok) return result;

  if (File) {
    if (HTTPGetResult kept = KeepFile(); kept != R::Ok) return kept;
  }
  Request.ReceivedBytes = Received;
  if (!CloseHandles(&cause)) return FailWith(R::ErrClose, cause);
  return R::Ok;
}

bool Transfer::LimitWait(uint64_t until) {
  uint64_t left = 0;
  if (until != 0) {
    const uint64_t now = Os.Clock.Milliseconds();
    if (now >= until) return false;
    left = std::min<uint64_t>(until - now, std::numeric_limits<int64_t>::max());
  }
  Handle->SetDeadline(static_cast<int64_t>(left));
  return true;
}

HTTPGetResult Transfer::Send(uint32_t* status) {
  const std::string waitingForHeaders = TotalLimitText("waiting for the response headers");
  std::string cause;
  for (bool resent = false;; resent = true) {
    if (!LimitWait(Deadline)) return FailWith(R::ErrSend, waitingForHeaders);
    if (!Handle->Send(&cause)) {
      if (Deadline != 0 && Os.Clock.Milliseconds() >= Deadline)
        return FailWith(R::ErrSend, waitingForHeaders + "; " + cause);
      return FailWith(R::ErrSend, cause);
    }
    // Headers that came after the time ran out came too late.
    if (Deadline != 0 && Os.Clock.Milliseconds() >= Deadline)
      return FailWith(R::ErrSend, waitingForHeaders);
    if (!Handle->Status(status, &cause)) return FailWith(R::ErrQueryStatus, cause);
    if (*status != 401 || resent) return R::Ok;
    // One resend answers the challenge, with the URL's credentials if any.
    if (!User.empty() && !Connection->SetCredential(HttpCredential::UserName, User, &cause))
      return FailWith(R::ErrAuthOptions, cause);
    if (!Password.empty() && !Connection->SetCredential(HttpCredential::Password, Password, &cause))
      return FailWith(R::ErrAuthOptions, cause);
  }
}

HTTPGetResult Transfer::TakeContentLength() {
  int64_t announced = 0;
  if (!Handle->ContentLength(&announced) || announced < 0) announced = 0;
  if (Request.BodyLimit > 0 && announced > Request.BodyLimit)
    return FailWith(R::ErrAborted, "the announced body of " + std::to_string(announced) +
                                       " bytes is more than the " +
                                       std::to_string(Request.BodyLimit) + " expected");
  ContentLength = announced;
  return R::Ok;
}

HTTPGetResult Transfer::StartFileOver() {
  File.reset();
  File = Os.Files.Create(TemporaryName, &FileCause);
  if (!File) return FileFailure(R::ErrCreateFile);
  Received = 0;
  return R::Ok;
}

void Transfer::RecordPartSource() {
  if (!Request.KeepCutFile || !File) return;
  const std::string path = TemporaryName + kPartSourceSuffix;
  std::string cause;
  // Without the record only a kill's part is lost: the download goes on.
  if (ContentLength > 0 && !BodyValidator.empty()) {
    if (!WriteFileWhole(Os.Files, path, PartSourceText({Request.URL, ContentLength, BodyValidator}),
                        &cause) &&
        Report != nullptr)
      Report->Log("Cannot record the source of " + TemporaryName + ": " + cause);
  } else if (Os.Files.Exists(path) && !Os.Files.Delete(path, &cause) && Report != nullptr) {
    Report->Log("Cannot remove " + path + ": " + cause);
  }
}

HTTPGetResult Transfer::Resume(int attempt, int64_t chunkSize) {
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
  DropHandle();
  HttpRequestOptions options = RequestOptions;
  options.Headers.push_back({"Range", "bytes=" + from + "-"});
  options.Headers.push_back({"If-Range", BodyValidator});
  std::string cause;
  Handle = Connection->OpenRequest(options, &cause);
  if (!Handle) return giveUp("could not be opened: " + cause);
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
    int64_t length = 0;
    if (Handle->ContentLength(&length) && length != ContentLength - Received)
      return giveUp("announced " + std::to_string(length) + " bytes");
  } else if (status == 200) {
    // The server sends the whole body again (it ignored the range, or the
    // body changed): start the file over.
    if (HTTPGetResult length = TakeContentLength(); length != R::Ok) return length;
    if (HTTPGetResult over = StartFileOver(); over != R::Ok) return over;
    BodyValidator = Validator(*Handle);
    RecordPartSource();
  } else {
    return giveUp("was answered with status " + std::to_string(status));
  }
  return ReadBody(chunkSize);
}

HTTPGetResult Transfer::Restart(int attempt, int64_t chunkSize) {
  const std::string cutCause = Request.FailureCause;
  // The cut's failure stands when the body cannot be had again.
  auto giveUp = [&](const std::string& why) {
    Cut = false;
    return FailWith(R::ErrRead, cutCause + "; the request again " + why);
  };
  uint32_t status = 0;
  if (RequestAgain("attempt " + std::to_string(attempt) + " of " + std::to_string(kMostResumes) +
                       " after a cut that cannot be resumed: " + cutCause,
                   &status) != R::Ok)
    return giveUp("failed: " + Request.FailureCause);
  if (status != 200) return giveUp("was answered with status " + std::to_string(status));
  if (HTTPGetResult length = TakeContentLength(); length != R::Ok) return length;
  if (HTTPGetResult over = StartFileOver(); over != R::Ok) return over;
  BodyValidator = Validator(*Handle);
  RecordPartSource();
  return ReadBody(chunkSize);
}

HTTPGetResult Transfer::RequestAgain(const std::string& why, uint32_t* status) {
  if (Report != nullptr)
    Report->Log("Starting GET " + MaskURLPassword(Request.URL) + " over: " + why);
  DropHandle();
  std::string cause;
  Handle = Connection->OpenRequest(RequestOptions, &cause);
  if (!Handle) return FailWith(R::ErrRequest, cause);
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
           DurationText(static_cast<int64_t>(Rate.Window())) + " (" + received + ")";
  } else {
    text = "fewer than " + std::to_string(kLeastAverageBytesPerSecond) +
           " bytes a second on average after the first " +
           DurationText(static_cast<int64_t>(Rate.Window())) + " (" + std::to_string(Rate.Total()) +
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
  // The part is whole: it must not be taken for one to resume. Should the
  // source stay, the next download finds no part beside it and starts over.
  if (Request.KeepCutFile)
    static_cast<void>(Os.Files.Delete(TemporaryName + kPartSourceSuffix, nullptr));
  if (!Os.Files.Replace(TemporaryName, Request.FileName, &FileCause))
    return FileFailure(R::ErrCreateFile);
  TemporaryName.clear();
  return R::Ok;
}

HTTPGetResult Transfer::ReadBody(int64_t chunkSize) {
  std::vector<uint8_t>& buffer = *Request.Memory;
  Cut = false;
  Rate.Start(Os.Clock.Milliseconds(),
             static_cast<uint64_t>(std::max<int32_t>(1, Request.Limits.RateWindowMilliseconds)));
  for (;;) {
    // The next bytes must come before the body is too slow, and before the
    // request's time runs out.
    uint64_t until = Rate.Deadline();
    if (Deadline != 0) until = std::min(until, Deadline);
    if (!LimitWait(until)) return SlowBody(Os.Clock.Milliseconds(), std::string());
    uint8_t* into = File ? buffer.data() : buffer.data() + Received;
    int64_t got = 0;
    std::string cause;
    if (!Handle->Read(into, chunkSize, &got, &cause)) {
      const uint64_t now = Os.Clock.Milliseconds();
      // A wait that ran out is no cut: a slow server is not asked again.
      if (now >= until) return SlowBody(now, cause);
      Cut = true;
      return FailWith(R::ErrRead, cause);
    }
    if (got < 0 || got > chunkSize)
      return FailWith(R::ErrRead, "a read returned more than it was asked for");
    if (Request.BodyLimit > 0 && Received + got > Request.BodyLimit)
      return FailWith(R::ErrAborted, "the body brought more than the " +
                                         std::to_string(Request.BodyLimit) + " bytes expected");
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
        Request.OnProgress(Request, Received, ContentLength, Seconds()) == 0)
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
  std::string closeCause;
  transfer.CloseHandles(&closeCause);

  if (request.OnFinished) {
    request.OnFinished(request, result, transfer.Received, transfer.ContentLength,
                       transfer.Seconds());
  }
  if (request.Target == HTTPGetTarget::File) {
    request.Memory.reset();
    // The target is replaced only by a complete file; a partial one goes,
    // unless the caller keeps a cut one that a later call can complete.
    if (result != R::Ok && !transfer.TemporaryName.empty()) {
      bool kept = false;
      if (transfer.File) kept = transfer.File->Close(nullptr);
      transfer.File.reset();
      const PartSource source{request.URL, transfer.ContentLength, transfer.BodyValidator,
                              transfer.Received};
      std::string cause;
      kept = kept && request.KeepCutFile && result == R::ErrRead && source.Size > 0 &&
             source.Size < source.Length && !source.Validator.empty() &&
             WriteFileWhole(os.Files, transfer.TemporaryName + kPartSourceSuffix,
                            PartSourceText(source), &cause);
      if (kept && report != nullptr)
        report->Log("Kept " + std::to_string(source.Size) + " of " + std::to_string(source.Length) +
                    " bytes of " + MaskURLPassword(request.URL) + " for the next run");
      // The download has failed already; a part file that stays without its
      // source is removed at the next run's start, and a source without its
      // part at the next download.
      if (!kept) {
        if (request.KeepCutFile)
          static_cast<void>(os.Files.Delete(transfer.TemporaryName + kPartSourceSuffix, nullptr));
        static_cast<void>(os.Files.Delete(transfer.TemporaryName, nullptr));
      }
    } else if (result != R::Ok && transfer.TookPart) {
      // A call that failed before it wrote leaves the kept part as it was,
      // for a later call to try again; without its source the next run
      // removes it.
      std::string cause;
      static_cast<void>(WriteFileWhole(os.Files, PartPath(request.FileName) + kPartSourceSuffix,
                                       PartSourceText(transfer.Kept), &cause));
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
