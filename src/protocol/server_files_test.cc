// The request records of the three server files, the decoding of memory
// bodies and the state word.
#include "protocol/server_files.h"

#include <gtest/gtest.h>

#include "support/fake_platform.h"

namespace updater {
namespace {

using testing::FakePlatform;

TEST(ServerFileRequestTest, BuildsTheThreeRecordsOnTheServerInUse) {
  FakePlatform fake;
  Program program(fake.platform);
  program.Settings.Server = "http://host/voxa/";
  program.ProgramFolder = "C:\\App\\";
  const struct {
    const char* name;
    HTTPGetRequest request;
    const char* url;
    int32_t target;
    const char* fileName;
  } cases[] = {
      {"status", UpdateInfoRequest(program), "http://host/voxa/UpdateInfo.txt", TargetMemory, ""},
      {"server list", ServerListRequest(program), "http://host/voxa/UpdateServer.lst", TargetFile,
       "C:\\App\\UpdateServer.lst"},
      {"catalogue", VersionInfoRequest(program), "http://host/voxa/VersionInfo.txt", TargetMemory,
       ""},
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
  FakePlatform fake;
  Program program(fake.platform);
  program.Settings.Server = "http://host/a b";
  EXPECT_EQ(UpdateInfoRequest(program).URL, "http://host/a bUpdateInfo.txt");
}

TEST(TakeBodyTextTest, DecodesUtf8UpToAZeroByteAndReleasesTheBody) {
  const struct {
    const char* name;
    std::optional<std::string> body;
    int32_t receivedBytes;  // -1: the body's length
    std::string text;
  } cases[] = {
      {"no body", std::nullopt, 0, ""},
      {"empty body", std::string(), -1, ""},
      {"plain", "ok", -1, "ok"},
      {"byte-order mark kept", "\xEF\xBB\xBFok", -1, "\xEF\xBB\xBFok"},
      {"multi-byte characters", "\xC3\x84\xE2\x82\xAC\xF0\x9F\x98\x80", -1,
       "\xC3\x84\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"stops at a zero byte", std::string("ok\0more", 7), -1, "ok"},
      {"zero byte first", std::string("\0ok", 3), -1, ""},
      {"only ReceivedBytes count", "ok\r\n", 2, "ok"},
      {"malformed byte replaced",
       "a\xFF"
       "b",
       -1,
       "a\xEF\xBF\xBD"
       "b"},
      {"cut sequence replaced", "a\xE2\x82", -1, "a\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"overlong form replaced", "\xC0\xAF", -1, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate replaced", "\xED\xA0\x80", -1, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HTTPGetRequest request;
    if (c.body) {
      request.Memory.emplace(c.body->begin(), c.body->end());
      request.ReceivedBytes =
          c.receivedBytes < 0 ? static_cast<int32_t>(c.body->size()) : c.receivedBytes;
    }
    EXPECT_EQ(TakeBodyText(request), c.text);
    EXPECT_FALSE(request.Memory.has_value());
  }
}

TEST(ServerStateTest, LowerCasesTheWholeTextAndNamesItsLine) {
  const struct {
    std::string text;
    const char* line;
  } cases[] = {
      {"ok", ""},
      {"OK", ""},
      {"Ok", ""},
      {"noupdates", "Server does not offer updates anymore."},
      {"NoUpdates", "Server does not offer updates anymore."},
      {"maintenance", "Server is currently under maintenance."},
      {"MAINTENANCE", "Server is currently under maintenance."},
      {"", "Server is in unknown state."},
      {"ok\r\n", "Server is in unknown state."},
      {"ok\n", "Server is in unknown state."},
      {"ok ", "Server is in unknown state."},
      {" ok", "Server is in unknown state."},
      {"\xEF\xBB\xBFok", "Server is in unknown state."},
      {"okay", "Server is in unknown state."},
      // Non-ASCII letters are lower-cased too, but never become a state word.
      {"\xC3\x96K", "Server is in unknown state."},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ServerStateLine(ServerState(c.text)), c.line) << '"' << c.text << '"';
  EXPECT_EQ(ServerState("NoUpdates\xC3\x84"), "noupdates\xC3\xA4");
}

}  // namespace
}  // namespace updater
