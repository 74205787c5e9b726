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
  std::string FailAt;
  std::deque<uint32_t> Statuses{200};  // one per Send
  bool HasLength = true;
  int64_t ContentLength = 5;
  std::deque<std::string> Chunks{"hello"};
  int64_t EndlessBytes = 0;  // after the chunks: reads that fill every buffer, up to this total
  bool CloseResult = true;
  // Milliseconds each read waits on `clock` before it returns, in order; then
  // none. The same for each send.
  std::deque<uint64_t> ReadDelays;
  std::deque<uint64_t> SendDelays;
  testing::FakeClock* Clock = nullptr;
  // The backend ends a wait at the deadline the client set, failing it, as
  // libcurl's does; otherwise the wait takes its time, as Wine's WinINet
  // may for a receive.
  bool HonoursDeadlines = false;
  uint64_t DeadlineAt = 0;  // on `clock`; 0 when none
  bool DeadlineReached = false;
  HttpSessionOptions Session;  // as the client opened it

  std::vector<std::string> Calls;
  std::vector<std::pair<HttpCredential, std::string>> Options;
  std::vector<std::string> Closed;
  std::string Agent, ProxyName, Host, Path;
  HttpAccess Access = HttpAccess::Direct;
  int Port = 0;
  bool Reload = false, NeverAskUser = false, Secure = false;
};

// The cause a refused call of the script gives: "script: WHERE refused", or
// that the wait reached its deadline.
bool Refused(const Script& s, std::string* cause) {
  *cause = s.DeadlineReached ? "script: the wait reached its deadline"
                             : "script: " + s.FailAt + " refused";
  return false;
}

class ScriptRequest : public HttpRequest {
 public:
  explicit ScriptRequest(Script& s) : s_(s) {}
  bool Send(std::string* cause) override {
    s_.Calls.push_back("send");
    if (!Wait(s_.SendDelays)) return Refused(s_, cause);
    if (s_.FailAt == "send") return Refused(s_, cause);
    status_ = s_.Statuses.front();
    if (s_.Statuses.size() > 1) s_.Statuses.pop_front();
    return true;
  }
  bool Status(uint32_t* status, std::string* cause) override {
    if (s_.FailAt == "status") return Refused(s_, cause);
    *status = status_;
    return true;
  }
  bool ContentLength(int64_t* length) override {
    if (!s_.HasLength) return false;
    *length = s_.ContentLength;
    return true;
  }
  std::optional<std::string> Header(const std::string&) override { return std::nullopt; }
  bool Read(void* buffer, int64_t size, int64_t* received, std::string* cause) override {
    *received = 0;
    if (!Wait(s_.ReadDelays)) return Refused(s_, cause);
    if (s_.FailAt == "read") return Refused(s_, cause);
    if (!s_.Chunks.empty()) {
      std::string& chunk = s_.Chunks.front();
      size_t count = std::min<size_t>(static_cast<size_t>(size), chunk.size());
      std::copy(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count),
                static_cast<char*>(buffer));
      chunk.erase(0, count);
      if (chunk.empty()) s_.Chunks.pop_front();
      *received = static_cast<int64_t>(count);
    } else if (s_.EndlessBytes > 0) {
      *received = std::min<int64_t>(size, s_.EndlessBytes);
      s_.EndlessBytes -= *received;
    }
    return true;
  }
  void SetDeadline(int64_t milliseconds) override {
    s_.DeadlineAt = milliseconds == 0 ? 0 : s_.Clock->Now + static_cast<uint64_t>(milliseconds);
  }
  bool Close(std::string* cause) override {
    s_.Closed.push_back("request");
    if (!s_.CloseResult) *cause = "script: request close refused";
    return s_.CloseResult;
  }

 private:
  // Waits the next of `delays` on the clock; false when the deadline ended
  // the wait first.
  bool Wait(std::deque<uint64_t>& delays) {
    if (delays.empty()) return true;
    const uint64_t delay = delays.front();
    delays.pop_front();
    if (s_.HonoursDeadlines && s_.DeadlineAt != 0 && s_.Clock->Now + delay >= s_.DeadlineAt) {
      s_.Clock->Now = s_.DeadlineAt;
      s_.DeadlineReached = true;
      return false;
    }
    s_.Clock->Now += delay;
    return true;
  }

  Script& s_;
  uint32_t status_ = 0;
};

