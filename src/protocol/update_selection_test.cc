// The order and the transactions in which selected catalogue entries apply.
#include "protocol/update_selection.h"

#include <gtest/gtest.h>

#include <sstream>

namespace updater {
namespace {

// Entries from "name file version" words, one entry a line.
std::vector<UpdateEntry> Entries(const std::string& lines) {
  std::vector<UpdateEntry> entries;
  std::istringstream in(lines);
  for (UpdateEntry entry; in >> entry.Name >> entry.PackageFile >> entry.Version;)
    entries.push_back(entry);
  return entries;
}

// The package files of each group, groups ended by "|".
std::string Shown(const std::vector<std::vector<UpdateEntry>>& groups) {
  std::string shown;
  for (const std::vector<UpdateEntry>& group : groups) {
    for (const UpdateEntry& entry : group) shown += entry.PackageFile + " ";
    shown += "| ";
  }
  return shown;
}

TEST(UpdateSelectionTest, NewestVersionLastAndOneTransactionPerRelease) {
  const struct {
    const char* What;
    const char* Selected;
    const char* Order;
    const char* Groups;
  } cases[] = {
      {"nothing", "", "", ""},
      {"catalogue order kept when ascending", "VOXA a 100 VOXA b 105", "a b ", "a | b | "},
      {"a newer line listed first applies last", "VOXA new 110 VOXA old 100 VOXA mid 105",
       "old mid new ", "old | mid | new | "},
      {"the parts of one release, in catalogue order, apart from an older one",
       "VOXA r2 105 VOXA r1 105 VOXA base 100 voxa r3 105", "base r2 r1 r3 ", "base | r2 r1 r3 | "},
      {"parts of a release listed apart come together", "VOXA p1 105 VOXA q 110 VOXA p2 105",
       "p1 p2 q ", "p1 p2 | q | "},
      {"other names stay alone, and part no release",
       "updater u 105 VOXA p 105 Other o 105 VOXA p2 105", "u p o p2 ", "u | p p2 | o | "},
      {"one version, one package", "VOXA only 105", "only ", "only | "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    std::string order;
    for (const UpdateEntry& entry : ApplicationOrder(Entries(c.Selected)))
      order += entry.PackageFile + " ";
    EXPECT_EQ(order, c.Order);
    EXPECT_EQ(Shown(ApplicationGroups(Entries(c.Selected))), c.Groups);
  }
}

}  // namespace
}  // namespace updater
