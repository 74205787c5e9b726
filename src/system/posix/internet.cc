// The HTTP client on POSIX, built on libcurl. A request runs on libcurl's
// multi interface so that the body can be pulled in reads, as WinINet hands it
// out: Send() drives the transfer until the final response's headers are in,
// and each Read() drives it only until some body bytes are waiting. Bytes are
// taken from libcurl's write callback into a bounded queue; when the queue is
// full the callback pauses the transfer until a read makes room.
#include "system/posix/internet.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace updater {

namespace {

// Body bytes held ahead of the reader before the transfer pauses.
constexpr size_t kQueueLimit = 1 << 20;
// WinINet's limit on followed redirects.
constexpr long kMaxRedirects = 100;

struct CurlSettings {
  std::string agent;
  int32_t accessType = kAccessDirect;
  std::string proxyName;
  std::string proxyUser;
  std::string proxyPassword;
  std::string host;
  int port = 0;
  std::string user;
  std::string password;
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

class CurlRequest : public HttpRequest {
 public:
  // The settings belong to the connection; a request reads them when it is
  // sent, so that credentials set after a 401 go out with the resend.
  CurlRequest(std::shared_ptr<const CurlSettings> settings, std::string path, bool secure)
      : settings_(std::move(settings)), path_(std::move(path)), secure_(secure) {}
  ~CurlRequest() override { Close(); }

  bool Open() {
    easy_ = curl_easy_init();
    multi_ = curl_multi_init();
    return easy_ != nullptr && multi_ != nullptr;
  }

  bool Send() override;
  bool QueryNumber(uint32_t query, uint32_t* value) override;
  bool Read(void* buffer, uint32_t size, uint32_t* received) override;
  bool Close() override;

 private:
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnBody(char* data, size_t size, size_t count, void* self);
  void Configure();
  // Lets libcurl work once, then waits up to a second for the sockets.
  void Drive();
  void Stop();

  std::shared_ptr<const CurlSettings> settings_;
  std::string path_;
  bool secure_;
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
  std::string url_;
};

size_t CurlRequest::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* request = static_cast<CurlRequest*>(self);
  size_t length = size * count;
  std::string_view line(data, length);
  if (line.rfind("HTTP/", 0) == 0) {
    request->sawLocation_ = false;
  } else if (length >= 9 && strncasecmp(data, "location:", 9) == 0) {
    request->sawLocation_ = true;
  } else if (line == "\r\n" || line == "\n") {
    // The end of one response's headers. It is the final response unless it
    // is informational or a redirect that libcurl goes on to follow.
    long code = 0;
    curl_easy_getinfo(request->easy_, CURLINFO_RESPONSE_CODE, &code);
    bool followed = request->sawLocation_ &&
                    (code == 301 || code == 302 || code == 303 || code == 307 || code == 308);
    if (code >= 200 && !followed) request->headersDone_ = true;
  }
  return length;
}

size_t CurlRequest::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* request = static_cast<CurlRequest*>(self);
  size_t length = size * count;
  std::vector<char>& queue = request->queue_;
  if (queue.size() - request->queueStart_ >= kQueueLimit) {
    request->paused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (request->queueStart_ > 0 && request->queueStart_ == queue.size()) {
    queue.clear();
    request->queueStart_ = 0;
  } else if (request->queueStart_ >= kQueueLimit) {
    queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(request->queueStart_));
    request->queueStart_ = 0;
  }
  queue.insert(queue.end(), data, data + length);
  request->headersDone_ = true;
  return length;
}

void CurlRequest::Configure() {
  const CurlSettings& s = *settings_;
  std::string host = s.host.find(':') != std::string::npos ? "[" + s.host + "]" : s.host;
  url_ = (secure_ ? "https://" : "http://") + host + ":" + std::to_string(s.port) + path_;
  curl_easy_reset(easy_);
  curl_easy_setopt(easy_, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(easy_, CURLOPT_USERAGENT, s.agent.c_str());
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
  if (s.accessType == kAccessProxy) {
    curl_easy_setopt(easy_, CURLOPT_PROXY, s.proxyName.c_str());
    curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    if (!s.proxyUser.empty()) curl_easy_setopt(easy_, CURLOPT_PROXYUSERNAME, s.proxyUser.c_str());
    if (!s.proxyPassword.empty())
      curl_easy_setopt(easy_, CURLOPT_PROXYPASSWORD, s.proxyPassword.c_str());
  } else {
    // A direct session ignores the proxy variables of the environment.
    curl_easy_setopt(easy_, CURLOPT_PROXY, "");
  }
  // Credentials set after a 401 go out with the resend, as basic
  // authentication, and to the same host only.
  if (!s.user.empty() || !s.password.empty()) {
    curl_easy_setopt(easy_, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(easy_, CURLOPT_USERNAME, s.user.c_str());
    curl_easy_setopt(easy_, CURLOPT_PASSWORD, s.password.c_str());
  }
}

void CurlRequest::Stop() {
  if (running_) curl_multi_remove_handle(multi_, easy_);
  running_ = false;
}

void CurlRequest::Drive() {
  int active = 0;
  curl_multi_perform(multi_, &active);
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
      done_ = true;
      outcome_ = message->data.result;
    }
  }
  if (done_ || headersDone_ || queueStart_ < queue_.size()) return;
  curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
}

