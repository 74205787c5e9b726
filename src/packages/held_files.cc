// Waiting for files that another program holds open.
#include "packages/held_files.h"

#include <algorithm>

namespace updater {

namespace {

// Gives `*cause` (when there is one) `text`; always false.
bool Fail(std::string* cause, const std::string& text) {
  if (cause) *cause = text;
  return false;
}

}  // namespace

void HeldFileWait::Allow(Clock& clock, int64_t limitMilliseconds) {
  clock_ = &clock;
  limit_ = limitMilliseconds;
  Restart();
}

void HeldFileWait::Restart() {
  spent_ = 0;
  announced_.clear();
}

std::string HeldFileWait::HeldOne(const std::vector<std::string>& paths) {
  for (const std::string& path : paths)
    if (files_.HeldOpenElsewhere(path)) return path;
  return std::string();
}

bool HeldFileWait::Retry(const std::vector<std::string>& paths,
                         const std::function<bool(std::string* cause)>& step, std::string* cause) {
  std::string error;
  if (step(&error)) return true;
  const int64_t left = limit_ - spent_;
  // Asked only where a wait could follow: the question opens the files.
  const std::string held = clock_ && limit_ > 0 ? HeldOne(paths) : std::string();
  if (held.empty()) return Fail(cause, error);
  if (left <= 0) {
    report_.Log(held + " is held open by another program (" + error +
                "); the time to wait for such files has run out");
    return Fail(cause, error);
  }
  report_.Log(held + " is held open by another program (" + error + "); waiting up to " +
              std::to_string(left) + " ms");
  if (announced_.insert(held).second)
    report_.Line("Waiting for " + held + ", which another program has open (up to " +
                 std::to_string((left + 999) / 1000) + " seconds)...");
  const uint64_t start = clock_->Milliseconds();
  auto waited = [&] { return static_cast<int64_t>(clock_->Milliseconds() - start); };
  for (int64_t remaining = left; remaining > 0; remaining = left - waited()) {
    clock_->Sleep(static_cast<int>(std::min<int64_t>(kHeldFileStepMilliseconds, remaining)));
    if (step(&error)) {
      spent_ += waited();
      report_.Log(held + " came free after " + std::to_string(waited()) + " ms");
      return true;
    }
    if (HeldOne(paths).empty()) {
      spent_ += waited();
      report_.Log(held + " came free after " + std::to_string(waited()) +
                  " ms, but the step still fails (" + error + ")");
      return Fail(cause, error);
    }
  }
  spent_ += waited();
  report_.Log(held + " is still held open after " + std::to_string(waited()) + " ms (" + error +
              "); giving up");
  return Fail(cause, error);
}

}  // namespace updater