class ScriptConnection : public HttpConnection {
 public:
  explicit ScriptConnection(Script& s) : s_(s) {}
  bool SetCredential(HttpCredential credential, const std::string& text,
                     std::string* cause) override {
    s_.Options.push_back({credential, text});
    bool auth = credential == HttpCredential::UserName || credential == HttpCredential::Password;
    return (!(s_.FailAt == "option" && !auth) && !(s_.FailAt == "auth" && auth)) ||
           Refused(s_, cause);
  }
  std::unique_ptr<HttpRequest> OpenRequest(const HttpRequestOptions& options,
                                           std::string* cause) override {
    s_.Path = options.Path;
    s_.Reload = options.Reload;
    s_.NeverAskUser = options.NeverAskUser;
    s_.Secure = options.Secure;
    if (s_.FailAt == "request") return Refused(s_, cause), nullptr;
    return std::make_unique<ScriptRequest>(s_);
  }
  bool Close(std::string* cause) override {
    s_.Closed.push_back("connection");
    if (!s_.CloseResult) *cause = "script: connection close refused";
    return s_.CloseResult;
  }

 private:
  Script& s_;
};

class ScriptSession : public HttpSession {
 public:
  explicit ScriptSession(Script& s) : s_(s) {}
  std::unique_ptr<HttpConnection> Connect(const std::string& host, int port,
                                          std::string* cause) override {
    s_.Host = host;
    s_.Port = port;
    if (s_.FailAt == "connect") return Refused(s_, cause), nullptr;
    return std::make_unique<ScriptConnection>(s_);
  }
  bool Close(std::string* cause) override {
    s_.Closed.push_back("session");
    if (!s_.CloseResult) *cause = "script: session close refused";
    return s_.CloseResult;
  }

 private:
  Script& s_;
};

class ScriptInternet : public Internet {
 public:
  explicit ScriptInternet(Script& s) : s_(s) {}
  std::unique_ptr<HttpSession> Open(const HttpSessionOptions& options,
                                    std::string* cause) override {
    s_.Calls.push_back("open");
    s_.Session = options;
    s_.Agent = options.Agent;
    s_.Access = options.Access;
    s_.ProxyName = options.ProxyName;
    if (s_.FailAt == "open") return Refused(s_, cause), nullptr;
    return std::make_unique<ScriptSession>(s_);
  }

 private:
  Script& s_;
};

