// The GET client's steps over a scripted HTTP session: defaults, argument
// errors, the failure of each platform call, handle closing and the hooks.
#include "transfer/http_get.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "support/fake_platform.h"
#include "support/temp_folder.h"

namespace updater {
namespace {

using testing::FakePlatform;
using testing::FileExists;
using testing::TempFolder;

// One scripted session, connection and request; records what the client asks.
struct Script {
  // Where the platform refuses: "open", "connect", "option", "request",
  // "send", "status", "read", "auth", or empty.
  std::string failAt;
  std::deque<uint32_t> statuses{200};  // one per Send
  bool hasLength = true;
  uint32_t contentLength = 5;
  std::deque<std::string> chunks{"hello"};
  int64_t endlessBytes = 0;  // after the chunks: reads that fill every buffer, up to this total
  bool closeResult = true;
  // Milliseconds each read waits on `clock` before it returns, in order; then
  // none.
  std::deque<uint64_t> readDelays;
  testing::FakeClock* clock = nullptr;
  HttpSessionOptions session;  // as the client opened it

  std::vector<std::string> calls;
  std::vector<std::pair<HttpCredential, std::string>> options;
  std::vector<std::string> closed;
  std::string agent, proxyName, host, path;
  HttpAccess access = HttpAccess::Direct;
  int port = 0;
  bool reload = false, neverAskUser = false, secure = false;
};

class ScriptRequest : public HttpRequest {
 public:
  explicit ScriptRequest(Script& s) : s_(s) {}
  bool Send() override {
    s_.calls.push_back("send");
    if (s_.failAt == "send") return false;
    status_ = s_.statuses.front();
    if (s_.statuses.size() > 1) s_.statuses.pop_front();
    return true;
  }
  bool Status(uint32_t* status) override {
    if (s_.failAt == "status") return false;
    *status = status_;
    return true;
  }
  bool ContentLength(uint64_t* length) override {
    if (!s_.hasLength) return false;
    *length = s_.contentLength;
    return true;
  }
  std::optional<std::string> Header(const std::string&) override { return std::nullopt; }
  bool Read(void* buffer, uint32_t size, uint32_t* received) override {
    *received = 0;
    if (!s_.readDelays.empty()) {
      s_.clock->now += s_.readDelays.front();
      s_.readDelays.pop_front();
    }
    if (s_.failAt == "read") return false;
    if (!s_.chunks.empty()) {
      std::string& chunk = s_.chunks.front();
      size_t count = std::min<size_t>(size, chunk.size());
      std::copy(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count),
                static_cast<char*>(buffer));
      chunk.erase(0, count);
      if (chunk.empty()) s_.chunks.pop_front();
      *received = static_cast<uint32_t>(count);
    } else if (s_.endlessBytes > 0) {
      *received = static_cast<uint32_t>(std::min<int64_t>(size, s_.endlessBytes));
      s_.endlessBytes -= *received;
    }
    return true;
  }
  bool Close() override {
    s_.closed.push_back("request");
    return s_.closeResult;
  }

 private:
  Script& s_;
  uint32_t status_ = 0;
};

class ScriptConnection : public HttpConnection {
 public:
  explicit ScriptConnection(Script& s) : s_(s) {}
  bool SetCredential(HttpCredential credential, const std::string& text) override {
    s_.options.push_back({credential, text});
    bool auth = credential == HttpCredential::UserName || credential == HttpCredential::Password;
    return !(s_.failAt == "option" && !auth) && !(s_.failAt == "auth" && auth);
  }
  std::unique_ptr<HttpRequest> OpenRequest(const HttpRequestOptions& options) override {
    s_.path = options.path;
    s_.reload = options.reload;
    s_.neverAskUser = options.neverAskUser;
    s_.secure = options.secure;
    if (s_.failAt == "request") return nullptr;
    return std::make_unique<ScriptRequest>(s_);
  }
  bool Close() override {
    s_.closed.push_back("connection");
    return s_.closeResult;
  }

 private:
  Script& s_;
};

class ScriptSession : public HttpSession {
 public:
  explicit ScriptSession(Script& s) : s_(s) {}
  std::unique_ptr<HttpConnection> Connect(const std::string& host, int port) override {
    s_.host = host;
    s_.port = port;
    if (s_.failAt == "connect") return nullptr;
    return std::make_unique<ScriptConnection>(s_);
  }
  bool Close() override {
    s_.closed.push_back("session");
    return s_.closeResult;
  }

