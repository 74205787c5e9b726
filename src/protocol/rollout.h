// Staged rollouts: which catalogue lines an installation is offered now, from
// the lines' rollout facts and the installation's own stable random number.
// Pure rules; the run keeps the number in the update folder and reads the clock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/catalogue.h"

namespace updater {

// An installation's rollout number is a fraction in [0, 1), held as the
// 64-bit value V that stands for V / 2^64. It is drawn once and kept, so that
// an installation's place in every rollout stays the same from run to run.

// A new rollout number: uniform over all 64-bit values, from the system's
// entropy source with the clock mixed in.
uint64_t DrawRolloutNumber();

// The text form of a rollout number: 16 lower-case hexadecimal digits.
std::string RolloutNumberText(uint64_t number);

// Reads the text form: exactly 16 hexadecimal digits in either letter case,
// optionally followed by CR LF or LF. False for anything else, leaving
// `number` unchanged.
bool ReadRolloutNumber(std::string_view text, uint64_t* number);

// The seconds after a rollout's start at which the installation with
// `number` takes a line rolled out over `days` days: number × days × 86400,
// rounded up to a whole second. `days` is 1 to 365 as the fact allows.
int64_t RolloutDelay(uint64_t number, int64_t days);

// Whether an installation with `number` is offered a line with `facts` at the
// Unix time `now` (seconds):
// - without a rollout fact, always;
// - rollout=START/DAYS: from now >= START + RolloutDelay(number, DAYS) on, so
//   that at day 3 of 10 about 30% of the installations take it; never before
//   START; with `force` from START on, without waiting for its share;
// - rollout=halted: never, also with `force`;
// - a malformed rollout fact: never, also with `force`, as if halted: the
//   publisher meant to hold the line back, and a typing error must not hand
//   it to every installation at once.
bool RolloutOffers(const PackageFacts& facts, uint64_t number, int64_t now, bool force);

// The lines of `catalogue` that RolloutOffers to the installation, in
// catalogue order.
Catalogue OfferedEntries(const Catalogue& catalogue, uint64_t number, int64_t now, bool force);

}  // namespace updater
