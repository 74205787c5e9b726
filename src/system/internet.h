// A synchronous HTTP client in the program's own terms. A session holds the
// client's settings (user agent, proxy, time limits); a connection names one
// server; a request on it is sent, answered with a status and headers, and its
// body is pulled in reads. Opening the session and the connection contacts
// nobody; Send() performs the request up to the final response's headers.
// Every call that can fail returns false (or null) and fills its trailing
// `cause` (never null) with the reason: the library's or the system's error,
// taken at the failure site, as text for the log.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace updater {

// How a session reaches servers.
enum class HttpAccess {
  Direct,  // straight to the server; the system's proxy settings are not consulted
  Proxy,   // through the named proxy
  // As the system is configured: WinINet's preconfigured access on Windows;
  // on POSIX the http_proxy, https_proxy, all_proxy and no_proxy variables
  // of the environment, read by libcurl's rules.
  System,
};

struct HttpSessionOptions {
  std::string Agent;  // the User-Agent header
  HttpAccess Access = HttpAccess::Direct;
  std::string ProxyName;  // "host:port" for HttpAccess::Proxy
  // Time limits of every request of the session, in milliseconds; 0 leaves
  // the backend's own. A limit that runs out fails the call that waited.
  // Connecting to the server (TLS included): Send() fails.
  int ConnectTimeoutMilliseconds = 0;
  // From the request sent to the final response's headers: Send() fails.
  int ResponseTimeoutMilliseconds = 0;
  // A body read that waits this long without any byte arriving: Read() fails.
  int ReceiveTimeoutMilliseconds = 0;
};

// Credentials a connection can be given.
enum class HttpCredential { UserName, Password, ProxyUserName, ProxyPassword };

struct HttpRequestOptions {
  std::string Path;          // from the first "/", query included
  bool Secure = false;       // TLS with certificate verification
  bool Reload = true;        // always from the server, never from a cache
  bool NeverAskUser = true;  // no dialog of the platform's, ever
  // Extra request headers, name and value.
  std::vector<std::pair<std::string, std::string>> Headers;
};

class HttpRequest {
 public:
  virtual ~HttpRequest() = default;
  // Sends the request (again, for a resend) and waits for the final
  // response's headers. False when the server could not be reached or
  // answered nothing.
  [[nodiscard]] virtual bool Send(std::string* cause) = 0;
  // The status of the last response. False when it cannot be read.
  [[nodiscard]] virtual bool Status(uint32_t* status, std::string* cause) = 0;
  // The announced body length of the last response. False when it is absent
  // (no failure: the body then ends when the server ends it).
  [[nodiscard]] virtual bool ContentLength(int64_t* length) = 0;
  // A header of the last response (name matched without regard to letter
  // case), or nothing when it is absent.
  virtual std::optional<std::string> Header(const std::string& name) = 0;
  // Reads up to `size` body bytes (at least 1), blocking only until some
  // arrive. Sets `*received` to 0 at the end of the body. False on a failed
  // read.
  [[nodiscard]] virtual bool Read(void* buffer, int64_t size, int64_t* received,
                                  std::string* cause) = 0;
  // Sets when the waits of the following Send() and Read() calls must end at
  // the latest: `milliseconds` from now on the backend's monotonic clock, on
  // top of the session's time limits; 0 sets no such end. A wait that
  // reaches it fails, and its cause says that the caller's time ran out. A
  // body read whose deadline is within a second of the session's receive
  // limit may end at that limit instead (WinINet).
  virtual void SetDeadline(int64_t milliseconds) = 0;
  // Releases the request; false when the library refused (the request is
  // released all the same).
  [[nodiscard]] virtual bool Close(std::string* cause) = 0;
};

class HttpConnection {
 public:
  virtual ~HttpConnection() = default;
  // Sets a credential offered to the server (or the proxy) from the next send.
  [[nodiscard]] virtual bool SetCredential(HttpCredential credential, const std::string& text,
                                           std::string* cause) = 0;
  // A GET request. Null on failure.
  [[nodiscard]] virtual std::unique_ptr<HttpRequest> OpenRequest(const HttpRequestOptions& options,
                                                                 std::string* cause) = 0;
  [[nodiscard]] virtual bool Close(std::string* cause) = 0;
};

class HttpSession {
 public:
  virtual ~HttpSession() = default;
  // Null on failure.
  [[nodiscard]] virtual std::unique_ptr<HttpConnection> Connect(const std::string& host, int port,
                                                                std::string* cause) = 0;
  [[nodiscard]] virtual bool Close(std::string* cause) = 0;
};

class Internet {
 public:
  virtual ~Internet() = default;
  // Null on failure.
  [[nodiscard]] virtual std::unique_ptr<HttpSession> Open(const HttpSessionOptions& options,
                                                          std::string* cause) = 0;
};

}  // namespace updater
