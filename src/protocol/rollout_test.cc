// Staged rollouts: the rule per line and installation, its share over many
// installations, and the installation number's text form.
#include "protocol/rollout.h"

#include <gtest/gtest.h>

#include <random>

namespace updater {
namespace {

constexpr int64_t kDay = 24 * 60 * 60;
constexpr uint64_t kHalf = uint64_t{1} << 63;
constexpr uint64_t kLast = ~uint64_t{0};

TEST(RolloutOffersTest, OffersAStagedLineOnceTheInstallationsShareOfTheDaysHasPassed) {
  const struct {
    const char* Facts;
    uint64_t Number;
    int64_t Now;
    bool Force;
    bool Offered;
  } cases[] = {
      {"size=5", kLast, -1, false, true},
      {"rollout=halted", 0, 2000000000, true, false},
      {"rollout=1000/10", 0, 999, true, false},
      {"rollout=1000/10", 0, 1000, false, true},
      {"rollout=1000/10", 1, 1000, false, false},  // a share above 0 waits a second at least
      {"rollout=1000/10", kHalf, 1000 + 5 * kDay - 1, false, false},
      {"rollout=1000/10", kHalf, 1000 + 5 * kDay, false, true},
      {"rollout=1000/10", kLast, 1000 + 10 * kDay - 1, false, false},
      {"rollout=1000/10", kLast, 1000, true, true},
      {"rollout=9223372036854775807/365", kLast, INT64_MAX, false, false},
      {"rollout=1000/0", 0, 2000000000, true, false},  // malformed: held back
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Facts) + " number " + RolloutNumberText(c.Number) + " at " +
                 std::to_string(c.Now) + (c.Force ? " forced" : ""));
    const PackageFacts facts = ReadFacts(std::string("VOXA v.mxu 110 ") + c.Facts);
    EXPECT_EQ(RolloutOffers(facts, c.Number, c.Now, c.Force), c.Offered);
  }
}

TEST(RolloutOffersTest, ThreeDaysIntoTenAboutThirtyPercentTakeTheLineAndNobodyAfterAHalt) {
  constexpr int64_t kStart = 1767225600;
  const Catalogue staged = {
      {"VOXA", "v.mxu", 110, ReadFacts("VOXA v.mxu 110 rollout=1767225600/10")},
      {"VOXA", "w.mxu", 105, PackageFacts()}};
  const Catalogue halted = {{"VOXA", "v.mxu", 110, ReadFacts("VOXA v.mxu 110 rollout=halted")}};
  std::mt19937_64 seeded(20);
  int atDayThree = 0;
  int atDayTen = 0;
  int afterHalt = 0;
  for (int installation = 0; installation < 1000; ++installation) {
    const uint64_t number = seeded();
    const Catalogue offered = OfferedEntries(staged, number, kStart + 3 * kDay, false);
    ASSERT_FALSE(offered.empty());
    EXPECT_EQ(offered.back().PackageFile, "w.mxu");  // without a rollout: everybody
    atDayThree += offered.size() == 2 ? 1 : 0;
    atDayTen += OfferedEntries(staged, number, kStart + 10 * kDay, false).size() == 2 ? 1 : 0;
    afterHalt += OfferedEntries(halted, number, kStart + 10 * kDay, true).size();
  }
  // 1,000 draws of a 30% chance: 300 with a standard deviation of 14.5.
  EXPECT_GE(atDayThree, 250);
  EXPECT_LE(atDayThree, 350);
  EXPECT_EQ(atDayTen, 1000);
  EXPECT_EQ(afterHalt, 0);
}

TEST(RolloutNumberTest, WritesAndReadsSixteenHexadecimalDigits) {
  EXPECT_EQ(RolloutNumberText(0x0123456789abcdef), "0123456789abcdef");
  const struct {
    const char* Text;
    bool Read;
    uint64_t Number;
  } cases[] = {
      {"FEDCBA9876543210\r\n", true, 0xfedcba9876543210},
      {"ffffffffffffffff\n", true, kLast},
      {"0123456789abcde", false, 0},
      {"0123456789abcdeg", false, 0},
      {"0123456789abcdef\r", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    uint64_t number = 42;
    EXPECT_EQ(ReadRolloutNumber(c.Text, &number), c.Read);
    EXPECT_EQ(number, c.Read ? c.Number : 42);
  }
  // Two draws are the same once in 2^64.
  const uint64_t first = DrawRolloutNumber();
  EXPECT_NE(first, DrawRolloutNumber());
}

}  // namespace
}  // namespace updater
