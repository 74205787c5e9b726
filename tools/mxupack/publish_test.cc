// The catalogue lines that publishing writes, the division of a release into
// packages the format can hold, and the server list.
#include "mxupack/publish.h"
#include "mxupack/refresh.h"

#include <gtest/gtest.h>

namespace updater::mxupack {
namespace {

TEST(PublishCatalogueTest, MainProgramLines) {
  const struct {
    const char* Name;
    std::string Before;
    std::string Package;
    int64_t Version;
    std::string After;
  } cases[] = {
      {"new catalogue", "", "VOXA-1.00.mxu", 100, "VOXA VOXA-1.00.mxu 100\r\n"},
      {"added after the last VOXA line, others kept in order",
       "updater U.mxu 100\r\nVOXA a.mxu 100\r\nother o.mxu 7\r\n", "b.mxu", 105,
       "updater U.mxu 100\r\nVOXA a.mxu 100\r\nVOXA b.mxu 105\r\nother o.mxu 7\r\n"},
      {"the line of the same version replaced in place, letter case ignored",
       "voxa old.mxu 105\r\nVOXA a.mxu 100\r\nVoXa again.mxu 105\r\n", "new.mxu", 105,
       "VOXA new.mxu 105\r\nVOXA a.mxu 100\r\n"},
      {"LF line ends and empty lines mended",
       "updater U.mxu 100\n\nVOXA a.mxu 100\nlast line without end", "b.mxu", 105,
       "updater U.mxu 100\r\nVOXA a.mxu 100\r\nVOXA b.mxu 105\r\nlast line without end\r\n"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CatalogueWithMainLine(c.Before, c.Package, c.Version), c.After) << c.Name;
}

TEST(PublishCatalogueTest, TheUpdaterLineReplacesEveryUpdaterLine) {
  EXPECT_EQ(CatalogueWithUpdaterLine("VOXA a.mxu 100\r\n", "U.mxu", 110),
            "updater U.mxu 110\r\nVOXA a.mxu 100\r\n");
  EXPECT_EQ(CatalogueWithUpdaterLine(
                "VOXA a.mxu 100\r\nUpdater u1.mxu 100\r\nupdater u2.mxu 101\r\n", "U.mxu", 110),
            "VOXA a.mxu 100\r\nupdater U.mxu 110\r\n");
}

TEST(PublishCatalogueTest, ThePackagesOfOneVersionInTheirOrder) {
  const std::vector<std::string> parts = {"V-1.mxu", "V-2.mxu", "V-3.mxu"};
  EXPECT_EQ(CatalogueWithMainLines("updater U.mxu 100\r\nVOXA a.mxu 100\r\nother o.mxu 7\r\n",
                                   parts, 105),
            "updater U.mxu 100\r\nVOXA a.mxu 100\r\nVOXA V-1.mxu 105\r\nVOXA V-2.mxu 105\r\n"
            "VOXA V-3.mxu 105\r\nother o.mxu 7\r\n");
  // Forced again: every line of the version goes, the new ones take the
  // place of the first.
  EXPECT_EQ(CatalogueWithMainLines(
                "VOXA a.mxu 100\r\nVOXA old-1.mxu 105\r\nx y 1\r\nVOXA old-2.mxu 105\r\n",
                {"new-1.mxu", "new-2.mxu"}, 105),
            "VOXA a.mxu 100\r\nVOXA new-1.mxu 105\r\nVOXA new-2.mxu 105\r\nx y 1\r\n");
}

TEST(PublishCatalogueTest, HaltingAndResumingARolloutTouchesOnlyTheLinesOfItsVersion) {
  const std::string others = "updater  U.mxu 100\r\nvoxa a.mxu 100 rollout=5/2\nx y 105\r\n";
  const struct {
    const char* Name;
    std::string Before;
    bool Halt;
    std::string After;  // empty: refused
  } cases[] = {
      {"a staged line halted, what it was kept",
       others + "VOXA b.mxu 105 size=9 rollout=1767225600/10 other=1\r\n", true,
       others + "VOXA b.mxu 105 size=9 other=1 rollout=halted resume=1767225600/10\r\n"},
      {"and resumed as it was", others + "VOXA b.mxu 105 size=9 rollout=halted resume=10/3\r\n",
       false, others + "VOXA b.mxu 105 size=9 rollout=10/3\r\n"},
      {"a version with a line halted already is not halted again",
       "VOXA  b.mxu 105\nVoxa c.mxu $69 ROLLOUT=Halted Resume=ALL\n", true, ""},
      {"every line of the version halted", "VOXA b.mxu 105\nVoxa c.mxu $69 size=1\n", true,
       "VOXA b.mxu 105 rollout=halted resume=all\nVoxa c.mxu $69 size=1 rollout=halted "
       "resume=all\n"},
      {"resumed to everybody", "Voxa c.mxu $69 ROLLOUT=Halted Resume=ALL\r\n", false,
       "Voxa c.mxu $69\r\n"},
      {"no line of the version", others, true, ""},
      {"a halt without a record cannot be resumed", "VOXA b.mxu 105 rollout=halted\r\n", false, ""},
      {"a staged line is not resumed", "VOXA b.mxu 105 rollout=1/1\r\n", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::string changed = "unchanged", error;
    EXPECT_EQ(CatalogueWithRollout(c.Before, 105, c.Halt, &changed, &error), !c.After.empty())
        << error;
    EXPECT_EQ(changed, c.After.empty() ? "unchanged" : c.After);
  }
}

TEST(PublishCatalogueTest, PackageNames) {
  EXPECT_EQ(ReleasePackageName(105, 0), "VOXA-1.05.mxu");
  EXPECT_EQ(ReleasePackageName(1210, 105), "VOXA-12.10-since-1.05.mxu");
  EXPECT_EQ(ReleasePackageName(105, 0, 2, 3), "VOXA-1.05-2.mxu");
  EXPECT_EQ(ReleasePackageName(105, 100, 1, 2), "VOXA-1.05-since-1.00-1.mxu");
}

// The number of entries of each package `entries` of `sizes` go into.
std::vector<size_t> Division(const std::vector<EntryInput>& entries,
                             const std::vector<std::vector<int64_t>>& sizes, int64_t largest,
                             std::string* error) {
  std::vector<size_t> counts;
  size_t index = 0;
  for (const auto& package : DivideIntoPackages(entries, sizes, largest, error)) {
    for (const EntryInput& entry : package) EXPECT_EQ(entry.Name, entries.at(index++).Name);
    counts.push_back(package.size());
  }
  return counts;
}

TEST(DivideIntoPackagesTest, EachPackageWithinTheFormatsLimits) {
  const auto entriesOf = [](size_t count, size_t nameLength, MethodChoice method) {
    std::vector<EntryInput> entries;
    for (size_t i = 0; i < count; ++i) {
      std::string name = std::to_string(i);
      entries.push_back(
          {name + std::string(nameLength - name.size(), 'n'), 0, method, {{0, "", ""}}});
    }
    return entries;
  };
  const MethodChoice stored = PackageMethod::Stored, zlib = PackageMethod::Zlib;
  const int64_t kGiB = int64_t{1} << 30;
  const struct {
    const char* Name;
    std::vector<EntryInput> Entries;
    int64_t Size;     // of each entry's content
    int64_t Largest;  // package, 0: the format's
    std::vector<size_t> Counts;
  } cases[] = {
      // A record is 5 bytes, the name and 13 for its variant; the directory
      // begins with 2: 923 records of 71 bytes fill it to 65535.
      {"records up to 65535 bytes", entriesOf(3000, 53, stored), 1, 0, {923, 923, 923, 231}},
      {"exactly 65535 bytes", entriesOf(923, 53, stored), 1, 0, {923}},
      {"under 2 GiB of stored content", entriesOf(5, 4, stored), kGiB, 0, {1, 1, 1, 1, 1}},
      {"three stored ones of half a GiB fit", entriesOf(5, 4, stored), kGiB / 2, 0, {3, 2}},
      // zlib that grows content that does not compress: counted at its bound.
      {"zlib at its largest", entriesOf(4, 4, zlib), 1000000, 3100000, {3, 1}},
      {"a package limit of a test",
       entriesOf(10, 4, stored),
       100,
       21 + 300 + 2 + 3 * 22,
       {3, 3, 3, 1}},
  };
  for (const auto& c : cases) {
    std::string error;
    const std::vector<std::vector<int64_t>> sizes(c.Entries.size(), {c.Size});
    EXPECT_EQ(Division(c.Entries, sizes, c.Largest, &error), c.Counts) << c.Name << ": " << error;
  }
  std::string error;
  EXPECT_TRUE(Division(entriesOf(3, 4, stored), {{1}, {2 * kGiB}, {1}}, 0, &error).empty());
  EXPECT_NE(error.find("too large for a package"), std::string::npos) << error;
  EXPECT_TRUE(Division({}, {}, 0, &error).empty());
}

TEST(ServerListTextTest, TheUpdatersOwnRuleForEachURL) {
  std::string text, error;
  ASSERT_TRUE(
      ServerListText({"http://a.example/voxa", "HTTPS://user@b.example:8443/v/"}, &text, &error))
      << error;
  EXPECT_EQ(text, "http://a.example/voxa/\r\nHTTPS://user@b.example:8443/v/\r\n");
  for (const char* bad : {"ftp://a.example/", "http://", "http://a b/", "a.example/voxa/",
                          "http://a.example/\r\nhttp://b/"}) {
    EXPECT_FALSE(ServerListText({"http://good.example/", bad}, &text, &error)) << bad;
    EXPECT_NE(error.find(bad), std::string::npos) << error;
  }
  const std::vector<std::string> tooMany(257, "http://a.example/");
  EXPECT_FALSE(ServerListText(tooMany, &text, &error));
  EXPECT_NE(error.find("256 lines"), std::string::npos) << error;
}

}  // namespace
}  // namespace updater::mxupack
