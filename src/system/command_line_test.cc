// The command-line splitting rule and its inverse.
#include "system/command_line.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

using Parameters = std::vector<std::string>;

TEST(SplitCommandLineTest, FollowsTheSplittingRules) {
  struct Case {
    const char* Line;
    updater::Parameters Parameters;
  };
  const Case cases[] = {
      {"", {}},
      {"   ", {}},
      {"prog", {"prog"}},
      {"prog a  b", {"prog", "a", "b"}},
      {"prog a   ", {"prog", "a"}},     // trailing spaces add nothing
      {"prog a\tb", {"prog", "a\tb"}},  // tabs do not separate
      {"\"C:\\My App\\Updater.exe\" -s", {"C:\\My App\\Updater.exe", "-s"}},
      {"prog \"two words\" x", {"prog", "two words", "x"}},
      {"prog \"ab\"cd", {"prog", "ab", "cd"}},       // a quoted parameter ends at its quote
      {"prog a\"b c\"d e", {"prog", "ab cd", "e"}},  // a quoted stretch inside a parameter
      {"prog \"\" x", {"prog", "", "x"}},            // an empty quoted parameter counts
      {"prog \"open end", {"prog", "open end"}},     // an unclosed quote runs to the end
      {"prog a\"b", {"prog", "ab"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitCommandLine(c.Line), c.Parameters) << c.Line;
}

TEST(JoinCommandLineTest, SplitsBackToTheSameArguments) {
  const Parameters cases[] = {
      {"/opt/voxa/Updater.exe"},
      {"/tmp/a b/Updater.exe", "-svr", "http://127.0.0.1:8080/x/", "-da"},
      {"prog", "", "two words", "  lead"},
  };
  for (const Parameters& arguments : cases)
    EXPECT_EQ(SplitCommandLine(JoinCommandLine(arguments)), arguments);
}

TEST(JoinCommandLineTest, DropsQuotesItCannotExpress) {
  EXPECT_EQ(SplitCommandLine(JoinCommandLine({"prog", "say \"hi\""})),
            (Parameters{"prog", "say hi"}));
}

}  // namespace
}  // namespace updater
