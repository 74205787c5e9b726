// Field splitting, version numbers, the catalogue lines of VersionInfo.txt
// and the facts of their fields after the third.
#include "protocol/catalogue.h"

#include <gtest/gtest.h>

#include <string>

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

// The Fact bits of PackageFacts::Malformed.
constexpr uint8_t kSize = 1, kBlake2b = 2, kFrom = 4, kRollout = 8;
constexpr uint8_t kAll = kSize | kBlake2b | kFrom | kRollout;

TEST(ReadFactsTest, ReadsWellFormedFactsAndMarksTheOthersAbsentAndMalformed) {
  const std::string hash = "00112233445566778899aabbccddeeff0123456789abcdef0f1e2d3c4b5a6978";
  const std::string upperHash = "00112233445566778899AABBCCDDEEFF0123456789ABCDEF0F1E2D3C4B5A6978";
  const PackageFacts facts =
      ReadFacts("VOXA v 110 size=734003 blake2b=" + upperHash + " from=105 rollout=1767225600/10");
  ASSERT_TRUE(facts.Blake2b.has_value());
  EXPECT_EQ((*facts.Blake2b)[10], 0xaa);
  EXPECT_EQ((*facts.Blake2b)[31], 0x78);
  const struct {
    std::string Fields;  // after "VOXA v 110 "
    std::string Facts;   // as FactFields writes what was read
    uint8_t Malformed;
  } cases[] = {
      {"size=734003 blake2b=" + upperHash + " from=105 rollout=1767225600/10",
       "size=734003 blake2b=" + hash + " from=105 rollout=1767225600/10", 0},
      {"", "", 0},
      {"SIZE=00012 From=$69 ROLLOUT=Halted color=red size note=a=b =5",
       "size=12 from=105 rollout=halted", 0},
      {"\"note=a b\" size=9223372036854775807   from=-9223372036854775808 note=\"a size=6\"  ",
       "size=9223372036854775807 from=-9223372036854775808", 0},
      {"from=%1101001 rollout=9223372036854775807/365", "from=105 rollout=9223372036854775807/365",
       0},
      {"from=-$10 rollout=0/1 note=" + std::string(500, 'x'), "from=-16 rollout=0/1", 0},
      {"size=9223372036854775808 blake2b=" + hash.substr(1) +
           " from=9223372036854775808 rollout=1/366",
       "", kAll},
      {"size=0 blake2b=" + hash + "0 from=1.05 rollout=1/0", "", kAll},
      {"size=+5 blake2b=g" + hash.substr(1) + " from=$ rollout=halt", "", kAll},
      {"size=5\t from=%102 rollout=-1/10", "", kSize | kFrom | kRollout},
      {"size= from=+7 rollout=/10 blake2b=" + hash, "blake2b=" + hash + " from=7",
       kSize | kRollout},
      {"size=" + std::string(130, '0') + "5 rollout=1767225600 from=-", "",
       kSize | kFrom | kRollout},
      {"size=5 size=5 from=105 from=x rollout=1/1 rollout=1/1 blake2b=" + hash, "blake2b=" + hash,
       kSize | kFrom | kRollout},
      // The quote opened in a size field runs to the end: from= is in it.
      {"blake2b=" + hash + " rollout=1/10/2 size=6\" from=5", "blake2b=" + hash, kSize | kRollout},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Fields);
    const PackageFacts facts = ReadFacts("VOXA v 110 " + c.Fields);
    EXPECT_EQ(FactFields(facts), c.Facts);
    EXPECT_EQ(facts.Malformed, c.Malformed);
    const PackageFacts again = ReadFacts("VOXA v 110 " + FactFields(facts));
    EXPECT_EQ(FactFields(again), c.Facts);  // what is written reads back the same
    EXPECT_EQ(again.Malformed, 0);
  }
}

TEST(ParseCatalogueTest, KeepsEveryLineWithTheFactsItCouldRead) {
  Catalogue catalogue;
  ASSERT_EQ(ParseCatalogue("x o 1 size=1\r\nVOXA a size=5\r\nVOXA b 105 size=7 from=1.00\r\n",
                           &catalogue),
            3);
  ASSERT_EQ(catalogue.size(), 2u);
  EXPECT_FALSE(catalogue[0].Facts.Size.has_value());  // field 3 is the version
  EXPECT_EQ(catalogue[1].Facts.Size, 7);
  EXPECT_EQ(catalogue[1].Facts.Malformed, kFrom);
}

}  // namespace
}  // namespace updater
