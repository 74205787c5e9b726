// The HTTP client on Windows: WinINet, synchronous. Each object owns one
// WinINet handle and closes it once.
#include "system/win32/internet.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <vector>

#include "system/win32/wide_text.h"

namespace updater {

namespace {

// Records the cause of a failed WinINet call with the error it left; always
// false.
bool Failed(const CauseRecord& cause, std::string_view call, std::string_view subject) {
  *cause = Win32Cause(call, subject, GetLastError());
  return false;
}

// Owns one WinINet handle.
class InternetHandle {
 public:
  InternetHandle(HINTERNET handle, CauseRecord cause) : handle_(handle), cause_(std::move(cause)) {}
  ~InternetHandle() { Close(); }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;

  HINTERNET get() const { return handle_; }
  const CauseRecord& cause() const { return cause_; }
  bool Close() {
    if (handle_ == nullptr) return true;
    HINTERNET handle = handle_;
    handle_ = nullptr;
    return InternetCloseHandle(handle) || Failed(cause_, "InternetCloseHandle", "");
  }

 private:
  HINTERNET handle_;
  CauseRecord cause_;
};

class WinInetRequest : public HttpRequest {
 public:
  WinInetRequest(HINTERNET handle, CauseRecord cause, std::string path,
                 const std::vector<std::pair<std::string, std::string>>& headers)
      : handle_(handle, std::move(cause)), path_(std::move(path)) {
    for (const auto& [name, value] : headers) headers_ += Utf8ToWide(name + ": " + value + "\r\n");
  }

  bool Send() override {
    // No extra headers unless the request has some (a resumed download).
    const wchar_t* headers = headers_.empty() ? nullptr : headers_.c_str();
    DWORD length = headers_.empty() ? 0 : static_cast<DWORD>(headers_.size());
    return HttpSendRequestW(handle_.get(), headers, length, nullptr, 0) ||
           Failed(handle_.cause(), "HttpSendRequestW", path_);
  }

  bool Status(uint32_t* status) override {
    DWORD number = 0;
    if (!QueryNumber(HTTP_QUERY_STATUS_CODE, &number))
      return Failed(handle_.cause(), "HttpQueryInfoW(HTTP_QUERY_STATUS_CODE)", path_);
    *status = number;
    return true;
  }

  bool ContentLength(uint64_t* length) override {
    DWORD number = 0;
    if (!QueryNumber(HTTP_QUERY_CONTENT_LENGTH, &number)) return false;
    *length = number;
    return true;
  }

  std::optional<std::string> Header(const std::string& name) override {
    // HTTP_QUERY_CUSTOM takes the header's name in the buffer and gives back
    // its value there.
    std::wstring wideName = Utf8ToWide(name);
    std::vector<wchar_t> buffer(std::max<size_t>(wideName.size() + 1, 256));
    for (int attempt = 0; attempt < 2; ++attempt) {
      std::copy(wideName.begin(), wideName.end(), buffer.begin());
      buffer[wideName.size()] = L'\0';
      DWORD length = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
      if (HttpQueryInfoW(handle_.get(), HTTP_QUERY_CUSTOM, buffer.data(), &length, nullptr))
        return WideToUtf8(std::wstring_view(buffer.data(), length / sizeof(wchar_t)));
      if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
      buffer.resize(length / sizeof(wchar_t) + 1);
    }
    return std::nullopt;
  }

  bool Read(void* buffer, uint32_t size, uint32_t* received) override {
    DWORD count = 0;
    bool read = InternetReadFile(handle_.get(), buffer, size, &count) != FALSE;
    *received = read ? count : 0;
    return read || Failed(handle_.cause(), "InternetReadFile", path_);
  }

  bool Close() override { return handle_.Close(); }

 private:
  bool QueryNumber(DWORD query, DWORD* number) {
    DWORD length = sizeof *number;
    return HttpQueryInfoW(handle_.get(), query | HTTP_QUERY_FLAG_NUMBER, number, &length,
                          nullptr) != FALSE;
  }

