// A scripted HTTP/1.1 server for tests, run in-process on 127.0.0.1 on a port
// of its own. Each request is answered by the handler registered for its path
// (404 otherwise) and the connection is closed after the answer. A response
// can be chunked, cut off before its announced length, never given, or
// dripped a few bytes at a time, which a stock server will not do on request.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace updater::testing {

// One request as the server saw it.
struct SeenRequest {
  std::string Method;
  std::string Target;                          // path and query
  std::map<std::string, std::string> Headers;  // names in lower case
  // The status of the server's answer (0 until it is chosen, and for a
  // silent one) and the body bytes it has sent so far, kept up to date while
  // it sends, so that a test can wait for a point of the body.
  int Status = 0;
  int64_t BodyBytesSent = 0;
};

struct ScriptedResponse {
  int Status = 200;
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;
  // A generated body of this many bytes (a repeating pattern, PatternByte)
  // in place of `body`, for sizes not worth holding in a string.
  int64_t GeneratedSize = -1;
  bool Chunked = false;  // no Content-Length; the body in chunked encoding
  // The Content-Length announced; -1 announces the real size. A larger value
  // with the connection closed after the body is a connection cut.
  int64_t AnnouncedLength = -1;
  // Sends only this many bytes of the body, then closes: a cut connection.
  // -1 sends the whole body.
  int64_t CutAfter = -1;
  // Sends only this many bytes of the body, then nothing more, keeping the
  // connection open until the client hangs up (or the server stops): a
  // transfer caught in the middle for as long as the test needs. -1 sends
  // the whole body.
  int64_t StallAfter = -1;
  // Answers nothing at all until the client hangs up (or the server stops).
  bool Silent = false;
  // Sends the body in pieces of `dripBytes` bytes, with this pause before
  // each piece.
  int DripMilliseconds = 0;
  int DripBytes = 1;
};

// The answer of a server that honours "Range: bytes=N-" for `body`: with
// `headers` (an ETag or Last-Modified among them), a 206 with the rest and
// its Content-Range when If-Range names the ETag or Last-Modified of
// `headers`; otherwise a 200 with the whole body.
ScriptedResponse AnswerWithRanges(const SeenRequest& request, const std::string& body,
                                  std::vector<std::pair<std::string, std::string>> headers);

// A port on 127.0.0.1 whose listener never accepts and whose queue of
// waiting connections is full, so that a connection to it is never made.
class UnansweredPort {
 public:
  UnansweredPort();
  ~UnansweredPort();
  UnansweredPort(const UnansweredPort&) = delete;
  UnansweredPort& operator=(const UnansweredPort&) = delete;
  int Port() const { return port_; }

 private:
  std::vector<intptr_t> sockets_;
  int port_ = 0;
};

// The byte at `offset` of a generated body.
inline uint8_t PatternByte(int64_t offset) { return static_cast<uint8_t>((offset * 7 + 3) % 251); }

class TestServer {
 public:
  using Handler = std::function<ScriptedResponse(const SeenRequest&)>;

  TestServer() = default;
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  // Registers the handler of one path (query excluded); before Start().
  void Handle(const std::string& path, Handler handler) { handlers_[path] = std::move(handler); }
  // Listens on a free port of 127.0.0.1; false when that failed.
  bool Start();
  // Stops listening and waits for the open connections to end.
  void Stop();
  int Port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string URL(const std::string& path) const;
  // The requests seen so far, in order of arrival.
  std::vector<SeenRequest> Requests();

 private:
  void AcceptLoop();
  void Serve(intptr_t connection);
  // Waits up to `milliseconds` for the client to hang up; true when it did or
  // the server is stopping.
  bool HungUpOrStopping(intptr_t connection, int milliseconds);

  std::map<std::string, Handler> handlers_;
  intptr_t listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> connections_;
  std::vector<SeenRequest> requests_;
};

}  // namespace updater::testing
