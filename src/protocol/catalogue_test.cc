// Field splitting, version numbers and the catalogue lines of VersionInfo.txt.
#include "protocol/catalogue.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

TEST(GetFieldTest, SplitsAtSpacesOutsideQuotes) {
  const struct {
    const char* Line;
    int64_t Index;
    const char* Field;
  } cases[] = {
      {"VOXA voxa.mxu 105", 1, "VOXA"},
      {"VOXA voxa.mxu 105", 2, "voxa.mxu"},
      {"VOXA voxa.mxu 105", 3, "105"},
      {"VOXA voxa.mxu 105", 4, ""},
      {"VOXA voxa.mxu 105", 0, ""},
      {"VOXA   voxa.mxu   105", 2, "voxa.mxu"},
      {"VOXA   voxa.mxu   105", 3, "105"},
      {"   VOXA voxa.mxu", 1, "VOXA"},
      {"   VOXA voxa.mxu", 2, "voxa.mxu"},
      {"VOXA ", 1, "VOXA"},
      {"VOXA ", 2, ""},
      {"VOXA  ", 2, ""},
      {"", 1, ""},
      {" ", 1, ""},
      {"\"two words\" file 5", 1, "\"two words\""},
      {"\"two words\" file 5", 2, "file"},
      {"a\"b c\"d e", 1, "a\"b c\"d"},
      {"a\"b c\"d e", 2, "e"},
      {"\"open quote runs to the end", 1, "\"open quote runs to the end"},
      {"tab\tis text x", 1, "tab\tis"},
      {"n\xC3\xA4me f\xC3\xBCle 1", 2, "f\xC3\xBCle"},
      {"\nVOXA v.mxu 1", 1, "\nVOXA"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(GetField(c.Line, c.Index), c.Field) << '"' << c.Line << "\" field " << c.Index;
}

TEST(ReadVersionFieldTest, ReadsSignBaseAndDigitsUpToTheFirstOtherCharacter) {
  const struct {
    const char* Text;
    int64_t Value;
  } cases[] = {
      {"105", 105},
      {"1.05", 1},
      {"$69", 105},
      {"$6a", 106},
      {"$6A", 106},
      {"%1101001", 105},
      {"%1102", 6},
      {"-5", -5},
      {"+7", 7},
      {"-$10", -16},
      {" \t 42", 42},
      {"42abc", 42},
      {"", 0},
      {"abc", 0},
      {"$", 0},
      {"$g", 0},
      {"%", 0},
      {"-", 0},
      {"--5", 0},
      {"\n5", 0},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"18446744073709551617", 1},  // wraps past 64 bits
  };
  for (const auto& c : cases) EXPECT_EQ(ReadVersionField(c.Text), c.Value) << '"' << c.Text << '"';
}

struct CatalogueCase {
  const char* Name;
  std::string Text;
  int64_t Lines;                     // the CR LF lines counted
  std::vector<UpdateEntry> Entries;  // the lines kept, in order
};

TEST(ParseCatalogueTest, CountsCrLfLinesAndKeepsTheUpdaterAndMainProgramLines) {
  const CatalogueCase cases[] = {
      {"empty body", "", 0, {}},
      {"one line without CR LF", "VOXA voxa.mxu 105", 0, {}},
      {"lines ended by LF only", "VOXA voxa.mxu 105\nupdater u.mxu 101\n", 0, {}},
      {"lone CR", "VOXA voxa.mxu 105\r", 0, {}},
      {"one line", "VOXA voxa.mxu 105\r\n", 1, {{"VOXA", "voxa.mxu", 105}}},
      {"only the first of two lines ended",
       "VOXA voxa.mxu 105\r\nupdater u.mxu 101",
       1,
       {{"VOXA", "voxa.mxu", 105}}},
      {"two lines",
       "updater Updater.mxu 101\r\nVOXA VOXA_105.mxu 105\r\n",
       2,
       {{"updater", "Updater.mxu", 101}, {"VOXA", "VOXA_105.mxu", 105}}},
      {"names in any letter case",
       "UPDATER u.mxu 101\r\nvOxA v.mxu 105\r\n",
       2,
       {{"UPDATER", "u.mxu", 101}, {"vOxA", "v.mxu", 105}}},
      {"other lines counted, not kept",
       "readme r.txt 1\r\nVOXA v.mxu 105\r\n\r\nVOXA2 x.mxu 1\r\n voxa  w.mxu 106\r\n",
       5,
       {{"VOXA", "v.mxu", 105}, {"voxa", "w.mxu", 106}}},
      {"repeated spaces", "VOXA   voxa.mxu   105\r\n", 1, {{"VOXA", "voxa.mxu", 105}}},
      {"leading spaces", "   VOXA voxa.mxu 105\r\n", 1, {{"VOXA", "voxa.mxu", 105}}},
      {"two fields", "VOXA voxa.mxu\r\n", 1, {{"VOXA", "voxa.mxu", 0}}},
      {"empty line", "\r\n", 1, {}},
      {"fourth field ignored", "VOXA v.mxu 105 extra\r\n", 1, {{"VOXA", "v.mxu", 105}}},
      {"quoted name", "\"VOXA beta\" v.mxu 106\r\n", 1, {}},
      {"quoted package file", "VOXA \"my v.mxu\" 106\r\n", 1, {{"VOXA", "\"my v.mxu\"", 106}}},
      {"decimal point", "VOXA v.mxu 1.05\r\n", 1, {{"VOXA", "v.mxu", 1}}},
      {"hexadecimal", "VOXA v.mxu $69\r\n", 1, {{"VOXA", "v.mxu", 105}}},
      {"binary", "VOXA v.mxu %1101001\r\n", 1, {{"VOXA", "v.mxu", 105}}},
      {"negative", "VOXA v.mxu -5\r\n", 1, {{"VOXA", "v.mxu", -5}}},
      {"second line starts with a line feed",
       "updater u.mxu 101\r\n\nVOXA v.mxu 105\r\n",
       2,
       {{"updater", "u.mxu", 101}, {"VOXA", "v.mxu", 105}}},
      {"only one line feed is dropped", "\n\nVOXA v.mxu 105\r\n", 1, {}},
      {"CR before CR LF stays in the line", "VOXA v.mxu 105\r\r\n", 1, {{"VOXA", "v.mxu", 105}}},
      {"byte-order mark stays in the name", "\xEF\xBB\xBFVOXA v.mxu 105\r\n", 1, {}},
      {"text after the last CR LF ignored", "\r\nVOXA v.mxu 105", 1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Catalogue catalogue{{"left", "over", 1}};
    ASSERT_EQ(ParseCatalogue(c.Text, &catalogue), c.Lines);
    if (c.Lines == 0) {
      ASSERT_EQ(catalogue.size(), 1u);  // as it was
      continue;
    }
    ASSERT_EQ(catalogue.size(), c.Entries.size());
    for (size_t k = 0; k < c.Entries.size(); ++k) {
      EXPECT_EQ(catalogue[k].Name, c.Entries[k].Name) << "entry " << k + 1;
      EXPECT_EQ(catalogue[k].PackageFile, c.Entries[k].PackageFile) << "entry " << k + 1;
      EXPECT_EQ(catalogue[k].Version, c.Entries[k].Version) << "entry " << k + 1;
    }
  }
}

TEST(ParseCatalogueTest, ALaterParseReplacesEveryPosition) {
  Catalogue catalogue;
  ASSERT_EQ(ParseCatalogue("VOXA a.mxu 1\r\nVOXA b.mxu 2\r\nVOXA c.mxu 3\r\n", &catalogue), 3);
  ASSERT_EQ(ParseCatalogue("VOXA d.mxu 4\r\n", &catalogue), 1);
  ASSERT_EQ(catalogue.size(), 1u);
  EXPECT_EQ(catalogue[0].PackageFile, "d.mxu");
  // A rejected text leaves the earlier catalogue as it was.
  EXPECT_EQ(ParseCatalogue("VOXA e.mxu 5", &catalogue), 0);
  EXPECT_EQ(catalogue[0].PackageFile, "d.mxu");
}

}  // namespace
}  // namespace updater
