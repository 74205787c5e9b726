// A report that keeps what it is given: the console lines in order (failure
// lines included) and the log records with the failures' causes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "system/report.h"

namespace updater::testing {

class RecordingReport : public Report {
 public:
  void Line(std::string_view text) override { Lines.emplace_back(text); }
  void Failure(std::string_view line, std::string_view cause) override {
    Lines.emplace_back(line);
    Causes.emplace_back(cause);
  }
  void Log(std::string_view text) override { Logged.emplace_back(text); }
  void Progress(int64_t done, int64_t total) override { ProgressReports.push_back({done, total}); }
  void ProgressDone() override { ++ProgressEnds; }

  std::vector<std::string> Lines;
  std::vector<std::string> Causes;  // of the failures, in order
  std::vector<std::string> Logged;
  std::vector<std::pair<int64_t, int64_t>> ProgressReports;  // done, total
  int ProgressEnds = 0;
};

}  // namespace updater::testing
