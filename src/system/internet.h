// A synchronous HTTP client in the shape of WinINet's handles: a session, a
// connection to one host, and a request on it whose body is pulled in reads.
// Opening the session and the connection contacts nobody; Send() performs the
// request up to the response headers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace updater {

// Option numbers accepted by HttpConnection::SetOption.
enum InternetOption : uint32_t {
  kOptionUserName = 28,
  kOptionPassword = 29,
  kOptionProxyUserName = 43,
  kOptionProxyPassword = 44,
};

// Queries accepted by HttpRequest::QueryNumber.
enum HttpQuery : uint32_t {
  kQueryStatusCode = 0x20000013,     // HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER
  kQueryContentLength = 0x20000005,  // HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER
};

enum InternetAccessType : int32_t {
  kAccessDirect = 1,  // INTERNET_OPEN_TYPE_DIRECT
  kAccessProxy = 3,   // INTERNET_OPEN_TYPE_PROXY
};

class HttpRequest {
 public:
  virtual ~HttpRequest() = default;
  // Sends the request (again, for a resend) and waits for the response
  // headers. False when the server could not be reached or answered nothing.
  virtual bool Send() = 0;
  // Reads a numeric header of the last response. False when it is absent.
  virtual bool QueryNumber(uint32_t query, uint32_t* value) = 0;
  // Reads up to `size` body bytes, blocking only until some arrive. Sets
  // `*received` to 0 at the end of the body. False on a failed read.
  virtual bool Read(void* buffer, uint32_t size, uint32_t* received) = 0;
  virtual bool Close() = 0;
};

class HttpConnection {
 public:
  virtual ~HttpConnection() = default;
  virtual bool SetOption(uint32_t option, const std::string& text) = 0;
  // `flags` are WinINet request flags; `secure` asks for TLS with certificate
  // verification. Null on failure.
  virtual std::unique_ptr<HttpRequest> OpenRequest(const std::string& verb, const std::string& path,
                                                   uint32_t flags, bool secure) = 0;
  virtual bool Close() = 0;
};

class HttpSession {
 public:
  virtual ~HttpSession() = default;
  // Null on failure.
  virtual std::unique_ptr<HttpConnection> Connect(const std::string& host, int port) = 0;
  virtual bool Close() = 0;
};

class Internet {
 public:
  virtual ~Internet() = default;
  // Null on failure.
  virtual std::unique_ptr<HttpSession> Open(const std::string& agent, int32_t accessType,
                                            const std::string& proxyName) = 0;
};

}  // namespace updater
