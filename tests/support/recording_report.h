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
  void Line(std::string_view text) override { lines.emplace_back(text); }
  void Failure(std::string_view line, std::string_view cause) override {
    lines.emplace_back(line);
    causes.emplace_back(cause);
  }
  void Log(std::string_view text) override { logged.emplace_back(text); }
  void Progress(int64_t done, int64_t total) override { progress.push_back({done, total}); }
  void ProgressDone() override { ++progressEnds; }

  std::vector<std::string> lines;
  std::vector<std::string> causes;  // of the failures, in order
  std::vector<std::string> logged;
  std::vector<std::pair<int64_t, int64_t>> progress;  // done, total
  int progressEnds = 0;
};

}  // namespace updater::testing