// A file system whose files only count their size; for bodies too large to
// write for real.
class CountingFiles : public FileSystem {
 public:
  struct CountingFile : File {
    bool Seek(int64_t, std::string*) override { return false; }
    int64_t Read(void*, int64_t, std::string*) override { return -1; }
    bool Write(const void*, int64_t size, std::string*) override {
      *SizeCounter += size;
      return true;
    }
    bool Flush(std::string*) override { return true; }
    bool Sync(std::string*) override { return true; }
    int64_t Size(std::string*) override { return *SizeCounter; }
    bool Close(std::string*) override { return true; }
    int64_t* SizeCounter;
  };
  std::unique_ptr<File> OpenRead(const std::string&, bool, std::string*) override {
    return nullptr;
  }
  std::unique_ptr<File> Create(const std::string&, std::string*) override {
    Created = true;
    auto file = std::make_unique<CountingFile>();
    file->SizeCounter = &Size;
    return file;
  }
  bool Exists(const std::string&) override { return Created && !Deleted; }
  bool IsFolder(const std::string&) override { return false; }
  bool Delete(const std::string&, std::string*) override { return Deleted = true; }
  bool Copy(const std::string&, const std::string&, std::string*) override { return false; }
  bool Replace(const std::string&, const std::string&, std::string*) override { return true; }
  bool KeepAside(const std::string&, const std::string&, std::string*) override { return false; }
  std::unique_ptr<File> OpenReadAppend(const std::string&, std::string*) override {
    return nullptr;
  }
  bool StaysInside(const std::string&, const std::string&, std::string*) override { return false; }
  std::unique_ptr<File> CreateDurable(const std::string& path, std::string* cause) override {
    return Create(path, cause);
  }
  bool CreateFolder(const std::string&, std::string*) override { return false; }
  bool RemoveFolder(const std::string&, std::string*) override { return false; }
  bool SyncFiles(const std::vector<std::string>&, std::string*) override { return false; }
  bool SyncFolders(const std::vector<std::string>&, std::string*) override { return false; }
  bool ListFolder(const std::string&, const std::string&, std::vector<FolderEntry>*,
                  std::string*) override {
    return false;
  }
  bool CopyPermissions(const std::string&, const std::string&, std::string*) override {
    return false;
  }
  bool MakeExecutable(const std::string&, std::string*) override { return false; }
  std::unique_ptr<File> OpenAppend(const std::string&, std::string*) override { return nullptr; }
  std::unique_ptr<File> OpenStateFile(const std::string&, bool, std::string*) override {
    return nullptr;
  }
  LockOutcome TryLock(const std::string&, std::unique_ptr<File>*, std::string*) override {
    return LockOutcome::Failed;
  }
  std::unique_ptr<MappedFile> MapRead(const std::string&, std::string*) override { return nullptr; }
  std::unique_ptr<MappedFile> CreateMapped(const std::string&, int64_t, std::string*) override {
    return nullptr;
  }
  bool HeldOpenElsewhere(const std::string&) override { return false; }

  int64_t Size = 0;
  bool Created = false;
  bool Deleted = false;
};

class HttpGetTest : public ::testing::Test {
 protected:
  HTTPGetRequest Request(HTTPGetTarget target = HTTPGetTarget::Memory) {
    HTTPGetRequest request;
    request.URL = "http://user:pw@example.com/dir/file.txt?q=1";
    request.Target = target;
    request.FileName = folder_.Path() + "file.txt";
    request.OnFinished = [this](HTTPGetRequest&, HTTPGetResult result, int64_t received,
                                int64_t contentLength, int32_t) {
      finished_.push_back({static_cast<int64_t>(result), received, contentLength});
    };
    return request;
  }
  HTTPGetResult Get(HTTPGetRequest& request) { return HTTPGetFromWeb(platform_, request); }

  void SetUp() override { script_.Clock = &fake_.Clock; }

  Script script_;
  ScriptInternet internet_{script_};
  FakePlatform fake_;
  TempFolder folder_;
  Platform platform_{fake_.Console, fake_.Platform.Files, fake_.Processes,
                     fake_.Clock,   fake_.Versions,       internet_};
  std::vector<std::vector<int64_t>> finished_;  // result, received, content length
};

