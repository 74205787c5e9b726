// The status line of long work: its text and when it is drawn.
#include "run/progress_view.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace updater {

namespace {

constexpr int64_t kUnitStep = 1024;
constexpr const char* kUnitNames[] = {"B", "KB", "MB", "GB"};
constexpr size_t kUnitCount = sizeof kUnitNames / sizeof kUnitNames[0];

// Nothing shows for work that ends within this time.
constexpr uint64_t kFirstDrawMilliseconds = 500;
constexpr uint64_t kRedrawMilliseconds = 100;
// The rate is measured over about this long, so that it follows a transfer
// that speeds up or stalls instead of averaging from the start.
constexpr uint64_t kRateWindowMilliseconds = 5000;
constexpr uint64_t kSampleMilliseconds = 250;
// Less than this measured gives a rate too noisy to show.
constexpr uint64_t kShortestRateSpanMilliseconds = 250;
// A time left beyond this (about 30 years) comes from a rate near zero and
// says nothing.
constexpr double kLongestTimeLeftSeconds = 1e9;

// `bytes` in tenths of `unit`, rounded half up, without overflow.
int64_t Tenths(int64_t bytes, int64_t unit) {
  return bytes / unit * 10 + ((bytes % unit) * 10 + unit / 2) / unit;
}

// Rounded down, so that 100% shows only when the work is complete.
int Percent(int64_t done, int64_t total) {
  if (done <= 0) return 0;
  if (done >= total) return 100;
  // 128 bits: the product of a count near the 64-bit limit and 100.
  return static_cast<int>(static_cast<__int128>(done) * 100 / total);
}

int64_t WholeBytes(double bytes) {
  constexpr double kLargest = static_cast<double>(std::numeric_limits<int64_t>::max());
  if (bytes >= kLargest) return std::numeric_limits<int64_t>::max();
  return std::llround(bytes);
}

}  // namespace

std::string FormatBytes(int64_t bytes) {
  if (bytes < 0) bytes = 0;
  if (bytes < kUnitStep) return std::to_string(bytes) + " B";
  size_t unitIndex = 1;
  int64_t unit = kUnitStep;
  int64_t tenths = Tenths(bytes, unit);
  // 1023.96 KB rounds to 1024.0 KB: that is 1.0 MB.
  while (tenths >= kUnitStep * 10 && unitIndex + 1 < kUnitCount) {
    ++unitIndex;
    unit *= kUnitStep;
    tenths = Tenths(bytes, unit);
  }
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " +
         kUnitNames[unitIndex];
}

std::string FormatTimeLeft(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char text[64];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(seconds));
  } else if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%lld min %02lld s", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld h %02lld min", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds % 3600 / 60));
  }
  return text;
}

std::string ProgressText(int64_t done, int64_t total, double bytesPerSecond) {
  std::string text;
  if (total > 0) {
    text = std::to_string(Percent(done, total)) + "% " + FormatBytes(done) + " of " +
           FormatBytes(total);
  } else {
    text = FormatBytes(done);
  }
  if (!(bytesPerSecond >= 0)) return text;  // not measured (or not a number)
  text += ", " + FormatBytes(WholeBytes(bytesPerSecond)) + "/s";
  if (total > 0 && bytesPerSecond > 0) {
    double remaining = done < total ? static_cast<double>(total - done) : 0.0;
    // Rounded up: a fraction of a second left is still "1 s", not "0 s".
    double secondsLeft = std::ceil(remaining / bytesPerSecond);
    if (secondsLeft < kLongestTimeLeftSeconds)
      text += ", " + FormatTimeLeft(static_cast<int64_t>(secondsLeft)) + " left";
  }
  return text;
}

bool ProgressWanted(const RunSettings& settings, Console& console) {
  return settings.AskMode != AskModeSetting::Silent && console.IsInteractive();
}

ProgressView::ProgressView(Console& console, Clock& clock, bool enabled)
    : console_(console), clock_(clock), enabled_(enabled) {}

ProgressView::~ProgressView() { Finish(); }

void ProgressView::Start() {
  if (!enabled_) return;
  Finish();
  started_ = true;
  startMilliseconds_ = clock_.Milliseconds();
}

void ProgressView::Update(int64_t done, int64_t total) {
  if (!enabled_) return;
  if (!started_) Start();
  uint64_t now = clock_.Milliseconds();
  Measure(now, done);
  if (now - startMilliseconds_ < kFirstDrawMilliseconds) return;
  if (shown_ && now - lastDrawMilliseconds_ < kRedrawMilliseconds) return;
  console_.ShowStatus(ProgressText(done, total, Rate(now, done)));
  shown_ = true;
  lastDrawMilliseconds_ = now;
}

void ProgressView::Finish() {
  if (shown_) console_.ClearStatus();
  shown_ = false;
  started_ = false;
  samples_.clear();
}

void ProgressView::Measure(uint64_t now, int64_t done) {
  if (samples_.empty() || done < samples_.back().Done) {
    samples_.assign(1, Sample{now, done});
    return;
  }
  if (now - samples_.back().Milliseconds < kSampleMilliseconds) return;
  samples_.push_back(Sample{now, done});
  // The oldest sample kept is the last one at least a window old.
  while (samples_.size() > 1 && now - samples_[1].Milliseconds >= kRateWindowMilliseconds)
    samples_.pop_front();
}

double ProgressView::Rate(uint64_t now, int64_t done) const {
  const Sample& oldest = samples_.front();
  uint64_t span = now - oldest.Milliseconds;
  if (span < kShortestRateSpanMilliseconds) return -1;
  return static_cast<double>(done - oldest.Done) * 1000.0 / static_cast<double>(span);
}

}  // namespace updater
