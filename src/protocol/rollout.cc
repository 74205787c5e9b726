// Staged rollouts.
#include "protocol/rollout.h"

#include <algorithm>
#include <chrono>
#include <random>

namespace updater {

namespace {

constexpr int64_t kSecondsPerDay = 24 * 60 * 60;
constexpr size_t kNumberDigits = 16;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

uint64_t DrawRolloutNumber() {
  // The clock is mixed in for platforms whose random_device is deterministic:
  // installations that all drew the same number would all take every rollout
  // on the same day.
  std::random_device device;
  const auto now =
      static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
  std::seed_seq seed{device(),
                     device(),
                     device(),
                     device(),
                     static_cast<uint32_t>(now),
                     static_cast<uint32_t>(now >> 32)};
  std::mt19937_64 generator(seed);
  return generator();
}

std::string RolloutNumberText(uint64_t number) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(kNumberDigits, '0');
  for (size_t i = kNumberDigits; i-- > 0; number >>= 4) text[i] = kDigits[number & 0x0f];
  return text;
}

bool ReadRolloutNumber(std::string_view text, uint64_t* number) {
  if (text.size() >= 2 && text.substr(text.size() - 2) == "\r\n")
    text.remove_suffix(2);
  else if (!text.empty() && text.back() == '\n')
    text.remove_suffix(1);
  if (text.size() != kNumberDigits) return false;
  uint64_t value = 0;
  for (char c : text) {
    const int digit = HexValue(c);
    if (digit < 0) return false;
    value = value << 4 | static_cast<uint64_t>(digit);
  }
  *number = value;
  return true;
}

int64_t RolloutDelay(uint64_t number, int64_t days) {
  // number × window / 2^64 exactly, rounded up; the product of a 64-bit value
  // and a window of at most 365 days fits in 128 bits.
  const auto window = static_cast<unsigned __int128>(
      std::clamp<int64_t>(days, 0, kLongestRolloutDays) * kSecondsPerDay);
  const unsigned __int128 product = static_cast<unsigned __int128>(number) * window;
  const unsigned __int128 fraction = (static_cast<unsigned __int128>(1) << 64) - 1;
  return static_cast<int64_t>((product + fraction) >> 64);
}

bool RolloutOffers(const PackageFacts& facts, uint64_t number, int64_t now, bool force) {
  if (facts.IsMalformed(Fact::Rollout)) return false;
  switch (facts.Rollout) {
    case RolloutState::Everybody:
      return true;
    case RolloutState::Halted:
      return false;
    case RolloutState::Staged:
      break;
  }
  if (now < facts.RolloutStart) return false;
  // Both are at least 0 here, so the difference cannot overflow.
  return force || now - facts.RolloutStart >= RolloutDelay(number, facts.RolloutDays);
}

Catalogue OfferedEntries(const Catalogue& catalogue, uint64_t number, int64_t now, bool force) {
  Catalogue offered;
  for (const UpdateEntry& entry : catalogue)
    if (RolloutOffers(entry.Facts, number, now, force)) offered.push_back(entry);
  return offered;
}

}  // namespace updater
