// Where the logic's messages go: the console line the user sees, and the
// support log that keeps what happened and why. Lower layers take a Report
// instead of the whole program state.
#pragma once

#include <cstdint>
#include <string_view>

namespace updater {

class Report {
 public:
  virtual ~Report() = default;

  // One console line (nothing is shown under -silent).
  virtual void Line(std::string_view text) = 0;

  // A console line that reports a failure, with the cause behind it (the
  // system's or the library's reason) for the log. The cause is never shown.
  virtual void Failure(std::string_view line, std::string_view cause) = 0;

  // A record for the support log only.
  virtual void Log(std::string_view text) = 0;

  // The progress of one piece of long work (a download, the applying of a
  // package): `done` bytes of `total` (0 when unknown). ProgressDone ends it.
  // Where nobody watches, both do nothing.
  virtual void Progress(int64_t /*done*/, int64_t /*total*/) {}
  virtual void ProgressDone() {}
};

// A report that drops everything, for callers that have nowhere to report.
class SilentReport : public Report {
 public:
  void Line(std::string_view) override {}
  void Failure(std::string_view, std::string_view) override {}
  void Log(std::string_view) override {}
};

}  // namespace updater