  InternetHandle handle_;
  std::string path_;
  std::wstring headers_;
};

class WinInetConnection : public HttpConnection {
 public:
  WinInetConnection(HINTERNET handle, CauseRecord cause) : handle_(handle, std::move(cause)) {}

  bool SetCredential(HttpCredential credential, const std::string& text) override {
    DWORD option = 0;
    switch (credential) {
      case HttpCredential::UserName:
        option = INTERNET_OPTION_USERNAME;
        break;
      case HttpCredential::Password:
        option = INTERNET_OPTION_PASSWORD;
        break;
      case HttpCredential::ProxyUserName:
        option = INTERNET_OPTION_PROXY_USERNAME;
        break;
      case HttpCredential::ProxyPassword:
        option = INTERNET_OPTION_PROXY_PASSWORD;
        break;
    }
    std::wstring wide = Utf8ToWide(text);
    return InternetSetOptionW(handle_.get(), option, const_cast<wchar_t*>(wide.c_str()),
                              static_cast<DWORD>(wide.size())) ||
           Failed(handle_.cause(), "InternetSetOptionW", std::to_string(option));
  }

  std::unique_ptr<HttpRequest> OpenRequest(const HttpRequestOptions& options) override {
    DWORD flags = 0;
    if (options.reload) flags |= INTERNET_FLAG_RELOAD;
    if (options.neverAskUser) flags |= INTERNET_FLAG_NO_UI;
    // TLS with WinINet's certificate checks, none of which is relaxed.
    if (options.secure) flags |= INTERNET_FLAG_SECURE;
    std::wstring widePath = Utf8ToWide(options.path);
    HINTERNET request = HttpOpenRequestW(handle_.get(), L"GET", widePath.c_str(), nullptr, nullptr,
                                         nullptr, flags, 0);
    if (request == nullptr) {
      Failed(handle_.cause(), "HttpOpenRequestW", options.path);
      return nullptr;
    }
    return std::make_unique<WinInetRequest>(request, handle_.cause(), options.path,
                                            options.headers);
  }

  bool Close() override { return handle_.Close(); }

 private:
  InternetHandle handle_;
};

class WinInetSession : public HttpSession {
 public:
  WinInetSession(HINTERNET handle, CauseRecord cause) : handle_(handle, std::move(cause)) {}

  std::unique_ptr<HttpConnection> Connect(const std::string& host, int port) override {
    std::wstring wideHost = Utf8ToWide(host);
    HINTERNET connection =
        InternetConnectW(handle_.get(), wideHost.c_str(), static_cast<INTERNET_PORT>(port), nullptr,
                         nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    if (connection == nullptr) {
      Failed(handle_.cause(), "InternetConnectW", host + ":" + std::to_string(port));
      return nullptr;
    }
    return std::make_unique<WinInetConnection>(connection, handle_.cause());
  }

  bool Close() override { return handle_.Close(); }

 private:
  InternetHandle handle_;
};

}  // namespace

std::unique_ptr<HttpSession> WinInetInternet::Open(const HttpSessionOptions& options) {
  std::wstring wideAgent = Utf8ToWide(options.agent);
  std::wstring wideProxy = Utf8ToWide(options.proxyName);
  DWORD access =
      options.access == HttpAccess::Proxy ? INTERNET_OPEN_TYPE_PROXY : INTERNET_OPEN_TYPE_DIRECT;
  HINTERNET session = InternetOpenW(wideAgent.c_str(), access,
                                    wideProxy.empty() ? nullptr : wideProxy.c_str(), nullptr, 0);
  if (session == nullptr) {
    Failed(cause_, "InternetOpenW", options.agent);
    return nullptr;
  }
  return std::make_unique<WinInetSession>(session, cause_);
}

}  // namespace updater
