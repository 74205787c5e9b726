// Version numbers as text.
#include "protocol/version_text.h"

#include <gtest/gtest.h>

#include <limits>

namespace updater {
namespace {

TEST(VersionTextTest, PutsThePointBeforeTheLastTwoDigits) {
  const struct {
    int64_t Version;
    const char* Text;
  } cases[] = {
      {0, "0.00"},
      {5, "0.05"},
      {42, "0.42"},
      {100, "1.00"},
      {105, "1.05"},
      {999, "9.99"},
      {1000, "10.00"},
      {1234, "12.34"},
      {-5, "0.-5"},
      {-42, "-.42"},
      {-105, "-1.05"},
      {-1, "0.-1"},
      {std::numeric_limits<int64_t>::max(), "92233720368547758.07"},
      {std::numeric_limits<int64_t>::min(), "-92233720368547758.08"},
  };
  for (const auto& c : cases) EXPECT_EQ(VersionText(c.Version), c.Text) << c.Version;
}

}  // namespace
}  // namespace updater
