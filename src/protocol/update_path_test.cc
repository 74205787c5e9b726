// The chain of packages to the newest version: the cheapest by the facts, and
// every newer line for catalogues without deltas.
#include "protocol/update_path.h"

#include <gtest/gtest.h>

#include <string>

namespace updater {
namespace {

// A catalogue of `lines` (without CR LF); "VOXA " goes before every line but
// the updater's.
Catalogue CatalogueOf(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines)
    text += (line.rfind("updater ", 0) == 0 ? "" : "VOXA ") + line + "\r\n";
  Catalogue catalogue;
  EXPECT_EQ(ParseCatalogue(text, &catalogue), static_cast<int64_t>(lines.size()));
  return catalogue;
}

// The path as text: the package files of a step joined by "+", steps by " ";
// "newer:" before every newer line, "no path" for NoPath.
std::string PathText(const UpdatePath& path) {
  std::string text = path.ByFacts ? "" : "newer:";
  for (const UpdateStep& step : path.Steps) {
    text += text.empty() ? "" : " ";
    for (size_t k = 0; k < step.size(); ++k) text += (k ? "+" : "") + step[k].PackageFile;
  }
  return path.NoPath ? text + "no path" : text;
}

// Full packages of three releases and deltas to each from the releases before
// it, one from 0.95, which no installation has.
const std::vector<std::string> kReleases = {"updater u 300 size=1",
                                            "f100 100 size=900",
                                            "f105 105 size=1100",
                                            "d105-100 105 size=100 from=100",
                                            "f110 110 size=1200",
                                            "d110-105 110 size=150 from=105",
                                            "d110-100 110 size=300 from=100",
                                            "d110-95 110 size=400 from=95"};

TEST(ChooseUpdatePathTest, ChoosesTheChainWithTheFewestBytesToTheNewestVersion) {
  const std::vector<std::string> split = {"f110-a 110 size=600", "d110-105-a 110 size=100 from=105",
                                          "f110-b 110 size=600", "d110-105-b 110 size=100 from=105",
                                          "f105 105 size=1100"};
  const std::vector<std::string> ties = {"f105 105 size=10", "f107 107 size=10",
                                         "d110-107 110 size=5 from=107",
                                         "d110-105 110 size=5 from=105"};
  const std::string max = "9223372036854775807";
  const std::string min = "-9223372036854775808";
  const struct {
    std::vector<std::string> Lines;
    int64_t Installed;
    bool Force;
    std::string Path;
  } cases[] = {
      // No from= facts: every newer line (with force every line), ascending
      // versions, the lines of one version one step in catalogue order.
      {{"b 110", "updater u 300", "a 105", "o 90"}, 100, false, "newer: a b"},
      {{"b 110 size=1", "updater u 300", "a 105", "o 90"}, 100, true, "newer: o a b"},
      {{"p2 105", "b 110", "p1 105", "o 90", "p3 105"}, 100, false, "newer: p2+p1+p3 b"},
      // Three releases, from 1.00, 1.05, nothing, 1.10, 1.03, 0.95, and forced.
      {kReleases, 100, false, "d105-100 d110-105"},
      {kReleases, 105, false, "d110-105"},
      {kReleases, 0, false, "f100 d105-100 d110-105"},
      {kReleases, 110, false, ""},
      {kReleases, 103, false, "f110"},
      {kReleases, 95, false, "d110-95"},
      {kReleases, 105, true, "f100 d105-100 d110-105"},
      // Ties: fewer steps, then the last step listed first.
      {{"d105 105 size=50 from=100", "d110-105 110 size=200 from=105",
        "d110-100 110 size=250 from=100"},
       100,
       false,
       "d110-100"},
      {ties, 0, false, "f107 d110-107"},
      {{ties[0], ties[1], ties[3], ties[2]}, 0, false, "f105 d110-105"},
      // Split releases are taken whole, their sizes added.
      {split, 105, false, "d110-105-a+d110-105-b"},
      {split, 0, false, "f110-a+f110-b"},
      {{split[1], split[3], "d105 105 size=50 from=100", "d110-100 110 size=220 from=100"},
       100,
       false,
       "d110-100"},
      // Missing (or malformed) sizes count above every known size.
      {{"f105 105 size=1100", "f110 110", "d110-105 110 size=150 from=105"},
       0,
       false,
       "f105 d110-105"},
      {{"d105 105 from=100", "d110-105 110 from=105", "d110-100 110 size=1.5 from=100"},
       100,
       false,
       "d110-100"},
      // Deltas that apply nowhere, or over nothing.
      {{"d110-105 110 size=1 from=105"}, 100, false, "no path"},
      {{"d110-0 110 size=1 from=0"}, 0, false, "no path"},
      {{"d110-105 110 size=1 from=105"}, 105, true, "no path"},
      {{"f110 110 size=9", "up 120 size=1 from=130", "same 130 from=130", "m 140 from=1.30"},
       100,
       false,
       "f110"},
      // Numbers at the ends of their range: sums stop at 2^64 - 1.
      {{"f1 1 size=" + max, "d2 2 size=" + max + " from=1", "d3 3 size=" + max + " from=2",
        "d3-1 3 size=9223372036854775806 from=1"},
       0,
       false,
       "f1 d3-1"},
      {{"low " + min + " size=1", "top " + max + " size=5 from=" + min}, 0, true, "low top"},
      {{"low " + min + " size=1", "top " + max + " size=5 from=" + min}, 0, false, "no path"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Lines[0] + " ... from " + std::to_string(c.Installed) +
                 (c.Force ? " forced" : ""));
    EXPECT_EQ(PathText(ChooseUpdatePath(CatalogueOf(c.Lines), c.Installed, c.Force)), c.Path);
  }
}

TEST(FullPackagesTest, GivesTheFullLinesOfOneVersion) {
  const Catalogue catalogue = CatalogueOf(
      {"f110-a 110 size=600", "updater u 110", "d110 110 from=105", "m 110 from=x", "f110-b 110"});
  const std::vector<UpdateEntry> full = FullPackages(catalogue, 110);
  ASSERT_EQ(full.size(), 2u);
  EXPECT_EQ(full[0].PackageFile + " " + full[1].PackageFile, "f110-a f110-b");
  EXPECT_EQ(full[0].Facts.Size, 600);
  EXPECT_TRUE(FullPackages(catalogue, 105).empty());
}

}  // namespace
}  // namespace updater
