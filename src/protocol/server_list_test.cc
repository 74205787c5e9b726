// The server list file, the random choice and the order of servers in a run.
#include "protocol/server_list.h"

#include <gtest/gtest.h>

#include <map>

#include "support/temp_folder.h"
#include "system/platform.h"

namespace updater {
namespace {

using testing::TempFolder;
using testing::WriteWholeFile;
using Entries = std::vector<std::string>;

TEST(SplitServerListTextTest, EndsLinesAtEveryLineBreakAndAppendsASlash) {
  const struct {
    const char* Name;
    std::string Text;
    updater::Entries Entries;
  } cases[] = {
      {"empty file", "", {}},
      {"CR LF", "http://a/\r\nhttp://b/\r\n", {"http://a/", "http://b/"}},
      {"lone LF", "http://a/\nhttp://b/\n", {"http://a/", "http://b/"}},
      {"lone CR", "http://a/\rhttp://b/\r", {"http://a/", "http://b/"}},
      {"end of file", "http://a/\r\nhttp://b/", {"http://a/", "http://b/"}},
      {"mixed breaks", "a\rb\nc\r\nd", {"a/", "b/", "c/", "d/"}},
      {"LF CR is two breaks", "a\n\rb", {"a/", "/", "b/"}},
      {"CR CR LF", "a\r\r\nb", {"a/", "/", "b/"}},
      {"slash appended", "http://a\r\n", {"http://a/"}},
      {"empty line in the middle", "http://a/\r\n\r\nhttp://b/", {"http://a/", "/", "http://b/"}},
      {"only a line break", "\r\n", {"/"}},
      {"no trimming", "  http://a/ \r\n", {"  http://a/ /"}},
      {"tab kept", "http://a/\t\n", {"http://a/\t/"}},
      {"duplicates kept", "http://a/\nhttp://a/\n", {"http://a/", "http://a/"}},
      {"byte-order mark kept", "\xEF\xBB\xBFhttp://a/\r\n", {"\xEF\xBB\xBFhttp://a/"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitServerListText(c.Text), c.Entries) << c.Name;
}

class ServerListTest : public ::testing::Test {
 protected:
  // A choice whose random source always takes the first remaining entry, so
  // the order of a run is the list order.
  static ServerChoice FirstEntryChoice() {
    ServerChoice choice;
    choice.Random = [](uint64_t) { return 0; };
    return choice;
  }

  // Every server a check run would try when each attempt fails.
  Entries ServerOrder(ServerChoice& choice) {
    Entries order;
    ChooseFirstServer(list_, server_, choice);
    order.push_back(server_);
    while (ChooseNextServer(list_, server_, choice)) order.push_back(server_);
    return order;
  }

  TempFolder folder_;
  FileSystem& files_ = RealPlatform().Files;
  Entries list_;        // the servers not yet tried
  std::string server_;  // the server in use
};

TEST_F(ServerListTest, LoadsTheFileInTheProgramFolder) {
  list_ = {"left over/"};
  WriteWholeFile(folder_.Path() + "UpdateServer.lst", "http://a/\r\nhttp://b\n\nhttp://c/");
  list_ = LoadServerList(files_, folder_.Path());
  EXPECT_EQ(list_, (Entries{"http://a/", "http://b/", "/", "http://c/"}));
  EXPECT_EQ(ServerCount(list_), 4);
}

TEST_F(ServerListTest, AMissingFileGivesAnEmptyListSilently) {
  list_ = {"left over/"};
  list_ = LoadServerList(files_, folder_.Path());
  EXPECT_TRUE(list_.empty());
  EXPECT_EQ(ServerCount(list_), 0);
}

// A list written by an older updater may be long: at most 256 entries are
// taken, from at most 256 KiB of the file, in file order.
TEST_F(ServerListTest, LoadsAtMost256EntriesFromTheStartOfALongFile) {
  const struct {
    const char* Name;
    size_t Lines;
    size_t LineLength;  // without its CR LF
    size_t Entries;
  } cases[] = {
      {"256 lines over several read chunks", 256, 1000, 256},
      {"100,000 lines", 100000, 24, 256},
      {"long lines: only what 256 KiB holds", 256, 2046, 128},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::string text;
    for (size_t i = 0; i < c.Lines; ++i) {
      std::string line = "http://s" + std::to_string(i) + ".example/";
      text += line + std::string(c.LineLength - line.size(), 'x') + "\r\n";
    }
    WriteWholeFile(folder_.Path() + "UpdateServer.lst", text);
    list_ = LoadServerList(files_, folder_.Path());
    ASSERT_EQ(ServerCount(list_), static_cast<int64_t>(c.Entries));
    EXPECT_EQ(list_.front().rfind("http://s0.example/", 0), 0u);
    EXPECT_EQ(list_.back().rfind("http://s" + std::to_string(c.Entries - 1) + ".example/", 0), 0u);
  }
}

// A downloaded list replaces the one on disk only when it holds at least one
// well-formed server URL, at most 256 lines and at most 256 KiB; otherwise the
// reason is given.
TEST(ServerListRefusalTest, TakesOnlyAListWithAServerURLAndAtMost256Lines) {
  auto lines = [](size_t count, const std::string& line) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += line + "\r\n";
    return text;
  };
  const std::string noURL = "it holds no well-formed http:// or https:// URL";
  const std::string tooLong = "it has more than 256 lines";
  const struct {
    const char* Name;
    std::string Text;
    std::string Refusal;  // empty: taken
  } cases[] = {
      {"one URL", "http://a.test/voxa/\r\n", ""},
      {"https in capitals, no line end, no final slash", "HTTPS://a.test", ""},
      {"a port, credentials and a query", "http://u:p@a.test:81/v?x=1\n", ""},
      {"junk lines beside one URL", "# mirrors\r\n\r\nftp://old/\r\nhttp://a.test/\r\n", ""},
      {"256 lines", lines(255, "junk") + "http://a.test/", ""},
      {"257 lines", lines(256, "http://a.test/") + "http://a.test/", tooLong},
      {"798,000 lines", lines(798000, "http://dead.test/"), tooLong},
      {"257 empty lines", lines(257, ""), tooLong},
      {"an empty body", "", noURL},
      {"only line breaks", "\r\n\n\r", noURL},
      {"an HTML error page",
       "<html><head><title>502 Bad Gateway</title></head>\r\n<body><a "
       "href=\"http://a.test/\">http://a.test/</a></body></html>\r\n",
       noURL},
      {"no host", "http://\r\nhttps:///voxa/\r\nhttp://u:p@/\r\n", noURL},
      {"another scheme", "ftp://a.test/\r\nfile:///c:/x/\r\n", noURL},
      {"a space in the URL", "http://a.test/my folder/\r\n", noURL},
      {"leading white space", " http://a.test/\r\n\thttp://b.test/\r\n", noURL},
      {"control characters",
       "http://a.test/" + std::string(1, '\0') + "x/\r\nhttp://b\x7F/\r\nhttp://c\x01/\r\n", noURL},
      {"more than 256 KiB", lines(200, "http://a.test/" + std::string(1400, 'x')),
       "it is larger than 256 KiB"},
      {"a byte-order mark before the only URL", "\xEF\xBB\xBFhttp://a.test/\r\n", noURL},
      {"text after the scheme only", "http:/a.test/\r\nhttp:a.test\r\n", noURL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(ServerListRefusal(c.Text), c.Refusal);
  }
}

TEST_F(ServerListTest, TriesServersInTheOrderOfOneRun) {
  const std::string def(kDefaultServerURL);
  std::string upperDefault = def;
  for (char& c : upperDefault) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  const struct {
    const char* Name;
    std::string Server;  // the -server value
    Entries List;
    Entries Order;
    bool UsingDefault;  // at the end of the run
  } cases[] = {
      {"empty list", "", {}, {def}, true},
      {"empty list with -server", "http://s/", {}, {"http://s/", def}, true},
      {"list", "", {"http://a/", "http://b/"}, {"http://a/", "http://b/", def}, true},
      {"list with -server",
       "http://s/",
       {"http://a/", "http://b/"},
       {"http://s/", "http://a/", "http://b/", def},
       true},
      {"default in the list in other case",
       "",
       {"http://a/", upperDefault},
       {"http://a/", upperDefault},
       false},
      {"default first in the list", "", {def, "http://a/"}, {def, "http://a/"}, false},
      {"-server naming the default is not compared",
       def,
       {"http://a/"},
       {def, "http://a/", def},
       true},
      {"-server kept as typed", "http://S", {}, {"http://S", def}, true},
      {"-server also in the list",
       "http://a/",
       {"http://a/"},
       {"http://a/", "http://a/", def},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    server_ = c.Server;
    list_ = c.List;
    ServerChoice choice = FirstEntryChoice();
    EXPECT_EQ(ServerOrder(choice), c.Order);
    EXPECT_EQ(choice.UsingDefaultServer, c.UsingDefault);
    EXPECT_EQ(ServerCount(list_), 0);
    // Once exhausted the run stays exhausted.
    EXPECT_FALSE(ChooseNextServer(list_, server_, choice));
  }
}

TEST_F(ServerListTest, ExhaustedAfterThePickedDefaultLeavesTheServerEmpty) {
  list_ = {std::string(kDefaultServerURL)};
  ServerChoice choice = FirstEntryChoice();
  ChooseFirstServer(list_, server_, choice);
  EXPECT_TRUE(choice.DefaultServerPicked);
  EXPECT_FALSE(choice.UsingDefaultServer);
  EXPECT_FALSE(ChooseNextServer(list_, server_, choice));
  EXPECT_EQ(server_, "");
}

TEST_F(ServerListTest, PickServerTakesTheDrawnEntryOut) {
  list_ = {"a/", "b/", "c/"};
  EXPECT_EQ(PickServer(list_, [](uint64_t count) { return count - 1; }), "c/");
  EXPECT_EQ(PickServer(list_, [](uint64_t) { return 0; }), "a/");
  EXPECT_EQ(list_, (Entries{"b/"}));
  EXPECT_EQ(PickServer(list_, [](uint64_t) { return 0; }), "b/");
  EXPECT_EQ(PickServer(list_,
                       [](uint64_t) -> uint64_t {
                         ADD_FAILURE() << "drew from an empty list";
                         return 0;
                       }),
            "");
}

// Every remaining entry is equally likely at every draw. With a fixed seed the
// test is deterministic; the bound is generous for any uniform source.
TEST_F(ServerListTest, EveryRemainingEntryIsEquallyLikely) {
  const Entries list = {"a/", "b/", "c/", "d/"};
  constexpr int kRuns = 40000;
  std::map<Entries, int> orders;
  std::map<std::string, int> firstPicks, secondPicks;
  const RandomIndexSource random = MakeSeededRandomSource(20240601);
  for (int run = 0; run < kRuns; ++run) {
    list_ = list;
    Entries order;
    while (ServerCount(list_) > 0) order.push_back(PickServer(list_, random));
    ++firstPicks[order[0]];
    ++secondPicks[order[1]];
    ++orders[order];
  }
  // 4 entries: each is first in a quarter of the runs; all 24 orders occur,
  // each in about 1/24 of the runs (1667).
  for (const std::string& entry : list) {
    EXPECT_NEAR(firstPicks[entry], kRuns / 4, kRuns / 40) << entry;
    EXPECT_NEAR(secondPicks[entry], kRuns / 4, kRuns / 40) << entry;
  }
  ASSERT_EQ(orders.size(), 24u);
  for (const auto& [order, count] : orders) EXPECT_NEAR(count, kRuns / 24, kRuns / 120);
}

TEST(RandomSourceTest, RunSourcesDrawDifferentSequences) {
  // Two sources seeded for two runs: 32 draws from 1000 agree only when the
  // seeds do (chance 1e-96 otherwise).
  const RandomIndexSource first = MakeRunRandomSource(), second = MakeRunRandomSource();
  std::vector<uint64_t> a, b;
  for (int i = 0; i < 32; ++i) {
    a.push_back(first(1000));
    b.push_back(second(1000));
    EXPECT_LT(a.back(), 1000u);
  }
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace updater
