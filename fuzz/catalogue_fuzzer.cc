// Feeds arbitrary bytes to the catalogue path of the update check: the body
// decoding of a server file, then the split into catalogue lines, of which
// only the updater's and the main program's are kept, with the facts of
// their later fields; then the staged-rollout rule and the choice of the
// chain of packages over what was parsed. Checks the rules that must hold for
// any input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "protocol/catalogue.h"
#include "protocol/rollout.h"
#include "protocol/server_files.h"
#include "protocol/update_path.h"
#include "protocol/update_selection.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

size_t CountLineEnds(const std::string& text) {
  size_t count = 0;
  for (size_t pos = text.find("\r\n"); pos != std::string::npos; pos = text.find("\r\n", pos + 2))
    ++count;
  return count;
}

bool SameFacts(const updater::PackageFacts& a, const updater::PackageFacts& b) {
  return a.Size == b.Size && a.Blake2b == b.Blake2b && a.From == b.From && a.Rollout == b.Rollout &&
         a.RolloutStart == b.RolloutStart && a.RolloutDays == b.RolloutDays;
}

void CheckFacts(const updater::PackageFacts& facts) {
  Require(!facts.Size || *facts.Size > 0);
  Require(facts.Rollout != updater::RolloutState::Staged ||
          (facts.RolloutStart >= 0 && facts.RolloutDays >= 1 &&
           facts.RolloutDays <= updater::kLongestRolloutDays));
  // What was read writes back as the same facts.
  const updater::PackageFacts again = updater::ReadFacts("VOXA p 1 " + updater::FactFields(facts));
  Require(SameFacts(facts, again) && again.Malformed == 0);
}

// A line the chain may use, as the rule defines it.
bool Usable(const updater::UpdateEntry& entry) {
  return updater::IsMainProgramEntry(entry) && !entry.Facts.IsMalformed(updater::Fact::From) &&
         (!entry.Facts.From || *entry.Facts.From < entry.Version);
}

using LineKey = std::tuple<std::string, std::string, int64_t>;

struct Cost {
  uint64_t Unsized = 0;
  uint64_t Bytes = 0;
};

