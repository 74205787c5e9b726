// A fake of the platform's HTTP client that serves canned responses by URL.
#include "support/fake_web.h"

#include <algorithm>
#include <cstring>

namespace updater::testing {

class FakeWebRequest : public HttpRequest {
 public:
  FakeWebRequest(FakeWeb& web, std::string key, bool unreachable)
      : web_(web), key_(std::move(key)), unreachable_(unreachable) {}

  bool Send(std::string* cause) override {
    if (unreachable_) {
      *cause = "fake: " + key_ + " is unreachable";
      return false;
    }
    web_.Requested.push_back(key_);
    auto found = web_.responses_.find(key_);
    response_ = found == web_.responses_.end() ? FakeWeb::Response{} : found->second;
    offset_ = 0;
    return true;
  }

  bool Status(uint32_t* status, std::string*) override {
    *status = static_cast<uint32_t>(response_.Status);
    return true;
  }
  bool ContentLength(int64_t* length) override {
    *length = static_cast<int64_t>(response_.Body.size());
    return true;
  }
  std::optional<std::string> Header(const std::string&) override { return std::nullopt; }

  bool Read(void* buffer, int64_t size, int64_t* received, std::string*) override {
    size_t count = std::min<size_t>(static_cast<size_t>(size), response_.Body.size() - offset_);
    std::memcpy(buffer, response_.Body.data() + offset_, count);
    offset_ += count;
    *received = static_cast<int64_t>(count);
    return true;
  }

  void SetDeadline(int64_t) override {}
  bool Close(std::string*) override { return true; }

 private:
  FakeWeb& web_;
  std::string key_;
  bool unreachable_;
  FakeWeb::Response response_;
  size_t offset_ = 0;
};

namespace {

class FakeWebConnection : public HttpConnection {
 public:
  FakeWebConnection(FakeWeb& web, std::string host, bool unreachable)
      : web_(web), host_(std::move(host)), unreachable_(unreachable) {}
  bool SetCredential(HttpCredential, const std::string&, std::string*) override { return true; }
  std::unique_ptr<HttpRequest> OpenRequest(const HttpRequestOptions& options,
                                           std::string*) override {
    return std::make_unique<FakeWebRequest>(web_, host_ + options.Path, unreachable_);
  }
  bool Close(std::string*) override { return true; }

 private:
  FakeWeb& web_;
  std::string host_;
  bool unreachable_;
};

class FakeWebSession : public HttpSession {
 public:
  FakeWebSession(FakeWeb& web, const std::set<std::string>& unreachable)
      : web_(web), unreachable_(unreachable) {}
  std::unique_ptr<HttpConnection> Connect(const std::string& host, int, std::string*) override {
    return std::make_unique<FakeWebConnection>(web_, host, unreachable_.count(host) > 0);
  }
  bool Close(std::string*) override { return true; }

 private:
  FakeWeb& web_;
  const std::set<std::string>& unreachable_;
};

}  // namespace

void FakeWeb::Serve(const std::string& url, const std::string& body, int status) {
  std::string key = url.substr(url.find("//") + 2);
  responses_[key] = Response{status, body};
}

std::unique_ptr<HttpSession> FakeWeb::Open(const HttpSessionOptions& options, std::string*) {
  Agents.push_back(options.Agent);
  return std::make_unique<FakeWebSession>(*this, unreachable_);
}

}  // namespace updater::testing
