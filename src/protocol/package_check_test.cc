// A downloaded package checked against its catalogue line's size and digest.
#include "protocol/package_check.h"

#include <gtest/gtest.h>

#include "support/temp_folder.h"
#include "system/platform.h"

namespace updater {
namespace {

using testing::TempFolder;

TEST(PackageMatchesFactsTest, ChecksTheSizeAndTheDigestTheLineGives) {
  // BLAKE2b-256 of "abc" (RFC 7693's test message), and of other bytes.
  const std::string abc = "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319";
  const std::string other = "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8";
  const struct {
    const char* What;
    std::string Facts;
    const char* Content;  // null: no file
    bool Matches;
    std::string Cause;  // a part of it
  } cases[] = {
      {"no facts", "", "anything", true, ""},
      {"both right, upper-case digits",
       "size=3 blake2b=BDDD813C634239723171EF3FEE98579B94964E3BB1CB3E427262C8C068D52319", "abc",
       true, ""},
      {"digest only", "blake2b=" + abc, "abc", true, ""},
      {"size only", "size=3", "xyz", true, ""},
      {"one byte more", "size=3 blake2b=" + abc, "abcd", false,
       "holds 4 bytes; the catalogue says 3"},
      {"one byte less", "size=3", "ab", false, "holds 2 bytes"},
      {"other content", "size=3 blake2b=" + other, "abc", false,
       "is " + abc + "; the catalogue says " + other},
      {"a malformed digest is not checked", "blake2b=xyz", "abc", true, ""},
      {"no file", "size=3", nullptr, false, "cannot open"},
  };
  TempFolder folder;
  FileSystem& files = RealPlatform().Files;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    Catalogue catalogue;
    ASSERT_EQ(ParseCatalogue("VOXA p.mxu 110 " + c.Facts + "\r\n", &catalogue), 1);
    const std::string path = folder.Path() + "p.mxu";
    if (c.Content) {
      testing::WriteWholeFile(path, c.Content);
    } else if (files.Exists(path)) {
      ASSERT_TRUE(files.Delete(path, nullptr));
    }
    std::string cause;
    EXPECT_EQ(PackageMatchesFacts(files, path, catalogue[0].Facts, &cause), c.Matches);
    EXPECT_NE(cause.find(c.Cause), std::string::npos) << cause;
  }
}

}  // namespace
}  // namespace updater
