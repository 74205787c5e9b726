// The catalogue lines that publishing writes.
#include "mxupack/publish.h"

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

TEST(PublishCatalogueTest, PackageNames) {
  EXPECT_EQ(ReleasePackageName(105, 0), "VOXA-1.05.mxu");
  EXPECT_EQ(ReleasePackageName(1210, 105), "VOXA-12.10-since-1.05.mxu");
}

}  // namespace
}  // namespace updater::mxupack