 private:
  Script& s_;
};

class ScriptInternet : public Internet {
 public:
  explicit ScriptInternet(Script& s) : s_(s) {}
  std::unique_ptr<HttpSession> Open(const HttpSessionOptions& options) override {
    s_.calls.push_back("open");
    s_.session = options;
    s_.agent = options.agent;
    s_.access = options.access;
    s_.proxyName = options.proxyName;
    if (s_.failAt == "open") return nullptr;
    return std::make_unique<ScriptSession>(s_);
  }
  std::string LastError() override { return "script: " + s_.failAt + " refused"; }

 private:
  Script& s_;
};

// A file system whose files only count their size; for bodies too large to
// write for real.
class CountingFiles : public FileSystem {
 public:
  struct CountingFile : File {
    bool Seek(int64_t) override { return false; }
    int64_t Read(void*, int64_t) override { return -1; }
    bool Write(const void*, int64_t size) override {
      *size_ += size;
      return true;
    }
    bool Flush() override { return true; }
    bool Sync() override { return true; }
    int64_t Size() override { return *size_; }
    bool Close() override { return true; }
    int64_t* size_;
  };
  std::unique_ptr<File> OpenRead(const std::string&, bool) override { return nullptr; }
  std::unique_ptr<File> Create(const std::string&) override {
    created = true;
    auto file = std::make_unique<CountingFile>();
    file->size_ = &size;
    return file;
  }
  bool Exists(const std::string&) override { return created && !deleted; }
  bool IsFolder(const std::string&) override { return false; }
  bool Delete(const std::string&) override { return deleted = true; }
  bool Copy(const std::string&, const std::string&) override { return false; }
  bool Replace(const std::string&, const std::string&) override { return false; }
  bool KeepAside(const std::string&, const std::string&) override { return false; }
  std::unique_ptr<File> OpenReadAppend(const std::string&) override { return nullptr; }
  bool StaysInside(const std::string&, const std::string&) override { return false; }
  std::unique_ptr<File> CreateDurable(const std::string& path) override { return Create(path); }
  bool CreateFolder(const std::string&) override { return false; }
  bool RemoveFolder(const std::string&) override { return false; }
  bool SyncFiles(const std::vector<std::string>&) override { return false; }
  bool SyncFolders(const std::vector<std::string>&) override { return false; }
  bool ListFolder(const std::string&, const std::string&, std::vector<FolderEntry>*) override {
    return false;
  }
  bool CopyPermissions(const std::string&, const std::string&) override { return false; }
  bool MakeExecutable(const std::string&) override { return false; }
  std::unique_ptr<File> OpenAppend(const std::string&) override { return nullptr; }
  std::string LastError() override { return std::string(); }

  int64_t size = 0;
  bool created = false;
  bool deleted = false;
};

class HttpGetTest : public ::testing::Test {
 protected:
  HTTPGetRequest Request(HTTPGetTarget target = HTTPGetTarget::TargetMemory) {
    HTTPGetRequest request;
    request.URL = "http://user:pw@example.com/dir/file.txt?q=1";
    request.Target = target;
    request.FileName = folder.Path() + "file.txt";
    request.OnFinished = [this](HTTPGetRequest&, HTTPGetResult result, int32_t received,
                                int32_t contentLength, int32_t) {
      finished.push_back({static_cast<int32_t>(result), received, contentLength});
    };
    return request;
  }
  HTTPGetResult Get(HTTPGetRequest& request) { return HTTPGetFromWeb(platform, request); }

  void SetUp() override { script.clock = &fake.clock; }

