// The HTTP client on POSIX, built on libcurl. A request runs on libcurl's
// multi interface so that the body can be pulled in reads, as the portable
// client asks for it: Send() drives the transfer until the final response's headers are in,
// and each Read() drives it only until some body bytes are waiting; both keep
// the session's time limits while they drive. Bytes are taken from libcurl's
// write callback into the buffer of the read that waits, and what does not
// fit into a bounded queue; when the queue is full the callback pauses the
// transfer until a read makes room.
#include "system/posix/internet.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

namespace updater {

namespace {

// Body bytes held ahead of the reader before the transfer pauses.
constexpr size_t kQueueLimit = 1 << 20;
// The limit on followed redirects, as the Windows client has it.
constexpr long kMaxRedirects = 100;
// The longest single wait for the sockets; time limits are checked after it.
constexpr int kLongestPollMilliseconds = 1000;

using SteadyClock = std::chrono::steady_clock;

int64_t MillisecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count();
}

// "30 s" for a limit of whole seconds, else "1500 ms".
std::string LimitText(int milliseconds) {
  if (milliseconds % 1000 == 0) return std::to_string(milliseconds / 1000) + " s";
  return std::to_string(milliseconds) + " ms";
}

// How long to poll before a limit of `limit` ms, counted from `start`, runs
// out; the longest poll when there is no limit.
int PollMilliseconds(int limit, SteadyClock::time_point start) {
  if (limit <= 0) return kLongestPollMilliseconds;
  int64_t left = limit - MillisecondsSince(start);
  return static_cast<int>(std::clamp<int64_t>(left, 1, kLongestPollMilliseconds));
}

struct CurlSettings {
  std::string Agent;
  HttpAccess Access = HttpAccess::Direct;
  std::string ProxyName;
  int ConnectTimeoutMilliseconds = 0;
  int ResponseTimeoutMilliseconds = 0;
  int ReceiveTimeoutMilliseconds = 0;
  std::string ProxyUser;
  std::string ProxyPassword;
  std::string Host;
  int Port = 0;
  std::string User;
  std::string Password;
};

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

const char* TrustedCertificates() {
  for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return nullptr;
}

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

std::string_view TrimmedValue(std::string_view value) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ' ||
                            value.back() == '\t'))
    value.remove_suffix(1);
  return value;
}

class CurlRequest : public HttpRequest {
 public:
  // The settings belong to the connection; a request reads them when it is
  // sent, so that credentials set after a 401 go out with the resend.
  CurlRequest(std::shared_ptr<const CurlSettings> settings, HttpRequestOptions options)
      : settings_(std::move(settings)), options_(std::move(options)) {}
  ~CurlRequest() override { Release(); }

  bool Open(std::string* cause) {
    easy_ = curl_easy_init();
    multi_ = curl_multi_init();
    if (easy_ != nullptr && multi_ != nullptr) return true;
    *cause = "libcurl: cannot create a transfer handle";
    return false;
  }

  bool Send(std::string* cause) override;
  bool Status(uint32_t* status, std::string* cause) override;
  bool ContentLength(int64_t* length) override;
  std::optional<std::string> Header(const std::string& name) override;
  bool Read(void* buffer, int64_t size, int64_t* received, std::string* cause) override;
  void SetDeadline(int64_t milliseconds) override;
  bool Close(std::string*) override {
    Release();
    return true;
  }

 private:
  // True once the caller's deadline has passed; gives the cause then,
  // naming what was waited for.
  bool PastDeadline(const char* waitingFor, std::string* cause);
  // `pollMilliseconds`, shortened to end at the caller's deadline.
  int UntilDeadline(int pollMilliseconds) const;
  // Gives the cause of a failed transfer; always false.
  bool Failed(CURLcode code, std::string* cause);
  // Frees the transfer's handles; the request cannot be sent again.
  void Release();
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnBody(char* data, size_t size, size_t count, void* self);
  void Configure();
  // Lets libcurl work once, then, unless what the caller waits for is there
  // (the final response's headers, or with `forBody` body bytes) or the
  // transfer is over, waits up to `pollMilliseconds` for the sockets.
  void Drive(int pollMilliseconds, bool forBody);
  // True once libcurl has connected and is sending the request.
  bool RequestSent();
  void Stop();

