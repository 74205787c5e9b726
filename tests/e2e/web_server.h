// Real servers for end-to-end tests, started by the test and stopped with
// it: nginx on 127.0.0.1 serving a folder, and tinyproxy as an HTTP proxy.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace updater::testing {

class WebServer {
 public:
  // Serves `root` (a folder) on a free port of 127.0.0.1.
  explicit WebServer(const std::string& root);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  bool Running() const { return pid_ > 0; }
  // "http://127.0.0.1:PORT/"
  std::string BaseURL() const;
  // The requests answered since the server started or the last call, each
  // the path asked for and the body bytes sent; forgets them.
  std::vector<std::pair<std::string, int64_t>> TakeRequests();

 private:
  std::string workFolder_;
  int port_ = 0;
  int pid_ = -1;
};

// tinyproxy on a free port of 127.0.0.1 with a configuration of its own,
// logging every request it forwards.
class ProxyServer {
 public:
  // With a user name, the proxy asks for these basic-authentication
  // credentials and refuses requests without them.
  explicit ProxyServer(const std::string& user = "", const std::string& password = "");
  ~ProxyServer();
  ProxyServer(const ProxyServer&) = delete;
  ProxyServer& operator=(const ProxyServer&) = delete;

  bool Running() const { return pid_ > 0; }
  // "127.0.0.1:PORT"
  std::string Address() const;
  // The URLs of the requests it received, in order.
  std::vector<std::string> Requests() const;

 private:
  std::string workFolder_;
  int port_ = 0;
  int pid_ = -1;
};

// A port on 127.0.0.1 where nothing listens.
int UnusedPort();

}  // namespace updater::testing
