// The request records of the three server files, and the requests through the
// real HTTP client over a fake internet that serves canned responses and
// records what was asked.
#include "run/server_requests.h"

#include <gtest/gtest.h>

#include "support/fake_platform.h"
#include "support/fake_web.h"
#include "support/temp_folder.h"
#include "transfer/http_error_text.h"

namespace updater {
namespace {

using testing::FakePlatform;
using testing::FakeWeb;
using testing::ReadWholeFile;
using testing::TempFolder;
using testing::WriteWholeFile;

TEST(ServerFileRequestTest, BuildsTheThreeRecordsOnTheServerInUse) {
  const std::string server = "http://host/voxa/";
  // Limits other than the shipped ones, as a test program's entry sets them.
  TimeLimits limits;
  limits.ConnectMilliseconds = 1000;
  limits.ResponseMilliseconds = 2000;
  limits.ReceiveMilliseconds = 3000;
  limits.RateWindowMilliseconds = 4000;
  limits.ServerFileMilliseconds = 5000;
  const struct {
    const char* Name;
    HTTPGetRequest Request;
    const char* Url;
    HTTPGetTarget Target;
    const char* FileName;
  } cases[] = {
      {"status", UpdateInfoRequest(server, limits), "http://host/voxa/UpdateInfo.txt",
       HTTPGetTarget::Memory, ""},
      {"server list", ServerListRequest(server, limits), "http://host/voxa/UpdateServer.lst",
       HTTPGetTarget::Memory, ""},
      {"catalogue", VersionInfoRequest(server, limits), "http://host/voxa/VersionInfo.txt",
       HTTPGetTarget::Memory, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(c.Request.URL, c.Url);
    EXPECT_EQ(c.Request.Target, c.Target);
    EXPECT_EQ(c.Request.FileName, c.FileName);
    EXPECT_EQ(c.Request.Agent, "Morvex Updater");
    EXPECT_EQ(c.Request.BufferSize, 0);
    EXPECT_EQ(c.Request.Port, 0);
    EXPECT_EQ(c.Request.Access, HttpAccess::Direct);
    EXPECT_TRUE(c.Request.Reload && c.Request.NeverAskUser);
    EXPECT_EQ(c.Request.Limits.ConnectMilliseconds, 1000);
    EXPECT_EQ(c.Request.Limits.ResponseMilliseconds, 2000);
    EXPECT_EQ(c.Request.Limits.ReceiveMilliseconds, 3000);
    EXPECT_EQ(c.Request.Limits.RateWindowMilliseconds, 4000);
    EXPECT_EQ(c.Request.TotalTimeLimitMilliseconds, 5000);
    EXPECT_FALSE(c.Request.Memory.has_value());
    EXPECT_FALSE(c.Request.OnProgress || c.Request.OnConnected || c.Request.OnFinished);
  }
}

TEST(ServerFileRequestTest, GluesTheFileNameOnAServerWithoutSlashUnescaped) {
  EXPECT_EQ(UpdateInfoRequest("http://host/a b", TimeLimits()).URL,
            "http://host/a bUpdateInfo.txt");
}

TEST(TakeBodyTextTest, TakesReceivedBytesOfTheBodyAndReleasesIt) {
  const struct {
    const char* Name;
    std::optional<std::string> Body;
    int64_t ReceivedBytes;
    std::string Text;
  } cases[] = {
      {"no body", std::nullopt, 0, ""},
      {"whole body", "ok\r\n", 4, "ok\r\n"},
      {"only ReceivedBytes count", "ok\r\n", 2, "ok"},
      {"ReceivedBytes past the body", "ok", 9, "ok"},
      {"decoded as text", std::string("a\xFF\0b", 4), 4, "a\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    HTTPGetRequest request;
    if (c.Body) request.Memory.emplace(c.Body->begin(), c.Body->end());
    request.ReceivedBytes = c.ReceivedBytes;
    EXPECT_EQ(TakeBodyText(request), c.Text);
    EXPECT_FALSE(request.Memory.has_value());
  }
}

class ServerFetchTest : public ::testing::Test {
 protected:
  SignedFileInfo info_;
  ServerFetchTest() {
    services_.ProgramFolder = folder_.Path();
    session_.Server = "http://updates.test/voxa/";
  }

  // Before the services, so that the log they keep open in it is closed
  // before the folder goes (Windows deletes no open file).
  TempFolder folder_;
  FakeWeb web_;
  FakePlatform fake_;
  Platform platform_{fake_.Console, fake_.Platform.Files, fake_.Processes,
                     fake_.Clock,   fake_.Versions,       web_};
  RunSettings settings_;
  RunServices services_{platform_, settings_};
  CheckSession session_;
};

TEST_F(ServerFetchTest, FetchesTheStateAndTheCatalogueAsText) {
  web_.Serve("http://updates.test/voxa/UpdateInfo.txt", "OK");
  web_.Serve("http://updates.test/voxa/VersionInfo.txt", "\xEF\xBB\xBFVOXA v.mxu 105\r\n");
  std::string state, catalogue;
  ASSERT_TRUE(FetchUpdateInfo(services_, session_, &state));
  ASSERT_TRUE(FetchVersionInfo(services_, session_, &catalogue, &info_));
  EXPECT_EQ(state, "OK");
  EXPECT_EQ(catalogue, "\xEF\xBB\xBFVOXA v.mxu 105\r\n");
  EXPECT_EQ(web_.Requested, (std::vector<std::string>{"updates.test/voxa/UpdateInfo.txt",
                                                      "updates.test/voxa/VersionInfo.txt"}));
  EXPECT_EQ(web_.Agents, (std::vector<std::string>{"Morvex Updater", "Morvex Updater"}));
  EXPECT_TRUE(fake_.Console.Lines.empty());
}

TEST_F(ServerFetchTest, AnEmptyBodyIsTheEmptyText) {
  web_.Serve("http://updates.test/voxa/UpdateInfo.txt", "");
  std::string state = "stale";
  ASSERT_TRUE(FetchUpdateInfo(services_, session_, &state));
  EXPECT_EQ(state, "");
}

TEST_F(ServerFetchTest, SavesTheServerListOverTheOneOnDisk) {
  WriteWholeFile(folder_.Path() + "UpdateServer.lst", "http://old/\r\n");
  session_.ServerList = {"http://kept/"};
  web_.Serve("http://updates.test/voxa/UpdateServer.lst", "http://a/\r\nhttp://b/\r\n");
  ASSERT_TRUE(FetchServerList(services_, session_));
  EXPECT_EQ(ReadWholeFile(folder_.Path() + "UpdateServer.lst"), "http://a/\r\nhttp://b/\r\n");
  EXPECT_EQ(session_.ServerList, (std::vector<std::string>{"http://kept/"}));
}

// A downloaded list replaces the one on disk only when it is a list of
// servers (see ServerListRefusal); any other 200 answer leaves the list on
// disk byte for byte, with the reason in the log and no console line, and the
// check goes on.
TEST_F(ServerFetchTest, OnlyAListOfServersReplacesTheListOnDisk) {
  ASSERT_TRUE(fake_.Platform.Files.CreateFolder(folder_.Path() + "Update", nullptr));
  services_.Log.Open(services_.UpdateFolder());
  auto servers = [](size_t bytes) {
    std::string list;
    for (int i = 0; list.size() < bytes; ++i)
      list += "http://dead" + std::to_string(i) + ".test/\r\n";
    return list;
  };
  const std::string old = "http://old.test/\r\n";
  const std::string noURL = "it holds no well-formed http:// or https:// URL";
  const std::string tooMany = "it has more than 256 lines";
  const std::string good = "# mirrors\r\nHTTPS://a.test/voxa/\r\nhttp://b.test/\r\n";
  const struct {
    const char* Name;
    std::string Body;
    std::string Refusal;  // in the log; empty when taken
  } cases[] = {
      {"an empty body", "", noURL},
      {"an error page", "<html><body>503 Service Unavailable http://a.test/</body></html>\r\n",
       noURL},
      {"257 servers", servers(257 * 22).substr(0, 257 * 22), tooMany},
      {"16 MiB of servers", servers((16 << 20) - 64), tooMany},
      {"a list", good, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    WriteWholeFile(folder_.Path() + "UpdateServer.lst", old);
    web_.Serve("http://updates.test/voxa/UpdateServer.lst", c.Body);
    const size_t logged = ReadWholeFile(folder_.Path() + "Update/Updater.log").size();
    EXPECT_TRUE(FetchServerList(services_, session_));
    EXPECT_EQ(ReadWholeFile(folder_.Path() + "UpdateServer.lst"), c.Refusal.empty() ? good : old);
    EXPECT_FALSE(testing::FileExists(folder_.Path() + "UpdateServer.lst.part"));
    EXPECT_TRUE(fake_.Console.Lines.empty());
    const std::string log = ReadWholeFile(folder_.Path() + "Update/Updater.log").substr(logged);
    const std::string record =
        "The server's UpdateServer.lst is not taken, the list on disk stays: ";
    if (c.Refusal.empty()) {
      EXPECT_EQ(log.find(record), std::string::npos) << log;
    } else {
      EXPECT_NE(log.find(record + c.Refusal + "\r\n"), std::string::npos) << log;
    }
  }
}

TEST_F(ServerFetchTest, AFailedRequestPrintsOneErrorLine) {
  WriteWholeFile(folder_.Path() + "UpdateServer.lst", "http://old/\r\n");
  std::string text = "stale";
  EXPECT_FALSE(FetchUpdateInfo(services_, session_, &text));
  EXPECT_EQ(text, "");
  EXPECT_FALSE(FetchServerList(services_, session_));
  EXPECT_EQ(ReadWholeFile(folder_.Path() + "UpdateServer.lst"), "http://old/\r\n");
  web_.Unreachable("updates.test");
  EXPECT_FALSE(FetchVersionInfo(services_, session_, &text, &info_));
  ASSERT_EQ(fake_.Console.Lines.size(), 3u);
  EXPECT_EQ(fake_.Console.Lines[0], "Error: HTTP status code = 404");
  EXPECT_EQ(fake_.Console.Lines[1], "Error: HTTP status code = 404");
  HTTPGetRequest unreachable;
  EXPECT_EQ(fake_.Console.Lines[2],
            "Error: " + HTTPGetErrorText(HTTPGetResult::ErrSend, unreachable));
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
    fake_.Console.Lines.clear();
    const bool taken = size == kLargest;
    EXPECT_EQ(FetchUpdateInfo(services_, session_, &text), taken);
    EXPECT_EQ(text.size(), taken ? size : 0u);
    EXPECT_EQ(FetchVersionInfo(services_, session_, &text, &info_), taken);
    EXPECT_EQ(FetchServerList(services_, session_), taken);
    // Taken as a body, but no list: the list on disk stays.
    EXPECT_EQ(ReadWholeFile(folder_.Path() + "UpdateServer.lst"), "http://old/\r\n");
    EXPECT_EQ(fake_.Console.Lines, taken ? std::vector<std::string>{}
                                         : std::vector<std::string>(3, "Error: Download aborted."));
  }
}

}  // namespace
}  // namespace updater
