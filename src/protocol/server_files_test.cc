// The text of server files and the state word.
#include "protocol/server_files.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

TEST(BodyTextTest, DecodesUtf8UpToAZeroByte) {
  const struct {
    const char* Name;
    std::string Body;
    std::string Text;
  } cases[] = {
      {"empty body", std::string(), ""},
      {"plain", "ok", "ok"},
      {"byte-order mark kept", "\xEF\xBB\xBFok", "\xEF\xBB\xBFok"},
      {"multi-byte characters", "\xC3\x84\xE2\x82\xAC\xF0\x9F\x98\x80",
       "\xC3\x84\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"stops at a zero byte", std::string("ok\0more", 7), "ok"},
      {"zero byte first", std::string("\0ok", 3), ""},
      {"malformed byte replaced",
       "a\xFF"
       "b",
       "a\xEF\xBF\xBD"
       "b"},
      {"cut sequence replaced", "a\xE2\x82", "a\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"overlong form replaced", "\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate replaced", "\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(BodyText(c.Body), c.Text);
  }
}

TEST(ServerStateTest, LowerCasesTheWholeTextAndNamesItsLine) {
  const struct {
    std::string Text;
    const char* Line;
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
    EXPECT_EQ(ServerStateLine(ServerState(c.Text)), c.Line) << '"' << c.Text << '"';
  EXPECT_EQ(ServerState("NoUpdates\xC3\x84"), "noupdates\xC3\xA4");
}

}  // namespace
}  // namespace updater