bool CurlRequest::Send() {
  if (easy_ == nullptr) return false;
  Stop();
  done_ = false;
  outcome_ = CURLE_OK;
  headersDone_ = false;
  sawLocation_ = false;
  paused_ = false;
  queue_.clear();
  queueStart_ = 0;
  Configure();
  if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) return false;
  running_ = true;
  while (!headersDone_ && !done_) Drive();
  // A transfer that failed before a final response (name resolution, a
  // refused connection, a TLS failure, too many redirects) was not answered.
  return headersDone_ || outcome_ == CURLE_OK;
}

bool CurlRequest::QueryNumber(uint32_t query, uint32_t* value) {
  if (!running_) return false;
  if (query == kQueryStatusCode) {
    long code = 0;
    if (curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK || code <= 0)
      return false;
    *value = static_cast<uint32_t>(code);
    return true;
  }
  if (query == kQueryContentLength) {
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK ||
        length < 0)
      return false;
    // A length beyond 32 bits shows as the largest 32-bit number.
    *value = static_cast<uint32_t>(std::min<curl_off_t>(length, UINT32_MAX));
    return true;
  }
  return false;
}

bool CurlRequest::Read(void* buffer, uint32_t size, uint32_t* received) {
  *received = 0;
  if (!running_) return false;
  for (;;) {
    size_t waiting = queue_.size() - queueStart_;
    if (waiting > 0) {
      size_t count = std::min<size_t>(waiting, size);
      std::memcpy(buffer, queue_.data() + queueStart_, count);
      queueStart_ += count;
      *received = static_cast<uint32_t>(count);
      return true;
    }
    if (done_) return outcome_ == CURLE_OK;
    if (paused_) {
      paused_ = false;
      // Resuming can deliver the held-back bytes at once.
      curl_easy_pause(easy_, CURLPAUSE_CONT);
      if (queueStart_ < queue_.size()) continue;
    }
    Drive();
  }
}

bool CurlRequest::Close() {
  Stop();
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
  easy_ = nullptr;
  multi_ = nullptr;
  return true;
}

class CurlConnection : public HttpConnection {
 public:
  explicit CurlConnection(CurlSettings settings)
      : settings_(std::make_shared<CurlSettings>(std::move(settings))) {}

  bool SetOption(uint32_t option, const std::string& text) override {
    switch (option) {
      case kOptionUserName:
        settings_->user = text;
        return true;
      case kOptionPassword:
        settings_->password = text;
        return true;
      case kOptionProxyUserName:
        settings_->proxyUser = text;
        return true;
      case kOptionProxyPassword:
        settings_->proxyPassword = text;
        return true;
      default:
        return false;
    }
  }

  // The WinINet request flags have no libcurl counterpart: every request
  // reaches the server and nothing asks the user.
  std::unique_ptr<HttpRequest> OpenRequest(const std::string& verb, const std::string& path,
                                           uint32_t, bool secure) override {
    if (verb != "GET" || path.empty()) return nullptr;
    auto request = std::make_unique<CurlRequest>(settings_, path, secure);
    if (!request->Open()) return nullptr;
    return request;
  }

  bool Close() override { return true; }

 private:
  std::shared_ptr<CurlSettings> settings_;
};

class CurlSession : public HttpSession {
 public:
  explicit CurlSession(CurlSettings settings) : settings_(std::move(settings)) {}

  std::unique_ptr<HttpConnection> Connect(const std::string& host, int port) override {
    if (host.empty() || port < 1 || port > 65535) return nullptr;
    CurlSettings settings = settings_;
    settings.host = host;
    settings.port = port;
    return std::make_unique<CurlConnection>(std::move(settings));
  }

  bool Close() override { return true; }

 private:
  CurlSettings settings_;
};

}  // namespace

std::unique_ptr<HttpSession> CurlInternet::Open(const std::string& agent, int32_t accessType,
                                                const std::string& proxyName) {
  InitCurlOnce();
  if (accessType != kAccessDirect && accessType != kAccessProxy) return nullptr;
  if (accessType == kAccessProxy && proxyName.empty()) return nullptr;
  CurlSettings settings;
  settings.agent = agent;
  settings.accessType = accessType;
  settings.proxyName = proxyName;
  return std::make_unique<CurlSession>(std::move(settings));
}

}  // namespace updater
