// A fake of the platform's HTTP client that serves canned responses by URL,
// for tests of the logic above the HTTP client (the update check, the
// downloads, the self-update) without a network.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "system/internet.h"

namespace updater::testing {

class FakeWeb : public Internet {
 public:
  // Serves `body` with `status` for a GET of `url` ("http://host/path").
  void Serve(const std::string& url, const std::string& body, int status = 200);
  // Requests to `host` fail to send, as for a server that is down.
  void Unreachable(const std::string& host) { unreachable_.insert(host); }

  std::unique_ptr<HttpSession> Open(const HttpSessionOptions& options, std::string* cause) override;

  // Every request sent, as "host/path", in order.
  std::vector<std::string> Requested;
  // The user agent of every session opened, in order.
  std::vector<std::string> Agents;

 private:
  friend class FakeWebRequest;
  struct Response {
    int Status = 404;
    std::string Body;
  };
  std::map<std::string, Response> responses_;  // by "host/path"
  std::set<std::string> unreachable_;
};

}  // namespace updater::testing