  std::shared_ptr<const CurlSettings> settings_;
  HttpRequestOptions options_;
  std::optional<SteadyClock::time_point> deadline_;
  CURL* easy_ = nullptr;
  CURLM* multi_ = nullptr;
  bool running_ = false;  // the easy handle is in the multi handle
  bool done_ = false;
  CURLcode outcome_ = CURLE_OK;
  bool headersDone_ = false;
  bool sawLocation_ = false;
  bool paused_ = false;
  std::vector<char> queue_;
  size_t queueStart_ = 0;
  // The buffer of the read that waits, while it waits.
  char* reader_ = nullptr;
  size_t readerSize_ = 0;
  size_t readerFilled_ = 0;
  std::string url_;
  curl_slist* requestHeaders_ = nullptr;
  // The headers of the response being received, by lower-cased name.
  std::map<std::string, std::string> responseHeaders_;
  char errorText_[CURL_ERROR_SIZE] = {};
};

bool CurlRequest::Failed(CURLcode code, std::string* cause) {
  std::string text = "libcurl: ";
  text += curl_easy_strerror(code);
  if (errorText_[0] != '\0') {
    text += ": ";
    text += TrimmedValue(errorText_);
  }
  text += " (CURLcode " + std::to_string(static_cast<int>(code)) + ", " + url_ + ")";
  *cause = text;
  return false;
}

size_t CurlRequest::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* request = static_cast<CurlRequest*>(self);
  size_t length = size * count;
  std::string_view line(data, length);
  if (line.rfind("HTTP/", 0) == 0) {
    request->sawLocation_ = false;
    request->responseHeaders_.clear();
  } else if (line == "\r\n" || line == "\n") {
    // The end of one response's headers. It is the final response unless it
    // is informational or a redirect that libcurl goes on to follow.
    long code = 0;
    curl_easy_getinfo(request->easy_, CURLINFO_RESPONSE_CODE, &code);
    bool followed = request->sawLocation_ &&
                    (code == 301 || code == 302 || code == 303 || code == 307 || code == 308);
    if (code >= 200 && !followed) request->headersDone_ = true;
  } else if (size_t colon = line.find(':'); colon != std::string_view::npos) {
    std::string name = LowerCase(line.substr(0, colon));
    if (name == "location") request->sawLocation_ = true;
    request->responseHeaders_[name] = std::string(TrimmedValue(line.substr(colon + 1)));
  }
  return length;
}

size_t CurlRequest::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* request = static_cast<CurlRequest*>(self);
  const size_t length = size * count;
  std::vector<char>& queue = request->queue_;
  const bool queueEmpty = request->queueStart_ == queue.size();
  // While a read waits, bytes go straight into its buffer; only what does
  // not fit is queued.
  size_t taken = 0;
  if (request->reader_ != nullptr && queueEmpty) {
    taken = std::min(length, request->readerSize_ - request->readerFilled_);
    std::memcpy(request->reader_ + request->readerFilled_, data, taken);
    request->readerFilled_ += taken;
  }
  // Pausing makes libcurl deliver the same bytes again later, so it is only
  // for bytes none of which were taken.
  if (taken == 0 && queue.size() - request->queueStart_ >= kQueueLimit) {
    request->paused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (queueEmpty && request->queueStart_ > 0) {
    queue.clear();
    request->queueStart_ = 0;
  } else if (request->queueStart_ >= kQueueLimit) {
    queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(request->queueStart_));
    request->queueStart_ = 0;
  }
  queue.insert(queue.end(), data + taken, data + length);
  request->headersDone_ = true;
  return length;
}

