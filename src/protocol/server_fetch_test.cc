// The three server requests through the real HTTP client, over a fake
// internet that serves canned responses and records what was asked.
#include <gtest/gtest.h>

#include "protocol/server_files.h"
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

class ServerFetchTest : public ::testing::Test {
 protected:
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
  ASSERT_TRUE(FetchVersionInfo(program_, &catalogue));
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
  EXPECT_FALSE(FetchVersionInfo(program_, &text));
  ASSERT_EQ(fake_.console.lines.size(), 3u);
  EXPECT_EQ(fake_.console.lines[0], "Error: HTTP status code = 404");
  EXPECT_EQ(fake_.console.lines[1], "Error: HTTP status code = 404");
  HTTPGetRequest unreachable;
  EXPECT_EQ(fake_.console.lines[2], "Error: " + HTTPGetErrorText(HTTPGetErrSend, unreachable));
}

}  // namespace
}  // namespace updater