// The defaults are used for the call and the record is left as it was, so
// that a record used again starts from the same inputs.
TEST_F(HttpGetTest, DefaultsAreUsedAndTheRecordKeepsItsInputs) {
  HTTPGetRequest request = Request();
  request.BufferSize = -5;
  ASSERT_EQ(Get(request), HTTPGetResult::Ok);
  EXPECT_EQ(request.BufferSize, -5);
  EXPECT_EQ(request.Agent, "");
  EXPECT_EQ(request.Port, 0);
  EXPECT_EQ(request.Access, HttpAccess::Direct);
  EXPECT_EQ(script_.Agent, "Lanternix for Windows (HTTPGetFromWeb)");
  EXPECT_EQ(script_.Access, HttpAccess::Direct);
  EXPECT_EQ(script_.Host, "example.com");
  EXPECT_EQ(script_.Port, 80);
  EXPECT_EQ(script_.Path, "/dir/file.txt?q=1");
  EXPECT_TRUE(script_.Reload);
  EXPECT_TRUE(script_.NeverAskUser);
  EXPECT_FALSE(script_.Secure);
  EXPECT_TRUE(script_.Options.empty());  // credentials only after a 401
  // Explicit time limits: no backend may wait for ever.
  EXPECT_EQ(script_.Session.ConnectTimeoutMilliseconds, 30000);
  EXPECT_EQ(script_.Session.ResponseTimeoutMilliseconds, 30000);
  EXPECT_EQ(script_.Session.ReceiveTimeoutMilliseconds, 30000);

  // The record's own limits and flags go to the session and the request.
  request.Limits.ConnectMilliseconds = 1000;
  request.Limits.ResponseMilliseconds = 2000;
  request.Limits.ReceiveMilliseconds = 3000;
  request.Reload = false;
  request.NeverAskUser = false;
  script_.Chunks = {"hello"};
  ASSERT_EQ(Get(request), HTTPGetResult::Ok);
  EXPECT_EQ(script_.Session.ConnectTimeoutMilliseconds, 1000);
  EXPECT_EQ(script_.Session.ResponseTimeoutMilliseconds, 2000);
  EXPECT_EQ(script_.Session.ReceiveTimeoutMilliseconds, 3000);
  EXPECT_FALSE(script_.Reload);
  EXPECT_FALSE(script_.NeverAskUser);
}

TEST_F(HttpGetTest, PortAndScheme) {
  struct {
    const char* Url;
    int32_t Port;
    const char* Host;
    int ConnectedPort;
    bool Secure;
  } cases[] = {
      {"http://host:81/x", 0, "host", 81, false},     {"https://host/x", 0, "host", 443, true},
      {"HTTPS://host:8443/x", 0, "host", 8443, true}, {"http://host:81/x", 90, "host", 90, false},
      {"https://host/x", 8080, "host", 8080, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Url);
    HTTPGetRequest request = Request();
    request.URL = c.Url;
    request.Port = c.Port;
    script_.Chunks = {"hello"};
    ASSERT_EQ(Get(request), HTTPGetResult::Ok);
    EXPECT_EQ(script_.Host, c.Host);
    EXPECT_EQ(script_.Port, c.ConnectedPort);
    EXPECT_EQ(request.Port, c.Port);
    EXPECT_EQ(script_.Secure, c.Secure);
  }
}

TEST_F(HttpGetTest, ArgumentErrorsOpenNothingAndStillFinish) {
  struct {
    const char* Url;
    HTTPGetTarget Target;
    const char* FileName;
    HttpAccess Access;
  } cases[] = {
      {"http://host", HTTPGetTarget::Memory, "", HttpAccess::Direct},             // no path
      {"http:///x", HTTPGetTarget::Memory, "", HttpAccess::Direct},               // no host
      {"http://host/x", static_cast<HTTPGetTarget>(1), "f", HttpAccess::Direct},  // bad target
      {"http://host/x", static_cast<HTTPGetTarget>(4), "f", HttpAccess::Direct},  // bad target
      {"http://host/x", HTTPGetTarget::File, "", HttpAccess::Direct},             // no file name
      {"http://host/x", HTTPGetTarget::Memory, "", HttpAccess::Proxy},  // proxy without a name
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Url + std::string(" ") + std::to_string(static_cast<int32_t>(c.Target)));
    finished_.clear();
    script_.Calls.clear();
    HTTPGetRequest request = Request(c.Target);
    request.URL = c.Url;
    request.FileName = c.FileName;
    request.Access = c.Access;
    EXPECT_EQ(Get(request), HTTPGetResult::ErrArgument);
    EXPECT_TRUE(script_.Calls.empty());
    ASSERT_EQ(finished_.size(), 1u);
    EXPECT_EQ(finished_[0][0], static_cast<int32_t>(HTTPGetResult::ErrArgument));
  }
}

