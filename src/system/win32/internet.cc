// The HTTP client on Windows: WinINet, synchronous. Each object owns one
// WinINet handle and closes it once.
#include "system/win32/internet.h"

#include <windows.h>
#include <wininet.h>

#include "system/win32/wide_text.h"

namespace updater {

namespace {

// Owns one WinINet handle.
class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
  ~InternetHandle() { Close(); }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;

  HINTERNET get() const { return handle_; }
  bool Close() {
    if (handle_ == nullptr) return true;
    HINTERNET handle = handle_;
    handle_ = nullptr;
    return InternetCloseHandle(handle) != FALSE;
  }

 private:
  HINTERNET handle_;
};

class WinInetRequest : public HttpRequest {
 public:
  explicit WinInetRequest(HINTERNET handle) : handle_(handle) {}

  bool Send() override { return HttpSendRequestW(handle_.get(), nullptr, 0, nullptr, 0) != FALSE; }

  bool QueryNumber(uint32_t query, uint32_t* value) override {
    DWORD number = 0;
    DWORD length = sizeof number;
    if (!HttpQueryInfoW(handle_.get(), query, &number, &length, nullptr)) return false;
    *value = number;
    return true;
  }

  bool Read(void* buffer, uint32_t size, uint32_t* received) override {
    DWORD count = 0;
    bool read = InternetReadFile(handle_.get(), buffer, size, &count) != FALSE;
    *received = read ? count : 0;
    return read;
  }

  bool Close() override { return handle_.Close(); }

 private:
  InternetHandle handle_;
};

class WinInetConnection : public HttpConnection {
 public:
  explicit WinInetConnection(HINTERNET handle) : handle_(handle) {}

  bool SetOption(uint32_t option, const std::string& text) override {
    std::wstring wide = Utf8ToWide(text);
    return InternetSetOptionW(handle_.get(), option, const_cast<wchar_t*>(wide.c_str()),
                              static_cast<DWORD>(wide.size())) != FALSE;
  }

  std::unique_ptr<HttpRequest> OpenRequest(const std::string& verb, const std::string& path,
                                           uint32_t flags, bool secure) override {
    std::wstring wideVerb = Utf8ToWide(verb);
    std::wstring widePath = Utf8ToWide(path);
    // TLS with WinINet's certificate checks, none of which is relaxed.
    if (secure) flags |= INTERNET_FLAG_SECURE;
    HINTERNET request = HttpOpenRequestW(handle_.get(), wideVerb.c_str(), widePath.c_str(), nullptr,
                                         nullptr, nullptr, flags, 0);
    if (request == nullptr) return nullptr;
    return std::make_unique<WinInetRequest>(request);
  }

  bool Close() override { return handle_.Close(); }

 private:
  InternetHandle handle_;
};

class WinInetSession : public HttpSession {
 public:
  explicit WinInetSession(HINTERNET handle) : handle_(handle) {}

  std::unique_ptr<HttpConnection> Connect(const std::string& host, int port) override {
    std::wstring wideHost = Utf8ToWide(host);
    HINTERNET connection =
        InternetConnectW(handle_.get(), wideHost.c_str(), static_cast<INTERNET_PORT>(port), nullptr,
                         nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    if (connection == nullptr) return nullptr;
    return std::make_unique<WinInetConnection>(connection);
  }

  bool Close() override { return handle_.Close(); }

 private:
  InternetHandle handle_;
};

}  // namespace

std::unique_ptr<HttpSession> WinInetInternet::Open(const std::string& agent, int32_t accessType,
                                                   const std::string& proxyName) {
  std::wstring wideAgent = Utf8ToWide(agent);
  std::wstring wideProxy = Utf8ToWide(proxyName);
  HINTERNET session = InternetOpenW(wideAgent.c_str(), static_cast<DWORD>(accessType),
                                    wideProxy.empty() ? nullptr : wideProxy.c_str(), nullptr, 0);
  if (session == nullptr) return nullptr;
  return std::make_unique<WinInetSession>(session);
}

}  // namespace updater
