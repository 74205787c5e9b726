// The status text of long work and when the view draws and erases it.
#include "run/progress_view.h"

#include <gtest/gtest.h>

#include <limits>
#include <utility>
#include <vector>

#include "support/fake_platform.h"

namespace updater {
namespace {

constexpr int64_t kMiB = 1024 * 1024;
constexpr int64_t kGiB = 1024 * kMiB;
constexpr int64_t kLargest = std::numeric_limits<int64_t>::max();

TEST(ProgressText, UnitsAndTimes) {
  const std::pair<int64_t, const char*> bytes[] = {
      {-5, "0 B"},          {1023, "1023 B"},           {1024, "1.0 KB"},
      {1075, "1.0 KB"},     {1076, "1.1 KB"},           {1048524, "1023.9 KB"},
      {1048525, "1.0 MB"},  // 1023.95 KB would round to 1024.0 KB
      {kGiB - 1, "1.0 GB"}, {1024 * kGiB, "1024.0 GB"}, {kLargest, "8589934592.0 GB"}};
  for (const auto& [count, text] : bytes) EXPECT_EQ(FormatBytes(count), text) << count;
  const std::pair<int64_t, const char*> times[] = {
      {-1, "0 s"},           {59, "59 s"},         {60, "1 min 00 s"},      {185, "3 min 05 s"},
      {3599, "59 min 59 s"}, {3779, "1 h 02 min"}, {360000, "100 h 00 min"}};
  for (const auto& [seconds, text] : times) EXPECT_EQ(FormatTimeLeft(seconds), text) << seconds;
}

TEST(ProgressText, ShowsWhatIsKnown) {
  const struct {
    int64_t Done, Total;
    double Rate;
    const char* Text;
  } cases[] = {
      // 55 MB at 2 MB/s is 27.5 s: rounded up.
      {45 * kMiB, 100 * kMiB, 2.0 * kMiB, "45% 45.0 MB of 100.0 MB, 2.0 MB/s, 28 s left"},
      {12897485, 0, 2.1 * kMiB, "12.3 MB, 2.1 MB/s"},
      {500, 1000, -1, "50% 500 B of 1000 B"},
      {500, 1000, 0, "50% 500 B of 1000 B, 0 B/s"},
      {999, 1000, 1000, "99% 999 B of 1000 B, 1000 B/s, 1 s left"},
      {1500, 1000, 10, "100% 1.5 KB of 1000 B, 10 B/s, 0 s left"},
      {kLargest / 2, kLargest, 1, "49% 4294967296.0 GB of 8589934592.0 GB, 1 B/s"},
      {0, 10 * kGiB, 0.4, "0% 0 B of 10.0 GB, 0 B/s"},  // no time left from a rate near zero
  };
  for (const auto& c : cases)
    EXPECT_EQ(ProgressText(c.Done, c.Total, c.Rate), c.Text) << c.Done << " of " << c.Total;
}

class ProgressViewTest : public ::testing::Test {
 protected:
  ProgressViewTest() { fake_.Console.Interactive = true; }

  // Reports `bytesPerStep` more every `step` milliseconds until `until` and
  // returns the clock times at which a status was drawn.
  std::vector<uint64_t> Run(uint64_t until, int step, int64_t bytesPerStep, int64_t total = 0) {
    std::vector<uint64_t> draws;
    while (fake_.Clock.Now + step <= until) {
      fake_.Clock.Now += step;
      size_t before = fake_.Console.Statuses.size();
      view_.Update(done_ += bytesPerStep, total);
      if (fake_.Console.Statuses.size() > before) draws.push_back(fake_.Clock.Now);
    }
    return draws;
  }

  testing::FakePlatform fake_;
  ProgressView view_{fake_.Console, fake_.Clock, true};
  int64_t done_ = 0;
};

TEST_F(ProgressViewTest, DrawsAfterHalfASecondAtMostTenTimesASecondAndErases) {
  view_.Start();
  EXPECT_TRUE(Run(499, 1, 100).empty());
  std::vector<uint64_t> draws = Run(3000, 7, 100);
  ASSERT_GE(draws.size(), 2u);
  EXPECT_LT(draws.front(), 507u);
  for (size_t i = 1; i < draws.size(); ++i) {
    ASSERT_GE(draws[i] - draws[i - 1], 100u);
    ASSERT_LT(draws[i] - draws[i - 1], 107u) << "skipped a redraw";
  }
  // The next piece of work erases the status and waits its own half second.
  view_.Start();
  EXPECT_FALSE(fake_.Console.StatusShown);
  EXPECT_TRUE(Run(3450, 10, 100).empty());
  view_.Finish();
  EXPECT_EQ(fake_.Console.StatusClears, 1) << "nothing was shown to erase";
}

TEST_F(ProgressViewTest, TheRateFollowsTheLastSeconds) {
  Run(10000, 125, kMiB / 8, 100 * kMiB);      // 1 MB/s for 10 s
  Run(16000, 125, 3 * kMiB / 8, 100 * kMiB);  // then 3 MB/s for 6 s
  EXPECT_EQ(fake_.Console.Statuses.back(), "28% 28.0 MB of 100.0 MB, 3.0 MB/s, 24 s left");
  done_ = 0;  // the download starts over, at 2 MB/s
  Run(17000, 125, kMiB / 4);
  EXPECT_EQ(fake_.Console.Statuses.back(), "2.0 MB, 2.0 MB/s");
}

TEST_F(ProgressViewTest, ADisabledViewNeverCallsTheConsole) {
  ProgressView disabled(fake_.Console, fake_.Clock, false);
  disabled.Start();
  for (int i = 1; i <= 100; ++i, fake_.Clock.Now += 100) disabled.Update(i * 1000, 100000);
  disabled.Finish();
  EXPECT_TRUE(fake_.Console.Statuses.empty());
  EXPECT_EQ(fake_.Console.StatusClears, 0);
}

}  // namespace
}  // namespace updater
