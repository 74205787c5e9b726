// The three server requests through the real HTTP client, over a fake
// internet that serves canned responses and records what was asked.
#include <gtest/gtest.h>

#include <map>

#include "protocol/server_files.h"
#include "support/fake_platform.h"
#include "support/temp_folder.h"

namespace updater {
namespace {

using testing::FakePlatform;
using testing::ReadWholeFile;
using testing::TempFolder;
using testing::WriteWholeFile;

struct CannedResponse {
  uint32_t status = 200;
  std::string body;
};

// One web server: paths to responses; a path it does not know answers 404.
struct FakeWeb {
  std::map<std::string, CannedResponse> responses;
  bool reachable = true;
  std::vector<std::string> agents, hosts, paths;
};

class FakeRequest : public HttpRequest {
 public:
  FakeRequest(FakeWeb& web, const std::string& path) : web_(web), path_(path) {}
  bool Send() override {
    if (!web_.reachable) return false;
    auto found = web_.responses.find(path_);
    response_ = found != web_.responses.end() ? found->second : CannedResponse{404, "missing"};
    offset_ = 0;
    return true;
  }
  bool QueryNumber(uint32_t query, uint32_t* value) override {
    if (query == kQueryStatusCode) *value = response_.status;
    if (query == kQueryContentLength) *value = static_cast<uint32_t>(response_.body.size());
    return true;
  }
  bool Read(void* buffer, uint32_t size, uint32_t* received) override {
    const size_t count = std::min<size_t>(size, response_.body.size() - offset_);
    response_.body.copy(static_cast<char*>(buffer), count, offset_);
    offset_ += count;
    *received = static_cast<uint32_t>(count);
    return true;
  }
  bool Close() override { return true; }

 private:
  FakeWeb& web_;
  std::string path_;
  CannedResponse response_;
  size_t offset_ = 0;
};

class FakeConnection : public HttpConnection {
 public:
  explicit FakeConnection(FakeWeb& web) : web_(web) {}
  bool SetOption(uint32_t, const std::string&) override { return true; }
  std::unique_ptr<HttpRequest> OpenRequest(const std::string&, const std::string& path, uint32_t,
                                           bool) override {
    web_.paths.push_back(path);
    return std::make_unique<FakeRequest>(web_, path);
  }
  bool Close() override { return true; }

 private:
  FakeWeb& web_;
};

class FakeSession : public HttpSession {
 public:
  explicit FakeSession(FakeWeb& web) : web_(web) {}
  std::unique_ptr<HttpConnection> Connect(const std::string& host, int) override {
    web_.hosts.push_back(host);
    return std::make_unique<FakeConnection>(web_);
  }
  bool Close() override { return true; }

 private:
  FakeWeb& web_;
};

class FakeInternet : public Internet {
 public:
  explicit FakeInternet(FakeWeb& web) : web_(web) {}
  std::unique_ptr<HttpSession> Open(const std::string& agent, int32_t,
                                    const std::string&) override {
    web_.agents.push_back(agent);
    return std::make_unique<FakeSession>(web_);
  }

 private:
  FakeWeb& web_;
};

class ServerFetchTest : public ::testing::Test {
 protected:
  ServerFetchTest() {
    program_.ProgramFolder = folder_.Path();
    program_.Settings.Server = "http://updates.test/voxa/";
  }

  FakeWeb web_;
  FakeInternet internet_{web_};
  FakePlatform fake_;
  Platform platform_{fake_.console, fake_.platform.files, fake_.processes,
                     fake_.clock,   fake_.versions,       internet_};
  Program program_{platform_};
  TempFolder folder_;
};

TEST_F(ServerFetchTest, FetchesTheStateAndTheCatalogueAsText) {
  web_.responses["/voxa/UpdateInfo.txt"] = {200, "OK"};
  web_.responses["/voxa/VersionInfo.txt"] = {200, "\xEF\xBB\xBFVOXA v.mxu 105\r\n"};
  std::string state, catalogue;
  ASSERT_TRUE(FetchUpdateInfo(program_, &state));
  ASSERT_TRUE(FetchVersionInfo(program_, &catalogue));
  EXPECT_EQ(state, "OK");
  EXPECT_EQ(catalogue, "\xEF\xBB\xBFVOXA v.mxu 105\r\n");
  EXPECT_EQ(web_.hosts, (std::vector<std::string>{"updates.test", "updates.test"}));
  EXPECT_EQ(web_.paths,
            (std::vector<std::string>{"/voxa/UpdateInfo.txt", "/voxa/VersionInfo.txt"}));
  EXPECT_EQ(web_.agents, (std::vector<std::string>{"Morvex Updater", "Morvex Updater"}));
  EXPECT_TRUE(fake_.console.lines.empty());
}

TEST_F(ServerFetchTest, AnEmptyBodyIsTheEmptyText) {
  web_.responses["/voxa/UpdateInfo.txt"] = {200, ""};
  std::string state = "stale";
  ASSERT_TRUE(FetchUpdateInfo(program_, &state));
  EXPECT_EQ(state, "");
}

TEST_F(ServerFetchTest, SavesTheServerListOverTheOneOnDisk) {
  WriteWholeFile(folder_.Path() + "UpdateServer.lst", "http://old/\r\n");
  program_.ServerList = {"http://kept/"};
  web_.responses["/voxa/UpdateServer.lst"] = {200, "http://a/\r\nhttp://b/\r\n"};
  ASSERT_TRUE(FetchServerList(program_));
  EXPECT_EQ(ReadWholeFile(folder_.Path() + "UpdateServer.lst"), "http://a/\r\nhttp://b/\r\n");
  EXPECT_EQ(program_.ServerList, (std::vector<std::string>{"http://kept/"}));
}

TEST_F(ServerFetchTest, AFailedRequestPrintsOneErrorLine) {
  WriteWholeFile(folder_.Path() + "UpdateServer.lst", "http://old/\r\n");
  std::string text = "stale";
  EXPECT_FALSE(FetchUpdateInfo(program_, &text));
  EXPECT_EQ(text, "");
  EXPECT_FALSE(FetchServerList(program_));
  EXPECT_EQ(ReadWholeFile(folder_.Path() + "UpdateServer.lst"), "http://old/\r\n");
  web_.reachable = false;
  EXPECT_FALSE(FetchVersionInfo(program_, &text));
  ASSERT_EQ(fake_.console.lines.size(), 3u);
  EXPECT_EQ(fake_.console.lines[0], "Error: HTTP status code = 404");
  EXPECT_EQ(fake_.console.lines[1], "Error: HTTP status code = 404");
  HTTPGetRequest unreachable;
  EXPECT_EQ(fake_.console.lines[2], "Error: " + HTTPGetErrorText(HTTPGetErrSend, unreachable));
}

}  // namespace
}  // namespace updater