TEST_F(HttpGetTest, EachRefusedCallHasItsResultAndEveryHandleIsClosed) {
  struct {
    const char* FailAt;
    HTTPGetResult Result;
    std::vector<std::string> Closed;
  } cases[] = {
      {"open", HTTPGetResult::ErrOpen, {}},
      {"connect", HTTPGetResult::ErrConnect, {"session"}},
      {"option", HTTPGetResult::ErrProxyOptions, {"connection", "session"}},
      {"request", HTTPGetResult::ErrRequest, {"connection", "session"}},
      {"send", HTTPGetResult::ErrSend, {"request", "connection", "session"}},
      {"status", HTTPGetResult::ErrQueryStatus, {"request", "connection", "session"}},
      // A file whose body read fails is cut: asked for again three times.
      {"read",
       HTTPGetResult::ErrRead,
       {"request", "request", "request", "request", "connection", "session"}},
  };
  for (bool closeResult : {true, false}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.FailAt) + (closeResult ? "" : ", closes refused"));
      script_.FailAt = c.FailAt;
      script_.CloseResult = closeResult;
      script_.Closed.clear();
      HTTPGetRequest request = Request(HTTPGetTarget::File);
      request.Access = HttpAccess::Proxy;
      request.ProxyName = "proxy:3128";
      request.ProxyUser = "pu";
      EXPECT_EQ(Get(request), c.Result);  // a refused close does not replace it
      // The cause is the one the client recorded for the refused call.
      EXPECT_EQ(request.FailureCause, "script: " + std::string(c.FailAt) + " refused");
      EXPECT_EQ(script_.Closed, c.Closed);
      EXPECT_EQ(request.ReceivedBytes, 0);
      EXPECT_FALSE(FileExists(request.FileName));
    }
  }
}

TEST_F(HttpGetTest, ProxySettings) {
  HTTPGetRequest request = Request();
  request.Access = HttpAccess::Proxy;
  request.ProxyName = "proxy:3128";
  request.ProxyUser = "pu";
  request.ProxyPassword = "pp";
  ASSERT_EQ(Get(request), HTTPGetResult::Ok);
  EXPECT_EQ(script_.Access, HttpAccess::Proxy);
  EXPECT_EQ(script_.ProxyName, "proxy:3128");
  std::vector<std::pair<HttpCredential, std::string>> expected{
      {HttpCredential::ProxyUserName, "pu"}, {HttpCredential::ProxyPassword, "pp"}};
  EXPECT_EQ(script_.Options, expected);
}

TEST_F(HttpGetTest, UnauthorizedSetsTheURLsCredentialsForOneResend) {
  script_.Statuses = {401, 200};
  HTTPGetRequest request = Request();
  ASSERT_EQ(Get(request), HTTPGetResult::Ok);
  std::vector<std::pair<HttpCredential, std::string>> expected{{HttpCredential::UserName, "user"},
                                                               {HttpCredential::Password, "pw"}};
  EXPECT_EQ(script_.Options, expected);
  EXPECT_EQ(std::count(script_.Calls.begin(), script_.Calls.end(), "send"), 2);

  script_.Options.clear();
  script_.Statuses = {401};
  request.URL = "http://example.com/x";  // no credentials: resent without options
  EXPECT_EQ(Get(request), HTTPGetResult::ErrStatus);
  EXPECT_EQ(request.StatusCode, 401);
  EXPECT_TRUE(script_.Options.empty());

  script_.Statuses = {401};
  script_.FailAt = "auth";
  request.URL = "http://user:pw@example.com/x";
  EXPECT_EQ(Get(request), HTTPGetResult::ErrAuthOptions);
}

TEST_F(HttpGetTest, RefusedCloseAfterACompleteTransferKeepsTheFile) {
  script_.CloseResult = false;
  HTTPGetRequest request = Request(HTTPGetTarget::File);
  EXPECT_EQ(Get(request), HTTPGetResult::ErrClose);
  EXPECT_EQ(request.FailureCause, "script: request close refused");  // the first refusal
  EXPECT_EQ(request.ReceivedBytes, 5);
  EXPECT_EQ(testing::ReadWholeFile(request.FileName), "hello");
  std::vector<std::string> all{"request", "connection", "session"};
  EXPECT_EQ(script_.Closed, all);
}