void CurlRequest::Configure() {
  const CurlSettings& s = *settings_;
  std::string host = s.Host.find(':') != std::string::npos ? "[" + s.Host + "]" : s.Host;
  url_ = (options_.Secure ? "https://" : "http://") + host + ":" + std::to_string(s.Port) +
         options_.Path;
  curl_easy_reset(easy_);
  errorText_[0] = '\0';
  curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorText_);
  curl_easy_setopt(easy_, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(easy_, CURLOPT_USERAGENT, s.Agent.c_str());
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, 256L * 1024);
  curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlRequest::OnHeader);
  curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlRequest::OnBody);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  if (const char* bundle = TrustedCertificates()) curl_easy_setopt(easy_, CURLOPT_CAINFO, bundle);
  // libcurl waits for ever by default. It keeps the connect limit (name
  // resolution and TLS included) itself; the wait for the response and for
  // body data is kept by Send() and Read().
  if (s.ConnectTimeoutMilliseconds > 0)
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(s.ConnectTimeoutMilliseconds));
  curl_slist_free_all(requestHeaders_);
  requestHeaders_ = nullptr;
  for (const auto& [name, value] : options_.Headers)
    requestHeaders_ = curl_slist_append(requestHeaders_, (name + ": " + value).c_str());
  if (requestHeaders_ != nullptr) curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, requestHeaders_);
  if (s.Access == HttpAccess::Proxy) {
    curl_easy_setopt(easy_, CURLOPT_PROXY, s.ProxyName.c_str());
    curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    if (!s.ProxyUser.empty()) curl_easy_setopt(easy_, CURLOPT_PROXYUSERNAME, s.ProxyUser.c_str());
    if (!s.ProxyPassword.empty())
      curl_easy_setopt(easy_, CURLOPT_PROXYPASSWORD, s.ProxyPassword.c_str());
  } else if (s.Access == HttpAccess::System) {
    // No proxy of its own: libcurl then takes the one the environment names
    // for the URL's scheme, unless no_proxy exempts the host; the headers of
    // a tunnel's CONNECT answer must not pass for the server's.
    curl_easy_setopt(easy_, CURLOPT_PROXY, static_cast<const char*>(nullptr));
    curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  } else {
    // A direct session ignores the proxy variables of the environment.
    curl_easy_setopt(easy_, CURLOPT_PROXY, "");
  }
  // Credentials set after a 401 go out with the resend, as basic
  // authentication, and to the same host only.
  if (!s.User.empty() || !s.Password.empty()) {
    curl_easy_setopt(easy_, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(easy_, CURLOPT_USERNAME, s.User.c_str());
    curl_easy_setopt(easy_, CURLOPT_PASSWORD, s.Password.c_str());
  }
}

void CurlRequest::Stop() {
  if (running_) curl_multi_remove_handle(multi_, easy_);
  running_ = false;
}

void CurlRequest::Drive(int pollMilliseconds, bool forBody) {
  int active = 0;
  curl_multi_perform(multi_, &active);
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
      done_ = true;
      outcome_ = message->data.result;
    }
  }
  if (done_ || (forBody ? queueStart_ < queue_.size() || readerFilled_ > 0 : headersDone_)) return;
  curl_multi_poll(multi_, nullptr, 0, pollMilliseconds, nullptr);
}

void CurlRequest::SetDeadline(int64_t milliseconds) {
  deadline_.reset();
  if (milliseconds > 0) deadline_ = SteadyClock::now() + std::chrono::milliseconds(milliseconds);
}

bool CurlRequest::PastDeadline(const char* waitingFor, std::string* cause) {
  if (!deadline_ || SteadyClock::now() < *deadline_) return false;
  *cause = std::string("libcurl: the caller's time ran out while waiting for ") + waitingFor +
           " (" + url_ + ")";
  return true;
}

