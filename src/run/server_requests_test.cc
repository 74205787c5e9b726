// The request records of the three server files, and the requests through the
// real HTTP client over a fake internet that serves canned responses and
// records what was asked.
#include "run/server_requests.h"

#include <gtest/gtest.h>

#include "support/fake_platform.h"
#include "support/fake_web.h"
#include "support/temp_folder.h"

namespace updater {
namespace {

using testing::FakePlatform;
using testing::FakeWeb;
using testing::ReadWholeFile;
using testing::TempFolder;
using testing::WriteWholeFile;

TEST(ServerFileRequestTest, BuildsTheThreeRecordsOnTheServerInUse) {
  const std::string server = "http://host/voxa/";
  const struct {
    const char* name;
    HTTPGetRequest request;
    const char* url;
    HTTPGetTarget target;
    const char* fileName;
  } cases[] = {
      {"status", UpdateInfoRequest(server), "http://host/voxa/UpdateInfo.txt",
       HTTPGetTarget::TargetMemory, ""},
      {"server list", ServerListRequest(server, "C:\\App\\"), "http://host/voxa/UpdateServer.lst",
       HTTPGetTarget::TargetFile, "C:\\App\\UpdateServer.lst"},
      {"catalogue", VersionInfoRequest(server), "http://host/voxa/VersionInfo.txt",
       HTTPGetTarget::TargetMemory, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.request.URL, c.url);
    EXPECT_EQ(c.request.Target, c.target);
    EXPECT_EQ(c.request.FileName, c.fileName);
    EXPECT_EQ(c.request.Agent, "Morvex Updater");
    EXPECT_EQ(c.request.BufferSize, 0);
    EXPECT_EQ(c.request.Port, 0);
    EXPECT_EQ(c.request.AccessType, 0);
    EXPECT_EQ(c.request.RequestFlags, 0u);
    EXPECT_FALSE(c.request.Memory.has_value());
    EXPECT_FALSE(c.request.OnProgress || c.request.OnConnected || c.request.OnFinished);
  }
}

TEST(ServerFileRequestTest, GluesTheFileNameOnAServerWithoutSlashUnescaped) {
  EXPECT_EQ(UpdateInfoRequest("http://host/a b").URL, "http://host/a bUpdateInfo.txt");
}

TEST(TakeBodyTextTest, TakesReceivedBytesOfTheBodyAndReleasesIt) {
  const struct {
    const char* name;
    std::optional<std::string> body;
    int32_t receivedBytes;
    std::string text;
  } cases[] = {
      {"no body", std::nullopt, 0, ""},
      {"whole body", "ok\r\n", 4, "ok\r\n"},
      {"only ReceivedBytes count", "ok\r\n", 2, "ok"},
      {"ReceivedBytes past the body", "ok", 9, "ok"},
      {"decoded as text", std::string("a\xFF\0b", 4), 4, "a\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HTTPGetRequest request;
    if (c.body) request.Memory.emplace(c.body->begin(), c.body->end());
    request.ReceivedBytes = c.receivedBytes;
    EXPECT_EQ(TakeBodyText(request), c.text);
    EXPECT_FALSE(request.Memory.has_value());
  }
}

class ServerFetchTest : public ::testing::Test {
 protected:
  SignedFileInfo info;
  ServerFetchTest() {
    program_.ProgramFolder = folder_.Path();
    program_.Settings.Server = "http://updates.test/voxa/";
  }

  FakeWeb web_;
  FakePlatform fake_;
  Platform platform_{fake_.console, fake_.platform.files, fake_.processes,
                     fake_.clock,   fake_.versions,       web_};
  Program program_{platform_};
  TempFolder folder_;
};

TEST_F(ServerFetchTest, FetchesTheStateAndTheCatalogueAsText) {
  web_.Serve("http://updates.test/voxa/UpdateInfo.txt", "OK");
  web_.Serve("http://updates.test/voxa/VersionInfo.txt", "\xEF\xBB\xBFVOXA v.mxu 105\r\n");
  std::string state, catalogue;
  ASSERT_TRUE(FetchUpdateInfo(program_, &state));
  ASSERT_TRUE(FetchVersionInfo(program_, &catalogue, &info));
  EXPECT_EQ(state, "OK");
  EXPECT_EQ(catalogue, "\xEF\xBB\xBFVOXA v.mxu 105\r\n");
  EXPECT_EQ(web_.requested, (std::vector<std::string>{"updates.test/voxa/UpdateInfo.txt",
                                                      "updates.test/voxa/VersionInfo.txt"}));
  EXPECT_EQ(web_.agents, (std::vector<std::string>{"Morvex Updater", "Morvex Updater"}));
  EXPECT_TRUE(fake_.console.lines.empty());
}

TEST_F(ServerFetchTest, AnEmptyBodyIsTheEmptyText) {
  web_.Serve("http://updates.test/voxa/UpdateInfo.txt", "");
  std::string state = "stale";
  ASSERT_TRUE(FetchUpdateInfo(program_, &state));
  EXPECT_EQ(state, "");
}

TEST_F(ServerFetchTest, SavesTheServerListOverTheOneOnDisk) {
  WriteWholeFile(folder_.Path() + "UpdateServer.lst", "http://old/\r\n");
  program_.ServerList = {"http://kept/"};
  web_.Serve("http://updates.test/voxa/UpdateServer.lst", "http://a/\r\nhttp://b/\r\n");
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
  web_.Unreachable("updates.test");
  EXPECT_FALSE(FetchVersionInfo(program_, &text, &info));
  ASSERT_EQ(fake_.console.lines.size(), 3u);
  EXPECT_EQ(fake_.console.lines[0], "Error: HTTP status code = 404");
  EXPECT_EQ(fake_.console.lines[1], "Error: HTTP status code = 404");
  HTTPGetRequest unreachable;
  EXPECT_EQ(fake_.console.lines[2],
            "Error: " + HTTPGetErrorText(HTTPGetResult::HTTPGetErrSend, unreachable));
}

// A server file of more than 16 MiB is stopped, by its announced length or by
// its bytes, and fails like any other request; the list on disk stays.
TEST_F(ServerFetchTest, AServerFileOfMoreThan16MiBIsAborted) {
  constexpr size_t kLargest = 16 * 1024 * 1024;
  std::string text;
  for (size_t size : {kLargest, kLargest + 1}) {
    SCOPED_TRACE(size);
    WriteWholeFile(folder_.Path() + "UpdateServer.lst", "http://old/\r\n");
    const std::string body(size, 'x');
    for (const char* file : {"UpdateInfo.txt", "UpdateServer.lst", "VersionInfo.txt"})
      web_.Serve("http://updates.test/voxa/" + std::string(file), body);
    fake_.console.lines.clear();
    const bool taken = size == kLargest;
    EXPECT_EQ(FetchUpdateInfo(program_, &text), taken);
    EXPECT_EQ(text.size(), taken ? size : 0u);
    EXPECT_EQ(FetchVersionInfo(program_, &text, &info), taken);
    EXPECT_EQ(FetchServerList(program_), taken);
    EXPECT_TRUE(ReadWholeFile(folder_.Path() + "UpdateServer.lst") ==
                (taken ? body : "http://old/\r\n"));
    EXPECT_EQ(fake_.console.lines, taken ? std::vector<std::string>{}
                                         : std::vector<std::string>(3, "Error: Download aborted."));
  }
}

}  // namespace
}  // namespace updater
