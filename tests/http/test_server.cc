// A scripted HTTP/1.1 server for tests on plain sockets (BSD sockets or
// Winsock), so that it runs the same in the native and the Windows build.
#include "http/test_server.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketLength = int;
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketLength = socklen_t;
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

namespace updater::testing {

namespace {

#ifdef _WIN32
constexpr int kSendFlags = 0;
using Socket = SOCKET;
void CloseSocket(Socket s) { closesocket(s); }
bool StartSockets() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}
#else
// A client that hangs up early must not end the test process.
constexpr int kSendFlags = MSG_NOSIGNAL;
using Socket = int;
void CloseSocket(Socket s) { close(s); }
bool StartSockets() { return true; }
#endif

bool SendAll(Socket s, const char* data, size_t size) {
  while (size > 0) {
    int sent = send(s, data, static_cast<int>(std::min<size_t>(size, 1 << 20)), kSendFlags);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool SendText(Socket s, const std::string& text) { return SendAll(s, text.data(), text.size()); }

// Sends `size` bytes of the generated body starting at `offset`.
bool SendGenerated(Socket s, int64_t offset, int64_t size) {
  std::string block;
  while (size > 0) {
    int64_t count = std::min<int64_t>(size, 1 << 16);
    block.resize(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) block[static_cast<size_t>(i)] = PatternByte(offset + i);
    if (!SendAll(s, block.data(), block.size())) return false;
    offset += count;
    size -= count;
  }
  return true;
}

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 206:
      return "Partial Content";
    case 302:
      return "Found";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    default:
      return "Status";
  }
}

}  // namespace

ScriptedResponse AnswerWithRanges(const SeenRequest& request, const std::string& body,
                                  std::vector<std::pair<std::string, std::string>> headers) {
  ScriptedResponse response;
  response.Headers = std::move(headers);
  response.Body = body;
  auto range = request.Headers.find("range");
  auto ifRange = request.Headers.find("if-range");
  if (range == request.Headers.end() || ifRange == request.Headers.end()) return response;
  bool current = false;
  for (const auto& [name, value] : response.Headers) current = current || value == ifRange->second;
  const std::string prefix = "bytes=";
  if (!current || range->second.compare(0, prefix.size(), prefix) != 0 ||
      range->second.back() != '-')
    return response;
  size_t first = std::stoull(range->second.substr(prefix.size()));
  if (first >= body.size()) return response;
  response.Status = 206;
  response.Body = body.substr(first);
  response.Headers.push_back({"Content-Range", "bytes " + std::to_string(first) + "-" +
                                                   std::to_string(body.size() - 1) + "/" +
                                                   std::to_string(body.size())});
  return response;
}

UnansweredPort::UnansweredPort() {
  if (!StartSockets()) return;
  Socket listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockets_.push_back(static_cast<intptr_t>(listener));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  SocketLength length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 0) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return;
  port_ = ntohs(address.sin_port);
  // Connections of our own fill the queue; the system drops later attempts
  // unanswered, and their senders wait.
  for (int i = 0; i < 3; ++i) {
    Socket filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockets_.push_back(static_cast<intptr_t>(filler));
#ifdef _WIN32
    u_long nonBlocking = 1;
    ioctlsocket(filler, FIONBIO, &nonBlocking);
#else
    fcntl(filler, F_SETFL, fcntl(filler, F_GETFL) | O_NONBLOCK);
#endif
    connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  // Let the handshakes of the fillers finish.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

UnansweredPort::~UnansweredPort() {
  for (intptr_t s : sockets_) CloseSocket(static_cast<Socket>(s));
}

TestServer::~TestServer() { Stop(); }

bool TestServer::Start() {
  if (!StartSockets()) return false;
  Socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  SocketLength length = sizeof address;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 16) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    CloseSocket(s);
    return false;
  }
  listener_ = static_cast<intptr_t>(s);
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void TestServer::Stop() {
  if (!acceptor_.joinable()) return;
  stopping_ = true;
  acceptor_.join();
  CloseSocket(static_cast<Socket>(listener_));
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections.swap(connections_);
  }
  for (std::thread& connection : connections) connection.join();
}

std::string TestServer::URL(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<SeenRequest> TestServer::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void TestServer::AcceptLoop() {
  Socket listener = static_cast<Socket>(listener_);
  while (!stopping_) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(listener, &ready);
    timeval wait{0, 50 * 1000};
    if (select(static_cast<int>(listener) + 1, &ready, nullptr, nullptr, &wait) <= 0) continue;
    Socket connection = accept(listener, nullptr, nullptr);
#ifdef _WIN32
    if (connection == INVALID_SOCKET) continue;
#else
    if (connection < 0) continue;
#endif
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.emplace_back([this, connection] { Serve(static_cast<intptr_t>(connection)); });
  }
}