  Script script;
  ScriptInternet internet{script};
  FakePlatform fake;
  TempFolder folder;
  Platform platform{fake.console, fake.platform.files, fake.processes,
                    fake.clock,   fake.versions,       internet};
  std::vector<std::vector<int32_t>> finished;  // result, received, content length
};

TEST_F(HttpGetTest, DefaultsAreAppliedAndWrittenBack) {
  HTTPGetRequest request = Request();
  request.BufferSize = -5;
  ASSERT_EQ(Get(request), HTTPGetResult::HTTPGetOK);
  EXPECT_EQ(request.BufferSize, 0);
  EXPECT_EQ(request.Agent, "Lanternix for Windows (HTTPGetFromWeb)");
  EXPECT_EQ(request.AccessType, 1);
  EXPECT_EQ(request.RequestFlags, kRequestReload | kRequestNeverAskUser);
  EXPECT_EQ(request.Port, 80);
  EXPECT_EQ(script.agent, request.Agent);
  EXPECT_EQ(script.access, HttpAccess::Direct);
  EXPECT_EQ(script.host, "example.com");
  EXPECT_EQ(script.port, 80);
  EXPECT_EQ(script.path, "/dir/file.txt?q=1");
  EXPECT_TRUE(script.reload);
  EXPECT_TRUE(script.neverAskUser);
  EXPECT_FALSE(script.secure);
  EXPECT_TRUE(script.options.empty());  // credentials only after a 401
  // Explicit time limits: no backend may wait for ever.
  EXPECT_EQ(script.session.connectTimeoutMilliseconds, 30000);
  EXPECT_EQ(script.session.responseTimeoutMilliseconds, 30000);
  EXPECT_EQ(script.session.receiveTimeoutMilliseconds, 30000);
}

TEST_F(HttpGetTest, PortAndScheme) {
  struct {
    const char* url;
    int32_t port;
    const char* host;
    int connectedPort;
    bool secure;
  } cases[] = {
      {"http://host:81/x", 0, "host", 81, false},     {"https://host/x", 0, "host", 443, true},
      {"HTTPS://host:8443/x", 0, "host", 8443, true}, {"http://host:81/x", 90, "host", 90, false},
      {"https://host/x", 8080, "host", 8080, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    HTTPGetRequest request = Request();
    request.URL = c.url;
    request.Port = c.port;
    script.chunks = {"hello"};
    ASSERT_EQ(Get(request), HTTPGetResult::HTTPGetOK);
    EXPECT_EQ(script.host, c.host);
    EXPECT_EQ(script.port, c.connectedPort);
    EXPECT_EQ(request.Port, c.connectedPort);
    EXPECT_EQ(script.secure, c.secure);
  }
}

TEST_F(HttpGetTest, ArgumentErrorsOpenNothingAndStillFinish) {
  struct {
    const char* url;
    HTTPGetTarget target;
    const char* fileName;
    int32_t accessType;
  } cases[] = {
      {"http://host", HTTPGetTarget::TargetMemory, "", 0},       // no path
      {"http:///x", HTTPGetTarget::TargetMemory, "", 0},         // no host
      {"http://host/x", static_cast<HTTPGetTarget>(1), "f", 0},  // bad target
      {"http://host/x", static_cast<HTTPGetTarget>(4), "f", 0},  // bad target
      {"http://host/x", HTTPGetTarget::TargetFile, "", 0},       // no file name
      {"http://host/x", HTTPGetTarget::TargetMemory, "", 3},     // proxy without a name
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url + std::string(" ") + std::to_string(static_cast<int32_t>(c.target)));
    finished.clear();
    script.calls.clear();
    HTTPGetRequest request = Request(c.target);
    request.URL = c.url;
    request.FileName = c.fileName;
    request.AccessType = c.accessType;
    EXPECT_EQ(Get(request), HTTPGetResult::HTTPGetErrArgument);
    EXPECT_TRUE(script.calls.empty());
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0][0], static_cast<int32_t>(HTTPGetResult::HTTPGetErrArgument));
  }
}

TEST_F(HttpGetTest, EachRefusedCallHasItsResultAndEveryHandleIsClosed) {
  struct {
    const char* failAt;
    HTTPGetResult result;
    std::vector<std::string> closed;
  } cases[] = {
      {"open", HTTPGetResult::HTTPGetErrOpen, {}},
      {"connect", HTTPGetResult::HTTPGetErrConnect, {"session"}},
      {"option", HTTPGetResult::HTTPGetErrProxyOptions, {"connection", "session"}},
      {"request", HTTPGetResult::HTTPGetErrRequest, {"connection", "session"}},
      {"send", HTTPGetResult::HTTPGetErrSend, {"request", "connection", "session"}},
      {"status", HTTPGetResult::HTTPGetErrQueryStatus, {"request", "connection", "session"}},
      {"read", HTTPGetResult::HTTPGetErrRead, {"request", "connection", "session"}},
  };
  for (bool closeResult : {true, false}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.failAt) + (closeResult ? "" : ", closes refused"));
      script.failAt = c.failAt;
      script.closeResult = closeResult;
      script.closed.clear();
      HTTPGetRequest request = Request(HTTPGetTarget::TargetFile);
      request.AccessType = 3;
      request.ProxyName = "proxy:3128";
      request.ProxyUser = "pu";
      EXPECT_EQ(Get(request), c.result);  // a refused close does not replace it
      // The cause is the one the client recorded for the refused call.
      EXPECT_EQ(request.FailureCause, "script: " + std::string(c.failAt) + " refused");
      EXPECT_EQ(script.closed, c.closed);
      EXPECT_EQ(request.ReceivedBytes, 0);
      EXPECT_FALSE(FileExists(request.FileName));
    }
  }
}