int CurlRequest::UntilDeadline(int pollMilliseconds) const {
  if (!deadline_) return pollMilliseconds;
  const int64_t left =
      std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - SteadyClock::now())
          .count();
  return static_cast<int>(std::clamp<int64_t>(left, 1, pollMilliseconds));
}

bool CurlRequest::RequestSent() {
  curl_off_t microseconds = 0;
  return curl_easy_getinfo(easy_, CURLINFO_PRETRANSFER_TIME_T, &microseconds) == CURLE_OK &&
         microseconds > 0;
}

bool CurlRequest::Send(std::string* cause) {
  if (easy_ == nullptr) {
    *cause = "libcurl: the request is closed";
    return false;
  }
  Stop();
  done_ = false;
  outcome_ = CURLE_OK;
  headersDone_ = false;
  sawLocation_ = false;
  paused_ = false;
  queue_.clear();
  queueStart_ = 0;
  responseHeaders_.clear();
  Configure();
  if (CURLMcode added = curl_multi_add_handle(multi_, easy_); added != CURLM_OK) {
    *cause = std::string("libcurl: ") + curl_multi_strerror(added);
    return false;
  }
  running_ = true;
  const int limit = settings_->ResponseTimeoutMilliseconds;
  std::optional<SteadyClock::time_point> sentAt;
  while (!headersDone_ && !done_) {
    if (limit > 0 && !sentAt && RequestSent()) sentAt = SteadyClock::now();
    if (sentAt && MillisecondsSince(*sentAt) >= limit) {
      Stop();
      *cause = "libcurl: no response headers within " + LimitText(limit) + " (" + url_ + ")";
      return false;
    }
    if (PastDeadline("the response headers", cause)) {
      Stop();
      return false;
    }
    Drive(UntilDeadline(sentAt ? PollMilliseconds(limit, *sentAt) : kLongestPollMilliseconds),
          false);
  }
  // A transfer that failed before a final response (name resolution, a
  // refused connection, a TLS failure, too many redirects) was not answered.
  if (headersDone_ || outcome_ == CURLE_OK) return true;
  return Failed(outcome_, cause);
}

bool CurlRequest::Status(uint32_t* status, std::string* cause) {
  long code = 0;
  if (!running_ || curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK ||
      code <= 0) {
    *cause = "libcurl: no response status (" + url_ + ")";
    return false;
  }
  *status = static_cast<uint32_t>(code);
  return true;
}

bool CurlRequest::ContentLength(int64_t* length) {
  curl_off_t announced = -1;
  if (!running_ ||
      curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) != CURLE_OK ||
      announced < 0)
    return false;
  *length = static_cast<int64_t>(announced);
  return true;
}

std::optional<std::string> CurlRequest::Header(const std::string& name) {
  auto found = responseHeaders_.find(LowerCase(name));
  if (found == responseHeaders_.end()) return std::nullopt;
  return found->second;
}

bool CurlRequest::Read(void* buffer, int64_t size, int64_t* received, std::string* cause) {
  *received = 0;
  if (size < 1) {
    *cause = "libcurl: a read of " + std::to_string(size) + " bytes";
    return false;
  }
  if (!running_) {
    *cause = "libcurl: read from a request that was not sent";
    return false;
  }
  const int limit = settings_->ReceiveTimeoutMilliseconds;
  const SteadyClock::time_point waitStart = SteadyClock::now();
  for (;;) {
    size_t waiting = queue_.size() - queueStart_;
    if (waiting > 0) {
      size_t count = std::min<size_t>(waiting, static_cast<size_t>(size));
      std::memcpy(buffer, queue_.data() + queueStart_, count);
      queueStart_ += count;
      *received = static_cast<int64_t>(count);
      return true;
    }
    if (done_) return outcome_ == CURLE_OK || Failed(outcome_, cause);
    if (limit > 0 && MillisecondsSince(waitStart) >= limit) {
      *cause = "libcurl: no body data for " + LimitText(limit) + " (" + url_ + ")";
      return false;
    }
    if (PastDeadline("body data", cause)) return false;
    reader_ = static_cast<char*>(buffer);
    readerSize_ = static_cast<size_t>(size);
    readerFilled_ = 0;
    if (paused_) {
      paused_ = false;
      // Resuming can deliver the held-back bytes at once.
      curl_easy_pause(easy_, CURLPAUSE_CONT);
    }
    if (readerFilled_ == 0) Drive(UntilDeadline(PollMilliseconds(limit, waitStart)), true);
    reader_ = nullptr;
    if (readerFilled_ > 0) {
      *received = static_cast<int64_t>(readerFilled_);
      return true;
    }
  }
}