void TestServer::Serve(intptr_t handle) {
  Socket s = static_cast<Socket>(handle);
  // Read the request head.
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(s, &ready);
    timeval wait{10, 0};
    if (select(static_cast<int>(s) + 1, &ready, nullptr, nullptr, &wait) <= 0) break;
    int got = recv(s, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    head.append(buffer, static_cast<size_t>(got));
  }
  size_t end = head.find("\r\n\r\n");
  if (end == std::string::npos) {
    CloseSocket(s);
    return;
  }
  SeenRequest request;
  size_t lineEnd = head.find("\r\n");
  std::string line = head.substr(0, lineEnd);
  size_t space = line.find(' ');
  size_t space2 = line.find(' ', space + 1);
  request.Method = line.substr(0, space);
  request.Target = line.substr(space + 1, space2 - space - 1);
  for (size_t at = lineEnd + 2; at < end;) {
    size_t next = head.find("\r\n", at);
    std::string field = head.substr(at, next - at);
    size_t colon = field.find(':');
    if (colon != std::string::npos) {
      std::string name = field.substr(0, colon);
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      size_t value = field.find_first_not_of(' ', colon + 1);
      request.Headers[name] = value == std::string::npos ? "" : field.substr(value);
    }
    at = next + 2;
  }
  size_t record = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    record = requests_.size();
    requests_.push_back(request);
  }

  ScriptedResponse response;
  std::string path = request.Target.substr(0, request.Target.find('?'));
  auto handler = handlers_.find(path);
  if (handler != handlers_.end()) {
    response = handler->second(request);
  } else {
    response.Status = 404;
    response.Body = "not found";
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_[record].Status = response.Silent ? 0 : response.Status;
  }
  if (response.Silent) {
    while (!HungUpOrStopping(handle, 1000)) {
    }
    CloseSocket(s);
    return;
  }
  int64_t size = response.GeneratedSize >= 0 ? response.GeneratedSize
                                             : static_cast<int64_t>(response.Body.size());
  std::string answer = "HTTP/1.1 " + std::to_string(response.Status) + " " +
                       Reason(response.Status) + "\r\nConnection: close\r\n";
  for (const auto& [name, value] : response.Headers) answer += name + ": " + value + "\r\n";
  if (response.Chunked) {
    answer += "Transfer-Encoding: chunked\r\n";
  } else if (response.Status != 204) {
    int64_t announced = response.AnnouncedLength >= 0 ? response.AnnouncedLength : size;
    answer += "Content-Length: " + std::to_string(announced) + "\r\n";
  }
  answer += "\r\n";
  bool sent = SendText(s, answer);
  const bool cut = response.CutAfter >= 0 && response.CutAfter < size;
  if (cut) size = response.CutAfter;
  const bool stall = response.StallAfter >= 0 && response.StallAfter < size;
  if (stall) size = response.StallAfter;
  // Sends `count` bytes of the body from `offset` on, in pieces, and counts
  // each piece in the request's record once it is sent.
  auto sendBody = [&](int64_t offset, int64_t count) {
    while (count > 0) {
      const int64_t piece = std::min<int64_t>(count, 1 << 16);
      if (!(response.GeneratedSize >= 0
                ? SendGenerated(s, offset, piece)
                : SendAll(s, response.Body.data() + offset, static_cast<size_t>(piece))))
        return false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_[record].BodyBytesSent += piece;
      }
      offset += piece;
      count -= piece;
    }
    return true;
  };
  if (response.DripMilliseconds > 0) {
    const int64_t piece = std::max(response.DripBytes, 1);
    for (int64_t offset = 0; sent && offset < size; offset += piece) {
      sent = !HungUpOrStopping(handle, response.DripMilliseconds);
      sent = sent && sendBody(offset, std::min(piece, size - offset));
    }
  } else if (response.Chunked) {
    // Chunks of uneven sizes, then the last chunk.
    for (int64_t offset = 0, step = 1000; sent && offset < size; offset += step, step += 777) {
      int64_t count = std::min(step, size - offset);
      char sizeLine[32];
      std::snprintf(sizeLine, sizeof sizeLine, "%llx\r\n", static_cast<unsigned long long>(count));
      sent = SendText(s, sizeLine) && sendBody(offset, count) && SendText(s, "\r\n");
    }
    if (sent && !cut && !stall) SendText(s, "0\r\n\r\n");
  } else if (sent && response.Status != 204) {
    sendBody(0, size);
  }
  if (stall) {
    while (!HungUpOrStopping(handle, 1000)) {
    }
    CloseSocket(s);
    return;
  }
#ifdef _WIN32
  shutdown(s, SD_SEND);
#else
  shutdown(s, SHUT_WR);
#endif
  // Let the client read everything before the socket goes away, but do not
  // wait for a client that never hangs up.
  for (;;) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(s, &ready);
    timeval wait{5, 0};
    if (select(static_cast<int>(s) + 1, &ready, nullptr, nullptr, &wait) <= 0) break;
    if (recv(s, buffer, sizeof buffer, 0) <= 0) break;
  }
  CloseSocket(s);
}

bool TestServer::HungUpOrStopping(intptr_t handle, int milliseconds) {
  Socket s = static_cast<Socket>(handle);
  char buffer[4096];
  for (int waited = 0; waited < milliseconds; waited += 50) {
    if (stopping_) return true;
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(s, &ready);
    int step = std::min(50, milliseconds - waited);
    timeval wait{0, step * 1000};
    // Bytes after the request are read and dropped; nothing or an error is
    // the client gone.
    if (select(static_cast<int>(s) + 1, &ready, nullptr, nullptr, &wait) > 0 &&
        recv(s, buffer, sizeof buffer, 0) <= 0)
      return true;
  }
  return false;
}

}  // namespace updater::testing