TEST_F(HttpGetTest, BodyShorterThanAnnouncedIsAReadError) {
  script_.ContentLength = 10;
  HTTPGetRequest request = Request(HTTPGetTarget::File);
  EXPECT_EQ(Get(request), HTTPGetResult::ErrRead);
  EXPECT_FALSE(FileExists(request.FileName));
}

TEST_F(HttpGetTest, HooksSeeTheRunningCountsAndSeconds) {
  script_.ContentLength = 8;
  script_.Chunks = {"abc", "defgh"};
  HTTPGetRequest request = Request();
  request.BufferSize = 3;
  std::vector<std::vector<int64_t>> progress;
  request.OnProgress = [&](HTTPGetRequest&, int64_t received, int64_t length, int32_t seconds) {
    progress.push_back({received, length, seconds});
    fake_.Clock.Now += 1500;
    return 1;
  };
  HttpRequest* connected = nullptr;
  request.OnConnected = [&](HTTPGetRequest& r, HttpRequest* handle) {
    connected = handle;
    EXPECT_TRUE(r.Memory.has_value());
  };
  ASSERT_EQ(Get(request), HTTPGetResult::Ok);
  EXPECT_NE(connected, nullptr);
  std::vector<std::vector<int64_t>> expected{{3, 8, 0}, {6, 8, 1}, {8, 8, 3}};
  EXPECT_EQ(progress, expected);
  ASSERT_EQ(finished_.size(), 1u);
  EXPECT_EQ(finished_[0], (std::vector<int64_t>{static_cast<int64_t>(HTTPGetResult::Ok), 8, 8}));
  EXPECT_EQ(std::string(request.Memory->begin(), request.Memory->end()), "abcdefgh");
}

// Byte counts are 64-bit from the backend to the hooks: bodies past 2 and
// 4 GiB arrive whole, with their length announced or not.
TEST_F(HttpGetTest, BodiesPast4GiBAreCountedWhole) {
  const int64_t big = (int64_t(1) << 32) + 12345;
  struct {
    const char* Name;
    int64_t Announced;
    int64_t Sent;
    HTTPGetResult Result;
  } cases[] = {
      {"2 GiB", int64_t(1) << 31, int64_t(1) << 31, HTTPGetResult::Ok},
      {"over 4 GiB", big, big, HTTPGetResult::Ok},
      {"over 4 GiB, no length announced", 0, big, HTTPGetResult::Ok},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    CountingFiles files;
    Platform platform{fake_.Console, files,          fake_.Processes,
                      fake_.Clock,   fake_.Versions, internet_};
    script_.ContentLength = c.Announced;
    script_.Chunks.clear();
    script_.EndlessBytes = c.Sent;
    finished_.clear();
    HTTPGetRequest request = Request(HTTPGetTarget::File);
    request.BufferSize = 1 << 24;
    int64_t lastProgress = 0, lastLength = 0;
    request.OnProgress = [&](HTTPGetRequest&, int64_t received, int64_t length, int32_t) {
      lastProgress = received;
      lastLength = length;
      return 1;
    };
    EXPECT_EQ(HTTPGetFromWeb(platform, request), c.Result) << request.FailureCause;
    EXPECT_EQ(files.Size, c.Sent);
    EXPECT_EQ(lastProgress, c.Sent);
    EXPECT_EQ(lastLength, c.Announced);
    ASSERT_EQ(finished_.size(), 1u);
    EXPECT_EQ(finished_[0][1], c.Sent);
    EXPECT_EQ(finished_[0][2], c.Announced);
    EXPECT_EQ(request.ReceivedBytes, c.Sent);
  }
}