TEST_F(HttpGetTest, ProxySettings) {
  HTTPGetRequest request = Request();
  request.AccessType = 3;
  request.ProxyName = "proxy:3128";
  request.ProxyUser = "pu";
  request.ProxyPassword = "pp";
  ASSERT_EQ(Get(request), HTTPGetResult::HTTPGetOK);
  EXPECT_EQ(script.access, HttpAccess::Proxy);
  EXPECT_EQ(script.proxyName, "proxy:3128");
  std::vector<std::pair<HttpCredential, std::string>> expected{
      {HttpCredential::ProxyUserName, "pu"}, {HttpCredential::ProxyPassword, "pp"}};
  EXPECT_EQ(script.options, expected);
}

TEST_F(HttpGetTest, UnauthorizedSetsTheURLsCredentialsForOneResend) {
  script.statuses = {401, 200};
  HTTPGetRequest request = Request();
  ASSERT_EQ(Get(request), HTTPGetResult::HTTPGetOK);
  std::vector<std::pair<HttpCredential, std::string>> expected{{HttpCredential::UserName, "user"},
                                                               {HttpCredential::Password, "pw"}};
  EXPECT_EQ(script.options, expected);
  EXPECT_EQ(std::count(script.calls.begin(), script.calls.end(), "send"), 2);

  script.options.clear();
  script.statuses = {401};
  request.URL = "http://example.com/x";  // no credentials: resent without options
  EXPECT_EQ(Get(request), HTTPGetResult::HTTPGetErrStatus);
  EXPECT_EQ(request.StatusCode, 401);
  EXPECT_TRUE(script.options.empty());

  script.statuses = {401};
  script.failAt = "auth";
  request.URL = "http://user:pw@example.com/x";
  EXPECT_EQ(Get(request), HTTPGetResult::HTTPGetErrAuthOptions);
}

TEST_F(HttpGetTest, RefusedCloseAfterACompleteTransferKeepsTheFile) {
  script.closeResult = false;
  HTTPGetRequest request = Request(HTTPGetTarget::TargetFile);
  EXPECT_EQ(Get(request), HTTPGetResult::HTTPGetErrClose);
  EXPECT_EQ(request.ReceivedBytes, 5);
  EXPECT_EQ(testing::ReadWholeFile(request.FileName), "hello");
  std::vector<std::string> all{"request", "connection", "session"};
  EXPECT_EQ(script.closed, all);
}

TEST_F(HttpGetTest, BodyShorterThanAnnouncedIsAReadError) {
  script.contentLength = 10;
  HTTPGetRequest request = Request(HTTPGetTarget::TargetFile);
  EXPECT_EQ(Get(request), HTTPGetResult::HTTPGetErrRead);
  EXPECT_FALSE(FileExists(request.FileName));
}

TEST_F(HttpGetTest, HooksSeeTheRunningCountsAndSeconds) {
  script.contentLength = 8;
  script.chunks = {"abc", "defgh"};
  HTTPGetRequest request = Request();
  request.BufferSize = 3;
  std::vector<std::vector<int32_t>> progress;
  request.OnProgress = [&](HTTPGetRequest&, int32_t received, int32_t length, int32_t seconds) {
    progress.push_back({received, length, seconds});
    fake.clock.now += 1500;
    return 1;
  };
  HttpRequest* connected = nullptr;
  request.OnConnected = [&](HTTPGetRequest& r, HttpRequest* handle) {
    connected = handle;
    EXPECT_TRUE(r.Memory.has_value());
  };
  ASSERT_EQ(Get(request), HTTPGetResult::HTTPGetOK);
  EXPECT_NE(connected, nullptr);
  std::vector<std::vector<int32_t>> expected{{3, 8, 0}, {6, 8, 1}, {8, 8, 3}};
  EXPECT_EQ(progress, expected);
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_EQ(finished[0],
            (std::vector<int32_t>{static_cast<int32_t>(HTTPGetResult::HTTPGetOK), 8, 8}));
  EXPECT_EQ(std::string(request.Memory->begin(), request.Memory->end()), "abcdefgh");
}