// The chain choice over `offered` from `installed`: every step is lines of
// the catalogue, and the chain leads up to the newest usable version.
void CheckPath(const updater::Catalogue& offered, int64_t installed, bool force) {
  const updater::UpdatePath path = updater::ChooseUpdatePath(offered, installed, force);
  std::map<LineKey, int> lines;
  bool hasDeltas = false;
  bool anyUsable = false;
  int64_t newest = 0;
  for (const updater::UpdateEntry& entry : offered) {
    if (!updater::IsMainProgramEntry(entry)) continue;
    ++lines[{entry.Name, entry.PackageFile, entry.Version}];
    hasDeltas = hasDeltas || entry.Facts.From || entry.Facts.IsMalformed(updater::Fact::From);
    if (Usable(entry)) newest = anyUsable ? std::max(newest, entry.Version) : entry.Version;
    anyUsable = anyUsable || Usable(entry);
  }
  Require(path.ByFacts == hasDeltas);
  Require(!path.NoPath || (path.ByFacts && path.Steps.empty()));
  for (const updater::UpdateStep& step : path.Steps) {
    Require(!step.empty());
    for (const updater::UpdateEntry& entry : step)
      Require(--lines[{entry.Name, entry.PackageFile, entry.Version}] >= 0);
  }
  if (!path.ByFacts) {
    // Every newer line (every line with force), one step per version, the
    // versions ascending, each step's lines in catalogue order.
    size_t count = 0;
    for (const updater::UpdateEntry& entry : offered)
      if (updater::IsMainProgramEntry(entry) && (force || entry.Version > installed)) ++count;
    for (const updater::UpdateStep& step : path.Steps) count -= step.size();
    Require(count == 0);
    for (size_t k = 0; k < path.Steps.size(); ++k) {
      for (const updater::UpdateEntry& entry : path.Steps[k])
        Require(entry.Version == path.Steps[k][0].Version);
      Require(k == 0 || path.Steps[k - 1][0].Version < path.Steps[k][0].Version);
    }
    return;
  }
  const bool due = anyUsable && (force || newest > installed);
  Require(path.Steps.empty() == (!due || path.NoPath));
  if (path.Steps.empty()) return;
  Require(path.Steps.back()[0].Version == newest);
  // Each step above the one before, the first above the installed version
  // (with -force from nothing); a delta only over exactly the version before.
  bool haveVersion = !force && installed != 0;
  int64_t version = installed;
  for (size_t k = 0; k < path.Steps.size(); ++k) {
    const updater::UpdateStep& step = path.Steps[k];
    const std::optional<int64_t> from = step[0].Facts.From;
    if (k > 0 || !force) Require(step[0].Version > version);
    Require(!from || (haveVersion && *from == version));
    for (const updater::UpdateEntry& entry : step)
      Require(Usable(entry) && entry.Version == step[0].Version && entry.Facts.From == from);
    version = step[0].Version;
    haveVersion = true;
  }
  // No chain costs more than the full packages of the newest version.
  const auto cost = [](const std::vector<updater::UpdateEntry>& entries, Cost* total) {
    for (const updater::UpdateEntry& entry : entries) {
      if (!entry.Facts.Size) ++total->Unsized;
      const auto bytes = static_cast<uint64_t>(entry.Facts.Size.value_or(0));
      total->Bytes = total->Bytes > UINT64_MAX - bytes ? UINT64_MAX : total->Bytes + bytes;
    }
  };
  const std::vector<updater::UpdateEntry> full = updater::FullPackages(offered, newest);
  if (!full.empty()) {
    Cost chain;
    for (const updater::UpdateStep& step : path.Steps) cost(step, &chain);
    Cost direct;
    cost(full, &direct);
    Require(std::tie(chain.Unsized, chain.Bytes) <= std::tie(direct.Unsized, direct.Bytes));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text =
      updater::BodyText(std::string_view(reinterpret_cast<const char*>(data), size));
  Require(text.find('\0') == std::string::npos);

  updater::Catalogue catalogue;
  const int64_t lines = updater::ParseCatalogue(text, &catalogue);
  Require(lines == static_cast<int64_t>(CountLineEnds(text)));
  // Only the updater's and the main program's lines are kept.
  Require(catalogue.size() <= static_cast<size_t>(lines));
  for (const updater::UpdateEntry& entry : catalogue) {
    Require(updater::IsUpdaterEntry(entry) || updater::IsMainProgramEntry(entry));
    Require(entry.PackageFile.size() <= text.size());
    Require(entry.PackageFile.find("\r\n") == std::string::npos);
    CheckFacts(entry.Facts);
  }

  // Field splitting on the raw bytes, at every small index.
  const std::string raw(reinterpret_cast<const char*>(data), size);
  for (int64_t index = 0; index < 5; ++index) Require(updater::GetField(raw, index).size() <= size);
  updater::ReadVersionField(raw);
  const updater::PackageFacts rawFacts = updater::ReadFacts(raw);
  CheckFacts(rawFacts);
  // Facts are read from the fields GetField gives: a fact that one of them
  // holds alone is in the line's facts, unless the line makes it malformed.
  for (int64_t index = 4; index < 8; ++index) {
    const updater::PackageFacts alone =
        updater::ReadFacts("VOXA p 1 " + updater::GetField(raw, index));
    Require(!alone.Size || rawFacts.Size == alone.Size ||
            rawFacts.IsMalformed(updater::Fact::Size));
    Require(!alone.From || rawFacts.From == alone.From ||
            rawFacts.IsMalformed(updater::Fact::From));
    Require(!alone.Blake2b || rawFacts.Blake2b == alone.Blake2b ||
            rawFacts.IsMalformed(updater::Fact::Blake2b));
    Require(alone.Rollout == updater::RolloutState::Everybody ||
            (rawFacts.Rollout == alone.Rollout && rawFacts.RolloutStart == alone.RolloutStart &&
             rawFacts.RolloutDays == alone.RolloutDays) ||
            rawFacts.IsMalformed(updater::Fact::Rollout));
  }

  // The rollout rule at a time and number taken from the input: what is
  // offered now stays offered later, and -force takes at least as much.
  uint64_t number = 0;
  for (size_t i = 0; i < size && i < 8; ++i) number = number << 8 | data[i];
  const int64_t now = static_cast<int64_t>(number >> 1) - static_cast<int64_t>(size) * 86400;
  const int64_t later = (updater::kLongestRolloutDays + 1) * 86400;
  const updater::Catalogue offered = updater::OfferedEntries(catalogue, number, now, false);
  Require(offered.size() <= catalogue.size());
  for (const updater::UpdateEntry& entry : catalogue) {
    const bool offeredNow = updater::RolloutOffers(entry.Facts, number, now, false);
    if (now <= INT64_MAX - later)
      Require(!offeredNow || updater::RolloutOffers(entry.Facts, number, now + later, false));
    Require(!offeredNow || updater::RolloutOffers(entry.Facts, number, now, true));
    if (entry.Facts.Rollout == updater::RolloutState::Halted) Require(!offeredNow);
  }

  // The chain from where installations may be: nothing, a version the
  // catalogue names, and a delta's starting point; with and without -force.
  CheckPath(offered, 0, false);
  CheckPath(offered, 0, true);
  if (!catalogue.empty()) {
    CheckPath(catalogue, catalogue[size % catalogue.size()].Version, false);
    const updater::PackageFacts& facts = catalogue[catalogue.size() / 2].Facts;
    CheckPath(catalogue, facts.From.value_or(100), size % 2 == 0);
  }
  return 0;
}
