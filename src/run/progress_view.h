// The status line of long work (a download, the applying of a package): the
// text of one progress report, and a view that shows it on an interactive
// console once the work has run for half a second, at most ten times a second.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "run/run_settings.h"
#include "system/clock.h"
#include "system/console.h"

namespace updater {

// A byte count in the largest of B, KB, MB and GB (1024 apart) that stays
// below 1024 after rounding, with one decimal above bytes: "512 B", "1.5 KB",
// "27.4 MB", "1.0 GB". Negative counts show as "0 B".
std::string FormatBytes(int64_t bytes);

// A remaining time: "7 s", "3 min 05 s", "1 h 02 min".
std::string FormatTimeLeft(int64_t seconds);

// The status text of `done` bytes of `total` at `bytesPerSecond`:
// "45% 12.3 MB of 27.4 MB, 2.1 MB/s, 7 s left", or without a total (0)
// "12.3 MB, 2.1 MB/s". The percentage is rounded down, so 100% means
// complete. A negative rate means not measured yet: neither the rate nor the
// time left shows. A zero rate shows as "0 B/s" without a time left.
std::string ProgressText(int64_t done, int64_t total, double bytesPerSecond);

// Whether this run shows progress: its console can redraw a line in place
// and the run is not -silent. The `enabled` of a ProgressView.
bool ProgressWanted(const RunSettings& settings, Console& console);

// Shows the progress of one piece of work at a time as the console's status
// line. Feed it every report; it decides when to draw.
class ProgressView {
 public:
  // A disabled view (output not interactive, or -silent) never calls the
  // console or the clock.
  ProgressView(Console& console, Clock& clock, bool enabled);
  // Erases a shown status, as Finish does.
  ~ProgressView();
  ProgressView(const ProgressView&) = delete;
  ProgressView& operator=(const ProgressView&) = delete;

  // Begins a piece of work: erases a status still shown and starts the half
  // second before anything shows.
  void Start();
  // Reports `done` bytes of `total` (0: unknown). Draws when the work has run
  // for half a second and the last drawing is a tenth of a second old. An
  // Update without Start starts the work. A count that goes back (a restarted
  // download) starts the rate's measurement afresh.
  void Update(int64_t done, int64_t total);
  // Ends the work: erases a shown status.
  void Finish();

 private:
  struct Sample {
    uint64_t Milliseconds;
    int64_t Done;
  };

  void Measure(uint64_t now, int64_t done);
  // Bytes per second over the last few seconds; negative when too little time
  // has been measured.
  double Rate(uint64_t now, int64_t done) const;

  Console& console_;
  Clock& clock_;
  const bool enabled_;
  bool started_ = false;
  bool shown_ = false;
  uint64_t startMilliseconds_ = 0;
  uint64_t lastDrawMilliseconds_ = 0;
  std::deque<Sample> samples_;  // oldest first, a few seconds' worth
};

}  // namespace updater