TEST_F(HttpGetTest, BodiesOf2GiBOrMoreAreRefused) {
  CountingFiles files;
  Platform platform{fake.console, files, fake.processes, fake.clock, fake.versions, internet};
  // Announced too large: refused before the file exists.
  script.contentLength = 0x80000000u;
  HTTPGetRequest request = Request(HTTPGetTarget::TargetFile);
  EXPECT_EQ(HTTPGetFromWeb(platform, request), HTTPGetResult::HTTPGetErrRead);
  EXPECT_FALSE(files.created);

  // No length announced and the body does not end: refused at the limit, the
  // partial file removed.
  script.hasLength = false;
  script.chunks.clear();
  script.endlessBytes = int64_t(1) << 32;
  request.BufferSize = 1 << 20;
  EXPECT_EQ(HTTPGetFromWeb(platform, request), HTTPGetResult::HTTPGetErrRead);
  EXPECT_TRUE(files.created);
  EXPECT_TRUE(files.deleted);
  EXPECT_LE(files.size, 0x7FFFFFFF);
  EXPECT_EQ(request.ReceivedBytes, 0);
}

// The slowest body accepted: 1,024 bytes in every 30 s window from the start
// of the body on, measured on the platform clock. Each read returns its bytes
// at its end.
TEST_F(HttpGetTest, ABodySlowerThan1024BytesIn30SecondsIsAReadError) {
  struct Read {
    uint64_t waited;  // milliseconds before the read returns
    size_t bytes;     // 0 ends the body
  };
  auto repeat = [](Read read, int times) { return std::vector<Read>(times, read); };
  auto join = [](std::vector<Read> first, const std::vector<Read>& then) {
    first.insert(first.end(), then.begin(), then.end());
    return first;
  };
  struct {
    const char* name;
    std::vector<Read> reads;
    bool completes;
    int32_t receivedAtTheEnd;  // as the finish hook saw it
  } cases[] = {
      {"a byte every 5 s", repeat({5000, 1}, 20), false, 6},
      {"1024 bytes every 29.9 s", repeat({29900, 1024}, 4), true, 4096},
      {"1024 bytes after the first 30 s", {{30000, 1024}}, false, 1024},
      {"512 bytes every 15 s", repeat({15000, 512}, 4), false, 1024},
      {"1023 bytes in 29 s, then a byte a second", join({{29000, 1023}}, repeat({1000, 1}, 5)),
       false, 1024},
      {"a burst, then 30 s of nothing", {{0, 100000}, {30000, 1}}, false, 100001},
      {"a slow start, then full speed", join({{29999, 1024}}, repeat({10, 100000}, 10)), true,
       1001024},
      {"the end of the body only after 30 s", {{0, 2000}, {30000, 0}}, false, 2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    script.chunks.clear();
    script.readDelays.clear();
    uint32_t total = 0;
    for (const Read& read : c.reads) {
      if (read.bytes > 0) script.chunks.push_back(std::string(read.bytes, 'x'));
      script.readDelays.push_back(read.waited);
      total += static_cast<uint32_t>(read.bytes);
    }
    script.contentLength = total;
    finished.clear();
    HTTPGetRequest request = Request(HTTPGetTarget::TargetFile);
    request.FileName = folder.Path() + std::to_string(&c - cases) + ".bin";
    request.BufferSize = 1 << 20;
    HTTPGetResult result = Get(request);
    if (c.completes) {
      EXPECT_EQ(result, HTTPGetResult::HTTPGetOK) << request.FailureCause;
      EXPECT_EQ(request.ReceivedBytes, c.receivedAtTheEnd);
    } else {
      EXPECT_EQ(result, HTTPGetResult::HTTPGetErrRead);
      EXPECT_EQ(request.FailureCause, "fewer than 1024 bytes in 30 s (" +
                                          std::to_string(c.receivedAtTheEnd) + " bytes received)");
      EXPECT_FALSE(FileExists(request.FileName));
    }
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0][1], c.receivedAtTheEnd);
  }
}

}  // namespace
}  // namespace updater