void CurlRequest::Release() {
  Stop();
  curl_slist_free_all(requestHeaders_);
  requestHeaders_ = nullptr;
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
  easy_ = nullptr;
  multi_ = nullptr;
}

class CurlConnection : public HttpConnection {
 public:
  explicit CurlConnection(CurlSettings settings)
      : settings_(std::make_shared<CurlSettings>(std::move(settings))) {}

  bool SetCredential(HttpCredential credential, const std::string& text, std::string*) override {
    switch (credential) {
      case HttpCredential::UserName:
        settings_->User = text;
        break;
      case HttpCredential::Password:
        settings_->Password = text;
        break;
      case HttpCredential::ProxyUserName:
        settings_->ProxyUser = text;
        break;
      case HttpCredential::ProxyPassword:
        settings_->ProxyPassword = text;
        break;
    }
    return true;
  }

  // libcurl keeps no cache and never asks the user, so `reload` and
  // `neverAskUser` hold by themselves.
  std::unique_ptr<HttpRequest> OpenRequest(const HttpRequestOptions& options,
                                           std::string* cause) override {
    if (options.Path.empty() || options.Path[0] != '/') {
      *cause = "libcurl: not a request path: " + options.Path;
      return nullptr;
    }
    auto request = std::make_unique<CurlRequest>(settings_, options);
    if (!request->Open(cause)) return nullptr;
    return request;
  }

  bool Close(std::string*) override { return true; }

 private:
  std::shared_ptr<CurlSettings> settings_;
};

class CurlSession : public HttpSession {
 public:
  explicit CurlSession(CurlSettings settings) : settings_(std::move(settings)) {}

  std::unique_ptr<HttpConnection> Connect(const std::string& host, int port,
                                          std::string* cause) override {
    if (host.empty() || port < 1 || port > 65535) {
      *cause = "libcurl: no server to connect to: \"" + host + "\" port " + std::to_string(port);
      return nullptr;
    }
    CurlSettings settings = settings_;
    settings.Host = host;
    settings.Port = port;
    return std::make_unique<CurlConnection>(std::move(settings));
  }

  bool Close(std::string*) override { return true; }

 private:
  CurlSettings settings_;
};

}  // namespace

std::unique_ptr<HttpSession> CurlInternet::Open(const HttpSessionOptions& options,
                                                std::string* cause) {
  InitCurlOnce();
  if (options.Access == HttpAccess::Proxy && options.ProxyName.empty()) {
    *cause = "libcurl: a proxy session without a proxy name";
    return nullptr;
  }
  CurlSettings settings;
  settings.Agent = options.Agent;
  settings.Access = options.Access;
  settings.ProxyName = options.ProxyName;
  settings.ConnectTimeoutMilliseconds = options.ConnectTimeoutMilliseconds;
  settings.ResponseTimeoutMilliseconds = options.ResponseTimeoutMilliseconds;
  settings.ReceiveTimeoutMilliseconds = options.ReceiveTimeoutMilliseconds;
  return std::make_unique<CurlSession>(std::move(settings));
}

}  // namespace updater
