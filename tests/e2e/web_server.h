// A real web server for end-to-end tests: nginx on 127.0.0.1 serving a
// folder, started by the test and stopped with it.
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

// A port on 127.0.0.1 where nothing listens.
int UnusedPort();

}  // namespace updater::testing