// The pace of a body and the request's total time, on the platform clock:
// 1,024 bytes in every 30 s window from the start of the body on, after the
// first 30 s 1,024 bytes a second on average since the start, and with a
// total limit all of the call within it. Each read returns its bytes at its
// end. A backend that keeps the client's deadlines ends the wait there; one
// that does not (Wine's receive) returns late, and the client fails then.
TEST_F(HttpGetTest, WhichBodiesKeepThePaceAndTheTotalTimeAndWhenTheOthersFail) {
  struct Read {
    uint64_t Waited;  // milliseconds before the read returns
    size_t Bytes;     // 0 ends the body
  };
  auto repeat = [](Read read, int times) { return std::vector<Read>(times, read); };
  auto join = [](std::vector<Read> first, const std::vector<Read>& then) {
    first.insert(first.end(), then.begin(), then.end());
    return first;
  };
  auto window = [](int received, const char* length = "30 s") {
    return "fewer than 1024 bytes in " + std::string(length) + " (" + std::to_string(received) +
           " bytes received)";
  };
  auto average = [](int bodyBytes, int seconds, int received) {
    return "fewer than 1024 bytes a second on average after the first 30 s (" +
           std::to_string(bodyBytes) + " bytes in " + std::to_string(seconds) + " s; " +
           std::to_string(received) + " bytes received)";
  };
  auto total = [](int received) {
    return "the request's time limit of 120 s ran out while reading the body (" +
           std::to_string(received) + " bytes received)";
  };
  const std::string headersLate =
      "the request's time limit of 120 s ran out while waiting for the response headers";
  const std::string reached = "; script: the wait reached its deadline";
  const HTTPGetResult ok = HTTPGetResult::Ok, read = HTTPGetResult::ErrRead;
  struct {
    const char* Name;
    std::vector<Read> Reads;
    bool Honoured;          // the backend ends waits at the client's deadline
    int32_t TotalLimit;     // milliseconds; 0 for none
    uint64_t HeadersAfter;  // milliseconds the send waits
    HTTPGetResult Result;
    std::string Cause;
    uint64_t EndsAt;   // the clock when the call ended
    int64_t Received;  // as the finish hook saw it
    int32_t Window = 30000;
  } cases[] = {
      // The window rule: a stall.
      {"a byte every 5 s", repeat({5000, 1}, 20), false, 0, 0, read, window(6), 30000, 6},
      {"a byte every 5 s, the wait ended at the deadline", repeat({5000, 1}, 20), true, 0, 0, read,
       window(5) + reached, 30000, 5},
      {"1024 bytes after the first 30 s",
       {{30000, 1024}},
       false,
       0,
       0,
       read,
       window(1024),
       30000,
       1024},
      {"512 bytes every 15 s", repeat({15000, 512}, 4), false, 0, 0, read, window(1024), 30000,
       1024},
      {"1023 bytes in 29 s, then a byte a second", join({{29000, 1023}}, repeat({1000, 1}, 5)),
       false, 0, 0, read, window(1024), 30000, 1024},
      {"a burst, then 30 s of nothing",
       {{0, 100000}, {30000, 1}},
       false,
       0,
       0,
       read,
       window(100001),
       30000,
       100001},
      {"the end of the body only after 30 s",
       {{0, 2000}, {30000, 0}},
       false,
       0,
       0,
       read,
       window(2000),
       30000,
       2000},
      // Windows of other lengths, as a test program sets them.
      {"a byte every 500 ms, 2 s windows", repeat({500, 1}, 20), false, 0, 0, read,
       window(4, "2 s"), 2000, 4, 2000},
      {"a byte every 500 ms, 1500 ms windows, the wait ended at the deadline", repeat({500, 1}, 20),
       true, 0, 0, read, window(2, "1500 ms") + reached, 1500, 2, 1500},
      {"1100 bytes every 1.9 s, 2 s windows", repeat({1900, 1100}, 5), false, 0, 0, read,
       "fewer than 1024 bytes a second on average after the first 2 s (1100 bytes in 3 s; 2200 "
       "bytes received)",
       3800, 2200, 2000},
      // The average rule: a drip that feeds every window.
      {"1024 bytes every 29.9 s", repeat({29900, 1024}, 4), false, 0, 0, read,
       average(1024, 59, 2048), 59800, 2048},
      {"1100 bytes every 29 s", repeat({29000, 1100}, 5), false, 0, 0, read,
       average(1100, 58, 2200), 58000, 2200},
      {"1100 bytes every 29 s, the wait ended at the deadline", repeat({29000, 1100}, 5), true, 0,
       0, read, average(1100, 30, 1100) + reached, 30000, 1100},
      {"a burst, then 1 KiB every 29 s", join({{0, 200000}}, repeat({29000, 1024}, 8)), false, 0, 0,
       read, average(206144, 203, 207168), 203000, 207168},
      {"a burst, then 1 KiB every 29 s, the wait ended at the deadline",
       join({{0, 200000}}, repeat({29000, 1024}, 8)), true, 0, 0, read,
       average(206144, 201, 206144) + reached, 201313, 206144},
      {"1100 bytes a second for 60 s", repeat({1000, 1100}, 60), true, 0, 0, ok, "", 60000, 66000},
      {"a slow first 30 s that keeps the average, then full speed",
       join({{29999, 40000}}, repeat({10, 100000}, 10)), true, 0, 0, ok, "", 30099, 1040000},
      // The total time.
      {"10 KiB a second for 130 s, 120 s in all", repeat({1000, 10240}, 130), false, 120000, 0,
       read, total(1228800), 120000, 1228800},
      {"10 KiB a second for 130 s, 120 s in all, the wait ended at the deadline",
       repeat({1000, 10240}, 130), true, 120000, 0, read, total(1218560) + reached, 120000,
       1218560},
      {"10 KiB a second for 130 s without a total limit", repeat({1000, 10240}, 130), true, 0, 0,
       ok, "", 130000, 1331200},
      {"headers after 100 s, then a quick body",
       {{10000, 5}},
       true,
       120000,
       100000,
       ok,
       "",
       110000,
       5},
      {"headers after 121 s",
       {{0, 5}},
       false,
       120000,
       121000,
       HTTPGetResult::ErrSend,
       headersLate,
       121000,
       0},
      {"headers after 121 s, the wait ended at the deadline",
       {{0, 5}},
       true,
       120000,
       121000,
       HTTPGetResult::ErrSend,
       headersLate + reached,
       120000,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    fake_.Clock.Now = 0;
    script_.Chunks.clear();
    script_.ReadDelays.clear();
    script_.SendDelays = {c.HeadersAfter};
    script_.HonoursDeadlines = c.Honoured;
    script_.DeadlineReached = false;
    uint32_t bytes = 0;
    for (const Read& r : c.Reads) {
      if (r.Bytes > 0) script_.Chunks.push_back(std::string(r.Bytes, 'x'));
      script_.ReadDelays.push_back(r.Waited);
      bytes += static_cast<uint32_t>(r.Bytes);
    }
    script_.ContentLength = bytes;
    finished_.clear();
    HTTPGetRequest request = Request(HTTPGetTarget::File);
    request.FileName = folder_.Path() + std::to_string(&c - cases) + ".bin";
    request.BufferSize = 1 << 20;
    request.TotalTimeLimitMilliseconds = c.TotalLimit;
    request.Limits.RateWindowMilliseconds = c.Window;
    EXPECT_EQ(Get(request), c.Result) << request.FailureCause;
    EXPECT_EQ(request.FailureCause, c.Cause);
    EXPECT_EQ(fake_.Clock.Now, c.EndsAt);
    EXPECT_EQ(FileExists(request.FileName), c.Result == ok);
    if (c.Result == ok) {
      EXPECT_EQ(request.ReceivedBytes, c.Received);
    }
    ASSERT_EQ(finished_.size(), 1u);
    EXPECT_EQ(finished_[0][1], c.Received);
  }
}

}  // namespace
}  // namespace updater
