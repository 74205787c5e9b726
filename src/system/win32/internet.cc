// The HTTP client on Windows: WinINet, synchronous. Each object owns one
// WinINet handle and closes it once.
#include "system/win32/internet.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "system/win32/system_error.h"
#include "system/win32/wide_text.h"

namespace updater {

namespace {

// Gives the cause of a failed WinINet call with the error it left; always
// false.
bool Failed(std::string* cause, std::string_view call, std::string_view subject) {
  *cause = Win32Cause(call, subject, GetLastError());
  return false;
}

// How long closing a request whose body was not read to its end may take
// before it is left to finish by itself. A close that only drops a cut
// connection ends at once, also on a busy machine; a close still running when
// the process ends is cut off by the process's end, which is best avoided.
constexpr DWORD kLongestCloseMilliseconds = 5000;

// How much later than the caller's deadline a body read may end when the
// session's receive limit is about as soon.
constexpr int kDeadlineSlack = 1000;

// The session's time limits, in milliseconds; 0 leaves WinINet's own.
struct TimeLimits {
  int Connect = 0;
  int Response = 0;
  int Receive = 0;
};

// "30 s" for a limit of whole seconds, else "1500 ms".
std::string LimitText(int milliseconds) {
  if (milliseconds % 1000 == 0) return std::to_string(milliseconds / 1000) + " s";
  return std::to_string(milliseconds) + " ms";
}

// True when a call that failed with `error` after `elapsed` milliseconds ran
// out of its limit: WinINet says so, or (as Wine's WinINet does) reports the
// socket's time-out or a broken connection once the limit has passed.
bool TimedOut(DWORD error, ULONGLONG elapsed, int limit) {
  if (limit <= 0) return false;
  return error == ERROR_INTERNET_TIMEOUT || error == WSAETIMEDOUT ||
         elapsed >= static_cast<ULONGLONG>(limit);
}

// The shorter of two limits, 0 or less standing for none.
int ShorterLimit(int first, int second) {
  if (first <= 0) return second;
  if (second <= 0) return first;
  return std::min(first, second);
}

// Sets a time-out option of a handle; 0 sets nothing.
bool SetTimeout(HINTERNET handle, DWORD option, int milliseconds) {
  if (milliseconds <= 0) return true;
  DWORD value = static_cast<DWORD>(milliseconds);
  return InternetSetOptionW(handle, option, &value, sizeof value) != FALSE;
}

// Owns one WinINet handle.
class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
  ~InternetHandle() {
    if (handle_ != nullptr) InternetCloseHandle(handle_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;

  HINTERNET get() const { return handle_; }
  // Gives up the handle without closing it.
  HINTERNET Release() {
    HINTERNET handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  bool Close(std::string* cause) {
    if (handle_ == nullptr) return true;
    HINTERNET handle = handle_;
    handle_ = nullptr;
    return InternetCloseHandle(handle) || Failed(cause, "InternetCloseHandle", "");
  }

 private:
  HINTERNET handle_;
};

class WinInetRequest : public HttpRequest {
 public:
  WinInetRequest(HINTERNET handle, std::string path,
                 const std::vector<std::pair<std::string, std::string>>& headers, TimeLimits limits)
      : handle_(handle), path_(std::move(path)), limits_(limits) {
    for (const auto& [name, value] : headers) headers_ += Utf8ToWide(name + ": " + value + "\r\n");
  }

  bool Send(std::string* cause) override {
    const ULONGLONG start = GetTickCount64();
    const int left = MillisecondsLeft(start);
    if (left == 0) return DeadlinePassed("the response headers", "", cause);
    // The limits are set on the request itself: Wine's WinINet does not pass
    // a session's connect limit on. The wait for the response is a receive
    // on the socket, so until the headers are in the receive limit is the
    // response limit. A deadline of the caller's shortens the limits it comes
    // before.
    if (!SetTimeout(handle_.get(), INTERNET_OPTION_CONNECT_TIMEOUT,
                    ShorterLimit(limits_.Connect, left)) ||
        !SetTimeout(handle_.get(), INTERNET_OPTION_SEND_TIMEOUT,
                    ShorterLimit(limits_.Response, left)) ||
        !SetTimeout(handle_.get(), INTERNET_OPTION_RECEIVE_TIMEOUT,
                    ShorterLimit(limits_.Response, left)))
      return Failed(cause, "InternetSetOptionW(time-out)", path_);
    auto call = std::make_shared<BlockingCall>();
    call->Request = handle_.get();
    call->Headers = headers_;
    // With both limits set the call may take them together, and never longer
    // than the caller's deadline allows.
    int wait = limits_.Connect > 0 && limits_.Response > 0 ? limits_.Connect + limits_.Response : 0;
    wait = ShorterLimit(wait, left);
    DWORD error = 0;
    if (!MakeWithin(call, wait, &error)) {
      std::string failure = Win32Cause("HttpSendRequestW", path_, error);
      if (MillisecondsLeft(GetTickCount64()) == 0)
        return DeadlinePassed("the response headers", failure, cause);
      if (TimedOut(error, GetTickCount64() - start,
                   ShorterLimit(limits_.Connect, limits_.Response)))
        failure = "no connection within " + LimitText(limits_.Connect) +
                  " or no response headers within " + LimitText(limits_.Response) + " (" + failure +
                  ")";
      *cause = failure;
      return false;
    }
    answered_ = true;
    bodyEnded_ = false;
    return SetTimeout(handle_.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, limits_.Receive) ||
           Failed(cause, "InternetSetOptionW(INTERNET_OPTION_RECEIVE_TIMEOUT)", path_);
  }

  bool Status(uint32_t* status, std::string* cause) override {
    DWORD number = 0;
    if (!QueryNumber(HTTP_QUERY_STATUS_CODE, &number))
      return Failed(cause, "HttpQueryInfoW(HTTP_QUERY_STATUS_CODE)", path_);
    *status = number;
    return true;
  }

  // Read as text: the number WinINet gives is a DWORD, which stops at 4 GiB.
  bool ContentLength(int64_t* length) override {
    wchar_t text[32] = {};
    DWORD size = sizeof text - sizeof text[0];
    if (!HttpQueryInfoW(handle_.get(), HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr))
      return false;
    const size_t digits = size / sizeof text[0];
    if (digits == 0 || digits > 18) return false;
    int64_t number = 0;
    for (size_t i = 0; i < digits; ++i) {
      if (text[i] < L'0' || text[i] > L'9') return false;
      number = number * 10 + (text[i] - L'0');
    }
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

  bool Read(void* buffer, int64_t size, int64_t* received, std::string* cause) override {
    *received = 0;
    if (size < 1) {
      *cause = "InternetReadFile: a read of " + std::to_string(size) + " bytes";
      return false;
    }
    const ULONGLONG start = GetTickCount64();
    const int left = MillisecondsLeft(start);
    if (left == 0) return DeadlinePassed("body data", "", cause);
    // A synchronous InternetReadFile waits until the whole size has come, so
    // a server that sends a byte now and then would hold it for ever; asking
    // first what has arrived waits only for some bytes. Wine's WinINet keeps
    // the receive limit the socket had when the headers came, whatever is set
    // later, so a deadline clearly sooner than that limit is kept by waiting
    // for the call on a thread; one within kDeadlineSlack of the limit (a
    // steady body's, some 30 s after its latest bytes) is left to the limit,
    // which saves a thread for every read.
    auto call = std::make_shared<BlockingCall>();
    call->Kind = BlockingCall::QueryDataAvailable;
    call->Request = handle_.get();
    const int wait =
        left > 0 && (limits_.Receive <= 0 || left + kDeadlineSlack < limits_.Receive) ? left : 0;
    DWORD error = 0;
    if (!MakeWithin(call, wait, &error)) {
      std::string failure = Win32Cause("InternetQueryDataAvailable", path_, error);
      if (MillisecondsLeft(GetTickCount64()) == 0)
        return DeadlinePassed("body data", failure, cause);
      if (TimedOut(error, GetTickCount64() - start, limits_.Receive))
        failure = "no body data for " + LimitText(limits_.Receive) + " (" + failure + ")";
      *cause = failure;
      return false;
    }
    if (call->Available == 0) {
      bodyEnded_ = true;
      return true;
    }
    // WinINet counts in DWORDs: a larger buffer is filled up to what has
    // arrived, which a DWORD holds.
    const DWORD want = static_cast<DWORD>(std::min<int64_t>(size, call->Available));
    DWORD count = 0;
    if (!InternetReadFile(handle_.get(), buffer, want, &count))
      return Failed(cause, "InternetReadFile", path_);
    *received = count;
    return true;
  }

  void SetDeadline(int64_t milliseconds) override {
    deadline_ = milliseconds <= 0 ? 0 : GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
  }

  bool Close(std::string* cause) override {
    if (!answered_ || bodyEnded_ || handle_.get() == nullptr) return handle_.Close(cause);
    // Wine's WinINet reads what is left of an unread body when the handle
    // closes, to keep the connection, for as long as bytes keep coming: a
    // body without end would hold the close for ever. So the close runs on a
    // thread of its own, and one that takes longer than a moment is left to
    // end by itself.
    HINTERNET handle = handle_.Release();
    HANDLE thread = CreateThread(nullptr, 0, &CloseInternetHandle, handle, 0, nullptr);
    if (thread == nullptr)
      return InternetCloseHandle(handle) || Failed(cause, "InternetCloseHandle", path_);
    WaitForSingleObject(thread, kLongestCloseMilliseconds);
    CloseHandle(thread);
    return true;
  }

 private:
  static DWORD WINAPI CloseInternetHandle(void* handle) {
    InternetCloseHandle(static_cast<HINTERNET>(handle));
    return 0;
  }

  // The milliseconds from `now` to the caller's deadline, 0 once it has
  // passed, or -1 when there is none.
  int MillisecondsLeft(ULONGLONG now) const {
    if (deadline_ == 0) return -1;
    if (now >= deadline_) return 0;
    return static_cast<int>(std::min<ULONGLONG>(deadline_ - now, 0x7FFFFFFF));
  }

  // Gives in `*cause` that the caller's deadline passed while waiting for
  // `what`, after the call's own `failure` if any; always false.
  bool DeadlinePassed(const char* what, const std::string& failure, std::string* cause) {
    *cause = std::string("the caller's time ran out while waiting for ") + what + " (" +
             (failure.empty() ? path_ : failure) + ")";
    return false;
  }

  // One blocking WinINet call on the request and its outcome, shared by the
  // caller and the thread that may make it, so that either may be the last
  // to let go.
  struct BlockingCall {
    enum Kind { SendRequest, QueryDataAvailable } Kind = SendRequest;
    HINTERNET Request = nullptr;
    std::wstring Headers;   // SendRequest: the extra request headers
    DWORD Available = 0;    // QueryDataAvailable: the bytes waiting
    HANDLE Done = nullptr;  // set once the call returned
    bool Succeeded = false;
    DWORD Error = 0;

    ~BlockingCall() {
      if (Done != nullptr) CloseHandle(Done);
    }
    void Make() {
      if (Kind == SendRequest) {
        // No extra headers unless the request has some (a resumed download).
        Succeeded = HttpSendRequestW(Request, Headers.empty() ? nullptr : Headers.c_str(),
                                     static_cast<DWORD>(Headers.size()), nullptr, 0) != FALSE;
      } else {
        Succeeded = InternetQueryDataAvailable(Request, &Available, 0, 0) != FALSE;
      }
      Error = Succeeded ? 0 : GetLastError();
    }
    static DWORD WINAPI Run(void* parameter) {
      std::unique_ptr<std::shared_ptr<BlockingCall>> call(
          static_cast<std::shared_ptr<BlockingCall>*>(parameter));
      (*call)->Make();
      SetEvent((*call)->Done);
      return 0;
    }
  };

  // Makes `call` and waits for it at most `wait` milliseconds; with no wait
  // (0 or less) it is made on this thread for as long as it takes. False
  // with the error in `*error`.
  //
  // WinINet does not always keep its limits (Wine's keeps no connect limit,
  // nor did older Windows, and see Read), and a connection the system keeps
  // trying for minutes would hold the call. So a bounded call runs on a
  // thread of its own; when it outlasts the wait, the request handle is
  // closed, which cancels it where WinINet can, and the thread is left to
  // end by itself.
  bool MakeWithin(const std::shared_ptr<BlockingCall>& call, int wait, DWORD* error) {
    HANDLE thread = nullptr;
    if (wait > 0) {
      call->Done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      if (call->Done != nullptr) {
        auto* reference = new std::shared_ptr<BlockingCall>(call);
        thread = CreateThread(nullptr, 0, &BlockingCall::Run, reference, 0, nullptr);
        if (thread == nullptr) delete reference;
      }
    }
    if (thread == nullptr) {
      call->Make();
    } else {
      CloseHandle(thread);
      if (WaitForSingleObject(call->Done, static_cast<DWORD>(wait)) != WAIT_OBJECT_0) {
        // The close only cancels; the time-out is the failure to report.
        std::string ignored;
        handle_.Close(&ignored);
        *error = ERROR_INTERNET_TIMEOUT;
        return false;
      }
    }
    *error = call->Error;
    return call->Succeeded;
  }

  bool QueryNumber(DWORD query, DWORD* number) {
    DWORD length = sizeof *number;
    return HttpQueryInfoW(handle_.get(), query | HTTP_QUERY_FLAG_NUMBER, number, &length,
                          nullptr) != FALSE;
  }

  InternetHandle handle_;
  std::string path_;
  std::wstring headers_;
  TimeLimits limits_;
  ULONGLONG deadline_ = 0;  // the caller's, on GetTickCount64; 0 when none
  bool answered_ = false;   // Send() succeeded: a body may be waiting
  bool bodyEnded_ = false;  // a read found the end of the body
};

class WinInetConnection : public HttpConnection {
 public:
  WinInetConnection(HINTERNET handle, TimeLimits limits) : handle_(handle), limits_(limits) {}

  bool SetCredential(HttpCredential credential, const std::string& text,
                     std::string* cause) override {
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
           Failed(cause, "InternetSetOptionW", std::to_string(option));
  }

  std::unique_ptr<HttpRequest> OpenRequest(const HttpRequestOptions& options,
                                           std::string* cause) override {
    DWORD flags = 0;
    if (options.Reload) flags |= INTERNET_FLAG_RELOAD;
    if (options.NeverAskUser) flags |= INTERNET_FLAG_NO_UI;
    // TLS with WinINet's certificate checks, none of which is relaxed.
    if (options.Secure) flags |= INTERNET_FLAG_SECURE;
    std::wstring widePath = Utf8ToWide(options.Path);
    HINTERNET request = HttpOpenRequestW(handle_.get(), L"GET", widePath.c_str(), nullptr, nullptr,
                                         nullptr, flags, 0);
    if (request == nullptr) {
      Failed(cause, "HttpOpenRequestW", options.Path);
      return nullptr;
    }
    return std::make_unique<WinInetRequest>(request, options.Path, options.Headers, limits_);
  }

  bool Close(std::string* cause) override { return handle_.Close(cause); }

 private:
  InternetHandle handle_;
  TimeLimits limits_;
};

class WinInetSession : public HttpSession {
 public:
  WinInetSession(HINTERNET handle, TimeLimits limits) : handle_(handle), limits_(limits) {}

  std::unique_ptr<HttpConnection> Connect(const std::string& host, int port,
                                          std::string* cause) override {
    std::wstring wideHost = Utf8ToWide(host);
    HINTERNET connection =
        InternetConnectW(handle_.get(), wideHost.c_str(), static_cast<INTERNET_PORT>(port), nullptr,
                         nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    if (connection == nullptr) {
      Failed(cause, "InternetConnectW", host + ":" + std::to_string(port));
      return nullptr;
    }
    return std::make_unique<WinInetConnection>(connection, limits_);
  }

  bool Close(std::string* cause) override { return handle_.Close(cause); }

 private:
  InternetHandle handle_;
  TimeLimits limits_;
};

}  // namespace

std::unique_ptr<HttpSession> WinInetInternet::Open(const HttpSessionOptions& options,
                                                   std::string* cause) {
  std::wstring wideAgent = Utf8ToWide(options.Agent);
  std::wstring wideProxy = Utf8ToWide(options.ProxyName);
  DWORD access = INTERNET_OPEN_TYPE_DIRECT;
  if (options.Access == HttpAccess::Proxy) access = INTERNET_OPEN_TYPE_PROXY;
  if (options.Access == HttpAccess::System) access = INTERNET_OPEN_TYPE_PRECONFIG;
  const bool named = access == INTERNET_OPEN_TYPE_PROXY && !wideProxy.empty();
  // The proxy bypass list stays null: an empty one would be taken as a list.
  HINTERNET session =
      InternetOpenW(wideAgent.c_str(), access, named ? wideProxy.c_str() : nullptr, nullptr, 0);
  if (session == nullptr) {
    Failed(cause, "InternetOpenW", options.Agent);
    return nullptr;
  }
  // Set explicitly: WinINet's defaults differ between systems, and some wait
  // for ever. Each request sets all its limits again.
  TimeLimits limits{options.ConnectTimeoutMilliseconds, options.ResponseTimeoutMilliseconds,
                    options.ReceiveTimeoutMilliseconds};
  if (!SetTimeout(session, INTERNET_OPTION_CONNECT_TIMEOUT, limits.Connect)) {
    Failed(cause, "InternetSetOptionW(INTERNET_OPTION_CONNECT_TIMEOUT)", options.Agent);
    InternetCloseHandle(session);
    return nullptr;
  }
  return std::make_unique<WinInetSession>(session, limits);
}

}  // namespace updater
