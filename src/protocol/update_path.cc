// The packages that bring the main program to the newest version offered.
#include "protocol/update_path.h"

#include <algorithm>
#include <limits>
#include <tuple>

#include "protocol/update_selection.h"

namespace updater {

namespace {

// The lines of one step: lines [Begin, End) of the sorted usable lines.
struct Group {
  int64_t Version = 0;
  size_t Begin = 0;
  size_t End = 0;
  size_t FirstLine = 0;  // catalogue position of its first line
  std::optional<int64_t> From;
  uint64_t Unsized = 0;  // lines without a size
  uint64_t Bytes = 0;    // of the lines with one
};

// What a chain costs, in the order chains compare; LastLine is the catalogue
// position of its last step's first line.
struct Cost {
  uint64_t Unsized = 0;
  uint64_t Bytes = 0;
  uint64_t Steps = 0;
  size_t LastLine = 0;

  bool operator<(const Cost& other) const {
    return std::tie(Unsized, Bytes, Steps, LastLine) <
           std::tie(other.Unsized, other.Bytes, other.Steps, other.LastLine);
  }
};

// A version some chain reaches, with the cheapest chain to it.
struct Reached {
  int64_t Version = 0;
  Cost ChainCost;
  size_t Step = 0;    // the group of its last step
  size_t Before = 0;  // the Reached entry the step applies over; kStart: the installation
};

constexpr size_t kStart = std::numeric_limits<size_t>::max();

uint64_t SaturatedSum(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

// A line the chain may use: a full package, or a delta from a version below its own.
bool Usable(const UpdateEntry& entry) {
  if (entry.Facts.IsMalformed(Fact::From)) return false;
  return !entry.Facts.From || *entry.Facts.From < entry.Version;
}

// Selects as the version table does, in the transactions of ApplicationGroups.
UpdatePath EveryNewerLine(const Catalogue& offered, int64_t installedMain, bool force) {
  std::vector<UpdateEntry> newer;
  for (const UpdateEntry& entry : offered)
    if (IsMainProgramEntry(entry) && (installedMain < entry.Version || force))
      newer.push_back(entry);
  UpdatePath path;
  path.Steps = ApplicationGroups(std::move(newer));
  return path;
}

}  // namespace

UpdatePath ChooseUpdatePath(const Catalogue& offered, int64_t installedMain, bool force) {
  const bool hasDeltas = std::any_of(offered.begin(), offered.end(), [](const UpdateEntry& entry) {
    return IsMainProgramEntry(entry) &&
           (entry.Facts.From.has_value() || entry.Facts.IsMalformed(Fact::From));
  });
  if (!hasDeltas) return EveryNewerLine(offered, installedMain, force);

  UpdatePath path;
  path.ByFacts = true;
  // The usable lines (catalogue positions) by version, then full before
  // delta, then from=, then catalogue order: the lines of a step lie together.
  std::vector<size_t> lines;
  for (size_t i = 0; i < offered.size(); ++i)
    if (IsMainProgramEntry(offered[i]) && Usable(offered[i])) lines.push_back(i);
  if (lines.empty()) return path;
  const auto stepKey = [&offered](size_t line) {
    const UpdateEntry& entry = offered[line];
    return std::make_tuple(entry.Version, entry.Facts.From.has_value(),
                           entry.Facts.From.value_or(0));
  };
  std::sort(lines.begin(), lines.end(), [&stepKey](size_t a, size_t b) {
    return std::make_tuple(stepKey(a), a) < std::make_tuple(stepKey(b), b);
  });
  const int64_t newest = offered[lines.back()].Version;
  if (!force && newest <= installedMain) return path;

  std::vector<Group> groups;
  for (size_t k = 0; k < lines.size(); ++k) {
    const UpdateEntry& entry = offered[lines[k]];
    if (groups.empty() || stepKey(lines[groups.back().Begin]) != stepKey(lines[k])) {
      Group& group = groups.emplace_back();
      group.Version = entry.Version;
      group.Begin = k;
      group.FirstLine = lines[k];
      group.From = entry.Facts.From;
    }
    Group& group = groups.back();
    group.End = k + 1;
    if (entry.Facts.Size)
      group.Bytes = SaturatedSum(group.Bytes, static_cast<uint64_t>(*entry.Facts.Size));
    else
      ++group.Unsized;
  }

  // The cheapest chain to each version, from the lowest up: a step applies
  // over the installation or over a version reached below its own, so every
  // chain a step extends is final when the step is weighed. A full package
  // always applies straight over the installation, since every step before
  // it would only add.
  const bool somethingInstalled = !force && installedMain != 0;
  std::vector<Reached> reached;  // ascending versions
  for (size_t g = 0; g < groups.size(); ++g) {
    const Group& group = groups[g];
    if (!force && group.Version <= installedMain) continue;
    size_t before = kStart;
    Cost cost;
    if (group.From && !(somethingInstalled && *group.From == installedMain)) {
      const auto found = std::lower_bound(
          reached.begin(), reached.end(), *group.From,
          [](const Reached& entry, int64_t version) { return entry.Version < version; });
      if (found == reached.end() || found->Version != *group.From) continue;
      before = static_cast<size_t>(found - reached.begin());
      cost = found->ChainCost;
    }
    cost.Unsized = SaturatedSum(cost.Unsized, group.Unsized);
    cost.Bytes = SaturatedSum(cost.Bytes, group.Bytes);
    cost.Steps += 1;
    cost.LastLine = group.FirstLine;
    if (reached.empty() || reached.back().Version != group.Version)
      reached.push_back({group.Version, cost, g, before});
    else if (cost < reached.back().ChainCost)
      reached.back() = {group.Version, cost, g, before};
  }

  if (reached.empty() || reached.back().Version != newest) {
    path.NoPath = true;
    return path;
  }
  for (size_t at = reached.size() - 1; at != kStart; at = reached[at].Before) {
    const Group& group = groups[reached[at].Step];
    UpdateStep& step = path.Steps.emplace_back();
    // The sort put the step's lines in catalogue order.
    for (size_t k = group.Begin; k < group.End; ++k) step.push_back(offered[lines[k]]);
  }
  std::reverse(path.Steps.begin(), path.Steps.end());
  return path;
}

std::vector<UpdateEntry> FullPackages(const Catalogue& offered, int64_t version) {
  std::vector<UpdateEntry> full;
  for (const UpdateEntry& entry : offered)
    if (IsMainProgramEntry(entry) && entry.Version == version && !entry.Facts.From &&
        !entry.Facts.IsMalformed(Fact::From))
      full.push_back(entry);
  return full;
}

}  // namespace updater
